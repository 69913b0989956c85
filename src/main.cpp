// vandrel: prints or saves the documents a host application sends on standard input.
#include <gtk/gtk.h>
#include <pthread.h>

#include "channel/reader.h"

int main(int argc, char *argv[]) {
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
