#include "channel/conversation.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jobs/spool.h"

// Writes "buf=<text>, len=<n>" as one write, so a completion line from the UI
// thread never lands inside it. text may hold any bytes but NUL.
static void write_trace(FILE *diag, const char *text, size_t text_len, size_t unlen) {
  std::string line = "buf=";
  line.append(text, text_len);
  line += ", len=" + std::to_string(unlen) + "\n";
  fwrite(line.data(), 1, line.size(), diag);
  fflush(diag);
}

// Document bytes reach the spool file in blocks this large: a few large writes cost
// the file system far less than inf's 16384-byte pieces.
constexpr size_t kSpoolBlock = size_t{1} << 20;

namespace {
// Receives a file frame's payload as inf produces it: keeps the header area, names
// the document once the header is whole, and passes the document bytes on to a spool
// file or to memory, so a large document is never held twice.
struct FileSink {
  const ReaderContext *ctx;
  Conversation *conv;
  bool to_spool;
  bool keep;  // false: the job is already skipped; the document is only counted
  bool want_trace;
  unsigned char header[kHeaderSize];
  size_t header_len = 0;
  size_t unlen = 0;
  bool text_open = true;  // no NUL seen yet: the payload text goes on
  std::string text;
  DecodeStatus name_status = DecodeTooShort;
  int spool_fd = -1;
  int spool_errno = 0;  // the first failure to store the document
  std::vector<unsigned char> block;  // document bytes not yet written to spool_fd
};
}  // namespace

static void sink_header_complete(FileSink *s) {
  s->name_status = decode_document_name(s->header, kHeaderSize, s->conv->fname2);
  if (s->name_status != DecodeOk || !s->to_spool || !s->keep) return;
  s->spool_fd = spool_create(s->ctx->homedir, s->conv->fname2, s->conv->fullname);
  if (s->spool_fd < 0) s->spool_errno = errno;
}

