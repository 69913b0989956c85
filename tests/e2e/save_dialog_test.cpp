// The save dialog: the document offered under its own name, written where the user chooses.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "harness.h"

namespace {

std::string as_string(const Bytes &b) { return std::string(b.begin(), b.end()); }

// Waits for the chooser and replaces the name with a typed path.
std::string type_path(const std::string &path) {
  std::string w = wait_window("Save File");
  if (w.empty()) return w;
  press(w, {"ctrl+a"});
  type_text(w, path);
  return w;
}

// A visible window of the helper other than `besides`, once one appears.
std::string wait_other_window(pid_t pid, const std::string &besides) {
  auto until = std::chrono::steady_clock::now() + kDeadline;
  while (std::chrono::steady_clock::now() < until) {
    for (const std::string &w : visible_windows(pid))
      if (w != besides) return w;
    std::this_thread::sleep_for(100ms);
  }
  return "";
}

// Makes ~/Papers the helper's documents folder, where its chooser then opens, and
// returns its path: a folder nothing but the saves writes to.
std::string papers_folder(const Helper &h) {
  mkdir((h.home + "/.config").c_str(), 0700);
  mkdir((h.home + "/Papers").c_str(), 0700);
  write_file(h.home + "/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  return h.home + "/Papers";
}

// The width of a window and of the screen, in pixels.
int window_width(const std::string &window) {
  std::string geometry = run({"/usr/bin/xdotool", "getwindowgeometry", "--shell", window});
  size_t at = geometry.find("WIDTH=");
  return at == std::string::npos ? -1 : atoi(geometry.c_str() + at + 6);
}
int screen_width() { return atoi(run({"/usr/bin/xdotool", "getdisplaygeometry"}).c_str()); }

void save_typed_path(const Bytes &doc) {
  Helper h;
  TempDir target_dir;
  std::string target = target_dir.path + "/typed.pdf";
  h.send(conversation("sendfile", "offered.pdf", doc));
  std::string w = type_path(target);
  ASSERT_FALSE(w.empty()) << h.err_text();
  press(w, {"Return"});
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  ASSERT_TRUE(file_exists(target));
  EXPECT_EQ(read_file(target), as_string(doc));
  EXPECT_EQ(list_dir(target_dir.path), std::vector<std::string>{"typed.pdf"});
}

TEST(SaveDialog, TypedPathGetsExactlyTheDocument) { save_typed_path(sample_document(3 << 20, 51)); }

TEST(SaveDialog, EmptyDocumentGivesAnEmptyFile) { save_typed_path(Bytes()); }

TEST(SaveDialog, NameFieldShowsTheSuggestedNameWithItsSpaces) {
  Helper h;
  h.send(conversation("sendfile", "My Report 7.pdf", sample_document(100)));
  std::string w = wait_window("Save File");
  ASSERT_FALSE(w.empty());
  press(w, {"ctrl+a"});
  EXPECT_EQ(primary_selection(), "My Report 7.pdf");
  press(w, {"Escape"});
  ASSERT_TRUE(h.wait_messages(2));
}

TEST(SaveDialog, GermanDesktopGetsTheGermanTitle) {
  Helper h({"LANG=de_DE.UTF-8"});
  h.send(conversation("sendfile", "Brief.pdf", sample_document(100)));
  ASSERT_TRUE(answer_dialog("Datei speichern", "Escape")) << h.err_text();
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
}

TEST(SaveDialog, ReturnOnTheSuggestedNameSavesInTheHomeFolder) {
  Helper h;
  Bytes doc = sample_document(10000, 52);
  h.send(conversation("sendfile", "My Report 7.pdf", doc));
  ASSERT_TRUE(answer_dialog("Save File", "Return")) << h.err_text();
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(read_file(h.home + "/My Report 7.pdf"), as_string(doc));
}

TEST(SaveDialog, ReturnOnTheSuggestedNameSavesInTheDocumentsFolder) {
  Helper h;
  papers_folder(h);
  Bytes doc = sample_document(10000, 53);
  h.send(conversation("sendfile", "letter.pdf", doc));
  ASSERT_TRUE(answer_dialog("Save File", "Return")) << h.err_text();
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(read_file(h.home + "/Papers/letter.pdf"), as_string(doc));
}

TEST(SaveDialog, CancelAndEscapeWriteNothing) {
  Helper h;
  std::vector<std::string> before = list_dir(h.home);
  h.send(conversation("sendfile", "cancelled.pdf", sample_document(100)));
  std::string w = wait_window("Save File");
  ASSERT_FALSE(w.empty());
  // Cancel by its mnemonic, as a keyboard user would.
  press(w, {"alt+c"});
  ASSERT_TRUE(h.wait_messages(2));
  h.send(conversation("sendfile", "escaped.pdf", sample_document(100)));
  ASSERT_TRUE(answer_dialog("Save File", "Escape"));
  ASSERT_TRUE(h.wait_messages(4));
  // The toolkit may keep its own settings in hidden folders; no document appears.
  EXPECT_EQ(run({"/usr/bin/find", h.home, "-name", "*.pdf"}), "");
  std::vector<std::string> visible;
  for (const std::string &name : list_dir(h.home))
    if (name[0] != '.' && name != "VANDREL") visible.push_back(name);
  EXPECT_EQ(visible, before);
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty()) << "the waiting document is gone";
  EXPECT_EQ(h.count_err("vandrel: cannot save"), 0u);
}

TEST(SaveDialog, ExistingFileIsReplacedOnlyAfterConfirmation) {
  Helper h;
  TempDir dir;
  std::string target = dir.path + "/existing.pdf";
  write_file(target, "the old contents");
  chmod(target.c_str(), 0640);
  Bytes doc = sample_document(50000, 54);

  // First declined: the file stays as it was.
  h.send(conversation("sendfile", "new.pdf", doc));
  std::string chooser = type_path(target);
  ASSERT_FALSE(chooser.empty());
  press(chooser, {"Return"});
  std::string confirm = wait_other_window(h.proc.pid, chooser);
  ASSERT_FALSE(confirm.empty()) << "no overwrite confirmation";
  EXPECT_EQ(read_file(target), "the old contents");
  press(confirm, {"Escape"});
  ASSERT_TRUE(wait_window_id_gone(confirm));
  press(chooser, {"Escape"});
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(read_file(target), "the old contents");

  // Then confirmed: replaced whole, permissions kept.
  h.send(conversation("sendfile", "new.pdf", doc));
  chooser = type_path(target);
  press(chooser, {"Return"});
  confirm = wait_other_window(h.proc.pid, chooser);
  ASSERT_FALSE(confirm.empty());
  EXPECT_EQ(read_file(target), "the old contents");
  press(confirm, {"Return"});
  ASSERT_TRUE(h.wait_messages(4)) << h.err_text();
  EXPECT_EQ(read_file(target), as_string(doc));
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"existing.pdf"});
}

