// bench_save_job: what a "sendfile" job of a large document costs the real helper:
// its peak memory above idle, the time from the first byte sent until the save
// dialog is on screen, and the time from the Save key press (Return in the chooser,
// which opens in the helper's home) until "restorefullscreen", i.e. until the
// document is saved on the home's file system. Each helper first shows and cancels
// one small save job, so the figures are those of a helper that has shown the
// chooser before (its one-time set-up is not the document's cost).
//
//   bench_save_job VANDREL [--reps N] [--sizes MIB[,MIB...]] [--settle SECONDS]
//                  [--quiet-wait SECONDS] [--check]
//
// The key press is made with xdotool, once the chooser has been on screen for half a
// second; its time is taken just before xdotool starts, so the figure includes
// xdotool's own start (a few milliseconds). The chooser checks the name before it
// clicks Save for the key, and by then xdotool has released the key: the button then
// waits out the toolkit's 250 ms activation timeout for a release, which is part of
// every figure (a person's slower release ends that wait sooner). Needs DISPLAY
// without a window manager in the way (scripts/bench starts a private X server).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

constexpr char kDialogTitle[] = "Save File";
// The targets of a 256 MiB save (the largest size measured is held to them).
constexpr double kPeakTargetMib = 8;
constexpr double kSaveTargetS = 0.3;

using Options = BenchOptions;

struct Run {
  double dialog_s = 0;  // first byte sent -> chooser mapped
  double save_s = 0;    // Save key press -> "restorefullscreen"
  int presses = 0;      // key presses it took (a press before the chooser listens is lost)
  bool busy = false;
  long idle_kib = 0;
  long peak_above_kib = 0;
};

// The name of a window, or "" (the window may be gone already).
std::string window_title(Display *dpy, Window w) {
  char *name = nullptr;
  std::string title;
  if (XFetchName(dpy, w, &name) && name) title = name;
  if (name) XFree(name);
  return title;
}

int ignore_x_errors(Display *, XErrorEvent *) { return 0; }

// A first, small save job answered with Escape. The chooser's one-time set-up (icon
// theme, the folder machinery) then belongs to the idle size the document is
// measured against, as it does for every job but a helper's first. dpy watches the
// root's children. False when the helper never showed the chooser or never restored.
bool warm_up(Display *dpy, const HelperProcess &p) {
  Bytes small = conversation("sendfile", "warm-up.pdf", pdf_like_document(4096, 7));
  if (!write_all(p.to_helper, small.data(), small.size())) return false;
  std::string out;
  Window chooser = 0;
  double pressed_at = 0, deadline = now() + 120;
  while (control_words(out).size() < 2 && now() < deadline) {
    struct pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {p.from_helper, POLLIN, 0}};
    int n = poll(fds, 2, 50);
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type == MapNotify && !chooser && window_title(dpy, ev.xmap.window) == kDialogTitle)
        chooser = ev.xmap.window;
    }
    if (n > 0 && fds[1].revents) {
      char buf[1024];
      ssize_t got = read(p.from_helper, buf, sizeof buf);
      if (got <= 0) return false;
      out.append(buf, static_cast<size_t>(got));
    }
    if (chooser && now() - pressed_at > 2) {
      int status;
      std::string id = std::to_string(chooser);
      run_capture({"/usr/bin/xdotool", "windowfocus", "--sync", id}, &status);
      run_capture({"/usr/bin/xdotool", "key", "--clearmodifiers", "Escape"}, &status);
      pressed_at = now();
    }
  }
  return control_words(out).size() >= 2;
}

