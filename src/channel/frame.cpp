#include "channel/frame.h"

#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "channel/inflate.h"

static bool stop_set(const StopWatch *stop) { return stop && stop->flag->load() != 0; }

// Blocks until fd has something to read (or has ended or failed) or the stop flag is
// set. Returns false when the flag is set. Without a stop watch it waits on fd alone.
static bool wait_readable(int fd, const StopWatch *stop) {
  for (;;) {
    if (stop_set(stop)) return false;
    int wake = stop ? stop->wake_fd : -1;
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    int n = poll(fds, wake >= 0 ? 2 : 1, -1);
    if (stop_set(stop)) return false;
    if (n < 0 && errno != EINTR) return true;  // let the read itself report it
    if (n > 0 && fds[0].revents) return true;
  }
}

ReadStatus read_some(int fd, void *buf, size_t want, const StopWatch *stop, size_t *got) {
  *got = 0;
  for (;;) {
    // Waiting in poll rather than in read lets the stop pipe wake us.
    if (stop && !wait_readable(fd, stop)) return ReadStatus::Stopped;
    ssize_t n = read(fd, buf, want);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return ReadStatus::Ok;
    }
    if (n == 0) {
      errno = 0;  // a plain end: no earlier call's error belongs to it
      return ReadStatus::Failed;
    }
    if (errno == EINTR) {
      if (stop_set(stop)) return ReadStatus::Stopped;
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // The host's pipe is non-blocking and momentarily empty.
      if (!wait_readable(fd, stop)) return ReadStatus::Stopped;
      continue;
    }
    return ReadStatus::Failed;
  }
}

ReadStatus read_length(int fd, uint32_t *datalen, const StopWatch *stop) {
  unsigned char bytes[4];
  size_t have = 0;
  while (have < sizeof bytes) {
    size_t got;
    ReadStatus st = read_some(fd, bytes + have, sizeof bytes - have, stop, &got);
    if (st != ReadStatus::Ok) return st;
    have += got;
  }
  *datalen = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  if (stop_set(stop)) return ReadStatus::Stopped;
  return ReadStatus::Ok;
}

ReadStatus skip_body(int fd, uint64_t datalen, const StopWatch *stop) {
  unsigned char chunk[65536];
  while (datalen > 0) {
    size_t want = datalen < sizeof chunk ? static_cast<size_t>(datalen) : sizeof chunk;
    size_t got;
    ReadStatus st = read_some(fd, chunk, want, stop, &got);
    if (st != ReadStatus::Ok) return st;
    datalen -= got;
  }
  return ReadStatus::Ok;
}

namespace {
// The body as a readable stream: exactly the frame's remaining bytes of fd.
struct BodySource {
  int fd;
  uint64_t remaining;
  const StopWatch *stop;
  ReadStatus broken;  // Ok while the body goes on; why it ended early otherwise
  int saved_errno;
  unsigned char first[2];
  size_t first_n;
};
}  // namespace

static ssize_t body_read(void *cookie, char *buf, size_t size) {
  BodySource *src = static_cast<BodySource *>(cookie);
  if (src->remaining == 0 || src->broken != ReadStatus::Ok) return 0;
  size_t want = size < src->remaining ? size : static_cast<size_t>(src->remaining);
  size_t got;
  ReadStatus st = read_some(src->fd, buf, want, src->stop, &got);
  if (st != ReadStatus::Ok) {
    src->broken = st;
    src->saved_errno = errno;
    return 0;
  }
  for (size_t i = 0; i < got && src->first_n < sizeof src->first; ++i)
    src->first[src->first_n++] = static_cast<unsigned char>(buf[i]);
  src->remaining -= got;
  return static_cast<ssize_t>(got);
}

ReadStatus read_compressed_body(int fd, uint32_t datalen, FILE *dest, const StopWatch *stop,
                                BodyResult *result) {
  BodySource src{fd, datalen, stop, ReadStatus::Ok, 0, {0, 0}, 0};
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.read = body_read;
  FILE *source = fopencookie(&src, "r", io);
  if (!source) {
    result->inf_status = Z_MEM_ERROR;
    return skip_body(fd, datalen, stop);
  }
  // The stream keeps its buffer: unbuffered, stdio would fetch the body one byte per
  // read call. body_read never reads past the frame, so reading ahead stays inside it.
  result->inf_status = inf(source, dest);
  fclose(source);
  result->gzip_magic = src.first_n == 2 && src.first[0] == 0x1f && src.first[1] == 0x8b;
  if (src.broken != ReadStatus::Ok) {
    errno = src.saved_errno;
    return src.broken;
  }
  return skip_body(fd, src.remaining, stop);
}
