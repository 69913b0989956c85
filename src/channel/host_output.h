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

// The text of a job report block: "job N WORD".
std::string report_text(JobNumber n, Outcome outcome);

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

// True once output_reader_done has been called. Any thread.
bool output_reader_finished();

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

// The job the reader is handling now (0: none), which an ending helper reports Failed
// if its handler cannot report it any more. Reader thread.
void output_job_in_hand(JobNumber n);

// How many pending jobs the print server does not have yet. Any thread.
size_t jobs_not_handed_over();

// The reader has stopped: no job is added any more. Once every pending job has its
// outcome, "end" is sent (reports on) and the output is closed when it is out. Any
// thread.
void output_reader_done();

// For a helper that is ending now: every job still pending gets its outcome (Queued
// for a job the print server has and has not finished, Failed for one it does not
// have, or the job in hand), then "end" is sent as above: nothing more is read. Any
// thread.
void output_settle_pending();
