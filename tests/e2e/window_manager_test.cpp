// Under a real window manager, the dialogs belong to the host's window: transient for
// it, centred over it and focused, while the control messages stay as they are.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "harness.h"

// Last: Xlib's macros (None, Status, ...) would clash with the test framework's names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

Atom atom(Display *d, const char *name) { return XInternAtom(d, name, False); }

// Polls condition until it holds or the deadline has passed; returns its last value.
template <typename Condition>
bool eventually(Condition condition) {
  auto until = std::chrono::steady_clock::now() + kDeadline;
  bool holds = condition();
  for (; !holds && std::chrono::steady_clock::now() < until; holds = condition())
    std::this_thread::sleep_for(20ms);
  return holds;
}

// A top-level window of the test process, standing in for a host's: the helper is
// our child, so with_pid makes it the window the helper should find. full_screen
// maps it full-screen from the start.
struct TestWindow {
  Display *d = nullptr;
  Window w = 0;

  TestWindow(int x, int y, int width, int height, bool with_pid, bool full_screen = false) {
    d = XOpenDisplay(servers().display.c_str());
    if (!d) return;
    w = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, width, height, 0, 0, 0xffffff);
    XSizeHints size;
    size.flags = USPosition | USSize;
    size.x = x;
    size.y = y;
    size.width = width;
    size.height = height;
    XWMHints hints;
    hints.flags = InputHint;
    hints.input = True;
    XClassHint klass = {const_cast<char *>("host"), const_cast<char *>("VandrelTestHost")};
    // Sets WM_CLIENT_MACHINE to this host's name as well.
    Xutf8SetWMProperties(d, w, "Test Host", nullptr, nullptr, 0, &size, &hints, &klass);
    if (with_pid) {
      long pid = static_cast<long>(getpid());
      XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<unsigned char *>(&pid), 1);
    }
    if (full_screen) {
      Atom state = atom(d, "_NET_WM_STATE_FULLSCREEN");
      XChangeProperty(d, w, atom(d, "_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char *>(&state), 1);
    }
    XSelectInput(d, w, KeyPressMask);
    XMapWindow(d, w);
    XSync(d, False);
    // Mapped and reparented by the window manager, then made active as a user's click would.
    auto until = std::chrono::steady_clock::now() + kDeadline;
    Window root, parent, *children = nullptr;
    unsigned int n = 0;
    while (std::chrono::steady_clock::now() < until) {
      XWindowAttributes a;
      bool framed = XQueryTree(d, w, &root, &parent, &children, &n) && parent != root;
      if (children) XFree(children);
      if (framed && XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable) break;
      std::this_thread::sleep_for(100ms);
    }
    run({"/usr/bin/timeout", "30", "/usr/bin/xdotool", "windowactivate", "--sync",
         std::to_string(w)});
  }
  ~TestWindow() {
    if (d) XCloseDisplay(d);
  }
  TestWindow(const TestWindow &) = delete;
  TestWindow &operator=(const TestWindow &) = delete;
};

// The area of window w in root coordinates.
XRectangle area_of(Display *d, Window w) {
  XWindowAttributes a{};
  int x = 0, y = 0;
  Window child;
  XGetWindowAttributes(d, w, &a);
  XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
  return XRectangle{static_cast<short>(x), static_cast<short>(y),
                    static_cast<unsigned short>(a.width), static_cast<unsigned short>(a.height)};
}

// True when the input focus is on w or inside it (the toolkit focuses a child of
// its top-level window).
bool has_focus(Display *d, Window w) {
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(d, &focus, &revert);
  while (focus != 0 && focus != PointerRoot && focus != DefaultRootWindow(d)) {
    if (focus == w) return true;
    Window root, parent, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, focus, &root, &parent, &children, &n)) return false;
    if (children) XFree(children);
    focus = parent;
  }
  return false;
}

// The items of a format-32 property of w (atoms, windows or cardinals).
std::vector<unsigned long> property(Display *d, Window w, const char *name) {
  Atom type;
  int format;
  unsigned long n = 0, after;
  unsigned char *data = nullptr;
  std::vector<unsigned long> items;
  if (XGetWindowProperty(d, w, atom(d, name), 0, 1 << 16, False, AnyPropertyType, &type, &format,
                         &n, &after, &data) == Success &&
      data && format == 32) {
    const unsigned long *values = reinterpret_cast<const unsigned long *>(data);
    items.assign(values, values + n);
  }
  if (data) XFree(data);
  return items;
}

