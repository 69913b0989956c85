// Writing and copying through descriptors: the one way every folder does it.
// Plain POSIX, any thread.
#pragma once

#include <cstddef>

// Writes all n bytes of buf to fd, going on after short writes and interruptions.
// False with errno set when a write fails (ENOSPC for a write that takes nothing);
// *done, when given, says how many bytes went out before that.
bool write_all(int fd, const void *buf, size_t n, size_t *done = nullptr);

// Copies n bytes from offset 0 of src to dst at dst's own offset: in the kernel where
// it can, else through a buffer. src's offset is not used. A source shorter than n
// fails with EIO. False with errno set on failure.
bool copy_bytes(int src, int dst, size_t n);

// How many blocks write_all and copy_bytes have moved (and steps note_io_progress has
// noted) since the process started: a watchdog that sees it change knows the I/O under
// way is slow, not stuck. Async-signal-safe.
unsigned long io_progress();
// Counts a finished step of I/O that moves no block (a sync, a rename). Any thread.
void note_io_progress();
