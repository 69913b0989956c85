#include "desktop/host_window.h"

#include <X11/Xlib-xcb.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

// ---- the plain part ------------------------------------------------------------

bool parse_window_id(const char *text, unsigned long *id) {
  if (!text) return false;
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  // Digits only: strtoull itself would take leading blanks, a sign and a second "0x".
  if (!*text) return false;
  for (const char *c = text; *c; ++c) {
    unsigned char digit = static_cast<unsigned char>(*c);
    if (base == 10 ? !std::isdigit(digit) : !std::isxdigit(digit)) return false;
  }
  errno = 0;
  unsigned long long value = strtoull(text, nullptr, base);
  if (errno != 0 || value == 0 || value > 0xFFFFFFFFull) return false;
  *id = static_cast<unsigned long>(value);
  return true;
}

long parent_from_stat(const std::string &stat) {
  // The name may hold ") ", so the fields start after the last ')'.
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return -1;
  char state = 0;
  long parent = -1;
  if (sscanf(stat.c_str() + close + 1, " %c %ld", &state, &parent) != 2 || parent < 0) return -1;
  return parent;
}

std::vector<long> ancestor_pids(long pid, int levels) {
  std::vector<long> ancestors;
  while (static_cast<int>(ancestors.size()) < levels) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::ostringstream stat;
    stat << in.rdbuf();
    long parent = parent_from_stat(stat.str());
    if (parent <= 1) break;
    ancestors.push_back(parent);
    pid = parent;
  }
  return ancestors;
}

bool same_machine(const std::string &client_machine, const std::string &host_name) {
  if (client_machine.empty() || client_machine == host_name) return true;
  // One side may give the short name and the other the full one.
  auto is_short_of = [](const std::string &short_name, const std::string &full) {
    return short_name.find('.') == std::string::npos && !short_name.empty() &&
           full.compare(0, full.find('.'), short_name) == 0;
  };
  return is_short_of(client_machine, host_name) || is_short_of(host_name, client_machine);
}

unsigned long choose_host_window(const std::vector<WindowCandidate> &candidates,
                                 const std::vector<long> &ancestors, const std::string &host_name,
                                 unsigned long active) {
  for (long pid : ancestors) {
    unsigned long best = 0, best_iconic = 0;
    long long best_area = -1, best_iconic_area = -1;
    for (const WindowCandidate &c : candidates) {
      if (c.pid != pid || !(c.viewable || c.iconic) || !same_machine(c.machine, host_name))
        continue;
      if (active != 0 && c.id == active) return c.id;
      if (c.viewable && c.area > best_area) {
        best = c.id;
        best_area = c.area;
      } else if (!c.viewable && c.area > best_iconic_area) {
        best_iconic = c.id;
        best_iconic_area = c.area;
      }
    }
    if (best != 0) return best;
    if (best_iconic != 0) return best_iconic;
  }
  return 0;
}

FrameExtents frame_from_extents(const std::vector<unsigned long> &items) {
  FrameExtents frame;
  if (items.size() != 4 ||
      std::any_of(items.begin(), items.end(), [](unsigned long v) { return v > kMaxFrameExtent; }))
    return frame;
  frame.left = static_cast<int>(items[0]);
  frame.right = static_cast<int>(items[1]);
  frame.top = static_cast<int>(items[2]);
  frame.bottom = static_cast<int>(items[3]);
  return frame;
}

// The start of the frame's span on one axis: the inside (size long, frame low and
// high on either side) centred on target's centre, within the monitor's span.
static int frame_start(int target, int target_size, int size, int low, int high, int monitor,
                       int monitor_size) {
  // In 64 bits: every input is what an X server reports (16-bit sizes, 16-bit signed
  // positions), so nothing here can overflow and the results fit an int again.
  long long outer = static_cast<long long>(size) + low + high;
  long long start = static_cast<long long>(target) + target_size / 2 - size / 2 - low;
  start = std::min(start, static_cast<long long>(monitor) + monitor_size - outer);
  return static_cast<int>(std::max(start, static_cast<long long>(monitor)));
}

void centred_frame_origin(const Area &target, int width, int height, const FrameExtents &frame,
                          const Area &monitor, int *x, int *y) {
  *x =
      frame_start(target.x, target.width, width, frame.left, frame.right, monitor.x, monitor.width);
  *y = frame_start(target.y, target.height, height, frame.top, frame.bottom, monitor.y,
                   monitor.height);
}

bool person_elsewhere(unsigned long active, long active_pid, unsigned long host,
                      const std::vector<long> &ancestors, long own_pid) {
  if (active == 0 || active == host) return false;
  if (active_pid != 0 && (active_pid == own_pid || std::find(ancestors.begin(), ancestors.end(),
                                                             active_pid) != ancestors.end()))
    return false;
  return true;
}

void key_hold_mapped(KeyHold *hold, long long now_ms) { hold->mapped_ms = now_ms; }

