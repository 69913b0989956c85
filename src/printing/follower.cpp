#include "printing/follower.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

// How often each closely followed job's state is asked: a person does not notice half
// a second before a failure is told, and a few small requests a second are nothing to
// a print server.
constexpr std::chrono::milliseconds kFollowStep{500};

struct Followed {
  FollowedJob job;
  JobNews on_news;
  Clock::time_point until;        // the end of close following
  Clock::time_point next_look;    // when to ask next
  Clock::time_point last_answer;  // when the server last answered about it
  bool watched;                   // reported waiting; asked every kWatchSeconds
};

// Everything the follower thread has to do; guarded by g_lock, which nobody holds
// while asking the print server or calling back.
std::mutex g_lock;
std::condition_variable g_work;
std::vector<Followed> g_jobs;
bool g_started = false;

// Asks the print server once about f's job (http may be null: no connection) and
// says whether there is news; *news is then filled in.
bool ask(http_t *http, Followed *f, Clock::time_point now, FollowNews *news) {
  news->watched = f->watched;
  news->facts = http ? job_facts(http, f->job.job_id) : JobFacts{};
  bool paused = false;
  if (news->facts.answered) {
    f->last_answer = now;
    paused = news->facts.state == kJobPending && printer_stopped(http, f->job.destination);
    news->verdict = verdict_of(news->facts.state, paused);
  } else {
    news->verdict = JobVerdict::Going;
  }
  if (news->verdict == JobVerdict::Printed || news->verdict == JobVerdict::Failed) return true;
  if (f->watched) return false;  // it waits, and that has been told
  bool silent = now - f->last_answer >= std::chrono::seconds(kSilentServerSeconds);
  if (news->verdict == JobVerdict::Waiting || now >= f->until || silent) {
    news->verdict = JobVerdict::Waiting;
    news->wait = silent ? Wait::NoAnswer : wait_of(news->facts, paused);
    return true;
  }
  return false;
}

// The follower thread: asks after every job that is due, over one connection a
// round, and sleeps until the next one is.
[[noreturn]] void follower() {
  std::unique_lock<std::mutex> guard(g_lock);
  for (;;) {
    if (g_jobs.empty()) {
      g_work.wait(guard);
      continue;
    }
    Clock::time_point due = g_jobs.front().next_look;
    for (const Followed &f : g_jobs) due = std::min(due, f.next_look);
    if (Clock::now() < due) {
      g_work.wait_until(guard, due);
      continue;
    }
    std::vector<Followed> round;
    round.swap(g_jobs);
    guard.unlock();
    std::vector<Followed> going;
    http_t *http = nullptr;
    bool connected = false;
    for (Followed &f : round) {
      Clock::time_point now = Clock::now();
      if (now < f.next_look) {
        going.push_back(f);
        continue;
      }
      if (!connected) {
        http = connect_server();
        connected = true;
      }
      FollowNews news;
      bool told = ask(http, &f, now, &news);
      if (told) f.on_news(f.job, news);
      bool ended = news.verdict == JobVerdict::Printed || news.verdict == JobVerdict::Failed;
      if (ended) continue;
      if (told) f.watched = true;
      f.next_look =
          Clock::now() +
          (f.watched
               ? std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(kWatchSeconds))
               : std::chrono::duration_cast<Clock::duration>(kFollowStep));
      going.push_back(f);
    }
    if (http) httpClose(http);
    guard.lock();
    g_jobs.insert(g_jobs.end(), going.begin(), going.end());
  }
}
}  // namespace

void follow_job(const FollowedJob &job, JobNews on_news) {
  std::lock_guard<std::mutex> guard(g_lock);
  Clock::time_point now = Clock::now();
  g_jobs.push_back(
      Followed{job, on_news, now + std::chrono::seconds(kFollowSeconds), now, now, false});
  if (!g_started) {
    g_started = true;
    // It runs for the rest of the process's life; nothing waits for it at the end.
    std::thread(follower).detach();
  }
  g_work.notify_one();
}
