// Under a real window manager, the dialogs belong to the host's window: transient for
// it, centred over it and focused, while the control messages stay as they are.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
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

// Creates and maps, on d, a top-level window as a client of the kind asked for makes
// it (see TestWindow); returns it once the window manager has framed it (a dock is
// not framed).
Window make_window(Display *d, int x, int y, int width, int height, bool with_pid, bool full_screen,
                   bool dock, Window leader) {
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, width, height, 0, 0, 0xffffff);
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
  Xutf8SetWMProperties(d, w, dock ? "Panel" : "Test Host", nullptr, nullptr, 0, &size, &hints,
                       &klass);
  if (with_pid) {
    long pid = static_cast<long>(getpid());
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&pid), 1);
  }
  if (leader != 0)
    XChangeProperty(d, w, atom(d, "WM_CLIENT_LEADER"), XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&leader), 1);
  if (full_screen) {
    Atom state = atom(d, "_NET_WM_STATE_FULLSCREEN");
    XChangeProperty(d, w, atom(d, "_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&state), 1);
  }
  if (dock) {
    // A panel along the bottom edge, as wide as the screen.
    Atom type = atom(d, "_NET_WM_WINDOW_TYPE_DOCK");
    XChangeProperty(d, w, atom(d, "_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&type), 1);
    long strut[12] = {0, 0, 0, height, 0, 0, 0, 0, 0, 0, x, x + width - 1};
    XChangeProperty(d, w, atom(d, "_NET_WM_STRUT_PARTIAL"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(strut), 12);
    XChangeProperty(d, w, atom(d, "_NET_WM_STRUT"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(strut), 4);
  }
  XMapWindow(d, w);
  XSync(d, False);
  auto until = std::chrono::steady_clock::now() + kDeadline;
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  while (std::chrono::steady_clock::now() < until) {
    XWindowAttributes a;
    bool framed = XQueryTree(d, w, &root, &parent, &children, &n) && (dock || parent != root);
    if (children) XFree(children);
    if (framed && XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable) break;
    std::this_thread::sleep_for(100ms);
  }
  return w;
}

// A top-level window standing in for a host's, or another program's. Made by the
// test process, the helper's parent, it is the host's window to the X server; with
// with_pid it says so in _NET_WM_PID too. own_process makes it in a process of its
// own instead: another program's window (keys that reach it are seen all the same).
// full_screen maps it full-screen from the start; dock makes it a bottom panel that
// keeps its height of the screen to itself; leader names its WM_CLIENT_LEADER. Once
// mapped, it is made active as a user's click would (not a dock).
struct TestWindow {
  Display *d = nullptr;
  Window w = 0;
  pid_t process = -1;

  TestWindow(int x, int y, int width, int height, bool with_pid, bool full_screen = false,
             bool own_process = false, bool dock = false, Window leader = 0) {
    d = XOpenDisplay(servers().display.c_str());
    if (!d) return;
    if (own_process) {
      // Forked while the test has no other thread: the child only talks to the X server.
      int fds[2];
      if (pipe(fds) != 0) return;
      process = fork();
      if (process == 0) {
        close(fds[0]);
        Display *own = XOpenDisplay(servers().display.c_str());
        Window made =
            own ? make_window(own, x, y, width, height, with_pid, full_screen, dock, leader) : 0;
        if (write(fds[1], &made, sizeof made) != sizeof made) _exit(1);
        for (;;) pause();
      }
      close(fds[1]);
      if (process < 0 || read(fds[0], &w, sizeof w) != sizeof w) w = 0;
      close(fds[0]);
      XSelectInput(d, w, KeyPressMask);
      XSync(d, False);
    } else {
      w = make_window(d, x, y, width, height, with_pid, full_screen, dock, leader);
      XSelectInput(d, w, KeyPressMask);
    }
    if (!dock)
      run({"/usr/bin/timeout", "30", "/usr/bin/xdotool", "windowactivate", "--sync",
           std::to_string(w)});
  }
  ~TestWindow() {
    if (process > 0) {
      kill(process, SIGKILL);
      waitpid(process, nullptr, 0);
    }
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

// A desktop's notification service on the test's session bus, as a person's desktop
// has one: it takes the notifications the helper sends and can click them.
struct NotificationService {
  struct Shown {
    guint32 id = 0;
    std::string summary, body;
    bool closed = false;
  };
  GMainContext *context = g_main_context_new();
  GMainLoop *loop = g_main_loop_new(context, FALSE);
  GDBusConnection *bus = nullptr;
  std::thread thread;
  std::mutex lock;
  std::vector<Shown> shown;
  bool owned = false;

  NotificationService() {
    std::mutex started;
    std::condition_variable ready;
    bool up = false;
    thread = std::thread([&] {
      g_main_context_push_thread_default(context);
      // A connection of its own, so that the name goes with it.
      bus = g_dbus_connection_new_for_address_sync(
          g_getenv("DBUS_SESSION_BUS_ADDRESS"),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, nullptr);
      if (bus) serve();
      {
        std::lock_guard<std::mutex> hold(started);
        up = true;
      }
      ready.notify_all();
      g_main_loop_run(loop);
      g_main_context_pop_thread_default(context);
    });
    std::unique_lock<std::mutex> hold(started);
    ready.wait(hold, [&] { return up; });
  }
  ~NotificationService() {
    g_main_loop_quit(loop);
    thread.join();
    if (bus) {
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }
  NotificationService(const NotificationService &) = delete;
  NotificationService &operator=(const NotificationService &) = delete;

  // On the service's thread: exports the service's object and owns its name.
  void serve() {
    static const char kInterface[] =
        "<node><interface name='org.freedesktop.Notifications'>"
        "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='as' direction='in'/>"
        "<arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
        "<arg type='u' direction='out'/></method>"
        "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "<method name='GetCapabilities'><arg type='as' direction='out'/></method>"
        "<method name='GetServerInformation'><arg type='s' direction='out'/>"
        "<arg type='s' direction='out'/><arg type='s' direction='out'/>"
        "<arg type='s' direction='out'/></method>"
        "<signal name='ActionInvoked'><arg type='u'/><arg type='s'/></signal>"
        "<signal name='NotificationClosed'><arg type='u'/><arg type='u'/></signal>"
        "</interface></node>";
    GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(kInterface, nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method,
           GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data) {
          static_cast<NotificationService *>(data)->call(method, parameters, invocation);
        },
        nullptr,
        nullptr,
        {}};
    g_dbus_connection_register_object(bus, "/org/freedesktop/Notifications", info->interfaces[0],
                                      &vtable, this, nullptr, nullptr);
    g_dbus_node_info_unref(info);
    GVariant *reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.Notifications", 4u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (reply) {
      guint32 result = 0;
      g_variant_get(reply, "(u)", &result);
      owned = result == 1;  // the primary owner
      g_variant_unref(reply);
    }
  }

  void call(const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation) {
    std::lock_guard<std::mutex> hold(lock);
    if (g_strcmp0(method, "Notify") == 0) {
      const gchar *summary = nullptr, *body = nullptr;
      g_variant_get_child(parameters, 3, "&s", &summary);
      g_variant_get_child(parameters, 4, "&s", &body);
      Shown n;
      n.id = static_cast<guint32>(shown.size() + 1);
      n.summary = summary;
      n.body = body;
      shown.push_back(n);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", n.id));
    } else if (g_strcmp0(method, "CloseNotification") == 0) {
      guint32 id = 0;
      g_variant_get(parameters, "(u)", &id);
      for (Shown &n : shown)
        if (n.id == id) n.closed = true;
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (g_strcmp0(method, "GetCapabilities") == 0) {
      const gchar *capabilities[] = {"actions", "body", nullptr};
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", capabilities));
    } else {
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(ssss)", "test", "vandrel", "1", "1.2"));
    }
  }

  std::vector<Shown> notifications() {
    std::lock_guard<std::mutex> hold(lock);
    return shown;
  }

  // The person clicks the notification id.
  void click(guint32 id) {
    g_dbus_connection_emit_signal(bus, nullptr, "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", "ActionInvoked",
                                  g_variant_new("(us)", id, "default"), nullptr);
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  }
};

// Where the pointer would click to turn to window w: its middle.
void click_in(Display *d, Window w) {
  XRectangle box = area_of(d, w);
  run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(box.x + box.width / 2),
       std::to_string(box.y + box.height / 2), "click", "1"});
}

// Over a minimised host the dialog waits minimised with it, managed, with a sign:
// listed in the task list and asking for attention, or, where the window manager
// keeps it out of the task list, in a notification. Once the person restores the host
// from the task list, or clicks the notification, the dialog is back over the host,
// centred, with the keyboard.
void iconified_host_gets_its_dialog_when_restored() {
  NotificationService desktop;
  ASSERT_TRUE(desktop.owned);
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
  std::string w;
  ASSERT_TRUE(eventually([&] {
    std::string ids = run({"/usr/bin/xdotool", "search", "--name", "^Information$"});
    ids.erase(ids.find_last_not_of('\n') + 1);
    w = ids.substr(ids.find_last_of('\n') + 1);
    return !w.empty() && !property(host.d, std::stoul(w), "WM_STATE").empty();
  }));
  Window dialog = std::stoul(w);
  std::vector<unsigned long> state = property(host.d, dialog, "WM_STATE");
  EXPECT_EQ(state.empty() ? 0UL : state[0], static_cast<unsigned long>(IconicState));
  std::vector<NotificationService::Shown> shown;
  EXPECT_TRUE(eventually([&] {
    shown = desktop.notifications();
    return in_task_list_asking(host.d, dialog) || !shown.empty();
  })) << "no sign of the dialog";
  bool hidden = has_state(host.d, dialog, "_NET_WM_STATE_SKIP_TASKBAR");
  printf("the dialog is %s\n", hidden ? "kept out of the task list" : "in the task list");
  if (hidden) {
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].body, "Test Host");
    desktop.click(shown[0].id);
  } else {
    EXPECT_TRUE(shown.empty()) << "a notification although the dialog is in the task list";
    run({"/usr/bin/xdotool", "windowactivate", std::to_string(host.w)});
  }
  ASSERT_EQ(wait_window("Information"), w);
  expect_belongs_to(w, host);
  if (hidden) {
    EXPECT_TRUE(eventually([&] { return desktop.notifications()[0].closed; }));
  }
  press(w, {"Return"});
  EXPECT_TRUE(h.wait_messages(2));
}

TEST(WindowManager, IconifiedHostGetsItsDialogWhenRestored) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  iconified_host_gets_its_dialog_when_restored();
}

// Whether above is higher than below in the window manager's stacking order.
bool stacked_above(Display *d, Window above, Window below) {
  std::vector<unsigned long> stacking =
      property(d, DefaultRootWindow(d), "_NET_CLIENT_LIST_STACKING");
  auto at = [&](Window x) {
    return std::find(stacking.begin(), stacking.end(), x) - stacking.begin();
  };
  return at(above) > at(below);
}

// Counts the key presses that reach w (selected on d) until want have come, or none
// has for quiet.
size_t count_keys(Display *d, Window w, size_t want,
                  std::chrono::milliseconds quiet = std::chrono::seconds(5)) {
  size_t got = 0;
  XEvent ev;
  auto quiet_until = std::chrono::steady_clock::now() + quiet;
  while (got < want && std::chrono::steady_clock::now() < quiet_until) {
    if (XCheckWindowEvent(d, w, KeyPressMask, &ev)) {
      ++got;
      quiet_until = std::chrono::steady_clock::now() + quiet;
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  return got;
}

// The person types in another program's window while a notice arrives: every key
// reaches that program, the host's window is not raised over it, and the dialog
// comes up without the keyboard, transient for the host, with a sign the person can
// find: in the task list asking for attention, or, where the window manager keeps it
// out of the task list, in a notification naming it and the host. Once the person
// turns to it as turn says (clicks it, or chooses it or the host in the task list),
// it answers keys, and any notification goes.
enum class Turn { Click, TaskList, TaskListHost };
void another_window_keeps_its_keys(Turn turn) {
  NotificationService desktop;
  ASSERT_TRUE(desktop.owned);
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true);
  TestWindow other(80, kHostY, 700, 500, false, false, true);
  ASSERT_TRUE(eventually([&] { return has_focus(other.d, other.w); }));
  Helper h;
  // 80 keys, 15 ms apart: the notice arrives while they are being typed.
  const std::string typed(80, 'k');
  std::thread person([&typed] { run({"/usr/bin/xdotool", "type", "--delay", "15", typed}); });
  std::this_thread::sleep_for(200ms);
  h.send(command_frame("elsewhere"));
  std::string w = wait_window("Information");
  person.join();
  ASSERT_FALSE(w.empty()) << h.err_text();
  EXPECT_EQ(count_keys(other.d, other.w, typed.size()), typed.size());
  Window dialog = static_cast<Window>(std::stoul(w));
  Display *d = host.d;
  // It belongs to the host once it is shown.
  EXPECT_TRUE(eventually([&] {
    Window transient_for = 0;
    return XGetTransientForHint(d, dialog, &transient_for) && transient_for == host.w;
  }));
  bool listed = false;
  std::vector<NotificationService::Shown> shown;
  EXPECT_TRUE(eventually([&] {
    listed = in_task_list_asking(d, dialog);
    shown = desktop.notifications();
    return listed || !shown.empty();
  })) << "no sign of the dialog";
  bool hidden = has_state(d, dialog, "_NET_WM_STATE_SKIP_TASKBAR");
  printf("the dialog is %s\n", hidden ? "kept out of the task list" : "in the task list");
  if (hidden) {
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].summary, "Information");
    EXPECT_EQ(shown[0].body, "Test Host");
  } else {
    EXPECT_TRUE(shown.empty()) << "a notification although the dialog is in the task list";
  }
  EXPECT_FALSE(has_focus(d, dialog));
  EXPECT_TRUE(has_focus(other.d, other.w));
  // Nothing of the host's is raised over the program in use.
  EXPECT_TRUE(stacked_above(d, other.w, host.w)) << "the host was raised";
  EXPECT_EQ(h.messages(), std::vector<std::string>{"removefullscreen"});
  // The person turns to the dialog and answers it with a key.
  switch (turn) {
    case Turn::Click:
      click_in(d, dialog);
      break;
    case Turn::TaskList:  // as a task list asks the window manager
      run({"/usr/bin/xdotool", "windowactivate", w});
      break;
    case Turn::TaskListHost:
      run({"/usr/bin/xdotool", "windowactivate", std::to_string(host.w)});
      break;
  }
  EXPECT_TRUE(eventually([&] { return has_focus(d, dialog); }));
  run({"/usr/bin/xdotool", "key", "--clearmodifiers", "Return"});
  EXPECT_TRUE(h.wait_messages(2));
  EXPECT_EQ(count_keys(other.d, other.w, 1, 1s), 0u) << "the answer went to the other program";
  if (hidden) {
    EXPECT_TRUE(eventually([&] { return desktop.notifications()[0].closed; }));
  }
}

TEST(WindowManager, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  another_window_keeps_its_keys(Turn::Click);
}

TEST(WindowManager, AnotherWindowKeepsItsKeysUntilTheDialogIsChosen) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  another_window_keeps_its_keys(Turn::TaskList);
}

