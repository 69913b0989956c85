#include "jobs/util.h"

#include <cstdio>

#include "common/log_text.h"
#include "desktop/host_window.h"
#include "ending.h"
#include "files/names.h"
#include "files/spool.h"
#include "jobs/texts.h"

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
    // The pop itself does not wait for the X server: without the flush, errors of
    // requests for a window another client destroyed would come after the trap and end
    // the helper.
    gdk_flush();
    (void)gdk_error_trap_pop();
  }
}

GtkWidget *make_message(GtkWindow *parent, const Message &m) {
  GtkWidget *hidden = nullptr;
  if (!parent) {
    hidden = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_position(GTK_WINDOW(hidden), GTK_WIN_POS_CENTER);
    parent = GTK_WINDOW(hidden);
  }
  GtkWidget *dialog = gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, m.type,
                                             m.buttons.empty() ? GTK_BUTTONS_OK : GTK_BUTTONS_NONE,
                                             "%s", m.text.c_str());
  // The hidden window only places the message: it goes when the message goes.
  if (hidden) g_signal_connect_swapped(dialog, "destroy", G_CALLBACK(gtk_widget_destroy), hidden);
  if (!m.detail.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", m.detail.c_str());
  for (const auto &button : m.buttons)
    gtk_dialog_add_button(GTK_DIALOG(dialog), button.first.c_str(), button.second);
  if (!m.buttons.empty()) gtk_dialog_set_default_response(GTK_DIALOG(dialog), m.default_response);
  gtk_window_set_title(GTK_WINDOW(dialog), m.title.c_str());
  attach_to_host(dialog);
  return dialog;
}

gint show_message(GtkWindow *parent, const Message &m) {
  GtkWidget *dialog = make_message(parent, m);
  gint response = run_dialog(dialog);
  end_dialog(dialog);
  return response;
}

std::string documents_folder() {
  const char *documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
  if (documents && g_file_test(documents, G_FILE_TEST_IS_DIR)) return documents;
  return home_folder();
}

// How much of a path the failure message shows: enough to recognise it, little
// enough that the message fits any screen with its button.
constexpr size_t kShownPathChars = 72;

void show_save_error(GtkWindow *parent, const char *title, const char *target,
                     const char *log_reason, const char *shown_reason) {
  fprintf(stderr, "vandrel: cannot save %s: %s\n", log_text(target).c_str(), log_reason);
  char *display = g_filename_display_name(target);
  std::string shown = shorten_middle(display, kShownPathChars);
  g_free(display);
  Message m;
  m.title = title;
  m.text = fill_in(_(kSaveFailedText), shown);
  m.detail = shown_reason;
  (void)show_message(parent, m);
}
