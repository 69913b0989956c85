// Reading frames from a descriptor: the 4-byte length and the body.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

enum class ReadStatus {
  Ok,       // the frame (or length) was read whole
  Stopped,  // the stop flag was found set; nothing is reported
  Failed,   // the stream ended or failed; errno holds the system's last error
};

// How a waiting read learns of a stop: the flag the signal handler sets, and the
// read end of a pipe it writes a byte to, so a read blocked on the host wakes up
// whichever thread the signal was delivered to. wake_fd may be -1.
struct StopWatch {
  volatile sig_atomic_t *flag;
  int wake_fd;
};

// Reads a frame's 4-byte little-endian length from fd into *datalen.
// With stop given, waiting for the first byte ends early with Stopped once the flag
// is set, and a flag found set after the read also gives Stopped. One to three bytes
// followed by the end of the stream give Failed. Called on the reader thread.
ReadStatus read_length(int fd, uint32_t *datalen, const StopWatch *stop);

// Reads and drops datalen body bytes in bounded chunks. Failed when the stream ends
// or fails first.
ReadStatus skip_body(int fd, uint64_t datalen);

// Inflates a compressed body of datalen bytes, read straight from fd, into dest,
// then reads and drops whatever of the body the gzip member did not use, so the
// next frame starts where it should. *inf_status gets what inf returned. Returns
// Failed when the stream ended or failed inside the body. dest stays the caller's.
ReadStatus read_compressed_body(int fd, uint32_t datalen, FILE *dest, int *inf_status);
