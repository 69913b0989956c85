// Spool files under ~/VANDREL and the home folder.
#include "files/spool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "files/document_kind.h"
#include "test_support.h"

using unit::exists;
using unit::list_dir;
using unit::read_text;
using unit::TempDir;
using unit::write_text;

namespace {

std::string component_of(const char *name) {
  char out[kTextSize];
  spool_component(name, out);
  return out;
}

mode_t mode_of(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
  return st.st_mode;
}

bool write_fd(int fd, const std::string &text) { return write_all(fd, text.data(), text.size()); }

// A spool file made for a test, closed and released when it ends.
struct Spooled {
  int fd = -1;
  char fullname[kTextSize] = "";
  int err = 0;
  Spooled(const std::string &home, const char *name) {
    fd = spool_create(home.c_str(), name, fullname);
    err = errno;
  }
  ~Spooled() { release(); }
  Spooled(const Spooled &) = delete;
  Spooled &operator=(const Spooled &) = delete;
  void release() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (fullname[0]) spool_remove(fullname);
    fullname[0] = '\0';
  }
  std::string path() const { return fullname; }
};

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    home_ = root_.path() + "/home";
    ASSERT_EQ(0, mkdir(home_.c_str(), 0700));
  }
  std::string folder() const { return home_ + "/" + kSpoolFolder; }

  TempDir root_;
  std::string home_;
};

}  // namespace

TEST(SpoolComponent, MakesOneSafePathComponent) {
  EXPECT_EQ("Report_7.pdf", component_of("Report 7.pdf"));
  EXPECT_EQ("a_b", component_of("a/b"));
  EXPECT_EQ(".._.._x", component_of("../../x"));
  EXPECT_EQ("_etc_passwd", component_of("/etc/passwd"));
  EXPECT_EQ("_", component_of("/"));
  EXPECT_EQ("__", component_of("  "));
  EXPECT_EQ("document", component_of(""));
  EXPECT_EQ("document", component_of("."));
  EXPECT_EQ("document", component_of(".."));
  EXPECT_EQ("...", component_of("..."));
  EXPECT_EQ("._", component_of("./"));
  EXPECT_EQ("tab_here", component_of("tab\there"));
  EXPECT_EQ("two_lines.pdf", component_of("two\nlines.pdf"));
}

// Preview opens only what a viewer shows, whatever the name: told from the bytes.
TEST(DocumentKind, IsToldFromTheBytes) {
  struct Case {
    std::string head;
    const char *type;
  };
  const Case cases[] = {
      {"%PDF-1.7\n", "application/pdf"},
      // PDF readers skip what a program wrote before the header, up to 1024 bytes.
      {"\r\n%PDF-1.4", "application/pdf"},
      {"\xef\xbb\xbf%PDF-1.7", "application/pdf"},
      {std::string(1023, ' ') + "%PDF-1.4", "application/pdf"},
      {std::string(1024, ' ') + "%PDF-1.4", "text/plain"},
      {"%!PS-Adobe-3.0\n", "application/postscript"},
      {"\x04%!PS-Adobe-3.0\n", "application/postscript"},
      {std::string("\x89PNG\r\n\x1a\n\0\0", 10), "image/png"},
      {"\xFF\xD8\xFF\xE0", "image/jpeg"},
      {"GIF89a", "image/gif"},
      {std::string("II*\0", 4), "image/tiff"},
      {"Dear Ann,\n\tthanks \xe2\x80\x94 Bob\f", "text/plain"},
      {"<!DOCTYPE html><script>", nullptr},
      {"\xEF\xBB\xBF  \n<?xml version=\"1.0\"?><jnlp>", nullptr},
      {"#!/bin/sh\x1b[2J", nullptr},
      {std::string("text\0with NUL", 13), nullptr},
      {"\xff\xfe not UTF-8", nullptr},
      {"PK\x03\x04", nullptr},
      {"", nullptr},
  };
  for (const Case &c : cases) {
    DocumentKind kind =
        sniff_document(reinterpret_cast<const unsigned char *>(c.head.data()), c.head.size());
    EXPECT_STREQ(c.type, kind.content_type) << c.head;
  }
  // A character cut by the end of the head still counts as text; at the end of the
  // whole document it does not.
  std::string text(kSniffBytes - 1, 'a');
  text += "\xc3";
  auto head = reinterpret_cast<const unsigned char *>(text.data());
  EXPECT_STREQ("text/plain", sniff_document(head, text.size()).content_type);
  EXPECT_EQ(nullptr, sniff_document(head + 1, text.size() - 1).content_type);
}

