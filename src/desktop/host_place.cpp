#include "desktop/host_place.h"

#include <X11/Xlib-xcb.h>

#include <algorithm>

namespace {
// How long the window manager is given to say how wide the dialog's frame will be.
constexpr int kFrameAnswerWaitMs = 100;
// How long a host that has left full-screen must keep one size to count as settled,
// in polling steps: a window manager may move it a moment after it changed the state.
constexpr int kSettledSteps = 10;
// How many of a window's _NET_WM_STATE items are read: a window has a handful of
// states, and these are more than any window manager sets.
constexpr uint32_t kMaxWindowStates = 64;
// How many _NET_WORKAREA items are read: four for each of 256 desktops.
constexpr uint32_t kMaxWorkAreaItems = 1024;
// How many windows up from a client its frame is looked for: window managers put one
// or two of their own between a client and the root.
constexpr int kMaxFrameLevels = 8;
}  // namespace

// Whether w is in the full-screen state.
static bool is_full_screen(xcb_connection_t *c, const Atoms &atoms, uint32_t w) {
  std::vector<uint32_t> states =
      take_items(c, ask_property(c, {w}, atoms.net_state, kMaxWindowStates)[0]);
  return std::find(states.begin(), states.end(), atoms.full_screen) != states.end();
}

bool inside_area(xcb_connection_t *c, uint32_t w, Area *area, uint32_t *root) {
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

bool same_area(const Area &a, const Area &b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

void wait_until_settled(xcb_connection_t *c, const Atoms &atoms, uint32_t w) {
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
    if (!same_area(now, full) ||
        g_get_monotonic_time() - left_at >= kSettledSteps * kPollStepMs * 1000)
      return;
  }
}

// The frame around w (whose inside is inside), measured from the window tree: the
// area of its top-level ancestor, the window manager's frame, around it. For window
// managers that do not say it in _NET_FRAME_EXTENTS; all zero without a frame.
static FrameExtents measured_frame(xcb_connection_t *c, uint32_t w, const Area &inside,
                                   uint32_t root) {
  uint32_t top = w;
  for (int level = 0; level < kMaxFrameLevels; ++level) {
    xcb_query_tree_reply_t *tree = answer(xcb_query_tree_reply, c, xcb_query_tree(c, top));
    uint32_t parent = tree ? tree->parent : root;
    free(tree);
    if (parent == root || parent == XCB_NONE) break;
    top = parent;
  }
  Area outer;
  uint32_t top_root = 0;
  if (top == w || !inside_area(c, top, &outer, &top_root)) return FrameExtents();
  return frame_between(inside, outer);
}

bool host_place(GdkDisplay *display, xcb_connection_t *c, const Atoms &atoms, uint32_t w,
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
  std::vector<uint32_t> extents = take_items(c, ask_property(c, {w}, atoms.frame_extents, 4)[0]);
  if (extents.size() == 4)
    place->frame = frame_from_extents({extents.begin(), extents.end()});
  else
    place->frame = measured_frame(c, w, place->inside, root);
  // Toolkits keep the time on a window of its own, named on the top-level one.
  uint32_t time_window = first_item(c, w, atoms.user_time_window);
  place->user_time = first_item(c, time_window != 0 ? time_window : w, atoms.user_time);
  return place->screen != nullptr;
}

FrameExtents dialog_frame(GtkWidget *dialog, xcb_connection_t *c, const Atoms &atoms,
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

Area usable_monitor_area(GdkScreen *screen, int monitor) {
  GdkRectangle m;
  gdk_screen_get_monitor_geometry(screen, monitor, &m);
  Area area{m.x, m.y, m.width, m.height};
  if (!supports(screen, "_NET_WORKAREA")) return area;
  GdkDisplay *display = gdk_screen_get_display(screen);
  xcb_connection_t *c = XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display));
  Atoms atoms = atoms_of(display);
  uint32_t root = static_cast<uint32_t>(GDK_WINDOW_XID(gdk_screen_get_root_window(screen)));
  xcb_get_property_cookie_t desktop = ask_property(c, {root}, atoms.current_desktop, 1)[0];
  xcb_get_property_cookie_t work = ask_property(c, {root}, atoms.work_area, kMaxWorkAreaItems)[0];
  std::vector<uint32_t> current = take_items(c, desktop);
  std::vector<uint32_t> areas = take_items(c, work);
  return usable_area(area, {areas.begin(), areas.end()}, current.empty() ? 0 : current[0]);
}

void origin_over(GdkScreen *screen, const Area &target, int width, int height,
                 const FrameExtents &frame, int *x, int *y) {
  int monitor = gdk_screen_get_monitor_at_point(screen, target.x + target.width / 2,
                                                target.y + target.height / 2);
  centred_frame_origin(target, width, height, frame, usable_monitor_area(screen, monitor), x, y);
}
