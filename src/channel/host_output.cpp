#include "channel/host_output.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "channel/wire.h"

namespace {
using Block = std::array<unsigned char, kControlMessageSize>;

// How long output_flush waits at a time before it looks at the queue again.
constexpr int kFlushLookMs = 10;

// Guards everything below. Held only while a write that cannot block is made: the
// pipe is asked for room first, and a pipe with room takes a whole block at once.
std::mutex g_lock;
int g_fd = -1;
bool g_reports = false;
bool g_pair_open = false;
// The output while a "removefullscreen" waits for its "restorefullscreen", -1 else,
// and that block made ready: for output_restore_fullscreen_at_once, which may run in
// a signal handler and so takes no lock.
std::atomic<int> g_pair_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");
Block g_restore_block;
bool g_reader_done = false;
bool g_closing = false;  // close the output once the queue is out
bool g_broken = false;
bool g_draining = false;  // someone has been asked to call output_drain
void (*g_on_broken)() = nullptr;
void (*g_on_backlog)(int fd) = nullptr;
// Blocks waiting for room, oldest first; g_sent bytes of the first are out already.
std::deque<Block> g_queue;
size_t g_sent = 0;
// Pending jobs: true once the print server has the document.
std::map<JobNumber, bool> g_pending;
JobNumber g_in_hand = 0;
JobNumber g_read = 0;  // conversations read
// Jobs already reported, so that a late second report is dropped: every number
// below g_reported_below, and those in g_reported above it. Jobs are reported about in
// the order they are read, so the set stays small however long the helper runs.
JobNumber g_reported_below = 1;
std::set<JobNumber> g_reported;
// What the reports of jobs not reported yet will tell.
std::map<JobNumber, JobResult> g_results;

// The last words: every block a helper that ends this instant owes the host (blocks
// still queued, "restorefullscreen", the reports of open jobs, "end"), kept made from
// the moment an ending begins, so that output_last_words_at_once can write them from a
// signal handler, which takes no lock. Two copies: one is made while the other, the
// one g_last_made names, may be read.
constexpr size_t kLastBlocks = 16;
struct LastWords {
  std::array<Block, kLastBlocks> blocks;
  size_t count = 0;
  int fd = -1;
};
LastWords g_last[2];
std::atomic<unsigned> g_last_made{0};
std::atomic<bool> g_keep_last{false};

// What a locked call leaves to be done once the lock is released.
struct After {
  bool broken = false;
  bool backlog = false;
  int fd = -1;
};

bool reported_locked(JobNumber n) { return n < g_reported_below || g_reported.count(n) > 0; }

// The result gathered for job n, taken out: a job is reported once.
JobResult take_result_locked(JobNumber n) {
  JobResult result;
  auto it = g_results.find(n);
  if (it != g_results.end()) {
    result = std::move(it->second);
    g_results.erase(it);
  }
  return result;
}

// The result job n is gathered in; null for a job that is not to be reported (any more).
JobResult *result_locked(JobNumber n) {
  if (n == 0 || reported_locked(n)) return nullptr;
  return &g_results[n];
}

void mark_reported_locked(JobNumber n) {
  g_reported.insert(n);
  while (g_reported.count(g_reported_below)) g_reported.erase(g_reported_below++);
}

// Closes the output once it has been asked to and nothing waits any more. Lock held.
void close_if_done_locked() {
  if (g_closing && g_queue.empty() && g_fd >= 0) {
    close(g_fd);
    g_fd = -1;
  }
}

std::string report_of_open_job_locked(JobNumber n, bool handed_over);

// Makes the last words again from what is owed now, once an ending has begun. Every
// call that changes what is owed ends with it. Lock held.
void last_words_changed_locked() {
  if (!g_keep_last.load()) return;
  unsigned made = g_last_made.load();
  LastWords &w = g_last[(made + 1) % 2];
  w.count = 0;
  w.fd = g_broken ? -1 : g_fd;
  auto add = [&w](const Block &block) {
    if (w.count < kLastBlocks) w.blocks[w.count++] = block;
  };
  auto add_text = [&add](const std::string &text) {
    Block block;
    make_control_message(text.c_str(), block.data());
    add(block);
  };
  // A block is written whole or not at all (see flush_locked), so none is half out.
  for (const Block &block : g_queue) add(block);
  if (g_pair_open) add_text(kRestoreFullScreen);
  if (g_reports && !g_closing) {
    std::map<JobNumber, bool> open = g_pending;
    if (g_in_hand != 0 && !reported_locked(g_in_hand)) open.emplace(g_in_hand, false);
    for (const auto &job : open) add_text(report_of_open_job_locked(job.first, job.second));
    add_text("end " + std::to_string(g_read));
  }
  g_last_made.store(made + 1);
}

// Writes waiting blocks while the pipe has room for them, without ever waiting. A host
// whose end is closed gets nothing more: the queue is dropped and on_broken is due.
// Lock held.
void flush_locked(After *after) {
  while (!g_queue.empty() && g_fd >= 0) {
    struct pollfd pfd = {g_fd, POLLOUT, 0};
    int ready = poll(&pfd, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) break;  // no room: the rest waits
    ssize_t n = write(g_fd, g_queue.front().data() + g_sent, kControlMessageSize - g_sent);
    if (n > 0) {
      g_sent += static_cast<size_t>(n);
      if (g_sent == kControlMessageSize) {
        g_queue.pop_front();
        g_sent = 0;
      }
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (errno != EINTR) break;
    } else {
      // The host has gone; nothing more can reach it.
      if (!g_broken && (n == 0 || errno == EPIPE)) after->broken = true;
      g_broken = true;
      g_queue.clear();
      g_sent = 0;
    }
  }
  close_if_done_locked();
  if (!g_queue.empty() && !g_draining && g_fd >= 0) {
    g_draining = true;
    after->backlog = true;
    after->fd = g_fd;
  }
  last_words_changed_locked();
}

// Queues the block for text and writes what can be written. Lock held. False when the
// block can never be delivered.
bool send_locked(const char *text, After *after) {
  if (g_fd < 0 || g_broken) return false;
  Block block;
  make_control_message(text, block.data());
  g_queue.push_back(block);
  flush_locked(after);
  return !g_broken;
}

// Sends "end" and closes the output (once it is out) when the reader is done and
// nothing is pending. Lock held.
void maybe_close_locked(After *after) {
  if (!g_reader_done || !g_pending.empty() || g_fd < 0 || g_closing) return;
  if (g_reports) (void)send_locked(("end " + std::to_string(g_read)).c_str(), after);
  g_closing = true;
  close_if_done_locked();
}

void after_unlock(const After &after) {
  if (after.broken && g_on_broken) g_on_broken();
  if (after.backlog && g_on_backlog) g_on_backlog(after.fd);
}
}  // namespace

