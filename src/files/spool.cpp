#include "files/spool.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
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

#include "common/i18n.h"
#include "common/io.h"
#include "common/log_text.h"
#include "files/held_files.h"

std::string home_folder() {
  const char *home = getenv("HOME");
  if (home && *home) return home;
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "";
}

// The person's folder for spool files: ~/VANDREL.
static std::string person_spool_folder(const char *homedir) {
  return homedir && *homedir ? std::string(homedir) + "/" + kSpoolFolder : std::string();
}

// The private folders of the helper's own, in the order they are tried: under
// $XDG_RUNTIME_DIR (only for spool files, with want_runtime: it is small and in
// memory), under TMPDIR, and under /tmp.
static std::vector<std::string> own_folders(bool want_runtime) {
  std::vector<std::string> folders;
  const char *runtime = getenv("XDG_RUNTIME_DIR");
  if (want_runtime && runtime && *runtime) folders.push_back(std::string(runtime) + "/vandrel");
  std::string own = "vandrel-" + std::to_string(geteuid());
  const char *tmpdir = getenv("TMPDIR");
  if (tmpdir && *tmpdir) folders.push_back(std::string(tmpdir) + "/" + own);
  if (folders.empty() || folders.back() != "/tmp/" + own) folders.push_back("/tmp/" + own);
  return folders;
}

bool spool_folder(const char *homedir, HelperFolder *out) {
  std::string person = person_spool_folder(homedir);
  std::string why = "cannot be made: there is no home folder";
  if (!person.empty() && open_helper_folder(person, true, out, &why)) return true;
  for (const std::string &own : own_folders(true)) {
    std::string own_why;
    if (!open_helper_folder(own, true, out, &own_why)) continue;
    // The person's file or link at ~/VANDREL stays as it is; the job goes on here.
    fprintf(stderr, "vandrel: %s %s; the document waits in %s instead\n",
            person.empty() ? "the spool folder" : log_text(person).c_str(), why.c_str(),
            log_text(own).c_str());
    fflush(stderr);
    return true;
  }
  fprintf(stderr, "vandrel: %s %s, and no private folder of our own can be made\n",
          person.empty() ? "the spool folder" : log_text(person).c_str(), why.c_str());
  errno = EACCES;
  return false;
}

int spool_create(const char *homedir, const char *fname2, char fullname[kTextSize]) {
  fullname[0] = '\0';
  char component[kTextSize];
  spool_component(fname2, component);
  HelperFolder folder;
  if (!spool_folder(homedir, &folder)) return -1;
  int fd = -1;
  if (folder.path.size() + 1 + strlen(component) > kTextSize - 1) {
    errno = ENAMETOOLONG;
  } else {
    sweep_helper_folder(folder);
    fd = hold_new_file(folder, component, fullname);
  }
  int saved = errno;
  close_helper_folder(&folder);
  errno = saved;
  return fd;
}

// What a document to save adds to its folder's path: "/.vandrel-held/held-" and
// its random letters, with room to spare.
constexpr size_t kHiddenPathRoom = 32;

// The places a document to save may wait in, best first: the person's spool folder
// (usually on the file system of their documents, so that a save there is a rename),
// then the private folders of our own.
static std::vector<std::string> temp_places(const char *homedir) {
  std::vector<std::string> places;
  std::string person = person_spool_folder(homedir);
  if (!person.empty()) places.push_back(person);
  for (const std::string &own : own_folders(false)) places.push_back(own);
  return places;
}

int temp_create_after(const char *homedir, const char *failed, char fullname[kTextSize]) {
  fullname[0] = '\0';
  std::vector<std::string> places = temp_places(homedir);
  size_t first = 0;
  if (failed && *failed) {
    // Only the places after the one whose file could not be written.
    first = places.size();
    for (size_t i = 0; i < places.size(); ++i)
      if (std::string(failed).compare(0, places[i].size() + 1, places[i] + "/") == 0) first = i + 1;
  }
  for (size_t i = first; i < places.size(); ++i) {
    HelperFolder folder;
    std::string why;
    if (places[i].size() + kHiddenPathRoom > kTextSize ||
        !open_helper_folder(places[i], true, &folder, &why))
      continue;
    sweep_helper_folder(folder);
    int fd = hold_new_file(folder, nullptr, fullname);
    close_helper_folder(&folder);
    if (fd >= 0) return fd;
  }
  // No folder takes it: the document stays in memory.
  return memfd_create("vandrel-document", MFD_CLOEXEC);
}

int temp_create(const char *homedir, char fullname[kTextSize]) {
  return temp_create_after(homedir, nullptr, fullname);
}

void spool_remove(const char *fullname) { release_held_file(fullname); }

void sweep_leftovers(const char *homedir) {
  std::vector<std::string> folders = own_folders(true);
  std::string person = person_spool_folder(homedir);
  if (!person.empty()) folders.insert(folders.begin(), person);
  for (const std::string &path : folders) {
    HelperFolder folder;
    std::string why;
    // Only folders that are there already; an unusable one is never swept.
    if (!open_helper_folder(path, false, &folder, &why)) continue;
    sweep_helper_folder(folder);
    close_helper_folder(&folder);
  }
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

int store_relocate(const void *data, Command command, int fd, size_t written,
                   char path[kTextSize]) {
  if (command != Command::SendFile || !path[0]) {
    errno = ENOSPC;
    return -1;
  }
  const char *homedir = static_cast<const char *>(data);
  std::string failed = path;
  for (;;) {
    char next[kTextSize];
    int to = temp_create_after(homedir, failed.c_str(), next);
    if (to < 0) return -1;
    if (copy_bytes(fd, to, written)) {
      close(fd);
      spool_remove(path);
      memcpy(path, next, kTextSize);
      return to;
    }
    // This place is full too: on to the next one (in the end, memory).
    close(to);
    spool_remove(next);
    if (!next[0]) return -1;
    failed = next;
  }
}
