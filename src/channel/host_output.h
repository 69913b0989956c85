// What the helper writes to the host on its standard output: 512-byte control messages
// and, for a host that started it with --report, job reports in the same form. Blocks
// go out whole and in the order they were sent, from any thread, and no thread ever
// waits for the host to read: a block the pipe has no room for waits in a queue until
// output_drain finds room (the main loop calls it when the pipe is writable, see
// output_on_backlog). Plain POSIX: no toolkit, so unit tests drive it on a pipe of
// their own.
#pragma once

#include <cstddef>
#include <string>

// Conversations are numbered from 1 in the order the host sent them.
using JobNumber = unsigned long;

// What became of a job, as a report names it. Queued: the print server has the job but
// has not printed it (held, waiting at a paused or silent printer, or still going when
// following it closely ended). Pending: the handler has returned but the outcome comes
// later (a print job being handed over or followed).
enum class Outcome { Printed, Saved, Cancelled, Failed, Unsupported, Skipped, Queued, Pending };

// The report word of an outcome ("printed", ...); nullptr for Pending.
const char *outcome_word(Outcome outcome);

// The protocol the reports speak, and what this helper can do, as "ready" names them:
// "ready 2 parent lead result reason". A helper from before sent "ready" alone.
constexpr int kProtocolVersion = 2;
constexpr char kCapabilities[] = "parent lead result reason";

// The words a report gives as the reason of a failed or skipped job.
namespace reason {
constexpr char kUnreadableFrame[] = "unreadable-frame";    // no command word in the command frame
constexpr char kTooLong[] = "too-long";                    // a text over 511 bytes
constexpr char kBadHeader[] = "bad-header";                // no document name in the file frame
constexpr char kNotWhole[] = "not-whole";                  // the document did not arrive whole
constexpr char kNotKept[] = "not-kept";                    // the document could not be kept
constexpr char kInputEnded[] = "input-ended";              // the input ended inside the job
constexpr char kReadingStopped[] = "reading-stopped";      // SIGUSR1 came inside the job
constexpr char kEmpty[] = "empty";                         // an empty document is not printed
constexpr char kNoServer[] = "no-server";                  // no print server reached
constexpr char kNoAnswer[] = "no-answer";                  // the print server does not answer
constexpr char kNoPrinter[] = "no-printer";                // no default printer, or no such one
constexpr char kRefused[] = "refused";                     // the queue rejects jobs, or refused it
constexpr char kDenied[] = "denied";                       // the person may not print there
constexpr char kStopped[] = "stopped";                     // stopped or aborted at the server
constexpr char kCancelledThere[] = "cancelled-at-server";  // cancelled at the server
constexpr char kCannotPrint[] = "cannot-print";            // the toolkit could not print it
constexpr char kCannotWrite[] = "cannot-write";            // the save failed and was given up
constexpr char kEnding[] = "ending";                       // the helper ended first
}  // namespace reason

// What a report tells of a job besides its word, gathered before the job is
// reported by whoever learns it (job_lead, job_reason, ...).
struct JobResult {
  std::string lead;              // the command frame's leading bytes as sent, at most 13
  bool lead_known = false;       // the command frame was read
  std::string reason;            // a word of namespace reason; told for failed and skipped
  std::string queue;             // the print server's queue that took the job
  unsigned long server_job = 0;  // and its job id there
  std::string path;              // where the document was saved or printed to a file
};

// bytes with every byte outside '!' to '~', and '%', written as %XX (upper-case hex),
// so a field never holds a blank, a NUL or a control character.
std::string percent_encoded(const std::string &bytes);

// The text of a job report block: "job N WORD", then the fields of result that it has
// ("lead=...", "reason=...", "queue=...", "server-job=...", "path=...", in this order),
// each after one blank. Fields that would make the text longer than 511 bytes are
// left off, from the first that does not fit: a field is never cut.
std::string report_text(JobNumber n, Outcome outcome, const JobResult &result = JobResult());

// The text of "ready": the word, the protocol version and the capabilities.
std::string ready_text();

// on_broken is called (once, outside the lock, on the thread that found it) when a
// block cannot be delivered because the host's end is closed. on_backlog is called
// (outside the lock) when blocks are left waiting for room in the pipe and nothing
// is yet set to drain them: the caller then calls output_drain whenever the pipe may
// take more, until it returns false. Either may be null. Before output_start.
void output_on_broken(void (*on_broken)());
void output_on_backlog(void (*on_backlog)(int fd));

