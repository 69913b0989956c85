// One conversation: a command frame and the frames its command takes, decoded.
#pragma once

#include <cstdio>

#include "channel/frame.h"
#include "channel/host_output.h"
#include "channel/wire.h"

// Where the documents of file frames go. The reader asks for a file once a
// document's name is known and writes the document into it as it is decompressed,
// so no document is ever held whole in the reader's memory. The caller chooses the
// place: spool and temporary files in the helper, memory files in tests and fuzzers.
struct DocumentStore {
  const void *data;  // handed back to create (the helper's home folder, say)
  // Makes a new, empty file, open for reading and writing, for the document of a
  // `command` job named fname2. Writes its path to path (the empty text for a
  // memory file) and returns a descriptor the caller owns, or -1 with errno set.
  int (*create)(const void *data, Command command, const char *fname2, char path[kTextSize]);
  // Gives up a file create made: closes fd and removes the file at path, if any.
  void (*discard)(const char *path, int fd);
  // May be null. Called when the file fd (at path) could not take more of the
  // document (a full disk, say) after written bytes: moves them to a new file in
  // another place, gives up the old one, writes the new path to path and returns the
  // new descriptor, or -1 with errno set (the old file is then still the caller's).
  int (*relocate)(const void *data, Command command, int fd, size_t written, char path[kTextSize]);
};

// What the reader needs besides the descriptor.
struct ReaderContext {
  const DocumentStore *store;
  const StopWatch *stop;  // may be null: then nothing stops a waiting read
  FILE *diag;             // trace lines and one-line diagnostics
};

// A decoded job. The reader owns it, and the document file in it, for the job's handling.
struct Conversation {
  Command command = Command::Other;
  char command2[kTextSize] = "";
  char fname2[kTextSize] = "";
  // The document: the store's file at fullname (empty for a memory file), open as
  // document_fd, document_length bytes. Set only for a job that is to be handled.
  char fullname[kTextSize] = "";
  int document_fd = -1;
  size_t document_length = 0;
  int command_status = 0;  // what inf said of the command frame
  int file_status = 0;     // ... and of the file frame
  bool skip = false;       // the job cannot be done; its diagnostic has been written
  bool cut = false;        // ... because its document did not arrive whole
  int hold_errno = 0;      // ... because its document could not be held (errno why)
  // The command frame's leading bytes, as much of them as its payload had: the host's
  // own, echoed in the job's report. lead_read once the command frame has been read.
  unsigned char lead[kCommandOffset] = {};
  size_t lead_len = 0;
  bool lead_read = false;
  const char *reason = nullptr;  // why the job is skipped: a report's reason word
  // Set by the caller: the conversation before had no command word, so which frames
  // belonged to it is not known (see read_conversation).
  bool out_of_step = false;
  // The frame read was taken for a frame of that conversation and dropped: no
  // conversation was read, and none is to be reported.
  bool dropped = false;
  // The command frame's length has been read: the conversation has begun, so a stream
  // that ends or stops now leaves it unfinished.
  bool started = false;
};

// Reads one conversation from fd: the command frame, then exactly the frames its
// command takes, writing the trace lines and any diagnostic to ctx.diag. The
// document goes into a file from ctx.store (conv->document_fd, conv->fullname).
// Returns Ok with a job to handle (or conv->skip set, with no document file left),
// Stopped on a stop, or Failed when the stream ended (errno 0) or failed (errno the
// read's error) where more was due; no document file is left behind then either.
// Memory use does not grow with the frames' sizes. Called on the reader thread; it
// touches no toolkit.
// A command frame that gives no command word cannot tell how many frames follow it
// (conv->reason is then reason::kUnreadableFrame). The caller then sets out_of_step for
// the next call: a frame that gives no command word either, or that looks like a file
// frame (a payload of at least 1024 bytes whose text holds the separator), is then
// taken for one of that conversation's frames and dropped with one line (dropped set,
// nothing else read); the first other frame is a command frame again.
ReadStatus read_conversation(int fd, const ReaderContext &ctx, Conversation *conv);

// Gives up the conversation's document file, if it still has one.
void discard_document(const ReaderContext &ctx, Conversation *conv);
