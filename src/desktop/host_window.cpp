#include "desktop/host_window.h"

#include <X11/Xlib-xcb.h>
#include <gdk/gdkx.h>
#include <unistd.h>

#include <cstdio>

#include "desktop/focus.h"
#include "desktop/follow.h"
#include "desktop/host_place.h"
#include "desktop/host_search.h"
#include "desktop/notify.h"
#include "desktop/rules/focus_policy.h"
#include "desktop/rules/window_choice.h"

// Says once per helper, on standard error, that no window of the host was found and
// how the host names it. Reader thread.
static void say_no_host_window() {
  static bool said = false;
  if (said) return;
  said = true;
  fprintf(stderr,
          "vandrel: no window of the host found (no top-level window whose _NET_WM_PID is the "
          "host's); the dialogs are not attached to it: name it with --parent WID or %s=WID\n",
          kParentWindowVariable);
}

// Makes own transient for the host's window host. Toolkit lock held.
static void belong_to(GdkWindow *own, uint32_t host) {
  GdkWindow *parent = gdk_window_foreign_new_for_display(gdk_drawable_get_display(own), host);
  if (!parent) return;
  gdk_error_trap_push();
  gdk_window_set_transient_for(own, parent);
  gdk_flush();
  gdk_error_trap_pop();
  // Only our reference: the toolkit keeps the foreign window in its table, and
  // destroying it would close the host's window.
  g_object_unref(parent);
}

// The dialog is on screen (the window manager has placed and stacked it): it belongs
// to the host window data from now on. Once. Main loop, toolkit lock held.
static gboolean on_map_belong(GtkWidget *dialog, GdkEvent *event, gpointer data) {
  (void)event;
  g_signal_handlers_disconnect_by_func(dialog, reinterpret_cast<gpointer>(on_map_belong), data);
  belong_to(gtk_widget_get_window(dialog), GPOINTER_TO_UINT(data));
  return FALSE;
}

void attach_to_host(GtkWidget *dialog) {
  GdkDisplay *display = gtk_widget_get_display(dialog);
  GdkScreen *screen = gtk_widget_get_screen(dialog);
  xcb_connection_t *c = XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display));
  Atoms atoms = atoms_of(display);
  std::vector<long> ancestors = ancestor_pids(static_cast<long>(getpid()), kHostAncestorLevels);

  HostPlace place;
  gdk_error_trap_push();
  // A window manager may leave _NET_ACTIVE_WINDOW naming a window that has gone:
  // then nobody is active.
  unsigned long active = 0;
  if (supports(screen, "_NET_ACTIVE_WINDOW"))
    active = live_active_window(c, atoms, gdk_screen_get_root_window(screen));
  long active_pid =
      active != 0 ? static_cast<long>(window_pids(c, atoms, {static_cast<uint32_t>(active)})[0])
                  : 0;
  unsigned long host = named_window(c, atoms);
  if (host == 0) host = search_host_window(screen, atoms, ancestors, active);
  if (host != 0) wait_until_settled(c, atoms, static_cast<uint32_t>(host));
  bool found = host != 0 && host_place(display, c, atoms, static_cast<uint32_t>(host), &place);
  gdk_flush();
  gdk_error_trap_pop();
  if (!found) say_no_host_window();
  // On view: a compositing window manager (mutter) keeps a minimised window mapped.
  bool on_view = found && place.viewable && !place.iconic;
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
  if (elsewhere) {
    come_up_unfocused(dialog, found ? static_cast<uint32_t>(host) : 0);
    notify_when_hidden(dialog, found ? static_cast<uint32_t>(host) : 0);
  } else {
    // Minimised with the host, or on another desktop: it waits unseen as well.
    if (found && !on_view) {
      ask_for_attention(dialog);
      notify_when_hidden(dialog, static_cast<uint32_t>(host));
    }
    take_keys_when_shown(dialog, found ? static_cast<uint32_t>(host) : 0);
  }
  if (found && place.iconic) {
    gtk_window_iconify(window);
    g_object_set_data(G_OBJECT(dialog), kStartsMinimisedKey, GINT_TO_POINTER(1));
  }
  if (found) {
    // Window managers stack a new transient window with the window it belongs to, and
    // some (openbox, xfwm4) raise that window with it over the program the person
    // uses: a dialog that waits for them belongs to the host only once it is shown.
    // (One that starts minimised with the host belongs to it at once, to come back
    // with it.)
    if (elsewhere && on_view) {
      g_signal_connect(dialog, "map-event", G_CALLBACK(on_map_belong),
                       GUINT_TO_POINTER(static_cast<guint>(host)));
    } else {
      belong_to(own, static_cast<uint32_t>(host));
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
  if (on_view) {
    target = place.inside;
  } else {
    target =
        usable_monitor_area(screen, gdk_screen_get_monitor_at_point(screen, pointer_x, pointer_y));
  }
  int width = 0, height = 0, x = 0, y = 0;
  gtk_window_get_size(window, &width, &height);
  origin_over(screen, target, width, height, frame, &x, &y);
  gtk_window_move(window, x, y);
  if (found) follow_host(dialog, static_cast<uint32_t>(host), x, y);
}
