// The "default" job: the document goes to the default printer without a dialog, and
// the person hears of it only when it could not be printed.
#include <cstdio>

#include "ending.h"
#include "files/spool.h"
#include "jobs/handlers.h"
#include "jobs/print_job.h"
#include "jobs/texts.h"
#include "jobs/util.h"
#include "printing/lp.h"
#include "printing/print_status.h"

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
  LpJob job;
  job.file = file;
  std::string why;
  Outcome outcome = hand_to_print_server(job, name, number, &why);
  if (outcome != Outcome::Failed) return outcome;
  if (why.empty() || helper_ending()) {
    // The helper is ending: nobody is asked any more.
    spool_remove(file);
    return outcome;
  }
  bool chose = false;
  dialog_section(pipe_to_write, [&] {
    chose = ask_to_choose(name, why);
    if (chose) outcome = showdl(file, name, number);
  });
  if (!chose) spool_remove(file);
  return outcome;
}
