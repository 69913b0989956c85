#include "jobs/handlers.h"
#include "jobs/host_window.h"

// A hidden parent that only places a message.
static GtkWidget *hidden_parent() {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  return window;
}

// Titles the message dialog, shows it over the host's window until the person closes
// it (OK, Escape, the window's close button or a destruction from outside; the
// answer is not needed), then destroys it and its hidden parent window.
static void run_message(GtkWidget *window, GtkWidget *dialog, const char *title) {
  gtk_window_set_title(GTK_WINDOW(dialog), title);
  attach_to_host(dialog);
  (void)run_dialog(dialog);
  end_dialog(dialog);
  gtk_widget_destroy(window);
}

int notSupported() {
  GtkWidget *window = hidden_parent();
  GtkWidget *dialog =
      gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO,
                             GTK_BUTTONS_OK, "%s", _(kNoticeText));
  run_message(window, dialog, _(kNoticeTitle));
  return 0;
}

int notWhole(const char *name, bool printing) {
  GtkWidget *window = hidden_parent();
  char *text =
      name && *name ? g_strdup_printf(_(kNotWholeNamedText), name) : g_strdup(_(kNotWholeText));
  GtkWidget *dialog = gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT,
                                             GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", text);
  g_free(text);
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                           printing ? _(kNotPrintedText) : _(kNotSavedText));
  run_message(window, dialog, printing ? kPrintDialogTitle : _(kSaveDialogTitle));
  return 0;
}
