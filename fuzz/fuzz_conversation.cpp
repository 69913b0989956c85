// Fuzzes the reader: the input is everything a host could write on the helper's
// standard input, read as one conversation after another until the stream ends.
// Each input is read twice: with documents kept in memory files, and spooled as the
// helper spools them; both readings must decode the same conversations, and a spool
// or temporary file must hold the document, directly inside the spool folder.
//
// The mutator also works inside the frames: half of the time it takes one frame
// whose body inflates, mutates the plain payload and compresses it again, so the
// command words, headers and separators behind the gzip layer get mutated too.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "channel/conversation.h"
#include "files/spool.h"
#include "fuzz_check.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size);

using Bytes = std::vector<unsigned char>;

namespace {
// Made once per process: a home folder for each reading (on a memory file system
// when there is one) and a sink for the trace and diagnostic lines.
struct Fixture {
  std::string spool_home;
  std::string spool_folder;
  FILE *diag = nullptr;
};
}  // namespace

static std::string make_temp_dir(const char *base) {
  std::string templ = std::string(base) + "/vandrel-fuzz-XXXXXX";
  return mkdtemp(&templ[0]) ? templ : std::string();
}

static Fixture *fixture() {
  static Fixture *f = [] {
    Fixture *made = new Fixture;
    made->spool_home = make_temp_dir("/dev/shm");
    if (made->spool_home.empty()) made->spool_home = make_temp_dir("/tmp");
    if (made->spool_home.empty()) abort();
    made->spool_folder = made->spool_home + "/" + kSpoolFolder;
    made->diag = fopen("/dev/null", "w");
    if (!made->diag) abort();
    atexit([] {
      rmdir(fixture()->spool_folder.c_str());
      rmdir(fixture()->spool_home.c_str());
    });
    return made;
  }();
  return f;
}

// True when text holds a NUL within its kTextSize bytes.
static bool terminated(const char *text) { return memchr(text, 0, kTextSize) != nullptr; }

// Documents in memory files: the first reading's store.
static int memory_create(const void *, Command, const char *, char path[kTextSize]) {
  path[0] = '\0';
  return memfd_create("vandrel-fuzz-document", MFD_CLOEXEC);
}
static void memory_discard(const char *, int fd) {
  if (fd >= 0) close(fd);
}

// The rules every conversation read with Ok must keep.
static void check_conversation(const Conversation &c, bool spool) {
  FUZZ_CHECK(terminated(c.command2));
  FUZZ_CHECK(terminated(c.fname2));
  FUZZ_CHECK(terminated(c.fullname));
  if (!spool) FUZZ_CHECK(c.fullname[0] == '\0');
  // The word ends before any of the separator's characters.
  FUZZ_CHECK(strcspn(c.command2, kSeparator) == strlen(c.command2));
  FUZZ_CHECK(classify_command(c.command2) == c.command);
  // The name is what came before the first whole separator.
  FUZZ_CHECK(strstr(c.fname2, kSeparator) == nullptr);
  if (c.command == Command::Other) {
    FUZZ_CHECK(c.fname2[0] == '\0');
    FUZZ_CHECK(c.document_length == 0);
    FUZZ_CHECK(c.file_status == 0);
  }
  if (c.cut) FUZZ_CHECK(c.skip && c.file_status != Z_OK);
  if (c.skip || c.command == Command::Other) {
    FUZZ_CHECK(c.document_fd == -1);
    FUZZ_CHECK(c.fullname[0] == '\0');
  } else {
    // A job to handle has its whole document in its file.
    FUZZ_CHECK(c.file_status == Z_OK);
    struct stat st;
    FUZZ_CHECK(c.document_fd >= 0 && fstat(c.document_fd, &st) == 0);
    FUZZ_CHECK(static_cast<size_t>(st.st_size) == c.document_length);
  }
}