void key_hold_focused(KeyHold *hold, long long now_ms) {
  if (hold->armed) return;
  if (hold->mapped_ms >= 0 && now_ms - hold->mapped_ms < kStolenFocusMs)
    hold->held_until_ms = now_ms + kKeyHoldMs;
  else
    hold->armed = true;
}

void key_hold_clicked(KeyHold *hold) { hold->armed = true; }

bool key_hold_passes(KeyHold *hold, long long now_ms) {
  if (hold->armed) return true;
  if (now_ms >= hold->held_until_ms) return hold->armed = true;
  hold->held_until_ms = now_ms + kKeyHoldMs;
  return false;
}

// ---- the X part ----------------------------------------------------------------
// Every call below runs with the toolkit's lock held, so nothing else uses the X
// connection meanwhile. Requests go out through the connection's XCB side, many at a
// time before the first answer is read: one round trip per window would cost
// seconds for a long client list. Any window but our own may be destroyed by its
// client at any moment; an XCB request's error comes back with its answer, and the
// few Xlib calls run inside the toolkit's error trap.

namespace {
// The atoms the search and the placing need; the toolkit looks each up once per
// display and keeps it.
struct Atoms {
  xcb_atom_t client_list, active_window, pid, wm_state, client_machine, net_state, full_screen,
      frame_extents, request_frame_extents, user_time, user_time_window;
};

// Where the host's window is and how it stands.
struct HostPlace {
  GdkScreen *screen = nullptr;
  Area inside;         // its area in root coordinates, without the window manager's frame
  FrameExtents frame;  // that frame (all zero while full-screen or without one)
  bool viewable = false;
  bool iconic = false;
  uint32_t user_time = 0;  // _NET_WM_USER_TIME of its last use, 0 when unknown
};

// ICCCM's WM_STATE value for a minimised window.
constexpr uint32_t kIconicState = 3;
// How deep below the root the client windows are looked for: inside a window
// manager's frame, or inside a frame inside a container.
constexpr int kClientDepth = 4;
// How long the window manager is given to say how wide the dialog's frame will be.
constexpr int kFrameAnswerWaitMs = 100;
// Polling steps while waiting for the window manager.
constexpr int kPollStepMs = 5;
}  // namespace

static Atoms atoms_of(GdkDisplay *display) {
  auto get = [display](const char *name) {
    return static_cast<xcb_atom_t>(gdk_x11_get_xatom_by_name_for_display(display, name));
  };
  return Atoms{get("_NET_CLIENT_LIST"),
               get("_NET_ACTIVE_WINDOW"),
               get("_NET_WM_PID"),
               get("WM_STATE"),
               get("WM_CLIENT_MACHINE"),
               get("_NET_WM_STATE"),
               get("_NET_WM_STATE_FULLSCREEN"),
               get("_NET_FRAME_EXTENTS"),
               get("_NET_REQUEST_FRAME_EXTENTS"),
               get("_NET_WM_USER_TIME"),
               get("_NET_WM_USER_TIME_WINDOW")};
}

static bool supports(GdkScreen *screen, const char *hint) {
  return gdk_x11_screen_supports_net_wm_hint(screen, gdk_atom_intern_static_string(hint));
}

// The answer to an XCB request, or null when it failed (the window is gone, say). The
// error is taken here: left to Xlib it would reach the toolkit's error handler, which
// ends the process outside a trap.
template <typename Reply, typename Cookie>
static Reply *answer(Reply *(*get)(xcb_connection_t *, Cookie, xcb_generic_error_t **),
                     xcb_connection_t *c, Cookie cookie) {
  xcb_generic_error_t *error = nullptr;
  Reply *reply = get(c, cookie, &error);
  free(error);
  return reply;
}

// Sends, without waiting, a request for up to items 32-bit items (or 4 * items
// bytes) of property from offset items on, for each of windows.
static std::vector<xcb_get_property_cookie_t> ask_property(xcb_connection_t *c,
                                                           const std::vector<uint32_t> &windows,
                                                           xcb_atom_t property, uint32_t items,
                                                           uint32_t offset = 0) {
  std::vector<xcb_get_property_cookie_t> cookies;
  cookies.reserve(windows.size());
  for (uint32_t w : windows)
    cookies.push_back(
        xcb_get_property(c, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, offset, items));
  return cookies;
}

// The answer to one ask_property request: its 32-bit items (none when the window is
// gone, the property unset or of another format); *set, when given, says whether the
// property exists at all, and *text receives a format-8 value.
static std::vector<uint32_t> take_items(xcb_connection_t *c, xcb_get_property_cookie_t cookie,
                                        bool *set = nullptr, std::string *text = nullptr) {
  std::vector<uint32_t> items;
  xcb_get_property_reply_t *reply = answer(xcb_get_property_reply, c, cookie);
  if (set) *set = reply && reply->type != XCB_NONE;
  if (reply) {
    const void *value = xcb_get_property_value(reply);
    int length = xcb_get_property_value_length(reply);
    if (reply->format == 32) {
      const uint32_t *v = static_cast<const uint32_t *>(value);
      items.assign(v, v + length / 4);
    } else if (reply->format == 8 && text) {
      text->assign(static_cast<const char *>(value), static_cast<size_t>(length));
    }
  }
  free(reply);
  return items;
}

