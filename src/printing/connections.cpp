#include "printing/connections.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

// The address fd is connected to, as raw bytes; empty when it is not connected.
static std::string peer_of(int fd) {
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) return "";
  return std::string(reinterpret_cast<const char *>(&address),
                     std::min<size_t>(length, sizeof address));
}

std::vector<OpenSocket> open_sockets() {
  std::vector<OpenSocket> sockets;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return sockets;
  int own = dirfd(dir);
  while (struct dirent *entry = readdir(dir)) {
    char *end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    struct stat st;
    if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    sockets.push_back(OpenSocket{static_cast<int>(fd), st.st_dev, st.st_ino, ""});
  }
  closedir(dir);
  std::sort(sockets.begin(), sockets.end(),
            [](const OpenSocket &a, const OpenSocket &b) { return a.fd < b.fd; });
  return sockets;
}

std::vector<OpenSocket> sockets_opened_since(const std::vector<OpenSocket> &before) {
  std::vector<OpenSocket> opened;
  for (OpenSocket &now : open_sockets()) {
    bool known = std::any_of(before.begin(), before.end(), [&](const OpenSocket &old) {
      return old.dev == now.dev && old.ino == now.ino;
    });
    if (known) continue;
    now.peer = peer_of(now.fd);
    opened.push_back(now);
  }
  return opened;
}

std::vector<OpenSocket> sockets_still_open(const std::vector<OpenSocket> &sockets) {
  std::vector<OpenSocket> open;
  for (const OpenSocket &s : sockets) {
    struct stat st;
    // The same socket, not another one that took over a freed descriptor number.
    if (fstat(s.fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == s.dev && st.st_ino == s.ino)
      open.push_back(s);
  }
  return open;
}
