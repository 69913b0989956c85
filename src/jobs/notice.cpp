#include "jobs/handlers.h"

int notSupported() {
  // A hidden parent that only places the notice.
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget *dialog =
      gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO,
                             GTK_BUTTONS_OK, "%s", _(kNoticeText));
  gtk_window_set_title(GTK_WINDOW(dialog), _(kNoticeTitle));
  // OK, Escape and the window's close button all end the run; the answer is not needed.
  (void)gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  gtk_widget_destroy(window);
  return 0;
}
