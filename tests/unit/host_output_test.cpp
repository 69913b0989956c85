// The output to the host: blocks whole and in order, each job reported once, "end" and
// the close when all is told, and no thread ever waiting for a host that does not read.
#include "channel/host_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channel/wire.h"
#include "host/frames.h"

namespace {

using Words = std::vector<std::string>;

// A pipe whose writing end the output takes over (and closes), and what reached its
// reading end.
struct HostPipe {
  int read_end = -1, write_end = -1;
  HostPipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) read_end = fds[0], write_end = fds[1];
  }
  ~HostPipe() {
    if (read_end >= 0) close(read_end);
  }
  // The words of the blocks that can be read now; *closed says whether the output has
  // been closed.
  Words take(bool *closed = nullptr) {
    std::string got;
    int flags = fcntl(read_end, F_GETFL);
    fcntl(read_end, F_SETFL, flags | O_NONBLOCK);
    char buf[4096];
    ssize_t n;
    while ((n = read(read_end, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    if (closed) *closed = n == 0;
    fcntl(read_end, F_SETFL, flags);
    EXPECT_EQ(0u, got.size() % kControlMessageSize) << "only whole blocks";
    return control_words(got);
  }
};

int g_backlog_fd = -1;
int g_broken_calls = 0;

TEST(HostOutput, EachJobIsReportedOnceAndEndClosesTheOutputWhenAllIsTold) {
  HostPipe host;
  output_start(host.write_end, true);
  EXPECT_FALSE(send_block(host.read_end, kRemoveFullScreen)) << "not the output's descriptor";
  EXPECT_TRUE(send_block(host.write_end, kRemoveFullScreen));
  job_pending(2);
  job_pending(3);
  job_lead(1, reinterpret_cast<const unsigned char *>("vandrel-host:"), 13);
  job_path(1, "/home/p/My report.pdf");
  job_reason(1, reason::kCannotWrite);  // told with failed and skipped only
  job_lead(2, reinterpret_cast<const unsigned char *>("a\0b %\n"), 6);
  job_server_job(2, "office", 42);
  job_lead(3, nullptr, 0);
  for (JobNumber n = 1; n <= 3; ++n) output_conversation_read(n);
  report_outcome(1, Outcome::Saved);
  report_outcome(1, Outcome::Failed);   // a job is reported once
  report_outcome(0, Outcome::Printed);  // a job numbered 0 never
  report_outcome(2, Outcome::Pending);  // nor an outcome still to come
  output_reader_done();
  bool closed = false;
  EXPECT_EQ((Words{"ready 2 parent lead result reason", "removefullscreen",
                   "job 1 saved lead=vandrel-host: path=/home/p/My%20report.pdf"}),
            host.take(&closed));
  EXPECT_FALSE(closed) << "jobs 2 and 3 are pending";
  report_outcome(2, Outcome::Printed);
  EXPECT_EQ((Words{"job 2 printed lead=a%00b%20%25%0A queue=office server-job=42"}),
            host.take(&closed));
  job_path(2, "/late");  // a job reported already gets nothing more
  // An ending helper settles what is left: the print server did not have job 3 yet.
  output_settle_pending();
  EXPECT_EQ((Words{"job 3 failed lead= reason=ending", "end 3"}), host.take(&closed));
  EXPECT_TRUE(closed);
  EXPECT_FALSE(send_block(host.write_end, kRestoreFullScreen)) << "the output is closed";
}

// A report is one 512-byte block: fields that do not fit are left off whole, from the
// first that does not fit, and "job N WORD" always stays.
TEST(HostOutput, ReportFieldsThatDoNotFitAreLeftOffWhole) {
  JobResult r;
  r.lead = "0123456789abc";
  r.lead_known = true;
  r.reason = reason::kNotWhole;
  r.path = std::string(600, 'p');
  EXPECT_EQ("job 7 skipped lead=0123456789abc reason=not-whole",
            report_text(7, Outcome::Skipped, r));
  r.path = std::string(511 - 49 - 6, 'p');  // just fits: 511 bytes in all
  EXPECT_EQ(511u, report_text(7, Outcome::Skipped, r).size());
  r.path += "%";  // three bytes more: left off
  EXPECT_EQ("job 7 skipped lead=0123456789abc reason=not-whole",
            report_text(7, Outcome::Skipped, r));
  r.path.clear();
  EXPECT_EQ("job 7 cancelled lead=0123456789abc", report_text(7, Outcome::Cancelled, r));
}

TEST(HostOutput, AHostThatDoesNotReadKeepsNobodyWaitingAndLosesNothing) {
  HostPipe host;
  // The smallest pipe the kernel makes: one page, eight blocks.
  ASSERT_GT(fcntl(host.write_end, F_SETPIPE_SZ, 4096), 0);
  output_on_backlog([](int fd) { g_backlog_fd = fd; });
  output_start(host.write_end, false);
  // Each call returns at once although the pipe is full: with a write that waited for
  // room, this thread (and the test) would hang here.
  Words sent;
  for (int i = 0; i < 40; ++i) {
    sent.push_back("block " + std::to_string(i));
    EXPECT_TRUE(send_block(host.write_end, sent.back().c_str()));
  }
  EXPECT_EQ(host.write_end, g_backlog_fd) << "someone is asked to drain the rest";
  // The host reads at last: what waited goes out as the pipe takes it, whole and in order.
  Words got;
  bool waiting = true;
  while (waiting) {
    Words now = host.take();
    got.insert(got.end(), now.begin(), now.end());
    waiting = output_drain();
  }
  Words rest = host.take();
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(sent, got);
  output_reader_done();
  bool closed = false;
  EXPECT_TRUE(host.take(&closed).empty());
  EXPECT_TRUE(closed);
  output_on_backlog(nullptr);
}

// A helper that must end this instant (from a signal handler) still gives the host
// what it owes: the blocks still queued, "restorefullscreen", the open jobs' reports
// and "end".
TEST(HostOutput, LastWordsOfAnEndingHelperOweTheHostNothing) {
  HostPipe host;
  output_start(host.write_end, true);
  output_conversation_read(2);
  report_outcome(1, Outcome::Printed);
  job_pending(1);  // reported already: not owed again
  output_job_in_hand(2);
  EXPECT_TRUE(send_block(host.write_end, kRemoveFullScreen));
  EXPECT_EQ(host.take(),
            (Words{"ready 2 parent lead result reason", "job 1 printed", "removefullscreen"}));
  output_last_words_at_once();  // not kept yet: the pair is closed all the same
  EXPECT_EQ(host.take(), (Words{"restorefullscreen"}));
  EXPECT_TRUE(send_block(host.write_end, kRemoveFullScreen));
  output_keep_last_words();
  job_pending(3);
  job_handed_over(3);
  (void)host.take();
  output_last_words_at_once();
  EXPECT_EQ(host.take(),
            (Words{"restorefullscreen", "job 2 failed reason=ending", "job 3 queued", "end 2"}));
}

TEST(HostOutput, AClosedHostEndIsToldOnceAndNothingMoreIsWritten) {
  signal(SIGPIPE, SIG_IGN);  // as the toolkit leaves it in the helper
  HostPipe host;
  output_on_broken([] { ++g_broken_calls; });
  output_start(host.write_end, true);
  EXPECT_FALSE(output_host_gone());
  close(host.read_end);
  host.read_end = -1;
  EXPECT_TRUE(output_host_gone()) << "seen before anything is written";
  EXPECT_FALSE(send_block(host.write_end, kRemoveFullScreen));
  report_outcome(1, Outcome::Saved);
  EXPECT_EQ(1, g_broken_calls);
  EXPECT_TRUE(output_flush(0)) << "nothing is left waiting for a host that has gone";
  output_reader_done();
  output_on_broken(nullptr);
}

}  // namespace
