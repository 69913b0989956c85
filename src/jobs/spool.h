// Spool files: where a document waits, under ~/VANDREL, until the printing system has it.
#pragma once

#include <cstddef>
#include <string>

#include "channel/wire.h"

// Name of the spool folder inside the home folder.
constexpr char kSpoolFolder[] = "VANDREL";

// In the NUL-terminated text s, every character find becomes replace.
void replace_char(char *s, char find, char replace);

// Writes datalen bytes of buffer to filename. An existing file is replaced only once
// the new contents are wholly written beside it (keeping its permissions), so a failed
// write never destroys it; a new file that cannot be completed is removed again.
// Returns 0 on success, -1 with errno set on failure. Any thread.
int writeToFile(const void *buffer, const char *filename, size_t datalen);

// The home folder: "HOME", or the user database's entry when it is unset or empty.
std::string home_folder();

// The longest file name (one path component) in bytes.
constexpr size_t kMaxFileName = 255;

// text, cut to at most max_bytes bytes without splitting a UTF-8 character. Any thread.
std::string cut_at_character(const std::string &text, size_t max_bytes);

// name with suffix put before its extension (the last dot and at most 31 bytes after
// it, not a leading dot), the part before the extension cut at a UTF-8 character
// boundary so that the whole fits max_bytes. Any thread.
std::string fit_file_name(const std::string &name, const std::string &suffix, size_t max_bytes);

// Turns a document name into one safe path component: "/" and spaces become "_";
// an empty, "." or ".." name becomes "document"; a name over 255 bytes is shortened,
// keeping its extension. out must hold kTextSize bytes.
void spool_component(const char *fname2, char out[kTextSize]);

// Creates the spool folder (mode 0775) and a new private spool file for the document
// named fname2, and writes its path to fullname. The file is created with mode 0600,
// never through a symbolic link, and never at a path that a live job holds, in this
// process or another helper of the same user: such a job's file is left alone and
// this one gets a name of its own. Each held file is locked (flock) for as long as it
// is held, and a file at a wanted name whose lock can be taken is a leftover of a
// helper that ended early: it is removed and its name used again. Files of ours that
// existed only while being set up are swept away as well. Returns a descriptor of the
// file (read and write, close-on-exec) that the caller owns and may close at any time;
// the file stays held until spool_remove(fullname). -1 with errno set on failure
// (ENOENT without a home folder, ENAMETOOLONG for a path over 511 bytes).
// Called on the reader thread.
int spool_create(const char *homedir, const char *fname2, char fullname[kTextSize]);

// Creates a private temporary file for a document that waits for the save dialog:
// held and locked like a spool file, in the spool folder when it can be written, else
// in TMPDIR, else in /tmp; its path goes to fullname. When no folder takes it, the
// document stays in memory: a memory file is returned and fullname is the empty
// text. Returns a descriptor (read and write, close-on-exec) that the caller owns, or
// -1 with errno set. Called on the reader thread.
int temp_create(const char *homedir, char fullname[kTextSize]);

// Gives up a file that spool_create or temp_create made: removes it, if it is still
// at fullname, and releases its lock. A path this process does not hold is left alone.
// Any thread; the print-job completion calls it on the UI thread.
void spool_remove(const char *fullname);

// The document store of the helper: printing documents go to spool files, saved
// documents to temporary files (see conversation.h). data is the home folder text.
int store_create(const void *data, Command command, const char *fname2, char path[kTextSize]);
void store_discard(const char *path, int fd);
