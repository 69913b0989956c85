// Print-server connections that the toolkit's printing module opens for a sent job
// and never closes again: which sockets this process has open, and which of them are
// still the very sockets they were. Plain POSIX: no toolkit calls here.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A socket of this process, known by its descriptor and by the socket itself, so a
// later look can tell it from another socket that reused the descriptor number.
struct OpenSocket {
  int fd;
  dev_t dev;
  ino_t ino;
  std::string peer;  // the address it is connected to (raw bytes); empty if none
};

// The sockets this process has open now, by descriptor number (peers not filled in).
// Any thread.
std::vector<OpenSocket> open_sockets();

// The sockets open now that were not among before, by descriptor number, with their
// peers filled in. Any thread.
std::vector<OpenSocket> sockets_opened_since(const std::vector<OpenSocket> &before);

// Those of sockets that are still open as the very socket they were. Any thread.
std::vector<OpenSocket> sockets_still_open(const std::vector<OpenSocket> &sockets);
