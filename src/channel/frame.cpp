#include "channel/frame.h"

#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "channel/inflate.h"

// Blocks until fd has something to read or the stop flag is set.
// Returns false when the flag is set.
static bool wait_readable(int fd, const StopWatch *stop) {
  for (;;) {
    if (*stop->flag) return false;
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {stop->wake_fd, POLLIN, 0}};
    int n = poll(fds, stop->wake_fd >= 0 ? 2 : 1, -1);
    if (n < 0 && errno != EINTR) return true;  // let the read itself report it
    if (*stop->flag) return false;
    if (n > 0 && fds[0].revents) return true;
  }
}

ReadStatus read_length(int fd, uint32_t *datalen, const StopWatch *stop) {
  unsigned char bytes[4];
  size_t got = 0;
  if (stop && !wait_readable(fd, stop)) return ReadStatus::Stopped;
  while (got < sizeof bytes) {
    ssize_t n = read(fd, bytes + got, sizeof bytes - got);
    if (n < 0 && errno == EINTR) {
      if (stop && *stop->flag && got == 0) return ReadStatus::Stopped;
      continue;
    }
    if (n <= 0) return ReadStatus::Failed;
    got += static_cast<size_t>(n);
  }
  *datalen = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  if (stop && *stop->flag) return ReadStatus::Stopped;
  return ReadStatus::Ok;
}

// One read of at most want bytes, retried when a signal interrupts it.
static ssize_t read_some(int fd, void *buf, size_t want) {
  ssize_t n;
  do {
    n = read(fd, buf, want);
  } while (n < 0 && errno == EINTR);
  return n;
}

ReadStatus skip_body(int fd, uint64_t datalen) {
  unsigned char chunk[65536];
  while (datalen > 0) {
    size_t want = datalen < sizeof chunk ? static_cast<size_t>(datalen) : sizeof chunk;
    ssize_t n = read_some(fd, chunk, want);
    if (n <= 0) return ReadStatus::Failed;
    datalen -= static_cast<uint64_t>(n);
  }
  return ReadStatus::Ok;
}

namespace {
// The body as a readable stream: exactly the frame's remaining bytes of fd.
struct BodySource {
  int fd;
  uint64_t remaining;
  bool broken;  // the stream ended or failed before the body did
  int saved_errno;
};
}  // namespace

static ssize_t body_read(void *cookie, char *buf, size_t size) {
  BodySource *src = static_cast<BodySource *>(cookie);
  if (src->remaining == 0 || src->broken) return 0;
  size_t want = size < src->remaining ? size : static_cast<size_t>(src->remaining);
  ssize_t n = read_some(src->fd, buf, want);
  if (n <= 0) {
    src->broken = true;
    src->saved_errno = errno;
    return n;
  }
  src->remaining -= static_cast<uint64_t>(n);
  return n;
}

ReadStatus read_compressed_body(int fd, uint32_t datalen, FILE *dest, int *inf_status) {
  BodySource src{fd, datalen, false, 0};
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.read = body_read;
  FILE *source = fopencookie(&src, "r", io);
  if (!source) {
    *inf_status = Z_MEM_ERROR;
    return skip_body(fd, datalen);
  }
  // The stream keeps its buffer: unbuffered, stdio would fetch the body one byte per
  // read call. body_read never reads past the frame, so reading ahead stays inside it.
  *inf_status = inf(source, dest);
  fclose(source);
  if (src.broken) {
    errno = src.saved_errno;
    return ReadStatus::Failed;
  }
  return skip_body(fd, src.remaining);
}
