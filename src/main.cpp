// vandrel: prints or saves the documents a host application sends on standard input.
#include <fcntl.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <pthread.h>

#include "channel/reader.h"

// A host may start us with any of descriptors 0, 1 and 2 closed. The next file
// opened would then take that number: the toolkit's X connection as "standard error"
// would get the trace lines written into it. /dev/null fills each gap first.
static void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

int main(int argc, char *argv[]) {
  fill_standard_descriptors();
  // The threading set-up is a no-op on current GLib, but older ones need it first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  g_thread_init(nullptr);
#pragma GCC diagnostic pop
  gdk_threads_init();
  gdk_threads_enter();
  gtk_init(&argc, &argv);

  static int thread_param = 0;
  pthread_t reader;
  pthread_create(&reader, nullptr, thread_fun, &thread_param);

  // Nothing asks the loop to quit; the host ends the process with a signal.
  gtk_main();
  gdk_threads_leave();
  return 0;
}
