// read_conversation over memory files and pipes, with conversations built the way
// the host builds them.
#include "channel/conversation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "files/spool.h"
#include "test_support.h"
#include "vandrel-host.h"

using unit::concat;
using unit::exists;
using unit::Fd;
using unit::lines_of;
using unit::list_dir;
using unit::memfd_with;
using unit::MemSink;
using unit::noise_bytes;
using unit::TempDir;
using unit::text_bytes;
using unit::tree;

namespace {

const std::string kLead = "vandrel-host:";  // the command frame's 13 leading bytes

// The trace line the reader writes for a payload whose text (up to its first NUL)
// is text and whose whole length is len.
std::string trace_line(const std::string &text, size_t len) {
  int n = snprintf(nullptr, 0, "buf=%s, len=%zu\n", text.c_str(), len);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  snprintf(&s[0], s.size(), "buf=%s, len=%zu\n", text.c_str(), len);
  s.resize(static_cast<size_t>(n));
  return s;
}

// What command_frame(word) carries, as text up to its NUL.
std::string command_text(const std::string &word) { return kLead + word + kSeparator + "1"; }
// What file_frame(name, ...) carries in its header, as text up to the first NUL.
std::string header_text(const std::string &name) { return name + kSeparator + "document"; }

// A command frame from raw payload bytes.
Bytes command_frame_of(const Bytes &payload) { return frame(gzip_bytes(payload)); }

long position(int fd) { return static_cast<long>(lseek(fd, 0, SEEK_CUR)); }

size_t diagnostic_count(const std::string &diag) {
  size_t n = 0;
  for (const std::string &line : lines_of(diag))
    if (line.rfind("vandrel: ", 0) == 0) ++n;
  return n;
}

// Documents in memory files: what the unit tests read conversations with unless
// they look at spool files.
int memory_create(const void *, Command, const char *, char path[kTextSize]) {
  path[0] = '\0';
  return memfd_create("unit-document", MFD_CLOEXEC);
}
void memory_discard(const char *, int fd) {
  if (fd >= 0) close(fd);
}
const DocumentStore kMemoryStore = {nullptr, memory_create, memory_discard, nullptr};

// The document a conversation holds, read back from its file.
Bytes contents(const Conversation &c) {
  Bytes b(c.document_length);
  if (c.document_fd < 0 ||
      pread(c.document_fd, b.data(), b.size(), 0) != static_cast<ssize_t>(b.size()))
    return to_bytes("<unreadable>");
  return b;
}

// Feeds bytes into a pipe from a thread, piece bytes per write, then closes it.
class PipeFeeder {
 public:
  PipeFeeder(Bytes data, size_t piece) : data_(std::move(data)) {
    signal(SIGPIPE, SIG_IGN);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    read_fd_ = p[0];
    int w = p[1];
    thread_ = std::thread([this, w, piece] {
      for (size_t at = 0; at < data_.size(); at += piece) {
        size_t n = std::min(piece, data_.size() - at);
        if (!write_all(w, data_.data() + at, n)) break;
      }
      close(w);
    });
  }
  ~PipeFeeder() {
    if (read_fd_ >= 0) close(read_fd_);  // a writer still blocked gets EPIPE
    if (thread_.joinable()) thread_.join();
  }
  PipeFeeder(const PipeFeeder &) = delete;
  PipeFeeder &operator=(const PipeFeeder &) = delete;
  int fd() const { return read_fd_; }

 private:
  Bytes data_;
  int read_fd_ = -1;
  std::thread thread_;
};

class ConversationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    ASSERT_NE(nullptr, diag_.f);
    use_home(root_.path() + "/home");
  }
  void TearDown() override {
    // Releases every spool path this test's jobs still hold.
    for (const std::string &rel : tree(root_.path()))
      if (rel.find(std::string("/") + kSpoolFolder + "/") != std::string::npos)
        spool_remove((root_.path() + "/" + rel).c_str());
  }

  void use_home(const std::string &home) {
    home_ = home;
    for (size_t at = root_.path().size() + 1; at <= home.size(); ++at)
      if (at == home.size() || home[at] == '/') (void)mkdir(home.substr(0, at).c_str(), 0700);
  }
  // spool: the helper's own store (spool and temporary files under home_), else memory.
  ReaderContext context(bool spool) {
    helper_store_ = {home_.c_str(), store_create, store_discard, store_relocate};
    return ReaderContext{spool ? &helper_store_ : &kMemoryStore, nullptr, diag_.f};
  }
  ReadStatus read(int fd, Conversation *conv, bool spool = false) {
    return read_conversation(fd, context(spool), conv);
  }
  std::string spool_folder() const { return home_ + "/" + kSpoolFolder; }
  std::string diag() { return diag_.text(); }

  TempDir root_;
  std::string home_;
  MemSink diag_;
  DocumentStore helper_store_;
};

}  // namespace