// One save job: starts the helper with its own HOME, sends the conversation, waits
// for the chooser, presses Return and waits for "restorefullscreen". False on any
// failure, with the reason on standard error.
bool time_save(const Options &opt, const Bytes &conv, const std::string &name, size_t doc_size,
               const std::string &workdir, Run *run) {
  std::string home = workdir + "/home";

  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy) die("cannot open the display");
  XSetErrorHandler(ignore_x_errors);
  XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
  XFlush(dpy);

  HelperProcess p = start_helper(opt.vandrel, home);
  int err_fd = p.err_helper;
  std::string err, out;
  settle(p, opt.settle, &err);
  if (!warm_up(dpy, p)) die("the helper did not show and close a first save dialog");
  settle(p, opt.settle, &err);
  bool alive = waitpid(p.pid, nullptr, WNOHANG) == 0;
  long idle = status_kib(p.pid, "VmRSS:");
  bool peak_reset = alive && reset_peak(p.pid);
  long peak_seen = idle;

  if (wait_quiet(opt.quiet_wait) < 0) run->busy = true;
  std::atomic<double> t0{0};
  bool write_ok = false;
  std::thread writer([&] {
    t0 = now();
    write_ok = write_all(p.to_helper, conv.data(), conv.size());
  });

  Window chooser = 0;
  bool unmapped = false, done = false;
  double mapped_at = 0, pressed_at = 0, restored_at = 0, next_sample = 0, deadline = now() + 600;
  int x_fd = ConnectionNumber(dpy);
  while (alive && !done && now() < deadline) {
    struct pollfd fds[3] = {{x_fd, POLLIN, 0}, {p.from_helper, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int n = poll(fds, err_fd >= 0 ? 3 : 2, 10);
    double at = now();
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type == MapNotify && !chooser && window_title(dpy, ev.xmap.window) == kDialogTitle) {
        chooser = ev.xmap.window;
        mapped_at = at;
      } else if (ev.type == UnmapNotify && chooser && ev.xunmap.window == chooser &&
                 pressed_at > 0) {
        unmapped = true;
      }
    }
    if (n > 0 && fds[1].revents) {
      char buf[1024];
      ssize_t got = read(p.from_helper, buf, sizeof buf);
      if (got > 0) out.append(buf, static_cast<size_t>(got));
      std::vector<std::string> words = control_words(out);
      if (words.size() >= 2) {
        restored_at = at;
        done = words[1] == "restorefullscreen";
        if (!done) break;
      }
      if (got == 0) break;
    }
    if (n > 0 && err_fd >= 0 && fds[2].revents) {
      drain(err_fd, &err);
      if (fds[2].revents & (POLLHUP | POLLERR)) err_fd = -1;
    }
    // Half a second after the chooser appeared: Save. Again when a press was lost.
    bool press =
        chooser && !unmapped && (pressed_at > 0 ? at - pressed_at > 3 : at - mapped_at > 0.5);
    if (press) {
      int status;
      std::string id = std::to_string(chooser);
      run_capture({"/usr/bin/xdotool", "windowfocus", "--sync", id}, &status);
      pressed_at = now();
      run_capture({"/usr/bin/xdotool", "key", "--clearmodifiers", "Return"}, &status);
      ++run->presses;
    }
    if (at >= next_sample) {
      long rss = status_kib(p.pid, "VmRSS:");
      if (rss > peak_seen) peak_seen = rss;
      next_sample = at + 0.01;
    }
    alive = waitpid(p.pid, nullptr, WNOHANG) == 0;
  }
  long hwm = alive ? status_kib(p.pid, "VmHWM:") : -1;
  end_helper(&p, alive, &writer, &err);
  XCloseDisplay(dpy);
  struct stat st;
  bool saved =
      stat((home + "/" + name).c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == doc_size;
  remove_tree(home);

  // The toolkit's own warnings name the program as "(vandrel:PID)"; ours start a line.
  bool complained =
      err.compare(0, 9, "vandrel: ") == 0 || err.find("\nvandrel: ") != std::string::npos;
  if (!done || !write_ok || !saved || complained) {
    fprintf(stderr, "save run failed (%s); its standard error:\n%s\n",
            !alive      ? "it ended"
            : !write_ok ? "writing failed"
            : !chooser  ? "no chooser seen"
            : !done     ? "no restorefullscreen seen"
                        : "the document was not saved whole",
            err.c_str());
    return false;
  }
  long peak = peak_reset && hwm > peak_seen ? hwm : peak_seen;
  run->dialog_s = mapped_at - t0;
  run->save_s = restored_at - pressed_at;
  run->idle_kib = idle;
  run->peak_above_kib = peak > idle ? peak - idle : 0;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt = parse_bench_options(argc, argv, "bench_save_job");
  signal(SIGPIPE, SIG_IGN);
  if (!getenv("DISPLAY")) die("DISPLAY is not set; the helper needs an X server");
  if (access(opt.vandrel.c_str(), X_OK) != 0) die("the helper given is not executable");
  char tmpl[] = "/tmp/vandrel-bench-XXXXXX";
  if (!mkdtemp(tmpl)) die("cannot make a work folder");
  std::string workdir = tmpl;

  printf("vandrel \"sendfile\" job saved in the home folder, %d run%s each\n", opt.reps,
         opt.reps == 1 ? "" : "s");
  fflush(stdout);
  struct Result {
    unsigned mib;
    double dialog, save, peak_mib;
  };
  std::vector<Result> results;
  bool failed = false;
  for (unsigned mib : opt.sizes_mib) {
    size_t size = static_cast<size_t>(mib) << 20;
    std::string name = "bench-" + std::to_string(mib) + "MiB.pdf";
    double t = now();
    Bytes conv = conversation("sendfile", name, pdf_like_document(size, mib));
    printf("%u MiB document: conversation %.1f MiB, prepared in %.1f s\n", mib,
           static_cast<double>(conv.size()) / (1 << 20), now() - t);
    fflush(stdout);
    std::vector<double> dialog, save;
    long peak_above = 0;
    for (int rep = 0; rep < opt.reps && !failed; ++rep) {
      Run r;
      failed = !time_save(opt, conv, name, size, workdir, &r);
      if (failed) break;
      dialog.push_back(r.dialog_s);
      save.push_back(r.save_s);
      peak_above = std::max(peak_above, r.peak_above_kib);
      printf(
          "  %u MiB run %d: dialog on screen at %.3f s, Save to restore %.3f s%s, idle RSS %.1f "
          "MiB, "
          "peak above idle %.1f MiB\n",
          mib, rep + 1, r.dialog_s, r.save_s, r.presses > 1 ? " (a press was lost)" : "",
          r.idle_kib / 1024.0, r.peak_above_kib / 1024.0);
      if (r.busy) printf("    (the machine was busy with other work during this run)\n");
      fflush(stdout);
    }
    if (failed) break;
    results.push_back({mib, median(dialog), median(save), peak_above / 1024.0});
  }
  remove_tree(workdir);
  if (failed) return 2;

  printf("\n%-9s %17s %17s %17s\n", "document", "dialog on screen", "Save to restore",
         "peak above idle");
  for (const Result &r : results)
    printf("%4u MiB  %15.3f s %15.3f s %13.1f MiB\n", r.mib, r.dialog, r.save, r.peak_mib);
  const Result &largest = results.back();
  bool met = largest.peak_mib <= kPeakTargetMib && largest.save <= kSaveTargetS;
  printf("(times: median of %d; peak: the largest of the runs)\n", opt.reps);
  printf("targets for %u MiB (peak above idle <= %.0f MiB, Save to restore <= %.2f s): %s\n",
         largest.mib, kPeakTargetMib, kSaveTargetS, met ? "met" : "NOT met");
  return opt.check && !met ? 3 : 0;
}
