// The dialog section: the bracket around every dialog. The reader opens one around
// each dialog of its jobs; the main loop opens one for each message that comes later,
// when a job the print server had accepted fails after its dialog has gone. Only one
// section is open at a time, so the host always sees whole "removefullscreen" /
// "restorefullscreen" pairs, one per dialog.
#include <gtk/gtk.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "channel/host_output.h"
#include "channel/wire.h"
#include "ending.h"
#include "jobs/handlers.h"
#include "jobs/util.h"

// Serialises the reader's dialog sections; only they take it, always before anything
// else.
G_LOCK_DEFINE_STATIC(yes_or_no);

namespace {
struct LaterMessage {
  Message message;
  JobNumber report;  // reported with outcome once the message is gone; 0 for none
  Outcome outcome;
};

// Which section is open, so that the two kinds never overlap: the reader waits for a
// message of the main loop to be answered, and the main loop puts a message off while
// the reader's section is open. g_section_lock guards everything here; it is held only
// briefly, never while waiting for another lock (the reader waits on g_message_gone,
// which releases it).
std::mutex g_section_lock;
std::condition_variable g_message_gone;
bool g_reader_section = false;  // the reader's section is open
bool g_message_up = false;      // a message of the main loop is up
bool g_show_scheduled = false;  // show_next_message is queued on the main loop
std::deque<LaterMessage> g_later;
int g_later_output = -1;

// A message of the main loop that is up. Only the main loop touches it.
struct Showing {
  GtkWidget *dialog;
  JobNumber report;
  Outcome outcome;
  bool ended;
};

gboolean show_next_message(gpointer data);

// Has the main loop show the next waiting message, unless a section is open (its end
// comes back here). g_section_lock held.
void schedule_next_locked() {
  if (g_later.empty() || g_reader_section || g_message_up || g_show_scheduled) return;
  g_show_scheduled = true;
  gdk_threads_add_idle(show_next_message, nullptr);
}

// Ends the message's section on whatever answer it gets (a response of the person's,
// or of an ending helper, or the window's destruction by another client, in which case
// it is not destroyed again): the host gets "restorefullscreen", the job is reported,
// and the next section may open. Main loop, toolkit lock held.
void end_message(Showing *showing, bool destroyed) {
  if (showing->ended) return;
  showing->ended = true;
  JobNumber report = showing->report;
  Outcome outcome = showing->outcome;
  // The destruction frees showing (message_destroyed).
  if (!destroyed) gtk_widget_destroy(showing->dialog);
  gdk_flush();
  int output;
  {
    std::lock_guard<std::mutex> guard(g_section_lock);
    output = g_later_output;
  }
  restoreFullScreen(output);
  report_outcome(report, outcome);
  {
    std::lock_guard<std::mutex> guard(g_section_lock);
    g_message_up = false;
    schedule_next_locked();
  }
  g_message_gone.notify_all();
}

void message_answered(GtkDialog *dialog, gint response, gpointer data) {
  (void)dialog;
  (void)response;
  end_message(static_cast<Showing *>(data), false);
}

void message_destroyed(GtkWidget *dialog, gpointer data) {
  (void)dialog;
  Showing *showing = static_cast<Showing *>(data);
  end_message(showing, true);
  delete showing;
}

// Shows the first waiting message in a section of its own, unless a section is open
// (the reader's may be, even on this very thread, which runs the main loop inside the
// reader's dialog). An ending helper shows nothing more: those jobs get the outcome
// their message was to tell.
// Main loop, toolkit lock held (gdk_threads_add_idle).
gboolean show_next_message(gpointer data) {
  (void)data;
  LaterMessage next;
  int output;
  {
    std::lock_guard<std::mutex> guard(g_section_lock);
    g_show_scheduled = false;
    while (helper_ending() && !g_later.empty()) {
      report_outcome(g_later.front().report, g_later.front().outcome);
      g_later.pop_front();
    }
    if (g_later.empty() || g_reader_section || g_message_up) return FALSE;
    next = g_later.front();
    g_later.pop_front();
    g_message_up = true;
    output = g_later_output;
  }
  removeFullScreen(output);
  GtkWidget *dialog = make_message(nullptr, next.message);
  Showing *showing = new Showing{dialog, next.report, next.outcome, false};
  g_signal_connect(dialog, "response", G_CALLBACK(message_answered), showing);
  g_signal_connect(dialog, "destroy", G_CALLBACK(message_destroyed), showing);
  gtk_widget_show(dialog);
  return FALSE;
}
}  // namespace

void removeFullScreen(int pipe_to_write) { (void)send_block(pipe_to_write, kRemoveFullScreen); }

void restoreFullScreen(int pipe_to_write) { (void)send_block(pipe_to_write, kRestoreFullScreen); }

void dialog_section(int pipe_to_write, const std::function<void()> &dialog) {
  G_LOCK(yes_or_no);
  {
    std::unique_lock<std::mutex> guard(g_section_lock);
    g_message_gone.wait(guard, [] { return !g_message_up; });
    g_reader_section = true;
  }
  gdk_threads_enter();
  removeFullScreen(pipe_to_write);
  dialog();
  // Make sure the X server has taken the dialog down before the host covers the screen.
  gdk_flush();
  restoreFullScreen(pipe_to_write);
  gdk_threads_leave();
  {
    std::lock_guard<std::mutex> guard(g_section_lock);
    g_reader_section = false;
    schedule_next_locked();
  }
  G_UNLOCK(yes_or_no);
}

void set_message_output(int pipe_to_write) {
  std::lock_guard<std::mutex> guard(g_section_lock);
  g_later_output = pipe_to_write;
}

void show_message_later(const Message &m, JobNumber report, Outcome outcome) {
  std::lock_guard<std::mutex> guard(g_section_lock);
  g_later.push_back(LaterMessage{m, report, outcome});
  schedule_next_locked();
}
