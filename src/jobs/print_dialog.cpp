#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "desktop/host_window.h"
#include "files/document_kind.h"
#include "files/held_files.h"
#include "files/save_target.h"
#include "jobs/handlers.h"
#include "printing/connections.h"
#include "printing/print_options.h"
#include "printing/print_server.h"

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

// TRANSLATORS: the title of the message that says a document was not printed.
constexpr char kNotPrintedTitle[] = N_("Not Printed");
// TRANSLATORS: shown when "Print to File" is chosen for a document it cannot write.
constexpr char kFileOnlyWholeText[] =
    N_("\"Print to File\" writes the whole document as it is: choose \"All Pages\", or a "
       "printer.");
constexpr char kFileNotWritableText[] =
    N_("\"Print to File\" can write only PDF and PostScript documents: choose a printer.");
}  // namespace

static bool send_job(GtkPrinter *printer, GtkPrintSettings *settings, GtkPageSetup *page_setup,
                     const char *file, const std::string &title, const std::string &document,
                     JobNumber number);

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
  // The two lines go out in one write so they stay together next to a trace line.
  std::string lines = "Finished Printing\nDeleting file: " + log_text(completion->path) + "\n";
  if (error) lines = "vandrel: print job failed: " + log_text(error->message) + "\n" + lines;
  fwrite(lines.data(), 1, lines.size(), stderr);
  fflush(stderr);
  spool_remove(completion->path.c_str());
  if (report) report_outcome(completion->number, error ? Outcome::Failed : Outcome::Printed);
}

// A followed job that the print server did not complete: one line, and the message
// for the person, after which the job is reported. The follower's thread.
static void job_not_completed(const FollowedJob &job, const std::string &message) {
  fprintf(stderr, "vandrel: %s was not printed: %s\n", log_text(job.document).c_str(),
          log_text(not_completed_text(job.destination, message, false)).c_str());
  show_message_later(_(kNotPrintedTitle), not_printed_text(job.document, true),
                     not_completed_text(job.destination, message, true), job.number);
}

// The print server refused a job for destination: finds out why (which may take the
// server a moment, so on a thread of its own), says so in one line and in a message
// for the person, after which the job is reported.
static void tell_refused(JobNumber number, const std::string &destination,
                         const std::string &document) {
  std::thread([number, destination, document] {
    DestinationFacts facts = destination_facts(destination);
    fprintf(stderr, "vandrel: the print server refused %s: %s\n", log_text(document).c_str(),
            log_text(refusal_text(facts, false)).c_str());
    show_message_later(_(kNotPrintedTitle), not_printed_text(document, true),
                       refusal_text(facts, true), number);
  }).detach();
}

void follow_print_job(const FollowedJob &job) {
  job_handed_over(job.number);
  follow_job(job, job_not_completed);
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
  tell_refused(completion->number, destination, completion->document);
}

// True when printer belongs to the toolkit's module named backend_type.
static bool printer_of(GtkPrinter *printer, const char *backend_type) {
  GtkPrintBackend *backend = printer ? gtk_printer_get_backend(printer) : nullptr;
  return backend && strcmp(G_OBJECT_TYPE_NAME(backend), backend_type) == 0;
}

static bool is_print_server_printer(GtkPrinter *printer) {
  return printer_of(printer, "GtkPrintBackendCups");
}

static bool is_file_printer(GtkPrinter *printer) {
  return printer_of(printer, "GtkPrintBackendFile");
}

