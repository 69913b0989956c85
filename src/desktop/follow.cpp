#include "desktop/follow.h"

#include <X11/Xlib-xcb.h>

#include <cstdlib>

#include "desktop/host_place.h"

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
  return frame_between({x, y, width, height}, {outer.x, outer.y, outer.width, outer.height});
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
void follow_host(GtkWidget *dialog, uint32_t host, int x, int y) {
  Follow *f = new Follow;
  f->dialog = dialog;
  f->host = host;
  f->ask_x = x;
  f->ask_y = y;
  f->source = gdk_threads_add_timeout(kFollowEveryMs, follow_tick, f);
  f->destroy_handler = g_signal_connect(dialog, "destroy", G_CALLBACK(follow_forget), f);
}
