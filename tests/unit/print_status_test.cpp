// What the print server's answers mean for the person.
#include "printing/print_status.h"

#include <gtest/gtest.h>

namespace {

DestinationFacts queue(const char *name) {
  DestinationFacts f;
  f.server_reached = f.server_answered = true;
  f.name = name;
  f.exists = true;
  f.user = "ann";
  return f;
}

TEST(PrintStatus, RefusalNamesTheMostTellingReason) {
  DestinationFacts no_server;
  EXPECT_EQ(refusal_of(no_server), Refusal::NoServer);
  DestinationFacts silent;
  silent.server_reached = true;
  EXPECT_EQ(refusal_of(silent), Refusal::NoAnswer);
  DestinationFacts no_default = queue("");
  no_default.exists = false;
  EXPECT_EQ(refusal_of(no_default), Refusal::NoDefault);
  DestinationFacts gone = queue("office");
  gone.exists = false;
  EXPECT_EQ(refusal_of(gone), Refusal::NoSuchPrinter);
  DestinationFacts rejecting = queue("office");
  rejecting.accepting = false;
  EXPECT_EQ(refusal_of(rejecting), Refusal::NotAccepting);
  EXPECT_EQ(refusal_of(queue("office")), Refusal::Unknown);

  struct Case {
    std::vector<std::string> allowed, denied;
    Refusal expected;
  } cases[] = {
      {{}, {"ann"}, Refusal::UserDenied},     {{}, {"all"}, Refusal::UserDenied},
      {{}, {"bob"}, Refusal::Unknown},        {{"bob"}, {}, Refusal::UserDenied},
      {{"bob", "ann"}, {}, Refusal::Unknown}, {{"all"}, {}, Refusal::Unknown},
  };
  for (const Case &c : cases) {
    DestinationFacts f = queue("office");
    f.users_allowed = c.allowed;
    f.users_denied = c.denied;
    f.accepting = false;  // a denied user is the more telling reason
    EXPECT_EQ(refusal_of(f), c.expected == Refusal::Unknown ? Refusal::NotAccepting : c.expected)
        << testing::PrintToString(c.allowed) << " " << testing::PrintToString(c.denied);
  }
}

TEST(PrintStatus, JobVerdicts) {
  struct Case {
    int state;
    bool printer_stopped;
    JobVerdict verdict;
  } cases[] = {
      {kJobPending, false, JobVerdict::Going},     {kJobPending, true, JobVerdict::Waiting},
      {kJobHeld, false, JobVerdict::Waiting},      {kJobProcessing, false, JobVerdict::Going},
      {kJobProcessing, true, JobVerdict::Going},   {kJobStopped, false, JobVerdict::Failed},
      {kJobCancelled, false, JobVerdict::Failed},  {kJobAborted, true, JobVerdict::Failed},
      {kJobCompleted, false, JobVerdict::Printed}, {0, false, JobVerdict::Going},
  };
  for (const Case &c : cases)
    EXPECT_EQ(verdict_of(c.state, c.printer_stopped), c.verdict)
        << c.state << " " << c.printer_stopped;
}

}  // namespace

namespace {

TEST(PrintStatus, TextsSayWhyInPlainWords) {
  DestinationFacts down;
  EXPECT_EQ(refusal_text(down, false), "The print server is not running.");
  DestinationFacts none = queue("");
  EXPECT_EQ(refusal_text(none, false), "No printer is set up as the default printer.");
  DestinationFacts rejecting = queue("office");
  rejecting.accepting = false;
  rejecting.state_message = "Out for repair";
  EXPECT_EQ(refusal_text(rejecting, false),
            "The printer \"office\" is not accepting jobs.\nOut for repair");
  DestinationFacts denied = queue("office");
  denied.users_denied = {"ann"};
  EXPECT_EQ(refusal_text(denied, false), "You are not allowed to print on the printer \"office\".");
  EXPECT_EQ(refusal_text(queue("office"), false),
            "The print server refused the job for the printer \"office\".");
  EXPECT_EQ(refusal_text(queue("office"), false, "No file in print request."),
            "The print server refused the job: No file in print request.");
  EXPECT_EQ(refusal_text(denied, false, "Forbidden"),
            "You are not allowed to print on the printer \"office\".");
  JobFacts stopped{true, kJobStopped, "Filter failed", {}};
  EXPECT_EQ(not_completed_text("office", stopped, false),
            "The printer \"office\" stopped the job: Filter failed");
  stopped.message.clear();
  EXPECT_EQ(not_completed_text("office", stopped, false),
            "The printer \"office\" stopped the job.");
  JobFacts cancelled{true, kJobCancelled, "Canceled by admin", {"job-canceled-by-operator"}};
  EXPECT_EQ(not_completed_text("office", cancelled, false),
            "The job was cancelled on the printer \"office\".");
  EXPECT_EQ(not_printed_text("Report 7.pdf", false), "\"Report 7.pdf\" was not printed.");
  EXPECT_EQ(not_printed_text("", false), "The document was not printed.");
}

TEST(PrintStatus, AWaitingJobIsToldWhereAndWhy) {
  struct Case {
    JobFacts job;
    bool paused;
    const char *where;
  } cases[] = {
      {{true, kJobHeld, "", {}},
       false,
       "The job is held on the printer \"office\" until it is released."},
      {{true, kJobPending, "", {}},
       true,
       "The job waits on the printer \"office\", which is paused."},
      {{false, 0, "", {}},
       false,
       "The job waits for the printer \"office\", but the print server does not answer."},
      {{true, kJobProcessing, "Connecting to printer.", {}},
       false,
       "The job still waits on the printer \"office\".\nConnecting to printer."},
  };
  for (const Case &c : cases)
    EXPECT_EQ(waits_where_text("office", wait_of(c.job, c.paused), c.job, false), c.where);
  EXPECT_EQ(waiting_text("Report 7.pdf", false), "\"Report 7.pdf\" is not printed yet.");
}

}  // namespace
