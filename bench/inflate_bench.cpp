// bench_inflate: inf (stream to stream, as the reader uses it) against a plain zlib
// inflate loop over a memory buffer, on the same gzip data, and the reader's whole
// path for a "default" job short of the print command. Bytes/s count the
// decompressed bytes (the document's).
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "channel/conversation.h"
#include "channel/inflate.h"
#include "document.h"
#include "files/spool.h"

namespace {

constexpr size_t kDocumentSize = 16u << 20;

struct Data {
  Bytes gz;
  size_t plain_size;
  Bytes conversation;  // the same document as a whole "default" conversation
};

// The compressed 16 MiB document, made once.
const Data &data() {
  static const Data d = [] {
    Bytes doc = pdf_like_document(kDocumentSize, 16);
    Bytes conv = conversation("default", "bench.pdf", doc);
    return Data{gzip_bytes(doc), doc.size(), conv};
  }();
  return d;
}

// A sink that only counts what it is given, like the reader's file sink without
// the spool file.
ssize_t count_write(void *cookie, const char *, size_t size) {
  *static_cast<size_t *>(cookie) += size;
  return static_cast<ssize_t>(size);
}

void set_counters(benchmark::State &state, const Data &d) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(d.plain_size));
  state.counters["compressed_MiB"] = static_cast<double>(d.gz.size()) / (1 << 20);
  state.counters["ratio"] = static_cast<double>(d.plain_size) / static_cast<double>(d.gz.size());
}

// inf from a memory stream into an unbuffered counting stream, as the reader sets
// up its file sink.
void BM_inf(benchmark::State &state) {
  const Data &d = data();
  cookie_io_functions_t io;
  memset(&io, 0, sizeof io);
  io.write = count_write;
  for (auto _ : state) {
    FILE *source = fmemopen(const_cast<unsigned char *>(d.gz.data()), d.gz.size(), "r");
    size_t written = 0;
    FILE *dest = fopencookie(&written, "w", io);
    if (!source || !dest) {
      state.SkipWithError("cannot open the streams");
      break;
    }
    setvbuf(dest, nullptr, _IONBF, 0);
    int status = inf(source, dest);
    fclose(source);
    fclose(dest);
    if (status != Z_OK || written != d.plain_size) {
      state.SkipWithError("inf did not decode the whole document");
      break;
    }
  }
  set_counters(state, d);
}
BENCHMARK(BM_inf)->Unit(benchmark::kMillisecond);

// zlib alone: all the input at once, the output drained through a buffer of
// state.range(0) bytes that is then dropped.
void BM_zlib_loop(benchmark::State &state) {
  const Data &d = data();
  Bytes out(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    z_stream s;
    memset(&s, 0, sizeof s);
    if (inflateInit2(&s, 31) != Z_OK) {
      state.SkipWithError("inflateInit2 failed");
      break;
    }
    s.next_in = const_cast<unsigned char *>(d.gz.data());
    s.avail_in = static_cast<uInt>(d.gz.size());
    int ret;
    size_t total = 0;
    do {
      s.next_out = out.data();
      s.avail_out = static_cast<uInt>(out.size());
      ret = inflate(&s, Z_NO_FLUSH);
      total += out.size() - s.avail_out;
      benchmark::DoNotOptimize(out.data());
    } while (ret == Z_OK);
    inflateEnd(&s);
    if (ret != Z_STREAM_END || total != d.plain_size) {
      state.SkipWithError("zlib did not decode the whole document");
      break;
    }
  }
  set_counters(state, d);
}
BENCHMARK(BM_zlib_loop)->Arg(16384)->Arg(262144)->Unit(benchmark::kMillisecond);

// The reader's whole path for a "default" job but the print command: the
// conversation written into a pipe by a host thread, read, decompressed into a
// spool file under a scratch home folder, and the spool file removed again.
void BM_read_conversation(benchmark::State &state) {
  const Data &d = data();
  char home[] = "/tmp/vandrel-bench-home-XXXXXX";
  FILE *diag = fopen("/dev/null", "w");
  if (!mkdtemp(home) || !diag) {
    state.SkipWithError("cannot set up the scratch home");
    return;
  }
  DocumentStore store = {home, store_create, store_discard, store_relocate};
  ReaderContext ctx = {&store, nullptr, diag};
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    std::thread host([&] {
      write_all(fds[1], d.conversation.data(), d.conversation.size());
      close(fds[1]);
    });
    Conversation conv;
    ReadStatus st = read_conversation(fds[0], ctx, &conv);
    host.join();
    close(fds[0]);
    bool ok = st == ReadStatus::Ok && !conv.skip && conv.document_length == d.plain_size;
    discard_document(ctx, &conv);
    if (!ok) {
      state.SkipWithError("the conversation was not read whole");
      break;
    }
  }
  fclose(diag);
  std::string folder = std::string(home) + "/" + kSpoolFolder;
  rmdir(folder.c_str());
  rmdir(home);
  set_counters(state, d);
}
BENCHMARK(BM_read_conversation)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
