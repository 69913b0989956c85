#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

// Last: Xlib's macros (None, Status, ...) would clash with the test framework's names.
#include <X11/Xlib.h>

extern char **environ;

TempDir::TempDir() {
  char tmpl[] = "/tmp/vandrel-test-XXXXXX";
  path = mkdtemp(tmpl);
}

TempDir::~TempDir() {
  if (!path.empty()) run({"/bin/rm", "-rf", path});
}

std::string run(const std::vector<std::string> &argv, int *status) {
  int st = -1;
  std::string out = run_capture(argv, &st);
  if (status) *status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string shared_folder(const TempDir &dir) {
  std::string shared = dir.path + "/shared";
  bool made = mkdir(shared.c_str(), 0777) == 0 && chmod(shared.c_str(), 01777) == 0 &&
              chown(shared.c_str(), 65533, 65533) == 0;
  return made ? shared : "";
}

std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  auto marks = std::find(names.begin(), names.end(), ".vandrel-held");
  if (marks != names.end()) {
    names.erase(marks);
    std::vector<std::string> alone;
    for (const std::string &mark : list_dir(path + "/.vandrel-held"))
      if (std::find(names.begin(), names.end(), mark) == names.end())
        alone.push_back(".vandrel-held/" + mark);
    names.insert(names.end(), alone.begin(), alone.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---- the private servers ---------------------------------------------------------

static Servers g_servers;
static TempDir *g_cups_home;
static pid_t g_xvfb = -1;
static pid_t g_window_manager = -1;
static TempDir *g_window_manager_home;
static pid_t g_session_bus = -1;

static std::string source_dir() { return VANDREL_SOURCE_DIR; }

void start_print_server() {
  int status = 0;
  std::string server =
      run({source_dir() + "/scripts/print-server", "start", g_servers.cups_dir}, &status);
  if (status != 0) {
    fprintf(stderr, "cannot start the print server\n");
    abort();
  }
  server.erase(server.find_last_not_of("\n") + 1);
  g_servers.cups_server = server;
}

void stop_print_server() {
  run({source_dir() + "/scripts/print-server", "stop", g_servers.cups_dir});
}

// Starts Xvfb on the first free display and learns its number from -displayfd.
pid_t start_xvfb(const std::string &screen, std::string *display) {
  int fds[2];
  if (pipe(fds) != 0) abort();
  std::string fd = std::to_string(fds[1]);
  // -noreset: when the last client goes, the server must not reset under the next one.
  std::vector<std::string> argv = {"/usr/bin/Xvfb", "-displayfd", fd,   "-noreset", "-screen", "0",
                                   screen,          "-nolisten",  "tcp"};
  std::vector<char *> args;
  for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) abort();
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) {
    fprintf(stderr, "Xvfb did not start\n");
    abort();
  }
  *display = ":" + number;
  return pid;
}

static void start_x_server() {
  std::string screen = !g_servers.window_manager.empty() ? "2560x1024x24" : "1280x1024x24";
  g_xvfb = start_xvfb(screen, &g_servers.display);
  setenv("DISPLAY", g_servers.display.c_str(), 1);
}

// Starts a private session bus (dbus-daemon) for everything started from here on.
static void start_session_bus() {
  int status = 0;
  std::string out = run({"/usr/bin/dbus-daemon", "--session", "--fork", "--print-address=1",
                         "--print-pid=1", "--nosyslog"},
                        &status);
  std::istringstream lines_of(out);
  std::string address, pid;
  std::getline(lines_of, address);
  std::getline(lines_of, pid);
  if (status != 0 || address.empty() || pid.empty()) {
    fprintf(stderr, "cannot start a session bus\n");
    abort();
  }
  g_session_bus = static_cast<pid_t>(std::stol(pid));
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

// Starts the window manager on the private display, with a home of its own so that
// no user configuration changes its behaviour (i3 gets a configuration of its own with
// nothing but its defaults), and waits until it manages the screen.
static void start_window_manager() {
  g_window_manager_home = new TempDir;
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "XDG_", 4) != 0) env.push_back(*e);
  env.push_back("HOME=" + g_window_manager_home->path);
  const std::string &name = g_servers.window_manager;
  std::vector<std::string> argv = {"/usr/bin/openbox", "--sm-disable"};
  if (name == "i3") {
    std::string config = g_window_manager_home->path + "/i3.config";
    write_file(config, "font pango:monospace 8\n");
    argv = {"/usr/bin/i3", "-c", config};
    // Its command socket goes there, not into a folder of its own under /tmp.
    env.push_back("XDG_RUNTIME_DIR=" + g_window_manager_home->path);
  } else if (name == "xfwm4") {
    argv = {"/usr/bin/xfwm4", "--compositor=off"};
  } else if (name == "fluxbox") {
    argv = {"/usr/bin/fluxbox"};
  } else if (name == "metacity") {
    argv = {"/usr/bin/metacity", "--sm-disable", "--no-composite"};
    env.push_back("GSETTINGS_BACKEND=memory");
  } else if (name == "icewm") {
    // With its own task bar along the bottom, as it comes.
    argv = {"/usr/bin/icewm"};
  } else if (name == "marco") {
    argv = {"/usr/bin/marco", "--sm-disable", "--no-composite"};
    env.push_back("GSETTINGS_BACKEND=memory");
  } else if (name == "mutter") {
    // As GNOME's X11 window manager, compositing (it always does) in software.
    argv = {"/usr/bin/mutter", "--x11", "--sm-disable"};
    env.push_back("GSETTINGS_BACKEND=memory");
  }
  std::vector<char *> envp, args;
  for (auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&g_window_manager, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
    fprintf(stderr, "cannot start %s\n", args[0]);
    abort();
  }
  posix_spawn_file_actions_destroy(&actions);

  Display *d = XOpenDisplay(g_servers.display.c_str());
  if (!d) abort();
  Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  auto until = std::chrono::steady_clock::now() + kDeadline;
  bool running = false;
  while (!running && std::chrono::steady_clock::now() < until) {
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char *data = nullptr;
    running = XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, AnyPropertyType,
                                 &type, &format, &n, &after, &data) == Success &&
              n == 1;
    if (data) XFree(data);
    if (!running) std::this_thread::sleep_for(100ms);
  }
  XCloseDisplay(d);
  if (!running) {
    fprintf(stderr, "%s did not start\n", g_servers.window_manager.c_str());
    abort();
  }
}

