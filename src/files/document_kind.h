// What a document is, told from its bytes: never from the name the host gave it,
// which says nothing about what a program opening it will do. One rule for every use:
// what "Print to File" can write as it is, and what Print Preview opens. Plain code:
// no I/O.
#pragma once

#include <cstddef>

// The formats a document's bytes can be told to be.
enum class DocumentFormat { Pdf, PostScript, Png, Jpeg, Gif, Tiff, Text, Other };

// A kind of document, with the content type a viewer is chosen by and the extension
// a copy of it is named with.
struct DocumentKind {
  DocumentFormat format = DocumentFormat::Other;
  const char *content_type = nullptr;  // "application/pdf", ...; nullptr for Other
  const char *extension = "";          // ".pdf", ...
};

// How many leading bytes sniff_document looks at.
constexpr size_t kSniffBytes = 4096;

// How far into a document its PDF header may start: PDF readers skip up to this
// many bytes of whatever a program wrote before it.
constexpr size_t kPdfHeaderReach = 1024;

// The kind of the document that begins with head (n bytes, at most kSniffBytes of
// it; the whole document when shorter): PDF (its header "%PDF-" within the first
// kPdfHeaderReach bytes), PostScript ("%!", or "%!" after a ^D), PNG, JPEG, GIF or
// TIFF images, or plain text (UTF-8 with no control characters but tabs, line and page
// breaks, not markup). Anything else, an empty document included, is Other: it might
// be a page with scripts, a program, a link that fetches one.
DocumentKind sniff_document(const unsigned char *head, size_t n);
