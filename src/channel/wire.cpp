#include "channel/wire.h"

#include <cstring>

bool str_startswith(const char *s, const char *prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

size_t payload_text_length(const unsigned char *payload, size_t len) {
  const void *nul = len ? memchr(payload, 0, len) : nullptr;
  return nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - payload) : len;
}

// Copies the text that starts at from (to its first NUL or the payload's end)
// into out, cut at 511 bytes. Returns the text's full length.
static size_t copy_text(const unsigned char *from, size_t avail, char out[kTextSize]) {
  size_t text_len = payload_text_length(from, avail);
  size_t kept = text_len < kTextSize - 1 ? text_len : kTextSize - 1;
  memcpy(out, from, kept);
  out[kept] = '\0';
  return text_len;
}

DecodeStatus decode_command_word(const unsigned char *payload, size_t len,
                                 char command2[kTextSize]) {
  command2[0] = '\0';
  if (len < kCommandOffset) return DecodeTooShort;
  bool nul_in_prefix = memchr(payload, 0, kCommandOffset) != nullptr;
  char text[kTextSize];
  size_t text_len = copy_text(payload + kCommandOffset, len - kCommandOffset, text);
  // The word ends at the first of the separator's characters, each taken singly.
  size_t word_len = strcspn(text, kSeparator);
  memcpy(command2, text, word_len);
  command2[word_len] = '\0';
  if (text_len > kTextSize - 1) return DecodeTooLong;
  return nul_in_prefix ? DecodeNulInPrefix : DecodeOk;
}

Command classify_command(const char *command2) {
  if (str_startswith(command2, kCommandDefault)) return Command::Default;
  if (str_startswith(command2, kCommandPrintDialog)) return Command::PrintDialog;
  if (str_startswith(command2, kCommandSendFile)) return Command::SendFile;
  return Command::Other;
}

int frames_after(Command command) {
  switch (command) {
    case Command::Default:
    case Command::PrintDialog:
      return 2;
    case Command::SendFile:
      return 1;
    case Command::Other:
      break;
  }
  return 0;
}

DecodeStatus decode_document_name(const unsigned char *payload, size_t len,
                                  char fname2[kTextSize]) {
  fname2[0] = '\0';
  if (len < kHeaderSize) return DecodeTooShort;
  char text[kTextSize];
  size_t text_len = copy_text(payload, kHeaderSize, text);
  if (text_len > kTextSize - 1) return DecodeTooLong;
  const char *sep = strstr(text, kSeparator);
  if (!sep) return DecodeNoSeparator;
  size_t name_len = static_cast<size_t>(sep - text);
  memcpy(fname2, text, name_len);
  fname2[name_len] = '\0';
  return DecodeOk;
}

const char *decode_status_text(DecodeStatus status) {
  switch (status) {
    case DecodeOk:
      return "ok";
    case DecodeTooShort:
      return "payload too short";
    case DecodeNulInPrefix:
      return "NUL byte among the first 13 bytes of the command frame";
    case DecodeTooLong:
      return "text longer than 511 bytes";
    case DecodeNoSeparator:
      return "header text without the separator";
    case DecodeNotGzip:
      return "not a gzip stream";
  }
  return "unknown";
}

void make_control_message(const char *word, unsigned char block[kControlMessageSize]) {
  memset(block, 0, kControlMessageSize);
  size_t n = strlen(word);
  if (n > kControlMessageSize - 1) n = kControlMessageSize - 1;
  memcpy(block, word, n);
}
