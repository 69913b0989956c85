// The helper's own command-line options: a version and a usage, without a display.
#include <gtest/gtest.h>

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