// A host whose windows say nothing of their process (no _NET_WM_PID, as Tk and Xt
// make them) gets a chooser transient for it, centred and focused, and a name typed
// into it at once is saved.
void pidless_host_saves_a_name_typed_at_once() {
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, false);
  Helper h;
  h.send(conversation("sendfile", "unnamed.pdf", sample_document(1000)));
  std::string w = wait_window("Save File");
  ASSERT_FALSE(w.empty()) << h.err_text();
  expect_belongs_to(w, host);
  run({"/usr/bin/xdotool", "key", "--clearmodifiers", "ctrl+a"});
  run({"/usr/bin/xdotool", "type", "--delay", "20", "typed at once.pdf"});
  run({"/usr/bin/xdotool", "key", "--clearmodifiers", "Return"});
  ASSERT_TRUE(h.wait_messages(2));
  EXPECT_EQ(read_file(h.home + "/typed at once.pdf").size(), 1000u);
}

TEST(WindowManager, HostWithoutPidSavesANameTypedAtOnce) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  pidless_host_saves_a_name_typed_at_once();
}

// A host low on the screen, above a 40-pixel bottom panel: the save and print
// dialogs' buttons stay above the panel.
void panel_keeps_buttons_visible() {
  constexpr int kPanel = 40;
  TestWindow panel(0, 1024 - kPanel, 2560, kPanel, false, false, true, true);
  TestWindow host(kHostX, 1024 - kPanel - 200, kHostWidth, 200, true);
  for (const char *command : {"sendfile", "adobeprintdialog"}) {
    SCOPED_TRACE(command);
    Helper h;
    h.send(conversation(command, "low.pdf", sample_document(1000)));
    std::string w =
        wait_window(command == std::string("sendfile") ? "Save File" : "Vandrel Dialog");
    ASSERT_FALSE(w.empty()) << h.err_text();
    Window dialog = static_cast<Window>(std::stoul(w));
    // Above the panel from the first look on, centred over the host, and where it
    // first appeared at the size it first had: no jump while it settles (the print
    // dialog is laid out for the printers it finds before it is shown).
    XRectangle first = area_of(host.d, dialog), box{}, over{}, moved{};
    int lowest = 0, moves = 0;
    for (auto until = std::chrono::steady_clock::now() + 2s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(20ms)) {
      box = area_of(host.d, dialog);
      lowest = std::max(lowest, box.y + box.height);
      if (box.x != first.x || box.y != first.y || box.width != first.width ||
          box.height != first.height) {
        ++moves;
        moved = box;
      }
    }
    EXPECT_LE(lowest, 1024 - kPanel) << "the dialog reached down to " << lowest;
    EXPECT_EQ(moves, 0) << "the dialog moved or changed size after it appeared: from " << first.x
                        << "," << first.y << " " << first.width << "x" << first.height << " to "
                        << moved.x << "," << moved.y << " " << moved.width << "x" << moved.height;
    EXPECT_TRUE(eventually([&] {
      box = area_of(host.d, dialog);
      over = area_of(host.d, host.w);
      return std::abs(box.x + box.width / 2 - (over.x + over.width / 2)) <= 4;
    }));
    EXPECT_TRUE(eventually([&] { return has_focus(host.d, dialog); }));
    press(w, {"Escape"});
    ASSERT_TRUE(h.wait_messages(2));
  }
}

