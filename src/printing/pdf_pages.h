// The pages of a PDF document: which of them a person's page choices select, a copy
// holding only those (for a queue that prints documents as they are), and the size of
// its first page. The PDF work is qpdf's (its C interface: no exceptions cross into
// our code); choosing the pages is plain decoding, which unit tests drive.
#pragma once

#include <cstddef>
#include <vector>

#include "printing/print_options.h"

// The page numbers (from 1, in the order they are to be printed) that choices select
// from a document of page_count pages: the ranges ("some pages", open ranges running
// to the last page; every page when none), then the odd or even ones of those by
// their number in the document, then, when reverse, the last first. Pages past the
// end are left out.
std::vector<int> selected_pages(int page_count, const DialogChoices &choices, bool reverse);

// Writes to out_fd a PDF holding the pages of the PDF in_fd (read from its start) that
// choices select, in their order. Returns the number of pages written, 0 when the
// selection is empty, -1 when in_fd is not a PDF qpdf can read or out_fd cannot be
// written. Both descriptors stay the caller's. Any thread.
int write_selected_pages(int in_fd, const DialogChoices &choices, bool reverse, int out_fd);

// The size in points of the first page of the PDF in_fd (its media box, inherited or
// its own, turned by its /Rotate), or false. Any thread.
bool pdf_first_page_size(int in_fd, double *width, double *height);

// The page size in points that a PostScript document's header (head, n bytes: its
// first lines) declares with "%%DocumentMedia:" (name, width, height), or false.
bool postscript_page_size(const char *head, size_t n, double *width, double *height);