// Takes over pipe_to_write, which is closed once the reader is done and every job has
// its outcome and every block is out (or cannot be delivered). With reports on,
// "ready" is sent at once: the caller has installed its stop handler. A new start
// forgets everything of the last one. Reader thread, at its start.
void output_start(int pipe_to_write, bool reports);

// Sends "restorefullscreen" if a "removefullscreen" is still without it: for a helper
// that must end at once. Any thread.
void output_restore_fullscreen();

// The same for a helper that ends this instant, from anywhere: written at once,
// ahead of any blocks still queued. Async-signal-safe.
void output_restore_fullscreen_at_once();

// From now on keeps ready the blocks a helper that ends this instant owes the host:
// those still queued, "restorefullscreen" for an open pair, the reports of open jobs
// (as output_settle_pending gives them) and "end". For an ending, before it waits.
// Any thread.
void output_keep_last_words();

// Writes those blocks at once, ahead of nothing (what was queued comes first); without
// output_keep_last_words, only "restorefullscreen" as above. For a helper that ends
// this instant, whatever the other threads are doing. Async-signal-safe.
void output_last_words_at_once();

// True once output_reader_done has been called. Any thread.
bool output_reader_finished();

// True when nobody can read the output any more: the host has closed the pipe's
// reading end (the writing end then polls as an error). False while the output is
// ours and readable by someone, and once it is closed. Any thread; never waits.
bool output_host_gone();

// Sends one block holding word on pipe_to_write: written at once when the pipe has
// room, else queued behind the blocks before it. False when it can never be delivered:
// the host's end is closed, or the output is closed already (or pipe_to_write is no
// longer the output). Any thread; never waits for the host.
bool send_block(int pipe_to_write, const char *word);

// Writes what waits while the pipe has room. Returns true while blocks still wait (the
// caller looks again once the pipe is writable), false when none does. Any thread.
bool output_drain();

// Waits up to timeout_ms for the waiting blocks to go out: for a helper that is about
// to end. True when none is left. Any thread.
bool output_flush(int timeout_ms);

// A job whose outcome comes after its handler has returned. Until handed_over, the
// print server does not have the document yet: an ending helper waits for that. Any
// thread; call before anything can report the job.
void job_pending(JobNumber n);
void job_handed_over(JobNumber n);

// Says what became of job n: with reports on, "job N WORD" is sent. Each job is
// reported once; a second report of the same job, and Pending, are ignored. A job
// numbered 0 is not counted and never reported. Any thread.
void report_outcome(JobNumber n, Outcome outcome);

// What the report of job n will tell, learnt by the reader or a handler: the command
// frame's leading bytes (lead, lead_len of them), the reason of a failure (the last one
// given counts; reported only with failed or skipped), the print server's queue and job
// id, the path where the document went. A job numbered 0, or one reported already, is
// ignored. Any thread.
void job_lead(JobNumber n, const unsigned char *lead, size_t lead_len);
void job_reason(JobNumber n, const char *reason_word);
void job_server_job(JobNumber n, const std::string &queue, unsigned long id);
void job_path(JobNumber n, const std::string &path);

// The job the reader is handling now (0: none), for a handler that is not told its
// number. Any thread.
JobNumber job_in_hand();

// The job the reader is handling now (0: none), which an ending helper reports Failed
// if its handler cannot report it any more. Reader thread.
void output_job_in_hand(JobNumber n);

// How many pending jobs the print server does not have yet. Any thread.
size_t jobs_not_handed_over();

// The reader has read conversation n (counted from 1), whole or not: "end" tells how
// many were read. Reader thread.
void output_conversation_read(JobNumber n);

// The reader has stopped: no job is added any more. Once every pending job has its
// outcome, "end N" (N conversations read) is sent (reports on) and the output is closed when it is
// out. Any thread.
void output_reader_done();

// For a helper that is ending now: every job still pending gets its outcome (Queued
// for a job the print server has and has not finished, Failed for one it does not
// have, or the job in hand), then "end" is sent as above: nothing more is read. Any
// thread.
void output_settle_pending();
