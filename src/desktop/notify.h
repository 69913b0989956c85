// A desktop notification for a dialog that waits where the person cannot see it:
// some window managers keep it out of the task list themselves, and behind the
// window the person uses or minimised with the host (xfwm4, metacity, marco and
// mutter for a dialog minimised with the host; mutter on Wayland for one that came
// while the person was in another program), so nothing else says that it waits.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

// Makes the realized, not yet shown dialog, which comes up while the person works
// elsewhere or minimised with the host, watch how the window manager takes it: if it
// still waits for the person (focus.h) and the window manager has put it out of the
// task list (_NET_WM_STATE_SKIP_TASKBAR) once it is shown, a notification goes to
// the freedesktop notification service on the session bus, titled as the dialog,
// with the title of host's window (0: none) as its text; clicking it brings the
// dialog up with the keyboard. The notification is withdrawn when the dialog has the
// focus or goes. Without a session bus or a notification service nothing more is
// shown. Toolkit lock.
void notify_when_hidden(GtkWidget *dialog, uint32_t host);
