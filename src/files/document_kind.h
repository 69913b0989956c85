// What a document is, told from its bytes: never from the name the host gave it,
// which says nothing about what a program opening it will do. Plain code: no I/O.
#pragma once

#include <cstddef>

// A kind of document Print Preview shows, with the content type its viewer is chosen
// by and the extension its copy is named with.
struct DocumentKind {
  const char *content_type;  // "application/pdf", ...; nullptr when the kind is not shown
  const char *extension;     // ".pdf", ...
};

// How many leading bytes sniff_document looks at.
constexpr size_t kSniffBytes = 4096;

// The kind of the document that begins with head (n bytes, at most kSniffBytes of
// it; the whole document when shorter): PDF, PostScript, PNG, JPEG, GIF or TIFF
// images, or plain text (UTF-8 with no control characters but tabs, line and page
// breaks, not markup). Anything else, an empty document included, gets a null
// content type: it might be a page with scripts, a program, a link that fetches one.
DocumentKind sniff_document(const unsigned char *head, size_t n);
