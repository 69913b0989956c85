#include "desktop/x_properties.h"

#include <algorithm>

#include "desktop/rules/window_choice.h"

Atoms atoms_of(GdkDisplay *display) {
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
               get("_NET_WM_USER_TIME_WINDOW"),
               get("WM_CLIENT_LEADER"),
               get("_NET_WORKAREA"),
               get("_NET_CURRENT_DESKTOP"),
               get("_NET_WM_STATE_SKIP_TASKBAR")};
}

bool supports(GdkScreen *screen, const char *hint) {
  return gdk_x11_screen_supports_net_wm_hint(screen, gdk_atom_intern_static_string(hint));
}

std::vector<xcb_get_property_cookie_t> ask_property(xcb_connection_t *c,
                                                    const std::vector<uint32_t> &windows,
                                                    xcb_atom_t property, uint32_t items,
                                                    uint32_t offset) {
  std::vector<xcb_get_property_cookie_t> cookies;
  cookies.reserve(windows.size());
  for (uint32_t w : windows)
    cookies.push_back(
        xcb_get_property(c, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, offset, items));
  return cookies;
}

std::vector<uint32_t> take_items(xcb_connection_t *c, xcb_get_property_cookie_t cookie, bool *set,
                                 std::string *text) {
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

uint32_t first_item(xcb_connection_t *c, uint32_t w, xcb_atom_t property) {
  std::vector<uint32_t> items = take_items(c, ask_property(c, {w}, property, 1)[0]);
  return items.empty() ? 0 : items[0];
}

uint32_t live_active_window(xcb_connection_t *c, const Atoms &atoms, GdkWindow *root) {
  uint32_t active = first_item(c, static_cast<uint32_t>(GDK_WINDOW_XID(root)), atoms.active_window);
  if (active == 0) return 0;
  xcb_get_window_attributes_reply_t *a =
      answer(xcb_get_window_attributes_reply, c, xcb_get_window_attributes(c, active));
  bool alive = a != nullptr;
  free(a);
  return alive ? active : 0;
}

std::vector<uint32_t> newest_items(xcb_connection_t *c, uint32_t root, xcb_atom_t property) {
  xcb_get_property_reply_t *reply =
      answer(xcb_get_property_reply, c,
             xcb_get_property(c, 0, root, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
  uint32_t total = reply && reply->format == 32 ? reply->bytes_after / 4 : 0;
  free(reply);
  if (total == 0) return {};
  uint32_t offset = total > kMaxWindowsExamined ? total - kMaxWindowsExamined : 0;
  return take_items(c, ask_property(c, {root}, property, kMaxWindowsExamined, offset)[0]);
}

std::vector<uint32_t> children_of(xcb_connection_t *c, const std::vector<uint32_t> &windows,
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
