// vandrel-host: the reference host. Starts vandrel on two pipes, sends it files,
// prints the control messages it answers with, then stops and ends it.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/wire.h"
#include "host/frames.h"

using Clock = std::chrono::steady_clock;

// How often the host looks whether the helper has gone quiet or ended.
constexpr std::chrono::milliseconds kLookEvery{20};
// How long the output watcher waits for data before it looks whether it is to quit.
constexpr int kQuitLookMs = 100;
// How long an ending helper gets after SIGTERM before SIGKILL: its own ending hands
// confirmed print jobs over for up to half a minute, and takes a few seconds more.
constexpr std::chrono::seconds kEndingWait{60};

static const char kUsage[] =
    "Usage: vandrel-host [--helper PATH] [--command WORD] [--name NAME]\n"
    "                    [--stop=signal|eof] [--wait SECONDS] FILE...\n"
    "Starts the vandrel helper with pipes on its standard input and output, sends it\n"
    "each FILE as one job and prints the control messages it sends back, time-stamped\n"
    "\n"
    "  --helper PATH    the helper to run (default: vandrel next to this program,\n"
    "                   else on PATH)\n"
    "  --command WORD   the job's command word (default: default); one of\n"
    "                   default (print silently), adobeprintdialog (print dialog),\n"
    "                   sendfile (save dialog); any other word gets a notice\n"
    "  --name NAME      the document name (default: the file's base name)\n"
    "  --stop=eof       when all files are sent, close the helper's input (default)\n"
    "  --stop=signal    ... or, once it has read everything, send it SIGUSR1\n"
    "  --wait SECONDS   for a helper without job reports: after its output has\n"
    "                   ended, wait this long (default 3) before ending it\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "Wire format. Host to helper: frames, each a 4-byte little-endian length and a\n"
    "gzip body. A job is a command frame (payload: 13 bytes of any non-NUL text, then\n"
    "the word, ended by any of the characters x ! 2 # $), then for default and\n"
    "adobeprintdialog a skipped frame (dropped undecoded) and a file frame, for\n"
    "sendfile a file frame, for other words nothing. File frame payload: a 1024-byte\n"
    "header \"NAMEx!2#$...\" padded with NULs, then the document bytes.\n"
    "Helper to host: control messages of exactly 512 bytes, a NUL-padded word:\n"
    "\"removefullscreen\" before each dialog, \"restorefullscreen\" after it.\n"
    "With --report (which vandrel-host always gives) the helper also sends \"ready\"\n"
    "(then its protocol version and capabilities), \"job N OUTCOME\" for each job\n"
    "(then fields: lead=, reason=, queue=, server-job=, path=) and \"end\" once every\n"
    "job is done; this program prints each of them and ends the helper with SIGTERM\n"
    "only after \"end\". A helper without reports is ended once its output has ended\n"
    "(and --wait has passed).\n"
    "Once running, the helper does not exit by itself (without a display it exits at\n"
    "once with status 1); SIGUSR1 or the end of input stops its reading.\n"
    "\n"
    "Exit status: 0 when every job was printed, queued at the print server or saved\n"
    "(or, for a helper without reports, when all went as planned), 3 when some job\n"
    "was cancelled, failed,\n"
    "unsupported or skipped, 2 on usage errors, 1 if the helper cannot be started, a\n"
    "file cannot be read, or the helper ends before it is told to.\n";

struct Options {
  std::string helper;
  std::string command = kCommandDefault;
  std::string name;
  bool stop_signal = false;
  double wait_seconds = 3;
  std::vector<std::string> files;
};

// What the output watcher has seen; the lock guards every field but fd and files.
struct Watch {
  int fd = -1;                                      // our end of the helper's standard output
  const std::vector<std::string> *files = nullptr;  // job N is files[N - 1]
  std::mutex lock;
  std::condition_variable changed;
  int open_dialogs = 0;
  Clock::time_point last_message = Clock::now();
  bool helper_gone = false;
  bool first_seen = false;
  bool reports = false;  // the first block was "ready": the helper reports every job
  bool end_seen = false;
  std::vector<std::string> outcomes;  // by job number less one; empty until reported
  std::atomic<bool> quit{false};      // set by main once the helper has been reaped
};

