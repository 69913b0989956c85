#include "desktop/focus.h"

#include <X11/Xlib.h>

#include "desktop/rules/key_hold.h"

constexpr char kKeyHoldKey[] = "vandrel-key-hold";

static long long now_ms() { return g_get_monotonic_time() / 1000; }

// The signal handlers below run from the toolkit's main loop (on whichever thread
// runs it), with the toolkit's lock held; hold is the dialog's, freed with it.

static gboolean on_map(GtkWidget *dialog, GdkEvent *event, gpointer hold) {
  (void)dialog;
  (void)event;
  key_hold_mapped(static_cast<KeyHold *>(hold), now_ms());
  return FALSE;
}

// The person has come to the dialog: it asks for attention no more, and when it is
// shown again (the save dialog after a failed save) it takes the focus as usual.
static gboolean on_focus_in(GtkWidget *dialog, GdkEventFocus *event, gpointer hold) {
  (void)event;
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_focus_on_map(GTK_WINDOW(dialog), TRUE);
  if (hold) key_hold_focused(static_cast<KeyHold *>(hold), now_ms());
  return FALSE;
}

static gboolean on_key_press(GtkWidget *dialog, GdkEventKey *event, gpointer hold) {
  (void)dialog;
  (void)event;
  return !key_hold_passes(static_cast<KeyHold *>(hold), now_ms());
}

// Sees every pointer press in the dialog's window, whichever widget takes it.
static GdkFilterReturn on_x_event(GdkXEvent *xevent, GdkEvent *event, gpointer hold) {
  (void)event;
  if (static_cast<XEvent *>(xevent)->type == ButtonPress)
    key_hold_clicked(static_cast<KeyHold *>(hold));
  return GDK_FILTER_CONTINUE;
}

void ask_for_attention(GtkWidget *dialog) {
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "focus-in-event", G_CALLBACK(on_focus_in), nullptr);
}

void come_up_quietly(GtkWidget *dialog) {
  KeyHold *hold = new KeyHold;
  g_object_set_data_full(G_OBJECT(dialog), kKeyHoldKey, hold,
                         [](gpointer data) { delete static_cast<KeyHold *>(data); });
  gtk_window_set_focus_on_map(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), TRUE);
  g_signal_connect(dialog, "map-event", G_CALLBACK(on_map), hold);
  g_signal_connect(dialog, "focus-in-event", G_CALLBACK(on_focus_in), hold);
  g_signal_connect(dialog, "key-press-event", G_CALLBACK(on_key_press), hold);
  gdk_window_add_filter(gtk_widget_get_window(dialog), on_x_event, hold);
}
