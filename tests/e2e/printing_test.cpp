// Silent printing: the document reaches the print server through lp, byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

std::string as_string(const Bytes &b) { return std::string(b.begin(), b.end()); }

// Sends an unknown command and closes its notice: once it is shown, everything the
// helper was sent before has been handled.
void fence(Helper &h) {
  size_t before = h.messages().size();
  h.send(command_frame("fence"));
  ASSERT_TRUE(answer_dialog("Information", "Return")) << h.err_text();
  ASSERT_TRUE(h.wait_messages(before + 2));
}

TEST(Printing, DefaultJobArrivesWholeAndLeavesNoSpoolFile) {
  Helper h;
  Bytes doc = sample_document(200000, 7);
  h.send(conversation("default", "Quarterly report.pdf", doc));
  fence(h);
  PrintedJob job = wait_job_with_data(as_string(doc));
  ASSERT_NE(job.id, 0) << h.err_text();
  EXPECT_EQ(job.name, "Quarterly_report.pdf");
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  // No trace line for the file frame of a silent job.
  EXPECT_EQ(h.count_err("buf=Quarterly"), 0u) << h.err_text();
}

TEST(Printing, ControlChannelCarriesOnlyControlMessages) {
  Helper h;
  h.send(conversation("default", "quiet.pdf", sample_document(1000)));
  fence(h);
  // lp's "request id is ..." must not reach the host's channel.
  EXPECT_EQ(h.out_text().size(), 1024u);
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  EXPECT_TRUE(h.wait_err("request id is")) << "lp's own output goes to standard error";
}

TEST(Printing, HomeWithSpacesPrints) {
  TempDir base;
  std::string home = base.path + "/my docs";
  mkdir(home.c_str(), 0700);
  Helper h({}, home);
  Bytes doc = sample_document(5000, 3);
  h.send(conversation("default", "a b.pdf", doc));
  fence(h);
  PrintedJob job = wait_job_with_data(as_string(doc));
  ASSERT_NE(job.id, 0) << h.err_text();
  EXPECT_EQ(job.name, "a_b.pdf");
  EXPECT_TRUE(list_dir(home + "/VANDREL").empty());
  EXPECT_FALSE(file_exists(base.path + "/my_docs"));
}

TEST(Printing, HostileNamesPrintWithoutTouchingAnythingOutside) {
  Helper h;
  // Something a bad name could hit: a file beside the spool folder.
  std::string victim = h.home + "/victim.pdf";
  write_file(victim, "keep me");
  std::vector<std::string> names = {
      "../victim.pdf", "../../etc-like", "/abs/path.pdf", "", ".", "..", "sub/dir/file.pdf"};
  for (size_t i = 0; i < names.size(); ++i)
    h.send(conversation("default", names[i],
                        sample_document(300 + i, 100 + static_cast<unsigned>(i))));
  fence(h);
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_NE(
        wait_job_with_data(as_string(sample_document(300 + i, 100 + static_cast<unsigned>(i)))).id,
        0)
        << "name " << names[i] << ": " << h.err_text();
  EXPECT_EQ(read_file(victim), "keep me");
  EXPECT_EQ(list_dir(h.home), (std::vector<std::string>{"VANDREL", "victim.pdf"}));
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
}

// A ~/VANDREL that cannot be the person's spool folder is left as it is: the jobs
// wait in a private folder of our own instead, said so once each, and print.
TEST(Printing, UnusableSpoolFolderIsLeftAloneAndJobsWaitInAFolderOfOurOwn) {
  TempDir base;
  std::string moved = base.path + "/bigger-disk";
  mkdir(moved.c_str(), 0700);
  write_file(moved + "/thesis.odt", "years of work");
  std::string linked = base.path + "/linked", file = base.path + "/file";
  mkdir(linked.c_str(), 0700);
  mkdir(file.c_str(), 0700);
  ASSERT_EQ(symlink(moved.c_str(), (linked + "/VANDREL").c_str()), 0);
  write_file(file + "/VANDREL", "a file of the person's");
  const std::string homes[] = {"/nonexistent/vandrel-home", linked, file};
  for (const std::string &home : homes) {
    SCOPED_TRACE(home);
    TempDir tmp;
    Helper h({"TMPDIR=" + tmp.path}, home);
    Bytes doc1 = sample_document(1000, 21), doc2 = sample_document(1100, 22);
    h.send(conversation("default", "thesis.odt", doc1));
    h.send(conversation("adobeprintdialog", "nowhere2.pdf", doc2));
    ASSERT_TRUE(confirm_print_dialog()) << h.err_text();
    PrintedJob job = wait_job_with_data(as_string(doc1));
    EXPECT_EQ(job.name, "thesis.odt") << h.err_text();
    EXPECT_NE(wait_job_with_data(as_string(doc2)).id, 0) << h.err_text();
    std::string own = tmp.path + "/vandrel-" + std::to_string(getuid());
    EXPECT_EQ(h.count_err("; the document waits in " + own + " instead\n"), 2u) << h.err_text();
    ASSERT_TRUE(h.wait_err("Deleting file: " + own + "/nowhere2.pdf\n")) << h.err_text();
    EXPECT_TRUE(list_dir(own).empty());
  }
  EXPECT_EQ(list_dir(moved), std::vector<std::string>{"thesis.odt"});
  EXPECT_EQ(read_file(moved + "/thesis.odt"), "years of work");
  EXPECT_EQ(read_file(file + "/VANDREL"), "a file of the person's");
}

