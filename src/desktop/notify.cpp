#include "desktop/notify.h"

#include <X11/Xlib-xcb.h>
#include <gdk/gdkx.h>
#include <gio/gio.h>

#include <algorithm>
#include <string>

#include "desktop/focus.h"
#include "desktop/x_properties.h"

namespace {
constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
// How much of the host's title is read, in 4-byte items.
constexpr uint32_t kTitleItems = 64;
// How long the notification service is given to take the notification.
constexpr int kCallTimeoutMs = 5000;

// One dialog's notification. Shared by the dialog (until it is destroyed), a Notify
// call on its way and the signal subscription; freed when all three have let go.
// Touched only with the toolkit's lock held.
struct Notice {
  int refs = 1;
  GtkWidget *dialog = nullptr;  // null once the dialog is destroyed
  uint32_t host = 0;
  GDBusConnection *bus = nullptr;
  guint32 id = 0;  // the service's id for it, 0 until it answers
  guint subscription = 0;
  bool asked = false;
};
}  // namespace

static void release(Notice *n) {
  if (--n->refs > 0) return;
  if (n->bus) g_object_unref(n->bus);
  delete n;
}

// Withdraws the notification; the answer is not waited for.
static void close_notification(GDBusConnection *bus, guint32 id) {
  g_dbus_connection_call(bus, kService, kPath, kService, "CloseNotification",
                         g_variant_new("(u)", id), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                         nullptr, nullptr);
}

// The bus's callbacks run from the main loop without the toolkit's lock (on whichever
// thread runs the loop); they take it.

// The person clicked the notification: the dialog comes up with the keyboard.
static void on_signal(GDBusConnection *bus, const gchar *sender, const gchar *path,
                      const gchar *interface, const gchar *signal, GVariant *parameters,
                      gpointer data) {
  (void)bus;
  (void)sender;
  (void)path;
  (void)interface;
  Notice *n = static_cast<Notice *>(data);
  if (g_strcmp0(signal, "ActionInvoked") != 0 ||
      !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)")))
    return;
  guint32 id = 0;
  const gchar *action = nullptr;
  g_variant_get(parameters, "(u&s)", &id, &action);
  gdk_threads_enter();
  if (n->dialog && n->id != 0 && id == n->id) turn_to_dialog(n->dialog, 0);
  gdk_threads_leave();
}

static void on_notified(GObject *source, GAsyncResult *result, gpointer data) {
  Notice *n = static_cast<Notice *>(data);
  GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
  gdk_threads_enter();
  if (reply && g_variant_is_of_type(reply, G_VARIANT_TYPE("(u)"))) {
    g_variant_get(reply, "(u)", &n->id);
    // The dialog went, or the person came to it, while the service was answering.
    if (!n->dialog || !waits_for_person(n->dialog)) {
      close_notification(n->bus, n->id);
      n->id = 0;
    }
  }
  release(n);
  gdk_threads_leave();
  if (reply) g_variant_unref(reply);
}

// The title of window w (_NET_WM_NAME, else a WM_NAME that is UTF-8), "" when none.
static std::string title_of(xcb_connection_t *c, GdkDisplay *display, uint32_t w) {
  std::string title;
  if (w == 0) return title;
  xcb_atom_t net_name =
      static_cast<xcb_atom_t>(gdk_x11_get_xatom_by_name_for_display(display, "_NET_WM_NAME"));
  for (xcb_atom_t name : {net_name, static_cast<xcb_atom_t>(XCB_ATOM_WM_NAME)}) {
    (void)take_items(c, ask_property(c, {w}, name, kTitleItems)[0], nullptr, &title);
    if (!title.empty() &&
        g_utf8_validate(title.c_str(), static_cast<gssize>(title.size()), nullptr))
      return title;
    title.clear();
  }
  return title;
}

// Whether the window manager keeps the dialog out of the task list.
static bool skips_task_list(GtkWidget *dialog) {
  GdkDisplay *display = gtk_widget_get_display(dialog);
  xcb_connection_t *c = XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display));
  Atoms atoms = atoms_of(display);
  uint32_t own = static_cast<uint32_t>(GDK_WINDOW_XID(gtk_widget_get_window(dialog)));
  std::vector<uint32_t> states = take_items(c, ask_property(c, {own}, atoms.net_state, 64)[0]);
  return std::find(states.begin(), states.end(), atoms.skip_taskbar) != states.end();
}

