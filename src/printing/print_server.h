// Questions to the print server (libcups): why a destination refuses jobs, and what
// became of a job it accepted. Every call opens its own connection and closes it, so
// any thread may ask; none touches the toolkit.
#pragma once

#include <ctime>
#include <string>

#include "channel/host_output.h"
#include "printing/print_status.h"

// The facts about the destination named name ("" for the default destination, found
// as lp finds it: $LPDEST, $PRINTER, lpoptions, the server's default). Blocks for at
// most a few seconds when the server does not answer. Any thread.
DestinationFacts destination_facts(const std::string &name);

// A job to follow until the print server is done with it.
struct FollowedJob {
  JobNumber number = 0;     // the conversation's, for its report
  std::string destination;  // the queue it went to
  int job_id = 0;           // as lp printed it; 0: find it by title (a toolkit job)
  std::string title;        // its job-name
  std::string document;     // the document's name, for the person
  time_t sent = 0;          // when it was sent, to tell it from older jobs of that name
};

// How long a job is followed at most; a job still waiting or printing then counts as
// printed.
constexpr int kFollowSeconds = 180;

// Follows job on a thread of its own, asking for its state twice a second, until it
// completed, was stopped, cancelled or aborted, waits for a paused printer, or
// kFollowSeconds have passed. A job that did not complete is passed to on_failure with
// the server's state message (English or the server's language; may be empty), which
// then owns its report; any other end reports it Printed. Any thread.
void follow_job(const FollowedJob &job,
                void (*on_failure)(const FollowedJob &job, const std::string &message));
