// The rules for names: what a document's name becomes as a spool file's name, as the
// save dialog's suggestion, and in a message; fitting names into the limits of file
// names; UTF-8 and Windows-1252. Plain code: no I/O, no toolkit.
#pragma once

#include <cstddef>
#include <string>

#include "channel/wire.h"

// In the NUL-terminated text s, every character find becomes replace.
void replace_char(char *s, char find, char replace);

// The longest file name (one path component) in bytes.
constexpr size_t kMaxFileName = 255;

// text, cut to at most max_bytes bytes without splitting a UTF-8 character. Any thread.
std::string cut_at_character(const std::string &text, size_t max_bytes);

// Where name's extension (its file type) begins: at its last dot, unless that is its
// first byte or more than 32 bytes from its end; name.size() when it has none.
size_t extension_start(const std::string &name);

// name with suffix put before its extension (the last dot and at most 31 bytes after
// it, not a leading dot), the part before the extension cut at a UTF-8 character
// boundary so that the whole fits max_bytes. Any thread.
std::string fit_file_name(const std::string &name, const std::string &suffix, size_t max_bytes);

// Turns a document name into one safe path component: "/", spaces and control
// characters become "_"; an empty, "." or ".." name becomes "document"; a name over
// 255 bytes is shortened, keeping its extension. out must hold kTextSize bytes.
void spool_component(const char *fname2, char out[kTextSize]);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool valid_utf8(const std::string &text);

// Decodes text as Windows-1252 into UTF-8. The five bytes that code page leaves
// undefined become the control characters of the same value, as web browsers do.
std::string windows1252_to_utf8(const std::string &text);

// The name the save dialog suggests for a document the host named fname: one plain
// file name in UTF-8. A name that is not UTF-8 is read as Windows-1252; "/" and
// control characters become "_"; leading dots are dropped (the file is neither
// hidden nor able to climb out of the shown folder); an empty result is "document";
// a name longer than kMaxFileName bytes loses the end of its stem, keeping a short
// extension. Spaces stay. Any thread.
std::string suggested_save_name(const char *fname);

// utf8 shortened in the middle to at most max_chars characters (an ellipsis
// replacing what is left out, more of the end kept than of the start), so a long
// path still shows where it starts and the file's own name. Any thread.
std::string shorten_middle(const std::string &utf8, size_t max_chars);
