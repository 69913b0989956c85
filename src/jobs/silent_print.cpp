// The "default" job: the document goes to the default printer without a dialog, and
// the person hears of it only when it could not be printed.
#include <cstdio>
#include <ctime>

#include "common/log_text.h"
#include "files/spool.h"
#include "jobs/handlers.h"
#include "jobs/print_job.h"
#include "jobs/texts.h"
#include "jobs/util.h"
#include "printing/lp.h"
#include "printing/print_server.h"

namespace {
// The answer of "Choose a Printer...".
constexpr gint kResponseChoose = 1;
}  // namespace

// Tells the person that the document named name was not printed, and why, and asks
// whether to choose a printer. Returns true when they want to. Reader thread, inside
// a dialog section.
static bool ask_to_choose(const char *name, const std::string &why) {
  Message m;
  m.title = _(kNotPrintedTitle);
  m.text = not_printed_text(name, true);
  m.detail = why;
  m.buttons = {{_(kChoosePrinter), kResponseChoose}, {GTK_STOCK_CLOSE, GTK_RESPONSE_CLOSE}};
  m.default_response = GTK_RESPONSE_CLOSE;
  return show_message(nullptr, m) == kResponseChoose;
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
