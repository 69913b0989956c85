// Job handling: what the reader hands each decoded job to, and the dialog section it
// opens around every dialog. The handlers run on the reader thread, one job after
// another; a print job sent from the print dialog completes later, from the main
// loop (finish_printing). No toolkit types here: the reader needs none.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "channel/host_output.h"

typedef struct _GtkPrintJob GtkPrintJob;
typedef struct _GError GError;

// Send one 512-byte control message to the host on pipe_to_write.
void removeFullScreen(int pipe_to_write);
void restoreFullScreen(int pipe_to_write);

// Runs one dialog: takes the dialog lock, waits until no message of the main loop is
// up, asks the host to leave full-screen, takes the toolkit's lock, runs dialog (which
// creates, runs and destroys its dialog), asks the host to restore full-screen and
// releases both locks. Reader thread only.
void dialog_section(int pipe_to_write, const std::function<void()> &dialog);

// Where the control messages of the main loop's messages go: the reader's
// pipe_to_write. Reader thread, once at its start.
void set_message_output(int pipe_to_write);

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
// When the print server refuses it, tells the person why in a dialog section of its
// own and offers the print dialog for the same file. Returns Pending once the print
// server has accepted it (the follower reports it), Printed when the job cannot be
// followed, else what became of it. Reader thread, outside any dialog section.
Outcome print_default(const char *file, const char *name, JobNumber number, int pipe_to_write);

// Shows the print dialog for the spool file `file` (whose ownership it takes) and the
// document `name` of conversation `number`. Printing sends a job titled `name`, with
// the choices the toolkit leaves to applications as print options, that removes the
// file once the job is handed over; a print server's refusal is told to the person,
// an accepted job is followed until the server is done with it, and the job is
// reported at the end of that: then it returns Pending. Any other answer, or the
// dialog's destruction from outside, removes the file at once and returns Cancelled
// (Failed when no job could be sent). Print Preview shows the document and the dialog
// again, and so does a choice "Print to File" cannot write (only the whole document,
// in its own format); "Print to File" starts as `name`, made a plain file name, in the
// documents folder, and is written as a save is (save_held_document): a file it could
// not write is told to the person and the dialog comes back; once written the job is
// Printed. Reader thread, inside a dialog section.
Outcome showdl(const char *file, const char *name, JobNumber number);

// A print job's completion: says so on standard error and removes the job's spool
// file. Runs from the toolkit's main loop with its lock already held.
void finish_printing(GtkPrintJob *job, void *user_data, GError *error);

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
