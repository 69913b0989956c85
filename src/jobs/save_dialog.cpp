#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/log_text.h"
#include "desktop/host_window.h"
#include "files/names.h"
#include "files/save_target.h"
#include "jobs/handlers.h"
#include "jobs/texts.h"
#include "jobs/util.h"

// Points the chooser at the folder and name of the file it gave, so that a failed
// save can be tried again as it was, or changed. Reader thread, inside the section.
static void choose_again(GtkFileChooser *chooser, const char *filename) {
  char *folder = g_path_get_dirname(filename);
  char *name = g_filename_display_basename(filename);
  gtk_file_chooser_set_current_folder(chooser, folder);
  gtk_file_chooser_set_current_name(chooser, name);
  g_free(folder);
  g_free(name);
}

Outcome saveFile(const HeldDocument &cleanData, const char *fname) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      _(kSaveDialogTitle), GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
      GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE, GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
  gtk_file_chooser_set_current_folder(chooser, documents_folder().c_str());
  std::string suggested = suggested_save_name(fname);
  gtk_file_chooser_set_current_name(chooser, suggested.c_str());
  attach_to_host(dialog);

  // A failed save is not the end: the person sees why and chooses again, until the
  // document is saved or they give up.
  bool saved = false, failed = false;
  std::string saved_at;
  // A chooser destroyed from outside answers GTK_RESPONSE_NONE: a cancel.
  while (!saved && run_dialog(dialog) == GTK_RESPONSE_ACCEPT) {
    char *filename = gtk_file_chooser_get_filename(chooser);
    gtk_widget_hide(dialog);
    if (!filename) {
      failed = true;
      show_save_error(GTK_WINDOW(window), _(kSaveDialogTitle), suggested.c_str(), kNotLocalText,
                      _(kNotLocalText));
    } else if (save_held_document(cleanData.fd, cleanData.path, cleanData.datalen, filename) == 0) {
      saved = true;
      saved_at = filename;
    } else {
      int err = errno;
      failed = true;
      std::string shown = strerror(err);  // in the person's language
      show_save_error(GTK_WINDOW(window), _(kSaveDialogTitle), filename, log_strerror(err),
                      shown.c_str());
      choose_again(chooser, filename);
    }
    g_free(filename);
  }
  end_dialog(dialog);
  gtk_widget_destroy(window);
  // The job's report tells where it went, or why it did not.
  if (saved) job_path(job_in_hand(), saved_at);
  if (!saved && failed) job_reason(job_in_hand(), reason::kCannotWrite);
  if (saved) return Outcome::Saved;
  return failed ? Outcome::Failed : Outcome::Cancelled;
}
