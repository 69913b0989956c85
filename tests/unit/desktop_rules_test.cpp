// Choosing the host's window, without a display: ids as integrators write them, the
// chain of parent processes, and the choice among the windows found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "desktop/rules/focus_policy.h"
#include "desktop/rules/placement.h"
#include "desktop/rules/window_choice.h"

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
                   const char *machine = "box", bool iconic = false) {
    WindowCandidate c;
    c.id = id;
    c.pid = pid;
    c.area = area;
    c.viewable = viewable;
    c.iconic = iconic;
    c.machine = machine;
    return c;
  };
  auto minimised = [&](unsigned long id, long pid, long long area) {
    return window(id, pid, area, false, "box", true);
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
  // A minimised window of the parent when it shows none, the larger of two; a shown
  // one before it, though smaller; a window neither shown nor minimised never.
  EXPECT_EQ(choose_host_window({window(1, 100, 900, false), minimised(2, 100, 500),
                                minimised(3, 100, 800), window(4, 10, 900)},
                               chain, "box", 0),
            3u);
  EXPECT_EQ(choose_host_window({minimised(1, 100, 9000), window(2, 100, 10)}, chain, "box", 0), 2u);
  // Nothing of ours.
  EXPECT_EQ(choose_host_window({window(1, 7, 900), window(2, 0, 900)}, chain, "box", 1), 0u);
  EXPECT_EQ(choose_host_window({}, chain, "box", 0), 0u);
  EXPECT_EQ(choose_host_window({window(1, 100, 900)}, {}, "box", 0), 0u);
}

TEST(HostWindow, FrameExtentsFromForeignProperties) {
  auto same = [](const FrameExtents &f, int left, int right, int top, int bottom) {
    return f.left == left && f.right == right && f.top == top && f.bottom == bottom;
  };
  EXPECT_TRUE(same(frame_from_extents({1, 2, 21, 4}), 1, 2, 21, 4));
  EXPECT_TRUE(same(frame_from_extents({512, 0, 512, 0}), 512, 0, 512, 0));
  // Anything another client could have set instead: no frame at all.
  EXPECT_TRUE(
      same(frame_from_extents({0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff}), 0, 0, 0, 0));
  EXPECT_TRUE(same(frame_from_extents({1, 2, 513, 4}), 0, 0, 0, 0));
  EXPECT_TRUE(same(frame_from_extents({~0ul, 2, 3, 4}), 0, 0, 0, 0));
  EXPECT_TRUE(same(frame_from_extents({1, 2, 3}), 0, 0, 0, 0));
  EXPECT_TRUE(same(frame_from_extents({1, 2, 3, 4, 5}), 0, 0, 0, 0));
  EXPECT_TRUE(same(frame_from_extents({}), 0, 0, 0, 0));
}

TEST(HostWindow, CentredFrameOrigin) {
  const Area screen = {0, 0, 2560, 1024}, right = {1280, 0, 1280, 1024};
  const FrameExtents frame = {1, 1, 20, 4};
  int x = 0, y = 0;
  // The inside of a 400x200 dialog centred on the host's inside: frame 1 left, 20 on top.
  centred_frame_origin({1520, 212, 800, 600}, 400, 200, frame, screen, &x, &y);
  EXPECT_EQ(x, 1719);
  EXPECT_EQ(y, 392);
  // No frame: the inside where the frame would be.
  centred_frame_origin({1520, 212, 800, 600}, 400, 200, FrameExtents(), screen, &x, &y);
  EXPECT_EQ(x, 1720);
  EXPECT_EQ(y, 412);
  // Kept inside the monitor at either edge, frame and all.
  centred_frame_origin({1200, -100, 100, 100}, 400, 200, frame, right, &x, &y);
  EXPECT_EQ(x, 1280);
  EXPECT_EQ(y, 0);
  centred_frame_origin({2500, 1000, 100, 100}, 400, 200, frame, right, &x, &y);
  EXPECT_EQ(x, 2560 - 402);
  EXPECT_EQ(y, 1024 - 224);
  // Larger than the monitor: from its start.
  centred_frame_origin({1520, 212, 800, 600}, 3000, 2000, frame, right, &x, &y);
  EXPECT_EQ(x, 1280);
  EXPECT_EQ(y, 0);
  // The largest an X server reports, and the widest frame believed: no overflow.
  centred_frame_origin({-32768, -32768, 65535, 65535}, 65535, 65535, {512, 512, 512, 512},
                       {32767, 32767, 65535, 65535}, &x, &y);
  EXPECT_EQ(x, 32767);
  EXPECT_EQ(y, 32767);
}

TEST(HostWindow, PersonElsewhere) {
  const std::vector<long> chain = {100, 50};
  const long own = 300;
  const unsigned long host = 7;
  EXPECT_FALSE(person_elsewhere(0, 0, host, chain, own));     // nothing active
  EXPECT_FALSE(person_elsewhere(host, 0, host, chain, own));  // the host, pid or not
  EXPECT_FALSE(person_elsewhere(9, 50, host, chain, own));    // another of the host's
  EXPECT_FALSE(person_elsewhere(9, own, host, chain, own));   // a dialog of ours
  EXPECT_TRUE(person_elsewhere(9, 4242, host, chain, own));   // another application
  EXPECT_TRUE(person_elsewhere(9, 0, host, chain, own));      // one that gives no pid
  EXPECT_TRUE(person_elsewhere(9, 4242, 0, chain, own));      // no host window
}

TEST(HostWindow, UsableAreaLeavesPanelsOut) {
  const Area left = {0, 0, 1280, 1024}, right = {1280, 0, 1280, 1024};
  auto same = [](const Area &a, int x, int y, int width, int height) {
    return a.x == x && a.y == y && a.width == width && a.height == height;
  };
  // A 40-pixel panel at the bottom of a two-monitor screen, on the second desktop.
  const std::vector<unsigned long> areas = {0, 0, 2560, 1024, 0, 0, 2560, 984};
  EXPECT_TRUE(same(usable_area(right, areas, 1), 1280, 0, 1280, 984));
  EXPECT_TRUE(same(usable_area(left, areas, 0), 0, 0, 1280, 1024));
  // No entry for the desktop, a short value, or one that leaves nothing: the monitor.
  EXPECT_TRUE(same(usable_area(right, areas, 2), 1280, 0, 1280, 1024));
  EXPECT_TRUE(same(usable_area(right, {0, 0, 2560}, 0), 1280, 0, 1280, 1024));
  EXPECT_TRUE(same(usable_area(right, {0, 0, 1280, 1024}, 0), 1280, 0, 1280, 1024));
  // Any 32-bit values: no overflow.
  EXPECT_TRUE(same(usable_area(left, {0xffffffffUL, 0xffffffffUL, 0xffffffffUL, 0xffffffffUL}, 0),
                   0, 0, 1280, 1024));
  EXPECT_TRUE(same(usable_area(left, {10, 20, 0xffffffffUL, 0xffffffffUL}, 0), 10, 20, 1270, 1004));
}

}  // namespace
