#include "desktop/focus.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <unistd.h>

#include "desktop/x_properties.h"

namespace {
constexpr char kUnfocusedKey[] = "vandrel-unfocused";

// A dialog that waits, without the keyboard, for the person to turn to it. Owned by
// the dialog (object data); the filters that name it go when its window goes.
struct Unfocused {
  GtkWidget *dialog = nullptr;
  uint32_t host = 0;
  GdkWindow *root = nullptr;  // the toolkit's, watched for _NET_ACTIVE_WINDOW
  bool waiting = true;
  bool filters = false;
};
}  // namespace

// Sets the protocols the window manager may speak to w in: WM_TAKE_FOCUS only with
// take_focus. Without it and with the input hint off, ICCCM's "no input" model: no
// window manager hands w the keyboard. Toolkit lock.
static void set_protocols(GdkWindow *w, bool take_focus) {
  Display *x = GDK_WINDOW_XDISPLAY(w);
  GdkDisplay *display = gdk_drawable_get_display(w);
  Atom protocols[3];
  int n = 0;
  protocols[n++] = gdk_x11_get_xatom_by_name_for_display(display, "WM_DELETE_WINDOW");
  if (take_focus) protocols[n++] = gdk_x11_get_xatom_by_name_for_display(display, "WM_TAKE_FOCUS");
  protocols[n++] = gdk_x11_get_xatom_by_name_for_display(display, "_NET_WM_PING");
  XSetWMProtocols(x, GDK_WINDOW_XID(w), protocols, n);
}

static GdkFilterReturn on_dialog_event(GdkXEvent *xevent, GdkEvent *event, gpointer data);
static GdkFilterReturn on_root_event(GdkXEvent *xevent, GdkEvent *event, gpointer data);

// Stops watching for the person's turn. Toolkit lock, the dialog's window still there.
static void stop_watching(Unfocused *u) {
  if (!u->filters) return;
  u->filters = false;
  gdk_window_remove_filter(gtk_widget_get_window(u->dialog), on_dialog_event, u);
  gdk_window_remove_filter(nullptr, on_root_event, u);
}

// The person turned to the dialog at time (0: now): it takes input again and is
// brought up with the keyboard. present: ask for that (not when it has it already).
static void turned(Unfocused *u, uint32_t time, bool present) {
  if (!u->waiting) return;
  u->waiting = false;
  stop_watching(u);
  GtkWindow *window = GTK_WINDOW(u->dialog);
  GdkWindow *own = gtk_widget_get_window(u->dialog);
  gtk_window_set_accept_focus(window, TRUE);
  set_protocols(own, true);
  gtk_window_set_urgency_hint(window, FALSE);
  if (!present) return;
  if (time == 0) time = gdk_x11_get_server_time(own);
  gtk_window_present_with_time(window, time);
  // A window manager that made the dialog active when it was clicked, while it took
  // no input (metacity), leaves the keyboard on a window of its own and sees nothing
  // to do in the request: the person's turn gives the dialog the keyboard, as ICCCM
  // lets a client do for its own window in answer to the person.
  gdk_error_trap_push();
  XSetInputFocus(GDK_WINDOW_XDISPLAY(own), GDK_WINDOW_XID(own), RevertToParent, time);
  gdk_flush();
  gdk_error_trap_pop();
}

// Whether the keyboard's focus is on own or a window inside it (the toolkit keeps
// it on a child window of its own). Toolkit lock held.
static bool holds_keyboard(GdkWindow *own) {
  Display *x = GDK_WINDOW_XDISPLAY(own);
  Window focus = None;
  int revert = 0;
  XGetInputFocus(x, &focus, &revert);
  gdk_error_trap_push();
  // The toolkit's focus window is a child of the top-level window.
  for (int level = 0; level < 2 && focus != None && focus != PointerRoot; ++level) {
    if (focus == GDK_WINDOW_XID(own)) break;
    Window root = None, parent = None, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(x, focus, &root, &parent, &children, &n)) focus = None;
    if (children) XFree(children);
    if (focus != None) focus = parent;
  }
  gdk_error_trap_pop();
  return focus == GDK_WINDOW_XID(own);
}

