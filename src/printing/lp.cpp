#include "printing/lp.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/i18n.h"
#include "common/log_text.h"
#include "files/spool.h"

namespace {
// The exit status of a child that could not run its program, as shells give it.
constexpr int kExecFailed = 127;
// Where a kernel without close_range stops the closing of inherited descriptors: far
// above the descriptors a process like ours has open.
constexpr int kMaxDescriptor = 65536;
// The largest job number read from lp's line: print servers count far lower, and it
// keeps the number within an int.
constexpr int kMaxJobId = 1000000000;
}  // namespace

pid_t start_child(const char *program, char *const argv[], int in_fd, int out_fd, int err_fd) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here to the exec: the parent has threads. Each
  // wanted descriptor is first moved above 2, so that putting one in place never
  // overwrites another that is still to be placed.
  // A helper killed outright takes its print command with it.
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
  int wanted[3] = {in_fd, out_fd, err_fd};
  for (int i = 0; i < 3; ++i) {
    int moved = fcntl(wanted[i], F_DUPFD, 3);
    if (moved < 0) _exit(kExecFailed);
    wanted[i] = moved;
  }
  for (int i = 0; i < 3; ++i)
    if (dup2(wanted[i], i) < 0) _exit(kExecFailed);
  // The toolkit opens files without close-on-exec (a print job's spool file, say): none
  // of them is the print command's business.
  if (close_range(3, ~0U, 0) != 0)
    for (int fd = 3; fd < kMaxDescriptor; ++fd) (void)close(fd);
  execv(program, argv);
  _exit(kExecFailed);
}

namespace {
// Whether c may be part of a queue's name: anything printable but a space and the
// characters a print server never allows there.
bool queue_name_byte(unsigned char c) {
  return c > ' ' && c != 0x7f && c != '/' && c != '#' && c != '\\' && c != '\'' && c != '"' &&
         c != '?';
}

bool ascii_letter_or_digit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The request id within word (no white space in it), or nothing.
LpRequest request_in(const std::string &word) {
  LpRequest request;
  for (size_t dash = word.rfind('-'); dash != std::string::npos && dash > 0;
       dash = word.rfind('-', dash - 1)) {
    size_t end = dash + 1;
    long long number = 0;
    while (end < word.size() && word[end] >= '0' && word[end] <= '9' && number <= kMaxJobId)
      number = number * 10 + (word[end++] - '0');
    bool ends = end == word.size() || !ascii_letter_or_digit(static_cast<unsigned char>(word[end]));
    if (end == dash + 1 || !ends || number == 0 || number > kMaxJobId) continue;
    size_t start = dash;
    while (start > 0 && queue_name_byte(static_cast<unsigned char>(word[start - 1]))) --start;
    // The whole word before the number must be able to name a queue.
    if (start != 0) continue;
    request.destination = word.substr(0, dash);
    request.job_id = static_cast<int>(number);
    return request;
  }
  return request;
}

// The running print command's pid, 0 when none runs; g_stopping once the helper
// ends. Both are read by stop_print_command, from a signal handler.
std::atomic<pid_t> g_running{0};
std::atomic<bool> g_stopping{false};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read from a signal handler");

// Copies what a child wrote on fd into said, until it ends its output or deadline
// passes (then false). Both descriptors are read together, so that neither pipe
// fills while the other is waited on.
bool read_both(int out_fd, int err_fd, std::string *out, std::string *err,
               std::chrono::steady_clock::time_point deadline) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string *into[2] = {out, err};
  int open_ends = 2;
  char buf[4096];
  while (open_ends > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return true;  // nothing more can be read; the wait tells the rest
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open_ends;
      } else {
        into[i]->append(buf, static_cast<size_t>(n));
      }
    }
  }
  return true;
}

// Appends value to arg so that the print command's option parser takes it as one
// value whatever it holds: white space, quotes and backslashes are escaped.
void append_escaped(std::string *arg, const std::string &value) {
  for (char c : value) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\'' || c == '"' || c == '\\') *arg += '\\';
    *arg += c;
  }
}
}  // namespace

