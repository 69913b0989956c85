// Print jobs: handing a document to the print server with lp and following it there,
// and the toolkit's own jobs for printers that are not the print server's.
#include "jobs/print_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/log_text.h"
#include "files/held_files.h"
#include "files/names.h"
#include "files/spool.h"
#include "jobs/handlers.h"
#include "jobs/texts.h"
#include "jobs/util.h"
#include "printing/follower.h"
#include "printing/print_server.h"

namespace {
// The longest name a print server has to take for a job (IPP's limit for names).
constexpr size_t kMaxJobTitle = 255;

// What a sent toolkit job needs until its completion: its own reference, and the
// spool path, which the reader's texts would not keep unchanged that long.
struct PrintCompletion {
  GtkPrintJob *job;
  JobNumber number;  // the conversation's, for its report
  std::string path;
};

// Whether the spool file file holds nothing.
bool is_empty_document(const char *file) {
  int fd = open_held_file(file);
  struct stat st;
  bool empty = fd >= 0 && fstat(fd, &st) == 0 && st.st_size == 0;
  if (fd >= 0) close(fd);
  return empty;
}

// News of a followed job. One that ended printed is reported so; one the server did
// not complete, or that waits, gets one line and a message for the person, after
// which it is reported (failed, queued). A job already reported queued gets its line
// and, if it fails, its message, but no second report. The follower's thread.
void job_news(const FollowedJob &job, const FollowNews &news) {
  std::string name = log_text(job.document);
  if (news.verdict == JobVerdict::Printed) {
    if (news.watched) fprintf(stderr, "vandrel: %s has been printed after waiting\n", name.c_str());
    if (!news.watched) report_outcome(job.number, Outcome::Printed);
    return;
  }
  Message m;
  Outcome outcome = Outcome::Failed;
  if (news.verdict == JobVerdict::Failed) {
    job_reason(news.watched ? 0 : job.number,
               news.facts.state == kJobCancelled ? reason::kCancelledThere : reason::kStopped);
    fprintf(stderr, "vandrel: %s was not printed: %s\n", name.c_str(),
            log_text(not_completed_text(job.destination, news.facts, false)).c_str());
    m.title = _(kNotPrintedTitle);
    m.text = not_printed_text(job.document, true);
    m.detail = not_completed_text(job.destination, news.facts, true);
  } else {
    fprintf(stderr, "vandrel: %s is not printed yet: %s\n", name.c_str(),
            log_text(waits_where_text(job.destination, news.wait, news.facts, false)).c_str());
    m.type = GTK_MESSAGE_INFO;
    m.title = _(kNotPrintedYetTitle);
    m.text = waiting_text(job.document, true);
    m.detail = waits_where_text(job.destination, news.wait, news.facts, true);
    outcome = Outcome::Queued;
  }
  show_message_later(m, news.watched ? 0 : job.number, outcome);
}

// The reason word of a refusal, for the job's report.
const char *refusal_reason(Refusal refusal) {
  switch (refusal) {
    case Refusal::NoServer:
      return reason::kNoServer;
    case Refusal::NoAnswer:
      return reason::kNoAnswer;
    case Refusal::NoDefault:
    case Refusal::NoSuchPrinter:
      return reason::kNoPrinter;
    case Refusal::UserDenied:
      return reason::kDenied;
    case Refusal::NotAccepting:
    case Refusal::Unknown:
      break;
  }
  return reason::kRefused;
}

// The job title the print server gets for the document named document: its name,
// made valid UTF-8 (IPP names are) as the desktop would show it.
std::string title_of(const std::string &document) {
  return valid_utf8(document) ? document : windows1252_to_utf8(document);
}
}  // namespace