// A small file system mounted for one test, taken away whatever the test's outcome.
struct SmallMount {
  std::string path;
  bool mounted = false;
  explicit SmallMount(const std::string &where, const std::string &size = "64k") : path(where) {
    mkdir(path.c_str(), 0755);
    mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallMount() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
  }
};

TEST(SaveDialog, FailedSaveIsShownThenTheChooserComesBackUntilSaved) {
  TempDir dir;
  SmallMount small(dir.path + "/small");
  if (!small.mounted) GTEST_SKIP() << "cannot mount a small file system here: " << strerror(errno);
  // A path far wider than the screen when written out in one line.
  std::string folder = small.path + "/" + std::string(200, 'f');
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::string target = folder + "/kept.pdf";
  write_file(target, "precious");

  Helper h;
  Bytes doc = sample_document(400000, 55);
  h.send(conversation("sendfile", "big.pdf", doc));
  std::string chooser = type_path(target);
  ASSERT_FALSE(chooser.empty());
  press(chooser, {"Return"});
  std::string confirm = wait_other_window(h.proc.pid, chooser);
  ASSERT_FALSE(confirm.empty());
  press(confirm, {"Return"});
  // The error is shown inside the same section: no "restorefullscreen" yet.
  ASSERT_TRUE(h.wait_err("vandrel: cannot save " + target + ": No space left on device\n"))
      << h.err_text();
  ASSERT_TRUE(wait_window_id_gone(chooser));
  std::string error = wait_window("Save File");
  ASSERT_FALSE(error.empty());
  EXPECT_LE(window_width(error), screen_width());
  EXPECT_EQ(h.messages(), std::vector<std::string>{"removefullscreen"});
  EXPECT_EQ(read_file(target), "precious");
  EXPECT_EQ(list_dir(folder), std::vector<std::string>{"kept.pdf"});
  press(error, {"Return"});
  ASSERT_TRUE(wait_window_id_gone(error));

  // The chooser is back with the same name in the same folder: once there is room,
  // accepting it as it stands saves there.
  chooser = wait_window("Save File");
  ASSERT_FALSE(chooser.empty());
  press(chooser, {"ctrl+a"});
  EXPECT_EQ(primary_selection(), "kept.pdf");
  ASSERT_EQ(mount("tmpfs", small.path.c_str(), "tmpfs", MS_REMOUNT, "size=4m"), 0)
      << strerror(errno);
  press(chooser, {"Return"});
  confirm = wait_other_window(h.proc.pid, chooser);
  ASSERT_FALSE(confirm.empty());
  press(confirm, {"Return"});
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  EXPECT_EQ(read_file(target), as_string(doc));
  EXPECT_EQ(list_dir(folder), std::vector<std::string>{"kept.pdf"});
  EXPECT_EQ(h.count_err("vandrel: cannot save"), 1u);
}