TEST(SpoolComponent, ShortensALongNameToOneFileNameKeepingItsExtension) {
  EXPECT_EQ(std::string(251, 'a') + ".pdf", component_of((std::string(300, 'a') + ".pdf").c_str()));
  EXPECT_EQ(std::string(255, 'x'), component_of(std::string(300, 'x').c_str()));
  std::string exact = std::string(251, 'e') + ".pdf";
  EXPECT_EQ(exact, component_of(exact.c_str()));
  // A cut never splits a character: 125 two-byte characters fit before ".pdf", not 125.5.
  std::string wide;
  for (int i = 0; i < 150; ++i) wide += "\xc3\xa9";
  EXPECT_EQ(wide.substr(0, 250) + ".pdf", component_of((wide + ".pdf").c_str()));
  // A long tail after the last dot is no extension: the name is cut at its end.
  std::string dotted = "a." + std::string(300, 'b');
  EXPECT_EQ(dotted.substr(0, 255), component_of(dotted.c_str()));
}

TEST(FileNames, FitAndCut) {
  EXPECT_EQ("x-2.pdf", fit_file_name("x.pdf", "-2", kMaxFileName));
  EXPECT_EQ(".profile-2", fit_file_name(".profile", "-2", kMaxFileName));
  EXPECT_EQ("abc-12.ps", fit_file_name("abcdef.ps", "-12", 9));
  EXPECT_EQ("a", cut_at_character("a\xc3\xa9", 2));
  EXPECT_EQ("a\xc3\xa9", cut_at_character("a\xc3\xa9", 3));
  EXPECT_EQ("", cut_at_character("\xe2\x82\xac", 2));
}

TEST_F(SpoolTest, SecondJobOfALongNameGetsASuffixedNameThatStillFits) {
  std::string name = std::string(300, 'N') + ".pdf";
  Spooled first(home_, name.c_str());
  ASSERT_GE(first.fd, 0) << strerror(first.err);
  Spooled second(home_, name.c_str());
  ASSERT_GE(second.fd, 0) << strerror(second.err);
  EXPECT_EQ(folder() + "/" + std::string(251, 'N') + ".pdf", first.path());
  EXPECT_EQ(folder() + "/" + std::string(249, 'N') + "-2.pdf", second.path());
}

TEST_F(SpoolTest, CreatesAPrivateFileInTheSpoolFolder) {
  Spooled s(home_, "Report 7.pdf");
  ASSERT_GE(s.fd, 0) << strerror(s.err);
  EXPECT_EQ(folder() + "/Report_7.pdf", s.path());
  EXPECT_TRUE(S_ISDIR(mode_of(folder())));
  mode_t mode = mode_of(s.path());
  EXPECT_TRUE(S_ISREG(mode));
  EXPECT_EQ(0600u, mode & 07777);
  EXPECT_NE(0, fcntl(s.fd, F_GETFD) & FD_CLOEXEC);
  ASSERT_TRUE(write_fd(s.fd, "spooled bytes"));
  EXPECT_EQ("spooled bytes", read_text(s.path()));
  s.release();
  EXPECT_FALSE(exists(folder() + "/Report_7.pdf"));
}

