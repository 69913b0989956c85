// Saving a document where the person chose: plain POSIX, no toolkit, so unit tests
// drive it without a display.
#pragma once

#include <cstddef>
#include <string>

// Saves a held document at target, the path the person chose (and, for an existing
// file, confirmed). The document is datalen bytes readable with pread from offset 0
// of fd; held_path names the file fd is open on, or is empty when there is none
// (a memory file). Neither is closed or removed here: the caller owns both.
//
// target is resolved one component at a time through open descriptors, never by the
// kernel following a link: each link is judged on the very link found (another
// user's link in a sticky world-writable folder is refused, EACCES, as the kernel's
// protection for shared folders would, whether that protection is on or not) and
// followed from there by its text. A dangling link leads to the file it names, which
// the save then makes like any new file, only if that name is still free (EEXIST when
// something took it meanwhile). On held_path's file system the held file becomes the
// target by rename; elsewhere the document is copied into a file with no name beside
// the target, which then takes the target's place. The
// target's folder is held open meanwhile, and the file placed is checked to be the
// document (EBUSY when another user's file took its place). A new target gets mode 0666 less the
// umask; an existing one keeps its mode (and, where allowed, its owner) and is synced before it is
// replaced. An existing target in a folder that may not be written, but which itself may be, is
// rewritten in place. A failed save leaves no new file behind and an existing target as it was
// (except a failed in-place rewrite, which has no other way). Returns 0, or -1 with errno set. Any
// thread; called by the reader thread.
int save_held_document(int fd, const std::string &held_path, size_t datalen, const char *target);

// True while save_held_document runs on some thread: an ending helper lets a save
// that is still moving bytes finish first. Async-signal-safe.
bool save_under_way();
