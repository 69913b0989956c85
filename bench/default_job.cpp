// bench_default_job: what a silent ("default") print job of a large document costs
// the real helper, in time and in memory, against doing the same by hand
// (gzip -dc, then lp) on the same machine, print server and compressed data.
//
//   bench_default_job VANDREL [--reps N] [--sizes MIB[,MIB...]] [--settle SECONDS]
//                     [--quiet-wait SECONDS] [--check]
//
// Each timing starts once the machine has been quiet for a moment (at most
// --quiet-wait seconds, default 15), so that other work on a shared machine falls
// on neither way; --quiet-wait 0 times at once.
// Needs DISPLAY (the helper starts its toolkit) and CUPS_SERVER (a print server
// with a default queue; scripts/bench starts private ones of both).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "document.h"
#include "host/frames.h"

namespace {

using Options = BenchOptions;

// One size's prepared input.
struct Workload {
  unsigned mib = 0;
  size_t doc_size = 0;
  std::string name;     // the document name the host sends
  Bytes conversation;   // the whole "default" conversation, ready to write
  size_t gz_size = 0;   // the file frame's compressed body
  std::string gz_path;  // the document alone, gzip-compressed, for the by-hand way
};

// One repetition's figures.
struct Run {
  double helper_s = 0;
  double baseline_s = 0;
  bool busy = false;  // a timing started on a machine that never got quiet
  long idle_kib = 0;
  long peak_above_kib = 0;
};

// Waits until the print server has no job pending or printing, then drops the job
// files it keeps (a private server started by scripts/print-server keeps them all),
// so one measurement's leftovers do not weigh on the next.
void settle_print_server() {
  double until = now() + 120;
  int status;
  while (!run_capture({"/usr/bin/lpstat", "-o"}, &status).empty() && now() < until) usleep(50000);
  const char *server = getenv("CUPS_SERVER");
  std::string sock = server ? server : "";
  const std::string suffix = "/cups.sock";
  if (sock.size() > suffix.size() &&
      sock.compare(sock.size() - suffix.size(), suffix.size(), suffix) == 0) {
    std::string spool = sock.substr(0, sock.size() - suffix.size()) + "/spool";
    if (DIR *d = opendir(spool.c_str())) {
      while (struct dirent *e = readdir(d))
        if (e->d_name[0] == 'd' && strlen(e->d_name) == 10 && e->d_name[6] == '-')
          unlink((spool + "/" + e->d_name).c_str());
      closedir(d);
    }
  }
  sync();
  usleep(300000);
}

// Starts the helper with its own HOME, lets it settle, sends the conversation and
// times it from the first byte written until lp has returned and the spool file is
// gone (seen through inotify). Fills run->helper_s, idle_kib and peak_above_kib. False on any
// failure, with the reason on standard error.
bool time_helper(const Options &opt, const Workload &w, const std::string &workdir, Run *run) {
  std::string home = workdir + "/home";

  HelperProcess p = start_helper(opt.vandrel, home);
  int err_fd = p.err_helper;
  std::string err;

  // Start-up: the toolkit, fonts, the X connection. Idle is what is left after it.
  settle(p, opt.settle, &err);
  bool alive = waitpid(p.pid, nullptr, WNOHANG) == 0;
  long idle = status_kib(p.pid, "VmRSS:");
  bool peak_reset = alive && reset_peak(p.pid);
  long peak_seen = idle;

  // The spool folder exists already (as after the helper's first job), so its
  // events can be watched from the start: no polling that would take CPU time
  // from the helper and lp on a small machine.
  std::string folder = home + "/VANDREL";
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (mkdir(folder.c_str(), 0775) != 0 || watch < 0 ||
      inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_DELETE) < 0)
    die("cannot watch the spool folder");

  if (wait_quiet(opt.quiet_wait) < 0) run->busy = true;
  std::atomic<double> t0{0};
  bool write_ok = false;  // read once the writer is joined
  std::thread writer([&] {
    t0 = now();
    write_ok = write_all(p.to_helper, w.conversation.data(), w.conversation.size());
  });

