#include "printing/lp.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

LpRequest parse_request_id(const std::string &output) {
  static const char kIntro[] = "request id is ";
  LpRequest request;
  size_t at = output.find(kIntro);
  if (at == std::string::npos) return request;
  at += sizeof kIntro - 1;
  size_t end = output.find_first_of(" \n", at);
  std::string id = output.substr(at, end == std::string::npos ? std::string::npos : end - at);
  size_t dash = id.rfind('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == id.size()) return request;
  int number = 0;
  for (size_t i = dash + 1; i < id.size(); ++i) {
    if (id[i] < '0' || id[i] > '9' || number > kMaxJobId / 10) return request;
    number = number * 10 + (id[i] - '0');
  }
  request.destination = id.substr(0, dash);
  request.job_id = number;
  return request;
}

std::string lp_complaint(const std::string &output) {
  std::string last;
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(at, end - at);
    if (!line.empty() && line.compare(0, 14, "request id is ") != 0) last = line;
    at = end + 1;
  }
  size_t colon = last.find(": ");
  std::string program = colon == std::string::npos ? "" : last.substr(0, colon);
  if (program == "lp" || (program.size() > 3 && program.compare(program.size() - 3, 3, "/lp") == 0))
    last.erase(0, colon + 2);
  return last;
}

DirectPrint print_direct(const char *fullname) {
  DirectPrint result;
  // Everything the child needs is made before the fork.
  char *const parmList[] = {const_cast<char *>(kPrintCommand), const_cast<char *>(fullname),
                            nullptr};
  int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out[2] = {-1, -1};
  if (devnull < 0 || pipe2(out, O_CLOEXEC) != 0) {
    fprintf(stderr, "vandrel: cannot start %s: %s\n", kPrintCommand, log_strerror(errno));
    if (devnull >= 0) close(devnull);
    return result;
  }
  pid_t pid = start_child(kPrintCommand, parmList, devnull, out[1], out[1]);
  int fork_errno = errno;
  close(devnull);
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    fprintf(stderr, "vandrel: cannot start %s: %s\n", kPrintCommand, log_strerror(fork_errno));
    return result;
  }
  // lp writes a line or two, in the order it wrote them; it ends once the print
  // server has the file.
  std::string said;
  char buf[4096];
  for (;;) {
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  if (!said.empty()) {
    fwrite(said.data(), 1, said.size(), stderr);
    fflush(stderr);
  }
  pid_t w;
  do {
    w = waitpid(pid, &result.status, 0);
  } while (w < 0 && errno == EINTR);
  if (w < 0) {
    fprintf(stderr, "vandrel: waiting for %s: %s\n", kPrintCommand, log_strerror(errno));
    result.status = -1;
  } else if (WIFEXITED(result.status) && WEXITSTATUS(result.status) != 0) {
    fprintf(stderr, "vandrel: %s %s exited with status %d\n", kPrintCommand,
            log_text(fullname).c_str(), WEXITSTATUS(result.status));
  } else if (WIFSIGNALED(result.status)) {
    fprintf(stderr, "vandrel: %s %s ended by signal %d\n", kPrintCommand,
            log_text(fullname).c_str(), WTERMSIG(result.status));
  }
  result.request = parse_request_id(said);
  result.complaint = lp_complaint(said);
  if (result.accepted()) spool_remove(fullname);
  return result;
}
