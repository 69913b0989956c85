// Choosing the host's window, without a display: ids as integrators write them, the
// chain of parent processes, and the choice among the windows found.
#include "jobs/host_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

TEST(HostWindow, WindowIdsInDecimalAndHex) {
  struct Case {
    const char *text;
    bool ok;
    unsigned long id;
  };
  const Case cases[] = {
      {"12345", true, 12345},
      {"0x1e00003", true, 0x1e00003},
      {"0XFFFFFFFF", true, 0xFFFFFFFF},
      {"0x100000000", false, 0},
      {"0", false, 0},
      {"0x0", false, 0},
      {"", false, 0},
      {"0x", false, 0},
      {"12ab", false, 0},
      {" 12", false, 0},
      {"-12", false, 0},
      {"+12", false, 0},
      {"0x0x12", false, 0},
      {"12 ", false, 0},
      {"window", false, 0},
      {"99999999999999999999", false, 0},
  };
  for (const Case &c : cases) {
    unsigned long id = 7;
    EXPECT_EQ(parse_window_id(c.text, &id), c.ok) << c.text;
    EXPECT_EQ(id, c.ok ? c.id : 7ul) << c.text;
  }
  unsigned long id = 7;
  EXPECT_FALSE(parse_window_id(nullptr, &id));
}

TEST(HostWindow, ParentFromStat) {
  EXPECT_EQ(parent_from_stat("4242 (bash) S 4100 4242 4242 34816 0"), 4100);
  // The name may hold spaces and parentheses.
  EXPECT_EQ(parent_from_stat("77 (a) S 9 (b)) R 3100 1 1"), 3100);
  EXPECT_EQ(parent_from_stat("1 (init) S 0 1 1"), 0);
  EXPECT_EQ(parent_from_stat(""), -1);
  EXPECT_EQ(parent_from_stat("77 (cut"), -1);
  EXPECT_EQ(parent_from_stat("77 (x) S"), -1);
}

TEST(HostWindow, AncestorsStartWithTheParent) {
  std::vector<long> ancestors = ancestor_pids(static_cast<long>(getpid()), 3);
  ASSERT_FALSE(ancestors.empty());
  EXPECT_EQ(ancestors[0], static_cast<long>(getppid()));
  EXPECT_LE(ancestors.size(), 3u);
  for (long pid : ancestors) EXPECT_GT(pid, 1);
  EXPECT_EQ(ancestor_pids(static_cast<long>(getpid()), 1),
            std::vector<long>{static_cast<long>(getppid())});
  EXPECT_TRUE(ancestor_pids(1, 4).empty());
  EXPECT_TRUE(ancestor_pids(-5, 4).empty());
}

TEST(HostWindow, SameMachine) {
  EXPECT_TRUE(same_machine("", "box"));
  EXPECT_TRUE(same_machine("box", "box"));
  EXPECT_TRUE(same_machine("box", "box.example.org"));
  EXPECT_TRUE(same_machine("box.example.org", "box"));
  EXPECT_FALSE(same_machine("other", "box"));
  EXPECT_FALSE(same_machine("boxer", "box"));
  EXPECT_FALSE(same_machine("box.a.org", "box.b.org"));
}

TEST(HostWindow, ChoosesAmongCandidates) {
  auto window = [](unsigned long id, long pid, long long area, bool viewable = true,
                   const char *machine = "box") {
    WindowCandidate c;
    c.id = id;
    c.pid = pid;
    c.area = area;
    c.viewable = viewable;
    c.machine = machine;
    return c;
  };
  const std::vector<long> chain = {100, 50, 10};
  // The largest viewable window of the parent.
  EXPECT_EQ(
      choose_host_window({window(1, 100, 500), window(2, 100, 900), window(3, 100, 5000, false)},
                         chain, "box", 0),
      2u);
  // The active one, though smaller.
  EXPECT_EQ(choose_host_window({window(1, 100, 500), window(2, 100, 900)}, chain, "box", 1), 1u);
  // An active window of another process does not count.
  EXPECT_EQ(choose_host_window({window(1, 100, 500), window(2, 100, 900), window(3, 7, 90)}, chain,
                               "box", 3),
            2u);
  // Nearest ancestor first: the parent's small window over the launcher's large one.
  EXPECT_EQ(choose_host_window({window(1, 50, 9000), window(2, 100, 10)}, chain, "box", 1), 2u);
  // Up the chain when the parent has no usable window: hidden, or on another machine.
  EXPECT_EQ(choose_host_window(
                {window(1, 100, 900, false), window(2, 100, 900, true, "far"), window(3, 10, 4)},
                chain, "box", 0),
            3u);
  // Nothing of ours.
  EXPECT_EQ(choose_host_window({window(1, 7, 900), window(2, 0, 900)}, chain, "box", 1), 0u);
  EXPECT_EQ(choose_host_window({}, chain, "box", 0), 0u);
  EXPECT_EQ(choose_host_window({window(1, 100, 900)}, {}, "box", 0), 0u);
}

TEST(HostWindow, CentredWithinTheMonitor) {
  // Monitor from 1280, 1280 wide.
  EXPECT_EQ(centred_within(1920, 400, 1280, 1280), 1720);
  // Kept inside at either edge.
  EXPECT_EQ(centred_within(1300, 400, 1280, 1280), 1280);
  EXPECT_EQ(centred_within(2550, 400, 1280, 1280), 2160);
  // Longer than the monitor: from its start.
  EXPECT_EQ(centred_within(1920, 2000, 1280, 1280), 1280);
}

}  // namespace