namespace {
struct ServersEnvironment : ::testing::Environment {
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    const char *window_manager = getenv("VANDREL_E2E_WINDOW_MANAGER");
    if (window_manager && *window_manager) {
      g_servers.window_manager = "openbox";
      for (const char *known : {"i3", "xfwm4", "fluxbox", "metacity", "icewm", "marco", "mutter"})
        if (strcmp(window_manager, known) == 0) g_servers.window_manager = known;
    }
    // A session bus of its own, for the desktop notifications the tests look at.
    if (!g_servers.window_manager.empty()) start_session_bus();
    start_x_server();
    if (!g_servers.window_manager.empty()) start_window_manager();
    g_cups_home = new TempDir;
    // The print server's filters run as lp and must reach its folder.
    chmod(g_cups_home->path.c_str(), 0755);
    g_servers.cups_dir = g_cups_home->path + "/cups";
    start_print_server();
    setenv("CUPS_SERVER", g_servers.cups_server.c_str(), 1);
  }
  void TearDown() override {
    stop_print_server();
    delete g_cups_home;
    if (g_window_manager > 0) {
      kill(g_window_manager, SIGTERM);
      while (waitpid(g_window_manager, nullptr, 0) < 0 && errno == EINTR) {
      }
      delete g_window_manager_home;
    }
    if (g_session_bus > 0) kill(g_session_bus, SIGTERM);
    if (g_xvfb > 0) {
      kill(g_xvfb, SIGTERM);
      waitpid(g_xvfb, nullptr, 0);
    }
  }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new ServersEnvironment);
}  // namespace

