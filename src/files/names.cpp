// Fitting names into the byte limits of file names and print-server names.
#include <algorithm>

#include "files/spool.h"

namespace {
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

std::string fit_file_name(const std::string &name, const std::string &suffix, size_t max_bytes) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaxExtension) dot = name.size();
  std::string extension = name.substr(dot);
  size_t room = max_bytes - std::min(max_bytes, extension.size() + suffix.size());
  return cut_at_character(name.substr(0, dot), room) + suffix + extension;
}
