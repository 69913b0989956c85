// Questions to the print server (libcups): why a destination refuses jobs, and where a
// job it accepted stands. Each question is asked on a connection the caller opens
// with connect_server (destination_facts opens its own), so any thread may ask; none
// touches the toolkit.
#pragma once

#include <cups/cups.h>

#include <ctime>
#include <string>

#include "channel/host_output.h"
#include "printing/print_status.h"

// A connection to the print server, or nullptr when none can be made within a few
// seconds. The caller closes it with httpClose. Any thread.
http_t *connect_server();

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

// The id of the toolkit's job: the oldest job of ours on job.destination titled
// job.title, made since it was sent, that no follower has claimed (it is claimed by
// this call). 0 when none.
int find_job(http_t *http, const FollowedJob &job);

// The state of job job_id (0 when it could not be asked) and its state message.
int job_state(http_t *http, int job_id, std::string *message);

// Whether the printer named name is stopped (paused).
bool printer_stopped(http_t *http, const std::string &name);

// The printer's state message, "" when it has none or is not known.
std::string printer_state_message(http_t *http, const std::string &name);