TEST_F(ConversationTest, EachCommandTakesItsFramesAndNoMore) {
  struct Case {
    const char *word;
    Command command;
    int frames;  // including the command frame
  };
  const Case cases[] = {
      {"defaultprinter", Command::Default, 3},
      {"default", Command::Default, 3},
      {"adobeprintdialog", Command::PrintDialog, 3},
      {"sendfile", Command::SendFile, 2},
      {"print", Command::Other, 1},
      {"sendfil2", Command::Other, 1},
  };
  Bytes doc1 = noise_bytes(5000, 1);
  Bytes doc2 = to_bytes("the second conversation's document");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.word);
    Bytes first = command_frame(c.word);
    if (c.frames == 3) append(first, skipped_frame());
    if (c.frames >= 2) append(first, file_frame("first doc.pdf", doc1));
    Bytes second = conversation("sendfile", "second.txt", doc2);
    Fd fd(memfd_with(concat({first, second})));
    ASSERT_GE(fd.get(), 0);

    Conversation a;
    ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &a));
    EXPECT_EQ(c.command, a.command);
    EXPECT_FALSE(a.skip);
    EXPECT_EQ(static_cast<long>(first.size()), position(fd.get()));
    if (c.frames >= 2) {
      EXPECT_STREQ("first doc.pdf", a.fname2);
      EXPECT_TRUE(doc1 == contents(a)) << "documents stay in memory when not spooling";
      EXPECT_EQ(doc1.size(), a.document_length);
    } else {
      EXPECT_STREQ("", a.fname2);
      EXPECT_EQ(-1, a.document_fd);
    }

    Conversation b;
    ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &b));
    EXPECT_EQ(Command::SendFile, b.command);
    EXPECT_FALSE(b.skip);
    EXPECT_STREQ("second.txt", b.fname2);
    EXPECT_TRUE(doc2 == contents(b));

    Conversation end;
    EXPECT_EQ(ReadStatus::Failed, read(fd.get(), &end)) << "EOF between conversations";
  }
  EXPECT_TRUE(list_dir(home_).empty()) << "nothing is spooled when spooling is off";
}

TEST_F(ConversationTest, TraceLines) {
  Bytes doc = noise_bytes(3000, 2);
  const std::string name = "Report 7.pdf";
  const size_t file_len = kHeaderSize + doc.size();
  struct Case {
    const char *word;
    bool file_traced;
  };
  for (const Case &c : {Case{"default", false}, Case{"adobeprintdialog", true},
                        Case{"sendfile", true}, Case{"print", false}}) {
    SCOPED_TRACE(c.word);
    MemSink own_diag;
    Fd fd(memfd_with(conversation(c.word, name, doc)));
    Conversation conv;
    ASSERT_EQ(
        ReadStatus::Ok,
        read_conversation(fd.get(), ReaderContext{&kMemoryStore, nullptr, own_diag.f}, &conv));
    std::string cmd = command_text(c.word);
    std::string expected = trace_line(cmd, cmd.size() + 1);
    if (c.file_traced) expected += trace_line(header_text(name), file_len);
    EXPECT_EQ(expected, own_diag.text());
  }
  // A name can never forge a line of its own: control characters are escaped.
  MemSink own_diag;
  Fd fd(memfd_with(conversation("sendfile", "a\nFinished Printing\x01.pdf", doc)));
  Conversation conv;
  ASSERT_EQ(ReadStatus::Ok,
            read_conversation(fd.get(), ReaderContext{&kMemoryStore, nullptr, own_diag.f}, &conv));
  EXPECT_EQ(2u, lines_of(own_diag.text()).size()) << own_diag.text();
  EXPECT_NE(std::string::npos, own_diag.text().find("buf=a\\nFinished Printing\\x01.pdfx!2#$"))
      << own_diag.text();
}

TEST_F(ConversationTest, NulAmongTheLeadingBytesStillTakesTheWordAndItsFrames) {
  Bytes payload = to_bytes(kLead + "sendfilex!2#$1");
  payload.push_back(0);
  payload[4] = 0;  // a NUL among the leading bytes
  Bytes doc = to_bytes("the document");
  Bytes bytes = concat({command_frame_of(payload), file_frame("own.txt", doc),
                        conversation("sendfile", "a b.txt", {})});
  Fd fd(memfd_with(bytes));
  Conversation conv;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv));
  EXPECT_FALSE(conv.skip);
  EXPECT_EQ(Command::SendFile, conv.command);
  EXPECT_STREQ("own.txt", conv.fname2);
  EXPECT_TRUE(doc == contents(conv));
  std::vector<std::string> lines = lines_of(diag());
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(trace_line(kLead.substr(0, 4), payload.size()), lines[0] + "\n");
  EXPECT_EQ("vandrel: command frame: NUL byte among the first 13 bytes of the command frame",
            lines[1]);
  // The next conversation is read in step.
  Conversation next;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &next));
  EXPECT_EQ(Command::SendFile, next.command);
  EXPECT_STREQ("a b.txt", next.fname2);
  EXPECT_FALSE(next.skip);
}

