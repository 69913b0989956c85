// One conversation: a command frame and the frames its command takes, decoded.
#pragma once

#include <cstdio>
#include <vector>

#include "channel/frame.h"
#include "channel/wire.h"

// What the reader needs besides the descriptor.
struct ReaderContext {
  const char *homedir;     // where the spool folder lives
  bool spool_printing;     // false: printing documents stay in memory (tests, fuzzing)
  const StopWatch *stop;   // may be null: then nothing stops a waiting read
  FILE *diag;              // trace lines and one-line diagnostics
};

// A decoded job. The reader owns it for the job's handling.
struct Conversation {
  Command command = Command::Other;
  char command2[kTextSize] = "";
  char fname2[kTextSize] = "";
  // The spool path; set while a spool file exists for this job, which then owns it.
  char fullname[kTextSize] = "";
  // The document bytes, for "sendfile" (and for printing when not spooling).
  std::vector<unsigned char> cleandata;
  size_t document_length = 0;
  int command_status = 0;  // what inf said of the command frame
  int file_status = 0;     // ... and of the file frame
  bool skip = false;       // the job cannot be done; its diagnostic has been written
};

// Reads one conversation from fd: the command frame, then exactly the frames its
// command takes, writing the trace lines and any diagnostic to ctx.diag. A printing
// command's document is written to a spool file as it is decompressed (its path in
// conv->fullname); "sendfile"'s is kept in conv->cleandata. Returns Ok with a job to
// handle (or conv->skip set), Stopped on a stop, or Failed when the stream ended or
// failed where a frame was due (errno then holds the read's error; no spool file is
// left behind). Called on the reader thread; it touches no toolkit.
ReadStatus read_conversation(int fd, const ReaderContext &ctx, Conversation *conv);
