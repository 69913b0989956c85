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
// seconds. A request on it that has no answer within kAnswerSeconds fails. The caller
// closes it with httpClose. Any thread.
http_t *connect_server();

// How long a print server that has taken a request may take to answer it: a working
// one answers a local request within a second, even when busy.
constexpr int kAnswerSeconds = 10;

// The facts about the destination named name ("" for the default destination, found
// as lp finds it: $LPDEST, $PRINTER, lpoptions, the server's default). Blocks for at
// most a few seconds when the server does not answer. Any thread.
DestinationFacts destination_facts(const std::string &name);

// Whether the print server's queue named name passes documents to its printer as they
// are (a raw queue, with no driver to apply page choices, layout or paper). Blocks
// for at most a few seconds. Any thread.
bool queue_prints_as_is(const std::string &name);

// A job to follow until the print server is done with it.
struct FollowedJob {
  JobNumber number = 0;     // the conversation's, for its report
  std::string destination;  // the queue it went to
  int job_id = 0;           // its id at the print server
  std::string document;     // the document's name, for the person
};

// What the print server says of job job_id. answered is false when it could not be
// asked (no connection, no answer); state is 0 when the server does not know the job.
JobFacts job_facts(http_t *http, int job_id);

// Whether the printer named name is stopped (paused).
bool printer_stopped(http_t *http, const std::string &name);
