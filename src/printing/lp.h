// Silent printing through the system print command.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// The system print command.
constexpr char kPrintCommand[] = "/usr/bin/lp";

// Starts program with argv (both made by the caller: nothing is built after the
// fork), with in_fd, out_fd and err_fd as its descriptors 0, 1 and 2 and every other
// descriptor closed, whatever the process has open without close-on-exec. Returns the
// child's pid, to be waited for with waitpid, or -1 with errno set. Any thread.
pid_t start_child(const char *program, char *const argv[], int in_fd, int out_fd, int err_fd);

// The job the print command says it submitted: the request id "DEST-N" in the line
// lp writes on its standard output once the print server has the job.
struct LpRequest {
  std::string destination;  // the queue, "" when not known
  int job_id = 0;           // 0 when no request id was found
};

// Finds the request id in output (what lp wrote on its standard output). lp words
// that line in the person's language ("request id is office-7 (1 file(s))", "Anfrage-ID
// ist office-7 (1 Datei(en))", "请求 ID 为 office-7（1 个文件）"), so only the id
// itself is looked for: the first word that ends, or runs into something that is not
// a letter or digit, in "-" and a job number after a queue's name.
LpRequest parse_request_id(const std::string &output);

// lp's own complaint in output (what it wrote on its standard error): its last line,
// without the "PROGRAM: " lp puts before it; "" when there is none.
std::string lp_complaint(const std::string &output);

// One document for the print command: the file, and optionally the queue, the job's
// title (lp's own is the file's name) and print options ("name", "value" as -o takes
// them, any bytes in the value).
struct LpJob {
  std::string file;
  std::string destination;
  std::string title;
  std::vector<std::pair<std::string, std::string>> options;
};

// The print command's arguments for job, program name first.
std::vector<std::string> lp_arguments(const LpJob &job);

// How long the print command may take to hand a document to the print server. A
// local server takes a large document within seconds; lp itself waits two minutes
// for one that accepts connections and never answers.
constexpr int kLpSeconds = 30;

// What became of one run of the print command.
struct DirectPrint {
  int status = -1;         // the command's wait status; -1 when it could not be started
  LpRequest request;       // what it said it submitted
  std::string complaint;   // what it said went wrong (lp_complaint)
  bool timed_out = false;  // it was stopped after kLpSeconds without an answer
  bool stopped = false;    // it was stopped because the helper is ending
  bool accepted() const { return status == 0; }
};

// Prints job with "/usr/bin/lp". The command's standard output and standard error are
// read here and copied to our standard error (the control channel must carry only
// control messages); its standard input is /dev/null. A command that fails, cannot be
// started or takes longer than kLpSeconds (it is then stopped) gets one line on
// standard error. The file is removed once the print server has it; after a failure
// it stays, and the caller removes it (or prints it another way). One run at a time:
// the reader thread calls it.
DirectPrint print_direct(const LpJob &job);

// Stops the print command that is running, if one is, and any started after: for a
// helper that is ending, so that lp never outlives it. Async-signal-safe.
void stop_print_command();

// Whether the print command is running now. Any thread.
bool print_command_running();