// The rules for a document that went to a spool or temporary file.
static void check_spooled(const Fixture &fx, const Conversation &c) {
  if (c.document_fd < 0) return;
  FUZZ_CHECK(c.fullname[0] != '\0');
  // One plain component directly inside the spool folder, whatever the name was (a
  // document to save: only in its marks folder), and marked.
  std::string path = c.fullname;
  std::string folder = fx.spool_folder + "/";
  std::string marks = std::string(kMarksFolder) + "/";
  FUZZ_CHECK(path.compare(0, folder.size(), folder) == 0);
  std::string component = path.substr(folder.size());
  if (c.command == Command::SendFile) {
    FUZZ_CHECK(component.compare(0, marks.size() + 5, marks + "held-") == 0);
    component.erase(0, marks.size());
  }
  FUZZ_CHECK(!component.empty() && component != "." && component != "..");
  FUZZ_CHECK(component.find('/') == std::string::npos);
  struct stat mark, held;
  FUZZ_CHECK(lstat((folder + marks + component).c_str(), &mark) == 0 &&
             fstat(c.document_fd, &held) == 0 && mark.st_ino == held.st_ino);
  struct stat st;
  FUZZ_CHECK(lstat(c.fullname, &st) == 0 && S_ISREG(st.st_mode));
  FUZZ_CHECK((st.st_mode & 07777) == 0600);
  FUZZ_CHECK(static_cast<size_t>(st.st_size) == c.document_length);
}

// True when the folder holds nothing but, in the spool folder, an empty marks folder
// (or does not exist).
static bool folder_empty(const std::string &path, bool marks_allowed) {
  DIR *d = opendir(path.c_str());
  if (!d) return true;
  bool empty = true;
  while (struct dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    if (marks_allowed && !strcmp(e->d_name, kMarksFolder))
      empty = empty && folder_empty(path + "/" + kMarksFolder, false);
    else
      empty = false;
  }
  closedir(d);
  return empty;
}

static bool spool_folder_empty(const Fixture &fx) { return folder_empty(fx.spool_folder, true); }

// What both readings of a conversation must agree on. Spooling may fail where
// memory does not (a path too long for the spool folder), so a job kept in memory
// may be skipped when spooled, never the other way round.
struct Decoded {
  ReadStatus status;
  Command command;
  std::string command2, fname2;
  size_t document_length;
  int command_status, file_status;
  bool skip;
};

static bool agree(const Decoded &memory, const Decoded &spooled) {
  return memory.status == spooled.status && memory.command == spooled.command &&
         memory.command2 == spooled.command2 && memory.fname2 == spooled.fname2 &&
         memory.document_length == spooled.document_length &&
         memory.command_status == spooled.command_status &&
         memory.file_status == spooled.file_status && (!memory.skip || spooled.skip);
}

// Reads every conversation in data from a memory file, checking each one.
static std::vector<Decoded> read_all(const Fixture &fx, const uint8_t *data, size_t size,
                                     bool spool) {
  int fd = memfd_create("vandrel-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  for (size_t at = 0; at < size;) {
    ssize_t w = write(fd, data + at, size - at);
    FUZZ_CHECK(w > 0);
    at += static_cast<size_t>(w);
  }
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);

  DocumentStore memory = {nullptr, memory_create, memory_discard, nullptr};
  DocumentStore helper = {fx.spool_home.c_str(), store_create, store_discard, store_relocate};
  ReaderContext ctx = {spool ? &helper : &memory, nullptr, fx.diag};
  std::vector<Decoded> got;
  off_t before = 0;
  for (;;) {
    Conversation conv;
    ReadStatus st = read_conversation(fd, ctx, &conv);
    got.push_back({st, conv.command, conv.command2, conv.fname2, conv.document_length,
                   conv.command_status, conv.file_status, conv.skip});
    FUZZ_CHECK(st != ReadStatus::Stopped);  // there is no stop flag to see
    off_t after = lseek(fd, 0, SEEK_CUR);
    FUZZ_CHECK(after >= before && after <= static_cast<off_t>(size));
    if (st != ReadStatus::Ok) {
      FUZZ_CHECK(conv.fullname[0] == '\0' && conv.document_fd == -1);  // nothing is left behind
      break;
    }
    // A conversation takes at least its command frame's length.
    FUZZ_CHECK(after >= before + 4);
    check_conversation(conv, spool);
    if (spool) check_spooled(fx, conv);
    discard_document(ctx, &conv);
    before = after;
  }
  close(fd);
  FUZZ_CHECK(spool_folder_empty(fx));
  return got;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Fixture *fx = fixture();
  std::vector<Decoded> in_memory = read_all(*fx, data, size, false);
  std::vector<Decoded> spooled = read_all(*fx, data, size, true);
  FUZZ_CHECK(in_memory.size() == spooled.size());
  for (size_t i = 0; i < in_memory.size(); ++i) FUZZ_CHECK(agree(in_memory[i], spooled[i]));
  return 0;
}

