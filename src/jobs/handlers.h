// Job handling: the dialog section, the dialogs, spool files and printing.
// Dialogs are called by the reader thread inside dialog_section, which holds the
// toolkit's lock for them.
#pragma once

#include <gtk/gtk.h>
#include <gtk/gtkunixprint.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "channel/host_output.h"
#include "common/i18n.h"
#include "common/log_text.h"
#include "files/spool.h"
#include "printing/lp.h"
#include "printing/print_server.h"

// Texts the user sees, translated with _() where they are shown. The print dialog's
// title is the product's name and stays as it is.
// TRANSLATORS: the notice shown for a job the program cannot do.
constexpr char kNoticeText[] = N_("This function is not supported.");
// TRANSLATORS: the notice's window title, as the desktop titles information dialogs.
constexpr char kNoticeTitle[] = N_("Information");
constexpr char kPrintDialogTitle[] = "Vandrel Dialog";
// TRANSLATORS: the save dialog's window title, as applications title their own.
constexpr char kSaveDialogTitle[] = N_("Save File");
// TRANSLATORS: shown instead of the print or save dialog when the document the
// application sent was cut short or damaged on its way; %s is the document's name.
constexpr char kNotWholeNamedText[] = N_("The document \"%s\" did not arrive whole.");
constexpr char kNotWholeText[] = N_("The document did not arrive whole.");
// TRANSLATORS: shown instead of the print or save dialog when the document could not
// be written anywhere to wait for the person (a full disk, say); %s is its name.
constexpr char kNotHeldText[] = N_("The document \"%s\" could not be kept on this computer.");
constexpr char kNotPrintedText[] = N_("Nothing was printed.");
constexpr char kNotSavedText[] = N_("Nothing was saved.");

// Send one 512-byte control message to the host on pipe_to_write.
void removeFullScreen(int pipe_to_write);
void restoreFullScreen(int pipe_to_write);

// Runs one dialog: takes the dialog lock, then the toolkit's lock, asks the host to
// leave full-screen, runs dialog (which creates, runs and destroys its dialog), asks
// the host to restore full-screen and releases both locks. Reader thread only.
void dialog_section(int pipe_to_write, const std::function<void()> &dialog);

// Where show_message_later's control messages go: the reader's pipe_to_write. Reader
// thread, once at its start.
void set_message_output(int pipe_to_write);

// Queues a message (window title, text and detail, in the person's language) to be
// shown over the host's window from the main loop, in a dialog section of its own
// (once no other dialog is up; one "removefullscreen"/"restorefullscreen" pair), not
// blocking anybody. Whatever answer closes it, job report (unless 0) is then
// reported Failed. Any thread.
void show_message_later(const std::string &title, const std::string &text,
                        const std::string &detail, JobNumber report);

// Runs dialog modally and returns its response. It holds a reference to the dialog
// until end_dialog, so a dialog that another client destroys meanwhile (a window
// manager's force-close) is never freed under the caller: the run then returns
// GTK_RESPONSE_NONE, and so does every later run of it. May be called again for the
// same dialog. X errors are trapped from the first run until end_dialog, so dialogs
// run this way must end in the reverse order of their first runs. Reader thread,
// toolkit lock held.
gint run_dialog(GtkWidget *dialog);

// Ends a dialog: destroys it unless it was destroyed already, and drops the reference
// run_dialog took. dialog must not be used afterwards. Toolkit lock held.
void end_dialog(GtkWidget *dialog);

// Where the user keeps documents: the documents folder when it exists, else the home
// folder. Dialogs start there. Any thread.
std::string documents_folder();

// Shows the notice for an unknown command until the user closes it. Returns 0.
int notSupported();

// Tells the person, instead of the dialog they expected, that the document named
// name (may be empty) did not arrive whole and was not printed (printing) or saved.
// Returns 0.
int notWhole(const char *name, bool printing);

// Tells the person, instead of the dialog they expected, that the document named name
// could not be kept anywhere while it waited for them (err says why), so it was not
// printed (printing) or saved. Returns 0.
int notHeld(const char *name, bool printing, int err);

// Prints the spool file `file` (whose ownership it takes) of the document `name`,
// conversation `number`, on the default printer without a dialog (print_direct).
// Returns Printed once the print server has accepted it, else Failed. Reader thread,
// outside any dialog section.
Outcome print_default(const char *file, const char *name, JobNumber number, int pipe_to_write);

// Shows the print dialog for the spool file `file` (whose ownership it takes) and the
// document `name` of conversation `number`. Printing sends a job titled `name`, with
// the choices the toolkit leaves to applications as print options, that removes the
// file once the job is handed over; a print server's refusal is told to the person,
// an accepted job is followed (follow_print_job), and the job is reported at the end
// of that: then it returns Pending. Any other answer, or the dialog's destruction from
// outside, removes the file at once and returns Cancelled (Failed when no job could be
// sent). Print Preview shows the document (show_preview) and the dialog again, and so
// does a choice "Print to File" cannot write (only the whole document, in its own
// format); "Print to File" starts as `name`, made a plain file name, in
// documents_folder(). Reader thread, inside a dialog section.
Outcome showdl(const char *file, const char *name, JobNumber number);

// Follows a job the print server has accepted (job_handed_over) until the server is
// done with it; a job it did not complete is told to the person and reported Failed
// once the message is gone, any other end reports it Printed. The report is the
// follower's: job.number must be pending. Any thread.
void follow_print_job(const FollowedJob &job);

// Shows the spool file `file` for the print dialog's Preview button in the desktop's
// default application for its content type; when that cannot be done, says why in a
// message over parent. The file stays: the job goes on in the dialog. Reader thread,
// inside the dialog section.
void show_preview(GtkWindow *parent, const char *file);

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

// Offers the document cleanData in the save dialog under the name fname (made one
// plain UTF-8 file name) and saves it where the user chooses. A failed save is shown
// to the user and the chooser comes back, until the document is saved or the user
// cancels. Neither closes cleanData.fd nor removes its path; a save on the held
// file's file system moves that file, so path may no longer name it afterwards.
// Reader thread, inside a dialog section. Returns Saved, or Cancelled when the person
// gave up (Failed when a try to save had failed before).
Outcome saveFile(const HeldDocument &cleanData, const char *fname);