TEST(WindowManager, PanelKeepsTheButtonsVisible) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  panel_keeps_buttons_visible();
}

// A host window that is a client of another process and names no pid itself, but
// whose WM_CLIENT_LEADER says it belongs to our parent (as Tk's leader window could).
TEST(WindowManager, HostFoundByItsClientLeader) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  Display *d = XOpenDisplay(servers().display.c_str());
  ASSERT_NE(d, nullptr);
  Window leader = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  long pid = static_cast<long>(getpid());
  XChangeProperty(d, leader, atom(d, "_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char *>(&pid), 1);
  XSync(d, False);
  {
    TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, false, false, true, false, leader);
    Helper h;
    h.send(command_frame("led"));
    std::string w = wait_window("Information");
    ASSERT_FALSE(w.empty()) << h.err_text();
    expect_belongs_to(w, host);
    press(w, {"Return"});
    EXPECT_TRUE(h.wait_messages(2));
  }
  XCloseDisplay(d);
}

// After a window that was active has gone (openbox and marco leave _NET_ACTIVE_WINDOW
// naming it), a dialog with no host window still comes up with the keyboard.
void stale_active_window_counts_as_none() {
  {
    TestWindow gone(80, kHostY, 700, 500, false, false, true);
    ASSERT_TRUE(eventually([&] { return has_focus(gone.d, gone.w); }));
  }
  Display *d = XOpenDisplay(servers().display.c_str());
  ASSERT_NE(d, nullptr);
  Helper h;
  h.send(command_frame("nobody"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  EXPECT_TRUE(eventually([&] { return has_focus(d, std::stoul(w)); }));
  run({"/usr/bin/xdotool", "key", "--clearmodifiers", "Return"});
  EXPECT_TRUE(h.wait_messages(2));
  XCloseDisplay(d);
}

TEST(WindowManager, StaleActiveWindowCountsAsNone) {
  ASSERT_EQ(servers().window_manager, "openbox") << "run with VANDREL_E2E_WINDOW_MANAGER=1";
  stale_active_window_counts_as_none();
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

// A host that stays full-screen, as it was from its first map: the dialog comes up
// above it, centred, with the keyboard.
void full_screen_host_from_its_first_map() {
  TestWindow host(kHostX, kHostY, kHostWidth, kHostHeight, true, true);
  Helper h;
  h.send(command_frame("fullscreen"));
  std::string w = wait_window("Information");
  ASSERT_FALSE(w.empty()) << h.err_text();
  expect_belongs_to(w, host);
  press(w, {"Return"});
  EXPECT_TRUE(h.wait_messages(2));
}

TEST(WindowManagerI3, FullScreenHostFromItsFirstMap) {
  ASSERT_EQ(servers().window_manager, "i3") << "run with VANDREL_E2E_WINDOW_MANAGER=i3";
  full_screen_host_from_its_first_map();
}

TEST(WindowManagerI3, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "i3") << "run with VANDREL_E2E_WINDOW_MANAGER=i3";
  another_window_keeps_its_keys(Turn::TaskList);
}

// i3 says nothing of its frames: the dialog is placed by the host's, measured.
TEST(WindowManagerI3, PanelKeepsTheButtonsVisible) {
  ASSERT_EQ(servers().window_manager, "i3") << "run with VANDREL_E2E_WINDOW_MANAGER=i3";
  panel_keeps_buttons_visible();
}

// xfwm4 and fluxbox focus every new transient window.
TEST(WindowManagerXfwm4, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "xfwm4") << "run with VANDREL_E2E_WINDOW_MANAGER=xfwm4";
  another_window_keeps_its_keys(Turn::Click);
}

TEST(WindowManagerXfwm4, PanelKeepsTheButtonsVisible) {
  ASSERT_EQ(servers().window_manager, "xfwm4") << "run with VANDREL_E2E_WINDOW_MANAGER=xfwm4";
  panel_keeps_buttons_visible();
}

TEST(WindowManagerFluxbox, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "fluxbox") << "run with VANDREL_E2E_WINDOW_MANAGER=fluxbox";
  another_window_keeps_its_keys(Turn::TaskListHost);
}

