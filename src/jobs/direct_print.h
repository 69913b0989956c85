// Silent printing through the system print command.
#pragma once

// The system print command; it gets the spool path as its only argument.
constexpr char kPrintCommand[] = "/usr/bin/lp";

// Prints the spool file fullname on the default printer with "/usr/bin/lp" and
// removes it once the command has ended, whatever its outcome. The command's
// standard output goes to our standard error (the control channel must carry only
// control messages) and its standard input is /dev/null. A command that fails or
// cannot be started gets one line on standard error. Returns the command's wait
// status, or -1 when no process could be started. Called on the reader thread.
int print_direct(const char *fullname);
