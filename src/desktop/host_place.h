// Where the host's window is and how it stands, and where a dialog goes over it:
// measured on the X server (the arithmetic is rules/placement.h). Toolkit lock held.
#pragma once

#include <gtk/gtk.h>

#include "desktop/rules/placement.h"
#include "desktop/x_properties.h"

// Where the host's window is and how it stands.
struct HostPlace {
  GdkScreen *screen = nullptr;
  Area inside;         // its area in root coordinates, without the window manager's frame
  FrameExtents frame;  // that frame (all zero while full-screen or without one)
  bool viewable = false;
  bool iconic = false;
  uint32_t user_time = 0;  // _NET_WM_USER_TIME of its last use, 0 when unknown
};

// How long a dialog waits, at most, for a full-screen host to leave full-screen (which
// it was asked to just before) so that the dialog is centred where the host will be.
constexpr int kSettleWaitMs = 300;

// The area of w's inside in root coordinates, and its root; false when w is gone.
bool inside_area(xcb_connection_t *c, uint32_t w, Area *area, uint32_t *root);

bool same_area(const Area &a, const Area &b);

// Gives the full-screen window w up to kSettleWaitMs to leave full-screen, which its
// client was just asked to do: until its state says so and it has taken its other
// size (or kept one size for a while: a window manager may move it a moment after it
// changed the state). Returns at once when w is not full-screen.
void wait_until_settled(xcb_connection_t *c, const Atoms &atoms, uint32_t w);

// Finds where window w is and how it stands; false when w is gone.
bool host_place(GdkDisplay *display, xcb_connection_t *c, const Atoms &atoms, uint32_t w,
                HostPlace *place);

// The frame the window manager will put around the dialog, realized but not yet
// shown: asked of the window manager where it offers that, else fallback.
FrameExtents dialog_frame(GtkWidget *dialog, xcb_connection_t *c, const Atoms &atoms,
                          const FrameExtents &fallback);

// The share of monitor (a monitor number of screen) that the work area of the current
// desktop leaves to windows; the whole monitor where the window manager gives none.
Area usable_monitor_area(GdkScreen *screen, int monitor);

// The frame origin that centres the dialog (its inside width x height, its frame)
// on target, within the usable area of the monitor of screen that holds target's
// centre.
void origin_over(GdkScreen *screen, const Area &target, int width, int height,
                 const FrameExtents &frame, int *x, int *y);