TEST_F(ConversationTest, TraceTextsAreCutAtTheirLimit) {
  // A file frame whose header and document hold no NUL, and a command text far over
  // its limit: each trace line shows the text up to the limit, marked, and the true length.
  Bytes payload(kHeaderSize, 'h');
  append(payload, Bytes(100000, 't'));
  Bytes long_cmd = to_bytes(kLead + "print" + std::string(300000, 'w'));
  Bytes bytes =
      concat({command_frame("sendfile"), frame(gzip_bytes(payload)), command_frame_of(long_cmd)});
  Fd fd(memfd_with(bytes));
  Conversation conv, cmd;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv));
  EXPECT_TRUE(conv.skip) << "the header text is too long to hold a name";
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &cmd));
  EXPECT_TRUE(cmd.skip);
  std::vector<std::string> lines = lines_of(diag());
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ(
      "buf=" + std::string(kTextSize - 1, 'h') + "[cut], len=" + std::to_string(payload.size()),
      lines[1]);
  EXPECT_EQ(0u, lines[2].rfind("vandrel: ", 0));
  EXPECT_EQ("buf=" + kLead + "print" + std::string(kTextSize - 1 - 5, 'w') +
                "[cut], len=" + std::to_string(long_cmd.size()),
            lines[3]);
}

TEST_F(ConversationTest, SendFileKeepsTheDocumentInAPrivateTemporaryFile) {
  Bytes doc = noise_bytes(700000, 3);
  Fd fd(memfd_with(conversation("sendfile", "My Saved  File.txt", doc)));
  Conversation conv;
  ReaderContext ctx = context(true);
  ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &conv));
  EXPECT_EQ(Command::SendFile, conv.command);
  EXPECT_FALSE(conv.skip);
  EXPECT_STREQ("My Saved  File.txt", conv.fname2);
  EXPECT_EQ(doc.size(), conv.document_length);
  EXPECT_TRUE(doc == contents(conv));
  std::string path = conv.fullname;
  EXPECT_EQ(0u, path.rfind(spool_folder() + "/.vandrel-held/held-", 0)) << path;
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_NE(-1, fcntl(conv.document_fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(Z_OK, conv.command_status);
  EXPECT_EQ(Z_OK, conv.file_status);
  discard_document(ctx, &conv);
  EXPECT_TRUE(list_dir(spool_folder()).empty());

  // Without a writable home the document waits in TMPDIR instead.
  TempDir tmp;
  setenv("TMPDIR", tmp.path().c_str(), 1);
  home_ = "/nonexistent/home";
  Fd again(memfd_with(conversation("sendfile", "x.txt", doc)));
  Conversation elsewhere;
  ctx = context(true);
  ASSERT_EQ(ReadStatus::Ok, read_conversation(again.get(), ctx, &elsewhere));
  unsetenv("TMPDIR");
  std::string own = tmp.path() + "/vandrel-" + std::to_string(geteuid());
  EXPECT_EQ(0u, std::string(elsewhere.fullname).rfind(own + "/.vandrel-held/held-", 0))
      << elsewhere.fullname;
  EXPECT_TRUE(doc == contents(elsewhere));
  discard_document(ctx, &elsewhere);
  EXPECT_TRUE(list_dir(own).empty());
}

TEST_F(ConversationTest, PrintingDocumentsAreSpooledByteForByte) {
  Bytes doc = noise_bytes(300000, 4);
  for (const char *word : {"default", "adobeprintdialog"}) {
    SCOPED_TRACE(word);
    Fd fd(memfd_with(conversation(word, "My Report 7.pdf", doc)));
    Conversation conv;
    ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv, /*spool=*/true));
    EXPECT_FALSE(conv.skip);
    EXPECT_STREQ("My Report 7.pdf", conv.fname2);
    std::string expected = spool_folder() + "/My_Report_7.pdf";
    ASSERT_STREQ(expected.c_str(), conv.fullname);
    Bytes stored;
    ASSERT_TRUE(unit::read_file(expected, &stored));
    EXPECT_EQ(doc.size(), stored.size());
    EXPECT_TRUE(doc == stored);
    EXPECT_EQ(doc.size(), conv.document_length);
    struct stat st;
    ASSERT_EQ(0, stat(expected.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    spool_remove(conv.fullname);
  }
}

TEST_F(ConversationTest, SpoolingUnderAHomeWithASpace) {
  use_home(root_.path() + "/my home");
  Bytes doc = text_bytes(50000);
  Fd fd(memfd_with(conversation("default", "a b", doc)));
  Conversation conv;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv, true));
  EXPECT_FALSE(conv.skip);
  std::string expected = root_.path() + "/my home/" + kSpoolFolder + "/a_b";
  EXPECT_STREQ(expected.c_str(), conv.fullname);
  Bytes stored;
  ASSERT_TRUE(unit::read_file(expected, &stored));
  EXPECT_TRUE(doc == stored);
}

