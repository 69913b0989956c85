// Frame lengths and bodies read from descriptors.
#include "channel/frame.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "test_support.h"

using unit::concat;
using unit::Fd;
using unit::memfd_with;
using unit::MemSink;
using unit::noise_bytes;

namespace {

long position(int fd) { return static_cast<long>(lseek(fd, 0, SEEK_CUR)); }

// How many read system calls this process has made so far; -1 when unknown.
long long read_calls() {
  FILE *f = fopen("/proc/self/io", "r");
  if (!f) return -1;
  long long n = -1;
  char line[128];
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "syscr: %lld", &n) == 1) break;
  fclose(f);
  return n;
}

}  // namespace

TEST(Frame, LengthIsLittleEndian) {
  Fd fd(memfd_with(Bytes{0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00}));
  uint32_t len = 0;
  ASSERT_EQ(ReadStatus::Ok, read_length(fd.get(), &len, nullptr));
  EXPECT_EQ(0x12345678u, len);
  ASSERT_EQ(ReadStatus::Ok, read_length(fd.get(), &len, nullptr));
  EXPECT_EQ(0xFFFFFFFFu, len);
  ASSERT_EQ(ReadStatus::Ok, read_length(fd.get(), &len, nullptr));
  EXPECT_EQ(1u, len);
  EXPECT_EQ(ReadStatus::Failed, read_length(fd.get(), &len, nullptr));
}

TEST(Frame, LengthArrivingOneByteAtATime) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  Fd r(p[0]), w(p[1]);
  ASSERT_TRUE(write_all(w.get(), "\x04", 1));
  // The rest comes in separate writes; the reader sees them as separate reads at best.
  ASSERT_TRUE(write_all(w.get(), "\x03", 1));
  ASSERT_TRUE(write_all(w.get(), "\x02\x01", 2));
  uint32_t len = 0;
  ASSERT_EQ(ReadStatus::Ok, read_length(r.get(), &len, nullptr));
  EXPECT_EQ(0x01020304u, len);
}

// A host on an event loop makes its pipe non-blocking and writes in pieces: every
// pause is waited out, for a length and inside a body, and only the real end counts.
TEST(Frame, NonBlockingPipeWrittenInPiecesIsWaitedFor) {
  Bytes doc = noise_bytes(300000, 7);
  Bytes gz = gzip_bytes(doc);
  Bytes bytes = concat({frame(gz), Bytes{0x01, 0x02}});
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC | O_NONBLOCK));
  Fd r(p[0]), w(p[1]);
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size(); at += 40000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      size_t n = std::min<size_t>(40000, bytes.size() - at);
      for (size_t done = 0; done < n;) {
        ssize_t k = write(w.get(), bytes.data() + at + done, n - done);
        if (k > 0)
          done += static_cast<size_t>(k);
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    w.reset();
  });
  uint32_t len = 0;
  ASSERT_EQ(ReadStatus::Ok, read_length(r.get(), &len, nullptr));
  EXPECT_EQ(gz.size(), len);
  MemSink out;
  BodyResult result;
  ASSERT_EQ(ReadStatus::Ok, read_compressed_body(r.get(), len, out.f, nullptr, &result));
  EXPECT_EQ(Z_OK, result.inf_status);
  EXPECT_TRUE(result.gzip_magic);
  EXPECT_TRUE(doc == out.bytes());
  errno = EAGAIN;
  EXPECT_EQ(ReadStatus::Failed, read_length(r.get(), &len, nullptr)) << "two bytes, then the end";
  EXPECT_EQ(0, errno) << "a plain end is no error";
  writer.join();
}

TEST(Frame, LengthCutShortFails) {
  for (size_t k = 0; k < 4; ++k) {
    Fd fd(memfd_with(Bytes(k, 0x01)));
    uint32_t len = 0xABCDu;
    EXPECT_EQ(ReadStatus::Failed, read_length(fd.get(), &len, nullptr)) << k << " bytes";
  }
}