// The filters and handlers below run from the toolkit's main loop (on whichever
// thread runs it), with the toolkit's lock held.

// A press anywhere in the dialog's window, whichever widget takes it: the person
// clicked it.
static GdkFilterReturn on_dialog_event(GdkXEvent *xevent, GdkEvent *event, gpointer data) {
  (void)event;
  const XEvent *e = static_cast<XEvent *>(xevent);
  if (e->type == ButtonPress) turned(static_cast<Unfocused *>(data), e->xbutton.time, true);
  return GDK_FILTER_CONTINUE;
}

// The person activated the dialog or the host's window (from a task list, say): a
// pager asks the window manager for that with a _NET_ACTIVE_WINDOW message to the
// root window, which window managers that cannot focus the dialog leave unanswered;
// or the active window changed to one of them. A filter of every window (the
// message names the window to activate, not the root it goes to).
static GdkFilterReturn on_root_event(GdkXEvent *xevent, GdkEvent *event, gpointer data) {
  (void)event;
  const XEvent *e = static_cast<XEvent *>(xevent);
  Unfocused *u = static_cast<Unfocused *>(data);
  GdkDisplay *display = gtk_widget_get_display(u->dialog);
  Atom active_atom = gdk_x11_get_xatom_by_name_for_display(display, "_NET_ACTIVE_WINDOW");
  uint32_t own = static_cast<uint32_t>(GDK_WINDOW_XID(gtk_widget_get_window(u->dialog)));
  auto ours = [&](unsigned long w) { return w != 0 && (w == own || w == u->host); };
  // Source 2: a pager or task list, on the person's behalf (an application's own
  // request, source 1, is not the person's turn).
  if (e->type == ClientMessage && e->xclient.message_type == active_atom &&
      e->xclient.format == 32 && e->xclient.data.l[0] == 2 && ours(e->xclient.window)) {
    turned(u, static_cast<uint32_t>(e->xclient.data.l[1]), true);
  } else if (e->type == PropertyNotify && e->xproperty.atom == active_atom &&
             e->xproperty.window == GDK_WINDOW_XID(u->root)) {
    xcb_connection_t *c = XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display));
    uint32_t active =
        first_item(c, static_cast<uint32_t>(e->xproperty.window), atoms_of(display).active_window);
    if (ours(active)) turned(u, static_cast<uint32_t>(e->xproperty.time), true);
  }
  return GDK_FILTER_CONTINUE;
}

// The window manager gave the dialog the focus after all: it is the person's now.
// Some (metacity) make it active on a click while the keyboard goes to a window of
// their own, and tell it only by the focus change under the pointer: the dialog then
// takes the keyboard itself.
static gboolean on_unfocused_focus_in(GtkWidget *dialog, GdkEventFocus *event, gpointer data) {
  (void)event;
  turned(static_cast<Unfocused *>(data), 0, !holds_keyboard(gtk_widget_get_window(dialog)));
  return FALSE;
}

static void on_unfocused_unrealize(GtkWidget *dialog, gpointer data) {
  (void)dialog;
  stop_watching(static_cast<Unfocused *>(data));
}

// The person has come to the dialog: it asks for attention no more.
static gboolean on_focus_in(GtkWidget *dialog, GdkEventFocus *event, gpointer data) {
  (void)event;
  (void)data;
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), FALSE);
  return FALSE;
}

void ask_for_attention(GtkWidget *dialog) {
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "focus-in-event", G_CALLBACK(on_focus_in), nullptr);
}

