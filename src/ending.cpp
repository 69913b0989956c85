#include "ending.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "channel/host_output.h"
#include "channel/reader.h"
#include "common/io.h"
#include "files/held_files.h"
#include "files/save_target.h"
#include "printing/lp.h"

namespace {
// The signal the helper is ending for; 0 while it is not ending.
std::atomic<int> g_ending{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
// Wakes the main loop for the ending; written by request_ending.
int g_end_pipe[2] = {-1, -1};
// How long confirmed print jobs get, all together, to be handed to the print server:
// a large document reaches a local print server in a few seconds.
constexpr gint64 kHandOverSeconds = 30;
// How often the ending looks whether the reader has stopped and the jobs are handed
// over: often enough that a helper with nothing to wait for ends at once.
constexpr guint kSettleLookMs = 50;
// How long the last blocks (reports, "end", "restorefullscreen") may wait for a host
// that does not read: one that reads at all takes them within milliseconds.
constexpr int kLastBlocksMs = 2000;
// The backstop, for a main loop that cannot get on at all: the hand-over's time, the
// last blocks' time and a little more.
constexpr unsigned kBackstopSeconds = kHandOverSeconds + kLastBlocksMs / 1000 + 3;
gint64 g_ending_since = 0;
// How much I/O had been done (io_progress) when the backstop was last armed: a save
// that has moved on since is slow, not stuck, and is let finish.
std::atomic<unsigned long> g_progress_seen{0};
static_assert(std::atomic<unsigned long>::is_always_lock_free, "read from a signal handler");

// The "signal" of a helper that ends because it is alone: it exits with status 0.
constexpr int kAlone = -1;
// How often a helper looks whether it is alone.
constexpr guint kAloneLookSeconds = 1;
// The process that started us, as it was at start.
pid_t g_starter = 0;

// The end itself: the files go, then the process, as the signal would have ended it.
// Async-signal-safe.
[[noreturn]] void end_now(int sig) {
  stop_print_command();
  // The host is never left out of full-screen, nor without its reports and "end", even
  // by a helper that cannot finish.
  output_last_words_at_once();
  remove_all_held_files();
  if (sig == kAlone) _exit(0);
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // a signal that did not end us (SIGPIPE while ignored elsewhere, say)
}

void on_stop_signal(int sig) { request_ending(sig); }

// The backstop: a helper whose main loop cannot get on ends when its time is up. A
// save under way holds the toolkit's lock, and so the main loop, while it writes: one
// that has moved on since the backstop was armed gets as long again, so it finishes
// (or fails and takes its copy away) and the host gets its "restorefullscreen" and its
// reports; one that has not moved at all is as stuck as a main loop and ends with it,
// its unfinished copy removed with the other files.
void on_alarm(int sig) {
  (void)sig;
  unsigned long progress = io_progress();
  if (save_under_way() && progress != g_progress_seen.load()) {
    g_progress_seen.store(progress);
    alarm(kBackstopSeconds);
    return;
  }
  end_now(g_ending.load());
}

// Waits on the main loop until the reader has stopped and every confirmed print job
// has been handed over, or the time is up, then ends. Runs with the toolkit's lock.
gboolean ending_settled(gpointer data) {
  (void)data;
  bool handed_over = output_reader_finished() && jobs_not_handed_over() == 0;
  bool late = g_get_monotonic_time() - g_ending_since > kHandOverSeconds * G_USEC_PER_SEC;
  if (!handed_over && !late) return TRUE;
  // A print command still without an answer from the print server goes with us.
  stop_print_command();
  // A message that came from the main loop meanwhile has had no answer.
  output_restore_fullscreen();
  output_settle_pending();
  (void)output_flush(kLastBlocksMs);
  fflush(stderr);
  end_now(g_ending.load());
}

// The ending, on the main loop: every dialog is answered as if cancelled (the print
// and save dialogs, their messages, the toolkit's own questions inside them), then
// ending_settled waits. Main loop, without the toolkit's lock.
gboolean ending_requested(gint fd, GIOCondition condition, gpointer data) {
  (void)condition;
  (void)data;
  char drain[64];
  while (read(fd, drain, sizeof drain) > 0) {
  }
  // Before the toolkit's lock, which a save that cannot get on may hold for good.
  output_keep_last_words();
  gdk_threads_enter();
  g_ending_since = g_get_monotonic_time();
  GList *windows = gtk_window_list_toplevels();
  for (GList *w = windows; w; w = w->next)
    if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
      gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_DELETE_EVENT);
  g_list_free(windows);
  gdk_threads_add_timeout(kSettleLookMs, ending_settled, nullptr);
  gdk_threads_leave();
  return FALSE;
}

// The X display has gone (a logout, say): the toolkit can do nothing more, so the
// helper ends now, as the toolkit would, but without leaving its files, with the host
// asked to return to full-screen if a dialog had it leave, and with every job
// reported: a document the print command is handing to the print server gets its
// time to arrive (it needs no display), the job whose dialog was up is failed, and
// "end" follows. Runs wherever the toolkit found the display gone (the main loop, or
// the reader's dialog), with its lock held; it never returns.
int display_gone(Display *display) {
  (void)display;
  fprintf(stderr, "vandrel: the X display went away\n");
  fflush(stderr);
  int expected = 0;
  (void)g_ending.compare_exchange_strong(expected, SIGHUP);
  reader_stop();
  alarm(kBackstopSeconds);
  gint64 until = g_get_monotonic_time() + kHandOverSeconds * G_USEC_PER_SEC;
  while (print_command_running() && g_get_monotonic_time() < until) g_usleep(kSettleLookMs * 1000);
  stop_print_command();
  output_restore_fullscreen();
  output_settle_pending();
  (void)output_flush(kLastBlocksMs);
  remove_all_held_files();
  fflush(stderr);
  _exit(1);
}

// The host has closed its end of our output: nobody sees what we would show.
void output_broken() {
  // A helper ending because it is alone knows nobody reads: it still ends with status 0.
  if (g_ending.load() == kAlone) return;
  request_ending(SIGPIPE);
}

// Whether the helper is alone (see watch_for_being_alone), and if so its ending.
// Main loop, with the toolkit's lock.
gboolean look_whether_alone(gpointer data) {
  (void)data;
  if (helper_ending()) return FALSE;
  if (!output_reader_finished() || jobs_not_handed_over() != 0) return TRUE;
  bool starter_gone = g_starter > 1 && getppid() != g_starter;
  bool unread = output_host_gone();
  if (!starter_gone && !unread) return TRUE;
  fprintf(stderr, "vandrel: ending: reading has stopped and %s\n",
          starter_gone ? "the process that started it is gone" : "nobody reads its output");
  request_ending(kAlone);
  return FALSE;
}
}  // namespace

void watch_for_being_alone() {
  g_starter = getppid();
  gdk_threads_add_timeout_seconds(kAloneLookSeconds, look_whether_alone, nullptr);
}

void request_ending(int sig) {
  int expected = 0;
  if (!g_ending.compare_exchange_strong(expected, sig)) end_now(sig);
  reader_stop();
  g_progress_seen.store(io_progress());
  alarm(kBackstopSeconds);
  if (g_end_pipe[1] >= 0) {
    ssize_t ignored = write(g_end_pipe[1], "", 1);
    (void)ignored;
  }
}

bool helper_ending() { return g_ending.load() != 0; }

void install_ending() {
  if (pipe2(g_end_pipe, O_CLOEXEC | O_NONBLOCK) == 0)
    g_unix_fd_add(g_end_pipe[0], G_IO_IN, ending_requested, nullptr);
  struct sigaction sa = {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = on_stop_signal;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, nullptr);
  XSetIOErrorHandler(display_gone);
  output_on_broken(output_broken);
}
