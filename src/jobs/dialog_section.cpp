#include "channel/host_output.h"
#include "channel/wire.h"
#include "jobs/handlers.h"

// Serialises dialogs; only dialog sections take it, always before the toolkit's lock.
G_LOCK_DEFINE_STATIC(yes_or_no);

void removeFullScreen(int pipe_to_write) { (void)send_block(pipe_to_write, kRemoveFullScreen); }

void restoreFullScreen(int pipe_to_write) { (void)send_block(pipe_to_write, kRestoreFullScreen); }

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
