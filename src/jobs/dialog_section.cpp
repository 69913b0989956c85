#include <deque>
#include <mutex>
#include <string>

#include "channel/host_output.h"
#include "channel/wire.h"
#include "desktop/host_window.h"
#include "ending.h"
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

// ---- messages that come later, from the main loop -----------------------------

namespace {
struct LaterMessage {
  std::string title, text, detail;
  JobNumber report;  // reported Failed once the message is gone; 0 for none
};

// Guards the queue; taken only briefly, never while waiting for another lock.
std::mutex g_later_lock;
std::deque<LaterMessage> g_later;
bool g_later_scheduled = false;
int g_later_output = -1;

// The message on show, if any. Only the UI thread's main loop touches these.
struct Showing {
  GtkWidget *window;
  GtkWidget *dialog;
  JobNumber report;
  bool ended;
};
Showing *g_showing = nullptr;
}  // namespace

void set_message_output(int pipe_to_write) {
  std::lock_guard<std::mutex> guard(g_later_lock);
  g_later_output = pipe_to_write;
}

// Ends the message's section on whatever answer it gets (a response of the person's, or
// of an ending helper, or the window's destruction by another client): the message goes,
// the host gets "restorefullscreen", the dialog lock is released by the thread that
// took it, and the job is reported.
static void end_message(Showing *showing) {
  if (showing->ended) return;
  showing->ended = true;
  g_showing = nullptr;
  gtk_widget_destroy(showing->window);  // takes the dialog with it
  gdk_flush();
  int output;
  {
    std::lock_guard<std::mutex> guard(g_later_lock);
    output = g_later_output;
  }
  restoreFullScreen(output);
  G_UNLOCK(yes_or_no);
  report_outcome(showing->report, Outcome::Failed);
  delete showing;
}

static void message_answered(GtkDialog *dialog, gint response, gpointer data) {
  (void)dialog;
  (void)response;
  end_message(static_cast<Showing *>(data));
}

static void message_destroyed(GtkWidget *dialog, gpointer data) {
  (void)dialog;
  end_message(static_cast<Showing *>(data));
}

// Shows the first queued message once no other dialog is up: it tries the dialog lock
// and comes back later while a dialog section holds it, since the UI thread must never
// wait for a lock the reader may hold while it waits for the toolkit's. It goes on
// coming back while more messages wait. Main loop, with the toolkit's lock
// (gdk_threads_add_timeout).
static gboolean show_next_message(gpointer data) {
  (void)data;
  if (g_showing) return TRUE;
  LaterMessage next;
  int output;
  bool more;
  {
    std::lock_guard<std::mutex> guard(g_later_lock);
    // An ending helper shows nothing more; the jobs were not printed.
    while (helper_ending() && !g_later.empty()) {
      report_outcome(g_later.front().report, Outcome::Failed);
      g_later.pop_front();
    }
    if (g_later.empty()) {
      g_later_scheduled = false;
      return FALSE;
    }
    if (!G_TRYLOCK(yes_or_no)) return TRUE;
    next = g_later.front();
    g_later.pop_front();
    output = g_later_output;
    more = !g_later.empty();
    g_later_scheduled = more;
  }
  removeFullScreen(output);
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget *dialog =
      gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_ERROR,
                             GTK_BUTTONS_OK, "%s", next.text.c_str());
  if (!next.detail.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", next.detail.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), next.title.c_str());
  attach_to_host(dialog);
  g_showing = new Showing{window, dialog, next.report, false};
  g_signal_connect(dialog, "response", G_CALLBACK(message_answered), g_showing);
  g_signal_connect(dialog, "destroy", G_CALLBACK(message_destroyed), g_showing);
  gtk_widget_show(dialog);
  return more ? TRUE : FALSE;
}

void show_message_later(const std::string &title, const std::string &text,
                        const std::string &detail, JobNumber report) {
  std::lock_guard<std::mutex> guard(g_later_lock);
  g_later.push_back(LaterMessage{title, text, detail, report});
  if (g_later_scheduled) return;
  g_later_scheduled = true;
  gdk_threads_add_timeout(100, show_next_message, nullptr);
}
