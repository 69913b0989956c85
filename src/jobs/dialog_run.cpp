// Running a dialog so that its destruction by another client is survived.
#include "ending.h"
#include "jobs/handlers.h"

namespace {
// Kept on the dialog object while run_dialog holds its reference.
constexpr char kRunState[] = "vandrel-run-state";
enum RunState { NotRun = 0, Alive = 1, Destroyed = 2 };

RunState run_state(GtkWidget *dialog) {
  return static_cast<RunState>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(dialog), kRunState)));
}
}  // namespace

// The toolkit destroys a top-level whose window another client destroyed; from then
// on only the reference run_dialog holds keeps the object's memory.
static void note_destroyed(GtkWidget *dialog, gpointer data) {
  (void)data;
  g_object_set_data(G_OBJECT(dialog), kRunState, GINT_TO_POINTER(Destroyed));
}

gint run_dialog(GtkWidget *dialog) {
  // An ending helper shows nothing more: whatever was asked is cancelled.
  if (helper_ending()) return GTK_RESPONSE_NONE;
  switch (run_state(dialog)) {
    case NotRun:
      // Until end_dialog, X errors are collected, not fatal: the toolkit may still
      // send requests for a window that another client has just destroyed.
      gdk_error_trap_push();
      g_object_ref(dialog);
      g_object_set_data(G_OBJECT(dialog), kRunState, GINT_TO_POINTER(Alive));
      g_signal_connect(dialog, "destroy", G_CALLBACK(note_destroyed), nullptr);
      break;
    case Alive:
      break;
    case Destroyed:
      return GTK_RESPONSE_NONE;
  }
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  return run_state(dialog) == Destroyed || helper_ending() ? GTK_RESPONSE_NONE : response;
}

void end_dialog(GtkWidget *dialog) {
  RunState state = run_state(dialog);
  if (state != Destroyed) gtk_widget_destroy(dialog);
  if (state != NotRun) {
    g_object_unref(dialog);
    (void)gdk_error_trap_pop();  // waits for the X server's answers to all sent so far
  }
}
