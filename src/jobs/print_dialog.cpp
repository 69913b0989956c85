#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/log_text.h"
#include "desktop/host_window.h"
#include "files/document_kind.h"
#include "files/held_files.h"
#include "files/names.h"
#include "files/save_target.h"
#include "files/spool.h"
#include "jobs/handlers.h"
#include "jobs/preview.h"
#include "jobs/print_dialog_toolkit.h"
#include "jobs/print_job.h"
#include "jobs/texts.h"
#include "jobs/util.h"
#include "printing/pdf_pages.h"
#include "printing/print_options.h"
#include "printing/print_server.h"
#include "printing/print_status.h"

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
  GtkPageSet set = gtk_print_settings_get_page_set(settings);
  choices.page_set = set == GTK_PAGE_SET_EVEN  ? PageSet::Even
                     : set == GTK_PAGE_SET_ODD ? PageSet::Odd
                                               : PageSet::All;
  // The toolkit's orientations and ours come in the same order.
  static_assert(
      GTK_PAGE_ORIENTATION_LANDSCAPE == static_cast<int>(Orientation::Landscape) &&
          GTK_PAGE_ORIENTATION_REVERSE_PORTRAIT == static_cast<int>(Orientation::ReversePortrait) &&
          GTK_PAGE_ORIENTATION_REVERSE_LANDSCAPE == static_cast<int>(Orientation::ReverseLandscape),
      "one order of orientations");
  if (page_setup)
    choices.orientation = static_cast<Orientation>(gtk_page_setup_get_orientation(page_setup));
  return choices;
}