TEST(Printing, OverlongNamePrintsUnderItsShortenedSpoolName) {
  Helper h;
  // 294 bytes, over the 255 of one file name. The spool name keeps the extension and
  // 251 bytes before it, less the first byte of the "é" that the cut would split.
  std::string before_cut = std::string(150, 'w') + std::string(75, ' ') + std::string(25, 'z');
  std::string name = before_cut;
  for (int i = 0; i < 20; ++i) name += "\xc3\xa9";
  name += ".pdf";
  Bytes doc = sample_document(3000, 17);
  h.send(conversation("default", name, doc));
  fence(h);
  PrintedJob job = wait_job_with_data(as_string(doc));
  ASSERT_NE(job.id, 0) << h.err_text();
  EXPECT_EQ(job.name, std::string(150, 'w') + std::string(75, '_') + std::string(25, 'z') + ".pdf");
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
}

TEST(Printing, OverlongSpoolPathIsRefused) {
  // A home so deep that even a shortened name does not fit a 511-byte path.
  TempDir base;
  std::string home = base.path + "/" + std::string(240, 'h');
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  Helper h({}, home, {}, {"--report"});
  wait_print_server_idle();
  size_t before = job_count();
  std::string name = std::string(296, 'n') + ".pdf";
  h.send(conversation("default", name, sample_document(100)));
  h.send(conversation("adobeprintdialog", name, sample_document(100)));
  // Each job says why it cannot be done, in a section of its own.
  ASSERT_TRUE(answer_dialog("Vandrel Dialog", "Return")) << h.err_text();
  ASSERT_TRUE(answer_dialog("Vandrel Dialog", "Return")) << h.err_text();
  fence(h);
  EXPECT_EQ(h.count_err("vandrel: cannot write spool file"), 2u) << h.err_text();
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  EXPECT_EQ(job_count(), before);
  ASSERT_TRUE(h.wait_messages(10));
  EXPECT_EQ(h.messages(),
            (std::vector<std::string>{
                "ready 2 parent lead result reason", "removefullscreen", "restorefullscreen",
                "job 1 failed lead=vandrel-host: reason=not-kept", "removefullscreen",
                "restorefullscreen", "job 2 failed lead=vandrel-host: reason=not-kept",
                "removefullscreen", "restorefullscreen", "job 3 unsupported lead=vandrel-host:"}));
}

