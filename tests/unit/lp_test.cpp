// The print command's child set-up and what is read from its output.
#include "printing/lp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// Runs argv through start_child with a pipe on its standard output and returns what
// it wrote there.
std::string output_of(char *const argv[]) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
  int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = start_child(argv[0], argv, devnull, out[1], 2);
  close(out[1]);
  close(devnull);
  std::string said;
  char buf[512];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) said.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = -1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return said;
}

TEST(DirectPrint, ChildGetsOnlyItsThreeStandardDescriptors) {
  // What the toolkit leaves behind: descriptors without close-on-exec, low and high.
  int low = open("/dev/null", O_RDONLY);
  int high = fcntl(low, F_DUPFD, 900);
  ASSERT_GE(low, 3);
  ASSERT_GE(high, 900);
  char *const argv[] = {const_cast<char *>("/bin/ls"), const_cast<char *>("/proc/self/fd"),
                        nullptr};
  // 3 is the folder ls itself opens to list it.
  EXPECT_EQ(output_of(argv), "0\n1\n2\n3\n");
  close(low);
  close(high);
}

TEST(DirectPrint, ChildStandardDescriptorsMayBeGivenInAnyOrder) {
  // Standard output given as the child's 0 would be lost if placed in order naively.
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  char *const argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                        const_cast<char *>("echo out; echo err >&2"), nullptr};
  pid_t pid = start_child(argv[0], argv, devnull, out[1], out[1]);
  close(out[1]);
  std::string said;
  char buf[64];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) said.append(buf, static_cast<size_t>(n));
  close(out[0]);
  close(devnull);
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_EQ(said, "out\nerr\n");
}

TEST(DirectPrint, RequestIdLineGivesQueueAndJob) {
  struct Case {
    const char *output;
    const char *destination;
    int job_id;
  } cases[] = {
      {"request id is vandrel-raw-12 (1 file(s))\n", "vandrel-raw", 12},
      // lp's line in the person's language: only the id is looked for.
      {"Anfrage-ID ist vandrel-raw-12 (1 Datei(en))\n", "vandrel-raw", 12},
      {"リクエスト ID は office-7 です (1 個のファイル)\n", "office", 7},
      {"请求 ID 为 office-7（1 个文件）\n", "office", 7},
      {"l'identificador de la petició és q-2-31 (1 fitxer(s))\n", "q-2", 31},
      {"request id is plain-3", "plain", 3},
      {"", "", 0},
      {"lp: No default destination.\n", "", 0},
      {"request id is nodash (1 file(s))\n", "", 0},
      {"request id is trailing- (1 file(s))\n", "", 0},
      {"request id is q-12x (1 file(s))\n", "", 0},
      {"request id is q-0 (1 file(s))\n", "", 0},
      {"request id is q-99999999999999 (1 file(s))\n", "", 0},
  };
  for (const Case &c : cases) {
    LpRequest r = parse_request_id(c.output);
    EXPECT_EQ(r.destination, c.destination) << c.output;
    EXPECT_EQ(r.job_id, c.job_id) << c.output;
  }
}

TEST(DirectPrint, ComplaintIsLpsLastWordWithoutItsName) {
  EXPECT_EQ(lp_complaint("/usr/bin/lp: No file in print request.\n"), "No file in print request.");
  EXPECT_EQ(lp_complaint("lp: Error - add '/version=1.1' to server name.\nlp: Not allowed.\n"),
            "Not allowed.");
  EXPECT_EQ(lp_complaint("Something: went wrong"), "Something: went wrong");
  EXPECT_EQ(lp_complaint(""), "");
}

}  // namespace
