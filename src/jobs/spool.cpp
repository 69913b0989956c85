#include "jobs/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

// The files this process holds: each path with the descriptor that keeps its lock.
// A print-dialog job holds its file until the printing system reports completion,
// while the reader is already spooling later documents; other helpers of the same
// user see the lock and leave the file alone.
static std::mutex g_held_lock;
static std::map<std::string, int> g_held;

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

// How a spool folder entry stands: a live helper's, a leftover, or not a file at all.
enum class EntryState { Held, Reclaimed, Other };

// Looks at an existing entry of the spool folder. A regular file that no helper holds
// (its lock can be taken) is a leftover of a helper that ended early: it is removed,
// unless it is younger than min_age seconds (a file being set up by a live helper
// before it could lock it). A symbolic link is removed too: no helper makes one, so
// it can only be planted. Directories and the like are left alone. Reader thread.
static EntryState reclaim_entry(const std::string &path, time_t min_age) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? EntryState::Reclaimed : EntryState::Other;
  if (S_ISLNK(st.st_mode))
    return unlink(path.c_str()) == 0 ? EntryState::Reclaimed : EntryState::Other;
  if (!S_ISREG(st.st_mode)) return EntryState::Other;
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? EntryState::Reclaimed : EntryState::Other;
  EntryState state = EntryState::Held;
  struct stat locked, now;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    state = EntryState::Other;
    // Whoever removes a file removes it while holding its lock, so with the lock held
    // the name still names this very file, or nothing.
    if (fstat(fd, &locked) == 0 && lstat(path.c_str(), &now) == 0 && locked.st_dev == now.st_dev &&
        locked.st_ino == now.st_ino && S_ISREG(locked.st_mode) &&
        time(nullptr) - locked.st_mtime >= min_age)
      state = unlink(path.c_str()) == 0 ? EntryState::Reclaimed : EntryState::Other;
    else if (lstat(path.c_str(), &now) != 0 && errno == ENOENT)
      state = EntryState::Reclaimed;
  } else if (errno != EWOULDBLOCK) {
    state = EntryState::Other;
  }
  close(fd);
  return state;
}

// Files of ours that exist only while being set up carry this prefix; a leftover one
// of them is swept away once it is old enough that no live helper can still be
// setting it up.
constexpr char kSetupPrefix[] = ".vandrel-";
constexpr time_t kSetupAge = 10;

// Removes the leftovers of ended helpers from the spool folder.
static void sweep_folder(const std::string &folder) {
  DIR *d = opendir(folder.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  for (const std::string &name : names) {
    bool setup = name.compare(0, strlen(kSetupPrefix), kSetupPrefix) == 0;
    struct stat st;
    std::string path = folder + "/" + name;
    // Only regular files are looked at here; a link in the way of a name is dealt
    // with when that name is wanted.
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      (void)reclaim_entry(path, setup ? kSetupAge : 0);
  }
}

// Creates a new private file in folder under a set-up name, locked, mode 0600.
// Returns its descriptor (read and write, close-on-exec) and its path, or -1.
static int create_locked(const std::string &folder, const char *prefix, std::string *path) {
  std::string templ = folder + "/" + prefix + "XXXXXX";
  int fd = mkostemp(&templ[0], O_CLOEXEC);  // exclusive, 0600, never through a link
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    unlink(templ.c_str());
    close(fd);
    errno = saved;
    return -1;
  }
  *path = templ;
  return fd;
}

// Registers a held file and returns a descriptor of it for the caller to own.
static int hold(const std::string &path, int fd, char fullname[kTextSize]) {
  int mine = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (mine < 0) {
    int saved = errno;
    unlink(path.c_str());
    close(fd);
    errno = saved;
    return -1;
  }
  {
    std::lock_guard<std::mutex> guard(g_held_lock);
    g_held[path] = fd;
  }
  memcpy(fullname, path.c_str(), path.size() + 1);
  return mine;
}

