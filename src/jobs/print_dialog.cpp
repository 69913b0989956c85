#include <cstdio>
#include <string>

#include "jobs/handlers.h"
#include "jobs/host_window.h"

namespace {
// What a sent print job needs until its completion: its own reference and the spool
// path, which the reader's texts would not keep unchanged that long.
struct PrintCompletion {
  GtkPrintJob *job;
  std::string path;
};
}  // namespace

static gboolean release_completion(gpointer data) {
  PrintCompletion *completion = static_cast<PrintCompletion *>(data);
  g_object_unref(completion->job);
  delete completion;
  return FALSE;
}

// The toolkit drops the completion data from inside the job's own callback path, so
// the job reference is let go from the main loop afterwards, not there.
static void completion_done(gpointer data) { g_idle_add(release_completion, data); }

void finish_printing(GtkPrintJob *job, gpointer user_data, GError *error) {
  (void)job;
  PrintCompletion *completion = static_cast<PrintCompletion *>(user_data);
  // The two lines go out in one write so they stay together next to a trace line.
  std::string lines = "Finished Printing\nDeleting file: " + completion->path + "\n";
  if (error) lines = "vandrel: print job failed: " + std::string(error->message) + "\n" + lines;
  fwrite(lines.data(), 1, lines.size(), stderr);
  fflush(stderr);
  spool_remove(completion->path.c_str());
}

// Hands the spool file to a print job built from the dialog's choices. Returns
// false when no job could be sent; the caller then removes the file.
static bool send_job(GtkPrintUnixDialog *pd, const char *file, const char *name) {
  GtkPrinter *printer = gtk_print_unix_dialog_get_selected_printer(pd);
  if (!printer) {
    fprintf(stderr, "vandrel: cannot print %s: no printer selected\n", name);
    return false;
  }
  GtkPageSetup *page_setup = gtk_print_unix_dialog_get_page_setup(pd);
  GtkPrintSettings *settings = gtk_print_unix_dialog_get_settings(pd);
  GtkPrintJob *job = gtk_print_job_new(name, printer, settings, page_setup);
  g_object_unref(settings);

  GError *error = nullptr;
  if (!gtk_print_job_set_source_file(job, file, &error)) {
    // Never send such a job: its completion would not come and the file would stay.
    fprintf(stderr, "vandrel: cannot print %s: %s\n", file,
            error ? error->message : "the file cannot be read");
    g_clear_error(&error);
    g_object_unref(job);
    return false;
  }
  PrintCompletion *completion = new PrintCompletion{job, file};
  gtk_print_job_send(job, finish_printing, completion, completion_done);
  return true;
}

int showdl(const char *file, const char *name) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget *dialog = gtk_print_unix_dialog_new(kPrintDialogTitle, GTK_WINDOW(window));
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  attach_to_host(dialog);

  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  bool sent = response == GTK_RESPONSE_OK &&
              send_job(GTK_PRINT_UNIX_DIALOG(dialog), file, name);
  if (!sent) spool_remove(file);

  gtk_widget_destroy(dialog);
  gtk_widget_destroy(window);
  return 0;
}