TEST_F(SpoolTest, RefusesPathsOver511BytesAndCreatesNoFile) {
  // A deep home, so that the limit is reached with a component the file system allows.
  std::string home = home_;
  while (home.size() + 1 + strlen(kSpoolFolder) + 1 < kTextSize - 120) {
    home += "/" + std::string(60, 'd');
    ASSERT_EQ(0, mkdir(home.c_str(), 0700));
  }
  std::string folder = home + "/" + kSpoolFolder;
  size_t fits = kTextSize - 1 - folder.size() - 1;  // component length for 511 bytes
  ASSERT_GT(fits, 4u);
  ASSERT_LT(fits + 1, 250u);

  {
    std::string name = std::string(fits + 1, 'L');
    Spooled s(home, name.c_str());
    EXPECT_EQ(-1, s.fd);
    EXPECT_EQ(ENAMETOOLONG, s.err);
    EXPECT_STREQ("", s.fullname);
    EXPECT_TRUE(list_dir(folder).empty());
  }
  {
    std::string name = std::string(fits, 'F');
    Spooled s(home, name.c_str());
    ASSERT_GE(s.fd, 0) << strerror(s.err);
    EXPECT_EQ(kTextSize - 1, s.path().size());
    EXPECT_TRUE(exists(s.path()));
    // While held, the only other names for it would be longer still.
    Spooled again(home, name.c_str());
    EXPECT_EQ(-1, again.fd);
    EXPECT_EQ(ENAMETOOLONG, again.err);
    EXPECT_EQ(std::vector<std::string>{name}, list_dir(folder));
  }
}

TEST_F(SpoolTest, HeldPathIsNotReusedOrTouched) {
  Spooled first(home_, "Report 7.pdf");
  ASSERT_GE(first.fd, 0);
  ASSERT_TRUE(write_fd(first.fd, "first job"));
  close(first.fd);
  first.fd = -1;

  Spooled second(home_, "Report 7.pdf");
  ASSERT_GE(second.fd, 0);
  Spooled third(home_, "Report 7.pdf");
  ASSERT_GE(third.fd, 0);
  ASSERT_TRUE(write_fd(second.fd, "second job"));

  EXPECT_NE(first.path(), second.path());
  EXPECT_NE(first.path(), third.path());
  EXPECT_NE(second.path(), third.path());
  for (const Spooled *s : {&second, &third}) {
    EXPECT_EQ(0u, s->path().rfind(folder() + "/", 0)) << s->path();
    EXPECT_EQ(".pdf", s->path().substr(s->path().size() - 4)) << "the document's kind is kept";
    EXPECT_EQ(0600u, mode_of(s->path()) & 07777);
  }
  EXPECT_EQ("first job", read_text(first.path()));
  EXPECT_EQ("second job", read_text(second.path()));
  EXPECT_EQ(3u, list_dir(folder()).size());
}

TEST_F(SpoolTest, RemovedPathIsUsedAgain) {
  std::string path;
  {
    Spooled s(home_, "again.ps");
    ASSERT_GE(s.fd, 0);
    path = s.path();
  }
  EXPECT_FALSE(exists(path));
  Spooled s(home_, "again.ps");
  ASSERT_GE(s.fd, 0);
  EXPECT_EQ(path, s.path());
}

