// Every text the job handlers show the person, each defined once, translated with _()
// where it is shown (texts with %s through fill_in, never as a format). The print
// dialog's title is the product's name and stays as it is. The print server's reasons
// are printing/print_status.cpp's.
#pragma once

#include "common/i18n.h"

// ---- window titles
// TRANSLATORS: the notice's window title, as the desktop titles information dialogs.
constexpr char kNoticeTitle[] = N_("Information");
constexpr char kPrintDialogTitle[] = "Vandrel Dialog";
// TRANSLATORS: the save dialog's window title, as applications title their own.
constexpr char kSaveDialogTitle[] = N_("Save File");
// TRANSLATORS: the title of the message that says a document was not printed.
constexpr char kNotPrintedTitle[] = N_("Not Printed");
// TRANSLATORS: the title of the message that says a document waits at the printer.
constexpr char kNotPrintedYetTitle[] = N_("Not Printed Yet");
constexpr char kPreviewTitle[] = N_("Print Preview");

// ---- the notice
// TRANSLATORS: the notice shown for a job the program cannot do.
constexpr char kNoticeText[] = N_("This function is not supported.");

// ---- a document that cannot be had
// TRANSLATORS: shown instead of the print or save dialog when the document the
// application sent was cut short or damaged on its way; %s is the document's name.
constexpr char kNotWholeNamedText[] = N_("The document \"%s\" did not arrive whole.");
constexpr char kNotWholeText[] = N_("The document did not arrive whole.");
// TRANSLATORS: shown instead of the print or save dialog when the document could not
// be written anywhere to wait for the person (a full disk, say); %s is its name.
constexpr char kNotHeldText[] = N_("The document \"%s\" could not be kept on this computer.");
constexpr char kNotPrintedText[] = N_("Nothing was printed.");
constexpr char kNotSavedText[] = N_("Nothing was saved.");

// ---- printing
// TRANSLATORS: the button that opens the print dialog for a document that could not be
// printed on the default printer.
constexpr char kChoosePrinter[] = N_("Choose a _Printer...");
// TRANSLATORS: shown when "Print to File" is chosen for a document it cannot write.
constexpr char kFileOnlyWholeText[] =
    N_("\"Print to File\" writes the whole document as it is: choose \"All Pages\", or a "
       "printer.");
constexpr char kFileNotWritableText[] =
    N_("\"Print to File\" can write only PDF and PostScript documents: choose a printer.");
// TRANSLATORS: shown when a printer that passes documents through unchanged (a raw
// queue) is chosen with choices only a driver could apply.
constexpr char kAsIsLayoutText[] =
    N_("This printer prints documents as they are: it cannot print several pages per "
       "side or turn the pages. Choose one page per side and portrait, or another printer.");
constexpr char kAsIsPagesText[] =
    N_("This printer prints documents as they are: pages can be chosen for it only from "
       "PDF documents. Choose \"All Pages\", or another printer.");

// ---- Print Preview
constexpr char kNoPreviewText[] = N_("The document cannot be previewed.");
// TRANSLATORS: %s is the kind of document, as the desktop describes it ("PDF document").
constexpr char kNoViewerText[] = N_("No application is set up to open files of the type \"%s\".");
// TRANSLATORS: %s is the kind of document, as the desktop describes it ("HTML document").
constexpr char kNotShownText[] =
    N_("Only PDF, PostScript, image and plain text documents are previewed. This document is of "
       "the type \"%s\".");

// ---- saving
constexpr char kSaveFailedText[] = N_("The document could not be saved as \"%s\".");
constexpr char kNotLocalText[] = N_("The chosen place is not a local file.");