// metacity keeps a new transient window that cannot take the focus out of the task
// list and behind the program in use; the dialog belongs to the host only once shown.
TEST(WindowManagerMetacity, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "metacity") << "run with VANDREL_E2E_WINDOW_MANAGER=metacity";
  another_window_keeps_its_keys(Turn::Click);
}

TEST(WindowManagerFluxbox, HostWithoutPidSavesANameTypedAtOnce) {
  ASSERT_EQ(servers().window_manager, "fluxbox") << "run with VANDREL_E2E_WINDOW_MANAGER=fluxbox";
  pidless_host_saves_a_name_typed_at_once();
}

// icewm lists the dialog in its own task bar, asking for attention.
TEST(WindowManagerIcewm, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "icewm") << "run with VANDREL_E2E_WINDOW_MANAGER=icewm";
  another_window_keeps_its_keys(Turn::TaskListHost);
}

TEST(WindowManagerIcewm, IconifiedHostGetsItsDialogWhenRestored) {
  ASSERT_EQ(servers().window_manager, "icewm") << "run with VANDREL_E2E_WINDOW_MANAGER=icewm";
  iconified_host_gets_its_dialog_when_restored();
}

TEST(WindowManagerIcewm, PanelKeepsTheButtonsVisible) {
  ASSERT_EQ(servers().window_manager, "icewm") << "run with VANDREL_E2E_WINDOW_MANAGER=icewm";
  panel_keeps_buttons_visible();
}

