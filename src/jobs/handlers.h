// Job handling: the dialog section, the dialogs, spool files and printing.
// Dialogs are called by the reader thread inside dialog_section, which holds the
// toolkit's lock for them.
#pragma once

#include <gtk/gtk.h>
#include <gtk/gtkunixprint.h>

#include <cstddef>
#include <functional>
#include <string>

#include "i18n.h"
#include "jobs/direct_print.h"
#include "jobs/spool.h"

// Texts the user sees, translated with _() where they are shown. The print dialog's
// title is the product's name and stays as it is.
// TRANSLATORS: the notice shown for a job the program cannot do.
constexpr char kNoticeText[] = N_("This function is not supported.");
// TRANSLATORS: the notice's window title, as the desktop titles information dialogs.
constexpr char kNoticeTitle[] = N_("Information");
constexpr char kPrintDialogTitle[] = "Vandrel Dialog";
// TRANSLATORS: the save dialog's window title, as applications title their own.
constexpr char kSaveDialogTitle[] = N_("Save File");

// Send one 512-byte control message to the host on pipe_to_write.
void removeFullScreen(int pipe_to_write);
void restoreFullScreen(int pipe_to_write);

// Runs one dialog: takes the dialog lock, then the toolkit's lock, asks the host to
// leave full-screen, runs dialog (which creates, runs and destroys its dialog), asks
// the host to restore full-screen and releases both locks. Reader thread only.
void dialog_section(int pipe_to_write, const std::function<void()> &dialog);

// Shows the notice for an unknown command until the user closes it. Returns 0.
int notSupported();

// Shows the print dialog for the spool file `file` (whose ownership it takes) and the
// document `name`. Printing sends a job titled `name` that removes the file when it
// completes; any other answer removes the file at once. Returns 0.
int showdl(const char *file, const char *name);

// A print job's completion: says so on standard error and removes the job's spool
// file. Runs from the toolkit's main loop with its lock already held.
void finish_printing(GtkPrintJob *job, gpointer user_data, GError *error);

// The document of a "sendfile" job as the reader holds it: datalen bytes readable
// with pread from offset 0 of fd. path names the private temporary file fd is open on
// (so a save on its file system can be a rename); it is empty when the document is
// held in memory (fd then is a memory file). The reader owns both and removes the
// file after saveFile has returned, unless the file is no longer at path.
struct HeldDocument {
  int fd = -1;
  std::string path;
  size_t datalen = 0;
};

// Offers the document cleanData in the save dialog under the name fname and writes
// it where the user chooses; a failed save is shown to the user. Returns 0.
int saveFile(const HeldDocument &cleanData, const char *fname);
