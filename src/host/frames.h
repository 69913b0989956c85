// The host's side of the wire: building frames and conversations, starting the
// helper on pipes and splitting its output into control messages. Used by the
// reference host and the tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/io.h"

using Bytes = std::vector<unsigned char>;

// gzip-compresses data (one member). level as zlib's, 0 to 9.
Bytes gzip_bytes(const void *data, size_t n, int level = 6);
inline Bytes gzip_bytes(const Bytes &data, int level = 6) {
  return gzip_bytes(data.data(), data.size(), level);
}
inline Bytes to_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

// A frame: the body's length as 4 little-endian bytes, then the body.
Bytes frame(const Bytes &body);
// A frame with an arbitrary length field, for hosts that misbehave on purpose.
Bytes frame_with_length(uint32_t length, const Bytes &body);

// The command frame: 13 leading bytes, the word, the separator, a NUL.
Bytes command_frame(const std::string &word);
// The frame the printing commands send before the file frame; never decompressed.
Bytes skipped_frame();
// The file frame's payload: the header (name, separator, NUL padding to 1024 bytes),
// then the document.
Bytes file_payload(const std::string &name, const Bytes &document);
Bytes file_frame(const std::string &name, const Bytes &document);
// A whole conversation for the word: the frames it takes, in order.
Bytes conversation(const std::string &word, const std::string &name, const Bytes &document);

// Appends b to a.
inline void append(Bytes &a, const Bytes &b) { a.insert(a.end(), b.begin(), b.end()); }

// A started helper and our ends of its three pipes.
struct HelperProcess {
  pid_t pid = -1;
  int to_helper = -1;    // its standard input
  int from_helper = -1;  // its standard output: control messages
  int err_helper = -1;   // its standard error
};

// Starts argv[0] with pipes on descriptors 0, 1 and 2 (err_helper is -1 and the
// helper's standard error is ours when pipe_stderr is false). env null keeps ours.
// Returns false with errno set when it cannot be started.
bool spawn_helper(const std::vector<std::string> &argv, const std::vector<std::string> *env,
                  bool pipe_stderr, HelperProcess *out);

// Runs argv with its standard input closed and its standard error ours, and returns
// what it wrote on standard output; *wait_status gets its wait status, or -1 when it
// could not be started.
std::string run_capture(const std::vector<std::string> &argv, int *wait_status);

// The words of the whole 512-byte control messages in out (each up to its NUL).
std::vector<std::string> control_words(const std::string &out);