TEST_F(ConversationTest, DocumentNamesCannotLeaveTheSpoolFolder) {
  use_home(root_.path() + "/h1/h2");
  const char *names[] = {"../../x", "a/b", "", ".", "..", "/abs/path", "../..", "./", "x/../../y"};
  for (const char *name : names) {
    SCOPED_TRACE(std::string("name \"") + name + "\"");
    Bytes doc = to_bytes(std::string("document named ") + name);
    Fd fd(memfd_with(conversation("default", name, doc)));
    Conversation conv;
    ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv, true));
    ASSERT_FALSE(conv.skip) << diag();
    EXPECT_STREQ(name, conv.fname2);
    std::string path = conv.fullname;
    std::string prefix = spool_folder() + "/";
    ASSERT_EQ(0u, path.rfind(prefix, 0)) << path;
    std::string base = path.substr(prefix.size());
    EXPECT_EQ(std::string::npos, base.find('/')) << base;
    EXPECT_NE("", base);
    EXPECT_NE(".", base);
    EXPECT_NE("..", base);
    Bytes stored;
    ASSERT_TRUE(unit::read_file(path, &stored));
    EXPECT_TRUE(doc == stored);
  }
  // Nothing but the home folders, the spool folder and one file per job anywhere.
  std::vector<std::string> all = tree(root_.path());
  std::string folder_rel = std::string("h1/h2/") + kSpoolFolder;
  size_t files = 0;
  for (const std::string &rel : all) {
    if (rel == "home" || rel == "h1" || rel == "h1/h2" || rel == folder_rel) continue;
    ASSERT_EQ(0u, rel.rfind(folder_rel + "/", 0)) << "outside the spool folder: " << rel;
    EXPECT_EQ(std::string::npos, rel.find('/', folder_rel.size() + 1)) << rel;
    ++files;
  }
  EXPECT_EQ(sizeof names / sizeof names[0], files);
}

TEST_F(ConversationTest, PayloadOfOnlyTheHeaderIsAnEmptyDocument) {
  Bytes payload = file_payload("empty.pdf", {});
  ASSERT_EQ(kHeaderSize, payload.size());
  Bytes bytes = concat({command_frame("default"), skipped_frame(), frame(gzip_bytes(payload)),
                        command_frame("sendfile"), frame(gzip_bytes(payload))});
  Fd fd(memfd_with(bytes));
  Conversation printed;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &printed, true));
  EXPECT_FALSE(printed.skip);
  EXPECT_EQ(0u, printed.document_length);
  EXPECT_STREQ((spool_folder() + "/empty.pdf").c_str(), printed.fullname);
  struct stat st;
  ASSERT_EQ(0, stat(printed.fullname, &st));
  EXPECT_EQ(0, st.st_size);

  Conversation saved;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &saved, true));
  EXPECT_FALSE(saved.skip);
  EXPECT_STREQ("empty.pdf", saved.fname2);
  EXPECT_EQ(0u, saved.document_length);
  EXPECT_EQ(0u, diagnostic_count(diag()));
}

TEST_F(ConversationTest, PayloadShorterThanTheHeaderSkipsTheJob) {
  Bytes doc2 = to_bytes("after the short one");
  for (size_t len : {size_t{0}, size_t{1}, size_t{1000}, kHeaderSize - 1}) {
    for (const char *word : {"default", "sendfile", "adobeprintdialog"}) {
      SCOPED_TRACE(std::string(word) + " with " + std::to_string(len) + " bytes");
      MemSink own_diag;
      ReaderContext ctx = context(true);
      ctx.diag = own_diag.f;
      Bytes payload = file_payload("short.pdf", {});
      payload.resize(len);
      Bytes first = command_frame(word);
      if (classify_command(word) != Command::SendFile) append(first, skipped_frame());
      append(first, frame(gzip_bytes(payload)));
      Fd fd(memfd_with(concat({first, conversation("default", "next.pdf", doc2)})));

      Conversation conv;
      ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &conv));
      EXPECT_TRUE(conv.skip);
      EXPECT_STREQ("", conv.fullname);
      std::string text = own_diag.text();
      EXPECT_EQ(1u, diagnostic_count(text)) << text;
      EXPECT_EQ('\n', text.back());
      EXPECT_TRUE(list_dir(spool_folder()).empty());

      Conversation next;
      ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &next));
      EXPECT_FALSE(next.skip);
      EXPECT_STREQ("next.pdf", next.fname2);
      Bytes stored;
      ASSERT_TRUE(unit::read_file(next.fullname, &stored));
      EXPECT_TRUE(doc2 == stored);
      spool_remove(next.fullname);
    }
  }
}

