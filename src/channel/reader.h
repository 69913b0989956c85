// The reader thread: reads conversations from the host and hands each job on.
#pragma once

#include "channel/conversation.h"
#include "channel/frame.h"
#include "channel/host_output.h"
#include "channel/inflate.h"
#include "channel/wire.h"

// Set to 1 by sigusr1_handler, never reset; the reader stops when it sees it.
extern StopFlag g_end_flag;

// Whether the host asked for job reports (--report); set before the reader starts.
extern bool g_report_jobs;

// The SIGUSR1 handler: sets g_end_flag and wakes a reader waiting for the host.
// Runs on whichever thread the signal is delivered to; async-signal-safe.
void sigusr1_handler(int signum);

// Stops the reader as the host's SIGUSR1 does: it reads no more and ends once the job
// in hand (if any) is done. Async-signal-safe, any thread.
void reader_stop();

// The reader thread's function. Installs the SIGUSR1 handler, duplicates
// descriptors 1, 0 and 2, points descriptor 1 at standard error (so nothing but the
// control messages ever reaches the host's channel), and reads and handles
// conversations until the input ends or fails or the stop flag is set; then closes
// its duplicate of 0. Its duplicate of 1 goes to the host output (host_output.h),
// which closes it once every job has its outcome. Returns param unchanged.
void *thread_fun(void *param);
