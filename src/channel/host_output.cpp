#include "channel/host_output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "channel/wire.h"

namespace {
// Guards everything below; blocks are written while it is held.
std::mutex g_lock;
int g_fd = -1;
bool g_reports = false;
bool g_pair_open = false;
bool g_reader_done = false;
bool g_broken = false;
void (*g_on_broken)() = nullptr;
// Pending jobs: true once the print server has the document.
std::map<JobNumber, bool> g_pending;
// Jobs already reported, so that a late second report is dropped: every number
// below g_reported_below, and those in g_reported above it. Jobs are reported about in
// the order they are read, so the set stays small however long the helper runs.
JobNumber g_reported_below = 1;
std::set<JobNumber> g_reported;

bool reported_locked(JobNumber n) { return n < g_reported_below || g_reported.count(n) > 0; }

void mark_reported_locked(JobNumber n) {
  g_reported.insert(n);
  while (g_reported.count(g_reported_below)) g_reported.erase(g_reported_below++);
}

// Writes the whole block to fd. A pipe takes 512 bytes at once, so the host never
// sees half a block; a write interrupted by a signal is tried again, and a host whose
// end is non-blocking and momentarily full is waited for, since a lost message would
// leave the host out of full-screen for good. False when the host's end is closed.
bool write_block(int fd, const unsigned char *block) {
  size_t sent = 0;
  while (sent < kControlMessageSize) {
    ssize_t n = write(fd, block + sent, kControlMessageSize - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      (void)poll(&pfd, 1, -1);
    } else if (!(n < 0 && errno == EINTR)) {
      return false;  // the host has gone; nothing more can reach it
    }
  }
  return true;
}

// Sends text as one block. Lock held. False when it could not be delivered; a closed
// host end is remembered, so on_broken is called once.
bool send_locked(const char *text, bool *newly_broken) {
  if (g_fd < 0) return false;
  unsigned char block[kControlMessageSize];
  make_control_message(text, block);
  if (write_block(g_fd, block)) return true;
  if (errno == EPIPE && !g_broken) {
    g_broken = true;
    *newly_broken = true;
  }
  return false;
}

// Sends "end" and closes the output once the reader is done and nothing is pending.
// Lock held.
void maybe_close_locked(bool *newly_broken) {
  if (!g_reader_done || !g_pending.empty() || g_fd < 0) return;
  if (g_reports) (void)send_locked("end", newly_broken);
  close(g_fd);
  g_fd = -1;
}

void after_unlock(bool newly_broken) {
  if (newly_broken && g_on_broken) g_on_broken();
}
}  // namespace

const char *outcome_word(Outcome outcome) {
  switch (outcome) {
    case Outcome::Printed:
      return "printed";
    case Outcome::Saved:
      return "saved";
    case Outcome::Cancelled:
      return "cancelled";
    case Outcome::Failed:
      return "failed";
    case Outcome::Unsupported:
      return "unsupported";
    case Outcome::Skipped:
      return "skipped";
    case Outcome::Pending:
      break;
  }
  return nullptr;
}

std::string report_text(JobNumber n, Outcome outcome) {
  const char *word = outcome_word(outcome);
  return "job " + std::to_string(n) + " " + (word ? word : "");
}

void output_on_broken(void (*on_broken)()) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_on_broken = on_broken;
}

void output_start(int pipe_to_write, bool reports) {
  bool newly_broken = false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_fd = pipe_to_write;
    g_reports = reports;
    if (reports) (void)send_locked("ready", &newly_broken);
  }
  after_unlock(newly_broken);
}

void output_restore_fullscreen() {
  std::lock_guard<std::mutex> guard(g_lock);
  bool newly_broken = false;
  if (g_pair_open) (void)send_locked(kRestoreFullScreen, &newly_broken);
  g_pair_open = false;
}

bool output_reader_finished() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_reader_done;
}

bool send_block(int pipe_to_write, const char *word) {
  bool newly_broken = false, sent = false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    // A descriptor number that is no longer ours may name another file by now.
    if (pipe_to_write == g_fd) sent = send_locked(word, &newly_broken);
    if (strcmp(word, kRemoveFullScreen) == 0) g_pair_open = true;
    if (strcmp(word, kRestoreFullScreen) == 0) g_pair_open = false;
  }
  after_unlock(newly_broken);
  return sent;
}

void job_pending(JobNumber n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(g_lock);
  if (!reported_locked(n)) g_pending[n] = false;
}

void job_handed_over(JobNumber n) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_pending.find(n);
  if (it != g_pending.end()) it->second = true;
}

void report_outcome(JobNumber n, Outcome outcome) {
  if (n == 0 || outcome == Outcome::Pending) return;
  bool newly_broken = false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (reported_locked(n)) return;
    mark_reported_locked(n);
    g_pending.erase(n);
    if (g_reports) (void)send_locked(report_text(n, outcome).c_str(), &newly_broken);
    maybe_close_locked(&newly_broken);
  }
  after_unlock(newly_broken);
}

size_t jobs_not_handed_over() {
  std::lock_guard<std::mutex> guard(g_lock);
  size_t n = 0;
  for (const auto &job : g_pending)
    if (!job.second) ++n;
  return n;
}

void output_reader_done() {
  bool newly_broken = false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_reader_done = true;
    maybe_close_locked(&newly_broken);
  }
  after_unlock(newly_broken);
}

void output_settle_pending() {
  bool newly_broken = false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto &job : g_pending) {
      mark_reported_locked(job.first);
      Outcome outcome = job.second ? Outcome::Printed : Outcome::Failed;
      if (g_reports) (void)send_locked(report_text(job.first, outcome).c_str(), &newly_broken);
    }
    g_pending.clear();
    maybe_close_locked(&newly_broken);
  }
  after_unlock(newly_broken);
}
