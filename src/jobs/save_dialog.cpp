#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "jobs/handlers.h"

// Where the chooser opens: the user's documents folder, else the home folder. Left
// to itself the save chooser opens on "Recently Used", where the suggested name
// cannot be saved as it stands.
static std::string start_folder() {
  const char *documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
  if (documents && g_file_test(documents, G_FILE_TEST_IS_DIR)) return documents;
  return home_folder();
}

// Tells the user, and standard error, that the document was not saved. A reason of
// our own (marked with N_) is translated for the dialog only, so that standard error
// keeps the English wording.
static void show_save_error(GtkWindow *parent, const char *target, const char *reason) {
  fprintf(stderr, "vandrel: cannot save %s: %s\n", target, reason);
  GtkWidget *error = gtk_message_dialog_new(
      parent, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
      _("The document could not be saved as \"%s\"."), target);
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(error), "%s", _(reason));
  gtk_window_set_title(GTK_WINDOW(error), _(kSaveDialogTitle));
  (void)gtk_dialog_run(GTK_DIALOG(error));
  gtk_widget_destroy(error);
}

// Reads the held document back into memory. False with errno set when it cannot.
static bool read_held(const HeldDocument &doc, std::vector<unsigned char> *out) {
  out->resize(doc.datalen);
  size_t at = 0;
  while (at < doc.datalen) {
    ssize_t n = pread(doc.fd, out->data() + at, doc.datalen - at, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    at += static_cast<size_t>(n);
  }
  return true;
}

int saveFile(const HeldDocument &cleanData, const char *fname) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      _(kSaveDialogTitle), GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
      GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE, GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
  gtk_file_chooser_set_current_folder(chooser, start_folder().c_str());
  gtk_file_chooser_set_current_name(chooser, fname);

  if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    char *filename = gtk_file_chooser_get_filename(chooser);
    gtk_widget_hide(dialog);
    if (!filename) {
      show_save_error(GTK_WINDOW(window), fname, N_("The chosen place is not a local file."));
    } else if (std::vector<unsigned char> bytes; !read_held(cleanData, &bytes) ||
               writeToFile(bytes.data(), filename, bytes.size()) != 0) {
      std::string reason = strerror(errno);
      show_save_error(GTK_WINDOW(window), filename, reason.c_str());
    }
    g_free(filename);
  }
  gtk_widget_destroy(dialog);
  gtk_widget_destroy(window);
  return 0;
}
