// Print jobs: a print server's queue gets the document from lp, with the dialog's
// choices as lp's options, and the job is followed by its id there until the server
// is done with it; any other printer ("Print to File") gets a job the toolkit sends.
#pragma once

#include <gtk/gtk.h>
#include <gtk/gtkunixprint.h>

#include <string>

#include "channel/host_output.h"
#include "printing/lp.h"

// Whether printer is one of the print server's queues, or "Print to File".
bool is_print_server_printer(GtkPrinter *printer);
bool is_file_printer(GtkPrinter *printer);

// Hands job (its file a spool file) to the print server with lp, for the
// conversation numbered number of the document named document. Once the server has
// it, the file is gone and the job is followed (its report comes then): returns
// Pending. An empty document is not sent, and a refusal is explained: *why then says
// why in the person's language (one line on standard error in English too) and
// Failed is returned, the file left to the caller. A run stopped by the helper's
// ending returns Failed with *why empty. Reader thread, without the toolkit's lock.
Outcome hand_to_print_server(LpJob job, const std::string &document, JobNumber number,
                             std::string *why);

// The end of printing's use of the spool file file: "Finished Printing" and
// "Deleting file: FILE" on standard error, and the file removed (if it is not gone
// already). Any thread.
void printing_finished(const char *file);

// Sends the spool file file as a print job titled title on printer (not a print
// server's queue) with settings and page_setup (all borrowed), for the conversation
// numbered number. finish_printing removes the file and reports the job once it
// completes. Returns false when no job could be sent; the file and the report are
// then still the caller's. Reader thread in the dialog, toolkit lock held.
bool send_job(GtkPrinter *printer, GtkPrintSettings *settings, GtkPageSetup *page_setup,
              const char *file, const std::string &title, JobNumber number);
