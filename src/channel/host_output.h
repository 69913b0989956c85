// What the helper writes to the host on its standard output: 512-byte control messages
// and, for a host that started it with --report, job reports in the same form. Every
// block is written whole under one lock, so blocks from the reader thread and from the
// UI thread (a print job that completes later) never interleave. Plain POSIX: no
// toolkit, so unit tests drive it on a pipe of their own.
#pragma once

#include <cstddef>
#include <string>

// Conversations are numbered from 1 in the order the host sent them.
using JobNumber = unsigned long;

// What became of a job, as a report names it. Pending: the handler has returned but
// the outcome comes later (a print job the toolkit is still handing over).
enum class Outcome { Printed, Saved, Cancelled, Failed, Unsupported, Skipped, Pending };

// The report word of an outcome ("printed", ...); nullptr for Pending.
const char *outcome_word(Outcome outcome);

// The text of a job report block: "job N WORD".
std::string report_text(JobNumber n, Outcome outcome);

// Takes over pipe_to_write, which output_reader_done closes in the end. With reports
// on, "ready" is sent at once: the caller has installed its stop handler. Reader
// thread, before any other call here but output_on_broken.
void output_start(int pipe_to_write, bool reports);

// on_broken is called (once, on the writing thread, outside the lock) when a block
// cannot be delivered because the host's end is closed. Before output_start.
void output_on_broken(void (*on_broken)());

// Sends "restorefullscreen" if a "removefullscreen" is still without it: for a helper
// that must end at once. Any thread.
void output_restore_fullscreen();

// True once output_reader_done has been called. Any thread.
bool output_reader_finished();

// Writes one block holding word to pipe_to_write, whole, waiting for room as long as
// the host takes. Returns false when it could not be delivered: the host's end is
// closed, or the output has been closed already. Any thread.
bool send_block(int pipe_to_write, const char *word);

// A job whose outcome comes after its handler has returned. Until handed_over, the
// print server does not have the document yet: an ending helper waits for that. Any
// thread; call before anything can report the job.
void job_pending(JobNumber n);
void job_handed_over(JobNumber n);

// Says what became of job n: with reports on, "job N WORD" is sent. Each job is
// reported once; a second report of the same job, and Pending, are ignored. A job
// numbered 0 is not counted and never reported. Any thread.
void report_outcome(JobNumber n, Outcome outcome);

// How many pending jobs the print server does not have yet. Any thread.
size_t jobs_not_handed_over();

// The reader has stopped: no job is added any more. Once every pending job has its
// outcome, "end" is sent (reports on) and the output is closed. Any thread.
void output_reader_done();

// For a helper that is ending now: every job still pending gets its outcome (Printed
// for a job the print server has, Failed for one it does not), then "end" is sent as
// above if the reader has stopped. Any thread.
void output_settle_pending();