void come_up_unfocused(GtkWidget *dialog, uint32_t host) {
  Unfocused *u = new Unfocused;
  u->dialog = dialog;
  u->host = host;
  g_object_set_data_full(G_OBJECT(dialog), kUnfocusedKey, u,
                         [](gpointer data) { delete static_cast<Unfocused *>(data); });
  GtkWindow *window = GTK_WINDOW(dialog);
  GdkWindow *own = gtk_widget_get_window(dialog);
  // The input hint off, and no WM_TAKE_FOCUS (the toolkit would take the focus when
  // asked to): some window managers focus every new transient, whatever its user time.
  gtk_window_set_accept_focus(window, FALSE);
  set_protocols(own, false);
  gtk_window_set_urgency_hint(window, TRUE);
  u->root = gdk_screen_get_root_window(gtk_widget_get_screen(dialog));
  // Substructure: the messages pagers send the window manager reach us too.
  gdk_window_set_events(
      u->root, static_cast<GdkEventMask>(gdk_window_get_events(u->root) | GDK_PROPERTY_CHANGE_MASK |
                                         GDK_SUBSTRUCTURE_MASK));
  gdk_window_add_filter(own, on_dialog_event, u);
  gdk_window_add_filter(nullptr, on_root_event, u);
  u->filters = true;
  g_signal_connect(dialog, "focus-in-event", G_CALLBACK(on_unfocused_focus_in), u);
  g_signal_connect(dialog, "unrealize", G_CALLBACK(on_unfocused_unrealize), u);
}

bool waits_for_person(GtkWidget *dialog) {
  // Either way of waiting asks for attention until the person comes.
  return gtk_window_get_urgency_hint(GTK_WINDOW(dialog));
}

void turn_to_dialog(GtkWidget *dialog, uint32_t time) {
  Unfocused *u = static_cast<Unfocused *>(g_object_get_data(G_OBJECT(dialog), kUnfocusedKey));
  if (u && u->waiting) {
    turned(u, time, true);
    return;
  }
  GdkWindow *own = gtk_widget_get_window(dialog);
  if (own)
    gtk_window_present_with_time(GTK_WINDOW(dialog),
                                 time != 0 ? time : gdk_x11_get_server_time(own));
}

// The dialog came on screen: it takes the keyboard when the person is in the host's
// window or in ours, or in none. Not while the window manager keeps it minimised:
// a compositing one (mutter) maps minimised windows all the same, and taking the
// keyboard would restore the dialog and the host the person minimised.
static gboolean on_map(GtkWidget *dialog, GdkEvent *event, gpointer data) {
  (void)event;
  GdkDisplay *display = gtk_widget_get_display(dialog);
  GdkScreen *screen = gtk_widget_get_screen(dialog);
  xcb_connection_t *c = XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display));
  Atoms atoms = atoms_of(display);
  uint32_t host = static_cast<uint32_t>(GPOINTER_TO_UINT(data));
  uint32_t own = static_cast<uint32_t>(GDK_WINDOW_XID(gtk_widget_get_window(dialog)));
  uint32_t active = 0;
  gdk_error_trap_push();
  if (supports(screen, "_NET_ACTIVE_WINDOW"))
    active = live_active_window(c, atoms, gdk_screen_get_root_window(screen));
  bool ours = active == 0 || active == host ||
              first_item(c, active, atoms.pid) == static_cast<uint32_t>(getpid());
  uint32_t state = first_item(c, own, atoms.wm_state);
  // One that starts minimised is on view only once the window manager says so (mutter
  // may map it before it has set its state).
  bool minimised =
      state == kIconicState ||
      (g_object_get_data(G_OBJECT(dialog), kStartsMinimisedKey) && state != kNormalState);
  gdk_flush();
  gdk_error_trap_pop();
  if (ours && !minimised) turn_to_dialog(dialog, 0);
  return FALSE;
}

void take_keys_when_shown(GtkWidget *dialog, uint32_t host) {
  g_signal_connect(dialog, "map-event", G_CALLBACK(on_map), GUINT_TO_POINTER(host));
}