TEST_F(ConversationTest, CutDocumentIsDroppedAndKeepsTheFraming) {
  Bytes doc = noise_bytes(200000, 5);
  Bytes gz = gzip_bytes(file_payload("broken.pdf", doc));
  gz.resize(gz.size() * 6 / 10);
  Bytes bad_check = gzip_bytes(file_payload("check.pdf", doc));
  bad_check[bad_check.size() - 6] ^= 0xff;  // the CRC no longer matches
  Bytes doc2 = to_bytes("the next one");
  Bytes bytes =
      concat({command_frame("default"), skipped_frame(), frame(gz), command_frame("sendfile"),
              frame(gz), command_frame("adobeprintdialog"), skipped_frame(), frame(bad_check),
              conversation("sendfile", "next.txt", doc2)});
  Fd fd(memfd_with(bytes));
  ReaderContext ctx = context(true);
  for (const char *name : {"broken.pdf", "broken.pdf", "check.pdf"}) {
    SCOPED_TRACE(name);
    Conversation conv;
    ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &conv));
    EXPECT_EQ(Z_OK, conv.command_status);
    EXPECT_EQ(Z_DATA_ERROR, conv.file_status);
    EXPECT_STREQ(name, conv.fname2);
    EXPECT_TRUE(conv.skip);
    EXPECT_TRUE(conv.cut);
    EXPECT_EQ(-1, conv.document_fd);
    EXPECT_TRUE(list_dir(spool_folder()).empty()) << "no part of it is kept";
  }
  std::string text = diag();
  EXPECT_EQ(3u, diagnostic_count(text)) << text;
  EXPECT_NE(std::string::npos,
            text.find("vandrel: cannot print broken.pdf: the document did not arrive whole\n"));
  EXPECT_NE(std::string::npos,
            text.find("vandrel: cannot save broken.pdf: the document did not arrive whole\n"));

  Conversation next;
  ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &next));
  EXPECT_EQ(Z_OK, next.file_status);
  EXPECT_FALSE(next.cut);
  EXPECT_STREQ("next.txt", next.fname2);
  EXPECT_TRUE(doc2 == contents(next));
  discard_document(ctx, &next);
  Conversation end;
  EXPECT_EQ(ReadStatus::Failed, read_conversation(fd.get(), ctx, &end));
  EXPECT_EQ(0, errno) << "a plain end of input carries no earlier error";
}

TEST_F(ConversationTest, BytesAfterTheGzipMemberInsideAFrameAreDropped) {
  Bytes cmd = to_bytes(command_text("default"));
  cmd.push_back(0);
  Bytes cmd_body = concat({gzip_bytes(cmd), noise_bytes(100, 6)});
  Bytes doc = text_bytes(90000);
  Bytes file_body = concat({gzip_bytes(file_payload("padded.pdf", doc)), noise_bytes(70000, 7)});
  Bytes doc2 = to_bytes("after the padded frames");
  Bytes bytes = concat({frame(cmd_body), skipped_frame(), frame(file_body),
                        conversation("sendfile", "next.txt", doc2)});
  Fd fd(memfd_with(bytes));
  Conversation conv;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv));
  EXPECT_EQ(Command::Default, conv.command);
  EXPECT_EQ(Z_OK, conv.command_status);
  EXPECT_EQ(Z_OK, conv.file_status);
  EXPECT_TRUE(doc == contents(conv));
  Conversation next;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &next));
  EXPECT_STREQ("next.txt", next.fname2);
  EXPECT_TRUE(doc2 == contents(next));
}

TEST_F(ConversationTest, StreamEndingInsideABodyFailsAndLeavesNoSpoolFile) {
  Bytes doc = noise_bytes(200000, 8);
  Bytes file = file_frame("cut.pdf", doc);
  Bytes cmd = command_frame("default");
  Bytes skipped = skipped_frame();
  struct Case {
    const char *what;
    Bytes bytes;
  };
  const Case cases[] = {
      {"file frame", concat({cmd, skipped, Bytes(file.begin(), file.begin() + file.size() / 2)})},
      {"file frame, one byte short", concat({cmd, skipped, Bytes(file.begin(), file.end() - 1)})},
      {"command frame", Bytes(cmd.begin(), cmd.end() - 3)},
      {"skipped frame", concat({cmd, Bytes(skipped.begin(), skipped.end() - 2)})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Fd fd(memfd_with(c.bytes));
    Conversation conv;
    EXPECT_EQ(ReadStatus::Failed, read(fd.get(), &conv, true));
    EXPECT_STREQ("", conv.fullname);
    EXPECT_TRUE(list_dir(spool_folder()).empty());
  }
  // The cut file frames did reach the spooling stage before the stream ended.
  EXPECT_TRUE(exists(spool_folder()));
}

TEST_F(ConversationTest, StreamEndingWhereALengthIsDueFails) {
  const Bytes length = {0x10, 0x00, 0x00, 0x00};
  struct Case {
    const char *what;
    Bytes before;
    bool whole_first;  // a whole conversation comes first
  };
  const Case cases[] = {
      {"at the start", Bytes(), false},
      {"after a sendfile command frame", command_frame("sendfile"), false},
      {"after a default command frame", command_frame("default"), false},
      {"after a default command and its skipped frame",
       concat({command_frame("default"), skipped_frame()}), false},
      {"after a whole conversation", conversation("sendfile", "whole.txt", to_bytes("whole")),
       true},
  };
  for (size_t k = 0; k <= 3; ++k) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::to_string(k) + " length bytes " + c.what);
      Fd fd(memfd_with(concat({c.before, Bytes(length.begin(), length.begin() + k)})));
      if (c.whole_first) {
        Conversation first;
        ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &first));
        EXPECT_STREQ("whole.txt", first.fname2);
      }
      Conversation conv;
      EXPECT_EQ(ReadStatus::Failed, read(fd.get(), &conv));
    }
  }
}

