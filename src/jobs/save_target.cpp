#include "jobs/save_target.h"

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

namespace {

// Block size of the plain copy, when the kernel cannot copy between the two files.
constexpr size_t kCopyBlock = 1 << 20;
// How many symbolic links a target may lead through, as the kernel allows.
constexpr int kMaxLinks = 40;
// The short name of the file a copy is written to beside its target; mkostemp fills
// in the X's. Short, so a target whose own name is as long as the file system allows
// can still be replaced.
constexpr char kBesideTemplate[] = "/.vXXXXXX";

const char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void append_utf8(std::string *out, unsigned cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

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

// Follows symbolic links at the last component of path to the file they name,
// which need not exist (a plain write through a dangling link creates it). The
// folders on the way are left to the kernel. False with errno set on a loop.
bool follow_links(const std::string &path, std::string *out) {
  std::string p = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *out = p;
      return true;
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

// Copies datalen bytes from offset 0 of src to dst at its current offset: in the
// kernel where it can, else through a buffer. A source shorter than datalen fails
// with EIO.
bool copy_bytes(int src, int dst, size_t datalen) {
  off_t in = 0;
  size_t done = 0;
  while (done < datalen) {
    size_t want = std::min(datalen - done, static_cast<size_t>(1) << 30);
    ssize_t n = copy_file_range(src, &in, dst, nullptr, want, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EBADF && errno != EPERM)
      return false;
    break;  // these two files cannot be copied by the kernel: copy the rest by hand
  }
  std::unique_ptr<unsigned char[]> buf;
  if (done < datalen) buf.reset(new unsigned char[kCopyBlock]);
  while (done < datalen) {
    ssize_t n =
        pread(src, buf.get(), std::min(datalen - done, kCopyBlock), static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    for (ssize_t at = 0; at < n;) {
      ssize_t w = write(dst, buf.get() + at, static_cast<size_t>(n - at));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = EIO;
        return false;
      }
      at += w;
    }
    done += static_cast<size_t>(n);
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

// Moves from onto dest. A confirmed replacement overwrites; otherwise dest must
// still not exist, so a file that appeared since the person chose is never lost.
int place(const char *from, const char *dest, bool replace) {
  if (replace) return rename(from, dest);
  if (renameat2(AT_FDCWD, from, AT_FDCWD, dest, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  return rename(from, dest);  // a file system without the flag
}

// True when fd and held_path are the same regular file of exactly datalen bytes,
// so that renaming the path moves exactly the document.
bool held_file_is(int fd, const std::string &held_path, size_t datalen, struct stat *st) {
  struct stat by_path;
  if (held_path.empty() || fstat(fd, st) != 0 || lstat(held_path.c_str(), &by_path) != 0)
    return false;
  return S_ISREG(st->st_mode) && st->st_dev == by_path.st_dev && st->st_ino == by_path.st_ino &&
         static_cast<size_t>(st->st_size) == datalen;
}

// Copies the document into a new short-named file beside dest and puts it in
// dest's place; the new file is removed again when anything fails.
int copy_beside(int fd, size_t datalen, const std::string &dest, mode_t mode,
                const struct stat *old) {
  std::string temp = folder_of(dest) + kBesideTemplate;
  int out = mkostemp(&temp[0], O_CLOEXEC);  // O_EXCL: never through a link
  if (out < 0) return -1;
  // Reserving the space first finds a full disk before anything is copied.
  bool ok = datalen == 0 || fallocate(out, 0, 0, static_cast<off_t>(datalen)) == 0 ||
            errno == EOPNOTSUPP || errno == ENOSYS;
  ok = ok && copy_bytes(fd, out, datalen) && finish_file(out, mode, old);
  int saved = errno;
  if (close(out) != 0 && ok) {  // a delayed write error (NFS, full disk)
    ok = false;
    saved = errno;
  }
  if (ok && place(temp.c_str(), dest.c_str(), old != nullptr) == 0) return 0;
  if (ok) saved = errno;
  unlink(temp.c_str());
  errno = saved;
  return -1;
}

// Writes the document over the existing file dest, then cuts it to length. Space is
// reserved first, so a full disk fails before the old contents are touched.
int rewrite_in_place(int fd, size_t datalen, const std::string &dest) {
  int out = open(dest.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
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

bool valid_utf8(const std::string &text) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    size_t len;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if (!continuation(s[i + k])) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::string windows1252_to_utf8(const std::string &text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x80 && c <= 0x9F)
      append_utf8(&out, kWindows1252High[c - 0x80]);
    else
      append_utf8(&out, c);
  }
  return out;
}

std::string suggested_save_name(const char *fname) {
  std::string raw = fname;
  std::string utf8 = valid_utf8(raw) ? raw : windows1252_to_utf8(raw);
  std::string name;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) <= 0x9F;
    if (c == '/' || c < 0x20 || c == 0x7F || c1) {
      name.push_back('_');
      if (c1) ++i;
    } else {
      name.push_back(static_cast<char>(c));
    }
  }
  name.erase(0, name.find_first_not_of('.'));
  if (name.empty()) return "document";
  return fit_file_name(name, "", kMaxFileName);
}

std::string shorten_middle(const std::string &utf8, size_t max_chars) {
  // Offsets of the characters' first bytes.
  std::vector<size_t> starts;
  for (size_t i = 0; i < utf8.size(); ++i)
    if (!continuation(static_cast<unsigned char>(utf8[i]))) starts.push_back(i);
  if (starts.size() <= max_chars || max_chars < 2) return utf8;
  size_t head = (max_chars - 1) / 3;
  size_t tail = max_chars - 1 - head;
  return utf8.substr(0, starts[head]) + "\u2026" + utf8.substr(starts[starts.size() - tail]);
}

int save_held_document(int fd, const std::string &held_path, size_t datalen, const char *target) {
  std::string dest;
  if (!follow_links(target, &dest)) return -1;
  struct stat old_st;
  const struct stat *old = nullptr;
  if (stat(dest.c_str(), &old_st) == 0) {
    if (S_ISDIR(old_st.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    if (!S_ISREG(old_st.st_mode)) {  // a device or a pipe is no place for a document
      errno = EINVAL;
      return -1;
    }
    old = &old_st;
  } else if (errno != ENOENT) {
    return -1;
  }
  mode_t mode = old ? (old->st_mode & 07777) : (0666 & ~current_umask());

  // On the held file's own file system the held file itself becomes the target.
  struct stat held;
  if (held_file_is(fd, held_path, datalen, &held) &&
      !(old && old->st_dev == held.st_dev && old->st_ino == held.st_ino)) {
    if (finish_file(fd, mode, old) && place(held_path.c_str(), dest.c_str(), old != nullptr) == 0)
      return 0;
    if (errno != EXDEV && !(old && folder_refused(errno))) return -1;
  }
  if (copy_beside(fd, datalen, dest, mode, old) == 0) return 0;
  if (!old || !folder_refused(errno)) return -1;
  return rewrite_in_place(fd, datalen, dest);
}
