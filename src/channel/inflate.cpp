#include "channel/inflate.h"

#include <zlib.h>

#include <cassert>
#include <cstring>

// Window bits 15 plus 16: gzip decoding only, with the largest window.
static constexpr int kGzipWindowBits = 31;

int inf(FILE *source, FILE *dest) {
  int ret;
  unsigned have;
  z_stream strm;
  unsigned char in[kInflateChunk];
  unsigned char out[kInflateChunk];

  memset(&strm, 0, sizeof strm);
  strm.zalloc = Z_NULL;
  strm.zfree = Z_NULL;
  strm.opaque = Z_NULL;
  strm.avail_in = 0;
  strm.next_in = Z_NULL;
  ret = inflateInit2(&strm, kGzipWindowBits);
  if (ret != Z_OK) return ret;

  // Every exit below this point ends the inflate state first.
  do {
    strm.avail_in = static_cast<uInt>(fread(in, 1, kInflateChunk, source));
    if (ferror(source)) {
      (void)inflateEnd(&strm);
      return Z_ERRNO;
    }
    if (strm.avail_in == 0) break;
    strm.next_in = in;

    // Drain all the output the current input yields.
    do {
      strm.avail_out = kInflateChunk;
      strm.next_out = out;
      ret = inflate(&strm, Z_NO_FLUSH);
      assert(ret != (-2));  // Z_STREAM_ERROR: the state was never clobbered
      switch (ret) {
        case Z_NEED_DICT:
          ret = Z_DATA_ERROR;
          [[fallthrough]];
        case Z_DATA_ERROR:
        case Z_MEM_ERROR:
          (void)inflateEnd(&strm);
          return ret;
        default:
          break;
      }
      have = kInflateChunk - strm.avail_out;
      if (fwrite(out, 1, have, dest) != have || ferror(dest)) {
        (void)inflateEnd(&strm);
        return Z_ERRNO;
      }
    } while (strm.avail_out == 0);
  } while (ret != Z_STREAM_END);

  (void)inflateEnd(&strm);
  return ret == Z_STREAM_END ? Z_OK : Z_DATA_ERROR;
}
