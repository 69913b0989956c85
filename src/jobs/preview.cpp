// Print Preview: the document shown in the desktop's viewer while the print dialog
// waits for the person.
#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "jobs/handlers.h"
#include "jobs/host_window.h"

namespace {
constexpr char kPreviewTitle[] = N_("Print Preview");
constexpr char kNoPreviewText[] = N_("The document cannot be previewed.");
// TRANSLATORS: %s is the kind of document, as the desktop describes it ("PDF document").
constexpr char kNoViewerText[] = N_("No application is set up to open files of the type \"%s\".");
}  // namespace

// Opens file in the desktop's default application for its content type, with its
// standard output on our standard error and its standard input on /dev/null (the
// host's pipes are not for it). Returns false when there is no such application or
// it cannot be started, with *why saying so in English (for standard error) and
// *why_shown in the person's language. Reader thread, toolkit lock held.
static bool open_preview(const char *file, std::string *why, std::string *why_shown) {
  GFile *gfile = g_file_new_for_path(file);
  GError *error = nullptr;
  GFileInfo *info = g_file_query_info(gfile, G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                      G_FILE_QUERY_INFO_NONE, nullptr, &error);
  bool opened = false;
  if (!info) {
    *why = *why_shown = error->message;
  } else {
    const char *type = g_file_info_get_content_type(info);
    GAppInfo *app = type ? g_app_info_get_default_for_type(type, FALSE) : nullptr;
    if (!app || !G_IS_DESKTOP_APP_INFO(app)) {
      char *description = g_content_type_get_description(type ? type : "application/octet-stream");
      char *english = g_strdup_printf(kNoViewerText, description);
      char *shown = g_strdup_printf(_(kNoViewerText), description);
      *why = english;
      *why_shown = shown;
      g_free(english);
      g_free(shown);
      g_free(description);
    } else {
      char *uri = g_file_get_uri(gfile);
      GList *uris = g_list_append(nullptr, uri);
      int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
      opened = g_desktop_app_info_launch_uris_as_manager_with_fds(
          G_DESKTOP_APP_INFO(app), uris, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
          nullptr, devnull, 2, 2, &error);
      if (!opened) *why = *why_shown = error->message;
      if (devnull >= 0) close(devnull);
      g_list_free(uris);
      g_free(uri);
    }
    if (app) g_object_unref(app);
    g_object_unref(info);
  }
  g_clear_error(&error);
  g_object_unref(gfile);
  return opened;
}

// Shows file for the Preview button; when that cannot be done, says why in a message
// over parent. The spool file stays: the job goes on in the dialog.
void show_preview(GtkWindow *parent, const char *file) {
  std::string why, why_shown;
  if (open_preview(file, &why, &why_shown)) return;
  fprintf(stderr, "vandrel: cannot preview %s: %s\n", log_text(file).c_str(),
          log_text(why).c_str());
  GtkWidget *message =
      gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO,
                             GTK_BUTTONS_OK, "%s", _(kNoPreviewText));
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(message), "%s", why_shown.c_str());
  gtk_window_set_title(GTK_WINDOW(message), _(kPreviewTitle));
  attach_to_host(message);
  (void)run_dialog(message);
  end_dialog(message);
}
