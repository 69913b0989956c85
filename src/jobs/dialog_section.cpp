#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "channel/wire.h"
#include "jobs/handlers.h"

// Serialises dialogs; only dialog sections take it, always before the toolkit's lock.
G_LOCK_DEFINE_STATIC(yes_or_no);

// Writes the whole block. A pipe takes up to 4096 bytes at once, so the host never
// sees half a message; a write interrupted by a signal is tried again, and a host
// whose end is non-blocking and momentarily full is waited for, since a lost message
// would leave the host out of full-screen for good. Reader thread.
static void send_control_message(int pipe_to_write, const char *word) {
  unsigned char block[kControlMessageSize];
  make_control_message(word, block);
  size_t sent = 0;
  while (sent < sizeof block) {
    ssize_t n = write(pipe_to_write, block + sent, sizeof block - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pfd = {pipe_to_write, POLLOUT, 0};
      (void)poll(&pfd, 1, -1);
    } else if (!(n < 0 && errno == EINTR)) {
      return;  // the host has gone; nothing more can reach it
    }
  }
}

void removeFullScreen(int pipe_to_write) { send_control_message(pipe_to_write, kRemoveFullScreen); }

void restoreFullScreen(int pipe_to_write) {
  send_control_message(pipe_to_write, kRestoreFullScreen);
}

void dialog_section(int pipe_to_write, const std::function<void()> &dialog) {
  G_LOCK(yes_or_no);
  gdk_threads_enter();
  removeFullScreen(pipe_to_write);
  dialog();
  // Make sure the X server has taken the dialog down before the host covers the screen.
  gdk_flush();
  restoreFullScreen(pipe_to_write);
  gdk_threads_leave();
  G_UNLOCK(yes_or_no);
}