// marco and mutter, as metacity, list a dialog that is not transient when it comes;
// one that waits minimised with the host they keep out of the task list.
TEST(WindowManagerMarco, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "marco") << "run with VANDREL_E2E_WINDOW_MANAGER=marco";
  another_window_keeps_its_keys(Turn::Click);
}

TEST(WindowManagerMarco, IconifiedHostGetsItsDialogWhenRestored) {
  ASSERT_EQ(servers().window_manager, "marco") << "run with VANDREL_E2E_WINDOW_MANAGER=marco";
  iconified_host_gets_its_dialog_when_restored();
}

TEST(WindowManagerMarco, StaleActiveWindowCountsAsNone) {
  ASSERT_EQ(servers().window_manager, "marco") << "run with VANDREL_E2E_WINDOW_MANAGER=marco";
  stale_active_window_counts_as_none();
}

TEST(WindowManagerMutter, AnotherWindowKeepsItsKeys) {
  ASSERT_EQ(servers().window_manager, "mutter") << "run with VANDREL_E2E_WINDOW_MANAGER=mutter";
  another_window_keeps_its_keys(Turn::Click);
}

// mutter keeps a minimised window mapped: the dialog must stay minimised all the same.
TEST(WindowManagerMutter, IconifiedHostGetsItsDialogWhenRestored) {
  ASSERT_EQ(servers().window_manager, "mutter") << "run with VANDREL_E2E_WINDOW_MANAGER=mutter";
  iconified_host_gets_its_dialog_when_restored();
}

TEST(WindowManagerMutter, PanelKeepsTheButtonsVisible) {
  ASSERT_EQ(servers().window_manager, "mutter") << "run with VANDREL_E2E_WINDOW_MANAGER=mutter";
  panel_keeps_buttons_visible();
}

}  // namespace
