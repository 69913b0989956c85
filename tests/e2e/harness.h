// The host's side of the end-to-end tests: a private X server and print server,
// the real helper on real pipes, and dialogs answered with real key presses.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/frames.h"

using namespace std::chrono_literals;
using Seconds = std::chrono::seconds;

// Generous: the machine may be busy; a test waits this long before it gives up.
constexpr Seconds kDeadline{90};

// A fresh folder under /tmp, removed with everything in it.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
};

// Runs argv and returns what it wrote on standard output; *status gets the exit
// status (or -1). Standard error goes to ours.
std::string run(const std::vector<std::string> &argv, int *status = nullptr);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &contents);
bool file_exists(const std::string &path);
// The names in a folder, sorted; empty when it does not exist. A helper folder's marks
// folder is listed only by the marks that stand alone (documents to save, or marks
// left behind), as ".vandrel-held/NAME": a mark beside its file is part of that file.
std::vector<std::string> list_dir(const std::string &path);
// A folder "shared" in dir as /tmp is: world-writable, sticky, owned by another user
// (uid 65533); "" when it cannot be made.
std::string shared_folder(const TempDir &dir);

// The private servers every end-to-end test shares (started once per test program).
struct Servers {
  std::string display;      // ":N" of the private X server
  std::string cups_dir;     // the print server's folder
  std::string cups_server;  // CUPS_SERVER for clients
  // The window manager of the screen, from VANDREL_E2E_WINDOW_MANAGER: i3, xfwm4,
  // fluxbox, metacity, icewm, marco or mutter (as an X11 window manager) by that
  // name, openbox for any other value, on one wide screen
  // (2560x1024) with a session bus of its own (DBUS_SESSION_BUS_ADDRESS). Unset: "",
  // a bare 1280x1024 screen with no window manager.
  std::string window_manager;
};
const Servers &servers();
// Starts another X server (Xvfb, screen like "1280x1024x24") on a free display, for a
// test that takes it away; returns its pid and writes ":N" to display.
pid_t start_xvfb(const std::string &screen, std::string *display);
// Stops and starts the print server again (for tests that need it unreachable).
void stop_print_server();
void start_print_server();

// A job the print server received.
struct PrintedJob {
  int id = 0;
  std::string name;  // job-name
  std::string data;  // the document bytes as received
};
// How many jobs the print server knows of, finished or not.
size_t job_count();
// Waits for the finished job whose document is exactly data (tests print documents
// that differ), with its name; id is 0 when none came.
PrintedJob wait_job_with_data(const std::string &data, Seconds deadline = kDeadline);
// ... the one named job_name.
PrintedJob wait_job_named(const std::string &job_name, Seconds deadline = kDeadline);
// Waits until no job of the print server is pending or being printed.
void wait_print_server_idle(Seconds deadline = kDeadline);

// The print server's default queue, raw.
constexpr char kRawQueue[] = "vandrel-raw";
// The driverless queue in front of the private IPP Everywhere printer (real filters).
constexpr char kFilteredQueue[] = "vandrel-ipp";
// What that printer got for the job named job_name, as recorded by the print server's
// script (IPP_NAME=value lines, then "Pages: N" and "Page size: ..."); waits for it
// and returns "" when none came.
std::string printer_got(const std::string &job_name, Seconds deadline = kDeadline);
// Runs lp with options on file, as the job named job_name, and returns what the
// printer got for it.
std::string printer_got_from_lp(const std::string &file, const std::string &job_name,
                                const std::vector<std::string> &options);

// The helper under test: $VANDREL_HELPER when set, else the build tree's.
std::string helper_binary();
// The reference host beside it (both are installed together).
std::string host_binary();

// The real helper, started as a host starts it.
struct Helper {
  HelperProcess proc;
  TempDir home_dir;
  std::string home;  // HOME given to it (home_dir.path unless chosen)

  std::mutex lock;
  std::condition_variable changed;
  std::string out;  // all it wrote on standard output
  std::string err;  // all it wrote on standard error
  bool out_closed = false;
  std::deque<Bytes> outgoing;  // queued for its standard input; an empty entry closes it
  bool writer_done = false;
  std::thread out_reader, err_reader, writer;

