// The host's window: which X window a dialog belongs to, and attaching the dialog to it,
// so the window manager keeps the dialog above the host, on the host's monitor.
//
// The window is the one the integrator names in VANDREL_PARENT_WINDOW (or the
// top-level window that holds it), else the top-level window whose _NET_WM_PID is our
// parent process (or, for hosts that start us through a launcher, the nearest
// ancestor that has one) on this machine: the active window among several, else the
// largest shown one, else the largest minimised one. It is looked for in the window
// manager's client list, and where that holds none of ours (i3 leaves out a window
// that is full-screen from its first map) among the client windows themselves.
// Whatever other clients put into the properties read here, the search reads a
// bounded amount and sends its requests without waiting for each answer.
#pragma once

typedef struct _GtkWidget GtkWidget;

// The environment variable in which an integrator names the host's window.
constexpr char kParentWindowVariable[] = "VANDREL_PARENT_WINDOW";

// Makes dialog, created but not yet shown, belong to the host's window, looked up
// now, and sets how it comes up. With a host window found: transient for it (as a
// foreign window of the toolkit), on its screen, modal, not to be minimised on its
// own, and centred over it within its monitor, by the dialog's own frame; a host
// that is full-screen is given up to kSettleWaitMs to leave it first; over a
// minimised host the dialog starts minimised too and asks for attention. While the
// dialog is up, a timer of the main loop centres it again whenever the host has
// settled anew (until someone else moves the dialog). With no host window: centred
// on the monitor that holds the pointer. Dialogs stay inside the work area
// (_NET_WORKAREA) of their monitor. Every dialog asks to be listed in the task list.
// When the person works in another program's window (the active one, when it still
// exists, is neither the host's nor ours), the dialog takes no input focus until the
// person turns to it (focus.h) and asks for attention; otherwise it takes the
// keyboard each time it comes on screen and carries the host's last user time, so
// the window manager lets it take the focus. A dialog that waits so, or minimised
// with the host, is shown in a desktop notification where the window manager keeps
// it out of the task list (notify.h). A VANDREL_PARENT_WINDOW that names no live
// window gets one line on standard error and the search is made instead. X errors
// from windows that go away meanwhile are trapped. The dialog stays the caller's.
// Reader thread, inside a dialog section (the toolkit's lock held).
void attach_to_host(GtkWidget *dialog);
