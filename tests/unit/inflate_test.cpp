// inf: one gzip member from a stream to a stream.
#include "channel/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "test_support.h"

using unit::MemSink;
using unit::noise_bytes;
using unit::stream_of;
using unit::text_bytes;

namespace {

// Runs inf on source bytes and returns its status; the output goes to *out.
int inflate_bytes(const Bytes &source, Bytes *out) {
  FILE *in = stream_of(source);
  if (!in) return -1000;
  MemSink sink;
  int status = inf(in, sink.f);
  fclose(in);
  *out = sink.bytes();
  return status;
}

bool is_prefix(const Bytes &prefix, const Bytes &whole) {
  return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

Bytes zlib_wrapped(const Bytes &data) {
  uLongf len = compressBound(static_cast<uLong>(data.size()));
  Bytes out(len);
  if (compress2(out.data(), &len, data.data(), static_cast<uLong>(data.size()), 6) != Z_OK)
    return Bytes();
  out.resize(len);
  return out;
}

// A stream that hands out its bytes a few at a time, like a slow pipe.
struct Trickle {
  Bytes data;
  size_t at = 0;
  size_t piece;
};

ssize_t trickle_read(void *cookie, char *buf, size_t size) {
  Trickle *t = static_cast<Trickle *>(cookie);
  size_t n = std::min({size, t->piece, t->data.size() - t->at});
  memcpy(buf, t->data.data() + t->at, n);
  t->at += n;
  return static_cast<ssize_t>(n);
}

ssize_t failing_read(void *, char *, size_t) {
  errno = EIO;
  return -1;
}

// A writer that accepts up to limit bytes and then fails.
struct LimitedWriter {
  size_t limit;
  Bytes got;
};

ssize_t limited_write(void *cookie, const char *buf, size_t size) {
  LimitedWriter *w = static_cast<LimitedWriter *>(cookie);
  if (w->got.size() + size > w->limit) {
    errno = ENOSPC;
    return -1;
  }
  w->got.insert(w->got.end(), buf, buf + size);
  return static_cast<ssize_t>(size);
}

}  // namespace

TEST(Inflate, EmptySourceIsDataErrorAndWritesNothing) {
  Bytes out = {1, 2, 3};
  EXPECT_EQ(Z_DATA_ERROR, inflate_bytes(Bytes(), &out));
  EXPECT_TRUE(out.empty());
}

TEST(Inflate, EmptyDocumentInACompleteMemberIsOk) {
  Bytes out = {1, 2, 3};
  EXPECT_EQ(Z_OK, inflate_bytes(gzip_bytes(Bytes()), &out));
  EXPECT_TRUE(out.empty());
}

TEST(Inflate, OnlyGzipIsAccepted) {
  Bytes data = text_bytes(5000);
  Bytes out;
  EXPECT_EQ(Z_DATA_ERROR, inflate_bytes(zlib_wrapped(data), &out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Z_DATA_ERROR, inflate_bytes(data, &out)) << "plain, uncompressed bytes";
  EXPECT_TRUE(out.empty());
}

TEST(Inflate, CutOffStreamKeepsWhatWasDecodedAndIsDataError) {
  for (const Bytes &data : {noise_bytes(200000, 1), text_bytes(600000)}) {
    Bytes gz = gzip_bytes(data);
    for (size_t cut : {gz.size() / 2, gz.size() - 8, gz.size() - 1}) {
      SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(gz.size()));
      Bytes out;
      EXPECT_EQ(Z_DATA_ERROR, inflate_bytes(Bytes(gz.begin(), gz.begin() + cut), &out));
      EXPECT_TRUE(is_prefix(out, data));
      if (cut == gz.size() / 2) {
        EXPECT_GT(out.size(), 0u);
        EXPECT_LT(out.size(), data.size());
      }
    }
  }
}

TEST(Inflate, BadChecksumIsDataError) {
  Bytes data = text_bytes(40000);
  Bytes gz = gzip_bytes(data);
  gz[gz.size() - 8] ^= 0x01;  // the trailer's CRC-32
  Bytes out;
  EXPECT_EQ(Z_DATA_ERROR, inflate_bytes(gz, &out));
  EXPECT_TRUE(is_prefix(out, data));
}

TEST(Inflate, BytesAfterTheMemberAreNotOutput) {
  Bytes data = text_bytes(30000);
  Bytes garbage = to_bytes("trailing bytes that are not gzip at all");
  Bytes second_member = gzip_bytes(to_bytes("a second member"));
  for (const Bytes &after : {garbage, second_member, noise_bytes(70000, 9)}) {
    Bytes source = unit::concat({gzip_bytes(data), after});
    Bytes out;
    EXPECT_EQ(Z_OK, inflate_bytes(source, &out));
    EXPECT_EQ(data, out);
  }
}

TEST(Inflate, LargePayloadsArriveWholeAndInOrder) {
  // Incompressible data spans many input chunks; text expands each input chunk
  // into many output chunks.
  for (const Bytes &data :
       {noise_bytes(3 * 1024 * 1024 + 17, 2), text_bytes(8 * 1024 * 1024 + 5)}) {
    Bytes out;
    ASSERT_EQ(Z_OK, inflate_bytes(gzip_bytes(data), &out));
    ASSERT_EQ(data.size(), out.size());
    EXPECT_TRUE(data == out);
  }
}

TEST(Inflate, SourceGivingFewBytesPerReadStillDecodes) {
  Bytes data = text_bytes(100000);
  Trickle t{gzip_bytes(data), 0, 7};
  cookie_io_functions_t io = {};
  io.read = trickle_read;
  FILE *in = fopencookie(&t, "r", io);
  ASSERT_NE(nullptr, in);
  MemSink sink;
  EXPECT_EQ(Z_OK, inf(in, sink.f));
  fclose(in);
  EXPECT_TRUE(data == sink.bytes());
}

TEST(Inflate, FailingSourceIsErrno) {
  cookie_io_functions_t io = {};
  io.read = failing_read;
  FILE *in = fopencookie(nullptr, "r", io);
  ASSERT_NE(nullptr, in);
  MemSink sink;
  EXPECT_EQ(Z_ERRNO, inf(in, sink.f));
  fclose(in);
  EXPECT_TRUE(sink.bytes().empty());
}

TEST(Inflate, FailingDestIsErrnoAndKeepsEarlierOutput) {
  Bytes data = text_bytes(500000);
  for (size_t limit : {size_t{0}, kInflateChunk, 5 * kInflateChunk}) {
    SCOPED_TRACE("writer fails after " + std::to_string(limit) + " bytes");
    FILE *in = stream_of(gzip_bytes(data));
    ASSERT_NE(nullptr, in);
    LimitedWriter w{limit, Bytes()};
    cookie_io_functions_t io = {};
    io.write = limited_write;
    FILE *out = fopencookie(&w, "w", io);
    ASSERT_NE(nullptr, out);
    setvbuf(out, nullptr, _IONBF, 0);
    EXPECT_EQ(Z_ERRNO, inf(in, out));
    fclose(out);
    fclose(in);
    EXPECT_LE(w.got.size(), limit);
    EXPECT_TRUE(is_prefix(w.got, data));
  }
}