  bool created = false, done = false;
  double t1 = 0, next_sample = 0, deadline = now() + 600;
  while (alive && !done && now() < deadline) {
    struct pollfd fds[2] = {{watch, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int n = poll(fds, err_fd >= 0 ? 2 : 1, 10);
    double at = now();
    if (n > 0 && fds[0].revents) {
      alignas(struct inotify_event) char buf[4096];
      ssize_t len;
      while ((len = read(watch, buf, sizeof buf)) > 0) {
        for (char *e = buf; e < buf + len;) {
          const struct inotify_event *ev = reinterpret_cast<const struct inotify_event *>(e);
          if (ev->len && w.name == ev->name) {
            if (ev->mask & IN_CREATE) created = true;
            if ((ev->mask & IN_DELETE) && created) {
              t1 = at;
              done = true;
            }
          }
          e += sizeof(struct inotify_event) + ev->len;
        }
      }
    }
    if (n > 0 && err_fd >= 0 && fds[1].revents) {
      drain(err_fd, &err);
      if (fds[1].revents & (POLLHUP | POLLERR)) err_fd = -1;
    }
    // A fallback for the peak when VmHWM could not be reset.
    if (at >= next_sample) {
      long rss = status_kib(p.pid, "VmRSS:");
      if (rss > peak_seen) peak_seen = rss;
      next_sample = at + 0.01;
    }
    alive = waitpid(p.pid, nullptr, WNOHANG) == 0;
  }
  close(watch);
  long hwm = alive ? status_kib(p.pid, "VmHWM:") : -1;
  end_helper(&p, alive, &writer, &err);
  remove_tree(home);

  if (!done || !write_ok) {
    fprintf(stderr, "helper run failed (%s); its standard error:\n%s\n",
            !alive      ? "it ended"
            : !write_ok ? "writing failed"
                        : "no completion seen",
            err.c_str());
    return false;
  }
  if (err.find("request id is") == std::string::npos || err.find("vandrel:") != std::string::npos) {
    fprintf(stderr, "the helper did not print the job; its standard error:\n%s\n", err.c_str());
    return false;
  }
  long peak = peak_reset && hwm > peak_seen ? hwm : peak_seen;
  run->helper_s = t1 - t0;
  run->idle_kib = idle;
  run->peak_above_kib = peak > idle ? peak - idle : 0;
  return true;
}

// Times sh -c 'gzip -dc doc.gz > doc && lp doc' and deletes doc afterwards.
bool time_by_hand(const Options &opt, const Workload &w, const std::string &workdir, Run *run) {
  std::string doc = workdir + "/doc";
  std::string command = "gzip -dc '" + w.gz_path + "' > '" + doc + "' && lp '" + doc + "'";
  int status;
  if (wait_quiet(opt.quiet_wait) < 0) run->busy = true;
  double t0 = now();
  std::string out = run_capture({"/bin/sh", "-c", command}, &status);
  double t1 = now();
  unlink(doc.c_str());
  if (status != 0 || out.find("request id is") == std::string::npos) {
    fprintf(stderr, "by-hand run failed (status %d): %s\n", status, out.c_str());
    return false;
  }
  run->baseline_s = t1 - t0;
  return true;
}

// Builds a size's document, its conversation and its by-hand .gz file; the two
// compressions run side by side.
Workload prepare(unsigned mib, const std::string &workdir) {
  Workload w;
  w.mib = mib;
  w.doc_size = static_cast<size_t>(mib) << 20;
  w.name = "bench-" + std::to_string(mib) + "MiB.pdf";
  w.gz_path = workdir + "/doc-" + std::to_string(mib) + ".gz";
  double t0 = now();
  Bytes doc = pdf_like_document(w.doc_size, mib);
  std::thread by_hand([&] {
    Bytes gz = gzip_bytes(doc);
    FILE *f = fopen(w.gz_path.c_str(), "wb");
    if (!f || fwrite(gz.data(), 1, gz.size(), f) != gz.size() || fclose(f) != 0)
      die("cannot write the by-hand .gz file");
  });
  Bytes body = gzip_bytes(file_payload(w.name, doc));
  by_hand.join();
  w.gz_size = body.size();
  w.conversation = command_frame("default");
  append(w.conversation, skipped_frame());
  append(w.conversation, frame(body));
  printf("%u MiB document: file frame body %.1f MiB gzip (%.2fx), prepared in %.1f s\n", mib,
         static_cast<double>(w.gz_size) / (1 << 20),
         static_cast<double>(w.doc_size) / static_cast<double>(w.gz_size), now() - t0);
  fflush(stdout);
  return w;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt = parse_bench_options(argc, argv, "bench_default_job");
  signal(SIGPIPE, SIG_IGN);
  if (!getenv("DISPLAY")) die("DISPLAY is not set; the helper needs an X server");
  if (!getenv("CUPS_SERVER"))
    fprintf(stderr, "bench_default_job: CUPS_SERVER is not set; using the system's print server\n");
  if (access(opt.vandrel.c_str(), X_OK) != 0) die("the helper given is not executable");

  char tmpl[] = "/tmp/vandrel-bench-XXXXXX";
  if (!mkdtemp(tmpl)) die("cannot make a work folder");
  std::string workdir = tmpl;

  printf(
      "vandrel \"default\" job against by hand (sh -c 'gzip -dc doc.gz > doc && lp doc'), %d run%s "
      "each\n",
      opt.reps, opt.reps == 1 ? "" : "s");
  printf("load average at the start: %s\n", load_average().c_str());
  fflush(stdout);

  struct Result {
    unsigned mib;
    double helper, baseline, ratio, mem_per_doc, mib_per_s, peak_mib;
  };
  std::vector<Result> results;
  bool failed = false;
  for (unsigned mib : opt.sizes_mib) {
    Workload w = prepare(mib, workdir);
    std::vector<double> helper, baseline;
    long peak_above = 0;
    settle_print_server();
    for (int rep = 0; rep < opt.reps && !failed; ++rep) {
      Run r;
      // Alternate which way goes first, so neither always meets a warmer machine.
      bool helper_first = rep % 2 == 0;
      for (int turn = 0; turn < 2 && !failed; ++turn) {
        bool ok = (turn == 0) == helper_first ? time_helper(opt, w, workdir, &r)
                                              : time_by_hand(opt, w, workdir, &r);
        failed = !ok;
        settle_print_server();
      }
      if (failed) break;
      helper.push_back(r.helper_s);
      baseline.push_back(r.baseline_s);
      peak_above = std::max(peak_above, r.peak_above_kib);
      printf(
          "  %u MiB run %d: helper %.3f s, by hand %.3f s, ratio %.2f, "
          "idle RSS %.1f MiB, peak above idle %.1f MiB\n",
          mib, rep + 1, r.helper_s, r.baseline_s, r.helper_s / r.baseline_s, r.idle_kib / 1024.0,
          r.peak_above_kib / 1024.0);
      if (r.busy) printf("    (the machine was busy with other work during this run)\n");
      fflush(stdout);
    }
    unlink(w.gz_path.c_str());
    if (failed) break;
    Result res;
    res.mib = mib;
    res.helper = median(helper);
    res.baseline = median(baseline);
    res.ratio = res.helper / res.baseline;
    res.peak_mib = peak_above / 1024.0;
    res.mem_per_doc = res.peak_mib / mib;
    res.mib_per_s = mib / res.helper;
    results.push_back(res);
  }
  remove_tree(workdir);
  if (failed) return 2;

  bool met = true;
  printf("\n%-9s %11s %11s %7s %17s %11s %13s\n", "document", "helper", "by hand", "ratio",
         "peak above idle", "memory/doc", "helper MiB/s");
  for (const Result &r : results) {
    printf("%4u MiB  %9.3f s %9.3f s %7.2f %13.1f MiB %11.3f %13.1f\n", r.mib, r.helper, r.baseline,
           r.ratio, r.peak_mib, r.mem_per_doc, r.mib_per_s);
    met = met && r.ratio <= 1.0 && r.mem_per_doc <= 1.1;
  }
  printf("(times: median of %d; peak: the largest of the runs; load average at the end: %s)\n",
         opt.reps, load_average().c_str());
  printf("targets (ratio <= 1.00, memory/doc <= 1.10): %s\n", met ? "met" : "NOT met");
  return opt.check && !met ? 3 : 0;
}
