#include "files/save_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// How many saves are running (save_under_way).
std::atomic<int> g_saves{0};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// How many symbolic links a target may lead through, as the kernel allows.
constexpr int kMaxLinks = 40;

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

// Where a document is to be saved: the folder (held open) and the name in it, and
// what is there now.
struct Destination {
  int folder = -1;
  std::string name;
  bool existing = false;  // a file is there; old holds its status
  struct stat old;
};

// Puts the components of path on rest so that the first one is taken next (rest is
// worked from its back). Empty components and "." are dropped.
void push_components(const std::string &path, std::vector<std::string> *rest) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(at, slash - at);
    if (!part.empty() && part != ".") parts.push_back(part);
    at = slash + 1;
  }
  rest->insert(rest->end(), parts.rbegin(), parts.rend());
}

// Replaces the folder descriptor *at with next (closing the old one); -1 in next
// fails with its errno kept.
bool move_to(int *at, int next) {
  if (next < 0) return false;
  if (*at >= 0) close(*at);
  *at = next;
  return true;
}

// Finds where target leads, one component at a time through descriptors: each name is
// opened in the folder reached so far without following it (O_PATH|O_NOFOLLOW), and a
// link is judged on that very link (link_followable against the folder it is in) and
// followed from there by its text, so that nothing is looked up twice by name and no
// link is ever followed by the kernel. A dangling link leads to the name it gives, in
// the folder where that name would be: the save makes the file there. False with errno
// set: EACCES for a link that may not be followed, ELOOP for too many links, EISDIR
// for a folder, EINVAL for a device or pipe, ENOENT for a missing folder.
bool find_destination(const char *target, Destination *d) {
  std::string path = target;
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  int at = -1;
  if (!move_to(&at, open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC)))
    return false;
  std::vector<std::string> rest;
  push_components(path, &rest);
  // A path that ends in a slash (or is the root, or ".") names a folder.
  bool folder_named = path.back() == '/' || rest.empty();
  int links = 0;
  while (!rest.empty() && !folder_named) {
    std::string name = rest.back();
    rest.pop_back();
    bool last = rest.empty();
    int fd = openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT && last && name != "..") {  // a new file in the folder reached
        d->folder = at;
        d->name = name;
        d->existing = false;
        return true;
      }
      break;
    }
    struct stat st, folder;
    if (fstatat(fd, "", &st, AT_EMPTY_PATH) != 0) {
      close(fd);
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      char text[PATH_MAX];
      ssize_t n = -1;
      if (fstat(at, &folder) != 0) {
      } else if (!link_followable(folder, st)) {
        errno = EACCES;
      } else if (++links > kMaxLinks) {
        errno = ELOOP;
      } else {
        n = readlinkat(fd, "", text, sizeof text);
        if (n == 0 || static_cast<size_t>(n) >= sizeof text) {
          errno = n == 0 ? ENOENT : ENAMETOOLONG;
          n = -1;
        }
      }
      close(fd);
      if (n < 0) break;
      std::string next(text, static_cast<size_t>(n));
      if (next[0] == '/' && !move_to(&at, open("/", O_PATH | O_DIRECTORY | O_CLOEXEC))) break;
      size_t before = rest.size();
      push_components(next, &rest);
      if (last && (next.back() == '/' || rest.size() == before)) folder_named = true;
      continue;
    }
    if (!last) {
      if (!S_ISDIR(st.st_mode)) {
        close(fd);
        errno = ENOTDIR;
        break;
      }
      move_to(&at, fd);
      continue;
    }
    close(fd);
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
      errno = EINVAL;  // a device or a pipe is no place for a document
    } else {
      d->folder = at;
      d->name = name;
      d->existing = true;
      d->old = st;
      return true;
    }
    break;
  }
  if (folder_named) errno = EISDIR;
  int saved = errno;
  close(at);
  errno = saved;
  return false;
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
  if (old && fsync(fd) != 0) return false;
  note_io_progress();
  return true;
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
  bool replace = d.existing;
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
  struct stat now;
  if (fstat(out, &now) != 0 || now.st_dev != d.old.st_dev || now.st_ino != d.old.st_ino) {
    close(out);
    errno = EBUSY;  // not the file the person confirmed
    return -1;
  }
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

// save_held_document's work.
static int save_at(int fd, const std::string &held_path, size_t datalen, const char *target) {
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
        place(held_dir, held_name.c_str(), d.folder, d.name.c_str(), old != nullptr) == 0) {
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
  close(d.folder);
  errno = saved;
  return result;
}

bool save_under_way() { return g_saves.load() > 0; }

int save_held_document(int fd, const std::string &held_path, size_t datalen, const char *target) {
  g_saves.fetch_add(1);
  int result = save_at(fd, held_path, datalen, target);
  int saved = errno;
  g_saves.fetch_sub(1);
  errno = saved;
  return result;
}