// Sends the spool file file as a print job titled title on printer with settings and
// page_setup (all borrowed), for the conversation numbered number of the document
// named document. finish_printing removes the file and reports the job once it
// completes; for a print server's queue, job_status_changed then learns whether the
// server took it. Returns false when no job could be sent; the file and the report are
// then still the caller's. Toolkit lock held (reader thread in the dialog, or the main
// loop on completion).
static bool send_job(GtkPrinter *printer, GtkPrintSettings *settings, GtkPageSetup *page_setup,
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

// The choices of settings and page_setup that the toolkit leaves to applications
// that draw their own pages.
static DialogChoices choices_of(GtkPrintSettings *settings, GtkPageSetup *page_setup) {
  DialogChoices choices;
  if (gtk_print_settings_get_print_pages(settings) == GTK_PRINT_PAGES_RANGES) {
    choices.some_pages = true;
    gint n = 0;
    GtkPageRange *ranges = gtk_print_settings_get_page_ranges(settings, &n);
    for (gint i = 0; i < n; ++i)
      choices.ranges.push_back(PageRange{ranges[i].start, ranges[i].end});
    g_free(ranges);
  }
  switch (gtk_print_settings_get_page_set(settings)) {
    case GTK_PAGE_SET_EVEN:
      choices.page_set = PageSet::Even;
      break;
    case GTK_PAGE_SET_ODD:
      choices.page_set = PageSet::Odd;
      break;
    default:
      break;
  }
  switch (page_setup ? gtk_page_setup_get_orientation(page_setup) : GTK_PAGE_ORIENTATION_PORTRAIT) {
    case GTK_PAGE_ORIENTATION_LANDSCAPE:
      choices.orientation = Orientation::Landscape;
      break;
    case GTK_PAGE_ORIENTATION_REVERSE_LANDSCAPE:
      choices.orientation = Orientation::ReverseLandscape;
      break;
    case GTK_PAGE_ORIENTATION_REVERSE_PORTRAIT:
      choices.orientation = Orientation::ReversePortrait;
      break;
    default:
      break;
  }
  return choices;
}

// Sends the job the user confirmed in the dialog, titled name. For a print server's
// queue the choices the toolkit does not pass on for a job from a file go with it as
// print options, as lp's -o would give them. Returns false when no job could be sent;
// the caller then removes the file.
static bool send_from_dialog(GtkPrintUnixDialog *pd, const char *file, const char *name,
                             JobNumber number) {
  GtkPrinter *printer = gtk_print_unix_dialog_get_selected_printer(pd);
  if (!printer) {
    fprintf(stderr, "vandrel: cannot print %s: no printer selected\n", log_text(name).c_str());
    return false;
  }
  GtkPageSetup *page_setup = gtk_print_unix_dialog_get_page_setup(pd);
  GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
  if (is_print_server_printer(printer))
    for (const auto &option : job_options(choices_of(settings, page_setup)))
      gtk_print_settings_set(settings, ("cups-" + option.first).c_str(), option.second.c_str());
  bool sent = send_job(printer, settings, page_setup, file, name, name, number);
  g_object_unref(settings);
  return sent;
}

// The kind of the document in the spool file file, told from its first bytes.
static DocumentKind kind_of_file(const char *file) {
  unsigned char head[kSniffBytes];
  int fd = open_held_file(file);
  ssize_t n = fd >= 0 ? pread(fd, head, sizeof head, 0) : -1;
  if (fd >= 0) close(fd);
  return sniff_document(head, n > 0 ? static_cast<size_t>(n) : 0);
}

// What the dialog offers beyond the printer's own abilities: Preview; for a print
// server's queue, which takes them as print options, odd or even pages, paper size
// and orientation ("Print to File" writes the document as it is, so not there); and
// for "Print to File" only the document's own format. The toolkit calls this again
// whenever the printer changes.
static void offer_capabilities(GtkPrintUnixDialog *pd, GParamSpec *pspec, gpointer data) {
  (void)pspec;
  DocumentFormat format = static_cast<DocumentFormat>(GPOINTER_TO_INT(data));
  int caps = GTK_PRINT_CAPABILITY_PREVIEW;
  if (format == DocumentFormat::Pdf) caps |= GTK_PRINT_CAPABILITY_GENERATE_PDF;
  if (format == DocumentFormat::PostScript) caps |= GTK_PRINT_CAPABILITY_GENERATE_PS;
  bool server_queue = is_print_server_printer(gtk_print_unix_dialog_get_selected_printer(pd));
  if (server_queue) caps |= GTK_PRINT_CAPABILITY_PAGE_SET;
  gtk_print_unix_dialog_set_manual_capabilities(pd, static_cast<GtkPrintCapabilities>(caps));
  gtk_print_unix_dialog_set_embed_page_setup(pd, server_queue);
}

// Why "Print to File" cannot write what the person chose (the whole document is
// written as it is, in its own format), or nullptr when it can or another printer is
// chosen.
static const char *file_output_problem(GtkPrintUnixDialog *pd, DocumentFormat format) {
  if (!is_file_printer(gtk_print_unix_dialog_get_selected_printer(pd))) return nullptr;
  if (format != DocumentFormat::Pdf && format != DocumentFormat::PostScript)
    return kFileNotWritableText;
  GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
  bool some = gtk_print_settings_get_print_pages(settings) != GTK_PRINT_PAGES_ALL;
  g_object_unref(settings);
  return some ? kFileOnlyWholeText : nullptr;
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
  DocumentFormat format = kind_of_file(file).format;
  offer_capabilities(pd, nullptr, GINT_TO_POINTER(static_cast<int>(format)));
  g_signal_connect(pd, "notify::selected-printer", G_CALLBACK(offer_capabilities),
                   GINT_TO_POINTER(static_cast<int>(format)));
  offer_output_file(pd, name);

  // Preview leaves the job where it was, and so does a choice "Print to File" cannot
  // write: the dialog comes back for it.
  gint response;
  for (;;) {
    response = run_dialog(dialog);
    if (response == GTK_RESPONSE_APPLY) {
      show_preview(GTK_WINDOW(dialog), file);
      continue;
    }
    const char *problem = response == GTK_RESPONSE_OK ? file_output_problem(pd, format) : nullptr;
    if (!problem) break;
    GtkWidget *message = gtk_message_dialog_new(GTK_WINDOW(dialog), GTK_DIALOG_DESTROY_WITH_PARENT,
                                                GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s", _(problem));
    gtk_window_set_title(GTK_WINDOW(message), _(kNotPrintedTitle));
    attach_to_host(message);
    (void)run_dialog(message);
    end_dialog(message);
  }
  // A dialog destroyed from outside answers GTK_RESPONSE_NONE: a cancel.
  bool sent = response == GTK_RESPONSE_OK && send_from_dialog(pd, file, name, number);
  if (!sent) spool_remove(file);

  end_dialog(dialog);
  gtk_widget_destroy(window);
  if (sent) return Outcome::Pending;
  return response == GTK_RESPONSE_OK ? Outcome::Failed : Outcome::Cancelled;
}
