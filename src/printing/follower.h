// The follower: one thread that follows every print job the print server has
// accepted, by its id there, until the server is done with it. However many jobs are in flight, the
// helper keeps this one thread for them, started at the first job. Plain (libcups), no toolkit.
#pragma once

#include <string>

#include "printing/print_server.h"

// How long a job is followed closely. A job that is then still waiting or printing
// is reported queued (and so, at once, is a held job or one on a paused printer),
// and watched on at a slower pace for as long as the helper runs.
constexpr int kFollowSeconds = 180;
// How often a queued job is asked after: a job that waits for hours costs a small
// request this often, and a later failure is told this late at most.
constexpr int kWatchSeconds = 10;
// How long the print server may leave every question unanswered before a followed
// job counts as waiting at a server that does not answer.
constexpr int kSilentServerSeconds = 30;

// Where a followed job has got to.
struct FollowNews {
  JobVerdict verdict = JobVerdict::Going;  // Printed, Failed, or Waiting (queued)
  Wait wait = Wait::NotYet;                // why, for Waiting
  JobFacts facts;                          // what the server said of the job last
  bool watched = false;                    // it had been reported waiting before
};

// Called on the follower thread: once with Printed or Failed for a job that ends
// while followed closely; or once with Waiting, and later (watched) once more with
// Printed or Failed if the job ends while the helper runs.
using JobNews = void (*)(const FollowedJob &job, const FollowNews &news);

// Follows job (its job_id known), asking for its state every half second, then every
// kWatchSeconds once it waits. Any thread; returns at once.
void follow_job(const FollowedJob &job, JobNews on_news);
