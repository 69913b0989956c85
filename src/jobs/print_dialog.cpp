#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "jobs/handlers.h"
#include "jobs/host_window.h"
#include "jobs/save_target.h"

namespace {
// The longest name a print server has to take for a job (IPP's limit for names).
constexpr size_t kMaxJobTitle = 255;

// What a sent print job needs until its completion: its own reference; the spool
// path, which the reader's texts would not keep unchanged that long; the print-server
// connections its sending opened (see release_completion). A job titled longer than
// IPP allows also watches its status (see job_status_changed): verdict_handler is
// that watch, awaiting_verdict says the completion came and waits for it.
struct PrintCompletion {
  GtkPrintJob *job;
  JobNumber number;  // the conversation's, for its report
  std::string path;
  std::vector<OpenSocket> connections;
  gulong verdict_handler;
  bool awaiting_verdict;
};
}  // namespace

static bool send_job(GtkPrinter *printer, GtkPrintSettings *settings, GtkPageSetup *page_setup,
                     const char *file, const std::string &title, JobNumber number);

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

// The end of a job's use of its spool file: the two lines, the file removed, and the
// job's outcome reported.
static void finish_job(PrintCompletion *completion, GError *error) {
  // The two lines go out in one write so they stay together next to a trace line.
  std::string lines = "Finished Printing\nDeleting file: " + log_text(completion->path) + "\n";
  if (error) lines = "vandrel: print job failed: " + log_text(error->message) + "\n" + lines;
  fwrite(lines.data(), 1, lines.size(), stderr);
  fflush(stderr);
  spool_remove(completion->path.c_str());
  report_outcome(completion->number, error ? Outcome::Failed : Outcome::Printed);
}

void finish_printing(GtkPrintJob *job, gpointer user_data, GError *error) {
  (void)job;
  PrintCompletion *completion = static_cast<PrintCompletion *>(user_data);
  // Whether the print server took the job is known only from the status the toolkit
  // sets right after this call.
  if (!error && completion->verdict_handler) {
    completion->awaiting_verdict = true;
    return;
  }
  finish_job(completion, error);
}

// A print server may refuse a job name longer than IPP's 255 bytes. The toolkit's
// module reports no error for a refused job: it just gets no job number back, so a
// job that tracks its status goes straight to "finished" instead of "pending". Such a
// job is sent once more under its title cut at a character boundary; any other
// outcome finishes the job as usual. Runs in the job's completion path, lock held.
static void job_status_changed(GtkPrintJob *job, gpointer data) {
  PrintCompletion *completion = static_cast<PrintCompletion *>(data);
  if (!completion->awaiting_verdict) return;
  completion->awaiting_verdict = false;
  g_signal_handler_disconnect(job, completion->verdict_handler);
  completion->verdict_handler = 0;
  if (gtk_print_job_get_status(job) == GTK_PRINT_STATUS_FINISHED) {
    GtkPageSetup *page_setup = nullptr;
    g_object_get(job, "page-setup", &page_setup, nullptr);
    std::string title = cut_at_character(gtk_print_job_get_title(job), kMaxJobTitle);
    bool resent = send_job(gtk_print_job_get_printer(job), gtk_print_job_get_settings(job),
                           page_setup, completion->path.c_str(), title, completion->number);
    if (page_setup) g_object_unref(page_setup);
    if (resent) {
      fprintf(stderr,
              "vandrel: the print server refused the job's long name; sent again as \"%s\"\n",
              log_text(title).c_str());
      return;
    }
  }
  finish_job(completion, nullptr);
}

// True when printer belongs to the toolkit's print-server module.
static bool is_print_server_printer(GtkPrinter *printer) {
  GtkPrintBackend *backend = gtk_printer_get_backend(printer);
  return backend && strcmp(G_OBJECT_TYPE_NAME(backend), "GtkPrintBackendCups") == 0;
}

// Sends the spool file file as a print job titled title on printer with settings and
// page_setup (all borrowed), for the conversation numbered number. finish_printing
// removes the file and reports the job once it completes (or job_status_changed, for
// a title longer than IPP allows). Returns false when no job could be sent; the file
// and the report are then still the caller's. Toolkit lock held (reader thread in the
// dialog, or the main loop on completion).
static bool send_job(GtkPrinter *printer, GtkPrintSettings *settings, GtkPageSetup *page_setup,
                     const char *file, const std::string &title, JobNumber number) {
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
  PrintCompletion *completion = new PrintCompletion{job, number, file, {}, 0, false};
  bool watch = is_print_server_printer(printer);
  if (watch && title.size() > kMaxJobTitle) {
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

// Sends the job the user confirmed in the dialog, titled name. Returns false when no
// job could be sent; the caller then removes the file.
static bool send_from_dialog(GtkPrintUnixDialog *pd, const char *file, const char *name,
                             JobNumber number) {
  GtkPrinter *printer = gtk_print_unix_dialog_get_selected_printer(pd);
  if (!printer) {
    fprintf(stderr, "vandrel: cannot print %s: no printer selected\n", log_text(name).c_str());
    return false;
  }
  GtkPageSetup *page_setup = gtk_print_unix_dialog_get_page_setup(pd);
  GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
  bool sent = send_job(printer, settings, page_setup, file, name, number);
  g_object_unref(settings);
  return sent;
}

// Makes "Print to File" write the document under its own name into the documents
// folder, instead of "output.pdf" in whatever folder the host was started in.
// The name is made plain as the save dialog makes it: never a hidden file, never
// outside that folder.
static void offer_output_file(GtkPrintUnixDialog *pd, const char *name) {
  std::string path = documents_folder() + "/" + suggested_save_name(name);
  char *uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  if (!uri) return;
  GtkPrintSettings *settings = gtk_print_settings_new();
  gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, uri);
  gtk_print_unix_dialog_set_settings(pd, settings);
  g_object_unref(settings);
  g_free(uri);
}

Outcome showdl(const char *file, const char *name, JobNumber number) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget *dialog = gtk_print_unix_dialog_new(kPrintDialogTitle, GTK_WINDOW(window));
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  attach_to_host(dialog);
  GtkPrintUnixDialog *pd = GTK_PRINT_UNIX_DIALOG(dialog);
  gtk_print_unix_dialog_set_manual_capabilities(pd, GTK_PRINT_CAPABILITY_PREVIEW);
  offer_output_file(pd, name);

  // Preview leaves the job where it was: the dialog comes back for it.
  gint response;
  while ((response = run_dialog(dialog)) == GTK_RESPONSE_APPLY)
    show_preview(GTK_WINDOW(dialog), file);
  // A dialog destroyed from outside answers GTK_RESPONSE_NONE: a cancel.
  bool sent = response == GTK_RESPONSE_OK && send_from_dialog(pd, file, name, number);
  if (!sent) spool_remove(file);

  end_dialog(dialog);
  gtk_widget_destroy(window);
  if (sent) return Outcome::Pending;
  return response == GTK_RESPONSE_OK ? Outcome::Failed : Outcome::Cancelled;
}