// Whatever is in the spool folder without a helper's mark is the person's: a file,
// a second name of a file elsewhere, a link (dangling or not). None of it is removed,
// rewritten or followed; the job takes the next name.
TEST_F(SpoolTest, WhatIsNotAHelpersIsNeverTouchedAndTheJobTakesTheNextName) {
  ASSERT_EQ(0, mkdir(folder().c_str(), 0700));
  std::string outside = root_.path() + "/outside.txt";
  std::string missing = root_.path() + "/not-there.txt";
  ASSERT_TRUE(write_text(outside, "must stay"));
  ASSERT_EQ(0, chmod(outside.c_str(), 0644));
  ASSERT_TRUE(write_text(folder() + "/mine.pdf", "the person's own"));
  ASSERT_EQ(0, link(outside.c_str(), (folder() + "/linked.pdf").c_str()));
  ASSERT_EQ(0, symlink(outside.c_str(), (folder() + "/link.pdf").c_str()));
  ASSERT_EQ(0, symlink(missing.c_str(), (folder() + "/dangling.pdf").c_str()));
  std::vector<std::string> before = list_dir(folder());

  for (const char *name : {"mine.pdf", "linked.pdf", "link.pdf", "dangling.pdf"}) {
    SCOPED_TRACE(name);
    Spooled s(home_, name);
    ASSERT_GE(s.fd, 0) << strerror(s.err);
    std::string stem = std::string(name).substr(0, strlen(name) - 4);
    EXPECT_EQ(folder() + "/" + stem + "-2.pdf", s.path());
    ASSERT_TRUE(write_fd(s.fd, "spooled"));
    EXPECT_TRUE(S_ISREG(mode_of(s.path())));
    EXPECT_EQ("spooled", read_text(s.path()));
  }
  // Every job is over: what the person had is all there is, as it was.
  EXPECT_EQ(before, list_dir(folder()));
  EXPECT_EQ("the person's own", read_text(folder() + "/mine.pdf"));
  EXPECT_EQ("must stay", read_text(outside));
  EXPECT_EQ(0644u, mode_of(outside) & 07777);
  EXPECT_FALSE(exists(missing));
  sweep_leftovers(home_.c_str());
  EXPECT_EQ(before, list_dir(folder()));
}

// A helper that ended without giving up its file leaves it marked and unlocked: the
// next helper's sweep, at its start or when it spools, takes it away.
TEST_F(SpoolTest, LeftoverOfAHelperThatIsGoneIsReclaimed) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char path[kTextSize];
    int fd = spool_create(home_.c_str(), "left over.pdf", path);
    _exit(fd >= 0 && write_fd(fd, "old job") ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_EQ(0, status);
  ASSERT_EQ(std::vector<std::string>{"left_over.pdf"}, list_dir(folder()));
  {
    Spooled s(home_, "left over.pdf");  // the name is given back
    ASSERT_GE(s.fd, 0) << strerror(s.err);
    EXPECT_EQ(folder() + "/left_over.pdf", s.path());
    EXPECT_EQ("", read_text(s.path()));
  }
  EXPECT_TRUE(list_dir(folder()).empty());
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char path[kTextSize];
    _exit(spool_create(home_.c_str(), "again.pdf", path) >= 0 ? 0 : 1);
  }
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_EQ(std::vector<std::string>{"again.pdf"}, list_dir(folder()));
  sweep_leftovers(home_.c_str());
  EXPECT_TRUE(list_dir(folder()).empty());
}

// The spool folder holds the person's documents: theirs alone, whatever the umask,
// and never one that is not theirs or is reached through a link.
TEST_F(SpoolTest, SpoolFolderIsPrivateAndNeverALink) {
  TempDir tmp;
  setenv("TMPDIR", tmp.path().c_str(), 1);
  unsetenv("XDG_RUNTIME_DIR");
  std::string own = tmp.path() + "/vandrel-" + std::to_string(geteuid());
  mode_t old_mask = umask(002);
  {
    Spooled s(home_, "a.pdf");
    ASSERT_GE(s.fd, 0) << strerror(s.err);
    EXPECT_EQ(0700u, mode_of(folder()) & 07777);
    EXPECT_EQ(0700u, mode_of(folder() + "/" + kMarksFolder) & 07777);
  }
  ASSERT_EQ(0, chmod(folder().c_str(), 0775));
  {
    Spooled s(home_, "b.pdf");
    EXPECT_EQ(0700u, mode_of(folder()) & 07777) << "a looser folder is tightened";
  }
  umask(old_mask);
  // ~/VANDREL moved to a bigger disk, with a link in its place: the folder there and
  // everything in it stay as they are; the job waits in a private folder of our own.
  std::string moved = root_.path() + "/bigger-disk";
  ASSERT_EQ(0, rename(folder().c_str(), moved.c_str()));
  ASSERT_TRUE(write_text(moved + "/thesis.odt", "years of work"));
  ASSERT_EQ(0, symlink(moved.c_str(), folder().c_str()));
  {
    Spooled s(home_, "thesis.odt");
    ASSERT_GE(s.fd, 0) << strerror(s.err);
    EXPECT_EQ(own + "/thesis.odt", s.path());
    EXPECT_EQ(0700u, mode_of(own) & 07777);
  }
  sweep_leftovers(home_.c_str());
  EXPECT_EQ(std::vector<std::string>{"thesis.odt"}, list_dir(moved));
  EXPECT_EQ("years of work", read_text(moved + "/thesis.odt"));
  EXPECT_TRUE(S_ISLNK(mode_of(folder())));
  EXPECT_TRUE(list_dir(own).empty());
  // A file, or another user's folder, at the place of our own is not used either.
  ASSERT_EQ(0, unlink(folder().c_str()));
  ASSERT_TRUE(write_text(folder(), "a file of the person's"));
  if (geteuid() == 0) {
    TempDir::remove_tree(own);
    ASSERT_EQ(0, mkdir(own.c_str(), 0777));
    ASSERT_EQ(0, chown(own.c_str(), 65534, 65534));
    Spooled s(home_, "c.pdf");
    ASSERT_GE(s.fd, 0) << strerror(s.err);
    EXPECT_EQ("/tmp/vandrel-0/c.pdf", s.path());
    EXPECT_TRUE(list_dir(own).empty());
  }
  EXPECT_EQ("a file of the person's", read_text(folder()));
  unsetenv("TMPDIR");
}

