#include "channel/conversation.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/i18n.h"
#include "common/io.h"
#include "common/log_text.h"

// Trace lines show at most this much of a frame's text; a longer text is a broken
// frame already, and one line must never carry megabytes.
constexpr size_t kCommandTraceLimit = kCommandOffset + kTextSize - 1;
constexpr size_t kFileTraceLimit = kTextSize - 1;
constexpr char kCutMark[] = "[cut]";

// Document bytes reach their file in blocks this large: a few large writes cost the
// file system far less than inf's 16384-byte pieces.
constexpr size_t kDocumentBlock = size_t{1} << 20;

namespace {
// Receives a frame's payload as inf produces it. Keeps only its head (what is ever
// decoded from it) and counts the rest; for a file frame it names the document once
// the header is whole and passes the document bytes on to the store's file.
struct PayloadSink {
  const ReaderContext *ctx = nullptr;
  Conversation *conv = nullptr;
  bool is_file = false;
  bool keep_document = false;  // false: the job is already skipped; bytes are only counted
  unsigned char head[kHeaderSize];
  size_t head_size = 0;  // how much of the payload head keeps (at most kHeaderSize)
  size_t head_len = 0;
  size_t unlen = 0;
  DecodeStatus name_status = DecodeTooShort;
  int store_errno = 0;               // the first failure to store the document
  size_t written = 0;                // document bytes in the store's file so far
  std::vector<unsigned char> block;  // document bytes not yet written
};
}  // namespace

static void write_trace(FILE *diag, const PayloadSink &s, size_t limit) {
  size_t seen = s.head_len < limit + 1 ? s.head_len : limit + 1;
  size_t text_len = payload_text_length(s.head, seen);
  bool cut = text_len > limit;
  std::string line = "buf=";
  line += log_text(std::string(reinterpret_cast<const char *>(s.head), cut ? limit : text_len));
  if (cut) line += kCutMark;
  line += ", len=" + std::to_string(s.unlen) + "\n";
  // One write, so a completion line from the UI thread never lands inside it.
  fwrite(line.data(), 1, line.size(), diag);
  fflush(diag);
}

static void diagnose(const ReaderContext &ctx, const std::string &what, const char *why) {
  fprintf(ctx.diag, "vandrel: %s: %s\n", log_text(what).c_str(), why);
  fflush(ctx.diag);
}

void discard_document(const ReaderContext &ctx, Conversation *conv) {
  if (conv->document_fd < 0) return;
  int saved = errno;
  ctx.store->discard(conv->fullname, conv->document_fd);
  errno = saved;
  conv->document_fd = -1;
  conv->fullname[0] = '\0';
}

static void header_complete(PayloadSink *s) {
  s->name_status = decode_document_name(s->head, kHeaderSize, s->conv->fname2);
  if (s->name_status != DecodeOk || !s->keep_document) return;
  s->conv->document_fd = s->ctx->store->create(s->ctx->store->data, s->conv->command,
                                               s->conv->fname2, s->conv->fullname);
  if (s->conv->document_fd < 0) s->store_errno = errno ? errno : EIO;
}

// Writes out what the block holds. A failure is kept; the rest of the document is
// then dropped while the payload is still taken whole, so the frame is read to its
// end and the job dropped afterwards.
// A store that can move the document elsewhere gets the chance first.
static void flush_block(PayloadSink *s) {
  const unsigned char *p = s->block.data();
  size_t n = s->block.size();
  while (n > 0 && !s->store_errno && s->conv->document_fd >= 0) {
    size_t done = 0;
    bool ok = write_all(s->conv->document_fd, p, n, &done);
    p += done;
    n -= done;
    s->written += done;
    if (ok) break;
    int err = errno;
    const DocumentStore *store = s->ctx->store;
    int moved = store->relocate
                    ? store->relocate(store->data, s->conv->command, s->conv->document_fd,
                                      s->written, s->conv->fullname)
                    : -1;
    if (moved >= 0)
      s->conv->document_fd = moved;
    else
      s->store_errno = err;
  }
  s->block.clear();
}

