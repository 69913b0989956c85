#include "printing/print_server.h"

#include <cups/cups.h>

#include <cstdlib>
#include <cstring>

namespace {
// How long a connection to the print server may take to be made: a local one answers
// within milliseconds, so one that has not answered in this long is not running.
constexpr int kConnectTimeoutMs = 5000;

// The answer a request waits for gives up when its time is up (see connect_server).
int give_up(http_t *http, void *data) {
  (void)http;
  (void)data;
  return 0;
}

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
  static const char *const wanted[] = {
      "printer-is-accepting-jobs",    "printer-state",
      "printer-state-message",        "printer-make-and-model",
      "requesting-user-name-allowed", "requesting-user-name-denied"};
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
  http_t *http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                              kConnectTimeoutMs, nullptr);
  if (http) httpSetTimeout(http, kAnswerSeconds, give_up, nullptr);
  return http;
}

bool printer_stopped(http_t *http, const std::string &name) {
  ipp_t *attrs = printer_attributes(http, name);
  bool stopped = attrs && integer_of(attrs, "printer-state") == IPP_PSTATE_STOPPED;
  ippDelete(attrs);
  return stopped;
}

JobFacts job_facts(http_t *http, int job_id) {
  static const char *const wanted[] = {"job-state", "job-state-message", "job-state-reasons"};
  JobFacts facts;
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
  facts.answered = response != nullptr;
  if (response && ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE) {
    facts.state = integer_of(response, "job-state");
    facts.message = text_of(response, "job-state-message");
    facts.reasons = texts_of(response, "job-state-reasons");
  }
  ippDelete(response);
  return facts;
}

bool queue_prints_as_is(const std::string &name) {
  http_t *http = connect_server();
  if (!http) return false;
  ipp_t *attrs = printer_attributes(http, name);
  // The print server's own fixed name for a queue without a driver (not a text for
  // people: it is never translated).
  bool as_is = attrs && text_of(attrs, "printer-make-and-model") == "Local Raw Printer";
  ippDelete(attrs);
  httpClose(http);
  return as_is;
}

DestinationFacts destination_facts(const std::string &name) {
  DestinationFacts facts;
  facts.user = cupsUser();
  http_t *http = connect_server();
  if (!http) return facts;
  facts.server_reached = true;
  // A server that takes connections and never answers is told apart from one that
  // has no default: the cheapest request there is goes first.
  ipp_t *answer = cupsDoRequest(http, ippNewRequest(IPP_OP_CUPS_GET_DEFAULT), "/");
  facts.server_answered = answer != nullptr;
  ippDelete(answer);
  if (!facts.server_answered) {
    httpClose(http);
    return facts;
  }
  facts.name = name;
  // lp's own order: a queue named in the environment counts even when it does not
  // exist, so that the person is told which name was not found.
  for (const char *variable : {"LPDEST", "PRINTER"}) {
    const char *value = getenv(variable);
    if (facts.name.empty() && value && *value && strcmp(value, "lp") != 0) facts.name = value;
  }
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
