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

// Turns a document name into one safe path component: "/" and spaces become "_";
// an empty, "." or ".." name becomes "document". out must hold kTextSize bytes.
void spool_component(const char *fname2, char out[kTextSize]);

// Creates the spool folder (mode 0775) and a new private spool file for the document
// named fname2, and writes its path to fullname. The file is created with mode 0600,
// never through a symbolic link, and never at a path that a pending job still holds:
// such a job's file is left alone and this one gets a name of its own. The path is
// held until spool_remove. Returns an open write descriptor (close-on-exec) that the
// caller owns, or -1 with errno set (ENAMETOOLONG for a path over 511 bytes).
// Called on the reader thread.
int spool_create(const char *homedir, const char *fname2, char fullname[kTextSize]);

// Removes a spool file made by spool_create and lets its path be used again.
// Any thread; the print-job completion calls it on the UI thread.
void spool_remove(const char *fullname);
