// A print job the toolkit sends from the print dialog: its sending, its completion,
// whether the print server took it, and following it until the server is done.
#include "jobs/print_job.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/log_text.h"
#include "files/names.h"
#include "files/spool.h"
#include "jobs/handlers.h"
#include "jobs/texts.h"
#include "jobs/util.h"
#include "printing/connections.h"
#include "printing/follower.h"

namespace {
// The longest name a print server has to take for a job (IPP's limit for names).
constexpr size_t kMaxJobTitle = 255;

// What a sent print job needs until its completion: its own reference; the spool
// path, which the reader's texts would not keep unchanged that long; the print-server
// connections its sending opened (see release_completion). A job for a print server's
// queue also watches its status, to learn whether the server took it (see
// job_status_changed): verdict_handler is that watch, awaiting_verdict says the
// completion came and waits for it.
struct PrintCompletion {
  GtkPrintJob *job;
  JobNumber number;  // the conversation's, for its report
  std::string path;
  std::string document;  // the document's name, for the person
  std::vector<OpenSocket> connections;
  gulong verdict_handler;
  bool awaiting_verdict;
  time_t sent;
};
}  // namespace

// The toolkit's print-server module (as shipped with GTK 2.24) builds the request for
// a sent job twice and drops the first one, whose connection it has already opened:
// one connection to the print server per printed job that nothing ever closes. By
// the time a job's data is let go, the request that was used has closed its own
// connection, so of the two opened while sending exactly one is still open: that
// one is the dropped request's, and it is closed here. Anything else is left alone.
// Runs from the main loop with the toolkit's lock held.
static gboolean release_completion(gpointer data) {
  PrintCompletion *completion = static_cast<PrintCompletion *>(data);
  std::vector<OpenSocket> left = sockets_still_open(completion->connections);
  if (left.size() == 1) close(left[0].fd);
  if (completion->verdict_handler)
    g_signal_handler_disconnect(completion->job, completion->verdict_handler);
  g_object_unref(completion->job);
  delete completion;
  return FALSE;
}

// The toolkit drops the completion data from inside the job's own callback path, so
// the job reference is let go from the main loop afterwards, not there. The release
// touches the toolkit's objects, so it runs with the toolkit's lock.
static void completion_done(gpointer data) { gdk_threads_add_idle(release_completion, data); }

// The end of a job's use of its spool file: the two lines and the file removed. The
// job's outcome is reported when report says so.
static void finish_job(PrintCompletion *completion, GError *error, bool report) {
  if (error) fprintf(stderr, "vandrel: print job failed: %s\n", log_text(error->message).c_str());
  printing_finished(completion->path.c_str());
  if (report) report_outcome(completion->number, error ? Outcome::Failed : Outcome::Printed);
}

// A followed job has ended. One the print server did not complete gets one line and
// the message for the person, after which it is reported; any other is reported
// printed. The follower's thread.
static void job_ended(const FollowedJob &job, JobVerdict verdict, const std::string &message) {
  if (verdict != JobVerdict::Failed) {
    report_outcome(job.number, Outcome::Printed);
    return;
  }
  fprintf(stderr, "vandrel: %s was not printed: %s\n", log_text(job.document).c_str(),
          log_text(not_completed_text(job.destination, message, false)).c_str());
  Message m;
  m.title = _(kNotPrintedTitle);
  m.text = not_printed_text(job.document, true);
  m.detail = not_completed_text(job.destination, message, true);
  show_message_later(m, job.number);
}

// The print server refused a job: one line saying why, and a message for the person,
// after which the job is reported. The follower's thread.
static void refusal_explained(const RefusedJob &job, const DestinationFacts &facts) {
  fprintf(stderr, "vandrel: the print server refused %s: %s\n", log_text(job.document).c_str(),
          log_text(refusal_text(facts, false)).c_str());
  Message m;
  m.title = _(kNotPrintedTitle);
  m.text = not_printed_text(job.document, true);
  m.detail = refusal_text(facts, true);
  show_message_later(m, job.number);
}

void printing_finished(const char *file) {
  // The two lines go out in one write so they stay together next to a trace line.
  std::string lines = "Finished Printing\nDeleting file: " + log_text(file) + "\n";
  fwrite(lines.data(), 1, lines.size(), stderr);
  fflush(stderr);
  spool_remove(file);
}

void follow_print_job(const FollowedJob &job) {
  job_handed_over(job.number);
  follow_job(job, job_ended);
}