  // extra_env: "NAME=value" entries added to (or replacing) the helper's environment.
  // home_override: HOME to give instead of home_dir; "-" leaves HOME unset.
  // prefix: a command that runs the helper (a memory checker, say); args: the
  // helper's own arguments.
  explicit Helper(const std::vector<std::string> &extra_env = {},
                  const std::string &home_override = "",
                  const std::vector<std::string> &prefix = {},
                  const std::vector<std::string> &args = {});
  ~Helper();

  // Queues bytes for the helper's standard input; never blocks on the helper.
  void send(const Bytes &bytes);
  // Closes the helper's standard input once everything queued is written.
  void close_input();
  // Waits until standard error holds needle at least count times.
  bool wait_err(const std::string &needle, size_t count = 1, Seconds deadline = kDeadline);
  // Waits until standard output holds n whole control messages.
  bool wait_messages(size_t n, Seconds deadline = kDeadline);
  // Waits until the helper has closed its standard output.
  bool wait_out_closed(Seconds deadline = kDeadline);
  std::vector<std::string> messages();
  // The same without what a report, "ready" and "end" tell after their words.
  std::vector<std::string> words();
  std::string err_text();
  std::string out_text();
  size_t count_err(const std::string &needle);
  // True while the process exists and is not a zombie.
  bool alive();
  // How many of its descriptors are the pipe on its descriptor 0 (the reader's
  // duplicate makes two).
  int input_pipe_references();
  // What its open descriptors refer to ("socket:[N]", a path, ...), one per descriptor.
  std::vector<std::string> descriptors();
  // Its resident memory (VmRSS) in KiB; 0 once it has ended.
  long resident_kib();
  void signal(int sig);
  // Waits until the process has ended and returns its wait status (reaping it), or
  // -1 when it is still running after deadline.
  int wait_exit(Seconds deadline = kDeadline);
};

// Where the print server's access log (a line per request it served) ends now.
size_t print_server_log_mark();
// Waits until a print dialog opened after mark has loaded the details of queue, its
// selected printer, and so offers that printer's choices and takes Print: the server
// has answered the request for the queue's PPD, and the dialog has asked for its list
// of printers since, which the toolkit does only once it has handled that answer.
bool wait_print_dialog_ready(size_t mark, const std::string &queue, Seconds deadline = kDeadline);

// Dialog handling with xdotool on the private display.
// Waits for a visible window named exactly title; returns its id or "".
std::string wait_window(const std::string &title, Seconds deadline = kDeadline);
// Waits until no visible window is named title.
bool wait_window_gone(const std::string &title, Seconds deadline = kDeadline);
// Waits until the window with this id is no longer visible.
bool wait_window_id_gone(const std::string &window, Seconds deadline = kDeadline);
// The visible windows of a process.
std::vector<std::string> visible_windows(pid_t pid);
std::string window_name(const std::string &id);
// Focuses the window and presses keys (xdotool key names, e.g. "Return", "ctrl+a").
void press(const std::string &window, const std::vector<std::string> &keys);
// Focuses the window and types text.
void type_text(const std::string &window, const std::string &text);
// Asks the window to close, as a window manager's close button does.
void close_window(const std::string &window);
// Waits for the window titled title and presses key in it.
bool answer_dialog(const std::string &title, const std::string &key);
// Presses Return in the print dialog until it is gone: Print stays insensitive until
// the dialog has found the default printer.
bool confirm_print_dialog();
// The same for the print dialog with this window id.
bool confirm_print_window(const std::string &window);
// The text of the X primary selection.
std::string primary_selection();

// Closes every dialog of a process with Escape until destroyed, as a user who
// answers whatever comes would.
struct AutoAnswer {
  std::atomic<bool> stop{false};
  std::thread thread;
  explicit AutoAnswer(pid_t pid);
  ~AutoAnswer();
};

// A document that looks like a small PDF, n bytes long, with varied content.
Bytes sample_document(size_t n, unsigned seed = 1);
// A valid PDF of pages A4 pages, each saying its number and tag.
Bytes sample_pdf(int pages, const std::string &tag);
