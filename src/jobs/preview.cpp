// Print Preview: the document shown in the desktop's viewer while the print dialog
// waits for the person. Only documents a viewer shows are opened, told from their
// bytes; the viewer gets a private, read-only copy of its own, so printing or
// cancelling goes on without pulling the file from under it, kept until the viewer
// can no longer need it.
#include "jobs/preview.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/io.h"
#include "common/log_text.h"
#include "files/document_kind.h"
#include "files/held_files.h"
#include "files/names.h"
#include "jobs/texts.h"
#include "jobs/util.h"

namespace {

// Why a preview was not shown, in English for standard error and in the person's
// language for the message.
struct Why {
  std::string log, shown;
};

// Fills why from a message text with one %s, for the desktop's description of
// content_type.
void describe(Why *why, const char *text, const char *content_type) {
  char *description = g_content_type_get_description(content_type);
  why->log = fill_in(text, description);
  why->shown = fill_in(_(text), description);
  g_free(description);
}

// The name of the viewer's copy: the spool file's name without its extension,
// marked as a preview, with the extension of the kind its bytes show.
std::string copy_name(const char *file, const char *extension) {
  char *b = g_path_get_basename(file);
  std::string base = b;
  g_free(b);
  base.erase(extension_start(base));
  return fit_file_name(base + " (preview)" + extension, "", kMaxFileName);
}

// Makes the viewer's copy of the document open as src, in the spool file's folder:
// held like a spool file, read-only. Returns its path, or "" with errno set.
std::string make_copy(const char *file, int src, const char *extension) {
  char *folder_path = g_path_get_dirname(file);
  HelperFolder folder;
  std::string why, path;
  if (open_helper_folder(folder_path, false, &folder, &why)) {
    char copy[kTextSize];
    int out = hold_new_file(folder, copy_name(file, extension).c_str(), copy);
    close_helper_folder(&folder);
    struct stat st;
    bool ok = out >= 0 && fstat(src, &st) == 0 &&
              copy_bytes(src, out, static_cast<size_t>(st.st_size)) && fchmod(out, 0400) == 0;
    int saved = errno;
    if (out >= 0) close(out);
    if (ok)
      path = copy;
    else if (out >= 0)
      release_held_file(copy);
    errno = saved;
  } else {
    errno = EACCES;
  }
  g_free(folder_path);
  return path;
}

// How long a viewer's copy stays after the print dialog it was made for has closed.
// Many viewers (image viewers, editors, browsers) are started through a launcher that
// hands the file to a running instance and exits at once; the instance opens the file
// a moment later, so the launcher's exit says nothing. A handed-over file is opened
// within a second or two, even on a busy machine.
constexpr guint kPreviewKeepSeconds = 20;
// The most viewers' copies kept at once; making one more lets the oldest go.
constexpr size_t kMaxPreviewCopies = 8;

// A viewer's copy, until it goes: when the process started for it has exited and its
// dialog has been closed kPreviewKeepSeconds ago.
struct PreviewCopy {
  std::string path;
  bool viewer_running = true;  // also for a viewer that is not our process
  gint64 keep_until = 0;       // 0 while its dialog is open
};
// The copies kept, oldest first; g_copies_lock guards them (the reader makes copies,
// the main loop lets them go).
std::mutex g_copies_lock;
std::vector<PreviewCopy> g_copies;

// Lets go the copies nobody can still need. g_copies_lock held.
void release_unneeded_locked() {
  gint64 now = g_get_monotonic_time();
  for (auto it = g_copies.begin(); it != g_copies.end();) {
    if (!it->viewer_running && it->keep_until != 0 && now >= it->keep_until) {
      release_held_file(it->path.c_str());
      it = g_copies.erase(it);
    } else {
      ++it;
    }
  }
}

// Keeps the new copy path, letting the oldest go when there are too many. Reader thread.
void keep_copy(const std::string &path) {
  std::lock_guard<std::mutex> guard(g_copies_lock);
  if (g_copies.size() >= kMaxPreviewCopies) {
    release_held_file(g_copies.front().path.c_str());
    g_copies.erase(g_copies.begin());
  }
  PreviewCopy copy;
  copy.path = path;
  g_copies.push_back(copy);
}

// The copy path has done with something (its viewer, or its dialog, as note says);
// whatever is no longer needed goes.
void copy_done_with(const char *path, void (*note)(PreviewCopy *)) {
  std::lock_guard<std::mutex> guard(g_copies_lock);
  for (PreviewCopy &copy : g_copies)
    if (copy.path == path) note(&copy);
  release_unneeded_locked();
}

gboolean sweep_copies(gpointer data) {
  (void)data;
  std::lock_guard<std::mutex> guard(g_copies_lock);
  release_unneeded_locked();
  return FALSE;
}

// The viewer's process has exited. Main loop; touches no toolkit object.
void viewer_ended(GPid pid, gint status, gpointer data) {
  (void)status;
  g_spawn_close_pid(pid);
  char *copy = static_cast<char *>(data);
  copy_done_with(copy, [](PreviewCopy *c) { c->viewer_running = false; });
  g_free(copy);
}

// The print dialog the copy was made for has gone: it is kept a while longer, for a
// viewer that is only now opening it. Whichever thread destroys the dialog.
void dialog_gone(GtkWidget *dialog, gpointer data) {
  (void)dialog;
  copy_done_with(static_cast<char *>(data), [](PreviewCopy *c) {
    c->keep_until = g_get_monotonic_time() + gint64{kPreviewKeepSeconds} * G_USEC_PER_SEC;
  });
  g_timeout_add_seconds(kPreviewKeepSeconds + 1, sweep_copies, nullptr);
}

void note_pid(GDesktopAppInfo *app, GPid pid, gpointer data) {
  (void)app;
  *static_cast<GPid *>(data) = pid;
}

// Opens a copy of the spool file `file` in the desktop's default application for
// the kind its bytes show, with its standard output on our standard error and its
// standard input on /dev/null (the host's pipes are not for it). Returns false when
// the kind is not one that is previewed, there is no such application or it cannot
// be started, with *why saying so. The copy stays until the viewer's process has
// exited and dialog has been closed kPreviewKeepSeconds ago, or until the helper ends.
// Reader thread, toolkit lock held.
bool open_preview(GtkWidget *dialog, const char *file, Why *why) {
  int src = open_held_file(file);
  unsigned char head[kSniffBytes];
  ssize_t n = src >= 0 ? pread(src, head, sizeof head, 0) : -1;
  if (n < 0) {
    int err = errno;
    why->log = log_strerror(err);
    why->shown = strerror(err);
    if (src >= 0) close(src);
    return false;
  }
  DocumentKind kind = sniff_document(head, static_cast<size_t>(n));
  GAppInfo *app =
      kind.content_type ? g_app_info_get_default_for_type(kind.content_type, FALSE) : nullptr;
  bool opened = false;
  if (kind.format == DocumentFormat::Other) {
    char *guessed = g_content_type_guess(nullptr, head, static_cast<gsize>(n), nullptr);
    describe(why, kNotShownText, guessed);
    g_free(guessed);
  } else if (!app || !G_IS_DESKTOP_APP_INFO(app)) {
    describe(why, kNoViewerText, kind.content_type);
  } else {
    std::string copy = make_copy(file, src, kind.extension);
    if (copy.empty()) {
      why->log = log_strerror(errno);
      why->shown = strerror(errno);
    } else {
      char *uri = g_filename_to_uri(copy.c_str(), nullptr, nullptr);
      GList *uris = g_list_append(nullptr, uri);
      int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
      GPid pid = 0;
      GError *error = nullptr;
      opened = g_desktop_app_info_launch_uris_as_manager_with_fds(
          G_DESKTOP_APP_INFO(app), uris, nullptr,
          static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
          nullptr, note_pid, &pid, devnull, 2, 2, &error);
      if (!opened) {
        why->log = why->shown = error->message;
        g_clear_error(&error);
        release_held_file(copy.c_str());
      } else {
        keep_copy(copy);
        g_signal_connect_data(
            dialog, "destroy", G_CALLBACK(dialog_gone), g_strdup(copy.c_str()),
            [](gpointer p, GClosure *) { g_free(p); }, GConnectFlags(0));
        // A viewer started by the session bus has no process of ours to wait for: its
        // copy stays until the helper ends, or more copies are made.
        if (pid > 0) g_child_watch_add(pid, viewer_ended, g_strdup(copy.c_str()));
      }
      if (devnull >= 0) close(devnull);
      g_list_free(uris);
      g_free(uri);
    }
  }
  if (app) g_object_unref(app);
  close(src);
  return opened;
}
}  // namespace

void show_preview(GtkWindow *parent, const char *file) {
  Why why;
  if (open_preview(GTK_WIDGET(parent), file, &why)) return;
  fprintf(stderr, "vandrel: cannot preview %s: %s\n", log_text(file).c_str(),
          log_text(why.log).c_str());
  Message m;
  m.type = GTK_MESSAGE_INFO;
  m.title = _(kPreviewTitle);
  m.text = _(kNoPreviewText);
  m.detail = why.shown;
  (void)show_message(parent, m);
}
