#include "files/save_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/io.h"
#include "files/held_files.h"
#include "files/unnamed_files.h"

namespace {

// How many symbolic links a target may lead through, as the kernel allows.
constexpr int kMaxLinks = 40;

// The folder part of a path: "." for a bare name, "/" for a name in the root.
std::string folder_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The process's umask, read without setting it: umask(2) can only be read by
// changing it, for every thread at once.
mode_t current_umask() {
  mode_t mask = 022;
  FILE *f = fopen("/proc/self/status", "re");
  if (!f) return mask;
  char line[256];
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(strtoul(line + 6, nullptr, 8)) & 0777;
      break;
    }
  }
  fclose(f);
  return mask;
}

// Whether the kernel's protection for shared folders lets a link be followed: in a
// sticky, world-writable folder only a link of the follower's own, or of the folder's
// owner, is. Another user's link there may point anywhere the person may write.
bool link_followable(const struct stat &folder, const struct stat &link) {
  bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
  return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// Looks at every link on the way from path (at its last component) to the file it
// names, existing or not, and refuses (EACCES) when one of them is a link the
// kernel's protection for shared folders would not follow, whether or not that
// protection is on here. Only looks: resolving is left to the kernel. ELOOP for a
// loop.
bool links_allowed(const std::string &path) {
  std::string p = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st, folder;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (stat(folder_of(p).c_str(), &folder) != 0) return false;
    if (!link_followable(folder, st)) {
      errno = EACCES;
      return false;
    }
    char link[PATH_MAX];
    ssize_t n = readlink(p.c_str(), link, sizeof link);
    if (n < 0) return false;
    if (static_cast<size_t>(n) >= sizeof link) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::string next(link, static_cast<size_t>(n));
    p = next[0] == '/' ? next : folder_of(p) + "/" + next;
  }
  errno = ELOOP;
  return false;
}

// The path of the file open on fd, as the kernel resolved it.
bool path_of(int fd, std::string *out) {
  char proc[64], path[PATH_MAX];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(proc, path, sizeof path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path || path[0] != '/') {
    if (n >= 0) errno = ENOTSUP;
    return false;
  }
  *out = std::string(path, static_cast<size_t>(n));
  return true;
}

// Where a document is to be saved: the folder (held open) and the name in it, and
// what is there now.
struct Destination {
  int folder = -1;
  std::string name;
  bool existing = false;  // a file is there; old holds its status
  struct stat old;
  // The file there is an empty one the kernel just made through a dangling link:
  // ours to replace, and to take away again when the save fails.
  bool placeholder = false;
};

