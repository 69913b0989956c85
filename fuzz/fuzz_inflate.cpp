// Fuzzes inf: the input is a frame body. What inf reports and writes is compared
// with zlib inflating the same bytes in one go: a whole member decodes for both or
// for neither, to the same bytes; a failure's output is a prefix of zlib's.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "channel/inflate.h"
#include "fuzz_check.h"

// Output kept for comparing bytes; past it only the length and CRC are compared.
constexpr size_t kKeep = 1 << 20;

namespace {
// What a decoder produced: its length, CRC-32 and first kKeep bytes.
struct Produced {
  size_t total = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  std::vector<unsigned char> head;
};
}  // namespace

static void take(Produced *p, const unsigned char *buf, size_t n) {
  p->total += n;
  p->crc = crc32(p->crc, buf, static_cast<uInt>(n));
  size_t keep = p->head.size() < kKeep ? kKeep - p->head.size() : 0;
  if (keep > n) keep = n;
  p->head.insert(p->head.end(), buf, buf + keep);
}

static ssize_t sink_write(void *cookie, const char *buf, size_t size) {
  take(static_cast<Produced *>(cookie), reinterpret_cast<const unsigned char *>(buf), size);
  return static_cast<ssize_t>(size);
}

// zlib's own gzip decoding of the whole input; true when a member ended.
static bool reference(const uint8_t *data, size_t size, Produced *out) {
  z_stream s;
  memset(&s, 0, sizeof s);
  FUZZ_CHECK(inflateInit2(&s, 31) == Z_OK);
  s.next_in = const_cast<uint8_t *>(data);
  s.avail_in = static_cast<uInt>(size);
  static unsigned char chunk[65536];
  int ret;
  do {
    s.next_out = chunk;
    s.avail_out = sizeof chunk;
    ret = inflate(&s, Z_NO_FLUSH);
    take(out, chunk, sizeof chunk - s.avail_out);
  } while (ret == Z_OK && s.avail_out == 0);
  inflateEnd(&s);
  return ret == Z_STREAM_END;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<unsigned char> copy(data, data + size);
  FILE *source = size ? fmemopen(copy.data(), size, "r") : fopen("/dev/null", "r");
  FUZZ_CHECK(source);
  Produced got;
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.write = sink_write;
  FILE *dest = fopencookie(&got, "w", io);
  FUZZ_CHECK(dest);
  int status = inf(source, dest);
  fclose(dest);  // flushes what stdio still holds into got
  fclose(source);

  FUZZ_CHECK(status == Z_OK || status == Z_DATA_ERROR || status == Z_MEM_ERROR);
  if (status == Z_MEM_ERROR) return 0;  // the fuzzer's allocation limit; nothing to compare

  Produced want;
  bool whole = reference(data, size, &want);
  FUZZ_CHECK(whole == (status == Z_OK));
  if (whole) {
    FUZZ_CHECK(got.total == want.total);
    FUZZ_CHECK(got.crc == want.crc);
  } else {
    FUZZ_CHECK(got.total <= want.total);
  }
  size_t common = got.head.size() < want.head.size() ? got.head.size() : want.head.size();
  FUZZ_CHECK(common == 0 || memcmp(got.head.data(), want.head.data(), common) == 0);
  return 0;
}
