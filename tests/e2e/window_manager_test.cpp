// Under a real window manager, the dialogs belong to the host's window: transient for
// it, centred over it and focused, while the control messages stay as they are.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "harness.h"

// Last: Xlib's macros (None, Status, ...) would clash with the test framework's names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// A top-level window of the test process, standing in for a host's: the helper is
// our child, so with_pid makes it the window the helper should find.
struct TestWindow {
  Display *d = nullptr;
  Window w = 0;

  TestWindow(int x, int y, int width, int height, bool with_pid) {
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

// True when the window manager keeps w in the modal state.
bool is_modal(Display *d, Window w) {
  Atom type;
  int format;
  unsigned long n = 0, after;
  unsigned char *data = nullptr;
  bool modal = false;
  if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_STATE", False), 0, 64, False, XA_ATOM, &type,
                         &format, &n, &after, &data) == Success &&
      data) {
    Atom wanted = XInternAtom(d, "_NET_WM_STATE_MODAL", False);
    const Atom *states = reinterpret_cast<const Atom *>(data);
    modal = std::find(states, states + n, wanted) != states + n;
  }
  if (data) XFree(data);
  return modal;
}

// Checks that the dialog (an xdotool id) belongs to owner: transient for it and modal,
// centred over owner's area, and the input focus on it.
void expect_belongs_to(const std::string &dialog, const TestWindow &owner) {
  Display *d = owner.d;
  Window w = static_cast<Window>(std::stoul(dialog));
  Window transient_for = 0;
  EXPECT_TRUE(XGetTransientForHint(d, w, &transient_for));
  EXPECT_EQ(transient_for, owner.w);
  EXPECT_TRUE(is_modal(d, w));

  XRectangle host = area_of(d, owner.w), box = area_of(d, w);
  int centre_x = box.x + box.width / 2, centre_y = box.y + box.height / 2;
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

TEST(WindowManager, SaveDialogBelongsToTheHostWindow) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  Helper h;
  h.send(conversation("sendfile", "attached.pdf", sample_document(1000)));
  std::string w = wait_window("Save File");
  ASSERT_FALSE(w.empty()) << h.err_text();
  expect_belongs_to(w, host);
  press(w, {"Escape"});
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
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
  Helper h({"VANDREL_PARENT_WINDOW=" + hex.str()});
  h.send(command_frame("named"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  expect_belongs_to(w, named);
  press(w, {"Return"});
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(h.count_err("vandrel:"), 0u) << h.err_text();
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

}  // namespace