// The job number and outcome of a report block ("job N OUTCOME"); false for any
// other word.
static bool parse_report(const std::string &word, size_t *n, std::string *outcome) {
  unsigned long number = 0;
  char what[32];
  if (sscanf(word.c_str(), "job %lu %31s", &number, what) != 2 || number == 0) return false;
  *n = number;
  *outcome = what;
  return true;
}

// True when name comes back unchanged from a file frame's header (short enough,
// no separator in it).
static bool name_fits(const std::string &name) {
  char decoded[kTextSize];
  Bytes payload = file_payload(name, Bytes());
  return decode_document_name(payload.data(), payload.size(), decoded) == DecodeOk &&
         name == decoded;
}

// Reports a usage error on standard error. Returns the exit status for it.
static int usage_error(const std::string &why) {
  fprintf(stderr, "vandrel-host: %s (see vandrel-host --help)\n", why.c_str());
  return 2;
}

// Sets one option from its key and value. Returns false when either is bad.
static bool set_option(const std::string &key, const std::string &value, Options *opt) {
  char *end = nullptr;
  if (key == "--helper")
    opt->helper = value;
  else if (key == "--command")
    opt->command = value;
  else if (key == "--name")
    opt->name = value;
  else if (key == "--stop" && (value == "signal" || value == "eof"))
    opt->stop_signal = value == "signal";
  else if (key == "--wait")
    opt->wait_seconds = strtod(value.c_str(), &end);
  else
    return false;
  return !end || (end != value.c_str() && !*end && opt->wait_seconds >= 0);
}

// Fills *opt from the command line ("--key value" or "--key=value"). Returns -1 to
// go on, else the exit status: 0 after --help or --version, 2 after a usage error
// (reported).
static int parse_options(int argc, char **argv, Options *opt) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      opt->files.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      // Same line as the helper's: the two programs always come together.
      printf("vandrel %s\n", VANDREL_VERSION);
      return 0;
    } else {
      std::string key = arg.substr(0, arg.find('='));
      bool inline_value = key.size() < arg.size();
      if (!inline_value && i + 1 == argc) return usage_error(arg + " needs a value");
      std::string value = inline_value ? arg.substr(key.size() + 1) : argv[++i];
      if (!set_option(key, value, opt)) return usage_error("bad option " + key + " " + value);
    }
  }
  if (opt->files.empty()) return usage_error("no FILE given");
  if (!opt->name.empty() && !name_fits(opt->name))
    return usage_error(std::string("--name is too long or holds \"") + kSeparator + "\"");
  return -1;
}

// The path of an executable called word: word itself when it holds a "/", else the
// first match on PATH. Empty when there is none.
static std::string find_program(const std::string &word) {
  if (word.find('/') != std::string::npos) return word;
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t colon = dirs.find(':', at);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = colon > at ? dirs.substr(at, colon - at) : ".";
    std::string candidate = dir + "/" + word;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = colon + 1;
  }
  return "";
}

// The default helper: "vandrel" in this program's own folder, else on PATH.
static std::string default_helper() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string beside = std::string(self, static_cast<size_t>(n));
    beside = beside.substr(0, beside.rfind('/') + 1) + "vandrel";
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
  return find_program("vandrel");
}

