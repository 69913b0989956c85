// Finding the host's window on the X server: the one the integrator names, else a
// window of the nearest ancestor process that has one. The choosing itself is in
// rules/window_choice.h. Toolkit lock held; X errors come back with the answers.
#pragma once

#include <gdk/gdk.h>

#include <vector>

#include "desktop/x_properties.h"

// The pid of the client behind each of windows, in order, 0 where none is known: its
// _NET_WM_PID, else that of its WM_CLIENT_LEADER, else the one the X server knows
// (the X-Resource extension's client ids, for a local client; toolkits such as Tk and
// Xt set no _NET_WM_PID). Windows that are gone get 0.
std::vector<uint32_t> window_pids(xcb_connection_t *c, const Atoms &atoms,
                                  const std::vector<uint32_t> &windows);

// Searches screen for the window of our nearest ancestor that has one; 0 when none.
// The window manager's client list first; where it holds none of ours (i3 leaves out
// a window that is full-screen from its first map), the client windows themselves.
unsigned long search_host_window(GdkScreen *screen, const Atoms &atoms,
                                 const std::vector<long> &ancestors, unsigned long active);

// The top-level window of the one named in VANDREL_PARENT_WINDOW when that is a live
// window, else 0; a value that is set but names no live window gets one line on
// standard error. The id of a window the host has since destroyed may have been
// handed to us, so a window of our own does not count either.
unsigned long named_window(xcb_connection_t *c, const Atoms &atoms);
