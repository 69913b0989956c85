// Saving a held document at a chosen path, and the names the save dialog suggests.
#include "files/save_target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "files/names.h"
#include "test_support.h"

using unit::exists;
using unit::Fd;
using unit::list_dir;
using unit::noise_bytes;
using unit::read_file;
using unit::read_text;
using unit::TempDir;
using unit::write_text;

namespace {

struct NameCase {
  const char *sent;
  std::string suggested;
};

TEST(SuggestedSaveName, IsOnePlainFileName) {
  const NameCase cases[] = {
      {"Quarterly report.pdf", "Quarterly report.pdf"},
      {"../x.pdf", "_x.pdf"},
      {"a/b.pdf", "a_b.pdf"},
      {"/etc/passwd", "_etc_passwd"},
      {".hidden.pdf", "hidden.pdf"},
      {"...", "document"},
      {"", "document"},
      {"tab\there\n.pdf", "tab_here_.pdf"},
      {"Gr\xc3\xbc\xc3\x9f"
       "e.pdf",
       "Gr\xc3\xbc\xc3\x9f"
       "e.pdf"},                                         // UTF-8 stays
      {"R\xe9sum\xe9.pdf", "R\xc3\xa9sum\xc3\xa9.pdf"},  // Latin-1
      {"\x93Price\x94 \x80 5.pdf",
       "\xe2\x80\x9cPrice\xe2\x80\x9d \xe2\x82\xac 5.pdf"},  // Windows-1252
      {"odd\x81.pdf", "odd_.pdf"},  // undefined in Windows-1252: a control character
  };
  for (const NameCase &c : cases) EXPECT_EQ(suggested_save_name(c.sent), c.suggested) << c.sent;
}

TEST(SuggestedSaveName, LongNameKeepsItsExtensionAndWholeCharacters) {
  std::string ascii = suggested_save_name((std::string(300, 'a') + ".pdf").c_str());
  EXPECT_EQ(ascii, std::string(kMaxFileName - 4, 'a') + ".pdf");

  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xc3\xa9";
  std::string cut = suggested_save_name((accents + ".pdf").c_str());
  EXPECT_LE(cut.size(), kMaxFileName);
  EXPECT_TRUE(valid_utf8(cut));
  EXPECT_EQ(cut, accents.substr(0, 250) + ".pdf");

  std::string fits(kMaxFileName, 'b');
  EXPECT_EQ(suggested_save_name(fits.c_str()), fits);
}

TEST(ValidUtf8, RejectsMalformedSequences) {
  EXPECT_TRUE(valid_utf8("plain"));
  EXPECT_TRUE(valid_utf8("\xe2\x82\xac \xf0\x9f\x93\x84"));
  EXPECT_FALSE(valid_utf8("\xe9t\xe9"));         // Latin-1
  EXPECT_FALSE(valid_utf8("\xc0\xaf"));          // overlong "/"
  EXPECT_FALSE(valid_utf8("\xe0\x80\xaf"));      // overlong "/"
  EXPECT_FALSE(valid_utf8("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(valid_utf8("\xe2\x82"));          // cut short
  EXPECT_FALSE(valid_utf8("\xe2\x82\x41"));      // not a continuation
}

TEST(Windows1252, DecodesEveryByte) {
  EXPECT_EQ(windows1252_to_utf8("\x80\x85\x8a\x99\x9f"),
            "\xe2\x82\xac\xe2\x80\xa6\xc5\xa0\xe2\x84\xa2\xc5\xb8");
  for (int c = 0xA0; c <= 0xFF; ++c) {
    std::string one(1, static_cast<char>(c));
    std::string expected = {static_cast<char>(0xC0 | (c >> 6)),
                            static_cast<char>(0x80 | (c & 0x3F))};
    EXPECT_EQ(windows1252_to_utf8(one), expected) << c;
  }
  std::string all;
  for (int c = 1; c <= 0xFF; ++c) all.push_back(static_cast<char>(c));
  EXPECT_TRUE(valid_utf8(windows1252_to_utf8(all)));
}

TEST(ShortenMiddle, KeepsStartAndEndWithinTheLimit) {
  EXPECT_EQ(shorten_middle("/home/u/a.pdf", 20), "/home/u/a.pdf");
  std::string path = "/home/u/" + std::string(300, 'x') + "/the file.pdf";
  std::string shown = shorten_middle(path, 30);
  EXPECT_EQ(shown, "/home/u/x\xe2\x80\xa6xxxxxxx/the file.pdf");
  std::string accents;
  for (int i = 0; i < 100; ++i) accents += "\xc3\xa9";
  std::string cut = shorten_middle(accents, 10);
  EXPECT_TRUE(valid_utf8(cut));
  EXPECT_EQ(cut.size(), 9 * 2 + 3u);
}

mode_t mode_of(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : static_cast<mode_t>(-1);
}

ino_t inode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string text_of(const Bytes &b) { return std::string(b.begin(), b.end()); }

class SaveTargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    held_dir_ = root_.path() + "/VANDREL";
    out_ = root_.path() + "/out";
    ASSERT_EQ(0, mkdir(held_dir_.c_str(), 0775));
    ASSERT_EQ(0, mkdir(out_.c_str(), 0755));
    old_umask_ = umask(027);
  }
  void TearDown() override { umask(old_umask_); }

  // A held file as the reader leaves it: private, open for reading and writing.
  std::string hold(const Bytes &doc, const std::string &folder = "") {
    std::string path = (folder.empty() ? held_dir_ : folder) + "/held.pdf";
    held_.reset(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    EXPECT_GE(held_.get(), 0);
    EXPECT_TRUE(write_all(held_.get(), doc.data(), doc.size()));
    return path;
  }
  int save(const std::string &held_path, size_t datalen, const std::string &target) {
    return save_held_document(held_.get(), held_path, datalen, target.c_str());
  }

  TempDir root_;
  std::string held_dir_, out_;
  Fd held_;
  mode_t old_umask_ = 022;
};

TEST_F(SaveTargetTest, HeldFileBecomesANewTargetByRename) {
  Bytes doc = noise_bytes(300000, 1);
  std::string held = hold(doc);
  ino_t ino = inode_of(held);
  std::string target = out_ + "/new.pdf";
  ASSERT_EQ(0, save(held, doc.size(), target)) << strerror(errno);
  Bytes got;
  ASSERT_TRUE(read_file(target, &got));
  EXPECT_EQ(got, doc);
  EXPECT_EQ(inode_of(target), ino);
  EXPECT_FALSE(exists(held));
  EXPECT_EQ(mode_of(target) & 07777, 0640u);  // 0666 less the umask
  EXPECT_EQ(list_dir(out_), std::vector<std::string>{"new.pdf"});
}

TEST_F(SaveTargetTest, ExistingTargetIsReplacedKeepingItsMode) {
  std::string target = out_ + "/existing.pdf";
  ASSERT_TRUE(write_text(target, "old contents"));
  ASSERT_EQ(0, chmod(target.c_str(), 0604));
  Bytes doc = noise_bytes(5000, 2);
  std::string held = hold(doc);
  ASSERT_EQ(0, save(held, doc.size(), target)) << strerror(errno);
  EXPECT_EQ(read_text(target), text_of(doc));
  EXPECT_EQ(mode_of(target) & 07777, 0604u);
  EXPECT_EQ(list_dir(out_), std::vector<std::string>{"existing.pdf"});
}

TEST_F(SaveTargetTest, DocumentInMemoryIsCopiedToANewOrExistingTarget) {
  Bytes doc = noise_bytes(3 << 20, 3);
  held_.reset(unit::memfd_with(doc));
  ASSERT_GE(held_.get(), 0);
  std::string fresh = out_ + "/fresh.pdf", existing = out_ + "/existing.pdf";
  ASSERT_TRUE(write_text(existing, "old"));
  ASSERT_EQ(0, chmod(existing.c_str(), 0600));
  ASSERT_EQ(0, save("", doc.size(), fresh)) << strerror(errno);
  ASSERT_EQ(0, save("", doc.size(), existing)) << strerror(errno);
  for (const std::string &path : {fresh, existing}) {
    Bytes got;
    ASSERT_TRUE(read_file(path, &got));
    EXPECT_TRUE(got == doc) << path;
  }
  EXPECT_EQ(mode_of(fresh) & 07777, 0640u);
  EXPECT_EQ(mode_of(existing) & 07777, 0600u);
  EXPECT_EQ(list_dir(out_), (std::vector<std::string>{"existing.pdf", "fresh.pdf"}));
}

TEST_F(SaveTargetTest, HeldFileOnAnotherFileSystemIsCopied) {
  struct stat shm, here;
  if (stat("/dev/shm", &shm) != 0 || stat(out_.c_str(), &here) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  char folder[] = "/dev/shm/vandrel-unit-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  Bytes doc = noise_bytes(2 << 20, 4);
  std::string held = hold(doc, folder);
  std::string target = out_ + "/across.pdf";
  int result = save(held, doc.size(), target);
  int err = errno;
  bool held_kept = exists(held);
  held_.reset();
  TempDir::remove_tree(folder);
  ASSERT_EQ(0, result) << strerror(err);
  Bytes got;
  ASSERT_TRUE(read_file(target, &got));
  EXPECT_TRUE(got == doc);
  EXPECT_TRUE(held_kept);  // the caller removes it
  EXPECT_EQ(mode_of(target) & 07777, 0640u);
  EXPECT_EQ(list_dir(out_), std::vector<std::string>{"across.pdf"});
}

TEST_F(SaveTargetTest, OnlyTheDocumentsBytesAreSaved) {
  Bytes doc = noise_bytes(1000, 5);
  std::string held = hold(doc);
  std::string target = out_ + "/part.pdf";
  ASSERT_EQ(0, save(held, 600, target)) << strerror(errno);
  EXPECT_EQ(read_text(target), text_of(Bytes(doc.begin(), doc.begin() + 600)));
  EXPECT_TRUE(exists(held));
}

TEST_F(SaveTargetTest, DanglingLinkCreatesTheFileItNames) {
  Bytes doc = noise_bytes(7000, 6);
  std::string link = out_ + "/link.pdf";
  ASSERT_EQ(0, symlink("real.pdf", link.c_str()));
  std::string held = hold(doc);
  ASSERT_EQ(0, save(held, doc.size(), link)) << strerror(errno);
  EXPECT_TRUE(S_ISLNK(mode_of(link)));
  EXPECT_EQ(read_text(out_ + "/real.pdf"), text_of(doc));
  EXPECT_EQ(mode_of(out_ + "/real.pdf") & 07777, 0640u);
  EXPECT_EQ(list_dir(out_), (std::vector<std::string>{"link.pdf", "real.pdf"}));
}

TEST_F(SaveTargetTest, LinkToAnExistingFileReplacesThatFile) {
  std::string real = out_ + "/sub/real.pdf";
  ASSERT_EQ(0, mkdir((out_ + "/sub").c_str(), 0755));
  ASSERT_TRUE(write_text(real, "old"));
  ASSERT_EQ(0, chmod(real.c_str(), 0620));
  std::string link = out_ + "/link.pdf";
  ASSERT_EQ(0, symlink("sub/real.pdf", link.c_str()));
  Bytes doc = noise_bytes(100, 7);
  held_.reset(unit::memfd_with(doc));
  ASSERT_EQ(0, save("", doc.size(), link)) << strerror(errno);
  EXPECT_TRUE(S_ISLNK(mode_of(link)));
  EXPECT_EQ(read_text(real), text_of(doc));
  EXPECT_EQ(mode_of(real) & 07777, 0620u);
  EXPECT_EQ(list_dir(out_ + "/sub"), std::vector<std::string>{"real.pdf"});
}

// In a shared folder (sticky, world-writable) another user may plant links to the
// person's files: such a link is never followed, whether its target exists or not,
// even where the kernel's own protection is off. A link of the person's is.
TEST_F(SaveTargetTest, AnotherUsersLinkInASharedFolderIsNeverFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's link needs the superuser";
  std::string shared = out_ + "/shared", mine = out_ + "/bashrc";
  ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
  ASSERT_EQ(0, chmod(shared.c_str(), 01777));
  ASSERT_EQ(0, chown(shared.c_str(), 65533, 65533));  // the folder's owner is not us
  ASSERT_TRUE(write_text(mine, "the person's"));
  std::string planted = shared + "/report.pdf", dangling = shared + "/notes.txt";
  std::string folder = shared + "/folder";  // a link on the way, to the person's folder
  ASSERT_EQ(0, symlink(mine.c_str(), planted.c_str()));
  ASSERT_EQ(0, symlink((out_ + "/authorized_keys").c_str(), dangling.c_str()));
  ASSERT_EQ(0, symlink(out_.c_str(), folder.c_str()));
  for (const std::string &link : {planted, dangling, folder})
    ASSERT_EQ(0, lchown(link.c_str(), 65534, 65534));
  Bytes doc = noise_bytes(2000, 14);
  for (const std::string &link : {planted, dangling, folder + "/bashrc"}) {
    SCOPED_TRACE(link);
    std::string held = hold(doc);
    EXPECT_EQ(-1, save(held, doc.size(), link));
    EXPECT_EQ(EACCES, errno);
    EXPECT_TRUE(exists(held));
    ASSERT_EQ(0, unlink(held.c_str()));
  }
  EXPECT_EQ("the person's", read_text(mine));
  EXPECT_FALSE(exists(out_ + "/authorized_keys"));
  EXPECT_TRUE(S_ISLNK(mode_of(planted)));
  // The person's own link there is theirs to follow.
  ASSERT_EQ(0, lchown(planted.c_str(), 0, 0));
  held_.reset(unit::memfd_with(doc));
  ASSERT_EQ(0, save("", doc.size(), planted)) << strerror(errno);
  EXPECT_EQ(text_of(doc), read_text(mine));
}

// The kernel's protection for links in shared folders turned off for one test, as it
// is on many systems, and put back as it was.
struct SharedFolderLinksUnprotected {
  static constexpr char kSetting[] = "/proc/sys/fs/protected_symlinks";
  std::string before = read_text(kSetting);
  SharedFolderLinksUnprotected() {
    if (before != "0\n") (void)write_text(kSetting, "0\n");
  }
  ~SharedFolderLinksUnprotected() {
    if (before == "0\n" || before == "<unreadable>") return;
    (void)write_text(kSetting, before);
  }
};

// Another user flips a link at the chosen name in a shared folder, now to a file of
// the person's, now to one that does not exist yet, as fast as they can, while the
// person saves there again and again, by rename and by copy: the person's file never
// changes, nothing appears where the links lead, and every save either lands at the
// chosen name or is refused.
TEST_F(SaveTargetTest, LinkFlippedByAnotherUserDuringSavesIsNeverFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's links need the superuser";
  SharedFolderLinksUnprotected unprotected;
  std::string shared = out_ + "/shared", mine = out_ + "/precious.txt";
  std::string missing = out_ + "/authorized_keys", target = shared + "/report.pdf";
  ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
  ASSERT_EQ(0, chmod(shared.c_str(), 01777));
  ASSERT_EQ(0, chown(shared.c_str(), 65533, 65533));
  ASSERT_EQ(0, chmod(root_.path().c_str(), 0755));
  ASSERT_TRUE(write_text(mine, "the person's"));
  ino_t ino = inode_of(mine);
  pid_t flipper = fork();
  ASSERT_GE(flipper, 0);
  if (flipper == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
    for (unsigned i = 0;; ++i) {
      (void)!symlink(i % 2 ? mine.c_str() : missing.c_str(), target.c_str());
      (void)!unlink(target.c_str());
    }
  }
  Bytes doc = noise_bytes(4096, 15);
  int landed = 0, refused = 0, wrong = 0;
  for (int i = 0; i < 4000 && wrong == 0; ++i) {
    bool by_rename = i < 2000;
    std::string held = held_dir_ + "/held.pdf";
    if (!by_rename)
      held_.reset(unit::memfd_with(doc));
    else if (!exists(held))
      hold(doc);
    if (save(by_rename ? held : "", doc.size(), target) == 0) {
      ++landed;
      struct stat st;
      if (lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
          read_text(target) != text_of(doc))
        ++wrong;
      unlink(target.c_str());
    } else if (errno == EACCES || errno == EEXIST || errno == EBUSY) {
      ++refused;
    } else {
      ADD_FAILURE() << "save " << i << ": " << strerror(errno);
      ++wrong;
    }
  }
  kill(flipper, SIGKILL);
  waitpid(flipper, nullptr, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(read_text(mine) == "the person's") << "the person's file was replaced";
  EXPECT_EQ(ino, inode_of(mine));
  EXPECT_FALSE(exists(missing));
  EXPECT_GT(refused, 0) << "the links were never there";
  EXPECT_GT(landed, 0) << "the name was never free";
}

TEST_F(SaveTargetTest, LinkLoopFails) {
  std::string a = out_ + "/a.pdf", b = out_ + "/b.pdf";
  ASSERT_EQ(0, symlink("b.pdf", a.c_str()));
  ASSERT_EQ(0, symlink("a.pdf", b.c_str()));
  held_.reset(unit::memfd_with(noise_bytes(10, 8)));
  EXPECT_EQ(-1, save("", 10, a));
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(list_dir(out_), (std::vector<std::string>{"a.pdf", "b.pdf"}));
}

TEST_F(SaveTargetTest, LongestNamesAreReplacedByRenameAndByCopy) {
  std::string target = out_ + "/" + std::string(246, 'n') + ".pdf";
  ASSERT_TRUE(write_text(target, "old"));
  Bytes doc = noise_bytes(4000, 9);
  std::string held = hold(doc);
  ASSERT_EQ(0, save(held, doc.size(), target)) << strerror(errno);
  EXPECT_EQ(read_text(target), text_of(doc));
  Bytes second = noise_bytes(3000, 10);
  held_.reset(unit::memfd_with(second));
  ASSERT_EQ(0, save("", second.size(), target)) << strerror(errno);
  EXPECT_EQ(read_text(target), text_of(second));
  EXPECT_EQ(list_dir(out_).size(), 1u);
}

TEST_F(SaveTargetTest, FailedSaveLeavesNothingBehindAndTheOldFileIntact) {
  // The document turns out shorter than said: a read error halfway.
  Bytes doc = noise_bytes(2 << 20, 11);
  std::string existing = out_ + "/existing.pdf";
  ASSERT_TRUE(write_text(existing, "precious"));
  std::string held = hold(doc);
  EXPECT_EQ(-1, save(held, doc.size() + 1, out_ + "/new.pdf"));
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(-1, save(held, doc.size() + 1, existing));
  EXPECT_EQ(errno, EIO);
  held_.reset(unit::memfd_with(doc));
  EXPECT_EQ(-1, save("", doc.size() + 1, existing));
  EXPECT_EQ(read_text(existing), "precious");
  EXPECT_EQ(list_dir(out_), std::vector<std::string>{"existing.pdf"});
  EXPECT_EQ(list_dir(held_dir_), std::vector<std::string>{"held.pdf"});
}

TEST_F(SaveTargetTest, MissingFolderAndFolderTargetFail) {
  held_.reset(unit::memfd_with(noise_bytes(10, 12)));
  EXPECT_EQ(-1, save("", 10, out_ + "/missing/x.pdf"));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(-1, save("", 10, out_));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_TRUE(list_dir(out_).empty());
}

TEST_F(SaveTargetTest, ExistingFileInAFolderThatMayNotBeWrittenIsRewrittenInPlace) {
  // Someone else's folder (for the superuser: saved as another user), our file.
  const uid_t other = 65534;
  std::string folder = out_ + "/theirs";
  std::string target = folder + "/ours.pdf";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  ASSERT_TRUE(write_text(target, std::string(10000, 'o')));
  ASSERT_EQ(0, chmod(target.c_str(), 0664));
  ASSERT_EQ(0, chmod(root_.path().c_str(), 0755));
  bool as_other = geteuid() == 0;
  if (as_other) {
    ASSERT_EQ(0, chown(target.c_str(), other, other));
  }
  ASSERT_EQ(0, chmod(folder.c_str(), 0555));
  ino_t ino = inode_of(target);

  Bytes doc = noise_bytes(3000, 13);
  std::string held = hold(doc);
  int err = 0;
  if (as_other) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setgid(other) != 0 || setuid(other) != 0) _exit(255);
      _exit(save(held, doc.size(), target) == 0 ? 0 : errno);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    err = WEXITSTATUS(status);
  } else if (save(held, doc.size(), target) != 0) {
    err = errno;
  }
  chmod(folder.c_str(), 0755);
  ASSERT_EQ(err, 0) << strerror(err);
  EXPECT_EQ(read_text(target), text_of(doc));
  EXPECT_EQ(inode_of(target), ino);
  EXPECT_EQ(mode_of(target) & 07777, 0664u);
  EXPECT_EQ(list_dir(folder), std::vector<std::string>{"ours.pdf"});
  EXPECT_TRUE(exists(held));
}

}  // namespace