// Reads the file at path and builds its whole conversation into *out. Returns false
// (and says why) when the file cannot be read or its name cannot be carried.
static bool load_conversation(const std::string &path, const Options &opt, Bytes *out) {
  FILE *in = fopen(path.c_str(), "rb");
  Bytes document;
  unsigned char buf[65536];
  size_t n;
  while (in && (n = fread(buf, 1, sizeof buf, in)) > 0)
    document.insert(document.end(), buf, buf + n);
  if (!in || ferror(in)) {
    fprintf(stderr, "vandrel-host: cannot read %s: %s\n", path.c_str(), strerror(errno));
    if (in) fclose(in);
    return false;
  }
  fclose(in);
  std::string name = opt.name.empty() ? path.substr(path.rfind('/') + 1) : opt.name;
  if (!name_fits(name)) {
    fprintf(stderr, "vandrel-host: %s: its name is too long or holds \"%s\"\n", path.c_str(),
            kSeparator);
    return false;
  }
  *out = conversation(opt.command, name, document);
  return true;
}

// The first word of a block's text: "ready" and "end" may be followed by more (a
// protocol version and capabilities, a count), which a host that needs none of it
// leaves alone.
static std::string first_word(const std::string &text) { return text.substr(0, text.find(' ')); }

// Prints one block's word with the local time (a job's report with its file), and
// keeps what it says: open dialogs, reports, the end.
static void note_message(Watch *w, const std::string &word) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  std::lock_guard<std::mutex> guard(w->lock);
  if (!w->first_seen) w->reports = first_word(word) == "ready";
  w->first_seen = true;
  if (word == kRemoveFullScreen) ++w->open_dialogs;
  if (word == kRestoreFullScreen && w->open_dialogs > 0) --w->open_dialogs;
  if (w->reports && first_word(word) == "end") w->end_seen = true;
  size_t n = 0;
  std::string outcome, file;
  if (w->reports && parse_report(word, &n, &outcome)) {
    if (w->outcomes.size() < n) w->outcomes.resize(n);
    w->outcomes[n - 1] = outcome;
    if (n <= w->files->size()) file = " " + (*w->files)[n - 1];
  }
  w->last_message = Clock::now();
  printf("%02d:%02d:%02d.%03ld %s%s\n", local.tm_hour, local.tm_min, local.tm_sec,
         now.tv_nsec / 1000000, word.c_str(), file.c_str());
  fflush(stdout);
  w->changed.notify_all();
}

// Runs on its own thread: reads the helper's output in whole 512-byte control
// messages until it ends, or until w->quit is set and nothing more is waiting.
static void watch_output(Watch *w) {
  std::string pending;
  char buf[4096];
  for (;;) {
    pollfd p = {w->fd, POLLIN, 0};
    int ready = poll(&p, 1, kQuitLookMs);
    if ((ready == 0 && w->quit) || (ready < 0 && errno != EINTR)) break;
    if (ready <= 0) continue;
    ssize_t got = read(w->fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buf, static_cast<size_t>(got));
    for (const std::string &word : control_words(pending)) note_message(w, word);
    pending.erase(0, pending.size() - pending.size() % kControlMessageSize);
  }
  if (!pending.empty())
    fprintf(stderr, "vandrel-host: %zu stray bytes after the last message\n", pending.size());
  std::lock_guard<std::mutex> guard(w->lock);
  w->helper_gone = true;
  w->changed.notify_all();
}

// Waits until the helper has gone, or has been quiet (no dialog open, no control
// message) for wait_seconds since `since`. With drain_fd >= 0 it also returns as soon
// as the helper has read every byte written to that pipe.
static void wait_settled(Watch *w, double wait_seconds, Clock::time_point since, int drain_fd) {
  auto quiet =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait_seconds));
  for (;;) {
    int unread = 0;
    if (drain_fd >= 0 && (ioctl(drain_fd, FIONREAD, &unread) != 0 || unread == 0)) return;
    {
      std::lock_guard<std::mutex> guard(w->lock);
      Clock::time_point last = w->last_message > since ? w->last_message : since;
      if (w->helper_gone || (w->open_dialogs == 0 && Clock::now() - last >= quiet)) return;
    }
    std::this_thread::sleep_for(kLookEvery);
  }
}

