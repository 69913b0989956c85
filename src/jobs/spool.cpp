#include "jobs/spool.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

// Paths of spool files that exist for a job of this process. A print-dialog job
// holds its path until the printing system reports completion, while the reader is
// already spooling later documents.
static std::mutex g_held_lock;
static std::set<std::string> g_held;

void replace_char(char *s, char find, char replace) {
  for (; *s; ++s)
    if (*s == find) *s = replace;
}

// Writes all of buffer to fd, retrying short writes and interruptions.
static bool write_all(int fd, const unsigned char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Writes and closes fd; on failure errno tells why.
static bool write_and_close(int fd, const void *buffer, size_t datalen) {
  bool ok = write_all(fd, static_cast<const unsigned char *>(buffer), datalen);
  int saved = errno;
  if (close(fd) != 0 && ok) return false;  // a delayed write error (NFS, full disk)
  errno = saved;
  return ok;
}

int writeToFile(const void *buffer, const char *filename, size_t datalen) {
  struct stat st;
  char resolved[PATH_MAX];
  if (stat(filename, &st) != 0) {
    // A new file: create it, and take it away again if it cannot be completed.
    int fd = open(filename, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (!write_and_close(fd, buffer, datalen)) {
      int saved = errno;
      unlink(filename);
      errno = saved;
      return -1;
    }
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = EISDIR;
    if (!S_ISDIR(st.st_mode)) errno = EINVAL;
    return -1;
  }
  // Replace the file a link points at, not the link.
  if (!realpath(filename, resolved)) return -1;
  std::string temp = std::string(resolved) + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) return -1;
  bool ok = fchmod(fd, st.st_mode & 07777) == 0 && write_and_close(fd, buffer, datalen);
  if (!ok) {
    int saved = errno;
    unlink(temp.c_str());
    errno = saved;
    return -1;
  }
  if (rename(temp.c_str(), resolved) != 0) {
    int saved = errno;
    unlink(temp.c_str());
    errno = saved;
    return -1;
  }
  return 0;
}

std::string home_folder() {
  const char *home = getenv("HOME");
  if (home && *home) return home;
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "";
}

void spool_component(const char *fname2, char out[kTextSize]) {
  snprintf(out, kTextSize, "%s", fname2);
  replace_char(out, '/', '_');
  replace_char(out, ' ', '_');
  if (!strcmp(out, "") || !strcmp(out, ".") || !strcmp(out, ".."))
    snprintf(out, kTextSize, "%s", "document");
  // One path component holds at most 255 bytes; the extension tells the printing
  // system the document's kind, so the cut is made before it.
  std::string fitted = fit_file_name(out, "", kMaxFileName);
  memcpy(out, fitted.c_str(), fitted.size() + 1);
}

// The n-th candidate path for a component: the plain one first, then "-n" before
// the extension, so the printing system still sees the document's kind. The name
// is shortened again where the suffix would make it longer than 255 bytes.
static std::string candidate_path(const std::string &folder, const char *component, int n) {
  std::string suffix = n > 1 ? "-" + std::to_string(n) : "";
  return folder + "/" + fit_file_name(component, suffix, kMaxFileName);
}

int spool_create(const char *homedir, const char *fname2, char fullname[kTextSize]) {
  fullname[0] = '\0';
  std::string folder = std::string(homedir) + "/" + kSpoolFolder;
  char component[kTextSize];
  spool_component(fname2, component);
  if (candidate_path(folder, component, 1).size() > kTextSize - 1) {
    errno = ENAMETOOLONG;
    return -1;
  }
  (void)mkdir(folder.c_str(), 0775);  // an existing folder is the normal case

  std::lock_guard<std::mutex> guard(g_held_lock);
  for (int n = 1; n <= 1000; ++n) {
    std::string path = candidate_path(folder, component, n);
    if (path.size() > kTextSize - 1) {
      errno = ENAMETOOLONG;
      return -1;
    }
    if (g_held.count(path)) continue;
    int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST) {
      // Left over from an earlier run (or planted): no job of ours needs it.
      if (unlink(path.c_str()) == 0) fd = open(path.c_str(), flags, 0600);
      if (fd < 0 && (errno == EEXIST || errno == EISDIR || errno == EPERM)) continue;
    }
    if (fd < 0) return -1;
    g_held.insert(path);
    memcpy(fullname, path.c_str(), path.size() + 1);
    return fd;
  }
  errno = EEXIST;
  return -1;
}

void spool_remove(const char *fullname) {
  unlink(fullname);
  std::lock_guard<std::mutex> guard(g_held_lock);
  g_held.erase(fullname);
}