// True when the window manager keeps w in the state named state (_NET_WM_STATE_...).
bool has_state(Display *d, Window w, const char *state) {
  std::vector<unsigned long> states = property(d, w, "_NET_WM_STATE");
  return std::find(states.begin(), states.end(), atom(d, state)) != states.end();
}

// True when the dialog w waits where the person can find it: listed in the task list
// and asking for attention (by the urgency hint or the window manager's state).
bool in_task_list_asking(Display *d, Window w) {
  std::vector<unsigned long> hints = property(d, w, "WM_HINTS");
  bool urgent = !hints.empty() && (hints[0] & XUrgencyHint);
  return !has_state(d, w, "_NET_WM_STATE_SKIP_TASKBAR") &&
         (urgent || has_state(d, w, "_NET_WM_STATE_DEMANDS_ATTENTION"));
}

// Asks the window manager, as a client does, to add or remove state of w.
void change_state(Display *d, Window w, bool add, const char *state) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = atom(d, "_NET_WM_STATE");
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = add ? 1 : 0;
  ev.xclient.data.l[1] = static_cast<long>(atom(d, state));
  ev.xclient.data.l[3] = 1;  // a normal application
  XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask,
             &ev);
  XFlush(d);
}

// Checks that the dialog (an xdotool id) belongs to owner: transient for it and modal,
// centred over owner's area, and the input focus on it.
void expect_belongs_to(const std::string &dialog, const TestWindow &owner) {
  Display *d = owner.d;
  Window w = static_cast<Window>(std::stoul(dialog));
  Window transient_for = 0;
  EXPECT_TRUE(XGetTransientForHint(d, w, &transient_for));
  EXPECT_EQ(transient_for, owner.w);
  EXPECT_TRUE(has_state(d, w, "_NET_WM_STATE_MODAL"));
  // It tells the window manager it is not to be minimised on its own (Motif hints:
  // functions given, neither "all but" nor minimise among them).
  std::vector<unsigned long> motif = property(d, w, "_MOTIF_WM_HINTS");
  EXPECT_TRUE(motif.size() >= 2 && (motif[0] & 1) && !(motif[1] & 1) && !(motif[1] & 8));

  // Once both have settled: the dialog may be centred once more after it is shown.
  XRectangle host, box;
  int centre_x = 0, centre_y = 0;
  eventually([&] {
    host = area_of(d, owner.w);
    box = area_of(d, w);
    centre_x = box.x + box.width / 2;
    centre_y = box.y + box.height / 2;
    return std::abs(centre_x - (host.x + host.width / 2)) <= 4 &&
           std::abs(centre_y - (host.y + host.height / 2)) <= 4;
  });
  EXPECT_TRUE(centre_x >= host.x && centre_x < host.x + host.width && centre_y >= host.y &&
              centre_y < host.y + host.height)
      << "dialog centre " << centre_x << "," << centre_y << " outside the host's " << host.width
      << "x" << host.height << "+" << host.x << "+" << host.y;
  // Centred, not merely over it: a few pixels for rounding.
  EXPECT_NEAR(centre_x, host.x + host.width / 2, 4);
  EXPECT_NEAR(centre_y, host.y + host.height / 2, 4);

  auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!has_focus(d, w) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(has_focus(d, w));
}

// The host stands on the right half of the 2560-pixel screen, away from its centre.
constexpr int kHostX = 1520, kHostY = 212, kHostWidth = 800, kHostHeight = 600;

TEST(WindowManager, NoticeBelongsToTheHostWindow) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  Helper h;
  h.send(command_frame("attached"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  expect_belongs_to(w, host);
  EXPECT_EQ(h.messages(), std::vector<std::string>{"removefullscreen"});
  press(w, {"Return"});
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  EXPECT_EQ(h.count_err("vandrel:"), 0u) << h.err_text();
}

TEST(WindowManager, SaveAndPrintDialogsBelongToTheHostWindow) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  // The print dialog grows once it has found the printers: centred all the same.
  for (const char *command : {"sendfile", "adobeprintdialog"}) {
    SCOPED_TRACE(command);
    Helper h;
    h.send(conversation(command, "attached.pdf", sample_document(1000)));
    std::string w =
        wait_window(command == std::string("sendfile") ? "Save File" : "Vandrel Dialog");
    ASSERT_FALSE(w.empty()) << h.err_text();
    expect_belongs_to(w, host);
    press(w, {"Escape"});
    ASSERT_TRUE(h.wait_messages(2));
    EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  }
}

