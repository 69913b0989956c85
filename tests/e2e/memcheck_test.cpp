// The reader under valgrind's memcheck over a few hundred conversations: no memory
// error and no definite leak of the program's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <random>

#include "harness.h"

namespace {

TEST(Memcheck, ReaderLeaksNothingOverHundredsOfConversations) {
  if (!getenv("VANDREL_MEMCHECK")) GTEST_SKIP() << "set VANDREL_MEMCHECK=1 (./scripts/test --full)";
  TempDir logs;
  std::string log = logs.path + "/memcheck.log";
  Helper h(
      {}, "",
      {"/usr/bin/valgrind", "--leak-check=full", "--show-leak-kinds=definite",
       "--errors-for-leak-kinds=definite", "--num-callers=40",
       "--suppressions=" VANDREL_SOURCE_DIR "/tests/valgrind/toolkit.supp", "--log-file=" + log});
  AutoAnswer answers(h.proc.pid);
  std::mt19937 rng(7);
  int conversations = 0;
  for (int i = 0; i < 300; ++i, ++conversations) {
    switch (i % 30) {
      case 0:
        h.send(command_frame("notice"));
        break;
      case 10:
        h.send(
            conversation("sendfile", "saved.pdf", sample_document(5000, static_cast<unsigned>(i))));
        break;
      case 20:
        h.send(conversation("adobeprintdialog", "dialog.pdf",
                            sample_document(5000, static_cast<unsigned>(i))));
        break;
      default:
        if (i % 3 == 0)
          h.send(frame(gzip_bytes(to_bytes("0123456789abc"))));  // too short for a word
        else
          h.send(conversation("default", "job " + std::to_string(i) + ".pdf",
                              sample_document(2000 + rng() % 20000, static_cast<unsigned>(i))));
    }
  }
  h.close_input();
  ASSERT_TRUE(h.wait_err("pipe  read", 1, Seconds(1800))) << h.err_text().substr(0, 3000);
  EXPECT_EQ(h.count_err("buf=0123456789abc") + h.count_err("buf=vandrel-host:"),
            static_cast<size_t>(conversations));
  // The process never ends by itself; a terminating signal makes valgrind report.
  h.signal(SIGTERM);
  auto until = std::chrono::steady_clock::now() + Seconds(300);
  while (read_file(log).find("ERROR SUMMARY") == std::string::npos &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(200ms);
  std::string report = read_file(log);
  fprintf(
      stderr, "%s\n",
      report
          .substr(report.find("HEAP SUMMARY") == std::string::npos ? 0
                                                                   : report.find("HEAP SUMMARY"))
          .c_str());
  EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
}

}  // namespace
