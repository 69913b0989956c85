// Files that are born without a name (O_TMPFILE) and get one only once they are
// ready, so nobody ever sees them half made and a helper killed meanwhile leaves
// nothing behind. Where a file system cannot make unnamed files, a fresh random name
// that nobody else can have chosen stands in. Plain POSIX, any thread.
#pragma once

#include <cstddef>
#include <string>

// How many fresh random names are tried before giving up: one collision among ten
// random letters is next to impossible already; more tries only guard against a
// folder someone fills on purpose.
constexpr int kNameTries = 100;

// prefix followed by letters random letters and digits.
std::string random_name(const char *prefix, size_t letters);

// A new private (0600) file in the folder dir_fd, open with access (O_RDWR or
// O_WRONLY) and close-on-exec, with no name. Where the file system cannot make
// unnamed files it is made under a fresh name of fallback_prefix and letters random
// letters (never through a link, never over anything), written to *named; *named is
// empty for an unnamed file. -1 with errno set on failure.
int make_unnamed_file(int dir_fd, int access, const char *fallback_prefix, size_t letters,
                      std::string *named);

// Gives the unnamed file open on fd the name `name` in the folder dir_fd. -1 with
// errno set (EEXIST when the name is taken).
int link_unnamed(int fd, int dir_fd, const char *name);

// Gives the unnamed file open on fd a fresh name of prefix and letters random letters
// in dir_fd, written to *named. -1 with errno set when none could be had.
int link_unnamed_fresh(int fd, int dir_fd, const char *prefix, size_t letters, std::string *named);
