// The print dialog: the user's confirmation sends a print job, cancel removes the file.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

std::string as_string(const Bytes &b) { return std::string(b.begin(), b.end()); }

TEST(PrintDialog, PrintSendsTheDocumentUnderItsOwnTitle) {
  Helper h;
  Bytes doc = sample_document(300000, 21);
  h.send(conversation("adobeprintdialog", "My Doc.pdf", doc));
  ASSERT_TRUE(h.wait_messages(1)) << h.err_text();
  // The spool file waits for the job while the dialog is up.
  EXPECT_TRUE(file_exists(h.home + "/VANDREL/My_Doc.pdf"));
  ASSERT_TRUE(confirm_print_dialog()) << h.err_text();
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  ASSERT_TRUE(h.wait_err("Deleting file: " + h.home + "/VANDREL/My_Doc.pdf\n")) << h.err_text();
  EXPECT_EQ(h.count_err("Finished Printing\nDeleting file: " + h.home + "/VANDREL/My_Doc.pdf\n"), 1u);
  PrintedJob job = wait_job_with_data(as_string(doc));
  ASSERT_NE(job.id, 0);
  EXPECT_EQ(job.name, "My Doc.pdf");
  EXPECT_FALSE(file_exists(h.home + "/VANDREL/My_Doc.pdf"));
  EXPECT_TRUE(h.wait_err("buf=My Doc.pdfx!2#$document, len=301024\n")) << h.err_text();
}

TEST(PrintDialog, CancelRemovesTheSpoolFileBeforeRestore) {
  Helper h;
  h.send(conversation("adobeprintdialog", "Cancelled.pdf", sample_document(1000)));
  ASSERT_TRUE(h.wait_messages(1));
  ASSERT_TRUE(answer_dialog("Vandrel Dialog", "Escape"));
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(h.count_err("Finished Printing"), 0u);
}

TEST(PrintDialog, ClosingTheWindowCancels) {
  Helper h;
  h.send(conversation("adobeprintdialog", "Closed.pdf", sample_document(1000)));
  std::string w = wait_window("Vandrel Dialog");
  ASSERT_FALSE(w.empty());
  close_window(w);
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
}

// Two jobs confirmed one right after the other; the second conversation starts
// before the first job has completed.
void two_jobs(const std::string &first, const std::string &second, unsigned seed) {
  Helper h;
  Bytes doc1 = sample_document(2000000, seed), doc2 = sample_document(1500000, seed + 1);
  h.send(conversation("adobeprintdialog", first, doc1));
  h.send(conversation("adobeprintdialog", second, doc2));
  ASSERT_TRUE(confirm_print_dialog()) << h.err_text();
  ASSERT_TRUE(confirm_print_dialog()) << h.err_text();
  ASSERT_TRUE(h.wait_err("Finished Printing", 2)) << h.err_text();
  PrintedJob job1 = wait_job_with_data(as_string(doc1));
  PrintedJob job2 = wait_job_with_data(as_string(doc2));
  ASSERT_NE(job1.id, 0) << h.err_text();
  ASSERT_NE(job2.id, 0) << h.err_text();
  EXPECT_EQ(job1.name, first);
  EXPECT_EQ(job2.name, second);
  EXPECT_LT(job1.id, job2.id);
  EXPECT_TRUE(list_dir(h.home + "/VANDREL").empty());
  EXPECT_EQ(h.messages().size(), 4u);
}

TEST(PrintDialog, TwoJobsWithDifferentNamesBothArriveWhole) { two_jobs("First.pdf", "Second.pdf", 31); }

TEST(PrintDialog, TwoJobsWithTheSameNameBothArriveWhole) { two_jobs("Same.pdf", "Same.pdf", 41); }

// Two host windows, one helper each, same user: a job of one never touches the
// other's spool file, even under the same document name.
TEST(PrintDialog, TwoHelpersOfOneUserPrintTheirOwnDocuments) {
  Helper a;
  Helper b({}, a.home);
  Bytes doc_a = sample_document(800000, 81), doc_b = sample_document(700000, 82);
  a.send(conversation("adobeprintdialog", "report.pdf", doc_a));
  ASSERT_TRUE(a.wait_messages(1)) << a.err_text();
  b.send(conversation("adobeprintdialog", "report.pdf", doc_b));
  ASSERT_TRUE(b.wait_messages(1)) << b.err_text();
  EXPECT_EQ(list_dir(a.home + "/VANDREL").size(), 2u) << "each job has a file of its own";
  for (Helper *h : {&b, &a}) {
    std::string w;
    auto until = std::chrono::steady_clock::now() + kDeadline;
    while (w.empty() && std::chrono::steady_clock::now() < until) {
      for (const std::string &id : visible_windows(h->proc.pid))
        if (window_name(id) == "Vandrel Dialog") w = id;
      std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(confirm_print_window(w)) << h->err_text();
  }
  PrintedJob job_a = wait_job_with_data(as_string(doc_a));
  PrintedJob job_b = wait_job_with_data(as_string(doc_b));
  ASSERT_NE(job_a.id, 0) << a.err_text();
  ASSERT_NE(job_b.id, 0) << b.err_text();
  EXPECT_EQ(job_a.name, "report.pdf");
  EXPECT_EQ(job_b.name, "report.pdf");
  ASSERT_TRUE(a.wait_err("Finished Printing") && b.wait_err("Finished Printing"));
  auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!list_dir(a.home + "/VANDREL").empty() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(list_dir(a.home + "/VANDREL").empty());
}

// A helper killed with its dialog open leaves its spool file; the next job of that
// name takes the name back instead of piling up "-2" names, and prints its own bytes.
TEST(PrintDialog, SpoolFileOfAKilledHelperIsReclaimed) {
  TempDir home;
  {
    Helper dead({}, home.path);
    dead.send(conversation("adobeprintdialog", "left.pdf", sample_document(50000, 83)));
    ASSERT_TRUE(dead.wait_messages(1)) << dead.err_text();
    ASSERT_FALSE(wait_window("Vandrel Dialog").empty());
  }  // killed here
  EXPECT_EQ(list_dir(home.path + "/VANDREL"), std::vector<std::string>{"left.pdf"});
  Helper h({}, home.path);
  Bytes doc = sample_document(60000, 84);
  h.send(conversation("adobeprintdialog", "left.pdf", doc));
  ASSERT_TRUE(h.wait_messages(1)) << h.err_text();
  EXPECT_EQ(list_dir(home.path + "/VANDREL"), std::vector<std::string>{"left.pdf"});
  ASSERT_TRUE(confirm_print_dialog()) << h.err_text();
  PrintedJob job = wait_job_with_data(as_string(doc));
  ASSERT_NE(job.id, 0) << h.err_text();
  EXPECT_EQ(job.name, "left.pdf");
  ASSERT_TRUE(h.wait_err("Deleting file: " + home.path + "/VANDREL/left.pdf\n")) << h.err_text();
  EXPECT_TRUE(list_dir(home.path + "/VANDREL").empty());
}

}  // namespace