TEST_F(ConversationTest, ConversationsSurviveSmallAndLargePipeWrites) {
  Bytes big = noise_bytes(3 * 1024 * 1024, 9);
  Bytes small = text_bytes(20000);
  Bytes bytes =
      concat({conversation("default", "big one.pdf", big),
              conversation("sendfile", "small.txt", small), conversation("print", "", {})});
  for (size_t piece : {size_t{7}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE("writes of " + std::to_string(piece));
    if (piece == 7) {
      // Byte-sized writes only for the small conversations: the big one would take long.
      PipeFeeder feeder(concat({conversation("sendfile", "small.txt", small),
                                conversation("default", "tiny.pdf", to_bytes("tiny"))}),
                        piece);
      Conversation a, b, end;
      ASSERT_EQ(ReadStatus::Ok, read(feeder.fd(), &a, true));
      EXPECT_TRUE(small == contents(a));
      ASSERT_EQ(ReadStatus::Ok, read(feeder.fd(), &b, true));
      EXPECT_EQ("tiny", unit::read_text(b.fullname));
      spool_remove(b.fullname);
      EXPECT_EQ(ReadStatus::Failed, read(feeder.fd(), &end));
      continue;
    }
    PipeFeeder feeder(bytes, piece);
    Conversation a, b, c, end;
    ASSERT_EQ(ReadStatus::Ok, read(feeder.fd(), &a, true));
    EXPECT_FALSE(a.skip);
    Bytes stored;
    ASSERT_TRUE(unit::read_file(a.fullname, &stored));
    EXPECT_TRUE(big == stored);
    spool_remove(a.fullname);
    ASSERT_EQ(ReadStatus::Ok, read(feeder.fd(), &b, true));
    EXPECT_TRUE(small == contents(b));
    ASSERT_EQ(ReadStatus::Ok, read(feeder.fd(), &c, true));
    EXPECT_EQ(Command::Other, c.command);
    EXPECT_EQ(ReadStatus::Failed, read(feeder.fd(), &end));
  }
}

TEST_F(ConversationTest, OverlongCommandIsSkippedWithItsFrames) {
  Bytes payload = to_bytes(kLead + "default" + std::string(600, 'a') + kSeparator + "1");
  payload.push_back(0);
  Bytes doc2 = to_bytes("after the long command");
  Bytes bytes = concat({command_frame_of(payload), skipped_frame(),
                        file_frame("long.pdf", noise_bytes(4000, 10)),
                        conversation("sendfile", "next.txt", doc2)});
  Fd fd(memfd_with(bytes));
  Conversation conv;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv, true));
  EXPECT_TRUE(conv.skip);
  EXPECT_EQ(Command::Default, conv.command);
  EXPECT_EQ(kTextSize - 1, strlen(conv.command2));
  EXPECT_STREQ("", conv.fullname);
  EXPECT_EQ(1u, diagnostic_count(diag()));
  EXPECT_TRUE(list_dir(spool_folder()).empty()) << "a skipped job spools nothing";
  Conversation next;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &next, true));
  EXPECT_FALSE(next.skip);
  EXPECT_STREQ("next.txt", next.fname2);
  EXPECT_TRUE(doc2 == contents(next));
}

TEST_F(ConversationTest, EmptyOrUndecodableCommandFrameTakesOneFrame) {
  Bytes doc2 = to_bytes("after the broken command");
  Bytes zlib_body(64);
  uLongf zlen = zlib_body.size();
  const char word[] = "vandrel-host:sendfilex!2#$1";
  ASSERT_EQ(Z_OK, compress2(zlib_body.data(), &zlen, reinterpret_cast<const Bytef *>(word),
                            sizeof word, 6));
  zlib_body.resize(zlen);
  for (const Bytes &first : {frame_with_length(0, {}), frame(zlib_body)}) {
    MemSink own_diag;
    ReaderContext ctx{&kMemoryStore, nullptr, own_diag.f};
    Fd fd(memfd_with(concat({first, conversation("sendfile", "next.txt", doc2)})));
    Conversation conv;
    ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &conv));
    EXPECT_TRUE(conv.skip);
    EXPECT_EQ(static_cast<long>(first.size()), position(fd.get()));
    std::string text = own_diag.text();
    EXPECT_EQ(0u, text.rfind(trace_line("", 0), 0)) << text;
    EXPECT_EQ(1u, diagnostic_count(text));
    // A likely host mistake is named for what it is.
    EXPECT_NE(std::string::npos, text.find("vandrel: command frame skipped: not a gzip stream\n"))
        << text;
    Conversation next;
    ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &next));
    EXPECT_TRUE(doc2 == contents(next));
  }
}

