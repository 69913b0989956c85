// Spool files: where a document waits, under ~/VANDREL, until the printing system has it.
#pragma once

#include <cstddef>
#include <string>

#include "channel/wire.h"
#include "files/held_files.h"
#include "files/names.h"

// Name of the spool folder inside the home folder.
constexpr char kSpoolFolder[] = "VANDREL";

// The home folder: "HOME", or the user database's entry when it is unset or empty.
std::string home_folder();

// Opens the folder spool files wait in: the person's ~/VANDREL (made, mode 0700, when
// missing; a looser mode is tightened), or, when that is a symbolic link, not a
// folder, not the person's or cannot be made, a private folder of our own
// ($XDG_RUNTIME_DIR/vandrel, else TMPDIR/vandrel-UID, else /tmp/vandrel-UID), said so
// in one line on standard error. Whatever is at ~/VANDREL then stays as it is. False
// when no folder can be had. The caller closes out. Any thread.
bool spool_folder(const char *homedir, HelperFolder *out);

// Creates a new private spool file for the document named fname2 in spool_folder()
// and writes its path to fullname: created locked, marked and mode 0600 through the
// folder's descriptor, never through a symbolic link, never over anything that is not
// a helper's leftover (such a name, or a live job's, makes this one "name-2.ext").
// Leftovers of helpers that are gone are reclaimed first. Returns a descriptor of the
// file (read and write, close-on-exec) that the caller owns and may close at any time;
// the file stays held until spool_remove(fullname). -1 with errno set on failure
// (ENAMETOOLONG for a path over 511 bytes). Called on the reader thread.
int spool_create(const char *homedir, const char *fname2, char fullname[kTextSize]);

// Creates a private temporary file for a document that waits for the save dialog,
// held, locked and marked like a spool file but with no visible name: in the person's
// spool folder when it can be used, else in TMPDIR/vandrel-UID, else in
// /tmp/vandrel-UID; its path goes to fullname. When no folder takes it, the document
// stays in memory: a memory file is returned and fullname is the empty text. Returns
// a descriptor (read and write, close-on-exec) that the caller owns, or -1 with errno
// set. Called on the reader thread.
int temp_create(const char *homedir, char fullname[kTextSize]);

// The same, but only in the places after the one holding the file at failed (a file
// there could not be written to the end): so a document falls back to TMPDIR, then to
// memory.
int temp_create_after(const char *homedir, const char *failed, char fullname[kTextSize]);

// Gives up a file that spool_create or temp_create made: removes it, if it is still
// at fullname, and releases its lock. A path this process does not hold is left alone.
// Any thread; the print-job completion calls it on the UI thread.
void spool_remove(const char *fullname);

// Reclaims the leftovers of helpers that are gone in every place helpers put files
// (~/VANDREL and our own private folders), making no folder. Any thread; the reader
// calls it when it starts.
void sweep_leftovers(const char *homedir);

// The document store of the helper: printing documents go to spool files, saved
// documents to temporary files (see conversation.h). data is the home folder text.
int store_create(const void *data, Command command, const char *fname2, char path[kTextSize]);
void store_discard(const char *path, int fd);
// Moves a saved document whose file could not take more to a file in the next place
// (see temp_create_after), copying the written bytes; gives up the old file. Printing
// documents are not moved: their path is the job's.
int store_relocate(const void *data, Command command, int fd, size_t written, char path[kTextSize]);
