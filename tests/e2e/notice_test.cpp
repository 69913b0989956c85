// The notice for an unknown command, bracketed by the two control messages.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

TEST(Notice, ShownBetweenExactlyOneRemoveAndOneRestore) {
  Helper h;
  h.send(command_frame("print"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  // While the notice is up, only the first message has been sent.
  EXPECT_EQ(h.messages(), std::vector<std::string>{"removefullscreen"});
  press(w, {"Return"});
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  EXPECT_EQ(h.out_text().size(), 1024u);
  EXPECT_TRUE(wait_window_gone("Information"));
}

TEST(Notice, ShowsTheFixedTextAndTitle) {
  Helper h;
  h.send(command_frame("mystery"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty());
  // The notice is the helper's own window, titled as the user should see it.
  EXPECT_EQ(window_name(w), "Information");
  // Tab moves the focus to the text, which selects it (Return then no longer answers).
  press(w, {"Tab"});
  EXPECT_EQ(primary_selection(), "This function is not supported.");
  std::vector<std::string> mine = visible_windows(h.proc.pid);
  EXPECT_NE(std::find(mine.begin(), mine.end(), w), mine.end());
  press(w, {"Escape"});
  ASSERT_TRUE(h.wait_messages(2));
}

TEST(Notice, GermanDesktopGetsTheGermanText) {
  Helper h({"LANG=de_DE.UTF-8"});
  h.send(command_frame("mystery"));
  // German desktops title information dialogs "Information" too.
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  press(w, {"Tab"});
  EXPECT_EQ(primary_selection(), "Diese Funktion wird nicht unterstützt.");
  press(w, {"Escape"});
  ASSERT_TRUE(h.wait_messages(2));
}

TEST(Notice, TwoUnknownCommandsGiveTwoWholePairs) {
  Helper h;
  h.send(command_frame("one"));
  h.send(command_frame("two"));
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(h.wait_messages(4));
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen",
                                                    "removefullscreen", "restorefullscreen"}));
}

TEST(Notice, EscapeClosesItLikeOk) {
  Helper h;
  h.send(command_frame("escape"));
  ASSERT_TRUE(answer_dialog("Information", "Escape"));
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.messages().back(), "restorefullscreen");
}

TEST(Notice, WindowCloseButtonEndsItLikeOk) {
  Helper h;
  h.send(command_frame("close"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty());
  close_window(w);
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  // The reader goes on with the next conversation.
  h.send(command_frame("next"));
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(h.wait_messages(4));
}

TEST(Notice, DestroyedFromOutsideEndsTheSection) {
  Helper h;
  h.send(command_frame("destroyed"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty());
  // A window manager's force-close: another client destroys the window.
  run({"/usr/bin/xdotool", "windowclose", w});
  ASSERT_TRUE(h.wait_messages(2)) << h.err_text();
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  h.send(command_frame("next"));
  ASSERT_TRUE(answer_dialog("Information", "Return")) << h.err_text();
  ASSERT_TRUE(h.wait_messages(4));
  EXPECT_EQ(h.count_err("CRITICAL"), 0u) << h.err_text();
}

TEST(Notice, ControlMessagesAreZeroPadded512ByteBlocks) {
  Helper h;
  h.send(command_frame("pad"));
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(h.wait_messages(2));
  std::string out = h.out_text();
  ASSERT_EQ(out.size(), 1024u);
  EXPECT_EQ(out.compare(0, 17, std::string("removefullscreen\0", 17)), 0);
  EXPECT_EQ(out.compare(512, 18, std::string("restorefullscreen\0", 18)), 0);
  EXPECT_EQ(out.find_first_not_of('\0', 17), 512u);
}

}  // namespace
