// What the dialogs share: running a dialog so that another client's destruction of it
// is survived, the one way a message is made and shown, the later messages of the
// main loop, and the folder dialogs open in. Toolkit lock held unless said otherwise.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <utility>
#include <vector>

#include "channel/host_output.h"

// Runs dialog modally and returns its response. It holds a reference to the dialog
// until end_dialog, so a dialog that another client destroys meanwhile (a window
// manager's force-close) is never freed under the caller: the run then returns
// GTK_RESPONSE_NONE, and so does every later run of it, and every run of an ending
// helper. May be called again for the same dialog. X errors are trapped from the
// first run until end_dialog, so dialogs run this way must end in the reverse order of
// their first runs. Reader thread, toolkit lock held.
gint run_dialog(GtkWidget *dialog);

// Ends a dialog: destroys it unless it was destroyed already, and drops the reference
// run_dialog took. dialog must not be used afterwards. Toolkit lock held.
void end_dialog(GtkWidget *dialog);

// A message for the person, its texts in their language.
struct Message {
  GtkMessageType type = GTK_MESSAGE_ERROR;
  std::string title;   // the window title
  std::string text;    // the main line
  std::string detail;  // the line under it; may be empty
  // Buttons (label, response) instead of OK, in order, and the one Return answers.
  std::vector<std::pair<std::string, gint>> buttons;
  gint default_response = GTK_RESPONSE_OK;
};

// Makes the dialog of message m over parent, or, when parent is null, over a hidden
// window of its own that goes with the dialog; attached to the host's window, not yet
// shown. The caller runs it (run_dialog, end_dialog) or shows it. Toolkit lock held.
GtkWidget *make_message(GtkWindow *parent, const Message &m);

// Shows message m over parent (see make_message) until the person answers it (a
// button, Escape, the window's close button, or its destruction from outside, which
// answers GTK_RESPONSE_NONE) and returns the answer. Reader thread, toolkit lock held.
gint show_message(GtkWindow *parent, const Message &m);

// Tells the person, and standard error, that the document was not saved as target (a
// path in the file system's encoding, or a suggested name), in a message titled title.
// log_reason is the English reason for standard error (hosts and logs parse it),
// shown_reason the one the person reads in their language. Returns once the person
// has closed the message. Reader thread, toolkit lock held.
void show_save_error(GtkWindow *parent, const char *title, const char *target,
                     const char *log_reason, const char *shown_reason);

// Queues message m to be shown over the host's window from the main loop, in a dialog
// section of its own (once no other dialog is up; one "removefullscreen" /
// "restorefullscreen" pair), blocking nobody. Whatever answer closes it, job report
// (unless 0) is then reported with outcome. Any thread, without the toolkit's lock.
void show_message_later(const Message &m, JobNumber report, Outcome outcome = Outcome::Failed);

// Where the person keeps documents: the documents folder when it exists, else the home
// folder. Dialogs start there. Any thread.
std::string documents_folder();