namespace {
// The report an ending gives job n, still open: queued when the print server has it,
// else failed for the ending. Lock held.
std::string report_of_open_job_locked(JobNumber n, bool handed_over) {
  auto it = g_results.find(n);
  JobResult result = it != g_results.end() ? it->second : JobResult();
  if (!handed_over) result.reason = reason::kEnding;
  return report_text(n, handed_over ? Outcome::Queued : Outcome::Failed, result);
}
}  // namespace

void output_on_broken(void (*on_broken)()) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_on_broken = on_broken;
}

void output_on_backlog(void (*on_backlog)(int fd)) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_on_backlog = on_backlog;
}

void output_start(int pipe_to_write, bool reports) {
  After after;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_fd = pipe_to_write;
    g_reports = reports;
    g_pair_open = g_reader_done = g_closing = g_broken = g_draining = false;
    g_pair_fd.store(-1);
    g_keep_last.store(false);
    make_control_message(kRestoreFullScreen, g_restore_block.data());
    g_queue.clear();
    g_sent = 0;
    g_pending.clear();
    g_in_hand = 0;
    g_read = 0;
    g_reported.clear();
    g_reported_below = 1;
    g_results.clear();
    if (reports) (void)send_locked(ready_text().c_str(), &after);
  }
  after_unlock(after);
}

void output_restore_fullscreen() {
  After after;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_pair_open && g_pair_fd.exchange(-1) >= 0) (void)send_locked(kRestoreFullScreen, &after);
    g_pair_open = false;
    last_words_changed_locked();
  }
  after_unlock(after);
}

void output_restore_fullscreen_at_once() {
  int fd = g_pair_fd.exchange(-1);
  // A block no larger than a pipe's atomic write goes whole or not at all, so it never
  // splits another.
  if (fd >= 0) (void)!write(fd, g_restore_block.data(), g_restore_block.size());
}

void output_keep_last_words() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_keep_last.store(true);
  last_words_changed_locked();
}

void output_last_words_at_once() {
  // A copy made meanwhile by another thread is taken again; one made by this thread,
  // which the signal interrupted, cannot be.
  static LastWords copy;
  for (int tries = 0; g_keep_last.load() && tries < 3; ++tries) {
    unsigned made = g_last_made.load();
    memcpy(&copy, &g_last[made % 2], sizeof copy);
    if (g_last_made.load() - made >= 2) continue;
    g_pair_fd.store(-1);
    for (size_t i = 0; i < copy.count && copy.fd >= 0; ++i)
      if (write(copy.fd, copy.blocks[i].data(), copy.blocks[i].size()) != kControlMessageSize)
        break;
    return;
  }
  output_restore_fullscreen_at_once();
}