const Servers &servers() { return g_servers; }

// The IPP attribute value that follows name in a job's attribute file.
static std::string ipp_text(const std::string &attrs, const std::string &name) {
  size_t at = attrs.find(name);
  if (at == std::string::npos || at + name.size() + 2 > attrs.size()) return "";
  at += name.size();
  size_t len =
      (static_cast<unsigned char>(attrs[at]) << 8) | static_cast<unsigned char>(attrs[at + 1]);
  return attrs.substr(at + 2, len);
}

static std::vector<std::string> lines(const std::string &text);

size_t job_count() { return lines(run({"/usr/bin/lpstat", "-W", "all", "-o"})).size(); }

void wait_print_server_idle(Seconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (!run({"/usr/bin/lpstat", "-o"}).empty() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(100ms);
}

// A job counts once the server has finished with it, so its data file is whole, and
// once it has written the job's attributes (it does so a little later).
// The first completed job of the raw queue whose data and name match says (data is
// read only for the jobs whose name matches when by_name).
static PrintedJob wait_job(const std::string &key, bool by_name, Seconds deadline) {
  std::string spool = g_servers.cups_dir + "/spool";
  auto until = std::chrono::steady_clock::now() + deadline;
  do {
    std::string completed = run({"/usr/bin/lpstat", "-W", "completed", "-o"});
    for (const std::string &name : list_dir(spool)) {
      if (name.size() != 10 || name[0] != 'd' || name.compare(6, 4, "-001") != 0) continue;
      int id = atoi(name.c_str() + 1);
      if (completed.find("vandrel-raw-" + std::to_string(id) + " ") == std::string::npos) continue;
      PrintedJob job;
      job.id = id;
      job.name = ipp_text(read_file(spool + "/c" + name.substr(1, 5)), "job-name");
      if (job.name.empty() || (by_name && job.name != key)) continue;
      job.data = read_file(spool + "/" + name);
      if (by_name || job.data == key) return job;
    }
    std::this_thread::sleep_for(200ms);
  } while (std::chrono::steady_clock::now() < until);
  return PrintedJob();
}

PrintedJob wait_job_with_data(const std::string &data, Seconds deadline) {
  return wait_job(data, false, deadline);
}

PrintedJob wait_job_named(const std::string &job_name, Seconds deadline) {
  return wait_job(job_name, true, deadline);
}

std::string printer_got(const std::string &job_name, Seconds deadline) {
  std::string got = g_servers.cups_dir + "/printer/got";
  auto until = std::chrono::steady_clock::now() + deadline;
  do {
    for (const std::string &name : list_dir(got)) {
      std::string record = read_file(got + "/" + name);
      if (record.find("\nIPP_JOB_NAME=" + job_name + "\n") != std::string::npos) return record;
    }
    std::this_thread::sleep_for(200ms);
  } while (std::chrono::steady_clock::now() < until);
  return "";
}

std::string printer_got_from_lp(const std::string &file, const std::string &job_name,
                                const std::vector<std::string> &options) {
  std::vector<std::string> argv = {"/usr/bin/lp", "-d", kFilteredQueue, "-t", job_name};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(file);
  int status = -1;
  run(argv, &status);
  return status == 0 ? printer_got(job_name) : "";
}

static std::string access_log() { return g_servers.cups_dir + "/log/access_log"; }

size_t print_server_log_mark() { return read_file(access_log()).size(); }

bool wait_print_dialog_ready(size_t mark, const std::string &queue, Seconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  do {
    std::string log = read_file(access_log());
    size_t ppd = log.find("\"GET /printers/" + queue + ".ppd ", mark);
    if (ppd != std::string::npos && log.find(" CUPS-Get-Printers ", ppd) != std::string::npos)
      return true;
    std::this_thread::sleep_for(100ms);
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

// ---- the helper ------------------------------------------------------------------

// VANDREL_HELPER, when set, names the helper to test (an installed one, say).
static const char *installed_helper() {
  const char *path = getenv("VANDREL_HELPER");
  return path && *path ? path : nullptr;
}

std::string helper_binary() {
  const char *installed = installed_helper();
  return installed ? installed : VANDREL_BINARY;
}

std::string host_binary() {
  std::string helper = helper_binary();
  return helper.substr(0, helper.rfind('/') + 1) + "vandrel-host";
}

static std::vector<std::string> helper_environment(const std::vector<std::string> &extra,
                                                   const std::string &home) {
  std::vector<std::string> env = {
      "PATH=/usr/local/bin:/usr/bin:/bin", "DISPLAY=" + g_servers.display,
      "CUPS_SERVER=" + g_servers.cups_server, "NO_AT_BRIDGE=1", "LANG=C.UTF-8"};
  // The build tree's helper would look for its catalogs where it is to be installed.
  if (!installed_helper())
    env.push_back(std::string("VANDREL_LOCALEDIR=") + VANDREL_BUILD_LOCALEDIR);
  if (home != "-") env.push_back("HOME=" + home);
  // The session bus of the window manager groups, where a desktop's services live.
  if (const char *bus = getenv("DBUS_SESSION_BUS_ADDRESS"))
    env.push_back(std::string("DBUS_SESSION_BUS_ADDRESS=") + bus);
  for (const std::string &e : extra) {
    std::string key = e.substr(0, e.find('=') + 1);
    env.erase(
        std::remove_if(env.begin(), env.end(),
                       [&](const std::string &x) { return x.compare(0, key.size(), key) == 0; }),
        env.end());
    env.push_back(e);
  }
  return env;
}

static void collect(Helper *h, int fd, std::string Helper::*into, bool is_out) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> g(h->lock);
    if (n <= 0) {
      if (is_out) h->out_closed = true;
      h->changed.notify_all();
      return;
    }
    (h->*into).append(buf, static_cast<size_t>(n));
    h->changed.notify_all();
  }
}

Helper::Helper(const std::vector<std::string> &extra_env, const std::string &home_override,
               const std::vector<std::string> &prefix, const std::vector<std::string> &args) {
  home = home_override.empty() ? home_dir.path : home_override;
  std::vector<std::string> env = helper_environment(extra_env, home);
  std::vector<std::string> argv = prefix;
  argv.push_back(helper_binary());
  argv.insert(argv.end(), args.begin(), args.end());
  if (!spawn_helper(argv, &env, true, &proc)) {
    ADD_FAILURE() << "cannot start " << argv[prefix.size()] << ": " << strerror(errno);
    return;
  }
  out_reader = std::thread(collect, this, proc.from_helper, &Helper::out, true);
  err_reader = std::thread(collect, this, proc.err_helper, &Helper::err, false);
  writer = std::thread([this] {
    for (;;) {
      Bytes next;
      {
        std::unique_lock<std::mutex> g(lock);
        changed.wait(g, [this] { return !outgoing.empty() || writer_done; });
        if (outgoing.empty()) return;
        next = std::move(outgoing.front());
        outgoing.pop_front();
      }
      if (next.empty()) {
        close(proc.to_helper);
        proc.to_helper = -1;
        continue;
      }
      if (proc.to_helper >= 0) write_all(proc.to_helper, next.data(), next.size());
    }
  });
}

Helper::~Helper() {
  if (proc.pid > 0) {
    kill(proc.pid, SIGKILL);
    while (waitpid(proc.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  {
    std::lock_guard<std::mutex> g(lock);
    writer_done = true;
    outgoing.clear();
    changed.notify_all();
  }
  if (writer.joinable()) writer.join();
  if (out_reader.joinable()) out_reader.join();
  if (err_reader.joinable()) err_reader.join();
  if (proc.to_helper >= 0) close(proc.to_helper);
  if (proc.from_helper >= 0) close(proc.from_helper);
  if (proc.err_helper >= 0) close(proc.err_helper);
}

void Helper::send(const Bytes &bytes) {
  if (bytes.empty()) return;
  std::lock_guard<std::mutex> g(lock);
  outgoing.push_back(bytes);
  changed.notify_all();
}

void Helper::close_input() {
  std::lock_guard<std::mutex> g(lock);
  outgoing.push_back(Bytes());
  changed.notify_all();
}

static size_t count_in(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

bool Helper::wait_err(const std::string &needle, size_t count, Seconds deadline) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, deadline, [&] { return count_in(err, needle) >= count; });
}

bool Helper::wait_messages(size_t n, Seconds deadline) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, deadline, [&] { return out.size() >= n * 512; });
}

bool Helper::wait_out_closed(Seconds deadline) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, deadline, [&] { return out_closed; });
}