// The spool folder is the person's alone, whatever their umask; what they keep in
// it, and links planted there, are never touched: a job of the same name takes
// another one.
TEST(Printing, SpoolFolderIsPrivateAndWhatThePersonKeepsThereStays) {
  Helper h({}, "", {"/bin/sh", "-c", "umask 002; exec \"$0\""});
  std::string folder = h.home + "/VANDREL";
  mkdir(folder.c_str(), 0775);
  std::string target = h.home + "/target.txt";
  write_file(target, "not to be overwritten");
  ASSERT_EQ(symlink(target.c_str(), (folder + "/linked.pdf").c_str()), 0);
  write_file(folder + "/mine.pdf", "the person's own");
  Bytes doc = sample_document(4000, 11), doc2 = sample_document(4100, 12);
  h.send(conversation("default", "linked.pdf", doc));
  h.send(conversation("default", "mine.pdf", doc2));
  fence(h);
  EXPECT_EQ(wait_job_with_data(as_string(doc)).name, "linked-2.pdf") << h.err_text();
  EXPECT_EQ(wait_job_with_data(as_string(doc2)).name, "mine-2.pdf") << h.err_text();
  EXPECT_EQ(read_file(target), "not to be overwritten");
  EXPECT_EQ(read_file(folder + "/mine.pdf"), "the person's own");
  EXPECT_EQ(list_dir(folder), (std::vector<std::string>{"linked.pdf", "mine.pdf"}));
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(Printing, EmptyDocumentIsToldAsEmpty) {
  Helper h;
  h.send(conversation("default", "empty.pdf", Bytes()));
  ASSERT_TRUE(answer_dialog("Not Printed", "Escape")) << h.err_text();
  EXPECT_TRUE(h.wait_err("vandrel: empty.pdf was not printed: The document is empty.\n"))
      << h.err_text();
  fence(h);
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  EXPECT_TRUE(h.alive());
}

// Waits until the helper has closed its output: every job has its report.
bool wait_output_closed(Helper &h) {
  std::unique_lock<std::mutex> g(h.lock);
  return h.changed.wait_for(g, kDeadline, [&] { return h.out_closed; });
}

// A raw queue of the group's print server that refuses jobs while this lives: it
// rejects them, or refuses this user.
struct RefusingQueue {
  std::string name;
  RefusingQueue(const std::string &queue, bool deny_user) : name(queue) {
    std::string who = run({"/usr/bin/id", "-un"});
    run({"/usr/sbin/lpadmin", "-p", name, "-E", "-v", "file:///dev/null", "-m", "raw"});
    if (deny_user)
      run({"/usr/sbin/lpadmin", "-p", name, "-u", "deny:" + who.substr(0, who.find('\n'))});
    else
      run({"/usr/sbin/cupsreject", name});
  }
  ~RefusingQueue() { run({"/usr/sbin/lpadmin", "-x", name}); }
};

TEST(Printing, SilentJobThatCannotBeSubmittedIsToldAndReportedFailed) {
  RefusingQueue rejecting("vandrel-rejecting", false), denied("vandrel-denied", true);
  struct Case {
    std::vector<std::string> env;
    const char *why;
    const char *reason;  // the report's word for it
  } cases[] = {
      {{"PRINTER=vandrel-rejecting"},
       "The printer \"vandrel-rejecting\" is not accepting jobs.",
       "refused"},
      {{"PRINTER=vandrel-denied"},
       "You are not allowed to print on the printer \"vandrel-denied\".",
       "denied"},
      {{"CUPS_SERVER=/nonexistent/cups.sock"}, "The print server is not running.", "no-server"},
      {{"LPDEST=vandrel-nowhere"}, "The printer \"vandrel-nowhere\" does not exist.", "no-printer"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    Helper h(c.env, "", {}, {"--report"});
    h.send(conversation("default", "Silent one.pdf", sample_pdf(1, "silent")));
    std::string message = wait_window("Not Printed");
    ASSERT_FALSE(message.empty()) << h.err_text();
    EXPECT_TRUE(h.wait_err(std::string("vandrel: Silent one.pdf was not printed: ") + c.why))
        << h.err_text();
    // The document waits for the person's answer: a printer may yet be chosen.
    EXPECT_EQ(list_dir(h.home + "/VANDREL"), std::vector<std::string>{"Silent_one.pdf"});
    press(message, {"Escape"});
    h.close_input();
    ASSERT_TRUE(wait_output_closed(h)) << h.err_text();
    EXPECT_EQ(h.words(), (std::vector<std::string>{"ready", "removefullscreen", "restorefullscreen",
                                                   "job 1 failed", "end"}));
    EXPECT_EQ(h.messages()[3], std::string("job 1 failed lead=vandrel-host: reason=") + c.reason);
    EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  }
}

TEST(Printing, ChoosingAPrinterAfterAFailedSilentJobPrintsTheSameDocument) {
  RefusingQueue rejecting("vandrel-rejecting", false);
  Helper h({"PRINTER=vandrel-rejecting"}, "", {}, {"--report"});
  Bytes doc = sample_document(5000, 29);
  h.send(conversation("default", "Second chance.pdf", doc));
  size_t mark = print_server_log_mark();
  ASSERT_TRUE(answer_dialog("Not Printed", "alt+p")) << h.err_text();
  std::string w = wait_window("Vandrel Dialog");
  ASSERT_FALSE(w.empty()) << h.err_text();
  ASSERT_TRUE(wait_print_dialog_ready(mark, rejecting.name)) << h.err_text();
  // The rejecting default is greyed out: the raw queue, third in the list.
  press(w, {"Tab", "Home", "Down", "Down"});
  ASSERT_TRUE(confirm_print_window(w)) << h.err_text();
  PrintedJob job = wait_job_with_data(as_string(doc));
  ASSERT_NE(job.id, 0) << h.err_text();
  EXPECT_EQ(job.name, "Second chance.pdf");
  h.close_input();
  ASSERT_TRUE(wait_output_closed(h)) << h.err_text();
  // The message and the dialog share one section.
  EXPECT_EQ(h.words(), (std::vector<std::string>{"ready", "removefullscreen", "restorefullscreen",
                                                 "job 1 printed", "end"}));
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
}

TEST(Printing, DamagedDocumentThatThePrinterStopsIsToldAndReportedFailed) {
  Helper h({std::string("PRINTER=") + kFilteredQueue}, "", {}, {"--report"});
  Bytes whole = sample_pdf(2, "damaged");
  Bytes damaged(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
  h.send(conversation("default", "Damaged.pdf", damaged));
  EXPECT_TRUE(h.wait_err("request id is")) << h.err_text();
  std::string message = wait_window("Not Printed");
  ASSERT_FALSE(message.empty()) << h.err_text();
  EXPECT_TRUE(
      h.wait_err("vandrel: Damaged.pdf was not printed: The printer \"vandrel-ipp\" "
                 "stopped the job"))
      << h.err_text();
  press(message, {"Return"});
  h.close_input();
  ASSERT_TRUE(wait_output_closed(h)) << h.err_text();
  EXPECT_EQ(h.words(), (std::vector<std::string>{"ready", "removefullscreen", "restorefullscreen",
                                                 "job 1 failed", "end"}));
  EXPECT_NE(h.messages()[3].find(" reason=stopped"), std::string::npos) << h.messages()[3];
  EXPECT_NE(h.messages()[3].find(std::string(" queue=") + kFilteredQueue + " server-job="),
            std::string::npos)
      << h.messages()[3];
}

TEST(Printing, SilentJobThatPrintsShowsNothingAndIsReportedOnceDone) {
  Helper h({std::string("PRINTER=") + kFilteredQueue}, "", {}, {"--report"});
  h.send(conversation("default", "Fine.pdf", sample_pdf(2, "fine")));
  h.close_input();
  ASSERT_TRUE(wait_output_closed(h)) << h.err_text();
  EXPECT_EQ(h.words(), (std::vector<std::string>{"ready", "job 1 printed", "end"}));
  EXPECT_NE(printer_got("Fine.pdf"), "");
}

}  // namespace

namespace {

// A job the print server holds is reported queued at once and the person told where it
// waits; when it is cancelled there later, that is told too. lp words its request id
// in German here, and the job is followed all the same.
TEST(Printing, WaitingJobIsReportedQueuedAndItsLaterCancelIsTold) {
  const std::string queue = "vandrel-paused";
  run({"/usr/sbin/lpadmin", "-p", queue, "-E", "-v", "file:///dev/null", "-m", "raw"});
  run({"/usr/sbin/cupsdisable", queue});
  Helper h({"PRINTER=" + queue, "LANG=de_DE.UTF-8"}, "", {}, {"--report"});
  h.send(conversation("default", "Wartet.pdf", sample_pdf(1, "waits")));
  EXPECT_TRUE(
      h.wait_err("vandrel: Wartet.pdf is not printed yet: The job waits on the printer "
                 "\"vandrel-paused\", which is paused.\n"))
      << h.err_text();
  EXPECT_TRUE(h.wait_err("Anfrage-ID ist ")) << h.err_text();
  ASSERT_TRUE(answer_dialog("Noch nicht gedruckt", "Return")) << h.err_text();
  ASSERT_TRUE(h.wait_messages(4)) << h.err_text();
  EXPECT_EQ(h.words(), (std::vector<std::string>{"ready", "removefullscreen", "restorefullscreen",
                                                 "job 1 queued"}));
  run({"/usr/bin/cancel", "-a", queue});
  EXPECT_TRUE(
      h.wait_err("vandrel: Wartet.pdf was not printed: The job was cancelled on the "
                 "printer \"vandrel-paused\".\n"))
      << h.err_text();
  ASSERT_TRUE(answer_dialog("Nicht gedruckt", "Return")) << h.err_text();
  h.close_input();
  ASSERT_TRUE(wait_output_closed(h)) << h.err_text();
  EXPECT_EQ(h.words().back(), "end");
  run({"/usr/sbin/lpadmin", "-x", queue});
}

}  // namespace
