// Silent printing through the system print command.
#pragma once

#include <sys/types.h>

#include <string>

// The system print command; it gets the spool path as its only argument.
constexpr char kPrintCommand[] = "/usr/bin/lp";

// Starts program with argv (both made by the caller: nothing is built after the
// fork), with in_fd, out_fd and err_fd as its descriptors 0, 1 and 2 and every other
// descriptor closed, whatever the process has open without close-on-exec. Returns the
// child's pid, to be waited for with waitpid, or -1 with errno set. Any thread.
pid_t start_child(const char *program, char *const argv[], int in_fd, int out_fd, int err_fd);

// The job the print command says it submitted: its line "request id is DEST-N (1
// file(s))".
struct LpRequest {
  std::string destination;  // the queue, "" when not known
  int job_id = 0;           // 0 when no such line was found
};

// Finds lp's "request id is ..." line in output (everything lp wrote). The
// destination is the id up to its last "-", the job number what follows.
LpRequest parse_request_id(const std::string &output);

// lp's own complaint in output: its last line that is not a request id, without the
// "PROGRAM: " lp puts before it; "" when there is none.
std::string lp_complaint(const std::string &output);

// What became of one run of the print command.
struct DirectPrint {
  int status = -1;        // the command's wait status; -1 when it could not be started
  LpRequest request;      // what it said it submitted
  std::string complaint;  // what it said went wrong (lp_complaint)
  bool accepted() const { return status == 0; }
};

// Prints the spool file fullname on the default printer with "/usr/bin/lp". The
// command's standard output and standard error are read here and copied to our
// standard error (the control channel must carry only control messages); its
// standard input is /dev/null. A command that fails or cannot be started gets one
// line on standard error. The spool file is removed once the print server has it;
// after a failure it stays, and the caller removes it (or prints it another way).
// Called on the reader thread.
DirectPrint print_direct(const char *fullname);