std::vector<std::string> Helper::messages() {
  std::lock_guard<std::mutex> g(lock);
  return control_words(out);
}

std::vector<std::string> Helper::words() {
  std::vector<std::string> plain;
  for (const std::string &m : messages()) {
    // "job N WORD" keeps its three words, any other block its first.
    size_t cut = m.find(' ');
    if (m.compare(0, 4, "job ") == 0) cut = m.find(' ', m.find(' ', 4) + 1);
    plain.push_back(m.substr(0, cut));
  }
  return plain;
}

std::string Helper::err_text() {
  std::lock_guard<std::mutex> g(lock);
  return err;
}

std::string Helper::out_text() {
  std::lock_guard<std::mutex> g(lock);
  return out;
}

size_t Helper::count_err(const std::string &needle) {
  std::lock_guard<std::mutex> g(lock);
  return count_in(err, needle);
}

bool Helper::alive() {
  std::string stat = read_file("/proc/" + std::to_string(proc.pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  return close_paren != std::string::npos && close_paren + 2 < stat.size() &&
         stat[close_paren + 2] != 'Z' && stat[close_paren + 2] != 'X';
}

int Helper::input_pipe_references() {
  std::string fd_dir = "/proc/" + std::to_string(proc.pid) + "/fd";
  char target[256];
  ssize_t n = readlink((fd_dir + "/0").c_str(), target, sizeof target - 1);
  if (n <= 0) return 0;
  std::string input(target, static_cast<size_t>(n));
  int refs = 0;
  for (const std::string &fd : list_dir(fd_dir)) {
    n = readlink((fd_dir + "/" + fd).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == input) ++refs;
  }
  return refs;
}

std::vector<std::string> Helper::descriptors() {
  std::string fd_dir = "/proc/" + std::to_string(proc.pid) + "/fd";
  std::vector<std::string> targets;
  char target[256];
  for (const std::string &fd : list_dir(fd_dir)) {
    ssize_t n = readlink((fd_dir + "/" + fd).c_str(), target, sizeof target - 1);
    if (n > 0) targets.emplace_back(target, static_cast<size_t>(n));
  }
  return targets;
}

long Helper::resident_kib() {
  std::string status = read_file("/proc/" + std::to_string(proc.pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0L : atol(status.c_str() + at + 6);
}

void Helper::signal(int sig) { kill(proc.pid, sig); }

int Helper::wait_exit(Seconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  do {
    pid_t got = waitpid(proc.pid, &status, WNOHANG);
    if (got == proc.pid) {
      proc.pid = -1;  // nothing left to kill
      return status;
    }
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < until);
  return -1;
}

// ---- dialogs ---------------------------------------------------------------------

static std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(line);
  return out;
}

std::string wait_window(const std::string &title, Seconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < until) {
    std::vector<std::string> ids =
        lines(run({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}));
    if (!ids.empty()) return ids.back();
    std::this_thread::sleep_for(100ms);
  }
  return "";
}

bool wait_window_gone(const std::string &title, Seconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < until) {
    if (lines(run({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}))
            .empty())
      return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

std::vector<std::string> visible_windows(pid_t pid) {
  return lines(run({"/usr/bin/xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}));
}

std::string window_name(const std::string &id) {
  std::string name = run({"/usr/bin/xdotool", "getwindowname", id});
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

static void focus(const std::string &window) {
  run({"/usr/bin/timeout", "30", "/usr/bin/xdotool", "windowfocus", "--sync", window});
}

void press(const std::string &window, const std::vector<std::string> &keys) {
  focus(window);
  for (const std::string &k : keys) {
    run({"/usr/bin/xdotool", "key", "--clearmodifiers", k});
    std::this_thread::sleep_for(100ms);
  }
}

void type_text(const std::string &window, const std::string &text) {
  focus(window);
  run({"/usr/bin/xdotool", "type", "--delay", "20", text});
}

void close_window(const std::string &window) {
  Display *d = XOpenDisplay(g_servers.display.c_str());
  if (!d) return;
  Window w = static_cast<Window>(strtoul(window.c_str(), nullptr, 10));
  XEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, w, False, NoEventMask, &ev);
  XFlush(d);
  XCloseDisplay(d);
}

bool wait_window_id_gone(const std::string &window, Seconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < until) {
    std::vector<std::string> ids =
        lines(run({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "."}));
    if (std::find(ids.begin(), ids.end(), window) == ids.end()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

bool answer_dialog(const std::string &title, const std::string &key) {
  std::string w = wait_window(title);
  if (w.empty()) return false;
  press(w, {key});
  // Another dialog of the same title may follow at once; this one must go.
  return wait_window_id_gone(w);
}

bool confirm_print_dialog() { return confirm_print_window(wait_window("Vandrel Dialog")); }

bool confirm_print_window(const std::string &w) {
  if (w.empty()) return false;
  auto until = std::chrono::steady_clock::now() + kDeadline;
  while (std::chrono::steady_clock::now() < until) {
    press(w, {"Return"});
    if (wait_window_id_gone(w, 2s)) return true;
  }
  return false;
}

std::string primary_selection() {
  return run({"/usr/bin/timeout", "10", "/usr/bin/xclip", "-o", "-selection", "primary"});
}

AutoAnswer::AutoAnswer(pid_t pid) {
  thread = std::thread([this, pid] {
    while (!stop) {
      for (const std::string &w : visible_windows(pid)) press(w, {"Escape"});
      std::this_thread::sleep_for(50ms);
    }
  });
}

AutoAnswer::~AutoAnswer() {
  stop = true;
  thread.join();
}

Bytes sample_pdf(int pages, const std::string &tag) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (int i = 0; i < pages; ++i) {
    int page = 3 + 2 * i;
    kids += std::to_string(page) + " 0 R ";
    std::string text =
        "BT /F1 24 Tf 72 720 Td (" + tag + " page " + std::to_string(i + 1) + ") Tj ET";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents " +
                      std::to_string(page + 1) +
                      " 0 R /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 "
                      "/BaseFont /Helvetica >> >> >> >>");
    objects.push_back("<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text +
                      "\nendstream");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>";
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[32];
    snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return Bytes(pdf.begin(), pdf.end());
}

Bytes sample_document(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string head = "%PDF-1.4\n% vandrel test document\n";
  Bytes doc(head.begin(), head.end());
  static const char *words[] = {"stream", "endobj", "obj", "/Type", "/Page",
                                "BT",     "ET",     "Tj",  "\n"};
  while (doc.size() < n) {
    if (rng() % 8 == 0) {
      doc.push_back(static_cast<unsigned char>(rng()));
    } else {
      const char *w = words[rng() % 9];
      doc.insert(doc.end(), w, w + strlen(w));
      doc.push_back(' ');
    }
  }
  doc.resize(n);
  return doc;
}
