#include <cstring>
#include <string>

#include "desktop/host_window.h"
#include "jobs/handlers.h"

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

// Tells the person, in a message titled like the dialog they expected, that text
// (the first line) came instead, and that nothing was printed or saved; why, when
// given, comes before that.
static void tell_nothing_done(const std::string &text, const char *why, bool printing) {
  GtkWidget *window = hidden_parent();
  GtkWidget *dialog = gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT,
                                             GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", text.c_str());
  std::string second = printing ? _(kNotPrintedText) : _(kNotSavedText);
  if (why) second = std::string(why) + "\n" + second;
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", second.c_str());
  run_message(window, dialog, printing ? kPrintDialogTitle : _(kSaveDialogTitle));
}

int notWhole(const char *name, bool printing) {
  tell_nothing_done(name && *name ? fill_in(_(kNotWholeNamedText), name) : _(kNotWholeText),
                    nullptr, printing);
  return 0;
}

int notHeld(const char *name, bool printing, int err) {
  std::string why = strerror(err);  // in the person's language
  tell_nothing_done(fill_in(_(kNotHeldText), name), why.c_str(), printing);
  return 0;
}