// Writes n bytes to the spool file. A failure closes it and is kept; the rest of the
// document is then dropped while the payload is still taken whole, so the frame is
// read to its end and the job dropped afterwards.
static void spool_write(FileSink *s, const unsigned char *p, size_t n) {
  while (n > 0 && s->spool_fd >= 0) {
    ssize_t w = write(s->spool_fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      s->spool_errno = w < 0 ? errno : ENOSPC;
      close(s->spool_fd);
      s->spool_fd = -1;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Writes out what the block holds.
static void spool_flush(FileSink *s) {
  spool_write(s, s->block.data(), s->block.size());
  s->block.clear();
}

static void sink_document(FileSink *s, const unsigned char *p, size_t n) {
  s->conv->document_length += n;
  if (s->name_status != DecodeOk || !s->keep) return;
  if (!s->to_spool) {
    s->conv->cleandata.insert(s->conv->cleandata.end(), p, p + n);
    return;
  }
  if (s->spool_fd < 0) return;
  if (s->block.capacity() < kSpoolBlock) s->block.reserve(kSpoolBlock);
  while (n > 0) {
    size_t take = kSpoolBlock - s->block.size() < n ? kSpoolBlock - s->block.size() : n;
    s->block.insert(s->block.end(), p, p + take);
    p += take;
    n -= take;
    if (s->block.size() == kSpoolBlock) spool_flush(s);
  }
}

// The stream's write function: never fails, so inf reads the whole gzip member and
// the payload length in the trace line is the true one.
static ssize_t sink_write(void *cookie, const char *buf, size_t size) {
  FileSink *s = static_cast<FileSink *>(cookie);
  const unsigned char *p = reinterpret_cast<const unsigned char *>(buf);
  size_t n = size;
  s->unlen += size;
  if (s->want_trace && s->text_open) {
    const void *nul = memchr(p, 0, n);
    size_t text_n = nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - p) : n;
    s->text.append(buf, text_n);
    if (nul) s->text_open = false;
  }
  if (s->header_len < kHeaderSize) {
    size_t take = kHeaderSize - s->header_len < n ? kHeaderSize - s->header_len : n;
    memcpy(s->header + s->header_len, p, take);
    s->header_len += take;
    p += take;
    n -= take;
    if (s->header_len == kHeaderSize) sink_header_complete(s);
  }
  if (n > 0) sink_document(s, p, n);
  return static_cast<ssize_t>(size);
}

static void diagnose(const ReaderContext &ctx, const char *what, const char *why) {
  fprintf(ctx.diag, "vandrel: %s: %s\n", what, why);
  fflush(ctx.diag);
}

// Drops the spool file a conversation made, if any.
static void discard_spool(Conversation *conv) {
  if (conv->fullname[0]) {
    int saved = errno;
    spool_remove(conv->fullname);
    errno = saved;
    conv->fullname[0] = '\0';
  }
}

// Reads the file frame (length and body) into conv through a FileSink.
static ReadStatus read_file_frame(int fd, const ReaderContext &ctx, Conversation *conv) {
  uint32_t datalen = 0;
  ReadStatus st = read_length(fd, &datalen, ctx.stop);
  if (st != ReadStatus::Ok) return st;

  FileSink sink;
  sink.ctx = &ctx;
  sink.conv = conv;
  sink.to_spool = ctx.spool_printing && conv->command != Command::SendFile;
  sink.keep = !conv->skip;
  sink.want_trace = conv->command != Command::Default;
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.write = sink_write;
  FILE *dest = fopencookie(&sink, "w", io);
  if (!dest) {
    // Without a stream the body can only be dropped; the framing stays intact.
    st = skip_body(fd, datalen);
    if (st != ReadStatus::Ok) return st;
    diagnose(ctx, "file frame dropped", strerror(errno));
    conv->skip = true;
    return ReadStatus::Ok;
  }
  setvbuf(dest, nullptr, _IONBF, 0);
  st = read_compressed_body(fd, datalen, dest, &conv->file_status);
  int saved = errno;
  fclose(dest);
  spool_flush(&sink);
  if (sink.spool_fd >= 0 && close(sink.spool_fd) != 0 && !sink.spool_errno)
    sink.spool_errno = errno;
  errno = saved;
  if (st != ReadStatus::Ok) {
    discard_spool(conv);
    return st;
  }

  if (sink.want_trace) write_trace(ctx.diag, sink.text.data(), sink.text.size(), sink.unlen);
  if (conv->skip) return ReadStatus::Ok;
  if (sink.name_status != DecodeOk) {
    diagnose(ctx, "file frame skipped", decode_status_text(sink.name_status));
    conv->skip = true;
  } else if (sink.spool_errno) {
    std::string what = "cannot write spool file ";
    what += conv->fullname[0] ? conv->fullname : conv->fname2;
    diagnose(ctx, what.c_str(), strerror(sink.spool_errno));
    discard_spool(conv);
    conv->skip = true;
  }
  return ReadStatus::Ok;
}

ReadStatus read_conversation(int fd, const ReaderContext &ctx, Conversation *conv) {
  uint32_t datalen = 0;
  ReadStatus st = read_length(fd, &datalen, ctx.stop);
  if (st != ReadStatus::Ok) return st;

  char *unco = nullptr;
  size_t unlen = 0;
  FILE *dest = open_memstream(&unco, &unlen);
  if (!dest) {
    st = skip_body(fd, datalen);
    if (st != ReadStatus::Ok) return st;
    diagnose(ctx, "command frame dropped", strerror(errno));
    conv->skip = true;
    return ReadStatus::Ok;
  }
  st = read_compressed_body(fd, datalen, dest, &conv->command_status);
  int saved = errno;
  fclose(dest);
  errno = saved;
  if (st != ReadStatus::Ok) {
    free(unco);
    return st;
  }
  const unsigned char *payload = reinterpret_cast<const unsigned char *>(unco);
  write_trace(ctx.diag, unco, payload_text_length(payload, unlen), unlen);
  DecodeStatus word_status = decode_command_word(payload, unlen, conv->command2);
  free(unco);

  if (word_status == DecodeTooShort || word_status == DecodeNulInPrefix) {
    // No word can be read, so no further frame is known to belong to it.
    diagnose(ctx, "command frame skipped", decode_status_text(word_status));
    conv->skip = true;
    return ReadStatus::Ok;
  }
  conv->command = classify_command(conv->command2);
  if (word_status == DecodeTooLong) {
    // The word read from the cut text still tells which frames follow.
    diagnose(ctx, "command skipped", decode_status_text(word_status));
    conv->skip = true;
  }

  if (conv->command == Command::Default || conv->command == Command::PrintDialog) {
    // The skipped frame: its reads are not checked; a missing one shows at the
    // file frame's length read.
    if (read_length(fd, &datalen, nullptr) == ReadStatus::Ok) (void)skip_body(fd, datalen);
  }
  if (conv->command != Command::Other) {
    st = read_file_frame(fd, ctx, conv);
    if (st != ReadStatus::Ok) return st;
  }
  return ReadStatus::Ok;
}
