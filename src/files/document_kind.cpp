#include "files/document_kind.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "files/names.h"

namespace {

bool starts_with(const unsigned char *head, size_t n, const char *magic, size_t len) {
  return n >= len && memcmp(head, magic, len) == 0;
}

// UTF-8 with no control characters but tab, line feed, carriage return and form
// feed. A sequence cut by the end of what was read counts as whole when is_all is
// false (only the head of a longer document was read).
bool plain_text(const unsigned char *s, size_t n, bool is_all) {
  for (size_t i = 0; i < n; ++i)
    if ((s[i] < 0x20 && s[i] != '\t' && s[i] != '\n' && s[i] != '\r' && s[i] != '\f') ||
        s[i] == 0x7F)
      return false;
  if (!is_all) {
    // Back to the start of the last character: when its bytes are not all there, it
    // is left out.
    size_t start = n;
    while (start > 0 && n - start < 4 && (s[start - 1] & 0xC0) == 0x80) --start;
    if (start > 0 && s[start - 1] >= 0xC0) {
      unsigned char lead = s[start - 1];
      size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      if (n - (start - 1) < len) n = start - 1;
    }
  }
  return valid_utf8(std::string(reinterpret_cast<const char *>(s), n));
}

// Markup (a web page, an SVG drawing, an XML file some program acts on) begins with
// "<" once blanks and a byte-order mark are skipped.
bool markup(const unsigned char *s, size_t n) {
  size_t i = starts_with(s, n, "\xEF\xBB\xBF", 3) ? 3 : 0;
  while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\f'))
    ++i;
  return i < n && s[i] == '<';
}

}  // namespace

DocumentKind sniff_document(const unsigned char *head, size_t n) {
  struct Magic {
    const char *bytes;
    size_t len;
    DocumentKind kind;
  };
  static const Magic kMagic[] = {
      {"%!", 2, {DocumentFormat::PostScript, "application/postscript", ".ps"}},
      {"\x04%!", 3, {DocumentFormat::PostScript, "application/postscript", ".ps"}},
      {"\x89PNG\r\n\x1a\n", 8, {DocumentFormat::Png, "image/png", ".png"}},
      {"\xFF\xD8\xFF", 3, {DocumentFormat::Jpeg, "image/jpeg", ".jpg"}},
      {"GIF87a", 6, {DocumentFormat::Gif, "image/gif", ".gif"}},
      {"GIF89a", 6, {DocumentFormat::Gif, "image/gif", ".gif"}},
      {"II*\0", 4, {DocumentFormat::Tiff, "image/tiff", ".tif"}},
      {"MM\0*", 4, {DocumentFormat::Tiff, "image/tiff", ".tif"}},
  };
  static const char kPdfHeader[] = "%PDF-";
  size_t reach = std::min(n, kPdfHeaderReach - 1 + strlen(kPdfHeader));
  if (memmem(head, reach, kPdfHeader, strlen(kPdfHeader)))
    return {DocumentFormat::Pdf, "application/pdf", ".pdf"};
  for (const Magic &m : kMagic)
    if (starts_with(head, n, m.bytes, m.len)) return m.kind;
  if (n > 0 && !markup(head, n) && plain_text(head, n, n < kSniffBytes))
    return {DocumentFormat::Text, "text/plain", ".txt"};
  return {};
}