TEST(WindowManager, NamedWindowWinsOverTheSearch) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  TestWindow named(80, kHostY, 700, 500, false);
  // Integrators may name the window of a widget inside their top-level window.
  Window widget = XCreateSimpleWindow(named.d, named.w, 10, 10, 100, 30, 0, 0, 0);
  XMapWindow(named.d, widget);
  XSync(named.d, False);
  std::ostringstream hex;
  hex << "0x" << std::hex << widget;
  // Named in the environment, or on the command line (which wins over it).
  for (bool option : {false, true}) {
    SCOPED_TRACE(option ? "--parent" : "VANDREL_PARENT_WINDOW");
    Helper h(option ? std::vector<std::string>{"VANDREL_PARENT_WINDOW=0x1"}
                    : std::vector<std::string>{"VANDREL_PARENT_WINDOW=" + hex.str()},
             "", {},
             option ? std::vector<std::string>{"--parent", hex.str()} : std::vector<std::string>{});
    h.send(command_frame("named"));
    std::string w = wait_window("Information");
    ASSERT_FALSE(w.empty()) << h.err_text();
    expect_belongs_to(w, named);
    press(w, {"Return"});
    ASSERT_TRUE(h.wait_messages(2));
    EXPECT_EQ(h.count_err("vandrel:"), 0u) << h.err_text();
  }
}

TEST(WindowManager, DeadNamedWindowIsIgnoredWithOneLine) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  // Destroyed on a connection that stays open: a closed connection's ids are handed
  // to the next client, which may be the helper itself.
  Window gone =
      XCreateSimpleWindow(host.d, DefaultRootWindow(host.d), 80, kHostY, 300, 200, 0, 0, 0);
  XMapWindow(host.d, gone);
  XDestroyWindow(host.d, gone);
  XSync(host.d, False);
  std::string dead = std::to_string(gone);
  Helper h({"VANDREL_PARENT_WINDOW=" + dead});
  h.send(command_frame("dead"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  // The dialog is still shown, and attached to the window the search finds.
  expect_belongs_to(w, host);
  press(w, {"Return"});
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(
      h.count_err("vandrel: VANDREL_PARENT_WINDOW=" + dead + " is not a live window of the host"),
      1u)
      << h.err_text();
  EXPECT_EQ(h.count_err("VANDREL_PARENT_WINDOW"), 1u) << h.err_text();
}

TEST(WindowManager, HostLeavingFullScreenLate) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  change_state(host.d, host.w, true, "_NET_WM_STATE_FULLSCREEN");
  ASSERT_TRUE(eventually([&] { return area_of(host.d, host.w).width == 2560; }));
  Helper h;
  // The host leaves full-screen a little after it was asked to, as real ones do.
  std::thread host_side([&h, &host] {
    if (!h.wait_messages(1)) return;
    std::this_thread::sleep_for(30ms);
    Display *d = XOpenDisplay(servers().display.c_str());
    change_state(d, host.w, false, "_NET_WM_STATE_FULLSCREEN");
    XCloseDisplay(d);
  });
  h.send(command_frame("late"));
  std::string w = wait_window("Information");
  host_side.join();
  ASSERT_FALSE(w.empty()) << h.err_text();
  ASSERT_TRUE(eventually([&] { return area_of(host.d, host.w).width == kHostWidth; }));
  expect_belongs_to(w, host);
  press(w, {"Return"});
  EXPECT_TRUE(h.wait_messages(2));
}

TEST(WindowManager, IconifiedHostGetsItsDialogWhenRestored) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  XIconifyWindow(host.d, host.w, DefaultScreen(host.d));
  XFlush(host.d);
  ASSERT_TRUE(eventually([&] {
    std::vector<unsigned long> state = property(host.d, host.w, "WM_STATE");
    return !state.empty() && state[0] == IconicState;
  }));
  Helper h;
  h.send(command_frame("iconified"));
  ASSERT_TRUE(h.wait_messages(1));
  // It waits minimised with the host, managed by the window manager.
  std::string w;
  ASSERT_TRUE(eventually([&] {
    std::string ids = run({"/usr/bin/xdotool", "search", "--name", "^Information$"});
    ids.erase(ids.find_last_not_of('\n') + 1);
    w = ids.substr(ids.find_last_of('\n') + 1);
    return !w.empty() && !property(host.d, std::stoul(w), "WM_STATE").empty();
  }));
  EXPECT_TRUE(in_task_list_asking(host.d, std::stoul(w)));
  // The person restores the host from the task list.
  run({"/usr/bin/xdotool", "windowactivate", std::to_string(host.w)});
  ASSERT_EQ(wait_window("Information"), w);
  expect_belongs_to(w, host);
  press(w, {"Return"});
  EXPECT_TRUE(h.wait_messages(2));
}