TEST(SaveDialog, LargeDocumentIsSavedWholeAtHomeAndOnAnotherFileSystem) {
  TempDir dir;
  SmallMount other(dir.path + "/other", "48m");
  if (!other.mounted) GTEST_SKIP() << "cannot mount a file system here: " << strerror(errno);
  Helper h;
  std::string papers = papers_folder(h);
  Bytes doc = sample_document(40 << 20, 56);
  h.send(conversation("sendfile", "large.pdf", doc));
  ASSERT_TRUE(answer_dialog("Save File", "Return")) << h.err_text();
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  h.send(conversation("sendfile", "large.pdf", doc));
  std::string chooser = type_path(other.path + "/large.pdf");
  ASSERT_FALSE(chooser.empty());
  press(chooser, {"Return"});
  ASSERT_TRUE(h.wait_messages(4)) << h.err_text();
  EXPECT_TRUE(read_file(papers + "/large.pdf") == as_string(doc));
  EXPECT_TRUE(read_file(other.path + "/large.pdf") == as_string(doc));
  EXPECT_EQ(list_dir(papers), std::vector<std::string>{"large.pdf"});
  EXPECT_EQ(list_dir(other.path), std::vector<std::string>{"large.pdf"});
  EXPECT_EQ(h.count_err("vandrel: cannot save"), 0u);
}