static void take_document(PayloadSink *s, const unsigned char *p, size_t n) {
  s->conv->document_length += n;
  if (s->conv->document_fd < 0 || s->store_errno) return;
  if (s->block.capacity() < kDocumentBlock) s->block.reserve(kDocumentBlock);
  while (n > 0) {
    size_t take = kDocumentBlock - s->block.size() < n ? kDocumentBlock - s->block.size() : n;
    s->block.insert(s->block.end(), p, p + take);
    p += take;
    n -= take;
    if (s->block.size() == kDocumentBlock) flush_block(s);
  }
}

// The stream's write function: never fails, so inf reads the whole gzip member and
// the payload length in the trace line is the true one.
static ssize_t sink_write(void *cookie, const char *buf, size_t size) {
  PayloadSink *s = static_cast<PayloadSink *>(cookie);
  const unsigned char *p = reinterpret_cast<const unsigned char *>(buf);
  size_t n = size;
  s->unlen += size;
  if (s->head_len < s->head_size) {
    size_t take = s->head_size - s->head_len < n ? s->head_size - s->head_len : n;
    memcpy(s->head + s->head_len, p, take);
    s->head_len += take;
    p += take;
    n -= take;
    if (s->is_file && s->head_len == kHeaderSize) header_complete(s);
  }
  if (s->is_file && n > 0) take_document(s, p, n);
  return static_cast<ssize_t>(size);
}

// Decompresses one frame's body from fd through sink.
static ReadStatus read_payload(int fd, uint32_t datalen, const ReaderContext &ctx,
                               PayloadSink *sink, BodyResult *result) {
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.write = sink_write;
  FILE *dest = fopencookie(sink, "w", io);
  if (!dest) {
    // Without a stream the body can only be dropped; the framing stays intact.
    result->inf_status = Z_MEM_ERROR;
    return skip_body(fd, datalen, ctx.stop);
  }
  setvbuf(dest, nullptr, _IONBF, 0);
  ReadStatus st = read_compressed_body(fd, datalen, dest, ctx.stop, result);
  int saved = errno;
  fclose(dest);
  errno = saved;
  return st;
}

// Whether a payload, of which sink kept the head, looks like a file frame's: at least
// a header's length, with the separator in its text.
static bool looks_like_file_frame(const PayloadSink &sink) {
  if (sink.unlen < kHeaderSize) return false;
  size_t text_len = payload_text_length(sink.head, sink.head_len);
  size_t sep_len = sizeof kSeparator - 1;
  return memmem(sink.head, text_len, kSeparator, sep_len) != nullptr;
}

// The verb of a job's diagnostics.
static const char *job_verb(Command command) {
  return command == Command::SendFile ? "save" : "print";
}