// With another application's window active, the dialog either comes up focused and
// above it, or stays visible in the task list asking for attention; either way a key
// the person meant for the other window does not answer it.
void another_window_keeps_its_keys() {
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  TestWindow other(80, kHostY, 700, 500, false);
  ASSERT_TRUE(eventually([&] { return has_focus(other.d, other.w); }));
  Helper h;
  h.send(command_frame("elsewhere"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  Window dialog = static_cast<Window>(std::stoul(w));
  Display *d = host.d;
  Window transient_for = 0;
  EXPECT_TRUE(XGetTransientForHint(d, dialog, &transient_for));
  EXPECT_EQ(transient_for, host.w);
  bool focused = false;
  EXPECT_TRUE(eventually([&] {
    focused = has_focus(d, dialog);
    return focused || in_task_list_asking(d, dialog);
  })) << "neither focused nor in the task list asking for attention";
  printf("the dialog came up %s\n", focused ? "focused" : "unfocused, asking for attention");
  if (focused) {
    std::vector<unsigned long> stacking =
        property(d, DefaultRootWindow(d), "_NET_CLIENT_LIST_STACKING");
    auto at = [&](Window x) {
      return std::find(stacking.begin(), stacking.end(), x) - stacking.begin();
    };
    EXPECT_GT(at(dialog), at(other.w));
  }
  // The person, typing in the other window, presses Return there.
  run({"/usr/bin/xdotool", "key", "--clearmodifiers", "Return"});
  if (!focused) {
    XEvent ev;
    EXPECT_TRUE(eventually([&] { return XCheckWindowEvent(other.d, other.w, KeyPressMask, &ev); }));
  } else {
    std::this_thread::sleep_for(1s);
  }
  EXPECT_EQ(h.messages(), std::vector<std::string>{"removefullscreen"});
  EXPECT_EQ(wait_window("Information"), w);
  // Then turns to the dialog and answers it.
  run({"/usr/bin/timeout", "30", "/usr/bin/xdotool", "windowactivate", "--sync", w});
  EXPECT_TRUE(confirm_print_window(w));
  EXPECT_TRUE(h.wait_messages(2));
}

TEST(WindowManager, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  another_window_keeps_its_keys();
}

TEST(WindowManager, ForeignPropertiesNeitherCrashNorStall) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  long extents[4] = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
  XChangeProperty(host.d, host.w, atom(host.d, "_NET_FRAME_EXTENTS"), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<unsigned char *>(extents), 4);
  // Ids of no window, then the real ones, the newest last as window managers keep them.
  std::vector<unsigned long> clients =
      property(host.d, DefaultRootWindow(host.d), "_NET_CLIENT_LIST");
  std::vector<long> list;
  for (long i = 0; list.size() + clients.size() < 65536; ++i) list.push_back(0x7f000000 + i);
  list.insert(list.end(), clients.begin(), clients.end());
  XChangeProperty(host.d, DefaultRootWindow(host.d), atom(host.d, "_NET_CLIENT_LIST"), XA_WINDOW,
                  32, PropModeReplace, reinterpret_cast<unsigned char *>(list.data()),
                  static_cast<int>(list.size()));
  XSync(host.d, False);
  Helper h;
  auto start = std::chrono::steady_clock::now();
  h.send(command_frame("hostile"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  printf("dialog shown %lld ms after the job was sent\n",
         static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count()));
  expect_belongs_to(w, host);
  press(w, {"Return"});
  EXPECT_TRUE(h.wait_messages(2));
}

TEST(WindowManagerI3, FullScreenHostFromItsFirstMap) {
  ASSERT_EQ(servers().window_manager, "i3") << "run with VANDREL_E2E_WINDOW_MANAGER=i3";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true, true);
  Helper h;
  h.send(command_frame("fullscreen"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  expect_belongs_to(w, host);
  press(w, {"Return"});
  EXPECT_TRUE(h.wait_messages(2));
}

TEST(WindowManagerI3, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "i3") << "run with VANDREL_E2E_WINDOW_MANAGER=i3";
  another_window_keeps_its_keys();
}

}  // namespace
