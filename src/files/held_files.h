// The files the helpers make: where they may be, how a helper's file is told from the
// person's, and how every one of them is removed again, even by a helper that is
// ending on a signal. Plain POSIX: no toolkit.
//
// A helper keeps files only inside a helper folder: a folder of the person's own
// (owned by them, mode 0700, never reached through a symbolic link at its own name),
// held open, so that every create, lock and remove goes through its descriptor. Each
// file a helper makes there has a second link of the same name in the folder's
// ".vandrel-held" folder: that mark is the proof that the file is a helper's. A file
// with a mark and a free lock is a leftover of a helper that ended early and is
// reclaimed; a file without one is the person's and is never removed, truncated or
// rewritten. While a helper holds a file it keeps it locked (flock).
#pragma once

#include <sys/types.h>

#include <string>

#include "channel/wire.h"

// The marks folder inside every helper folder.
constexpr char kMarksFolder[] = ".vandrel-held";

// An open helper folder: its descriptor, its marks folder's, and its path (for the
// print command and for messages).
struct HelperFolder {
  int fd = -1;
  int marks = -1;
  std::string path;
};

// Opens the folder at path as a helper folder; with create it is made first (mode
// 0700) when missing. A folder of the person's with a looser mode is tightened to 0700.
// False, with *why in English ("is a symbolic link", ...), when path is a symbolic
// link, not a folder, not the person's, or cannot be made or opened; nothing at path
// is changed then. Any thread.
bool open_helper_folder(const std::string &path, bool create, HelperFolder *out, std::string *why);

// Closes what open_helper_folder opened. Files held in it stay held.
void close_helper_folder(HelperFolder *folder);

// Makes a new, empty, private (0600) file in folder, locked and marked, open for
// reading and writing (close-on-exec), and holds it. With component, the file is
// visible under component or, when that name is taken (by a live job of any helper,
// or by anything that is not a helper's), under "component-2", "-3"... before the
// extension, each fitting 255 bytes; a leftover's name is reclaimed and used. Without
// component the file exists only in the marks folder, under a random name. Writes its
// path to fullname and returns a descriptor the caller owns and may close at any
// time; the file stays held until release_held_file(fullname). -1 with errno set on
// failure (ENAMETOOLONG when the path would not fit 511 bytes). Any thread.
int hold_new_file(const HelperFolder &folder, const char *component, char fullname[kTextSize]);

// Where the held file fullname is: a descriptor of its folder (kept open by the
// registry until the file is released) and its name in that folder. False when this
// process does not hold fullname. Any thread.
bool held_file_place(const char *fullname, int *dir_fd, std::string *name);

// Opens the held file fullname for reading (close-on-exec) through its folder's
// descriptor, never through a symbolic link; a path this process does not hold is
// opened as it is, its last component not through a link either. -1 with errno set.
// Any thread.
int open_held_file(const char *fullname);

// Gives up a held file: removes its name and its mark, if they still name the very
// file made, and releases its lock. A path this process does not hold is left alone.
// Any thread.
void release_held_file(const char *fullname);

// Registers a file that exists only while a job writes it (the copy being written
// beside a save target), so that a helper ending on a signal removes it too. dir_fd
// and fd stay the caller's and must stay open until unhold_transient. Returns a
// token, or -1 when the registry is full. Any thread.
int hold_transient(int dir_fd, const char *name, int fd);
void unhold_transient(int token);

// Reclaims the leftovers of helpers that are gone: marked files whose lock is free
// (and files of ours that existed only while being set up, once old enough that no
// live helper can still be setting them up). Any thread.
void sweep_helper_folder(const HelperFolder &folder);

// Removes every file this process holds (names and marks), each only if it is still
// the very file made. Async-signal-safe: a signal handler may call it. The files stay
// held; the process is expected to end.
void remove_all_held_files();