// The first item of a 32-bit property of w, or 0.
static uint32_t first_item(xcb_connection_t *c, uint32_t w, xcb_atom_t property) {
  std::vector<uint32_t> items = take_items(c, ask_property(c, {w}, property, 1)[0]);
  return items.empty() ? 0 : items[0];
}

// The newest items of root's list property (window managers append to their lists),
// kMaxWindowsExamined at most: its length is asked first, then only its end is read.
static std::vector<uint32_t> newest_items(xcb_connection_t *c, uint32_t root, xcb_atom_t property) {
  xcb_get_property_reply_t *reply =
      answer(xcb_get_property_reply, c,
             xcb_get_property(c, 0, root, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
  uint32_t total = reply && reply->format == 32 ? reply->bytes_after / 4 : 0;
  free(reply);
  if (total == 0) return {};
  uint32_t offset = total > kMaxWindowsExamined ? total - kMaxWindowsExamined : 0;
  return take_items(c, ask_property(c, {root}, property, kMaxWindowsExamined, offset)[0]);
}

// The children of each of windows, bottom to top, as far as budget allows (it is
// lowered by as many); windows that are gone have none.
static std::vector<uint32_t> children_of(xcb_connection_t *c, const std::vector<uint32_t> &windows,
                                         size_t *budget) {
  std::vector<xcb_query_tree_cookie_t> cookies;
  for (uint32_t w : windows) cookies.push_back(xcb_query_tree(c, w));
  std::vector<uint32_t> children;
  for (xcb_query_tree_cookie_t cookie : cookies) {
    xcb_query_tree_reply_t *reply = answer(xcb_query_tree_reply, c, cookie);
    if (reply) {
      const xcb_window_t *list = xcb_query_tree_children(reply);
      size_t all = static_cast<size_t>(xcb_query_tree_children_length(reply));
      size_t n = std::min(all, *budget);
      // The topmost ones, when not all fit.
      children.insert(children.end(), list + (all - n), list + all);
      *budget -= n;
    }
    free(reply);
  }
  return children;
}

// Describes those of windows whose _NET_WM_PID (pids, in the same order) is one of
// ancestors and that a dialog can belong to: no menus or tooltips (override-redirect),
// nothing input-only.
static std::vector<WindowCandidate> describe(xcb_connection_t *c, const Atoms &atoms,
                                             const std::vector<uint32_t> &windows,
                                             const std::vector<uint32_t> &pids,
                                             const std::vector<long> &ancestors) {
  std::vector<uint32_t> ours;
  std::vector<long> our_pids;
  for (size_t i = 0; i < windows.size() && i < pids.size(); ++i) {
    long pid = static_cast<long>(pids[i]);
    if (pid != 0 && std::find(ancestors.begin(), ancestors.end(), pid) != ancestors.end()) {
      ours.push_back(windows[i]);
      our_pids.push_back(pid);
    }
  }
  std::vector<xcb_get_window_attributes_cookie_t> attributes;
  std::vector<xcb_get_geometry_cookie_t> geometries;
  for (uint32_t w : ours) {
    attributes.push_back(xcb_get_window_attributes(c, w));
    geometries.push_back(xcb_get_geometry(c, w));
  }
  std::vector<xcb_get_property_cookie_t> states = ask_property(c, ours, atoms.wm_state, 1);
  // Host names are short; 256 bytes is plenty.
  std::vector<xcb_get_property_cookie_t> machines = ask_property(c, ours, atoms.client_machine, 64);

  std::vector<WindowCandidate> candidates;
  for (size_t i = 0; i < ours.size(); ++i) {
    xcb_get_window_attributes_reply_t *a =
        answer(xcb_get_window_attributes_reply, c, attributes[i]);
    xcb_get_geometry_reply_t *g = answer(xcb_get_geometry_reply, c, geometries[i]);
    std::vector<uint32_t> state = take_items(c, states[i]);
    WindowCandidate candidate;
    (void)take_items(c, machines[i], nullptr, &candidate.machine);
    if (a && g && !a->override_redirect && a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT) {
      candidate.id = ours[i];
      candidate.pid = our_pids[i];
      candidate.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
      candidate.iconic = !state.empty() && state[0] == kIconicState;
      candidate.area = static_cast<long long>(g->width) * g->height;
      candidates.push_back(candidate);
    }
    free(a);
    free(g);
  }
  return candidates;
}

// The client windows of root and their pids: the windows down to kClientDepth below
// it that carry WM_STATE (the window manager's mark of the windows it manages, inside
// its frames), and with no window manager the top-level windows themselves.
// kMaxWindowsExamined windows are looked at, at most, the topmost first.
static void client_windows(xcb_connection_t *c, const Atoms &atoms, uint32_t root,
                           std::vector<uint32_t> *clients, std::vector<uint32_t> *pids) {
  size_t budget = kMaxWindowsExamined;
  std::vector<uint32_t> level = children_of(c, {root}, &budget);
  for (int depth = 0; depth < kClientDepth && !level.empty(); ++depth) {
    std::vector<xcb_get_property_cookie_t> states = ask_property(c, level, atoms.wm_state, 0);
    std::vector<xcb_get_property_cookie_t> level_pids = ask_property(c, level, atoms.pid, 1);
    std::vector<uint32_t> frames;
    for (size_t i = 0; i < level.size(); ++i) {
      bool managed = false;
      (void)take_items(c, states[i], &managed);
      std::vector<uint32_t> pid = take_items(c, level_pids[i]);
      if (managed || (depth == 0 && !pid.empty())) {
        clients->push_back(level[i]);
        pids->push_back(pid.empty() ? 0 : pid[0]);
      }
      if (!managed) frames.push_back(level[i]);
    }
    level = children_of(c, frames, &budget);
  }
}

// Searches screen for the window of our nearest ancestor that has one; 0 when none.
// The window manager's client list first; where it holds none of ours, the client
// windows themselves.
static unsigned long search_host_window(GdkScreen *screen, const Atoms &atoms,
                                        const std::vector<long> &ancestors, unsigned long active) {
  if (ancestors.empty()) return 0;
  xcb_connection_t *c = XGetXCBConnection(GDK_SCREEN_XDISPLAY(screen));
  uint32_t root = static_cast<uint32_t>(GDK_WINDOW_XID(gdk_screen_get_root_window(screen)));
  char host_name[256] = "";
  gethostname(host_name, sizeof host_name - 1);

  if (supports(screen, "_NET_CLIENT_LIST")) {
    std::vector<uint32_t> windows = newest_items(c, root, atoms.client_list), pids;
    for (xcb_get_property_cookie_t cookie : ask_property(c, windows, atoms.pid, 1)) {
      std::vector<uint32_t> pid = take_items(c, cookie);
      pids.push_back(pid.empty() ? 0 : pid[0]);
    }
    unsigned long host = choose_host_window(describe(c, atoms, windows, pids, ancestors), ancestors,
                                            host_name, active);
    if (host != 0) return host;
  }
  std::vector<uint32_t> clients, pids;
  client_windows(c, atoms, root, &clients, &pids);
  return choose_host_window(describe(c, atoms, clients, pids, ancestors), ancestors, host_name,
                            active);
}

// How many levels up from a named window its top-level window is looked for.
constexpr int kNamedWindowDepth = 64;

// The top-level window that holds the live window w: the nearest one up the tree that
// the window manager manages (it has WM_STATE), else the one just below the root; 0
// when w is gone. An integrator may name the window of a widget inside the host's.
static unsigned long top_level_of(xcb_connection_t *c, const Atoms &atoms, uint32_t w) {
  for (int level = 0; level < kNamedWindowDepth; ++level) {
    xcb_get_property_cookie_t state = ask_property(c, {w}, atoms.wm_state, 0)[0];
    xcb_query_tree_reply_t *tree = answer(xcb_query_tree_reply, c, xcb_query_tree(c, w));
    bool managed = false;
    (void)take_items(c, state, &managed);
    if (!tree) return 0;
    uint32_t root = tree->root, parent = tree->parent;
    free(tree);
    if (managed || parent == root || parent == XCB_NONE) return w;
    w = parent;
  }
  return w;
}

// The top-level window of the one named in VANDREL_PARENT_WINDOW when that is a live
// window, else 0; a value that is set but names no live window gets one line on
// standard error. The id of a window the host has since destroyed may have been
// handed to us, so a window of our own does not count either.
static unsigned long named_window(xcb_connection_t *c, const Atoms &atoms) {
  const char *text = getenv(kParentWindowVariable);
  if (!text || !*text) return 0;
  unsigned long id = 0;
  if (parse_window_id(text, &id) && (id = top_level_of(c, atoms, static_cast<uint32_t>(id))) != 0 &&
      first_item(c, static_cast<uint32_t>(id), atoms.pid) != static_cast<uint32_t>(getpid()))
    return id;
  fprintf(
      stderr,
      "vandrel: %s=%.64s is not a live window of the host; looking for the host's window instead\n",
      kParentWindowVariable, text);
  return 0;
}

// Whether w is in the full-screen state.
static bool is_full_screen(xcb_connection_t *c, const Atoms &atoms, uint32_t w) {
  // A window has a handful of states; 64 are more than any window manager sets.
  std::vector<uint32_t> states = take_items(c, ask_property(c, {w}, atoms.net_state, 64)[0]);
  return std::find(states.begin(), states.end(), atoms.full_screen) != states.end();
}

// The area of w's inside in root coordinates, and its root; false when w is gone.
static bool inside_area(xcb_connection_t *c, uint32_t w, Area *area, uint32_t *root) {
  xcb_get_geometry_reply_t *g = answer(xcb_get_geometry_reply, c, xcb_get_geometry(c, w));
  if (!g) return false;
  *root = g->root;
  area->width = g->width;
  area->height = g->height;
  free(g);
  xcb_translate_coordinates_reply_t *t =
      answer(xcb_translate_coordinates_reply, c, xcb_translate_coordinates(c, w, *root, 0, 0));
  if (!t) return false;
  area->x = t->dst_x;
  area->y = t->dst_y;
  free(t);
  return true;
}

static bool same_area(const Area &a, const Area &b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// Gives the full-screen window w up to kSettleWaitMs to leave full-screen, which its
// client was just asked to do: until its state says so and it has taken its other
// size (or kept one size for a while: a window manager may move it a moment after it
// changed the state). Returns at once when w is not full-screen.
static void wait_until_settled(xcb_connection_t *c, const Atoms &atoms, uint32_t w) {
  Area full, now;
  uint32_t root = 0;
  if (!is_full_screen(c, atoms, w) || !inside_area(c, w, &full, &root)) return;
  gint64 start = g_get_monotonic_time();
  gint64 left_at = -1;  // when it was first seen out of full-screen
  while (g_get_monotonic_time() - start < kSettleWaitMs * G_GINT64_CONSTANT(1000)) {
    g_usleep(kPollStepMs * 1000);
    if (is_full_screen(c, atoms, w)) continue;
    if (!inside_area(c, w, &now, &root)) return;
    if (left_at < 0) left_at = g_get_monotonic_time();
    if (!same_area(now, full) || g_get_monotonic_time() - left_at >= 10 * kPollStepMs * 1000)
      return;
  }
}

// Finds where window w is and how it stands; false when w is gone.
static bool host_place(GdkDisplay *display, xcb_connection_t *c, const Atoms &atoms, uint32_t w,
                       HostPlace *place) {
  uint32_t root = 0;
  if (!inside_area(c, w, &place->inside, &root)) return false;
  for (int i = 0; i < gdk_display_get_n_screens(display); ++i) {
    GdkScreen *screen = gdk_display_get_screen(display, i);
    if (GDK_WINDOW_XID(gdk_screen_get_root_window(screen)) == root) place->screen = screen;
  }
  xcb_get_window_attributes_reply_t *a =
      answer(xcb_get_window_attributes_reply, c, xcb_get_window_attributes(c, w));
  place->viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
  free(a);
  uint32_t state = first_item(c, w, atoms.wm_state);
  place->iconic = state == kIconicState;
  place->frame = frame_from_extents([&] {
    std::vector<uint32_t> items = take_items(c, ask_property(c, {w}, atoms.frame_extents, 4)[0]);
    return std::vector<unsigned long>(items.begin(), items.end());
  }());
  // Toolkits keep the time on a window of its own, named on the top-level one.
  uint32_t time_window = first_item(c, w, atoms.user_time_window);
  place->user_time = first_item(c, time_window != 0 ? time_window : w, atoms.user_time);
  return place->screen != nullptr;
}

// The frame the window manager will put around the dialog, realized but not yet
// shown: asked of the window manager where it offers that, else fallback.
static FrameExtents dialog_frame(GtkWidget *dialog, xcb_connection_t *c, const Atoms &atoms,
                                 const FrameExtents &fallback) {
  GdkScreen *screen = gtk_widget_get_screen(dialog);
  if (!supports(screen, "_NET_REQUEST_FRAME_EXTENTS")) return fallback;
  uint32_t w = static_cast<uint32_t>(GDK_WINDOW_XID(gtk_widget_get_window(dialog)));
  Display *x = GDK_SCREEN_XDISPLAY(screen);
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = w;
  request.xclient.message_type = atoms.request_frame_extents;
  request.xclient.format = 32;
  XSendEvent(x, GDK_WINDOW_XID(gdk_screen_get_root_window(screen)), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &request);
  XFlush(x);
  gint64 start = g_get_monotonic_time();
  do {
    std::vector<uint32_t> items = take_items(c, ask_property(c, {w}, atoms.frame_extents, 4)[0]);
    if (items.size() == 4) return frame_from_extents({items.begin(), items.end()});
    g_usleep(kPollStepMs * 1000);
  } while (g_get_monotonic_time() - start < kFrameAnswerWaitMs * G_GINT64_CONSTANT(1000));
  return fallback;
}

// The frame origin that centres the dialog (its inside width x height, its frame)
// on target, within the monitor of screen that holds target's centre.
static void origin_over(GdkScreen *screen, const Area &target, int width, int height,
                        const FrameExtents &frame, int *x, int *y) {
  GdkRectangle m;
  gdk_screen_get_monitor_geometry(
      screen,
      gdk_screen_get_monitor_at_point(screen, target.x + target.width / 2,
                                      target.y + target.height / 2),
      &m);
  centred_frame_origin(target, width, height, frame, Area{m.x, m.y, m.width, m.height}, x, y);
}

// ---- keeping the dialog centred while the host settles ----
// The dialog was placed before it was shown, by what could be known then: its size
// before the toolkit had laid it out in full, a frame the window manager may not have
// told, and a host that may still have been minimised or on its way out of
// full-screen. While the dialog is up, whenever the host has stood still for a look,
// the dialog's inside is brought to the host's centre from where it really is: a
// window manager may place a frame by other rules than the ones asked for, so a move
// is corrected by what the last one did, a few times at most for each stand of the
// host. Once the person (or the window manager) has moved the dialog, it stays where
// they put it.

namespace {
struct Follow {
  GtkWidget *dialog = nullptr;
  uint32_t host = 0;
  int ask_x = 0, ask_y = 0;  // where its frame was last asked to go
  bool seen = false;         // the dialog's inside has been seen at seen_x, seen_y
  int seen_x = 0, seen_y = 0, seen_width = 0, seen_height = 0;
  bool moving = false;  // a move of ours has not been seen to take effect
  int landing = 0;      // looks left for it to do so
  int moves_left = 0;   // for this stand of the host and size of the dialog
  bool host_seen = false;
  Area last;  // the host's area at the last look
  guint source = 0;
  gulong destroy_handler = 0;
};
// How often the host is looked at, in milliseconds.
constexpr guint kFollowEveryMs = 100;
// How many looks a move of ours is given to take effect.
constexpr int kLandingLooks = 5;
// How many moves one stand of the host gets.
constexpr int kMovesPerStand = 3;
// How far, in pixels, the dialog may be off centre and still count as centred.
constexpr int kCentredSlack = 2;
}  // namespace

static void follow_forget(GtkWidget *dialog, gpointer data) {
  (void)dialog;
  Follow *f = static_cast<Follow *>(data);
  g_source_remove(f->source);
  delete f;
}

static gboolean follow_end(Follow *f) {
  g_signal_handler_disconnect(f->dialog, f->destroy_handler);
  delete f;
  return FALSE;
}

// The frame the window manager has put around the shown dialog, whose inside is at
// x, y and width x height, measured from the window tree (not every window manager
// says it in _NET_FRAME_EXTENTS).
static FrameExtents measured_frame(GtkWidget *dialog, int x, int y, int width, int height) {
  GdkRectangle outer;
  gdk_window_get_frame_extents(gtk_widget_get_window(dialog), &outer);
  long long right = static_cast<long long>(outer.x) + outer.width - x - width;
  long long bottom = static_cast<long long>(outer.y) + outer.height - y - height;
  auto side = [](long long v) { return static_cast<unsigned long>(std::max(v, 0LL)); };
  return frame_from_extents({side(static_cast<long long>(x) - outer.x), side(right),
                             side(static_cast<long long>(y) - outer.y), side(bottom)});
}

// A look of the main loop's timer (the toolkit's lock held, on whichever thread runs
// the loop). Returns FALSE, ending the looks, when the host is gone or the dialog has
// been moved by someone else.
static gboolean follow_look(gpointer data) {
  Follow *f = static_cast<Follow *>(data);
  GtkWidget *dialog = f->dialog;
  GtkWindow *window = GTK_WINDOW(dialog);
  GdkDisplay *display = gtk_widget_get_display(dialog);
  xcb_connection_t *c = XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display));
  Atoms atoms = atoms_of(display);
  Area area;
  uint32_t root = 0;
  if (!inside_area(c, f->host, &area, &root)) return follow_end(f);
  xcb_get_window_attributes_reply_t *a =
      answer(xcb_get_window_attributes_reply, c, xcb_get_window_attributes(c, f->host));
  bool shown = a && a->map_state == XCB_MAP_STATE_VIEWABLE &&
               first_item(c, f->host, atoms.wm_state) != kIconicState;
  free(a);
  if (!shown || !f->host_seen || !same_area(area, f->last)) {
    f->host_seen = shown;
    f->last = area;
    f->moves_left = kMovesPerStand;
    return TRUE;
  }
  if (!gtk_widget_get_mapped(dialog)) return TRUE;
  // Minimised with a host that has come back without it.
  if (gdk_window_get_state(gtk_widget_get_window(dialog)) & GDK_WINDOW_STATE_ICONIFIED) {
    gtk_window_deiconify(window);
    return TRUE;
  }
  int x = 0, y = 0, width = 0, height = 0;
  gdk_window_get_origin(gtk_widget_get_window(dialog), &x, &y);
  gtk_window_get_size(window, &width, &height);
  bool moved = f->seen && (x != f->seen_x || y != f->seen_y);
  if (f->moving) {
    if (!moved && --f->landing > 0) return TRUE;
    f->moving = false;
    if (!moved) f->moves_left = 0;  // the window manager keeps it where it is
  } else if (moved) {
    return follow_end(f);
  }
  if (f->seen && (width != f->seen_width || height != f->seen_height))
    f->moves_left = kMovesPerStand;
  f->seen = true;
  f->seen_x = x;
  f->seen_y = y;
  f->seen_width = width;
  f->seen_height = height;
  if (f->moves_left == 0) return TRUE;

  FrameExtents frame = measured_frame(dialog, x, y, width, height);
  int to_x = 0, to_y = 0;
  origin_over(gtk_widget_get_screen(dialog), area, width, height, frame, &to_x, &to_y);
  int off_x = to_x + frame.left - x, off_y = to_y + frame.top - y;
  if (std::abs(off_x) <= kCentredSlack && std::abs(off_y) <= kCentredSlack) return TRUE;
  f->ask_x += off_x;
  f->ask_y += off_y;
  gtk_window_move(window, f->ask_x, f->ask_y);
  f->moving = true;
  f->landing = kLandingLooks;
  --f->moves_left;
  return TRUE;
}

// The look in an error trap: another client may destroy the dialog's window too.
static gboolean follow_tick(gpointer data) {
  gdk_error_trap_push();
  gboolean go_on = follow_look(data);
  gdk_flush();
  gdk_error_trap_pop();
  return go_on;
}

// Keeps dialog, whose frame was asked to go to x, y, centred on host while the host
// settles, as the comment above says. Until the dialog is destroyed.
static void follow_host(GtkWidget *dialog, uint32_t host, int x, int y) {
  Follow *f = new Follow;
  f->dialog = dialog;
  f->host = host;
  f->ask_x = x;
  f->ask_y = y;
  f->source = gdk_threads_add_timeout(kFollowEveryMs, follow_tick, f);
  f->destroy_handler = g_signal_connect(dialog, "destroy", G_CALLBACK(follow_forget), f);
}

// ---- a dialog that came while the person was elsewhere ----

constexpr char kKeyHoldKey[] = "vandrel-key-hold";

static long long now_ms() { return g_get_monotonic_time() / 1000; }

// The signal handlers below run from the toolkit's main loop (on whichever thread
// runs it), with the toolkit's lock held; hold is the dialog's, freed with it.

static gboolean on_map(GtkWidget *dialog, GdkEvent *event, gpointer hold) {
  (void)dialog;
  (void)event;
  key_hold_mapped(static_cast<KeyHold *>(hold), now_ms());
  return FALSE;
}

// The person has come to the dialog: it asks for attention no more, and when it is
// shown again (the save dialog after a failed save) it takes the focus as usual.
static gboolean on_focus_in(GtkWidget *dialog, GdkEventFocus *event, gpointer hold) {
  (void)event;
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_focus_on_map(GTK_WINDOW(dialog), TRUE);
  if (hold) key_hold_focused(static_cast<KeyHold *>(hold), now_ms());
  return FALSE;
}

static gboolean on_key_press(GtkWidget *dialog, GdkEventKey *event, gpointer hold) {
  (void)dialog;
  (void)event;
  return !key_hold_passes(static_cast<KeyHold *>(hold), now_ms());
}

// Sees every pointer press in the dialog's window, whichever widget takes it.
static GdkFilterReturn on_x_event(GdkXEvent *xevent, GdkEvent *event, gpointer hold) {
  (void)event;
  if (static_cast<XEvent *>(xevent)->type == ButtonPress)
    key_hold_clicked(static_cast<KeyHold *>(hold));
  return GDK_FILTER_CONTINUE;
}

// Makes the realized dialog ask for attention until it has the focus.
static void ask_for_attention(GtkWidget *dialog) {
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "focus-in-event", G_CALLBACK(on_focus_in), nullptr);
}

