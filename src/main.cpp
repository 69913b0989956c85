// vandrel: prints or saves the documents a host application sends on standard input.
// What runs at the same time (threads, locks, main-loop sources, signal handlers)
// and who may touch what: docs/design.md.
#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "channel/host_output.h"
#include "channel/reader.h"
#include "common/i18n.h"
#include "desktop/host_window.h"
#include "ending.h"

// Binds the text domain to its catalogs: the installed ones, or those under
// VANDREL_LOCALEDIR when it is set (the tests point it at the build tree's, whose
// binary is otherwise the one that gets installed). Main thread, before any text.
static void set_up_translations() {
  setlocale(LC_ALL, "");
  const char *dir = getenv("VANDREL_LOCALEDIR");
  bindtextdomain("vandrel", dir && *dir ? dir : VANDREL_LOCALEDIR);
  // The toolkit takes UTF-8 whatever the locale's own character set.
  bind_textdomain_codeset("vandrel", "UTF-8");
  textdomain("vandrel");
}

// What the command line asks of the program itself, before the toolkit sees it.
enum class OwnRequest { None, Version, Help };

// Looks for --version and the help options up to a "--"; every other argument is the
// toolkit's (today's toolkit ignores the help options, so nothing is taken from it).
static OwnRequest own_request(int argc, char *argv[]) {
  for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "--version") == 0) return OwnRequest::Version;
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "-?") == 0 ||
        strcmp(a, "--help-all") == 0 || strcmp(a, "--help-gtk") == 0)
      return OwnRequest::Help;
  }
  return OwnRequest::None;
}

// The usage line of a refused command line, on standard error.
static void usage_error(const char *why) {
  fprintf(stderr,
          "vandrel: %s\n"
          "usage: vandrel [--report] [--parent WID] [GTK options] | --version | --help\n",
          why);
}

// A window id as --parent takes it: decimal or 0x hex, nothing else around it.
static bool window_id(const char *text, unsigned long *id) {
  if (!text || !*text || *text == '-' || *text == '+') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || value == 0 || value > 0xFFFFFFFFull) return false;
  *id = static_cast<unsigned long>(value);
  return true;
}

// Parses the command line: the program's own options and the toolkit's, which are
// taken out of argv (the toolkit is initialised on the way, without a display). An
// option neither knows, or a bad value, gets the usage line on standard error and
// false, before anything is written on standard output. --parent becomes the
// process's named host window. Main thread, before any other thread exists.
static bool parse_command_line(int *argc, char ***argv) {
  gboolean report = FALSE;
  gchar *parent = nullptr;
  const GOptionEntry entries[] = {{"report", 0, 0, G_OPTION_ARG_NONE, &report, nullptr, nullptr},
                                  {"parent", 0, 0, G_OPTION_ARG_STRING, &parent, nullptr, nullptr},
                                  {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  GOptionContext *context = g_option_context_new(nullptr);
  g_option_context_set_help_enabled(context, FALSE);
  g_option_context_add_main_entries(context, entries, nullptr);
  g_option_context_add_group(context, gtk_get_option_group(FALSE));
  GError *error = nullptr;
  bool ok = g_option_context_parse(context, argc, argv, &error);
  g_option_context_free(context);
  if (!ok) {
    usage_error(error ? error->message : "cannot read the command line");
    g_clear_error(&error);
  }
  unsigned long id = 0;
  if (ok && parent && !window_id(parent, &id)) {
    std::string why = std::string("--parent ") + parent + ": not an X window id";
    usage_error(why.c_str());
    ok = false;
  }
  // The one way the desktop part takes a named window, for every dialog.
  if (ok && parent) setenv(kParentWindowVariable, parent, 1);
  g_free(parent);
  g_report_jobs = report;
  return ok;
}

// Prints the usage with the toolkit's own options on standard output. Opens no
// display: the options are only listed, never parsed.
static void print_help() {
  g_set_prgname("vandrel");
  static const GOptionEntry version_entry[] = {
      {"version", 0, 0, G_OPTION_ARG_NONE, nullptr, N_("Show the version and exit"), nullptr},
      {"report", 0, 0, G_OPTION_ARG_NONE, nullptr,
       N_("Send the host \"ready\", a report of each job's outcome and \"end\""), nullptr},
      {"parent", 0, 0, G_OPTION_ARG_STRING, nullptr,
       N_("Show the dialogs over the host's window WID (decimal or 0x hex)"), "WID"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  // TRANSLATORS: the two texts of "vandrel --help"; keep their lines under 80 columns.
  const char *summary =
      _("Prints and saves the documents that a host application sends. The host starts\n"
        "vandrel with pipes on its standard input and output; it is not run by hand.");
  const char *description =
      _("The manual page vandrel(1) (\"man vandrel\") describes the protocol and how to\n"
        "write a host.");
  GOptionContext *context = g_option_context_new(nullptr);
  g_option_context_set_summary(context, summary);
  g_option_context_set_description(context, description);
  g_option_context_add_main_entries(context, version_entry, "vandrel");
  g_option_context_add_group(context, gtk_get_option_group(FALSE));
  // Every group, the toolkit's included: its options are all the program takes.
  gchar *help = g_option_context_get_help(context, FALSE, nullptr);
  fputs(help, stdout);
  g_free(help);
  g_option_context_free(context);
}

// The host has not read what came before: the main loop writes the waiting blocks
// as the pipe takes them, so no thread ever waits for the host (host_output.h).
static gboolean output_writable(gint fd, GIOCondition condition, gpointer data) {
  (void)fd;
  (void)condition;
  (void)data;
  return output_drain() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

// Called by the output, on any thread, when blocks wait for room in the pipe.
static void watch_output(int fd) { g_unix_fd_add(fd, G_IO_OUT, output_writable, nullptr); }

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
  set_up_translations();
  OwnRequest request = own_request(argc, argv);
  if (request == OwnRequest::Version) {
    printf("vandrel %s\n", VANDREL_VERSION);
    return 0;
  }
  if (request == OwnRequest::Help) {
    print_help();
    return 0;
  }

  // The threading set-up is a no-op on current GLib, but older ones need it first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  g_thread_init(nullptr);
#pragma GCC diagnostic pop
  gdk_threads_init();
  gdk_threads_enter();
  if (!parse_command_line(&argc, &argv)) return 2;
  // The options are parsed already: this opens the display (or exits with status 1).
  gtk_init(&argc, &argv);
  install_ending();
  watch_for_being_alone();
  output_on_backlog(watch_output);

  static int thread_param = 0;
  pthread_t reader;
  pthread_create(&reader, nullptr, thread_fun, &thread_param);

  // Nothing asks the loop to quit; the host ends the process with a signal.
  gtk_main();
  gdk_threads_leave();
  return 0;
}
