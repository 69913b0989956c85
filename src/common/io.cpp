#include "common/io.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

namespace {
// The block of a copy by hand, where the kernel cannot copy between the two files:
// large enough that the copy costs few calls, small enough to be no burden.
constexpr size_t kCopyBlock = size_t{1} << 20;
// The most one copy_file_range call is asked for: large enough that the copy costs
// few calls, small enough that a slow copy (a network file system) is seen moving
// (io_progress) every few seconds at the least.
constexpr size_t kKernelCopyStep = size_t{64} << 20;

std::atomic<unsigned long> g_progress{0};
static_assert(std::atomic<unsigned long>::is_always_lock_free, "read from a signal handler");
}  // namespace

unsigned long io_progress() { return g_progress.load(std::memory_order_relaxed); }

void note_io_progress() { g_progress.fetch_add(1, std::memory_order_relaxed); }

bool write_all(int fd, const void *buf, size_t n, size_t *done) {
  const unsigned char *p = static_cast<const unsigned char *>(buf);
  size_t written = 0;
  bool ok = true;
  while (written < n) {
    ssize_t w = write(fd, p + written, n - written);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      ok = false;
      break;
    }
    written += static_cast<size_t>(w);
    note_io_progress();
  }
  if (done) *done = written;
  return ok;
}

bool copy_bytes(int src, int dst, size_t n) {
  off_t in = 0;
  size_t done = 0;
  while (done < n) {
    ssize_t got = copy_file_range(src, &in, dst, nullptr, std::min(n - done, kKernelCopyStep), 0);
    if (got > 0) {
      done += static_cast<size_t>(got);
      note_io_progress();
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) {
      errno = EIO;
      return false;
    }
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EBADF && errno != EPERM)
      return false;
    break;  // these two files cannot be copied by the kernel: copy the rest by hand
  }
  std::unique_ptr<unsigned char[]> buf;
  if (done < n) buf.reset(new unsigned char[kCopyBlock]);
  while (done < n) {
    ssize_t got = pread(src, buf.get(), std::min(n - done, kCopyBlock), static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    if (!write_all(dst, buf.get(), static_cast<size_t>(got))) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}
