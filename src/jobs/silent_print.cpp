// The "default" job: the document goes to the default printer without a dialog, and
// the person hears of it only when it could not be printed.
#include <cstdio>
#include <ctime>

#include "desktop/host_window.h"
#include "jobs/handlers.h"

namespace {
// TRANSLATORS: the title of the message that says a document was not printed.
constexpr char kNotPrintedTitle[] = N_("Not Printed");
// TRANSLATORS: the button that opens the print dialog for a document that could not be
// printed on the default printer.
constexpr char kChoosePrinter[] = N_("Choose a _Printer...");
constexpr int kResponseChoose = 1;
}  // namespace

// Tells the person that the document named name was not printed, and why, and asks
// whether to choose a printer. Returns true when they want to. Reader thread, inside
// a dialog section.
static bool ask_to_choose(const char *name, const std::string &why) {
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget *dialog =
      gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_ERROR,
                             GTK_BUTTONS_NONE, "%s", not_printed_text(name, true).c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", why.c_str());
  gtk_dialog_add_buttons(GTK_DIALOG(dialog), _(kChoosePrinter), kResponseChoose, GTK_STOCK_CLOSE,
                         GTK_RESPONSE_CLOSE, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
  gtk_window_set_title(GTK_WINDOW(dialog), _(kNotPrintedTitle));
  attach_to_host(dialog);
  bool choose = run_dialog(dialog) == kResponseChoose;
  end_dialog(dialog);
  gtk_widget_destroy(window);
  return choose;
}

Outcome print_default(const char *file, const char *name, JobNumber number, int pipe_to_write) {
  time_t sent = time(nullptr);
  DirectPrint printed = print_direct(file);
  if (printed.accepted()) {
    if (printed.request.job_id == 0) return Outcome::Printed;
    job_pending(number);
    follow_print_job(
        FollowedJob{number, printed.request.destination, printed.request.job_id, "", name, sent});
    return Outcome::Pending;
  }
  // lp says "No default destination." even when the print server is not running: ask.
  DestinationFacts facts = destination_facts("");
  fprintf(stderr, "vandrel: %s was not printed: %s\n", log_text(name).c_str(),
          log_text(refusal_text(facts, false, printed.complaint)).c_str());
  Outcome outcome = Outcome::Failed;
  bool chose = false;
  dialog_section(pipe_to_write, [&] {
    chose = ask_to_choose(name, refusal_text(facts, true, printed.complaint));
    if (chose) outcome = showdl(file, name, number);
  });
  if (!chose) spool_remove(file);
  return outcome;
}
