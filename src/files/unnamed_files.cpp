#include "files/unnamed_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

std::string random_name(const char *prefix, size_t letters) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = prefix;
  unsigned char bytes[32];
  if (letters > sizeof bytes) letters = sizeof bytes;
  if (getrandom(bytes, letters, 0) != static_cast<ssize_t>(letters)) {
    // No randomness yet: the time and our pid still make a name worth trying.
    unsigned long seed = static_cast<unsigned long>(time(nullptr)) ^
                         (static_cast<unsigned long>(getpid()) << 16) ^
                         static_cast<unsigned long>(clock());
    for (size_t i = 0; i < letters; ++i) bytes[i] = static_cast<unsigned char>(seed >>= 3);
  }
  for (size_t i = 0; i < letters; ++i) name.push_back(kLetters[bytes[i] % (sizeof kLetters - 1)]);
  return name;
}

int make_unnamed_file(int dir_fd, int access, const char *fallback_prefix, size_t letters,
                      std::string *named) {
  named->clear();
  int fd = openat(dir_fd, ".", O_TMPFILE | access | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // The errors of a file system (or kernel) that makes no unnamed files.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  for (int tries = 0; tries < kNameTries; ++tries) {
    *named = random_name(fallback_prefix, letters);
    fd = openat(dir_fd, named->c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  named->clear();
  return -1;
}

int link_unnamed(int fd, int dir_fd, const char *name) {
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc, dir_fd, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return -1;
  // No /proc: the privileged way, for those allowed it.
  return linkat(fd, "", dir_fd, name, AT_EMPTY_PATH);
}

int link_unnamed_fresh(int fd, int dir_fd, const char *prefix, size_t letters, std::string *named) {
  for (int tries = 0; tries < kNameTries; ++tries) {
    *named = random_name(prefix, letters);
    if (link_unnamed(fd, dir_fd, named->c_str()) == 0) return 0;
    if (errno != EEXIST) break;
  }
  named->clear();
  return -1;
}
