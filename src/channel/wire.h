// The bytes on the two pipes: frame layout, payload decoding and control messages.
// Everything here works on plain bytes; nothing reads a descriptor or touches the toolkit.
#pragma once

#include <cstddef>
#include <cstdint>

// Texts the host contract bounds: at most 511 characters and a NUL.
constexpr size_t kTextSize = 512;
// The command word starts this far into the command frame's payload.
constexpr size_t kCommandOffset = 13;
// The file frame's header area; the document bytes follow it.
constexpr size_t kHeaderSize = 1024;
// Every control message is exactly this long, whatever its word.
constexpr size_t kControlMessageSize = 512;
// Separates the document name from the rest of the header text.
constexpr char kSeparator[] = "x!2#$";

constexpr char kRemoveFullScreen[] = "removefullscreen";
constexpr char kRestoreFullScreen[] = "restorefullscreen";

// Command words, tried in this order as prefixes of the word the host sent.
constexpr char kCommandDefault[] = "default";
constexpr char kCommandPrintDialog[] = "adobeprintdialog";
constexpr char kCommandSendFile[] = "sendfile";

enum class Command { Default, PrintDialog, SendFile, Other };

// Why a payload could not be decoded; DecodeOk when it could.
enum DecodeStatus {
  DecodeOk,
  DecodeTooShort,     // the payload ends before the part that is read from it
  DecodeNulInPrefix,  // a NUL among the command frame's first 13 bytes; the word is still read
  DecodeTooLong,      // the text runs past 511 bytes; what was decoded is cut there
  DecodeNoSeparator,  // the header text holds no "x!2#$"
  DecodeNotGzip,      // the body is not a gzip stream at all (zlib-wrapped or raw, say)
};

// True when s begins with the whole of prefix; an empty prefix matches everything.
bool str_startswith(const char *s, const char *prefix);

// Length of the payload read as text: up to its first NUL, or all of it.
size_t payload_text_length(const unsigned char *payload, size_t len);

// Cuts the command word out of a command frame's payload into command2 (always
// NUL-terminated). The word is read from the bytes at offset 13 even when a NUL among
// the 13 leading bytes ends the payload's text there (DecodeNulInPrefix), so such a
// frame still takes its own frames. On DecodeTooLong command2 holds the word taken
// from the text cut at 511 bytes, so the caller can keep the framing of the
// conversation. Only DecodeTooShort leaves no word. payload may be just the first
// kCommandOffset + kTextSize bytes of a longer payload; the result is the same.
DecodeStatus decode_command_word(const unsigned char *payload, size_t len,
                                 char command2[kTextSize]);

// Which command a command word selects (prefix match, in the fixed order).
Command classify_command(const char *command2);

// How many frames follow the command frame for this command: two (a skipped frame,
// then the file frame), one (the file frame) or none.
int frames_after(Command command);

// Takes the document name out of a file frame's header area: the header text
// (to its first NUL, at most 511 bytes) before the first whole separator.
// payload may be longer than the header; only its first kHeaderSize bytes are read.
// On any status but DecodeOk fname2 is the empty text.
DecodeStatus decode_document_name(const unsigned char *payload, size_t len, char fname2[kTextSize]);

// A short English description of a status, for one-line diagnostics.
const char *decode_status_text(DecodeStatus status);

// Fills block with a control message: the word and its NUL, zero padding after.
void make_control_message(const char *word, unsigned char block[kControlMessageSize]);
