#include "files/held_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "common/i18n.h"
#include "files/spool.h"
#include "files/unnamed_files.h"

namespace {

// Files of ours that exist under a name only while being set up (where the file
// system cannot make unnamed files) carry this prefix in the marks folder; a leftover
// one is swept away once it is old enough that no live helper can still be setting
// it up.
constexpr char kSetupPrefix[] = ".new-";
constexpr time_t kSetupAge = 10;
// Marks-only files (documents waiting for the save dialog) are named so.
constexpr char kHiddenPrefix[] = "held-";
// The random part of those names and of set-up names.
constexpr size_t kRandomLetters = 10;

// How far "name-2.ext", "name-3.ext"... go before a job gives up on its name: a
// person keeps a few files of one name, not a thousand.
constexpr int kMaxNameNumber = 1000;

// How many files one helper may hold at once: print jobs waiting for the print
// server, a document to save, previews. Far more than a person can keep in flight.
constexpr int kMaxHeld = 256;

enum SlotState { Free = 0, Busy = 1, Live = 2 };

// One held file. Everything but state is written only while the slot is Busy, so a
// signal handler that sees it Live reads settled values.
struct Slot {
  std::atomic<int> state{Free};
  int dir_fd = -1;    // the folder the name is in (ours, or the caller's for a transient)
  int marks_fd = -1;  // the marks folder (ours); -1 for a transient file
  int lock_fd = -1;   // keeps the lock (ours); the caller's for a transient file
  bool visible = false;
  bool transient = false;
  dev_t dev = 0;
  ino_t ino = 0;
  char name[kMaxFileName + 1] = "";
  char path[kTextSize] = "";
};
static_assert(std::atomic<int>::is_always_lock_free, "slots are read from a signal handler");

Slot g_slots[kMaxHeld];
// Serialises taking and giving up slots between threads; never taken by the handler.
std::mutex g_registry_lock;

bool same_file(const struct stat &a, dev_t dev, ino_t ino) {
  return a.st_dev == dev && a.st_ino == ino;
}

// Removes name from dir_fd if it still names the file dev/ino. Async-signal-safe.
void unlink_if_same(int dir_fd, const char *name, dev_t dev, ino_t ino) {
  struct stat st;
  if (dir_fd >= 0 && fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      same_file(st, dev, ino))
    (void)unlinkat(dir_fd, name, 0);
}

// A new locked file in folder with no name yet, so nobody ever sees it unlocked; where
// the file system cannot make unnamed files, under a set-up name in the marks folder
// instead, written to *setup. -1 with errno on failure.
int make_file(const HelperFolder &f, std::string *setup) {
  int fd = make_unnamed_file(f.marks, O_RDWR, kSetupPrefix, kRandomLetters, setup);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    if (!setup->empty()) unlinkat(f.marks, setup->c_str(), 0);
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// Gives the file fd (made by make_file) the name `name` in the marks folder: linked
// from anchor, a name it has there already, or, while it has none, from the
// descriptor. (An unnamed file can be given a name only once it has none: it must
// never lose its last one before it has its place.) Fails with EEXIST when the name
// is taken.
int mark_as(const HelperFolder &f, int fd, const std::string &anchor, const std::string &name) {
  if (!anchor.empty()) return linkat(f.marks, anchor.c_str(), f.marks, name.c_str(), 0);
  return link_unnamed(fd, f.marks, name.c_str());
}

enum class EntryState { Held, Reclaimed, Other };

// Looks at the mark `name` of folder f. A marked file that no helper holds (its lock
// can be taken) is a leftover of a helper that ended early: its name (when that still
// names it) and its mark are removed, unless it is younger than min_age seconds.
// Anything else is left alone.
EntryState reclaim_entry(const HelperFolder &f, const std::string &name, time_t min_age) {
  int fd = openat(f.marks, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? EntryState::Reclaimed : EntryState::Other;
  EntryState state = EntryState::Other;
  struct stat locked, now;
  if (fstat(fd, &locked) == 0 && S_ISREG(locked.st_mode)) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Whoever removes a file removes it while holding its lock, so with the lock
      // held the mark still names this very file, or nothing.
      if (fstatat(f.marks, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) state = EntryState::Reclaimed;
      } else if (same_file(now, locked.st_dev, locked.st_ino) &&
                 time(nullptr) - locked.st_mtime >= min_age) {
        unlink_if_same(f.fd, name.c_str(), locked.st_dev, locked.st_ino);
        if (unlinkat(f.marks, name.c_str(), 0) == 0) state = EntryState::Reclaimed;
      }
    } else if (errno == EWOULDBLOCK) {
      state = EntryState::Held;
    }
  }
  close(fd);
  return state;
}

// Takes a free slot and marks it Busy; nullptr when all are taken.
Slot *take_slot() {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  for (Slot &s : g_slots) {
    int expected = Free;
    if (s.state.compare_exchange_strong(expected, Busy)) return &s;
  }
  return nullptr;
}

void free_slot(Slot *s) {
  s->dir_fd = s->marks_fd = s->lock_fd = -1;
  s->name[0] = s->path[0] = '\0';
  s->state.store(Free);
}

}  // namespace

