#include "jobs/handlers.h"
#include "jobs/host_window.h"

int notSupported() {
  // A hidden parent that only places the notice.
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget *dialog =
      gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO,
                             GTK_BUTTONS_OK, "%s", _(kNoticeText));
  gtk_window_set_title(GTK_WINDOW(dialog), _(kNoticeTitle));
  attach_to_host(dialog);
  // OK, Escape, the window's close button and a destruction from outside all end the
  // run; the answer is not needed.
  (void)run_dialog(dialog);
  end_dialog(dialog);
  gtk_widget_destroy(window);
  return 0;
}

int notWhole(const char *name, bool printing) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget *dialog;
  if (name && *name)
    dialog = gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT,
                                    GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, _(kNotWholeNamedText), name);
  else
    dialog = gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT,
                                    GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", _(kNotWholeText));
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                           printing ? _(kNotPrintedText) : _(kNotSavedText));
  gtk_window_set_title(GTK_WINDOW(dialog), printing ? kPrintDialogTitle : _(kSaveDialogTitle));
  attach_to_host(dialog);
  (void)run_dialog(dialog);
  end_dialog(dialog);
  gtk_widget_destroy(window);
  return 0;
}