// The print options for a job from the dialog on the print server's queue printer:
// what the toolkit makes of settings and page_setup for such a queue (the queue's own
// options, copies, sides, paper, cover pages, ...), which a job it made itself would
// carry, and the choices it leaves to applications that draw their own pages
// (job_options), which take the place of any of the same name. Toolkit lock held.
static std::vector<std::pair<std::string, std::string>> options_of(GtkPrinter *printer,
                                                                   GtkPrintSettings *settings,
                                                                   GtkPageSetup *page_setup) {
  using Options = std::vector<std::pair<std::string, std::string>>;
  Options options;
  // Making the job is what has the toolkit's module work the settings out; it is
  // never sent.
  GtkPrintJob *job = gtk_print_job_new("", printer, settings, page_setup);
  gtk_print_settings_foreach(
      gtk_print_job_get_settings(job),
      [](const gchar *key, const gchar *value, gpointer data) {
        static const char kPrefix[] = "cups-";
        if (strncmp(key, kPrefix, sizeof kPrefix - 1) == 0 && value && *value)
          static_cast<Options *>(data)->emplace_back(key + sizeof kPrefix - 1, value);
      },
      &options);
  g_object_unref(job);
  for (const auto &choice : job_options(choices_of(settings, page_setup))) {
    options.erase(std::remove_if(options.begin(), options.end(),
                                 [&](const auto &o) { return o.first == choice.first; }),
                  options.end());
    options.push_back(choice);
  }
  return options;
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
  // The option widgets are made again here, and their labels dropped.
  keep_option_labels(pd);
  gtk_print_unix_dialog_set_manual_capabilities(pd, static_cast<GtkPrintCapabilities>(caps));
  keep_option_labels(pd);
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

// Presets the dialog's paper to the document's own page size, when the document in
// the spool file file is a PDF or PostScript document that says it and the size is a
// standard paper (within a millimetre, either way round): the dialog then shows it
// for every printer that has it, and the person may still choose another. Toolkit
// lock held.
static void offer_document_paper(GtkPrintUnixDialog *pd, const char *file, DocumentFormat format) {
  constexpr double kSlack = 72.0 / 25.4;  // one millimetre, in points
  double width = 0, height = 0;
  bool known = false;
  int fd = open_held_file(file);
  if (fd < 0) return;
  if (format == DocumentFormat::Pdf) {
    known = pdf_first_page_size(fd, &width, &height);
  } else if (format == DocumentFormat::PostScript) {
    char head[4096];
    ssize_t n = pread(fd, head, sizeof head, 0);
    known = n > 0 && postscript_page_size(head, static_cast<size_t>(n), &width, &height);
  }
  close(fd);
  if (!known) return;
  GtkPaperSize *match = nullptr;
  GList *sizes = gtk_paper_size_get_paper_sizes(FALSE);
  for (GList *l = sizes; l; l = l->next) {
    auto *size = static_cast<GtkPaperSize *>(l->data);
    double w = gtk_paper_size_get_width(size, GTK_UNIT_POINTS);
    double h = gtk_paper_size_get_height(size, GTK_UNIT_POINTS);
    bool same = (std::fabs(w - width) <= kSlack && std::fabs(h - height) <= kSlack) ||
                (std::fabs(w - height) <= kSlack && std::fabs(h - width) <= kSlack);
    if (same && !match) match = gtk_paper_size_copy(size);
  }
  g_list_free_full(sizes, reinterpret_cast<GDestroyNotify>(gtk_paper_size_free));
  if (!match) return;
  GtkPageSetup *setup = gtk_page_setup_new();
  gtk_page_setup_set_paper_size_and_default_margins(setup, match);
  gtk_print_unix_dialog_set_page_setup(pd, setup);
  g_object_unref(setup);
  gtk_paper_size_free(match);
}

// Whether choices or reverse ask for other pages than all, in their order.
static bool chooses_pages(const DialogChoices &choices, bool reverse) {
  return choices.some_pages || choices.page_set != PageSet::All || reverse;
}

// Why the print server's queue chosen in pd, which prints documents as they are
// (prints_as_is), cannot print what the person chose, or nullptr: only the pages of a
// PDF document can be chosen for it (they are picked out here before it goes), and
// no layout at all. Toolkit lock held.
static const char *as_is_problem(GtkPrintUnixDialog *pd, DocumentFormat format) {
  GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
  DialogChoices choices = choices_of(settings, gtk_print_unix_dialog_get_page_setup(pd));
  bool reverse = gtk_print_settings_get_reverse(settings);
  int number_up = gtk_print_settings_get_number_up(settings);
  g_object_unref(settings);
  if (number_up > 1 || choices.orientation != Orientation::Portrait) return kAsIsLayoutText;
  if (chooses_pages(choices, reverse) && format != DocumentFormat::Pdf) return kAsIsPagesText;
  return nullptr;
}

// For a queue that prints documents as they are: a copy of the PDF spool file file
// holding only the pages chosen in settings and page_setup, made beside it and held
// (copy, kTextSize bytes), to be printed instead. False when nothing needs picking
// out, or when no copy could be made (one line says why; the document then goes
// whole). Reader thread.
static bool pick_pages(const char *file, GtkPrintSettings *settings, GtkPageSetup *page_setup,
                       char *copy) {
  DialogChoices choices = choices_of(settings, page_setup);
  bool reverse = gtk_print_settings_get_reverse(settings);
  if (!chooses_pages(choices, reverse)) return false;
  int in = open_held_file(file);
  int out = in >= 0 ? temp_create(home_folder().c_str(), copy) : -1;
  int pages = out >= 0 ? write_selected_pages(in, choices, reverse, out) : -1;
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  if (pages > 0) return true;
  if (out >= 0) spool_remove(copy);
  fprintf(stderr, "vandrel: cannot pick the chosen pages out of %s; it is printed whole\n",
          log_text(file).c_str());
  return false;
}

// Makes "Print to File" write the document under its own name into the documents
// folder, instead of "output.pdf" in whatever folder the host was started in.
// The name is made plain as the save dialog makes it: never a hidden file, never
// outside that folder; and since the file written is the document as it is, it
// carries the extension of the document's own format, of kind ("Report.ps" holding a
// PDF is offered as "Report.pdf").
static void offer_output_file(GtkPrintUnixDialog *pd, const char *name, const DocumentKind &kind) {
  std::string file_name = suggested_save_name(name);
  const char *format = kind.format == DocumentFormat::Pdf          ? "pdf"
                       : kind.format == DocumentFormat::PostScript ? "ps"
                                                                   : nullptr;
  if (format) {
    size_t ext = extension_start(file_name);
    if (g_ascii_strcasecmp(file_name.c_str() + ext, kind.extension) != 0)
      file_name = file_name.substr(0, ext) + kind.extension;
  }
  std::string path = documents_folder() + "/" + file_name;
  char *uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  if (!uri) return;
  GtkPrintSettings *settings = gtk_print_settings_new();
  gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, uri);
  if (format) gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT, format);
  gtk_print_unix_dialog_set_settings(pd, settings);
  g_object_unref(settings);
  g_free(uri);
}

// "Print to File" writes the document as it is (only the whole document, in its own
// format, is let through), so it is written here as a save is, at the file chosen in
// the dialog: every link on the way judged and followed through descriptors, never a
// link another user planted in a shared folder, an existing file replaced only whole.
// (The toolkit's own file output would open the chosen name itself, following
// whatever link is there by then.) On success the spool file `file` has become the
// chosen file, or been copied there, and printing is finished with it; true. False
// once the person has been told why it could not be written: the dialog then comes
// back. Reader thread, inside the dialog section.
static bool print_to_chosen_file(GtkPrintUnixDialog *pd, const char *file) {
  GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
  const char *uri = gtk_print_settings_get(settings, GTK_PRINT_SETTINGS_OUTPUT_URI);
  std::string shown = uri ? uri : "";
  char *target = uri ? g_filename_from_uri(uri, nullptr, nullptr) : nullptr;
  g_object_unref(settings);
  if (!target) {
    show_save_error(GTK_WINDOW(pd), _(kNotPrintedTitle), shown.c_str(), kNotLocalText,
                    _(kNotLocalText));
    return false;
  }
  int fd = open_held_file(file);
  struct stat st;
  bool written = fd >= 0 && fstat(fd, &st) == 0 &&
                 save_held_document(fd, file, static_cast<size_t>(st.st_size), target) == 0;
  int err = errno;
  if (fd >= 0) close(fd);
  if (written) {
    printing_finished(file);
    job_path(job_in_hand(), target);  // the job's report tells where it went
  } else {
    std::string reason = strerror(err);  // in the person's language
    show_save_error(GTK_WINDOW(pd), _(kNotPrintedTitle), target, log_strerror(err), reason.c_str());
  }
  g_free(target);
  return written;
}