// Makes the realized dialog come up without taking the focus, ask for attention, and
// hold back keys as KeyHold says.
static void come_up_quietly(GtkWidget *dialog) {
  KeyHold *hold = new KeyHold;
  g_object_set_data_full(G_OBJECT(dialog), kKeyHoldKey, hold,
                         [](gpointer data) { delete static_cast<KeyHold *>(data); });
  gtk_window_set_focus_on_map(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "map-event", G_CALLBACK(on_map), hold);
  g_signal_connect(dialog, "focus-in-event", G_CALLBACK(on_focus_in), hold);
  g_signal_connect(dialog, "key-press-event", G_CALLBACK(on_key_press), hold);
  gdk_window_add_filter(gtk_widget_get_window(dialog), on_x_event, hold);
}

void attach_to_host(GtkWidget *dialog) {
  GdkDisplay *display = gtk_widget_get_display(dialog);
  GdkScreen *screen = gtk_widget_get_screen(dialog);
  xcb_connection_t *c = XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display));
  Atoms atoms = atoms_of(display);
  std::vector<long> ancestors = ancestor_pids(static_cast<long>(getpid()), kHostAncestorLevels);

  HostPlace place;
  gdk_error_trap_push();
  unsigned long active = 0;
  if (supports(screen, "_NET_ACTIVE_WINDOW"))
    active =
        first_item(c, static_cast<uint32_t>(GDK_WINDOW_XID(gdk_screen_get_root_window(screen))),
                   atoms.active_window);
  long active_pid = active != 0 ? static_cast<long>(first_item(c, active, atoms.pid)) : 0;
  unsigned long host = named_window(c, atoms);
  if (host == 0) host = search_host_window(screen, atoms, ancestors, active);
  if (host != 0) wait_until_settled(c, atoms, static_cast<uint32_t>(host));
  bool found = host != 0 && host_place(display, c, atoms, static_cast<uint32_t>(host), &place);
  gdk_flush();
  gdk_error_trap_pop();
  bool elsewhere = person_elsewhere(active, active_pid, found ? host : 0, ancestors,
                                    static_cast<long>(getpid()));

  // On the host's screen, or the pointer's, first: a realized window cannot change
  // screens.
  int pointer_x = 0, pointer_y = 0;
  GdkScreen *pointer_screen = nullptr;
  gdk_display_get_pointer(display, &pointer_screen, &pointer_x, &pointer_y, nullptr);
  GdkScreen *target_screen = found ? place.screen : pointer_screen;
  if (target_screen && target_screen != screen)
    gtk_window_set_screen(GTK_WINDOW(dialog), target_screen);
  screen = gtk_widget_get_screen(dialog);
  GtkWindow *window = GTK_WINDOW(dialog);
  // Message dialogs keep out of the task list by default; a dialog that waits for the
  // person must be findable there, whatever covers it.
  gtk_window_set_skip_taskbar_hint(window, FALSE);
  gtk_window_set_skip_pager_hint(window, FALSE);
  gtk_widget_realize(dialog);
  GdkWindow *own = gtk_widget_get_window(dialog);
  if (elsewhere)
    come_up_quietly(dialog);
  else if (found && !place.viewable)
    ask_for_attention(dialog);
  if (found && place.iconic) gtk_window_iconify(window);
  if (found) {
    GdkWindow *parent = gdk_window_foreign_new_for_display(display, host);
    if (parent) {
      gdk_error_trap_push();
      gdk_window_set_transient_for(own, parent);
      gdk_flush();
      gdk_error_trap_pop();
      // Only our reference: the toolkit keeps the foreign window in its table, and
      // destroying it would close the host's window.
      g_object_unref(parent);
    }
    gtk_window_set_modal(window, TRUE);
    // Minimised on its own, a modal dialog would leave the host unusable with nothing
    // on screen to answer (some window managers list no minimised dialog at all); it
    // goes and comes back with the host.
    // Named one by one: some window managers (openbox) ignore the "all but" form.
    gdk_window_set_functions(
        own, static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_RESIZE | GDK_FUNC_CLOSE));
    gdk_window_set_decorations(
        own, static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_RESIZEH | GDK_DECOR_TITLE |
                                          GDK_DECOR_MENU));
    // Window managers that guard the focus compare this with the active window's last
    // use: when that is the host, the dialog is as recent and gets the focus.
    if (!elsewhere && place.user_time != 0) gdk_x11_window_set_user_time(own, place.user_time);
  }

  // Where the frame goes: centred by the dialog's own frame, which the window manager
  // is asked for (the host's, zero while it is full-screen, would place it by the
  // wrong title bar). A minimised host's area says little about where it will be
  // restored (window managers move it about for their animations): the dialog then
  // starts on the pointer's monitor and is centred on the host once it is back.
  gdk_error_trap_push();
  FrameExtents frame = dialog_frame(dialog, c, atoms, found ? place.frame : FrameExtents());
  gdk_flush();
  gdk_error_trap_pop();
  Area target;
  if (found && place.viewable) {
    target = place.inside;
  } else {
    GdkRectangle m;
    gdk_screen_get_monitor_geometry(
        screen, gdk_screen_get_monitor_at_point(screen, pointer_x, pointer_y), &m);
    target = Area{m.x, m.y, m.width, m.height};
  }
  int width = 0, height = 0, x = 0, y = 0;
  gtk_window_get_size(window, &width, &height);
  origin_over(screen, target, width, height, frame, &x, &y);
  gtk_window_move(window, x, y);
  if (found) follow_host(dialog, static_cast<uint32_t>(host), x, y);
}
