// Reading the X server's window properties and trees: many requests sent before the
// first answer is read, every error taken with its answer. For the X part of the
// desktop folder only.
// Every call here runs with the toolkit's lock held, so nothing else uses the X
// connection meanwhile. Requests go out through the connection's XCB side, many at a
// time before the first answer is read: one round trip per window would cost
// seconds for a long client list. Any window but our own may be destroyed by its
// client at any moment; an XCB request's error comes back with its answer, and the
// few Xlib calls run inside the toolkit's error trap.
#pragma once

#include <gdk/gdkx.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// The atoms the search and the placing need; the toolkit looks each up once per
// display and keeps it.
struct Atoms {
  xcb_atom_t client_list, active_window, pid, wm_state, client_machine, net_state, full_screen,
      frame_extents, request_frame_extents, user_time, user_time_window, client_leader, work_area,
      current_desktop, skip_taskbar;
};

// ICCCM's WM_STATE value for a minimised window.
constexpr uint32_t kIconicState = 3;
// ... and for one on view.
constexpr uint32_t kNormalState = 1;
// Polling steps while waiting for the window manager: short, since a dialog waits
// for it before it is shown.
constexpr int kPollStepMs = 5;

Atoms atoms_of(GdkDisplay *display);

// Whether the window manager of screen says it supports the EWMH hint.
bool supports(GdkScreen *screen, const char *hint);

// The answer to an XCB request, or null when it failed (the window is gone, say). The
// error is taken here: left to Xlib it would reach the toolkit's error handler, which
// ends the process outside a trap.
template <typename Reply, typename Cookie>
Reply *answer(Reply *(*get)(xcb_connection_t *, Cookie, xcb_generic_error_t **),
              xcb_connection_t *c, Cookie cookie) {
  xcb_generic_error_t *error = nullptr;
  Reply *reply = get(c, cookie, &error);
  free(error);
  return reply;
}

// Sends, without waiting, a request for up to items 32-bit items (or 4 * items
// bytes) of property from offset items on, for each of windows.
std::vector<xcb_get_property_cookie_t> ask_property(xcb_connection_t *c,
                                                    const std::vector<uint32_t> &windows,
                                                    xcb_atom_t property, uint32_t items,
                                                    uint32_t offset = 0);

// The answer to one ask_property request: its 32-bit items (none when the window is
// gone, the property unset or of another format); *set, when given, says whether the
// property exists at all, and *text receives a format-8 value.
std::vector<uint32_t> take_items(xcb_connection_t *c, xcb_get_property_cookie_t cookie,
                                 bool *set = nullptr, std::string *text = nullptr);

// The first item of a 32-bit property of w, or 0.
uint32_t first_item(xcb_connection_t *c, uint32_t w, xcb_atom_t property);

// The window _NET_ACTIVE_WINDOW of root names when that window still exists, else 0:
// a window manager may leave it naming a window that has gone.
uint32_t live_active_window(xcb_connection_t *c, const Atoms &atoms, GdkWindow *root);

// The newest items of root's list property (window managers append to their lists),
// kMaxWindowsExamined at most: its length is asked first, then only its end is read.
std::vector<uint32_t> newest_items(xcb_connection_t *c, uint32_t root, xcb_atom_t property);

// The children of each of windows, bottom to top, as far as budget allows (it is
// lowered by as many); windows that are gone have none.
std::vector<uint32_t> children_of(xcb_connection_t *c, const std::vector<uint32_t> &windows,
                                  size_t *budget);
