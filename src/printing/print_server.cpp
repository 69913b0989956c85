#include "printing/print_server.h"

#include <cups/cups.h>

#include <mutex>
#include <set>

namespace {
// How long a connection to the print server may take to be made: a local one answers
// within milliseconds, so one that has not answered in this long is not running.
constexpr int kConnectTimeoutMs = 5000;
// A job's time-at-creation counts whole seconds, on the print server's clock: a job
// made just after it was sent may show up to a second before, and on a busy machine
// a second more.
constexpr time_t kCreationSlackSeconds = 2;

// Toolkit jobs already matched to a follower, so two jobs of one title are told apart.
std::mutex g_claimed_lock;
std::set<int> g_claimed;

std::string printer_uri(const std::string &name) {
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                   "/printers/%s", name.c_str());
  return uri;
}

std::string text_of(ipp_t *response, const char *name) {
  ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
  const char *text = attr ? ippGetString(attr, 0, nullptr) : nullptr;
  return text ? text : "";
}

std::vector<std::string> texts_of(ipp_t *response, const char *name) {
  std::vector<std::string> out;
  ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
  for (int i = 0, n = attr ? ippGetCount(attr) : 0; i < n; ++i) {
    const char *text = ippGetString(attr, i, nullptr);
    if (text) out.push_back(text);
  }
  return out;
}

int integer_of(ipp_t *response, const char *name) {
  ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
  return attr ? ippGetInteger(attr, 0) : 0;
}

// The printer attributes of name, or nullptr when the server does not know it.
ipp_t *printer_attributes(http_t *http, const std::string &name) {
  static const char *const wanted[] = {"printer-is-accepting-jobs", "printer-state",
                                       "printer-state-message", "requesting-user-name-allowed",
                                       "requesting-user-name-denied"};
  ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               printer_uri(name).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                sizeof wanted / sizeof wanted[0], nullptr, wanted);
  ipp_t *response = cupsDoRequest(http, request, "/");
  if (response && ippGetStatusCode(response) > IPP_STATUS_OK_EVENTS_COMPLETE) {
    ippDelete(response);
    response = nullptr;
  }
  return response;
}

}  // namespace

http_t *connect_server() {
  return httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                      kConnectTimeoutMs, nullptr);
}

bool printer_stopped(http_t *http, const std::string &name) {
  ipp_t *attrs = printer_attributes(http, name);
  bool stopped = attrs && integer_of(attrs, "printer-state") == IPP_PSTATE_STOPPED;
  ippDelete(attrs);
  return stopped;
}

std::string printer_state_message(http_t *http, const std::string &name) {
  ipp_t *attrs = printer_attributes(http, name);
  std::string message = attrs ? text_of(attrs, "printer-state-message") : "";
  ippDelete(attrs);
  return message;
}

int find_job(http_t *http, const FollowedJob &job) {
  static const char *const wanted[] = {"job-id", "job-name", "time-at-creation"};
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               printer_uri(job.destination).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddBoolean(request, IPP_TAG_OPERATION, "my-jobs", 1);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                sizeof wanted / sizeof wanted[0], nullptr, wanted);
  ipp_t *response = cupsDoRequest(http, request, "/");
  int found = 0;
  std::lock_guard<std::mutex> guard(g_claimed_lock);
  int id = 0, created = 0;
  std::string name;
  // The jobs come one after another, each group ended by a separator (or the end).
  auto consider = [&] {
    if (id > 0 && name == job.title && created + kCreationSlackSeconds >= job.sent &&
        !g_claimed.count(id) && (found == 0 || id < found))
      found = id;
    id = created = 0;
    name.clear();
  };
  for (ipp_attribute_t *attr = response ? ippFirstAttribute(response) : nullptr; attr;
       attr = ippNextAttribute(response)) {
    const char *attr_name = ippGetName(attr);
    if (!attr_name) {
      consider();
      continue;
    }
    std::string n = attr_name;
    if (n == "job-id") id = ippGetInteger(attr, 0);
    if (n == "time-at-creation") created = ippGetInteger(attr, 0);
    if (n == "job-name" && ippGetString(attr, 0, nullptr)) name = ippGetString(attr, 0, nullptr);
  }
  consider();
  ippDelete(response);
  if (found) g_claimed.insert(found);
  return found;
}

int job_state(http_t *http, int job_id, std::string *message) {
  static const char *const wanted[] = {"job-state", "job-state-message"};
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/jobs/%d",
                   job_id);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                sizeof wanted / sizeof wanted[0], nullptr, wanted);
  ipp_t *response = cupsDoRequest(http, request, "/");
  int state = 0;
  if (response && ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE) {
    state = integer_of(response, "job-state");
    *message = text_of(response, "job-state-message");
  }
  ippDelete(response);
  return state;
}

DestinationFacts destination_facts(const std::string &name) {
  DestinationFacts facts;
  facts.user = cupsUser();
  http_t *http = connect_server();
  if (!http) return facts;
  facts.server_reached = true;
  facts.name = name;
  if (facts.name.empty()) {
    cups_dest_t *dest = cupsGetNamedDest(http, nullptr, nullptr);
    if (dest) facts.name = dest->name;
    cupsFreeDests(dest ? 1 : 0, dest);
  }
  if (!facts.name.empty()) {
    if (ipp_t *attrs = printer_attributes(http, facts.name)) {
      facts.exists = true;
      ipp_attribute_t *accepting =
          ippFindAttribute(attrs, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
      facts.accepting = !accepting || ippGetBoolean(accepting, 0);
      facts.stopped = integer_of(attrs, "printer-state") == IPP_PSTATE_STOPPED;
      facts.state_message = text_of(attrs, "printer-state-message");
      facts.users_allowed = texts_of(attrs, "requesting-user-name-allowed");
      facts.users_denied = texts_of(attrs, "requesting-user-name-denied");
      ippDelete(attrs);
    }
  }
  httpClose(http);
  return facts;
}
