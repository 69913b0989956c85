// Small helpers shared by the unit tests: temporary folders, in-memory streams and
// descriptors, file reading and deterministic test data.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/frames.h"

namespace unit {

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/vandrel-unit-XXXXXX";
    if (mkdtemp(templ)) path_ = templ;
  }
  ~TempDir() {
    if (!path_.empty()) remove_tree(path_);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string &path() const { return path_; }

  static void remove_tree(const std::string &path) {
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) -> int {
          (void)remove(p);
          return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
  }

 private:
  std::string path_;
};

// An owned descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// A memory file holding bytes, positioned at its start; -1 on failure.
inline int memfd_with(const Bytes &bytes) {
  int fd = memfd_create("vandrel-unit", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (!write_all(fd, bytes.data(), bytes.size()) || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A stream reading exactly bytes (tmpfile-backed, so any size works, even zero).
inline FILE *stream_of(const Bytes &bytes) {
  FILE *f = tmpfile();
  if (!f) return nullptr;
  if ((!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) ||
      fflush(f) != 0) {
    fclose(f);
    return nullptr;
  }
  rewind(f);
  return f;
}

// Collects what is written to f in memory.
class MemSink {
 public:
  MemSink() : f(open_memstream(&buf_, &len_)) {}
  ~MemSink() {
    if (f) fclose(f);
    free(buf_);
  }
  MemSink(const MemSink &) = delete;
  MemSink &operator=(const MemSink &) = delete;

  std::string text() {
    fflush(f);
    return std::string(buf_ ? buf_ : "", len_);
  }
  Bytes bytes() {
    fflush(f);
    return buf_ ? Bytes(buf_, buf_ + len_) : Bytes();
  }

  FILE *f;

 private:
  char *buf_ = nullptr;
  size_t len_ = 0;
};

inline bool read_file(const std::string &path, Bytes *out) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  unsigned char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

inline std::string read_text(const std::string &path) {
  Bytes b;
  if (!read_file(path, &b)) return "<unreadable>";
  return std::string(b.begin(), b.end());
}

inline bool write_text(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

inline bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The names in a folder, sorted; empty when it does not exist.
inline std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  // A helper folder's marks folder is listed only by the marks that stand alone
  // (documents to save, or marks left behind), as ".vandrel-held/NAME": a mark beside
  // its file is part of that file.
  auto marks = std::find(names.begin(), names.end(), ".vandrel-held");
  if (marks != names.end()) {
    names.erase(marks);
    std::vector<std::string> alone;
    for (const std::string &mark : list_dir(path + "/.vandrel-held"))
      if (std::find(names.begin(), names.end(), mark) == names.end())
        alone.push_back(".vandrel-held/" + mark);
    names.insert(names.end(), alone.begin(), alone.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Every path below root, relative to it, sorted; symbolic links are not followed.
inline std::vector<std::string> tree(const std::string &root) {
  std::vector<std::string> out;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    std::string rel = pending.back();
    pending.pop_back();
    for (const std::string &name : list_dir(rel.empty() ? root : root + "/" + rel)) {
      std::string child = rel.empty() ? name : rel + "/" + name;
      out.push_back(child);
      struct stat st;
      if (lstat((root + "/" + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        pending.push_back(child);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Bytes that do not compress: every value, NULs included, in no useful order.
inline Bytes noise_bytes(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (unsigned char &c : b) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<unsigned char>(x >> 24);
  }
  return b;
}

// Numbered text lines that compress well, so one input chunk yields many output chunks.
inline Bytes text_bytes(size_t n) {
  std::string s;
  for (size_t line = 0; s.size() < n; ++line)
    s += "line " + std::to_string(line) + " of a long document\n";
  s.resize(n);
  return to_bytes(s);
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) append(out, p);
  return out;
}

// The lines of text, each without its newline; a last line without one is kept too.
inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

}  // namespace unit