void finish_printing(GtkPrintJob *job, void *user_data, GError *error) {
  (void)job;
  PrintCompletion *completion = static_cast<PrintCompletion *>(user_data);
  // Whether the print server took the job is known only from the status the toolkit
  // sets right after this call.
  if (!error && completion->verdict_handler) {
    completion->awaiting_verdict = true;
    return;
  }
  finish_job(completion, error, true);
}

// The toolkit's module reports no error for a job the print server refused: it just
// gets no job number back, so a job that tracks its status goes straight to
// "finished" instead of "pending". A refused title longer than IPP's 255 bytes is
// sent once more cut at a character boundary (a server may refuse such a name); any
// other refusal is told to the person. An accepted job is followed until the server is
// done with it, and reported then. Runs in the job's completion path, lock held.
static void job_status_changed(GtkPrintJob *job, gpointer data) {
  PrintCompletion *completion = static_cast<PrintCompletion *>(data);
  if (!completion->awaiting_verdict) return;
  completion->awaiting_verdict = false;
  g_signal_handler_disconnect(job, completion->verdict_handler);
  completion->verdict_handler = 0;
  std::string destination = gtk_printer_get_name(gtk_print_job_get_printer(job));
  std::string title = gtk_print_job_get_title(job);
  if (gtk_print_job_get_status(job) != GTK_PRINT_STATUS_FINISHED) {
    finish_job(completion, nullptr, false);
    follow_print_job(FollowedJob{completion->number, destination, 0, title, completion->document,
                                 completion->sent});
    return;
  }
  if (title.size() > kMaxJobTitle) {
    GtkPageSetup *page_setup = nullptr;
    g_object_get(job, "page-setup", &page_setup, nullptr);
    std::string cut = cut_at_character(title, kMaxJobTitle);
    bool resent =
        send_job(gtk_print_job_get_printer(job), gtk_print_job_get_settings(job), page_setup,
                 completion->path.c_str(), cut, completion->document, completion->number);
    if (page_setup) g_object_unref(page_setup);
    if (resent) {
      fprintf(stderr,
              "vandrel: the print server refused the job's long name; sent again as \"%s\"\n",
              log_text(cut).c_str());
      return;
    }
  }
  fprintf(stderr, "Deleting file: %s\n", log_text(completion->path).c_str());
  spool_remove(completion->path.c_str());
  explain_refusal(RefusedJob{completion->number, destination, completion->document},
                  refusal_explained);
}

// True when printer belongs to the toolkit's module named backend_type.
static bool printer_of(GtkPrinter *printer, const char *backend_type) {
  GtkPrintBackend *backend = printer ? gtk_printer_get_backend(printer) : nullptr;
  return backend && strcmp(G_OBJECT_TYPE_NAME(backend), backend_type) == 0;
}

bool is_print_server_printer(GtkPrinter *printer) {
  return printer_of(printer, "GtkPrintBackendCups");
}

bool is_file_printer(GtkPrinter *printer) { return printer_of(printer, "GtkPrintBackendFile"); }

bool send_job(GtkPrinter *printer, GtkPrintSettings *settings, GtkPageSetup *page_setup,
              const char *file, const std::string &title, const std::string &document,
              JobNumber number) {
  GtkPrintJob *job = gtk_print_job_new(title.c_str(), printer, settings, page_setup);
  GError *error = nullptr;
  if (!gtk_print_job_set_source_file(job, file, &error)) {
    // Never send such a job: its completion would not come and the file would stay.
    fprintf(stderr, "vandrel: cannot print %s: %s\n", log_text(file).c_str(),
            error ? log_text(error->message).c_str() : "the file cannot be read");
    g_clear_error(&error);
    g_object_unref(job);
    return false;
  }
  PrintCompletion *completion =
      new PrintCompletion{job, number, file, document, {}, 0, false, time(nullptr)};
  bool watch = is_print_server_printer(printer);
  if (watch) {
    gtk_print_job_set_track_print_status(job, TRUE);
    completion->verdict_handler =
        g_signal_connect(job, "status-changed", G_CALLBACK(job_status_changed), completion);
  }
  std::vector<OpenSocket> before;
  if (watch) before = open_sockets();
  job_pending(number);
  gtk_print_job_send(job, finish_printing, completion, completion_done);
  // completion is still ours to fill in: its release needs the toolkit's lock, which
  // this thread holds. Only the expected pair, two new connections to one place,
  // is watched; with anything else nothing is closed.
  if (watch) {
    std::vector<OpenSocket> opened = sockets_opened_since(before);
    if (opened.size() == 2 && !opened[0].peer.empty() && opened[0].peer == opened[1].peer)
      completion->connections = opened;
  }
  return true;
}
