// Saving a document where the person chose, and the names the save dialog shows:
// plain POSIX, no toolkit, so unit tests drive it without a display.
#pragma once

#include <cstddef>
#include <string>

#include "files/spool.h"

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

// Saves a held document at target, the path the person chose (and, for an existing
// file, confirmed). The document is datalen bytes readable with pread from offset 0
// of fd; held_path names the file fd is open on, or is empty when there is none
// (a memory file). Neither is closed or removed here: the caller owns both.
//
// Links at target are resolved by the kernel (a dangling one by having the kernel
// make the file it names), and a link that the kernel's protection for shared
// folders would refuse (another user's, in a sticky world-writable folder) is
// refused (EACCES) even where that protection is off. On held_path's file system the
// held file becomes the target by rename; elsewhere the document is copied into a
// file with no name beside the target, which then takes the target's place. The
// target's folder is held open meanwhile, and the file placed is checked to be the
// document (EBUSY when another user's file took its place). A new target gets mode 0666 less the
// umask; an existing one keeps its mode (and, where allowed, its owner) and is synced before it is
// replaced. An existing target in a folder that may not be written, but which itself may be, is
// rewritten in place. A failed save leaves no new file behind and an existing target as it was
// (except a failed in-place rewrite, which has no other way). Returns 0, or -1 with errno set. Any
// thread; called by the reader thread.
int save_held_document(int fd, const std::string &held_path, size_t datalen, const char *target);
