#include "printing/follower.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

// How often each followed job's state is asked: a person does not notice half a
// second before a failure is told, and a few small requests a second are nothing to
// a print server.
constexpr std::chrono::milliseconds kFollowStep{500};

struct Followed {
  FollowedJob job;
  JobEnded on_end;
  Clock::time_point until;
};

struct Explaining {
  RefusedJob job;
  RefusalExplained on_facts;
};

// Everything the follower thread has to do; guarded by g_lock, which nobody holds
// while asking the print server or calling back.
std::mutex g_lock;
std::condition_variable g_work;
std::vector<Followed> g_jobs;
std::deque<Explaining> g_refusals;
bool g_started = false;

// Asks the print server once about job; false while it is still going.
bool job_ended(http_t *http, Followed *f, JobVerdict *verdict, std::string *message) {
  FollowedJob &job = f->job;
  if (job.job_id == 0) job.job_id = find_job(http, job);
  *verdict = JobVerdict::Going;
  if (job.job_id != 0) {
    int state = job_state(http, job.job_id, message);
    bool paused = state == kJobPending && printer_stopped(http, job.destination);
    *verdict = verdict_of(state, paused);
    // A filter's complaint is often the printer's message, not the job's.
    if (*verdict == JobVerdict::Failed && message->empty())
      *message = printer_state_message(http, job.destination);
  }
  if (*verdict != JobVerdict::Going) return true;
  if (Clock::now() < f->until) return false;
  *verdict = JobVerdict::Printed;  // still going when following ends
  return true;
}

// The follower thread: explains refusals as they come and asks after every followed
// job once a step, over one connection a round.
[[noreturn]] void follower() {
  std::unique_lock<std::mutex> guard(g_lock);
  for (;;) {
    if (g_jobs.empty() && g_refusals.empty())
      g_work.wait(guard);
    else if (g_refusals.empty())
      g_work.wait_for(guard, kFollowStep);
    while (!g_refusals.empty()) {
      Explaining r = g_refusals.front();
      g_refusals.pop_front();
      guard.unlock();
      r.on_facts(r.job, destination_facts(r.job.destination));
      guard.lock();
    }
    if (g_jobs.empty()) continue;
    std::vector<Followed> round;
    round.swap(g_jobs);
    guard.unlock();
    std::vector<Followed> going;
    http_t *http = connect_server();
    for (Followed &f : round) {
      JobVerdict verdict = JobVerdict::Going;
      std::string message;
      // Without a connection a job is asked about again next round, until its time is up.
      if (http ? job_ended(http, &f, &verdict, &message) : Clock::now() >= f.until) {
        if (verdict == JobVerdict::Going) verdict = JobVerdict::Printed;
        f.on_end(f.job, verdict, message);
      } else {
        going.push_back(f);
      }
    }
    if (http) httpClose(http);
    guard.lock();
    g_jobs.insert(g_jobs.end(), going.begin(), going.end());
  }
}

// Queues work under the lock and wakes (or first starts) the thread. Lock held.
void wake_locked() {
  if (!g_started) {
    g_started = true;
    // It runs for the rest of the process's life; nothing waits for it at the end.
    std::thread(follower).detach();
  }
  g_work.notify_one();
}
}  // namespace

void follow_job(const FollowedJob &job, JobEnded on_end) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_jobs.push_back(Followed{job, on_end, Clock::now() + std::chrono::seconds(kFollowSeconds)});
  wake_locked();
}

void explain_refusal(const RefusedJob &job, RefusalExplained on_facts) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_refusals.push_back(Explaining{job, on_facts});
  wake_locked();
}
