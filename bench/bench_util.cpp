#include "bench_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

static const char *g_program = "bench";

BenchOptions parse_bench_options(int argc, char **argv, const char *program) {
  g_program = program;
  BenchOptions opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--reps" && has_value) {
      opt.reps = atoi(argv[++i]);
    } else if (a == "--settle" && has_value) {
      opt.settle = atof(argv[++i]);
    } else if (a == "--sizes" && has_value) {
      opt.sizes_mib.clear();
      for (char *s = strtok(argv[++i], ","); s; s = strtok(nullptr, ","))
        opt.sizes_mib.push_back(static_cast<unsigned>(atoi(s)));
    } else if (a == "--quiet-wait" && has_value) {
      opt.quiet_wait = atof(argv[++i]);
    } else if (a == "--check") {
      opt.check = true;
    } else if (a[0] != '-' && opt.vandrel.empty()) {
      opt.vandrel = a;
    } else {
      opt.vandrel.clear();
      break;
    }
  }
  bool sizes_ok = !opt.sizes_mib.empty();
  for (unsigned s : opt.sizes_mib) sizes_ok = sizes_ok && s >= 1 && s <= 2048;
  if (opt.vandrel.empty() || opt.reps < 1 || !sizes_ok) {
    fprintf(stderr,
            "usage: %s VANDREL [--reps N] [--sizes MIB[,MIB...]] [--settle SECONDS] "
            "[--quiet-wait SECONDS] [--check]\n",
            program);
    exit(2);
  }
  return opt;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void die(const char *what) {
  fprintf(stderr, "%s: %s\n", g_program, what);
  exit(2);
}

long status_kib(pid_t pid, const char *field) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[8192];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return -1;
  buf[n] = '\0';
  const char *at = strstr(buf, field);
  if (!at) return -1;
  return strtol(at + strlen(field), nullptr, 10);
}

bool reset_peak(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/clear_refs", static_cast<int>(pid));
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, "5", 1) == 1;
  close(fd);
  return ok;
}

// Busy and total jiffies of all processors, from /proc/stat.
static bool cpu_jiffies(unsigned long long *busy, unsigned long long *total) {
  FILE *f = fopen("/proc/stat", "re");
  if (!f) return false;
  unsigned long long v[8] = {};
  int n = fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                 &v[4], &v[5], &v[6], &v[7]);
  fclose(f);
  if (n < 5) return false;
  *total = 0;
  for (unsigned long long x : v) *total += x;
  *busy = *total - v[3] - v[4];  // all but idle and iowait
  return true;
}

double wait_quiet(double max_wait) {
  double start = now();
  unsigned long long busy0, total0, busy1, total1;
  if (max_wait <= 0 || !cpu_jiffies(&busy0, &total0)) return 0;
  for (;;) {
    usleep(250000);
    if (!cpu_jiffies(&busy1, &total1)) return 0;
    bool quiet = total1 > total0 && (busy1 - busy0) * 10 < total1 - total0;
    if (quiet) return now() - start;
    if (now() - start > max_wait) return -(now() - start);
    busy0 = busy1;
    total0 = total1;
  }
}

std::string load_average() {
  char buf[128] = "";
  FILE *f = fopen("/proc/loadavg", "re");
  if (f) {
    if (!fgets(buf, sizeof buf, f)) buf[0] = '\0';
    fclose(f);
  }
  std::string s = buf;
  size_t end = 0;
  for (int fields = 0; fields < 3 && end != std::string::npos; ++fields) end = s.find(' ', end + 1);
  return s.substr(0, end);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void drain(int fd, std::string *into) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into->append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

void remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR *d = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
      closedir(d);
      for (const std::string &n : names) remove_tree(path + "/" + n);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

HelperProcess start_helper(const std::string &vandrel, const std::string &home) {
  remove_tree(home);
  if (mkdir(home.c_str(), 0700) != 0) die("cannot make the helper's home folder");
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    if (strncmp(*e, "HOME=", 5) != 0) env.push_back(*e);
  env.push_back("HOME=" + home);
  HelperProcess p;
  if (!spawn_helper({vandrel}, &env, true, &p)) die("cannot start the helper");
  fcntl(p.err_helper, F_SETFL, fcntl(p.err_helper, F_GETFL) | O_NONBLOCK);
  return p;
}

void settle(const HelperProcess &p, double seconds, std::string *err) {
  double until = now() + seconds;
  while (now() < until) {
    struct pollfd pfd = {p.err_helper, POLLIN, 0};
    if (poll(&pfd, 1, 10) > 0) drain(p.err_helper, err);
  }
}

void end_helper(HelperProcess *p, bool alive, std::thread *writer, std::string *err) {
  if (alive) kill(p->pid, SIGTERM);
  close(p->to_helper);
  writer->join();
  while (waitpid(p->pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (p->err_helper >= 0) {
    drain(p->err_helper, err);
    close(p->err_helper);
  }
  close(p->from_helper);
}