// Waits, without a time limit, until the helper has said "end" (every job it was sent
// is done) or its output has ended.
static void wait_done(Watch *w) {
  std::unique_lock<std::mutex> guard(w->lock);
  w->changed.wait(guard, [w] { return w->end_seen || w->helper_gone; });
}

// Ends the helper with SIGTERM and reaps it; it removes its files and ends on its own
// (SIGKILL only if it is still there a minute later). Returns false, after saying
// how, when it had already ended by itself.
static bool end_helper(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == pid) {
    if (WIFSIGNALED(status))
      fprintf(stderr, "vandrel-host: the helper died of signal %d\n", WTERMSIG(status));
    else
      fprintf(stderr, "vandrel-host: the helper exited with status %d\n", WEXITSTATUS(status));
    return false;
  }
  kill(pid, SIGTERM);
  for (auto until = Clock::now() + kEndingWait;
       Clock::now() < until && waitpid(pid, &status, WNOHANG) == 0;)
    std::this_thread::sleep_for(kLookEvery);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return true;
}

int main(int argc, char **argv) {
  Options opt;
  int rc = parse_options(argc, argv, &opt);
  if (rc >= 0) return rc;

  std::vector<Bytes> jobs(opt.files.size());
  for (size_t i = 0; i < opt.files.size(); ++i)
    if (!load_conversation(opt.files[i], opt, &jobs[i])) return 1;

  std::string helper = opt.helper.empty() ? default_helper() : find_program(opt.helper);
  HelperProcess hp;
  if (helper.empty()) {
    const char *wanted = opt.helper.empty() ? "vandrel" : opt.helper.c_str();
    fprintf(stderr, "vandrel-host: cannot find %s\n", wanted);
    return 1;
  }
  // The helper's standard error stays ours, so its diagnostics show up there. A helper
  // that predates job reports ignores the option: its first block tells.
  if (!spawn_helper({helper, "--report"}, nullptr, false, &hp)) {
    fprintf(stderr, "vandrel-host: cannot start %s: %s\n", helper.c_str(), strerror(errno));
    return 1;
  }
  // Only now: the helper must start with the default broken-pipe action.
  signal(SIGPIPE, SIG_IGN);
  Watch w;
  w.fd = hp.from_helper;
  w.files = &opt.files;
  std::thread watcher(watch_output, &w);

  bool ok = true;
  for (size_t i = 0; i < jobs.size() && ok; ++i) {
    ok = write_all(hp.to_helper, jobs[i].data(), jobs[i].size());
    if (!ok)
      fprintf(stderr, "vandrel-host: the helper stopped reading at %s\n", opt.files[i].c_str());
  }

  if (opt.stop_signal) {
    // Jobs still in the pipe would be lost, and a SIGUSR1 that comes before the helper
    // has set up its handler would end it.
    wait_settled(&w, opt.wait_seconds, Clock::now(), hp.to_helper);
    kill(hp.pid, SIGUSR1);
  } else {
    close(hp.to_helper);
    hp.to_helper = -1;
  }
  // Never before every job is done: the person may just have confirmed a print job
  // that the toolkit is still handing to the print server.
  wait_done(&w);
  bool reports;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    reports = w.reports;
  }
  // Without reports nothing says when a confirmed print job has been handed over.
  if (!reports) std::this_thread::sleep_for(std::chrono::duration<double>(opt.wait_seconds));
  ok = end_helper(hp.pid) && ok;

  w.quit = true;
  watcher.join();
  if (hp.to_helper >= 0) close(hp.to_helper);
  close(hp.from_helper);
  if (!ok) return 1;
  if (!reports) return 0;
  bool all_done = w.outcomes.size() == jobs.size();
  for (const std::string &outcome : w.outcomes) {
    if (outcome.empty()) {
      all_done = false;
    } else if (outcome != "printed" && outcome != "queued" && outcome != "saved") {
      return 3;
    }
  }
  if (!all_done) fprintf(stderr, "vandrel-host: the helper did not report every job\n");
  return all_done ? 0 : 1;
}