LpRequest parse_request_id(const std::string &output) {
  size_t at = 0;
  while (at < output.size()) {
    size_t start = output.find_first_not_of(" \t\r\n", at);
    if (start == std::string::npos) break;
    size_t end = output.find_first_of(" \t\r\n", start);
    if (end == std::string::npos) end = output.size();
    LpRequest request = request_in(output.substr(start, end - start));
    if (request.job_id != 0) return request;
    at = end;
  }
  return LpRequest{};
}

std::string lp_complaint(const std::string &output) {
  std::string last;
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(at, end - at);
    if (!line.empty()) last = line;
    at = end + 1;
  }
  size_t colon = last.find(": ");
  std::string program = colon == std::string::npos ? "" : last.substr(0, colon);
  if (program == "lp" || (program.size() > 3 && program.compare(program.size() - 3, 3, "/lp") == 0))
    last.erase(0, colon + 2);
  return last;
}

std::vector<std::string> lp_arguments(const LpJob &job) {
  std::vector<std::string> args = {kPrintCommand};
  if (!job.destination.empty()) args.insert(args.end(), {"-d", job.destination});
  if (!job.title.empty()) args.insert(args.end(), {"-t", job.title});
  for (const auto &option : job.options) {
    std::string arg = option.first + "=";
    append_escaped(&arg, option.second);
    args.insert(args.end(), {"-o", arg});
  }
  // The file is always a full path, so it is never taken for an option.
  args.push_back(job.file);
  return args;
}

void stop_print_command() {
  g_stopping.store(true);
  pid_t pid = g_running.load();
  if (pid > 0) (void)kill(pid, SIGTERM);
}

bool print_command_running() { return g_running.load() != 0; }

DirectPrint print_direct(const LpJob &job) {
  DirectPrint result;
  // Everything the child needs is made before the fork.
  std::vector<std::string> args = lp_arguments(job);
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (devnull < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    fprintf(stderr, "vandrel: cannot start %s: %s\n", kPrintCommand, log_strerror(errno));
    for (int fd : {devnull, out[0], out[1], err[0], err[1]})
      if (fd >= 0) close(fd);
    return result;
  }
  pid_t pid = start_child(kPrintCommand, argv.data(), devnull, out[1], err[1]);
  int fork_errno = errno;
  close(devnull);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    fprintf(stderr, "vandrel: cannot start %s: %s\n", kPrintCommand, log_strerror(fork_errno));
    return result;
  }
  g_running.store(pid);
  // An ending that began just before the pid was known would have missed it.
  if (g_stopping.load()) (void)kill(pid, SIGTERM);
  // lp writes a line or two; it ends once the print server has the file.
  std::string said, complained;
  bool answered = read_both(out[0], err[0], &said, &complained,
                            std::chrono::steady_clock::now() + std::chrono::seconds(kLpSeconds));
  if (!answered) {
    result.timed_out = true;
    (void)kill(pid, SIGKILL);
  }
  close(out[0]);
  close(err[0]);
  std::string both = said + complained;
  if (!both.empty()) {
    fwrite(both.data(), 1, both.size(), stderr);
    fflush(stderr);
  }
  pid_t w;
  do {
    w = waitpid(pid, &result.status, 0);
  } while (w < 0 && errno == EINTR);
  g_running.store(0);
  if (w < 0) {
    fprintf(stderr, "vandrel: waiting for %s: %s\n", kPrintCommand, log_strerror(errno));
    result.status = -1;
  } else if (result.timed_out) {
    fprintf(stderr, "vandrel: %s %s had no answer from the print server in %d s; stopped\n",
            kPrintCommand, log_text(job.file).c_str(), kLpSeconds);
  } else if (WIFEXITED(result.status) && WEXITSTATUS(result.status) != 0) {
    fprintf(stderr, "vandrel: %s %s exited with status %d\n", kPrintCommand,
            log_text(job.file).c_str(), WEXITSTATUS(result.status));
  } else if (WIFSIGNALED(result.status)) {
    result.stopped = g_stopping.load();
    fprintf(stderr, "vandrel: %s %s ended by signal %d\n", kPrintCommand,
            log_text(job.file).c_str(), WTERMSIG(result.status));
  }
  result.request = parse_request_id(said);
  result.complaint = lp_complaint(complained);
  if (result.accepted()) spool_remove(job.file.c_str());
  return result;
}
