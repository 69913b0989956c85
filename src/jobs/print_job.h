// Print jobs that the toolkit sends, and following a job the print server accepted.
// Toolkit lock held unless said otherwise.
#pragma once

#include <gtk/gtk.h>
#include <gtk/gtkunixprint.h>

#include <string>

#include "channel/host_output.h"
#include "printing/print_server.h"

// Whether printer is one of the print server's queues, or "Print to File".
bool is_print_server_printer(GtkPrinter *printer);
bool is_file_printer(GtkPrinter *printer);

// Sends the spool file file as a print job titled title on printer with settings and
// page_setup (all borrowed), for the conversation numbered number of the document
// named document. finish_printing removes the file and reports the job once it
// completes; for a print server's queue the job's status then tells whether the server
// took it: a refusal is explained to the person, an accepted job is followed
// (follow_print_job). Returns false when no job could be sent; the file and the report
// are then still the caller's. Reader thread in the dialog, or the main loop on
// completion.
bool send_job(GtkPrinter *printer, GtkPrintSettings *settings, GtkPageSetup *page_setup,
              const char *file, const std::string &title, const std::string &document,
              JobNumber number);

// The end of printing's use of the spool file file: "Finished Printing" and
// "Deleting file: FILE" on standard error, and the file removed. Any thread.
void printing_finished(const char *file);

// Follows a job the print server has accepted (job_handed_over) until the server is
// done with it; a job it did not complete is told to the person and reported Failed
// once the message is gone, any other end reports it Printed. The report is the
// follower's: job.number must be pending. Any thread, no lock needed.
void follow_print_job(const FollowedJob &job);
