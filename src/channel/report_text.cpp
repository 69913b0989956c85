// The texts of the blocks that tell the host about jobs: report words, the reports
// with their fields, "ready". Plain text making, apart from the output's queue and
// state.
#include <string>
#include <vector>

#include "channel/host_output.h"
#include "channel/wire.h"

const char *outcome_word(Outcome outcome) {
  // In the order of Outcome; Pending, the last, has no word.
  static const char *const kWords[] = {"printed",     "saved",   "cancelled", "failed",
                                       "unsupported", "skipped", "queued",    nullptr};
  static_assert(sizeof kWords / sizeof kWords[0] == static_cast<size_t>(Outcome::Pending) + 1,
                "a word for every outcome");
  return kWords[static_cast<size_t>(outcome)];
}

std::string percent_encoded(const std::string &bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (c > ' ' && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string report_text(JobNumber n, Outcome outcome, const JobResult &result) {
  const char *word = outcome_word(outcome);
  std::string text = "job " + std::to_string(n) + " " + (word ? word : "");
  std::vector<std::string> fields;
  if (result.lead_known) fields.push_back("lead=" + percent_encoded(result.lead));
  if (!result.reason.empty() && (outcome == Outcome::Failed || outcome == Outcome::Skipped))
    fields.push_back("reason=" + result.reason);
  if (!result.queue.empty()) fields.push_back("queue=" + percent_encoded(result.queue));
  if (result.server_job != 0) fields.push_back("server-job=" + std::to_string(result.server_job));
  if (!result.path.empty()) fields.push_back("path=" + percent_encoded(result.path));
  for (const std::string &field : fields) {
    if (text.size() + 1 + field.size() > kControlMessageSize - 1) break;
    text += " " + field;
  }
  return text;
}

std::string ready_text() {
  return "ready " + std::to_string(kProtocolVersion) + " " + kCapabilities;
}