TEST_F(ConversationTest, SpoolFileThatCannotBeMadeSkipsTheJob) {
  // A home so deep that no spool file name fits 511 bytes.
  use_home(root_.path() + "/home/" + std::string(250, 'd') + "/" + std::string(240, 'e'));
  Bytes doc2 = to_bytes("after the failed spool");
  Fd fd(memfd_with(concat({conversation("default", "lost.pdf", noise_bytes(5000, 11)),
                           conversation("sendfile", "next.txt", doc2)})));
  Conversation conv;
  ASSERT_EQ(ReadStatus::Ok, read(fd.get(), &conv, true));
  EXPECT_TRUE(conv.skip);
  EXPECT_EQ(ENAMETOOLONG, conv.hold_errno);
  EXPECT_STREQ("", conv.fullname);
  std::string text = diag();
  EXPECT_EQ(1u, diagnostic_count(text)) << text;
  EXPECT_NE(std::string::npos, text.find("lost.pdf")) << text;
  Conversation next;
  ReaderContext ctx = context(true);
  ASSERT_EQ(ReadStatus::Ok, read_conversation(fd.get(), ctx, &next));
  EXPECT_TRUE(doc2 == contents(next));
  discard_document(ctx, &next);
  EXPECT_TRUE(list_dir(spool_folder()).empty());
}

TEST_F(ConversationTest, StopFlagAlreadySetStopsBeforeReading) {
  StopFlag flag{1};
  StopWatch stop{&flag, -1};
  Fd fd(memfd_with(conversation("sendfile", "x.txt", to_bytes("x"))));
  Conversation conv;
  ReaderContext ctx = context(true);
  ctx.stop = &stop;
  EXPECT_EQ(ReadStatus::Stopped, read_conversation(fd.get(), ctx, &conv));
  EXPECT_EQ(0, position(fd.get()));
  EXPECT_EQ("", diag());
}

TEST_F(ConversationTest, StopWakesAReadWaitingForTheHost) {
  // Waiting for a conversation, for the file frame after a command frame, and inside
  // a file frame's body or a skipped frame's body that the host stopped writing.
  Bytes file = file_frame("stopped.pdf", noise_bytes(100000, 12));
  Bytes skipped = frame(noise_bytes(5000, 13));
  const Bytes cases[] = {
      Bytes(), command_frame("sendfile"),
      concat({command_frame("sendfile"), Bytes(file.begin(), file.begin() + 50000)}),
      concat({command_frame("default"), Bytes(skipped.begin(), skipped.begin() + 100)})};
  for (const Bytes &sent : cases) {
    SCOPED_TRACE(sent.size());
    int host[2], wake[2];
    ASSERT_EQ(0, pipe2(host, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(wake, O_CLOEXEC));
    Fd host_r(host[0]), host_w(host[1]), wake_r(wake[0]), wake_w(wake[1]);
    ASSERT_TRUE(write_all(host_w.get(), sent.data(), sent.size()));
    StopFlag flag{0};
    StopWatch stop{&flag, wake_r.get()};
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      flag.store(1);
      (void)!write(wake_w.get(), "", 1);
    });
    Conversation conv;
    ReaderContext ctx{&kMemoryStore, &stop, diag_.f};
    EXPECT_EQ(ReadStatus::Stopped, read_conversation(host_r.get(), ctx, &conv));
    stopper.join();
  }
}

