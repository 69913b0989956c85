// The host's window: which X window a dialog belongs to, and attaching the dialog to it,
// so the window manager keeps the dialog above the host, on the host's monitor.
//
// The window is the one the integrator names in VANDREL_PARENT_WINDOW (or the
// top-level window that holds it), else the top-level window whose _NET_WM_PID is our
// parent process (or, for hosts that start us through a launcher, the nearest
// ancestor that has one) on this machine: the active window among several, else the
// largest visible one.
#pragma once

#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;

// The environment variable in which an integrator names the host's window.
constexpr char kParentWindowVariable[] = "VANDREL_PARENT_WINDOW";

// How many ancestors, parent first, are searched for a window of their own.
constexpr int kHostAncestorLevels = 6;

// ---- the plain part: no display, no toolkit -----------------------------------

// Parses an X window id as an integrator writes it: decimal, or hexadecimal after
// "0x" or "0X", nothing else around it. Sets *id and returns true for a non-zero id
// that fits in 32 bits; returns false (leaving *id alone) for anything else.
bool parse_window_id(const char *text, unsigned long *id);

// The parent's pid in the text of a /proc/PID/stat file, or -1 when the text is not
// one. The process name in parentheses may itself hold spaces and parentheses.
long parent_from_stat(const std::string &stat);

// Up to levels ancestors of pid, nearest first, read from /proc. Stops early at an
// entry that cannot be read and before pid 1, which adopts orphans and so is nobody's
// host. Any thread.
std::vector<long> ancestor_pids(long pid, int levels);

// Whether a window's WM_CLIENT_MACHINE (empty when unset) allows it to be on this
// host: unset, equal, or equal up to the first dot of either (short and full names).
bool same_machine(const std::string &client_machine, const std::string &host_name);

// A top-level window as the X part saw it.
struct WindowCandidate {
  unsigned long id = 0;
  long pid = 0;           // _NET_WM_PID, 0 when unset
  std::string machine;    // WM_CLIENT_MACHINE, empty when unset
  bool viewable = false;  // mapped, and so are its ancestors
  long long area = 0;     // width times height
};

// Chooses the host's window: the windows of the first pid in ancestors that has any
// viewable window on this machine; among those, active when it is one of them, else
// the largest (the earliest in candidates on a tie). Returns 0 when none qualifies.
unsigned long choose_host_window(const std::vector<WindowCandidate> &candidates,
                                 const std::vector<long> &ancestors, const std::string &host_name,
                                 unsigned long active);

// The start of a span of length size centred on centre, moved to lie within the span
// of length room from low as far as it fits (at low when it is longer than room).
int centred_within(int centre, int size, int low, int room);

// ---- the X part ----------------------------------------------------------------

// Makes dialog, created but not yet shown, belong to the host's window, looked up
// now: transient for it (as a foreign window of the toolkit), on its screen, centred
// over it within its monitor, and modal. With no window found nothing changes. A
// VANDREL_PARENT_WINDOW that names no live window gets one line on standard error
// and the search is made instead. X errors from a window that goes away meanwhile
// are trapped. The dialog stays the caller's. Reader thread, inside a dialog section
// (the toolkit's lock held).
void attach_to_host(GtkWidget *dialog);
