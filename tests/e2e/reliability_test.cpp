// Faults and load: the helper never dies, leaks or corrupts the channel.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <random>

#include "channel/inflate.h"
#include "channel/wire.h"
#include "harness.h"

namespace {

std::string as_string(const Bytes &b) { return std::string(b.begin(), b.end()); }

// The frames the helper takes after a command frame with this body: decoded the
// way the helper decodes it, so a malformed body still leaves the stream framed.
int frames_following(const Bytes &body) {
  FILE *src = fmemopen(const_cast<unsigned char *>(body.data()), body.size(), "r");
  char *unco = nullptr;
  size_t unlen = 0;
  FILE *dest = open_memstream(&unco, &unlen);
  if (src && !body.empty()) inf(src, dest);
  if (src) fclose(src);
  fclose(dest);
  char word[kTextSize];
  DecodeStatus st = decode_command_word(reinterpret_cast<unsigned char *>(unco), unlen, word);
  free(unco);
  if (st == DecodeTooShort) return 0;
  return frames_after(classify_command(word));
}

Bytes random_bytes(std::mt19937 &rng, size_t n) {
  Bytes b(n);
  for (auto &c : b) c = static_cast<unsigned char>(rng());
  return b;
}

// One random, often malformed, but whole conversation.
Bytes random_conversation(std::mt19937 &rng) {
  static const char *words[] = {"default",  "adobeprintdialog", "sendfile", "zap",
                                "defaultx", "sendfil2",         "print",    "",
                                "adobe"};
  std::string word = words[rng() % 9];
  if (rng() % 4 == 0) word += std::string(rng() % 900, 'w');  // oversized text
  Bytes payload = to_bytes("0123456789abc" + word + "x!2#$");
  Bytes body;
  switch (rng() % 6) {
    case 0:  // random bytes, not gzip
      body = random_bytes(rng, rng() % 200);
      break;
    case 1:  // a cut gzip stream
      body = gzip_bytes(payload);
      body.resize(rng() % body.size());
      break;
    case 2:  // too short to hold a word
      body = gzip_bytes(random_bytes(rng, rng() % 13));
      break;
    default:
      body = gzip_bytes(payload);
  }
  Bytes c = frame(body);
  int following = frames_following(body);
  if (following == 2) append(c, frame(random_bytes(rng, rng() % 100)));
  if (following >= 1) {
    Bytes file;
    switch (rng() % 4) {
      case 0:  // header too short
        file = gzip_bytes(random_bytes(rng, rng() % 1024));
        break;
      case 1:  // cut stream
        file = gzip_bytes(file_payload("cut.pdf", random_bytes(rng, 5000)));
        file.resize(rng() % file.size());
        break;
      case 2:  // header text without a NUL or separator
        file = gzip_bytes(Bytes(2000, 'h'));
        break;
      default:
        file = gzip_bytes(file_payload("random " + std::to_string(rng() % 100) + ".pdf",
                                       random_bytes(rng, rng() % 3000)));
    }
    append(c, frame(file));
  }
  return c;
}

TEST(Reliability, SurvivesManyMalformedConversations) {
  Helper h;
  AutoAnswer answers(h.proc.pid);
  std::mt19937 rng(20261208);
  const int kConversations = 150;
  for (int i = 0; i < kConversations; ++i) h.send(random_conversation(rng));
  // The next good conversation is still understood.
  Bytes doc = sample_document(20000, 61);
  h.send(conversation("default", "after the storm.pdf", doc));
  PrintedJob job = wait_job_with_data(as_string(doc), Seconds(600));
  EXPECT_NE(job.id, 0) << h.err_text().substr(0, 4000);
  EXPECT_TRUE(h.alive());
  EXPECT_EQ(h.count_err("pipe  read"), 0u);
  std::string out = h.out_text();
  EXPECT_EQ(out.size() % 512, 0u);
  std::vector<std::string> words = h.messages();
  for (size_t i = 0; i < words.size(); ++i)
    EXPECT_EQ(words[i], i % 2 ? "restorefullscreen" : "removefullscreen") << "message " << i;
  // Every dialog before the good job has been answered, so no spool file remains.
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
}

TEST(Reliability, TwoHundredSilentJobsArriveWholeWithFlatMemory) {
  Helper h;
  const int kJobs = 200;
  long rss_after_50 = 0;
  std::vector<std::string> docs;
  for (int i = 0; i < kJobs; ++i) {
    Bytes doc =
        sample_document(30000 + static_cast<size_t>(i) * 97, 1000 + static_cast<unsigned>(i));
    docs.push_back(as_string(doc));
    h.send(conversation("default", "load " + std::to_string(i) + ".pdf", doc));
    if (i == 49) {
      ASSERT_TRUE(h.wait_err("request id is", 50, Seconds(600))) << h.err_text().substr(0, 2000);
      rss_after_50 = h.resident_kib();
    }
  }
  ASSERT_TRUE(h.wait_err("request id is", kJobs, Seconds(1200)));
  // The last job's spool file goes once lp has returned.
  auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!list_dir(h.home + "/VANDREL").empty() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(50ms);
  long rss_after_all = h.resident_kib();
  for (int i = 0; i < kJobs; ++i)
    ASSERT_NE(wait_job_with_data(docs[static_cast<size_t>(i)]).id, 0) << "job " << i;
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  // No zombie child is left behind.
  std::string children = run({"/usr/bin/ps", "--ppid", std::to_string(h.proc.pid), "-o", "stat="});
  EXPECT_EQ(children.find('Z'), std::string::npos) << children;
  fprintf(stderr, "resident memory after 50 jobs %ld KiB, after %d jobs %ld KiB\n", rss_after_50,
          kJobs, rss_after_all);
  EXPECT_LT(rss_after_all - rss_after_50, 4 * 1024L);
  EXPECT_TRUE(h.alive());
}

TEST(Reliability, HomeUnsetUsesTheUserDatabase) {
  Helper h({}, "-");
  Bytes doc = sample_document(3000, 62);
  std::string name = "vandrel-no-home-" + std::to_string(getpid()) + ".pdf";
  h.send(conversation("default", name, doc));
  EXPECT_NE(wait_job_with_data(as_string(doc)).id, 0) << h.err_text();
  EXPECT_EQ(h.count_err("vandrel: cannot write spool file"), 0u);
}

// The print server gone when Print is pressed: the person is told, as for a silent
// job, and later jobs print once it is back.
TEST(Reliability, PrintServerStoppedDuringAPrintDialogJob) {
  Helper h({}, "", {}, {"--report"});
  size_t mark = print_server_log_mark();
  h.send(conversation("adobeprintdialog", "Interrupted.pdf", sample_document(500000, 63)));
  std::string w = wait_window("Vandrel Dialog");
  ASSERT_FALSE(w.empty());
  // Once the dialog has found the printer, the server is taken away.
  ASSERT_TRUE(wait_print_dialog_ready(mark, kRawQueue)) << h.err_text();
  stop_print_server();
  ASSERT_TRUE(confirm_print_window(w)) << h.err_text();
  ASSERT_TRUE(answer_dialog("Not Printed", "Escape")) << h.err_text();
  EXPECT_TRUE(
      h.wait_err("vandrel: Interrupted.pdf was not printed: The print server is not running.\n"))
      << h.err_text();
  ASSERT_TRUE(h.wait_messages(4)) << h.err_text();
  EXPECT_EQ(h.words(), (std::vector<std::string>{"ready", "removefullscreen", "restorefullscreen",
                                                 "job 1 failed"}));
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  start_print_server();
  Bytes doc = sample_document(2000, 64);
  h.send(conversation("default", "after.pdf", doc));
  EXPECT_NE(wait_job_with_data(as_string(doc)).id, 0) << h.err_text();
  EXPECT_TRUE(h.alive());
}

// A document whose gzip stream is cut short is never printed or saved as if it were
// whole; a dialog job says so instead of showing its dialog.
TEST(Reliability, CutDocumentIsNeitherPrintedNorSaved) {
  TempDir tmp;
  Helper h({"TMPDIR=" + tmp.path});
  wait_print_server_idle();
  size_t jobs_before = job_count();
  Bytes cut = gzip_bytes(file_payload("cut.pdf", sample_document(300000, 91)));
  cut.resize(cut.size() / 2);
  h.send(command_frame("default"));
  h.send(skipped_frame());
  h.send(frame(cut));
  for (const char *word : {"adobeprintdialog", "sendfile"}) {
    SCOPED_TRACE(word);
    size_t before = h.messages().size();
    h.send(command_frame(word));
    if (std::string(word) == "adobeprintdialog") h.send(skipped_frame());
    h.send(frame(cut));
    ASSERT_TRUE(h.wait_messages(before + 1)) << h.err_text();
    // The message stands in for the dialog, inside the same pair of messages.
    std::string w = wait_window(std::string(word) == "sendfile" ? "Save File" : "Vandrel Dialog");
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(h.messages().size(), before + 1);
    press(w, {"Return"});
    ASSERT_TRUE(h.wait_messages(before + 2)) << h.err_text();
  }
  EXPECT_EQ(h.count_err("vandrel: cannot print cut.pdf: the document did not arrive whole\n"), 2u)
      << h.err_text();
  EXPECT_EQ(h.count_err("vandrel: cannot save cut.pdf: the document did not arrive whole\n"), 1u)
      << h.err_text();
  EXPECT_EQ(run({"/usr/bin/find", h.home, tmp.path, "-name", "*cut*"}), "");
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  EXPECT_EQ(job_count(), jobs_before);
  // A document to save that the host cuts off mid-frame leaves nothing anywhere.
  Bytes whole = file_frame("gone.pdf", sample_document(2000000, 92));
  h.send(command_frame("sendfile"));
  h.send(Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
  h.close_input();
  ASSERT_TRUE(h.wait_err("pipe  read: Success\n")) << h.err_text();
  // One line says where the input ended, before the plain end of input.
  EXPECT_NE(h.err_text().find("vandrel: the input ended inside job "), std::string::npos)
      << h.err_text();
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  EXPECT_TRUE(list_dir(tmp.path).empty());
}

}  // namespace

namespace {

// The helper's own private folder under tmp.
std::string own_folder(const TempDir &tmp) {
  return tmp.path + "/vandrel-" + std::to_string(getuid());
}

// A host (or a session that ends) stopping the helper with a dialog open: the dialog
// closes as if cancelled, the host gets its "restorefullscreen", the process ends as
// the signal ends it, and no document is left anywhere.
TEST(Reliability, StopSignalWithADialogOpenLeavesNothingBehind) {
  struct Case {
    const char *word, *title;
    int sig;
    bool twice;  // a second signal ends the helper at once
  };
  const Case cases[] = {{"adobeprintdialog", "Vandrel Dialog", SIGTERM, false},
                        {"sendfile", "Save File", SIGINT, false},
                        {"notice", "Information", SIGHUP, false},
                        {"sendfile", "Save File", SIGTERM, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.word);
    TempDir tmp;
    Helper h({"TMPDIR=" + tmp.path}, "", {}, {"--report"});
    h.send(conversation(c.word, "open.pdf", sample_document(200000, 93)));
    ASSERT_FALSE(wait_window(c.title).empty()) << h.err_text();
    h.signal(c.sig);
    if (c.twice) h.signal(c.sig);
    int status = h.wait_exit();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << status << h.err_text();
    const std::string outcome = c.word[0] == 'n' ? "job 1 unsupported" : "job 1 cancelled";
    std::vector<std::string> m = h.words();
    // Even a helper ended at once gives the host its full-screen back.
    if (c.twice) m.resize(std::min<size_t>(m.size(), 3));
    std::vector<std::string> expected = {"ready", "removefullscreen", "restorefullscreen"};
    if (!c.twice) expected.insert(expected.end(), {outcome, "end"});
    EXPECT_EQ(m, expected);
    EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
    EXPECT_TRUE(list_dir(own_folder(tmp)).empty());
  }
}

// A host that has closed its end of the helper's output: the first control message
// that cannot be delivered ends the helper as a stop signal would, with nothing left
// and no dialog shown to nobody.
TEST(Reliability, ClosedOutputEndsTheHelperCleanly) {
  const std::vector<std::string> no_reader = {
      "/usr/bin/perl", "-e", "pipe(my $r, my $w); close $r; open(STDOUT, '>&', $w); exec @ARGV"};
  Helper h({}, "", no_reader);
  h.send(conversation("adobeprintdialog", "to nobody.pdf", sample_document(5000, 96)));
  int status = h.wait_exit();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status << h.err_text();
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  EXPECT_TRUE(wait_window("Vandrel Dialog", Seconds(1)).empty());
}

// The X display going away (a logout): the helper ends as the toolkit ends it, but
// not before its files are gone, the host is asked to restore full-screen and every
// job is reported.
TEST(Reliability, DisplayGoingAwayEndsTheHelperWithoutItsFiles) {
  std::string display;
  pid_t xvfb = start_xvfb("1280x1024x24", &display);
  Helper h({"DISPLAY=" + display}, "", {}, {"--report"});
  h.send(conversation("adobeprintdialog", "logout.pdf", sample_document(5000, 99)));
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  EXPECT_EQ(list_dir(h.home + "/VANDREL"), std::vector<std::string>{"logout.pdf"});
  kill(xvfb, SIGTERM);
  waitpid(xvfb, nullptr, 0);
  int status = h.wait_exit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << h.err_text();
  // The job whose dialog was up is reported, and "end" tells the host nothing is left.
  EXPECT_EQ(h.words(), (std::vector<std::string>{"ready", "removefullscreen", "restorefullscreen",
                                                 "job 1 failed", "end"}));
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  EXPECT_EQ(h.count_err("vandrel: the X display went away\n"), 1u) << h.err_text();
}

// A print server that takes connections and never answers.
struct SilentPrintServer {
  TempDir dir;
  std::string path = dir.path + "/silent.sock";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  SilentPrintServer() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(fd, 8);  // connections are taken, never answered
  }
  ~SilentPrintServer() { close(fd); }
};

// Whether process pid has ended (it may linger as a zombie of whoever adopted it).
bool process_gone(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
}

// The print command of the helper h once it runs.
pid_t wait_print_command(Helper &h) {
  auto until = std::chrono::steady_clock::now() + kDeadline;
  pid_t lp = 0;
  while (lp <= 0 && std::chrono::steady_clock::now() < until) {
    lp = atoi(run({"/usr/bin/ps", "--ppid", std::to_string(h.proc.pid), "-o", "pid="}).c_str());
    if (lp <= 0) std::this_thread::sleep_for(20ms);
  }
  return lp;
}

// A print server that never answers: a silent job is told so in bounded time; a stop
// signal meanwhile still gives the job its report and "end", and a second one ends the
// helper at once. Either way lp does not outlive the helper or its job.
TEST(Reliability, PrintServerThatNeverAnswersIsToldAndLpNeverOutlivesTheHelper) {
  SilentPrintServer server;
  Helper told({"CUPS_SERVER=" + server.path}, "", {}, {"--report"});
  Helper stopped({"CUPS_SERVER=" + server.path}, "", {}, {"--report"});
  Helper hurried({"CUPS_SERVER=" + server.path});
  told.send(conversation("default", "told.pdf", sample_document(3000, 93)));
  stopped.send(conversation("default", "stopped.pdf", sample_document(3000, 94)));
  hurried.send(conversation("default", "hurried.pdf", sample_document(3000, 95)));
  pid_t lp_told = wait_print_command(told), lp_stopped = wait_print_command(stopped),
        lp_hurried = wait_print_command(hurried);
  ASSERT_GT(lp_told, 0);
  ASSERT_GT(lp_stopped, 0);
  ASSERT_GT(lp_hurried, 0);
  stopped.signal(SIGTERM);
  hurried.signal(SIGTERM);
  EXPECT_EQ(hurried.wait_exit(Seconds(2)), -1) << "the job being handed over is waited for";
  hurried.signal(SIGTERM);
  int status = hurried.wait_exit();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(list_dir(hurried.home + "/VANDREL").empty());

  std::string message = wait_window("Not Printed");
  ASSERT_FALSE(message.empty()) << told.err_text();
  EXPECT_TRUE(
      told.wait_err("vandrel: told.pdf was not printed: The print server does not answer.\n"))
      << told.err_text();
  press(message, {"Escape"});
  told.close_input();
  ASSERT_TRUE(told.wait_messages(5)) << told.err_text();
  EXPECT_EQ(told.words(), (std::vector<std::string>{"ready", "removefullscreen",
                                                    "restorefullscreen", "job 1 failed", "end"}));

  status = stopped.wait_exit();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(stopped.words(), (std::vector<std::string>{"ready", "job 1 failed", "end"}))
      << stopped.err_text();
  for (pid_t lp : {lp_told, lp_stopped, lp_hurried}) {
    auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!process_gone(lp) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(process_gone(lp)) << lp;
  }
}

// A helper killed outright leaves its document; the next helper reclaims it as soon
// as it starts, wherever it was.
TEST(Reliability, LeftoverOfAKilledHelperGoesWhenTheNextOneStarts) {
  TempDir tmp;
  const std::string home = "/nonexistent/vandrel-home";  // documents to save wait in TMPDIR
  {
    Helper dead({"TMPDIR=" + tmp.path}, home);
    dead.send(conversation("sendfile", "kept.pdf", sample_document(50000, 95)));
    ASSERT_FALSE(wait_window("Save File").empty()) << dead.err_text();
    EXPECT_EQ(list_dir(own_folder(tmp)).size(), 1u);
  }  // killed here
  ASSERT_EQ(list_dir(own_folder(tmp)).size(), 1u);
  Helper next({"TMPDIR=" + tmp.path}, home);
  next.send(command_frame("fence"));
  ASSERT_TRUE(next.wait_messages(1)) << next.err_text();
  EXPECT_TRUE(list_dir(own_folder(tmp)).empty());
  ASSERT_TRUE(answer_dialog("Information", "Return"));
}

}  // namespace