bool open_helper_folder(const std::string &path, bool create, HelperFolder *out, std::string *why) {
  *out = HelperFolder();
  if (create && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = std::string("cannot be made: ") + log_strerror(errno);
    return false;
  }
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      *why = "is a symbolic link";
    else if (err == ENOTDIR)
      *why = "is not a folder";
    else
      *why = std::string("cannot be opened: ") + log_strerror(err);
    return false;
  }
  // The same checks for the folder and for its marks folder: the person's own, private.
  auto private_folder = [why](int dir, const char *what) {
    struct stat st;
    if (fstat(dir, &st) != 0) {
      *why = std::string(what) + "cannot be read: " + log_strerror(errno);
      return false;
    }
    if (st.st_uid != geteuid()) {
      *why = std::string(what) + "belongs to another user";
      return false;
    }
    if ((st.st_mode & 077) != 0 && fchmod(dir, st.st_mode & 0700) != 0) {
      *why = std::string(what) + "cannot be made private: " + log_strerror(errno);
      return false;
    }
    return true;
  };
  int marks = -1;
  if (private_folder(fd, "")) {
    if (mkdirat(fd, kMarksFolder, 0700) != 0 && errno != EEXIST) {
      *why = std::string("cannot hold ") + kMarksFolder + ": " + log_strerror(errno);
    } else {
      marks = openat(fd, kMarksFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (marks < 0)
        *why = std::string("holds a ") + kMarksFolder + " that is not a folder of ours";
      else if (!private_folder(marks, "holds a .vandrel-held that "))
        close(marks), marks = -1;
    }
  }
  if (marks < 0) {
    close(fd);
    return false;
  }
  out->fd = fd;
  out->marks = marks;
  out->path = path;
  return true;
}

void close_helper_folder(HelperFolder *folder) {
  if (folder->fd >= 0) close(folder->fd);
  if (folder->marks >= 0) close(folder->marks);
  *folder = HelperFolder();
}

int hold_new_file(const HelperFolder &f, const char *component, char fullname[kTextSize]) {
  fullname[0] = '\0';
  std::string setup;
  int fd = make_file(f, &setup);
  if (fd < 0) return -1;
  int why = EEXIST;
  bool named = false;
  std::string name, anchor = setup;
  // Marks made for names that turned out to be taken by something not a helper's:
  // they keep the file named until it has its place, then go.
  std::vector<std::string> stray;
  for (int n = 1; n <= kMaxNameNumber && !named; ++n) {
    name = component ? fit_file_name(component, n > 1 ? "-" + std::to_string(n) : "", kMaxFileName)
                     : random_name(kHiddenPrefix, kRandomLetters);
    if (f.path.size() + 1 + name.size() > kTextSize - 1) {
      why = ENAMETOOLONG;
      break;
    }
    if (mark_as(f, fd, anchor, name) != 0) {
      if (errno != EEXIST) {
        why = errno;
        break;
      }
      // A helper's file has the name: a live job's is left alone and this one takes
      // the next name; a leftover gives its name back.
      if (reclaim_entry(f, name, 0) != EntryState::Reclaimed || mark_as(f, fd, anchor, name) != 0)
        continue;
    }
    if (!component || linkat(f.marks, name.c_str(), f.fd, name.c_str(), 0) == 0) {
      named = true;
      break;
    }
    // Whatever has this name is not a helper's (it has no mark): it stays as it is.
    int err = errno;
    stray.push_back(name);
    if (anchor.empty()) anchor = name;
    if (err != EEXIST) {
      why = err;
      break;
    }
  }
  struct stat made;
  if (fstat(fd, &made) == 0)
    for (const std::string &mark : stray)
      unlink_if_same(f.marks, mark.c_str(), made.st_dev, made.st_ino);
  if (!setup.empty()) unlinkat(f.marks, setup.c_str(), 0);
  if (!named) {
    close(fd);
    errno = why;
    return -1;
  }
  struct stat st;
  Slot *slot = fstat(fd, &st) == 0 ? take_slot() : nullptr;
  int mine = -1;
  if (slot) {
    slot->dir_fd = fcntl(component ? f.fd : f.marks, F_DUPFD_CLOEXEC, 3);
    slot->marks_fd = fcntl(f.marks, F_DUPFD_CLOEXEC, 3);
    mine = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  }
  if (!slot || slot->dir_fd < 0 || slot->marks_fd < 0 || mine < 0) {
    // Nothing to hold it with: the file goes again.
    int saved = slot ? errno : ENFILE;
    if (slot) {
      if (component) unlink_if_same(f.fd, name.c_str(), st.st_dev, st.st_ino);
      unlink_if_same(f.marks, name.c_str(), st.st_dev, st.st_ino);
      if (slot->dir_fd >= 0) close(slot->dir_fd);
      if (slot->marks_fd >= 0) close(slot->marks_fd);
      if (mine >= 0) close(mine);
      free_slot(slot);
    } else {
      if (component) unlinkat(f.fd, name.c_str(), 0);
      unlinkat(f.marks, name.c_str(), 0);
    }
    close(fd);
    errno = saved;
    return -1;
  }
  slot->lock_fd = fd;
  slot->visible = component != nullptr;
  slot->transient = false;
  slot->dev = st.st_dev;
  slot->ino = st.st_ino;
  snprintf(slot->name, sizeof slot->name, "%s", name.c_str());
  std::string path = component ? f.path + "/" + name : f.path + "/" + kMarksFolder + "/" + name;
  snprintf(slot->path, sizeof slot->path, "%s", path.c_str());
  snprintf(fullname, kTextSize, "%s", slot->path);
  slot->state.store(Live);
  return mine;
}