// Finds where target leads, letting the kernel resolve every link on the way (its
// protection for shared folders included). A dangling link is followed by having the
// kernel make the file it names. False with errno set (EISDIR for a folder, EINVAL
// for a device or pipe).
bool find_destination(const char *target, Destination *d) {
  std::string real = target;
  int at = open(target, O_PATH | O_CLOEXEC);
  if (at < 0 && errno == ENOENT) {
    struct stat l;
    if (lstat(target, &l) == 0 && S_ISLNK(l.st_mode)) {
      // A link to a file yet to be made: the kernel makes it where the link leads.
      at = open(target, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
      if (at < 0) return false;
      d->placeholder = true;
    } else {
      errno = ENOENT;
      at = -1;
    }
  } else if (at < 0) {
    return false;
  }
  if (at >= 0) {
    bool ok = fstat(at, &d->old) == 0 && path_of(at, &real);
    int saved = errno;
    close(at);
    if (!ok) {
      errno = saved;
      return false;
    }
    if (S_ISDIR(d->old.st_mode)) {
      errno = EISDIR;
      return false;
    }
    if (!S_ISREG(d->old.st_mode)) {  // a device or a pipe is no place for a document
      errno = EINVAL;
      return false;
    }
    // What we made through the link is empty and ours; anything else was there.
    if (d->placeholder && (d->old.st_size != 0 || d->old.st_uid != geteuid()))
      d->placeholder = false;
    d->existing = !d->placeholder;
  }
  size_t slash = real.rfind('/');
  d->name = slash == std::string::npos ? real : real.substr(slash + 1);
  d->folder = open(folder_of(real).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (d->folder < 0) return false;
  if (d->existing || d->placeholder) {
    // The name must still name the file the kernel found.
    struct stat now;
    if (fstatat(d->folder, d->name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != d->old.st_dev || now.st_ino != d->old.st_ino) {
      close(d->folder);
      d->folder = -1;
      errno = EBUSY;
      return false;
    }
  }
  return true;
}

// Gives the file open on fd what the target should end with: mode, and for a
// replaced file its owner (where allowed) and its contents on disk, so that a crash
// right after the rename cannot leave the person with an empty file.
bool finish_file(int fd, mode_t mode, const struct stat *old) {
  if (old && (old->st_uid != geteuid() || old->st_gid != getegid())) {
    if (fchown(fd, old->st_uid, old->st_gid) != 0) {
      (void)!fchown(fd, static_cast<uid_t>(-1), old->st_gid);  // the group at least
    }
  }
  if (fchmod(fd, mode) != 0) return false;
  return !old || fsync(fd) == 0;
}

// Moves from_dir/from onto folder/name. A confirmed replacement overwrites; otherwise
// the name must still be free, so a file that appeared since the person chose is
// never lost.
int place(int from_dir, const char *from, int folder, const char *name, bool replace) {
  if (replace) return renameat(from_dir, from, folder, name);
  if (renameat2(from_dir, from, folder, name, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  return renameat(from_dir, from, folder, name);  // a file system without the flag
}

// True when fd and held_path are the same regular file of exactly datalen bytes,
// so that renaming the path moves exactly the document. *dir and *name say where it
// is: through the folder the helper holds it in, or by its path.
bool held_file_is(int fd, const std::string &held_path, size_t datalen, struct stat *st, int *dir,
                  std::string *name) {
  if (held_path.empty()) return false;
  if (!held_file_place(held_path.c_str(), dir, name)) {
    *dir = AT_FDCWD;
    *name = held_path;
  }
  struct stat by_name;
  if (fstat(fd, st) != 0 || fstatat(*dir, name->c_str(), &by_name, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  return S_ISREG(st->st_mode) && st->st_dev == by_name.st_dev && st->st_ino == by_name.st_ino &&
         static_cast<size_t>(st->st_size) == datalen;
}

// True when folder/name is the file open on fd: what the save put there is the
// person's document, not something another user swapped in meanwhile.
bool placed_is(int folder, const std::string &name, int fd) {
  struct stat placed, ours;
  return fstatat(folder, name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(fd, &ours) == 0 && placed.st_dev == ours.st_dev && placed.st_ino == ours.st_ino;
}

// Files beside a target are named this prefix and so many random letters: short, so
// a target whose own name is as long as the file system allows can still be replaced.
constexpr char kBesidePrefix[] = ".v";
constexpr size_t kBesideLetters = 6;

// Copies the document into a new file beside the destination and puts it in the
// destination's place. The copy has no name while it is written (O_TMPFILE), so a
// helper killed meanwhile leaves nothing; a new target gets its name at once, an
// existing one is replaced from a short hidden name, registered for an ending helper
// while it exists. Where unnamed files cannot be made, the copy is written under that
// name. Anything that fails takes the copy away again.
int copy_beside(int fd, size_t datalen, const Destination &d, mode_t mode) {
  const struct stat *old = d.existing ? &d.old : nullptr;
  bool replace = d.existing || d.placeholder;
  std::string temp;
  int token = -1;
  int out = make_unnamed_file(d.folder, O_WRONLY, kBesidePrefix, kBesideLetters, &temp);
  if (out < 0) return -1;
  if (!temp.empty()) token = hold_transient(d.folder, temp.c_str(), out);
  // Reserving the space first finds a full disk before anything is copied.
  bool ok = datalen == 0 || fallocate(out, 0, 0, static_cast<off_t>(datalen)) == 0 ||
            errno == EOPNOTSUPP || errno == ENOSYS;
  ok = ok && copy_bytes(fd, out, datalen) && finish_file(out, mode, old);
  if (ok && temp.empty()) {
    if (!replace) {
      ok = link_unnamed(out, d.folder, d.name.c_str()) == 0;
    } else {
      ok = link_unnamed_fresh(out, d.folder, kBesidePrefix, kBesideLetters, &temp) == 0;
      if (ok) token = hold_transient(d.folder, temp.c_str(), out);
    }
  }
  if (ok && !temp.empty())
    ok = placed_is(d.folder, temp, out) &&
         place(d.folder, temp.c_str(), d.folder, d.name.c_str(), replace) == 0;
  if (ok && !placed_is(d.folder, d.name, out)) {
    ok = false;
    errno = EBUSY;  // someone else's file took the place
  }
  int saved = errno;
  if (!ok && !temp.empty() && placed_is(d.folder, temp, out)) unlinkat(d.folder, temp.c_str(), 0);
  unhold_transient(token);
  if (close(out) != 0 && ok) return -1;  // a delayed write error (NFS, full disk)
  errno = saved;
  return ok ? 0 : -1;
}

// Writes the document over the existing file at the destination, then cuts it to
// length. Space is reserved first, so a full disk fails before the old contents are
// touched.
int rewrite_in_place(int fd, size_t datalen, const Destination &d) {
  int out = openat(d.folder, d.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (out < 0) return -1;
  bool ok = datalen == 0 ||
            fallocate(out, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(datalen)) == 0 ||
            errno == EOPNOTSUPP || errno == ENOSYS;
  ok = ok && copy_bytes(fd, out, datalen) && ftruncate(out, static_cast<off_t>(datalen)) == 0 &&
       fsync(out) == 0;
  int saved = errno;
  if (close(out) != 0 && ok) return -1;
  errno = saved;
  return ok ? 0 : -1;
}

// A failure that a folder the person may not write explains, and which rewriting an
// existing file in place may get around.
bool folder_refused(int err) { return err == EACCES || err == EPERM; }

}  // namespace

int save_held_document(int fd, const std::string &held_path, size_t datalen, const char *target) {
  if (!links_allowed(target)) return -1;
  Destination d;
  if (!find_destination(target, &d)) return -1;
  const struct stat *old = d.existing ? &d.old : nullptr;
  mode_t mode = old ? (old->st_mode & 07777) : (0666 & ~current_umask());
  int result = -1;
  bool done = false;

  // On the held file's own file system the held file itself becomes the target.
  struct stat held;
  int held_dir = AT_FDCWD;
  std::string held_name;
  if (held_file_is(fd, held_path, datalen, &held, &held_dir, &held_name) &&
      !(old && old->st_dev == held.st_dev && old->st_ino == held.st_ino)) {
    if (finish_file(fd, mode, old) &&
        place(held_dir, held_name.c_str(), d.folder, d.name.c_str(), old || d.placeholder) == 0) {
      result = 0;
      done = true;
      if (!placed_is(d.folder, d.name, fd)) {
        result = -1;
        errno = EBUSY;  // someone else's file took the place
      }
    } else if (errno != EXDEV && !(old && folder_refused(errno))) {
      done = true;
    }
  }
  if (!done) {
    result = copy_beside(fd, datalen, d, mode);
    if (result != 0 && old && folder_refused(errno)) result = rewrite_in_place(fd, datalen, d);
  }
  int saved = errno;
  // An empty file the kernel made for a dangling link goes again when nothing came of it.
  if (result != 0 && d.placeholder) {
    struct stat now;
    if (fstatat(d.folder, d.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == d.old.st_dev && now.st_ino == d.old.st_ino)
      unlinkat(d.folder, d.name.c_str(), 0);
  }
  close(d.folder);
  errno = saved;
  return result;
}