TEST(SaveDialog, HostNamesAcceptedAsSuggestedSaveInsideTheShownFolder) {
  struct Case {
    std::string sent, saved;
  };
  const Case cases[] = {
      {"../x.pdf", "_x.pdf"},
      {"a/b.pdf", "a_b.pdf"},
      {"R\xe9sum\xe9 \x80.pdf", "R\xc3\xa9sum\xc3\xa9 \xe2\x82\xac.pdf"},  // Windows-1252
  };
  Helper h;
  std::string papers = papers_folder(h);
  std::vector<std::string> expected;
  size_t n = 0;
  for (const Case &c : cases) {
    Bytes doc = sample_document(20000, static_cast<unsigned>(60 + n));
    h.send(conversation("sendfile", c.sent, doc));
    ASSERT_TRUE(answer_dialog("Save File", "Return")) << h.err_text();
    ASSERT_TRUE(h.wait_messages(2 * ++n)) << h.err_text();
    EXPECT_EQ(read_file(papers + "/" + c.saved), as_string(doc)) << c.saved;
    expected.push_back(c.saved);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(list_dir(papers), expected);
  EXPECT_FALSE(file_exists(h.home + "/x.pdf"));
  EXPECT_EQ(h.count_err("vandrel: cannot save"), 0u);
}

TEST(SaveDialog, ExistingFileWithA250ByteNameIsReplaced) {
  Helper h;
  std::string papers = papers_folder(h);
  std::string name = std::string(246, 'r') + ".pdf";
  write_file(papers + "/" + name, "the old contents");
  Bytes doc = sample_document(30000, 57);
  h.send(conversation("sendfile", name, doc));
  std::string chooser = wait_window("Save File");
  ASSERT_FALSE(chooser.empty());
  press(chooser, {"Return"});
  std::string confirm = wait_other_window(h.proc.pid, chooser);
  ASSERT_FALSE(confirm.empty()) << "no overwrite confirmation";
  press(confirm, {"Return"});
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  EXPECT_EQ(read_file(papers + "/" + name), as_string(doc));
  EXPECT_EQ(list_dir(papers), std::vector<std::string>{name});
  EXPECT_EQ(h.count_err("vandrel: cannot save"), 0u);
}

// Another user's link in a shared folder, to a file of the person's or to one that
// does not exist yet: the save is refused like any failed save and the chooser comes
// back; the person's files stay as they were.
TEST(SaveDialog, AnotherUsersLinkInASharedFolderIsRefused) {
  Helper h;
  TempDir dir;
  std::string shared = shared_folder(dir), mine = h.home + "/.bashrc";
  ASSERT_FALSE(shared.empty());
  write_file(mine, "the person's");
  std::string planted = shared + "/report.pdf", dangling = shared + "/notes.txt";
  ASSERT_EQ(symlink(mine.c_str(), planted.c_str()), 0);
  ASSERT_EQ(symlink((h.home + "/authorized_keys").c_str(), dangling.c_str()), 0);
  ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
  ASSERT_EQ(lchown(dangling.c_str(), 65534, 65534), 0);
  h.send(conversation("sendfile", "report.pdf", sample_document(3000, 58)));
  std::string chooser = type_path(planted);
  ASSERT_FALSE(chooser.empty());
  press(chooser, {"Return"});
  std::string confirm = wait_other_window(h.proc.pid, chooser);
  ASSERT_FALSE(confirm.empty()) << "no overwrite confirmation";
  press(confirm, {"Return"});
  ASSERT_TRUE(h.wait_err("vandrel: cannot save " + planted + ": Permission denied\n"))
      << h.err_text();
  ASSERT_TRUE(answer_dialog("Save File", "Return"));
  // The chooser is back: the other link is refused the same way.
  chooser = type_path(dangling);
  ASSERT_FALSE(chooser.empty());
  press(chooser, {"Return"});
  confirm = wait_other_window(h.proc.pid, chooser);
  if (!confirm.empty()) press(confirm, {"Return"});
  ASSERT_TRUE(h.wait_err("vandrel: cannot save " + dangling + ": Permission denied\n"))
      << h.err_text();
  ASSERT_TRUE(answer_dialog("Save File", "Return"));
  ASSERT_TRUE(answer_dialog("Save File", "Escape"));
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  EXPECT_EQ(read_file(mine), "the person's");
  EXPECT_FALSE(file_exists(h.home + "/authorized_keys"));
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
}

// A spool folder that fills up while the document arrives: it waits in TMPDIR instead
// and is saved whole.
TEST(SaveDialog, DocumentMovesToTmpdirWhenTheSpoolFolderFillsUp) {
  TempDir dir, tmp;
  SmallMount home(dir.path + "/home", "256k");
  if (!home.mounted) GTEST_SKIP() << "cannot mount a small file system here: " << strerror(errno);
  Helper h({"TMPDIR=" + tmp.path}, home.path);
  Bytes doc = sample_document(3 << 20, 59);
  h.send(conversation("sendfile", "big.pdf", doc));
  std::string chooser = type_path(dir.path + "/saved.pdf");
  ASSERT_FALSE(chooser.empty()) << h.err_text();
  press(chooser, {"Return"});
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  EXPECT_TRUE(read_file(dir.path + "/saved.pdf") == as_string(doc));
  EXPECT_TRUE(list_dir(home.path + "/VANDREL").empty());
  EXPECT_TRUE(list_dir(tmp.path + "/vandrel-" + std::to_string(getuid())).empty());
  EXPECT_EQ(h.count_err("vandrel: cannot"), 0u) << h.err_text();
}

TEST(SaveDialog, SendfileTakesTwoFramesAndTwoTraceLines) {
  Helper h;
  h.send(conversation("sendfile", "two.pdf", sample_document(100)));
  ASSERT_TRUE(answer_dialog("Save File", "Escape"));
  h.send(command_frame("after"));
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(h.wait_messages(4));
  EXPECT_EQ(h.count_err("buf="), 3u) << h.err_text();
  EXPECT_EQ(h.count_err("buf=two.pdfx!2#$document, len=1124\n"), 1u) << h.err_text();
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
}

}  // namespace