// Whether a session bus is there to be reached: the toolkit would otherwise start
// one of its own for the display.
static bool session_bus_known() {
  if (g_getenv("DBUS_SESSION_BUS_ADDRESS")) return true;
  gchar *socket = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
  bool there = g_file_test(socket, G_FILE_TEST_EXISTS);
  g_free(socket);
  return there;
}

// Sends the notification once the dialog is on screen, unseen, still waiting.
static void maybe_notify(Notice *n) {
  GtkWidget *dialog = n->dialog;
  if (n->asked || !gtk_widget_get_mapped(dialog) || !waits_for_person(dialog)) return;
  gdk_error_trap_push();
  bool hidden = skips_task_list(dialog);
  GdkDisplay *display = gtk_widget_get_display(dialog);
  std::string body =
      hidden ? title_of(XGetXCBConnection(GDK_DISPLAY_XDISPLAY(display)), display, n->host)
             : std::string();
  gdk_flush();
  gdk_error_trap_pop();
  if (!hidden) return;
  n->asked = true;
  if (!session_bus_known()) return;
  n->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!n->bus) return;
  ++n->refs;
  n->subscription =
      g_dbus_connection_signal_subscribe(n->bus, kService, kService, nullptr, kPath, nullptr,
                                         G_DBUS_SIGNAL_FLAGS_NONE, on_signal, n, [](gpointer data) {
                                           // The bus lets go of it from its main loop, without the
                                           // toolkit's lock.
                                           gdk_threads_enter();
                                           release(static_cast<Notice *>(data));
                                           gdk_threads_leave();
                                         });
  const gchar *title = gtk_window_get_title(GTK_WINDOW(dialog));
  if (!title) title = "";
  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  g_variant_builder_add(&actions, "s", "default");
  g_variant_builder_add(&actions, "s", title);
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  ++n->refs;
  const gchar *application = g_get_prgname();
  // Expires never: it stays for as long as the dialog waits.
  g_dbus_connection_call(
      n->bus, kService, kPath, kService, "Notify",
      g_variant_new("(susssasa{sv}i)", application ? application : "vandrel", 0u,
                    "dialog-information", title, body.c_str(), &actions, &hints, 0),
      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, on_notified, n);
}

// The handlers below run from the toolkit's main loop with the toolkit's lock held.

static gboolean on_map(GtkWidget *dialog, GdkEvent *event, gpointer data) {
  (void)dialog;
  (void)event;
  maybe_notify(static_cast<Notice *>(data));
  return FALSE;
}

// The window manager says it keeps the dialog out of the task list once it has
// mapped it, as well as before.
static gboolean on_property(GtkWidget *dialog, GdkEventProperty *event, gpointer data) {
  (void)dialog;
  if (event->atom == gdk_atom_intern_static_string("_NET_WM_STATE"))
    maybe_notify(static_cast<Notice *>(data));
  return FALSE;
}

// The person has the dialog: the notification has said what it had to.
static gboolean on_focus_in(GtkWidget *dialog, GdkEventFocus *event, gpointer data) {
  (void)dialog;
  (void)event;
  Notice *n = static_cast<Notice *>(data);
  if (n->bus && n->id != 0) close_notification(n->bus, n->id);
  n->id = 0;
  return FALSE;
}

static void on_destroy(GtkWidget *dialog, gpointer data) {
  (void)dialog;
  Notice *n = static_cast<Notice *>(data);
  n->dialog = nullptr;
  if (n->bus && n->id != 0) close_notification(n->bus, n->id);
  if (n->bus && n->subscription != 0) g_dbus_connection_signal_unsubscribe(n->bus, n->subscription);
  release(n);
}

void notify_when_hidden(GtkWidget *dialog, uint32_t host) {
  Notice *n = new Notice;
  n->dialog = dialog;
  n->host = host;
  gtk_widget_add_events(dialog, GDK_PROPERTY_CHANGE_MASK);
  g_signal_connect(dialog, "map-event", G_CALLBACK(on_map), n);
  g_signal_connect(dialog, "property-notify-event", G_CALLBACK(on_property), n);
  g_signal_connect(dialog, "focus-in-event", G_CALLBACK(on_focus_in), n);
  g_signal_connect(dialog, "destroy", G_CALLBACK(on_destroy), n);
}
