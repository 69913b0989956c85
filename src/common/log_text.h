// Texts from the host (document names, paths made of them) in the lines on standard
// error: a newline or another control character is written escaped, so one diagnostic
// stays one line and a name can never forge a line of its own.
#pragma once

#include <string>

// text with every byte below 0x20, and 0x7F, written as \n, \r, \t or \xNN. Any thread.
inline std::string log_text(const std::string &text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out.push_back(ch);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}