// A length near 4 GiB followed by the end of the stream must fail without the reader
// reserving that much memory: the check runs with the address space capped at 1 GiB
// more than the process has mapped already (far below 4 GiB, far above what is
// needed). Counted from what is mapped, since a sanitizer maps terabytes of shadow
// memory of its own at start.
TEST(ConversationDeathTest, HugeLengthThenEndFailsWithoutAllocating) {
  auto run = [](const Bytes &bytes) {
    std::ifstream status("/proc/self/status");
    std::string line;
    unsigned long mapped_kb = 0;
    while (std::getline(status, line))
      if (line.compare(0, 7, "VmSize:") == 0) mapped_kb = std::stoul(line.substr(7));
    struct rlimit lim;
    getrlimit(RLIMIT_AS, &lim);
    lim.rlim_cur = mapped_kb * 1024 + 1024ul * 1024 * 1024;
    if (mapped_kb == 0 || setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
    int fd = memfd_with(bytes);
    FILE *diag = fopen("/dev/null", "w");
    if (fd < 0 || !diag) _exit(4);
    ReaderContext ctx{&kMemoryStore, nullptr, diag};
    Conversation conv;
    ReadStatus st = read_conversation(fd, ctx, &conv);
    _exit(st == ReadStatus::Failed ? 0 : 1);
  };
  Bytes cmd = to_bytes(command_text("sendfile"));
  cmd.push_back(0);
  EXPECT_EXIT(run(frame_with_length(0xFFFFFFFFu, {})), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(run(frame_with_length(0xFFFFFFFFu, gzip_bytes(cmd))), ::testing::ExitedWithCode(0),
              "");
  EXPECT_EXIT(run(concat({command_frame("sendfile"), frame_with_length(0xFFFFFFFFu, {})})),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(run(concat({command_frame("default"), frame_with_length(0xFFFFFFFFu, {})})),
              ::testing::ExitedWithCode(0), "");
}

// The C library hosts link: what it writes is read as it was meant, and what the
// helper writes back is decoded to the byte.
namespace {

TEST(HostLibrary, JobsItWritesAreReadAsSent) {
  int fd = memfd_create("library", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  Bytes doc = noise_bytes(70000, 5);
  ASSERT_EQ(0,
            vandrel_write_job(fd, "c-host-000001", "default", "A b.pdf", doc.data(), doc.size()));
  ASSERT_EQ(0, vandrel_write_job(fd, "c-host-000002", "sendfile", "c.pdf", doc.data(), 10));
  ASSERT_EQ(0, vandrel_write_job(fd, "c-host-000003", "hello", nullptr, nullptr, 0));
  // Refused before anything is written: a NUL in the lead, a word that would be cut,
  // a name holding the separator.
  EXPECT_EQ(-1, vandrel_write_command_frame(fd, "short\0lead...", "hello"));
  EXPECT_EQ(-1, vandrel_write_command_frame(fd, "c-host-000004", "sendfil2"));
  EXPECT_EQ(-1, vandrel_write_job(fd, "c-host-000004", "sendfile", "ax!2#$b", doc.data(), 1));
  EXPECT_EQ(EINVAL, errno);
  lseek(fd, 0, SEEK_SET);

  MemSink diag;
  ReaderContext ctx = {&kMemoryStore, nullptr, diag.f};
  Conversation c[4];
  for (Conversation &one : c) (void)read_conversation(fd, ctx, &one);
  EXPECT_EQ(Command::Default, c[0].command);
  EXPECT_STREQ("A b.pdf", c[0].fname2);
  EXPECT_EQ(doc, contents(c[0]));
  EXPECT_EQ("c-host-000001", std::string(reinterpret_cast<char *>(c[0].lead), c[0].lead_len));
  EXPECT_EQ(Command::SendFile, c[1].command);
  EXPECT_EQ(Bytes(doc.begin(), doc.begin() + 10), contents(c[1]));
  EXPECT_EQ(Command::Other, c[2].command);
  EXPECT_STREQ("hello", c[2].command2);
  EXPECT_FALSE(c[3].started) << "nothing after the three jobs";
  for (Conversation &one : c) discard_document(ctx, &one);
  close(fd);
}

TEST(HostLibrary, BlocksAndReportsAreDecoded) {
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
  unsigned char block[kControlMessageSize];
  for (const char *text : {"ready 2 parent lead result reason",
                           "job 3 failed lead=a%00b%20%25 reason=no-server queue=office "
                           "server-job=42 path=/x%20y later=1"}) {
    make_control_message(text, block);
    ASSERT_EQ(static_cast<ssize_t>(sizeof block), write(p[1], block, sizeof block));
  }
  ASSERT_EQ(3, write(p[1], "end", 3));  // a cut block at the end is none
  close(p[1]);
  char text[VANDREL_BLOCK_SIZE];
  ASSERT_EQ(1, vandrel_read_block(p[0], text));
  EXPECT_EQ(2, vandrel_ready_version(text));
  EXPECT_EQ(1, vandrel_has_capability(text, "lead"));
  EXPECT_EQ(0, vandrel_has_capability(text, "lea"));
  ASSERT_EQ(1, vandrel_read_block(p[0], text));
  vandrel_report r;
  ASSERT_EQ(1, vandrel_parse_report(text, &r));
  EXPECT_EQ(3u, r.job);
  EXPECT_STREQ("failed", r.outcome);
  EXPECT_EQ(std::string("a\0b %", 5), std::string(reinterpret_cast<char *>(r.lead), r.lead_len));
  EXPECT_STREQ("no-server", r.reason);
  EXPECT_STREQ("office", r.queue);
  EXPECT_EQ(42u, r.server_job);
  EXPECT_STREQ("/x y", r.path);
  EXPECT_EQ(0, vandrel_read_block(p[0], text));
  close(p[0]);
  // Older helpers' texts, and texts that are something else.
  long count = 0;
  EXPECT_EQ(1, vandrel_ready_version("ready"));
  EXPECT_EQ(0, vandrel_has_capability("ready", "lead"));
  EXPECT_EQ(1, vandrel_is_end("end 4", &count));
  EXPECT_EQ(4, count);
  EXPECT_EQ(1, vandrel_is_end("end", &count));
  EXPECT_EQ(-1, count);
  EXPECT_EQ(0, vandrel_is_end("ending", &count));
  EXPECT_EQ(1, vandrel_parse_report("job 1 saved", &r));
  EXPECT_EQ(0, r.has_lead);
  EXPECT_EQ(0, vandrel_parse_report("removefullscreen", &r));
}

}  // namespace