// The live slot of the held file fullname, or nullptr. Registry lock held.
static Slot *live_slot_locked(const char *fullname) {
  for (Slot &s : g_slots)
    if (s.state.load() == Live && !s.transient && strcmp(s.path, fullname) == 0) return &s;
  return nullptr;
}

bool held_file_place(const char *fullname, int *dir_fd, std::string *name) {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  Slot *s = live_slot_locked(fullname);
  if (!s) return false;
  *dir_fd = s->dir_fd;
  *name = s->name;
  return true;
}

int open_held_file(const char *fullname) {
  // The lock keeps the folder's descriptor open until the file is opened through it.
  std::lock_guard<std::mutex> guard(g_registry_lock);
  Slot *s = live_slot_locked(fullname);
  return openat(s ? s->dir_fd : AT_FDCWD, s ? s->name : fullname,
                O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

void release_held_file(const char *fullname) {
  Slot *slot = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    for (Slot &s : g_slots) {
      int expected = Live;
      if (!s.transient && s.path[0] && strcmp(s.path, fullname) == 0 &&
          s.state.compare_exchange_strong(expected, Busy)) {
        slot = &s;
        break;
      }
    }
  }
  if (!slot) return;  // not ours: never remove another's file
  // The file may have moved away (a saved document is renamed to its target) and
  // another file may have its name by now: only this very file is removed, and
  // removed while still locked.
  if (slot->visible) unlink_if_same(slot->dir_fd, slot->name, slot->dev, slot->ino);
  unlink_if_same(slot->marks_fd, slot->name, slot->dev, slot->ino);
  close(slot->lock_fd);
  close(slot->dir_fd);
  close(slot->marks_fd);
  free_slot(slot);
}

int hold_transient(int dir_fd, const char *name, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  Slot *slot = take_slot();
  if (!slot) return -1;
  slot->dir_fd = dir_fd;
  slot->marks_fd = -1;
  slot->lock_fd = fd;
  slot->visible = true;
  slot->transient = true;
  slot->dev = st.st_dev;
  slot->ino = st.st_ino;
  snprintf(slot->name, sizeof slot->name, "%s", name);
  slot->path[0] = '\0';
  slot->state.store(Live);
  return static_cast<int>(slot - g_slots);
}

void unhold_transient(int token) {
  if (token < 0 || token >= kMaxHeld) return;
  Slot *slot = &g_slots[token];
  int expected = Live;
  if (slot->transient && slot->state.compare_exchange_strong(expected, Busy)) free_slot(slot);
}

void sweep_helper_folder(const HelperFolder &f) {
  // A fresh open of the folder: a duplicate would share, and move, the reading offset.
  int dir = openat(f.marks, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *d = dir >= 0 ? fdopendir(dir) : nullptr;
  if (!d) {
    if (dir >= 0) close(dir);
    return;
  }
  std::vector<std::string> names;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  for (const std::string &name : names) {
    bool setup = name.compare(0, strlen(kSetupPrefix), kSetupPrefix) == 0;
    (void)reclaim_entry(f, name, setup ? kSetupAge : 0);
  }
}

void remove_all_held_files() {
  for (Slot &s : g_slots) {
    if (s.state.load() != Live) continue;
    if (s.visible) unlink_if_same(s.dir_fd, s.name, s.dev, s.ino);
    if (s.marks_fd >= 0) unlink_if_same(s.marks_fd, s.name, s.dev, s.ino);
  }
}