// Reads the file frame (length and body) into conv.
static ReadStatus read_file_frame(int fd, const ReaderContext &ctx, Conversation *conv) {
  uint32_t datalen = 0;
  ReadStatus st = read_length(fd, &datalen, ctx.stop);
  if (st != ReadStatus::Ok) return st;

  PayloadSink sink;
  sink.ctx = &ctx;
  sink.conv = conv;
  sink.is_file = true;
  sink.keep_document = !conv->skip;
  sink.head_size = kHeaderSize;
  BodyResult body;
  st = read_payload(fd, datalen, ctx, &sink, &body);
  conv->file_status = body.inf_status;
  flush_block(&sink);
  if (st != ReadStatus::Ok) {
    discard_document(ctx, conv);
    return st;
  }

  if (conv->command != Command::Default) write_trace(ctx.diag, sink, kFileTraceLimit);
  if (conv->skip) return ReadStatus::Ok;
  std::string what = std::string("cannot ") + job_verb(conv->command) + " " +
                     (conv->fname2[0] ? conv->fname2 : "the document");
  if (conv->file_status != Z_OK) {
    // A cut or corrupt document is never printed or saved as if it were whole.
    discard_document(ctx, conv);
    diagnose(ctx, what,
             body.gzip_magic ? "the document did not arrive whole"
                             : "the document did not arrive whole (not a gzip stream)");
    conv->skip = conv->cut = true;
    conv->reason = reason::kNotWhole;
  } else if (sink.name_status != DecodeOk) {
    diagnose(ctx, "file frame skipped", decode_status_text(sink.name_status));
    conv->skip = true;
    conv->reason = sink.name_status == DecodeTooLong ? reason::kTooLong : reason::kBadHeader;
  } else if (sink.store_errno) {
    std::string where = conv->command == Command::SendFile ? "cannot keep the document "
                                                           : "cannot write spool file ";
    diagnose(ctx, where + (conv->fullname[0] ? conv->fullname : conv->fname2),
             log_strerror(sink.store_errno));
    discard_document(ctx, conv);
    conv->skip = true;
    conv->hold_errno = sink.store_errno;
    conv->reason = reason::kNotKept;
  }
  return ReadStatus::Ok;
}

ReadStatus read_conversation(int fd, const ReaderContext &ctx, Conversation *conv) {
  uint32_t datalen = 0;
  ReadStatus st = read_length(fd, &datalen, ctx.stop);
  if (st != ReadStatus::Ok) return st;
  conv->started = true;

  PayloadSink sink;
  sink.ctx = &ctx;
  sink.conv = conv;
  sink.head_size = kCommandOffset + kTextSize;
  BodyResult body;
  st = read_payload(fd, datalen, ctx, &sink, &body);
  conv->command_status = body.inf_status;
  if (st != ReadStatus::Ok) return st;
  conv->lead_len = sink.head_len < kCommandOffset ? sink.head_len : kCommandOffset;
  memcpy(conv->lead, sink.head, conv->lead_len);
  conv->lead_read = true;
  write_trace(ctx.diag, sink, kCommandTraceLimit);
  DecodeStatus word_status = decode_command_word(sink.head, sink.head_len, conv->command2);
  if (conv->out_of_step && (word_status == DecodeTooShort || looks_like_file_frame(sink))) {
    diagnose(ctx, "frame dropped",
             "taken for a frame of the conversation before, whose command word was unreadable");
    conv->dropped = true;
    return ReadStatus::Ok;
  }

  if (word_status == DecodeTooShort) {
    // No word can be read, so no further frame is known to belong to it.
    bool not_gzip = sink.unlen == 0 && !body.gzip_magic;
    diagnose(ctx, "command frame skipped",
             decode_status_text(not_gzip ? DecodeNotGzip : word_status));
    conv->skip = true;
    conv->reason = reason::kUnreadableFrame;
    return ReadStatus::Ok;
  }
  conv->command = classify_command(conv->command2);
  if (word_status == DecodeNulInPrefix) {
    // The host's 13 leading bytes are its own affair; the word after them still counts.
    diagnose(ctx, "command frame", decode_status_text(word_status));
  } else if (word_status == DecodeTooLong) {
    // The word read from the cut text still tells which frames follow.
    diagnose(ctx, "command skipped", decode_status_text(word_status));
    conv->skip = true;
    conv->reason = reason::kTooLong;
  }

  int after = frames_after(conv->command);
  if (after == 2) {
    // The skipped frame: a missing one shows at the file frame's length read; only a
    // stop while waiting for it counts here.
    st = read_length(fd, &datalen, ctx.stop);
    if (st == ReadStatus::Ok) st = skip_body(fd, datalen, ctx.stop);
    if (st == ReadStatus::Stopped) return st;
  }
  if (after >= 1) return read_file_frame(fd, ctx, conv);
  return ReadStatus::Ok;
}
