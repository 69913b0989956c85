// Print Preview: the document shown in the desktop's viewer while the print dialog
// waits for the person. Only documents a viewer shows are opened, told from their
// bytes; the viewer gets a private, read-only copy of its own, so printing or
// cancelling goes on without pulling the file from under it.
#include "jobs/preview.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

// The viewer has exited: its copy goes. Main loop; touches no toolkit object.
void viewer_ended(GPid pid, gint status, gpointer data) {
  (void)status;
  g_spawn_close_pid(pid);
  char *copy = static_cast<char *>(data);
  release_held_file(copy);
  g_free(copy);
}

void note_pid(GDesktopAppInfo *app, GPid pid, gpointer data) {
  (void)app;
  *static_cast<GPid *>(data) = pid;
}

// Opens a copy of the spool file `file` in the desktop's default application for
// the kind its bytes show, with its standard output on our standard error and its
// standard input on /dev/null (the host's pipes are not for it). Returns false when
// the kind is not one that is previewed, there is no such application or it cannot
// be started, with *why saying so. Reader thread, toolkit lock held.
bool open_preview(const char *file, Why *why) {
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
      } else if (pid > 0) {
        g_child_watch_add(pid, viewer_ended, g_strdup(copy.c_str()));
      }
      // A viewer started by the session bus has no process of ours to wait for: its
      // copy stays until the helper ends.
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
  if (open_preview(file, &why)) return;
  fprintf(stderr, "vandrel: cannot preview %s: %s\n", log_text(file).c_str(),
          log_text(why.log).c_str());
  Message m;
  m.type = GTK_MESSAGE_INFO;
  m.title = _(kPreviewTitle);
  m.text = _(kNoPreviewText);
  m.detail = why.shown;
  (void)show_message(parent, m);
}
