#include "printing/print_status.h"

#include <algorithm>

#include "common/i18n.h"

static bool names(const std::vector<std::string> &list, const std::string &user) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string &entry) { return entry == user || entry == "all"; });
}

Refusal refusal_of(const DestinationFacts &facts) {
  if (!facts.server_reached) return Refusal::NoServer;
  if (!facts.server_answered) return Refusal::NoAnswer;
  if (facts.name.empty()) return Refusal::NoDefault;
  if (!facts.exists) return Refusal::NoSuchPrinter;
  // An allowed list of "all" alone is CUPS's way of saying nobody is limited.
  bool limited = !facts.users_allowed.empty() && !names(facts.users_allowed, facts.user);
  if (names(facts.users_denied, facts.user) || limited) return Refusal::UserDenied;
  if (!facts.accepting) return Refusal::NotAccepting;
  return Refusal::Unknown;
}

JobVerdict verdict_of(int job_state, bool printer_stopped) {
  switch (job_state) {
    case kJobCompleted:
      return JobVerdict::Printed;
    case kJobStopped:
    case kJobCancelled:
    case kJobAborted:
      return JobVerdict::Failed;
    case kJobHeld:
      return JobVerdict::Waiting;
    case kJobPending:
      return printer_stopped ? JobVerdict::Waiting : JobVerdict::Going;
    default:
      return JobVerdict::Going;
  }
}

namespace {
// TRANSLATORS: why a print job was refused; %s is the printer's name.
constexpr char kNoServer[] = N_("The print server is not running.");
constexpr char kNoAnswer[] = N_("The print server does not answer.");
constexpr char kNoDefault[] = N_("No printer is set up as the default printer.");
constexpr char kNoSuchPrinter[] = N_("The printer \"%s\" does not exist.");
constexpr char kNotAccepting[] = N_("The printer \"%s\" is not accepting jobs.");
constexpr char kUserDenied[] = N_("You are not allowed to print on the printer \"%s\".");
constexpr char kRefused[] = N_("The print server refused the job for the printer \"%s\".");
// TRANSLATORS: %s is the print server's own words.
constexpr char kRefusedSaying[] = N_("The print server refused the job: %s");
// TRANSLATORS: a job the print server accepted and then did not print; %s is the
// printer's name, the second %s the print server's own message.
constexpr char kStoppedWithMessage[] = N_("The printer \"%s\" stopped the job: %s");
constexpr char kStopped[] = N_("The printer \"%s\" stopped the job.");
constexpr char kCancelled[] = N_("The job was cancelled on the printer \"%s\".");
constexpr char kEmpty[] = N_("The document is empty.");
// TRANSLATORS: %s is the document's name.
constexpr char kNotYetNamed[] = N_("\"%s\" is not printed yet.");
constexpr char kNotYet[] = N_("The document is not printed yet.");
// TRANSLATORS: where a print job waits; %s is the printer's name.
constexpr char kWaitsHeld[] = N_("The job is held on the printer \"%s\" until it is released.");
constexpr char kWaitsPaused[] = N_("The job waits on the printer \"%s\", which is paused.");
constexpr char kWaitsNoAnswer[] =
    N_("The job waits for the printer \"%s\", but the print server does not answer.");
constexpr char kWaitsNotYet[] = N_("The job still waits on the printer \"%s\".");
// TRANSLATORS: %s is the document's name.
constexpr char kNotPrintedNamed[] = N_("\"%s\" was not printed.");
constexpr char kNotPrinted[] = N_("The document was not printed.");

const char *text(const char *msgid, bool translated) { return translated ? _(msgid) : msgid; }

}  // namespace

std::string refusal_text(const DestinationFacts &facts, bool translated,
                         const std::string &server_says) {
  std::string why;
  switch (refusal_of(facts)) {
    case Refusal::NoServer:
      return text(kNoServer, translated);
    case Refusal::NoAnswer:
      return text(kNoAnswer, translated);
    case Refusal::NoDefault:
      return text(kNoDefault, translated);
    case Refusal::NoSuchPrinter:
      return fill_in(text(kNoSuchPrinter, translated), facts.name);
    case Refusal::NotAccepting:
      why = fill_in(text(kNotAccepting, translated), facts.name);
      break;
    case Refusal::UserDenied:
      why = fill_in(text(kUserDenied, translated), facts.name);
      break;
    case Refusal::Unknown:
      why = server_says.empty() ? fill_in(text(kRefused, translated), facts.name)
                                : fill_in(text(kRefusedSaying, translated), server_says);
      break;
  }
  if (!facts.state_message.empty()) why += "\n" + facts.state_message;
  return why;
}

std::string not_completed_text(const std::string &destination, const JobFacts &job,
                               bool translated) {
  if (job.state == kJobCancelled) return fill_in(text(kCancelled, translated), destination);
  if (job.message.empty()) return fill_in(text(kStopped, translated), destination);
  return fill_in(text(kStoppedWithMessage, translated), destination, job.message);
}

std::string not_printed_text(const std::string &name, bool translated) {
  if (name.empty()) return text(kNotPrinted, translated);
  return fill_in(text(kNotPrintedNamed, translated), name);
}

Wait wait_of(const JobFacts &job, bool printer_paused) {
  if (!job.answered) return Wait::NoAnswer;
  if (job.state == kJobHeld) return Wait::Held;
  if (printer_paused) return Wait::PrinterPaused;
  return Wait::NotYet;
}

std::string waiting_text(const std::string &name, bool translated) {
  if (name.empty()) return text(kNotYet, translated);
  return fill_in(text(kNotYetNamed, translated), name);
}

std::string waits_where_text(const std::string &destination, Wait wait, const JobFacts &job,
                             bool translated) {
  switch (wait) {
    case Wait::Held:
      return fill_in(text(kWaitsHeld, translated), destination);
    case Wait::PrinterPaused:
      return fill_in(text(kWaitsPaused, translated), destination);
    case Wait::NoAnswer:
      return fill_in(text(kWaitsNoAnswer, translated), destination);
    case Wait::NotYet:
      break;
  }
  std::string where = fill_in(text(kWaitsNotYet, translated), destination);
  if (!job.message.empty()) where += "\n" + job.message;
  return where;
}

std::string empty_document_text(bool translated) { return text(kEmpty, translated); }