// ---- the mutator ------------------------------------------------------------------

// The whole gzip member in body inflated into out, when it is one (at most limit bytes).
static bool gunzip(const unsigned char *body, size_t n, size_t limit, Bytes *out) {
  z_stream s;
  memset(&s, 0, sizeof s);
  if (inflateInit2(&s, 31) != Z_OK) return false;
  s.next_in = const_cast<unsigned char *>(body);
  s.avail_in = static_cast<uInt>(n);
  unsigned char chunk[16384];
  int ret;
  do {
    s.next_out = chunk;
    s.avail_out = sizeof chunk;
    ret = inflate(&s, Z_NO_FLUSH);
    out->insert(out->end(), chunk, chunk + (sizeof chunk - s.avail_out));
  } while (ret == Z_OK && out->size() <= limit);
  inflateEnd(&s);
  return ret == Z_STREAM_END;
}

static Bytes gzip(const Bytes &plain, int level) {
  z_stream s;
  memset(&s, 0, sizeof s);
  if (deflateInit2(&s, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return Bytes();
  Bytes out(deflateBound(&s, plain.size()) + 64);
  s.next_in = const_cast<unsigned char *>(plain.data());
  s.avail_in = static_cast<uInt>(plain.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int ret = deflate(&s, Z_FINISH);
  out.resize(ret == Z_STREAM_END ? s.total_out : 0);
  deflateEnd(&s);
  return out;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size,
                                          unsigned int seed) {
  std::minstd_rand rng(seed);
  if (rng() % 2 == 0) return LLVMFuzzerMutate(data, size, max_size);

  // The whole frames, as (body offset, body length).
  std::vector<std::pair<size_t, size_t>> frames;
  for (size_t at = 0; at + 4 <= size;) {
    size_t len = static_cast<size_t>(data[at]) | static_cast<size_t>(data[at + 1]) << 8 |
                 static_cast<size_t>(data[at + 2]) << 16 | static_cast<size_t>(data[at + 3]) << 24;
    if (len > size - at - 4) break;
    frames.emplace_back(at + 4, len);
    at += 4 + len;
  }
  if (frames.empty()) return LLVMFuzzerMutate(data, size, max_size);
  std::pair<size_t, size_t> f = frames[rng() % frames.size()];

  Bytes plain;
  if (!gunzip(data + f.first, f.second, max_size * 4, &plain))
    return LLVMFuzzerMutate(data, size, max_size);
  size_t plain_len = plain.size();
  size_t room = plain_len + 64 + rng() % 2048;
  plain.resize(room);
  plain.resize(LLVMFuzzerMutate(plain.data(), plain_len, room));
  Bytes body = gzip(plain, static_cast<int>(rng() % 10));
  if (body.empty()) return LLVMFuzzerMutate(data, size, max_size);

  size_t head = f.first - 4, tail = f.first + f.second;
  size_t new_size = head + 4 + body.size() + (size - tail);
  if (new_size > max_size) return LLVMFuzzerMutate(data, size, max_size);
  Bytes out(data, data + head);
  uint32_t len = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(len >> (8 * i)));
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), data + tail, data + size);
  memcpy(data, out.data(), out.size());
  return out.size();
}