Outcome hand_to_print_server(LpJob job, const std::string &document, JobNumber number,
                             std::string *why) {
  why->clear();
  if (is_empty_document(job.file.c_str())) {
    fprintf(stderr, "vandrel: %s was not printed: %s\n", log_text(document).c_str(),
            empty_document_text(false).c_str());
    *why = empty_document_text(true);
    job_reason(number, reason::kEmpty);
    return Outcome::Failed;
  }
  if (!job.title.empty()) job.title = title_of(job.title);
  DirectPrint printed = print_direct(job);
  // A server may refuse a name longer than IPP's limit: it gets it cut once more.
  if (!printed.accepted() && !printed.stopped && !printed.timed_out &&
      job.title.size() > kMaxJobTitle) {
    job.title = cut_at_character(job.title, kMaxJobTitle);
    fprintf(stderr, "vandrel: the print server refused the job's long name; sent again as \"%s\"\n",
            log_text(job.title).c_str());
    printed = print_direct(job);
  }
  if (printed.accepted()) {
    job_pending(number);
    job_handed_over(number);
    job_server_job(
        number, printed.request.destination,
        static_cast<unsigned long>(printed.request.job_id > 0 ? printed.request.job_id : 0));
    if (printed.request.job_id == 0) {
      // It cannot be followed: that it was printed is not known.
      fprintf(stderr, "vandrel: %s was sent, but lp named no job to follow\n",
              log_text(document).c_str());
      report_outcome(number, Outcome::Queued);
      return Outcome::Pending;
    }
    follow_job(FollowedJob{number, printed.request.destination, printed.request.job_id, document},
               job_news);
    return Outcome::Pending;
  }
  if (printed.stopped) {
    job_reason(number, reason::kEnding);
    return Outcome::Failed;
  }
  DestinationFacts facts;
  if (printed.timed_out) {
    facts.server_reached = true;  // lp reached it and had no answer
  } else {
    facts = destination_facts(job.destination);
  }
  fprintf(stderr, "vandrel: %s was not printed: %s\n", log_text(document).c_str(),
          log_text(refusal_text(facts, false, printed.complaint)).c_str());
  *why = refusal_text(facts, true, printed.complaint);
  job_reason(number, printed.timed_out ? reason::kNoAnswer : refusal_reason(refusal_of(facts)));
  return Outcome::Failed;
}

// The toolkit drops the completion data from inside the job's own callback path, so
// the job reference is let go from the main loop afterwards, not there. The release
// touches the toolkit's objects, so it runs with the toolkit's lock.
static gboolean release_completion(gpointer data) {
  PrintCompletion *completion = static_cast<PrintCompletion *>(data);
  g_object_unref(completion->job);
  delete completion;
  return FALSE;
}

static void completion_done(gpointer data) { gdk_threads_add_idle(release_completion, data); }

void printing_finished(const char *file) {
  // The two lines go out in one write so they stay together next to a trace line.
  std::string lines = "Finished Printing\nDeleting file: " + log_text(file) + "\n";
  fwrite(lines.data(), 1, lines.size(), stderr);
  fflush(stderr);
  spool_remove(file);
}

void finish_printing(GtkPrintJob *job, void *user_data, GError *error) {
  (void)job;
  PrintCompletion *completion = static_cast<PrintCompletion *>(user_data);
  if (error) fprintf(stderr, "vandrel: print job failed: %s\n", log_text(error->message).c_str());
  printing_finished(completion->path.c_str());
  if (error) job_reason(completion->number, reason::kCannotPrint);
  report_outcome(completion->number, error ? Outcome::Failed : Outcome::Printed);
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
              const char *file, const std::string &title, JobNumber number) {
  GtkPrintJob *job = gtk_print_job_new(title_of(title).c_str(), printer, settings, page_setup);
  GError *error = nullptr;
  if (!gtk_print_job_set_source_file(job, file, &error)) {
    // Never send such a job: its completion would not come and the file would stay.
    fprintf(stderr, "vandrel: cannot print %s: %s\n", log_text(file).c_str(),
            error ? log_text(error->message).c_str() : "the file cannot be read");
    g_clear_error(&error);
    g_object_unref(job);
    return false;
  }
  PrintCompletion *completion = new PrintCompletion{job, number, file};
  job_pending(number);
  gtk_print_job_send(job, finish_printing, completion, completion_done);
  return true;
}
