// What the whole-job benchmarks share: their options, clocks, memory readings of the
// helper, waiting for a quiet machine, and small file and stream chores.
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>
#include <vector>

#include "host/frames.h"

struct BenchOptions {
  std::string vandrel;
  int reps = 3;
  double quiet_wait = 15;  // seconds to wait for a quiet machine before each timing
  std::vector<unsigned> sizes_mib = {64, 256};
  double settle = 1.0;  // seconds the helper gets to finish starting up
  bool check = false;   // exit with status 3 when a target is missed
};

// Reads the command line common to the benchmarks ("PROGRAM VANDREL [--reps N]
// [--sizes MIB,...] [--settle S] [--quiet-wait S] [--check]"); a usage error ends
// the process with status 2. program names the benchmark in its messages.
BenchOptions parse_bench_options(int argc, char **argv, const char *program);

// Seconds on a steady clock.
double now();
// Ends the process with status 2 after one line naming the benchmark.
[[noreturn]] void die(const char *what);

// A field of /proc/PID/status in KiB ("VmRSS:", "VmHWM:"); -1 when unreadable.
long status_kib(pid_t pid, const char *field);
// Starts the peak resident size (VmHWM) of pid over from its current size.
bool reset_peak(pid_t pid);

// Waits until the machine has been quiet (under a tenth of its processors busy) for
// a quarter of a second, so other work on a shared machine weighs on no timing;
// gives up after max_wait seconds. Returns the seconds waited, negative when it
// gave up.
double wait_quiet(double max_wait);
// The three load averages, as /proc/loadavg gives them.
std::string load_average();
double median(std::vector<double> v);

// Appends whatever fd has to give now (it is non-blocking) to *into.
void drain(int fd, std::string *into);
// Removes path and everything under it (no symbolic links are followed).
void remove_tree(const std::string &path);

// Starts the helper at vandrel with a fresh, empty home folder home (its HOME) and
// pipes on its standard descriptors, standard error non-blocking. Ends the process
// with status 2 when it cannot.
HelperProcess start_helper(const std::string &vandrel, const std::string &home);
// Lets the helper work for seconds (start-up, or the end of a dialog), collecting its
// standard error into *err meanwhile.
void settle(const HelperProcess &p, double seconds, std::string *err);

// Ends a timed helper: SIGTERM when it is still alive, then joins writer (the thread
// that fed its standard input), reaps it, appends the rest of its standard error to
// *err and closes our ends of its pipes.
void end_helper(HelperProcess *p, bool alive, std::thread *writer, std::string *err);