TEST(Frame, SkipBodyTakesExactlyTheBody) {
  Fd fd(memfd_with(noise_bytes(200000, 1)));
  EXPECT_EQ(ReadStatus::Ok, skip_body(fd.get(), 0, nullptr));
  EXPECT_EQ(0, position(fd.get()));
  EXPECT_EQ(ReadStatus::Ok, skip_body(fd.get(), 150001, nullptr));
  EXPECT_EQ(150001, position(fd.get()));
  EXPECT_EQ(ReadStatus::Failed, skip_body(fd.get(), 50000, nullptr));
}

TEST(Frame, CompressedBodyIsReadToItsEnd) {
  Bytes doc = noise_bytes(100000, 2);
  Bytes gz = gzip_bytes(doc);
  Bytes after = {'n', 'e', 'x', 't'};
  // Extra bytes inside the frame after the member are read and dropped.
  for (size_t extra : {size_t{0}, size_t{1}, size_t{100000}}) {
    SCOPED_TRACE(extra);
    Bytes body = concat({gz, noise_bytes(extra, 3)});
    Fd fd(memfd_with(concat({body, after})));
    MemSink out;
    BodyResult result;
    ASSERT_EQ(ReadStatus::Ok, read_compressed_body(fd.get(), static_cast<uint32_t>(body.size()),
                                                   out.f, nullptr, &result));
    EXPECT_EQ(Z_OK, result.inf_status);
    EXPECT_TRUE(doc == out.bytes());
    EXPECT_EQ(static_cast<long>(body.size()), position(fd.get()));
  }
}

TEST(Frame, CompressedBodyNeverReadsPastTheFrame) {
  // The member is cut inside the frame: inflate wants more, but the next frame's bytes
  // are not its to take.
  Bytes doc = noise_bytes(100000, 4);
  Bytes gz = gzip_bytes(doc);
  Bytes cut(gz.begin(), gz.begin() + gz.size() / 2);
  Bytes next(gz.begin() + gz.size() / 2, gz.end());  // what inflate would want next
  Fd fd(memfd_with(concat({cut, next})));
  MemSink out;
  BodyResult result;
  ASSERT_EQ(ReadStatus::Ok, read_compressed_body(fd.get(), static_cast<uint32_t>(cut.size()), out.f,
                                                 nullptr, &result));
  EXPECT_EQ(Z_DATA_ERROR, result.inf_status);
  EXPECT_EQ(static_cast<long>(cut.size()), position(fd.get()));
  Bytes got = out.bytes();
  EXPECT_LT(got.size(), doc.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), doc.begin()));
}

TEST(Frame, CompressedBodyEndingEarlyFails) {
  Bytes gz = gzip_bytes(noise_bytes(50000, 5));
  for (size_t missing : {size_t{1}, gz.size() / 2, gz.size()}) {
    SCOPED_TRACE(missing);
    Fd fd(memfd_with(Bytes(gz.begin(), gz.end() - static_cast<long>(missing))));
    MemSink out;
    BodyResult result;
    EXPECT_EQ(ReadStatus::Failed, read_compressed_body(fd.get(), static_cast<uint32_t>(gz.size()),
                                                       out.f, nullptr, &result));
  }
}

TEST(Frame, LargeBodiesAreReadInLargePieces) {
  long long before_probe = read_calls();
  if (before_probe < 0) GTEST_SKIP() << "no read accounting in /proc/self/io";
  Bytes gz = gzip_bytes(noise_bytes(2 * 1024 * 1024, 6));
  Fd fd(memfd_with(gz));
  MemSink out;
  BodyResult result;
  long long before = read_calls();
  ASSERT_EQ(ReadStatus::Ok, read_compressed_body(fd.get(), static_cast<uint32_t>(gz.size()), out.f,
                                                 nullptr, &result));
  long long calls = read_calls() - before;
  EXPECT_EQ(Z_OK, result.inf_status);
  // One read per byte would be about two million calls.
  EXPECT_LT(calls, static_cast<long long>(gz.size() / 1024)) << calls << " reads";
}
