#include "files/names.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
const char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void append_utf8(std::string *out, unsigned cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Only a short tail after the last dot counts as a file type worth keeping whole.
constexpr size_t kMaxExtension = 32;
}  // namespace

std::string cut_at_character(const std::string &text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t cut = max_bytes;
  // Never keep the lead byte of a UTF-8 sequence without its continuation bytes.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

size_t extension_start(const std::string &name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaxExtension) return name.size();
  return dot;
}

std::string fit_file_name(const std::string &name, const std::string &suffix, size_t max_bytes) {
  size_t dot = extension_start(name);
  std::string extension = name.substr(dot);
  size_t room = max_bytes - std::min(max_bytes, extension.size() + suffix.size());
  return cut_at_character(name.substr(0, dot), room) + suffix + extension;
}

void replace_char(char *s, char find, char replace) {
  for (; *s; ++s)
    if (*s == find) *s = replace;
}

void spool_component(const char *fname2, char out[kTextSize]) {
  snprintf(out, kTextSize, "%s", fname2);
  replace_char(out, '/', '_');
  replace_char(out, ' ', '_');
  // A control character is no part of a name the print server shows or a log keeps.
  for (char *c = out; *c; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '_';
  if (!strcmp(out, "") || !strcmp(out, ".") || !strcmp(out, ".."))
    snprintf(out, kTextSize, "%s", "document");
  // One path component holds at most 255 bytes; the extension tells the printing
  // system the document's kind, so the cut is made before it.
  std::string fitted = fit_file_name(out, "", kMaxFileName);
  memcpy(out, fitted.c_str(), fitted.size() + 1);
}

bool valid_utf8(const std::string &text) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    size_t len;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if (!continuation(s[i + k])) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::string windows1252_to_utf8(const std::string &text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80 && c <= 0x9F)
      append_utf8(&out, kWindows1252High[c - 0x80]);
    else
      append_utf8(&out, c);
  }
  return out;
}

std::string suggested_save_name(const char *fname) {
  std::string raw = fname;
  std::string utf8 = valid_utf8(raw) ? raw : windows1252_to_utf8(raw);
  std::string name;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F;
    if (c == '/' || c < 0x20 || c == 0x7F || c1) {
      name.push_back('_');
      if (c1) ++i;
    } else {
      name.push_back(static_cast<char>(c));
    }
  }
  name.erase(0, name.find_first_not_of('.'));
  if (name.empty()) return "document";
  return fit_file_name(name, "", kMaxFileName);
}

std::string shorten_middle(const std::string &utf8, size_t max_chars) {
  // Offsets of the characters' first bytes.
  std::vector<size_t> starts;
  for (size_t i = 0; i < utf8.size(); ++i)
    if (!continuation(static_cast<unsigned char>(utf8[i]))) starts.push_back(i);
  if (starts.size() <= max_chars || max_chars < 2) return utf8;
  size_t head = (max_chars - 1) / 3;
  size_t tail = max_chars - 1 - head;
  return utf8.substr(0, starts[head]) + "\u2026" + utf8.substr(starts[starts.size() - tail]);
}
