// Reading frames from a descriptor: the 4-byte length and the body.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

enum class ReadStatus {
  Ok,       // the frame (or length) was read whole
  Stopped,  // the stop flag was found set while waiting; nothing is reported
  Failed,   // the stream ended (errno 0) or failed (errno holds the read's error)
};

// The stop flag: set by a signal handler on any thread, read by the reader. It must be
// lock-free to be touched from a signal handler.
using StopFlag = std::atomic<int>;
static_assert(StopFlag::is_always_lock_free, "the stop flag is set from a signal handler");

// How a waiting read learns of a stop: the flag the signal handler sets, and the
// read end of a pipe it writes a byte to, so a read waiting for the host wakes up
// whichever thread the signal was delivered to. wake_fd may be -1.
struct StopWatch {
  const StopFlag *flag;
  int wake_fd;
};

// Reads at most want bytes from fd into buf, waiting as long as the host takes: a
// non-blocking descriptor that has nothing yet is waited on, not taken for the end.
// With stop given, a wait ends with Stopped once the flag is set. Ok with *got > 0;
// Failed at the end of the stream (errno 0) or on an error (errno the read's).
// Called on the reader thread.
ReadStatus read_some(int fd, void *buf, size_t want, const StopWatch *stop, size_t *got);

// Reads a frame's 4-byte little-endian length from fd into *datalen. A flag found set
// after the read also gives Stopped. One to three bytes followed by the end of the
// stream give Failed.
ReadStatus read_length(int fd, uint32_t *datalen, const StopWatch *stop);

// Reads and drops datalen body bytes in bounded chunks. Failed when the stream ends
// or fails first.
ReadStatus skip_body(int fd, uint64_t datalen, const StopWatch *stop);

// What became of a compressed body.
struct BodyResult {
  int inf_status = 0;       // what inf returned
  bool gzip_magic = false;  // the body began with the gzip signature 1f 8b
};

// Inflates a compressed body of datalen bytes, read straight from fd, into dest,
// then reads and drops whatever of the body the gzip member did not use, so the
// next frame starts where it should. Returns Failed when the stream ended or failed
// inside the body, Stopped on a stop while waiting. dest stays the caller's.
ReadStatus read_compressed_body(int fd, uint32_t datalen, FILE *dest, const StopWatch *stop,
                                BodyResult *result);
