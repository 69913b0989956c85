// Frame decompression: one gzip member, stream to stream.
#pragma once

#include <cstdio>

// Size of the two chunk buffers inf works through.
constexpr size_t kInflateChunk = 16384;

// Decompresses the gzip stream read from source into dest, 16384 bytes at a time.
// Returns Z_OK when a whole gzip member was decoded and written; Z_DATA_ERROR for
// corrupt or incomplete data (or a stream asking for a dictionary); Z_MEM_ERROR when
// inflate runs out of memory; Z_ERRNO when reading source or writing dest fails; or
// the set-up's own status. Output written before a failure stays in dest. Bytes after
// the first member are not read on. The caller owns and closes both streams.
// Any thread may call it; it keeps no state between calls.
int inf(FILE *source, FILE *dest);
