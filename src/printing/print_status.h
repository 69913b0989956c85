// What the print server says of a destination and of a job, and what follows from it
// for the person: plain decoding, no print-server calls, so unit tests drive it.
#pragma once

#include <string>
#include <vector>

// A destination as the print server describes it, looked up after it refused a job.
struct DestinationFacts {
  bool server_reached = false;             // a connection to the print server could be made
  bool server_answered = false;            // and it answered a request on it
  std::string name;                        // the queue; for the default destination, "" if none
  bool exists = false;                     // the server knows a queue of that name
  bool accepting = true;                   // printer-is-accepting-jobs
  bool stopped = false;                    // printer-state is stopped (paused)
  std::string state_message;               // printer-state-message, "" if none
  std::string user;                        // who asked
  std::vector<std::string> users_allowed;  // requesting-user-name-allowed
  std::vector<std::string> users_denied;   // requesting-user-name-denied
};

// Why a destination does not take jobs, most telling first.
enum class Refusal {
  NoServer,       // the print server is not running (or cannot be reached)
  NoAnswer,       // it takes connections but does not answer
  NoDefault,      // no destination named and none is the default
  NoSuchPrinter,  // the named queue does not exist
  NotAccepting,   // the queue rejects jobs
  UserDenied,     // the person is not allowed to print there
  Unknown,        // nothing above: the server refused for a reason of its own
};

// The refusal that facts explain. A user is denied when the denied list names them
// (or "all"), or an allowed list exists that names neither them nor "all"; groups
// ("@name") are not resolved here.
Refusal refusal_of(const DestinationFacts &facts);

// IPP job states (RFC 8011), as job-state gives them.
constexpr int kJobPending = 3, kJobHeld = 4, kJobProcessing = 5, kJobStopped = 6, kJobCancelled = 7,
              kJobAborted = 8, kJobCompleted = 9;

// What the print server says of one job it accepted.
struct JobFacts {
  bool answered = false;             // the server could be asked
  int state = 0;                     // job-state; 0 when the server does not know the job
  std::string message;               // job-state-message: this job's own, may be empty
  std::vector<std::string> reasons;  // job-state-reasons keywords
};

// Where a followed job stands.
enum class JobVerdict {
  Going,    // still to be printed: keep following
  Printed,  // completed
  Waiting,  // held, or waiting for a paused printer: it waits until somebody acts
  Failed,   // stopped, cancelled or aborted at the server
};

// The verdict for a job in state job_state (0 when unknown) on a printer that is
// stopped or not.
JobVerdict verdict_of(int job_state, bool printer_stopped);

// Why facts' destination refused a job, in plain words: in the person's language
// (translated) or in English (for standard error). The printer's own state message,
// when it has one, follows on a line of its own. When the facts explain nothing,
// server_says (what the print command was told; may be empty) is quoted.
std::string refusal_text(const DestinationFacts &facts, bool translated,
                         const std::string &server_says = "");

// What the print server did with a job it accepted on destination and then did not
// print: cancelled, or stopped with the job's own state message (may be empty). In the
// person's language or English.
std::string not_completed_text(const std::string &destination, const JobFacts &job,
                               bool translated);

// The message's main line: the document named name (may be empty) was not printed.
std::string not_printed_text(const std::string &name, bool translated);

// Why a job the print server accepted is not printed yet, most telling first.
enum class Wait {
  Held,           // held until somebody (or a time) releases it
  PrinterPaused,  // the printer is paused
  NoAnswer,       // the print server does not answer any more
  NotYet,         // still waiting or printing when following it ended
};

// The wait of a job in the state job on a printer that is paused or not.
Wait wait_of(const JobFacts &job, bool printer_paused);

// The message's main line for a job that waits: the document named name (may be
// empty) is not printed yet. Then where it waits and why: on destination, for wait,
// with the job's own state message where it has one.
std::string waiting_text(const std::string &name, bool translated);
std::string waits_where_text(const std::string &destination, Wait wait, const JobFacts &job,
                             bool translated);

// Why an empty document is not printed.
std::string empty_document_text(bool translated);