int spool_create(const char *homedir, const char *fname2, char fullname[kTextSize]) {
  fullname[0] = '\0';
  if (!homedir || !*homedir) {
    errno = ENOENT;  // no home folder at all: never spool into "/VANDREL"
    return -1;
  }
  std::string folder = std::string(homedir) + "/" + kSpoolFolder;
  char component[kTextSize];
  spool_component(fname2, component);
  if (candidate_path(folder, component, 1).size() > kTextSize - 1) {
    errno = ENAMETOOLONG;
    return -1;
  }
  (void)mkdir(folder.c_str(), 0775);  // an existing folder is the normal case
  sweep_folder(folder);

  // The file is made and locked under a set-up name first and only then given its
  // name, so no other helper ever sees it unlocked and takes it for a leftover.
  std::string setup;
  int fd = create_locked(folder, kSetupPrefix, &setup);
  if (fd < 0) return -1;
  int why = EEXIST;
  for (int n = 1; n <= 1000; ++n) {
    std::string path = candidate_path(folder, component, n);
    if (path.size() > kTextSize - 1) {
      why = ENAMETOOLONG;
      break;
    }
    if (link(setup.c_str(), path.c_str()) == 0) {
      unlink(setup.c_str());
      return hold(path, fd, fullname);
    }
    if (errno != EEXIST) {
      int saved = errno;
      unlink(setup.c_str());
      close(fd);
      errno = saved;
      return -1;
    }
    // Someone's file is there: a live job's (ours or another helper's) is left
    // alone and this one takes the next name; a leftover gives its name back.
    if (reclaim_entry(path, 0) == EntryState::Reclaimed && link(setup.c_str(), path.c_str()) == 0) {
      unlink(setup.c_str());
      return hold(path, fd, fullname);
    }
  }
  unlink(setup.c_str());
  close(fd);
  errno = why;
  return -1;
}

int temp_create(const char *homedir, char fullname[kTextSize]) {
  fullname[0] = '\0';
  // The spool folder first: usually on the file system of the user's documents, so
  // a save there is a rename.
  std::vector<std::pair<std::string, const char *>> places;
  if (homedir && *homedir) {
    std::string spool = std::string(homedir) + "/" + kSpoolFolder;
    (void)mkdir(spool.c_str(), 0775);
    sweep_folder(spool);
    places.emplace_back(spool, ".vandrel-save-");
  }
  const char *tmpdir = getenv("TMPDIR");
  if (tmpdir && *tmpdir) places.emplace_back(tmpdir, "vandrel-save-");
  places.emplace_back("/tmp", "vandrel-save-");
  for (const auto &place : places) {
    std::string path;
    if (place.first.size() + 32 > kTextSize) continue;
    int fd = create_locked(place.first, place.second, &path);
    if (fd >= 0) return hold(path, fd, fullname);
  }
  // No folder takes it: the document stays in memory.
  return memfd_create("vandrel-document", MFD_CLOEXEC);
}

void spool_remove(const char *fullname) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> guard(g_held_lock);
    auto it = g_held.find(fullname);
    if (it == g_held.end()) return;  // not ours: never remove another's file
    fd = it->second;
    g_held.erase(it);
  }
  // The file may have moved away (a saved document is renamed to its target) and
  // another file may have its name by now: only this very file is removed, and
  // removed while still locked.
  struct stat held, now;
  if (fstat(fd, &held) == 0 && lstat(fullname, &now) == 0 && held.st_dev == now.st_dev &&
      held.st_ino == now.st_ino)
    unlink(fullname);
  close(fd);
}

int store_create(const void *data, Command command, const char *fname2, char path[kTextSize]) {
  const char *homedir = static_cast<const char *>(data);
  if (command == Command::SendFile) return temp_create(homedir, path);
  return spool_create(homedir, fname2, path);
}

void store_discard(const char *path, int fd) {
  if (fd >= 0) close(fd);
  if (path && path[0]) spool_remove(path);
}