bool output_reader_finished() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_reader_done;
}

bool output_host_gone() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_broken) return true;
  if (g_fd < 0) return false;
  struct pollfd pfd = {g_fd, 0, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLERR) != 0;
}

bool send_block(int pipe_to_write, const char *word) {
  After after;
  bool sent = false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    // A descriptor number that is no longer ours may name another file by now.
    bool restore = strcmp(word, kRestoreFullScreen) == 0;
    // A restore that an ending has sent already is not sent twice.
    bool due = !restore || g_pair_fd.exchange(-1) >= 0 || !g_pair_open;
    if (pipe_to_write == g_fd && !g_closing && due) sent = send_locked(word, &after);
    if (strcmp(word, kRemoveFullScreen) == 0) {
      g_pair_open = true;
      g_pair_fd.store(g_fd);
    }
    if (restore) g_pair_open = false;
    last_words_changed_locked();
  }
  after_unlock(after);
  return sent;
}

bool output_drain() {
  After after;
  bool waiting;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    flush_locked(&after);
    waiting = !g_queue.empty() && g_fd >= 0;
    // The caller looks again while blocks wait: nobody else needs to be asked.
    after.backlog = false;
    g_draining = waiting;
  }
  after_unlock(after);
  return waiting;
}

bool output_flush(int timeout_ms) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int fd;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      After ignored;
      flush_locked(&ignored);
      if (g_queue.empty() || g_fd < 0) return true;
      fd = g_fd;
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long waited_ms =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (waited_ms >= timeout_ms) return false;
    // Another thread may write meanwhile, so the wait is short and the look repeated.
    struct pollfd pfd = {fd, POLLOUT, 0};
    (void)poll(&pfd, 1, kFlushLookMs);
  }
}

void job_pending(JobNumber n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> guard(g_lock);
  if (!reported_locked(n)) g_pending[n] = false;
  last_words_changed_locked();
}

void job_handed_over(JobNumber n) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_pending.find(n);
  if (it != g_pending.end()) it->second = true;
  last_words_changed_locked();
}

void report_outcome(JobNumber n, Outcome outcome) {
  if (n == 0 || outcome == Outcome::Pending) return;
  After after;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (reported_locked(n)) return;
    JobResult result = take_result_locked(n);
    mark_reported_locked(n);
    g_pending.erase(n);
    if (g_reports) (void)send_locked(report_text(n, outcome, result).c_str(), &after);
    maybe_close_locked(&after);
    last_words_changed_locked();
  }
  after_unlock(after);
}

void job_lead(JobNumber n, const unsigned char *lead, size_t lead_len) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (JobResult *r = result_locked(n)) {
    r->lead.assign(reinterpret_cast<const char *>(lead), lead_len);
    r->lead_known = true;
  }
  last_words_changed_locked();
}

void job_reason(JobNumber n, const char *reason_word) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (JobResult *r = result_locked(n)) r->reason = reason_word ? reason_word : "";
  last_words_changed_locked();
}

void job_server_job(JobNumber n, const std::string &queue, unsigned long id) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (JobResult *r = result_locked(n)) {
    r->queue = queue;
    r->server_job = id;
  }
  last_words_changed_locked();
}

void job_path(JobNumber n, const std::string &path) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (JobResult *r = result_locked(n)) r->path = path;
  last_words_changed_locked();
}

void output_conversation_read(JobNumber n) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (n > g_read) g_read = n;
  last_words_changed_locked();
}

JobNumber job_in_hand() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_in_hand;
}

void output_job_in_hand(JobNumber n) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_in_hand = n;
  last_words_changed_locked();
}

size_t jobs_not_handed_over() {
  std::lock_guard<std::mutex> guard(g_lock);
  size_t n = 0;
  for (const auto &job : g_pending)
    if (!job.second) ++n;
  return n;
}

void output_reader_done() {
  After after;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_reader_done = true;
    maybe_close_locked(&after);
    last_words_changed_locked();
  }
  after_unlock(after);
}

void output_settle_pending() {
  After after;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_in_hand != 0 && !reported_locked(g_in_hand) && !g_pending.count(g_in_hand))
      g_pending[g_in_hand] = false;
    // Nothing more is read by a helper that ends.
    g_reader_done = true;
    for (const auto &job : g_pending) {
      std::string report = report_of_open_job_locked(job.first, job.second);
      (void)take_result_locked(job.first);
      mark_reported_locked(job.first);
      if (g_reports) (void)send_locked(report.c_str(), &after);
    }
    g_pending.clear();
    maybe_close_locked(&after);
    last_words_changed_locked();
  }
  after_unlock(after);
}