TEST_F(SpoolTest, DirectoryInTheWayGetsAnotherName) {
  ASSERT_EQ(0, mkdir(folder().c_str(), 0775));
  std::string in_the_way = folder() + "/taken.pdf";
  ASSERT_EQ(0, mkdir(in_the_way.c_str(), 0700));
  ASSERT_TRUE(write_text(in_the_way + "/inside", "kept"));
  Spooled s(home_, "taken.pdf");
  ASSERT_GE(s.fd, 0) << strerror(s.err);
  EXPECT_NE(in_the_way, s.path());
  EXPECT_TRUE(S_ISREG(mode_of(s.path())));
  EXPECT_EQ("kept", read_text(in_the_way + "/inside"));
}

TEST_F(SpoolTest, MissingHomeUsesAPrivateFolderOfOurOwn) {
  TempDir runtime;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  for (const std::string &home : {home_ + "/missing/deeper", std::string()}) {
    Spooled s(home, "x.pdf");
    ASSERT_GE(s.fd, 0) << strerror(s.err);
    EXPECT_EQ(runtime.path() + "/vandrel/x.pdf", s.path());
  }
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_TRUE(list_dir(home_).empty());
  EXPECT_TRUE(list_dir(runtime.path() + "/vandrel").empty());
}

// home_folder

namespace {

class HomeVariable {
 public:
  HomeVariable() {
    const char *h = getenv("HOME");
    had_ = h != nullptr;
    if (had_) saved_ = h;
  }
  ~HomeVariable() {
    if (had_)
      setenv("HOME", saved_.c_str(), 1);
    else
      unsetenv("HOME");
  }
  HomeVariable(const HomeVariable &) = delete;
  HomeVariable &operator=(const HomeVariable &) = delete;

 private:
  bool had_;
  std::string saved_;
};

std::string user_database_home() {
  struct passwd *pw = getpwuid(getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

}  // namespace

TEST(HomeFolder, TakesHomeWhenSet) {
  HomeVariable guard;
  ASSERT_EQ(0, setenv("HOME", "/some/where else", 1));
  EXPECT_EQ("/some/where else", home_folder());
}

TEST(HomeFolder, FallsBackToTheUserDatabase) {
  HomeVariable guard;
  std::string expected = user_database_home();
  ASSERT_FALSE(expected.empty()) << "this user has no entry to fall back on";
  ASSERT_EQ(0, unsetenv("HOME"));
  EXPECT_EQ(expected, home_folder());
  ASSERT_EQ(0, setenv("HOME", "", 1));
  EXPECT_EQ(expected, home_folder());
}