Outcome showdl(const char *file, const char *name, JobNumber number) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget *dialog = gtk_print_unix_dialog_new(kPrintDialogTitle, GTK_WINDOW(window));
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkPrintUnixDialog *pd = GTK_PRINT_UNIX_DIALOG(dialog);
  DocumentKind kind = kind_of_file(file);
  DocumentFormat format = kind.format;
  look_after_print_dialog(pd);
  offer_capabilities(pd, nullptr, GINT_TO_POINTER(static_cast<int>(format)));
  g_signal_connect(pd, "notify::selected-printer", G_CALLBACK(offer_capabilities),
                   GINT_TO_POINTER(static_cast<int>(format)));
  offer_output_file(pd, name, kind);
  offer_document_paper(pd, file, format);
  wait_for_printers(pd);
  attach_to_host(dialog);

  // Preview leaves the job where it was, and so does a choice "Print to File" cannot
  // write, or a file it could not write: the dialog comes back for it.
  gint response;
  bool to_file = false;
  bool as_is = false;  // the chosen queue prints documents as they are
  for (;;) {
    response = run_dialog(dialog);
    if (response == GTK_RESPONSE_APPLY) {
      show_preview(GTK_WINDOW(dialog), file);
      continue;
    }
    const char *problem = response == GTK_RESPONSE_OK ? file_output_problem(pd, format) : nullptr;
    GtkPrinter *chosen = gtk_print_unix_dialog_get_selected_printer(pd);
    as_is = !problem && response == GTK_RESPONSE_OK && is_print_server_printer(chosen) &&
            queue_prints_as_is(gtk_printer_get_name(chosen));
    if (as_is) problem = as_is_problem(pd, format);
    if (!problem && response == GTK_RESPONSE_OK &&
        is_file_printer(gtk_print_unix_dialog_get_selected_printer(pd))) {
      to_file = print_to_chosen_file(pd, file);
      if (to_file) break;
      continue;
    }
    if (!problem) break;
    Message m;
    m.type = GTK_MESSAGE_INFO;
    m.title = _(kNotPrintedTitle);
    m.text = _(problem);
    (void)show_message(GTK_WINDOW(dialog), m);
  }
  // A dialog destroyed from outside answers GTK_RESPONSE_NONE: a cancel. A print
  // server's queue gets the document from lp once the dialog is gone; any other
  // printer but the file gets a job the toolkit sends.
  bool printing = response == GTK_RESPONSE_OK && !to_file;
  GtkPrinter *printer = printing ? gtk_print_unix_dialog_get_selected_printer(pd) : nullptr;
  bool to_server = printer && is_print_server_printer(printer);
  bool sent = false;
  LpJob lp_job;
  char picked[kTextSize] = "";
  if (to_server) {
    GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
    GtkPageSetup *page_setup = gtk_print_unix_dialog_get_page_setup(pd);
    lp_job.file = file;
    lp_job.destination = gtk_printer_get_name(printer);
    lp_job.title = name;
    lp_job.options = options_of(printer, settings, page_setup);
    // Such a queue would print every page: it gets only the chosen ones.
    if (as_is && pick_pages(file, settings, page_setup, picked)) lp_job.file = picked;
    g_object_unref(settings);
  } else if (printer) {
    GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
    sent =
        send_job(printer, settings, gtk_print_unix_dialog_get_page_setup(pd), file, name, number);
    g_object_unref(settings);
  } else if (printing) {
    fprintf(stderr, "vandrel: cannot print %s: no printer selected\n", log_text(name).c_str());
  }
  if (!to_server && !sent && !to_file) spool_remove(file);

  keep_option_labels(pd);
  end_dialog(dialog);
  gtk_widget_destroy(window);
  if (to_file) return Outcome::Printed;
  if (sent) return Outcome::Pending;
  if (!to_server && response == GTK_RESPONSE_OK)
    job_reason(number, printer ? reason::kCannotPrint : reason::kNoPrinter);
  if (!to_server) return response == GTK_RESPONSE_OK ? Outcome::Failed : Outcome::Cancelled;
  // lp may take a moment: the main loop gets on meanwhile.
  std::string why;
  gdk_threads_leave();
  Outcome outcome = hand_to_print_server(lp_job, name, number, &why);
  gdk_threads_enter();
  // The print server has the document (and the file is gone already).
  if (*picked) {
    if (outcome != Outcome::Pending) spool_remove(picked);
    spool_remove(file);
  }
  if (outcome == Outcome::Pending) printing_finished(file);
  if (outcome == Outcome::Failed) {
    spool_remove(file);
    if (!why.empty()) {
      Message m;
      m.title = _(kNotPrintedTitle);
      m.text = not_printed_text(name, true);
      m.detail = why;
      (void)show_message(nullptr, m);
    }
  }
  return outcome;
}
