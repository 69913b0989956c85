// The follower: one thread that follows every print job the print server has
// accepted until the server is done with it, and finds out why a destination refused
// a job. However many jobs are in flight, the helper keeps this one thread for them,
// started at the first job. Plain (libcups), no toolkit.
#pragma once

#include <string>

#include "printing/print_server.h"

// How long a job is followed at most; a job still waiting or printing then counts as
// printed.
constexpr int kFollowSeconds = 180;

// Called on the follower thread once a followed job has ended: verdict is Failed for
// a job the server stopped, cancelled or aborted (message: the server's state message
// for it, in English or the server's language; may be empty), Printed for one it
// completed or that was still going when following ended, Waiting for one held or
// waiting for a paused printer.
using JobEnded = void (*)(const FollowedJob &job, JobVerdict verdict, const std::string &message);

// Follows job, asking for its state every half second, until it completed, was
// stopped, cancelled or aborted, waits for a paused printer, or kFollowSeconds have
// passed; then on_end. Any thread; returns at once.
void follow_job(const FollowedJob &job, JobEnded on_end);

// A job the print server refused on destination, to be explained.
struct RefusedJob {
  JobNumber number = 0;
  std::string destination;
  std::string document;  // the document's name, for the person
};

// Called on the follower thread with the facts that explain a refusal.
using RefusalExplained = void (*)(const RefusedJob &job, const DestinationFacts &facts);

// Asks the print server about job's destination (which may take it a moment), then
// on_facts. Any thread; returns at once.
void explain_refusal(const RefusedJob &job, RefusalExplained on_facts);
