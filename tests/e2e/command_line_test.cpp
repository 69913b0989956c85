// The helper's own command-line options: a version and a usage, without a display.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "harness.h"

namespace {

TEST(ChannelCommandLine, BothProgramsPrintTheProjectVersion) {
  for (const std::string &program : {helper_binary(), host_binary()}) {
    int status = -1;
    std::string out = run({"/usr/bin/env", "-u", "DISPLAY", program, "--version"}, &status);
    EXPECT_EQ(status, 0) << program;
    EXPECT_EQ(out, "vandrel " VANDREL_VERSION "\n") << program;
  }
}

TEST(ChannelCommandLine, HelpSaysWhatItIsAndListsTheToolkitsOptionsWithoutADisplay) {
  int status = -1;
  std::string out =
      run({"/usr/bin/env", "-u", "DISPLAY", "LC_ALL=C.UTF-8", helper_binary(), "--help"}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("with pipes on its standard input and output"), std::string::npos) << out;
  EXPECT_NE(out.find("vandrel(1)"), std::string::npos) << out;
  EXPECT_NE(out.find("--display=DISPLAY"), std::string::npos) << out;
  EXPECT_NE(out.find("--version"), std::string::npos) << out;
  EXPECT_NE(out.find("--report"), std::string::npos) << out;
  EXPECT_NE(out.find("--parent=WID"), std::string::npos) << out;
}

// A host that misspells an option must not wait for a "ready" that never comes.
TEST(ChannelCommandLine, UnknownOptionOrBadValueExitsTwoBeforeAnyOutput) {
  for (const char *arg : {"--reprot", "--parent=0xzz", "--parent", "--parent-wid=0x400001"}) {
    int status = -1;
    std::string out =
        run({"/usr/bin/env", "-u", "DISPLAY", helper_binary(), "--report", arg}, &status);
    EXPECT_EQ(status, 2) << arg;
    EXPECT_EQ(out, "") << arg;
  }
}

TEST(ChannelCommandLine, WithoutADisplayTheHelperExitsWithStatusOne) {
  int status = -1;
  run({"/usr/bin/env", "-u", "DISPLAY", helper_binary()}, &status);
  EXPECT_EQ(status, 1);
}

}  // namespace

namespace {

// The Python example host, as an integrator would run it: four jobs of every kind it
// can be asked, and a line for each report, matched to its file by the example's own
// job ids.
TEST(ChannelExampleHost, PythonExamplePrintsEveryReportOfAFourJobSession) {
  TempDir dir;
  std::string src = dir.path + "/src";
  ASSERT_EQ(0, mkdir(src.c_str(), 0700));
  Bytes a = sample_document(2100, 201), d = sample_document(2200, 202);
  std::string silent = std::string(a.begin(), a.end()), dialog = std::string(d.begin(), d.end());
  write_file(src + "/a.pdf", silent);
  write_file(src + "/b.txt", "hello");
  write_file(src + "/c.pdf", "to be saved");
  write_file(src + "/d.pdf", dialog);
  int status = -1;
  std::string out;
  std::thread host([&] {
    out = run({"/usr/bin/env", "HOME=" + dir.path, "/usr/bin/python3",
               std::string(VANDREL_SOURCE_DIR) + "/examples/vandrel_example_host.py", "--helper",
               helper_binary(), "default:" + src + "/a.pdf", "hello:" + src + "/b.txt",
               "sendfile:" + src + "/c.pdf", "adobeprintdialog:" + src + "/d.pdf"},
              &status);
  });
  bool answered = answer_dialog("Information", "Return") && answer_dialog("Save File", "Return") &&
                  confirm_print_dialog();
  host.join();
  ASSERT_TRUE(answered) << out;
  EXPECT_EQ(status, 0) << out;
  int silent_id = wait_job_with_data(silent).id, dialog_id = wait_job_with_data(dialog).id;
  std::string queue = std::string(" queue=") + kRawQueue + " server-job=";
  for (const std::string &line :
       {std::string("ready: protocol 2, capabilities: parent lead result reason\n"),
        "report: " + src + "/a.pdf printed" + queue + std::to_string(silent_id) + "\n",
        "report: " + src + "/b.txt unsupported\n",
        "report: " + src + "/c.pdf saved path=" + dir.path + "/c.pdf\n",
        "report: " + src + "/d.pdf printed" + queue + std::to_string(dialog_id) + "\n",
        std::string("end: 4 conversations read\n")})
    EXPECT_NE(out.find(line), std::string::npos) << line << "in:\n" << out;
  EXPECT_EQ(read_file(dir.path + "/c.pdf"), "to be saved");
}

}  // namespace
