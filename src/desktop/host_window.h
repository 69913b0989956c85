// The host's window: which X window a dialog belongs to, and attaching the dialog to it,
// so the window manager keeps the dialog above the host, on the host's monitor.
//
// The window is the one the integrator names in VANDREL_PARENT_WINDOW (or the
// top-level window that holds it), else the top-level window whose _NET_WM_PID is our
// parent process (or, for hosts that start us through a launcher, the nearest
// ancestor that has one) on this machine: the active window among several, else the
// largest shown one, else the largest minimised one. It is looked for in the window
// manager's client list, and where that holds none of ours (i3 leaves out a window
// that is full-screen from its first map) among the client windows themselves.
// Whatever other clients put into the properties read here, the search reads a
// bounded amount and sends its requests without waiting for each answer.
#pragma once

#include <cstddef>
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

// How many windows one search looks at, at most, in the client list and again among
// the client windows: the newest (or topmost) that many. Desktops have a few hundred
// windows at the very most; a list longer than this is someone's mischief.
constexpr size_t kMaxWindowsExamined = 512;

// A top-level window as the X part saw it.
struct WindowCandidate {
  unsigned long id = 0;
  long pid = 0;           // _NET_WM_PID, 0 when unset
  std::string machine;    // WM_CLIENT_MACHINE, empty when unset
  bool viewable = false;  // mapped, and so are its ancestors
  bool iconic = false;    // minimised: WM_STATE says IconicState
  long long area = 0;     // width times height
};

// Chooses the host's window: the windows of the first pid in ancestors that has any
// viewable or minimised window on this machine; among those the active one when it
// is one of them, else the largest viewable one, else the largest minimised one (the
// earliest in candidates on a tie). Returns 0 when none qualifies.
unsigned long choose_host_window(const std::vector<WindowCandidate> &candidates,
                                 const std::vector<long> &ancestors, const std::string &host_name,
                                 unsigned long active);

// A rectangle in root coordinates.
struct Area {
  int x = 0, y = 0, width = 0, height = 0;
};

// The widths of a window manager's frame around a window.
struct FrameExtents {
  int left = 0, right = 0, top = 0, bottom = 0;
};

// The widest frame side believed: anything wider is not a frame but another client's
// mischief (the property can be set by anyone).
constexpr unsigned long kMaxFrameExtent = 512;

// A _NET_FRAME_EXTENTS value (left, right, top, bottom) as a frame; all zero unless
// it has exactly four items, each at most kMaxFrameExtent.
FrameExtents frame_from_extents(const std::vector<unsigned long> &items);

// Where to ask for the frame of a window whose inside is width x height and whose
// frame is frame, so that its inside is centred on target's, kept within monitor as
// far as it fits: the frame's top-left corner in *x, *y (the window manager's default
// gravity places the frame there). Sizes may be anything an X server reports.
void centred_frame_origin(const Area &target, int width, int height, const FrameExtents &frame,
                          const Area &monitor, int *x, int *y);

// Whether the person is working in another application's window: a window is active
// (active non-zero) and it is neither the host's window nor of one of ancestors (the
// host's processes) nor of own_pid (our own dialogs). active_pid is its _NET_WM_PID
// (0 when unset).
bool person_elsewhere(unsigned long active, long active_pid, unsigned long host,
                      const std::vector<long> &ancestors, long own_pid);

// A dialog that came while the person was working elsewhere asked not to be focused.
// A window manager that focuses it all the same does so as it comes up (within
// kStolenFocusMs of its mapping), in the middle of the person's typing: such a dialog
// holds back keys for kKeyHoldMs after that focus, and again after each key it held
// back, so keys typed in one go for the other window never answer it. Focus that
// comes later (the person turned to the dialog) and a click in it let keys through at
// once.
constexpr long long kStolenFocusMs = 250;
constexpr long long kKeyHoldMs = 1000;

// The state of that hold for one dialog. Keys pass once armed.
struct KeyHold {
  long long mapped_ms = -1;  // when it came up on screen
  bool armed = false;
  long long held_until_ms = 0;
};

// The dialog came up on screen (mapped) at now_ms, on any clock in milliseconds.
void key_hold_mapped(KeyHold *hold, long long now_ms);

// The dialog got the keyboard focus at now_ms: held when that is within
// kStolenFocusMs of its coming up, armed when later.
void key_hold_focused(KeyHold *hold, long long now_ms);

// The person clicked in the dialog: keys pass from now on.
void key_hold_clicked(KeyHold *hold);

// A key arrived at now_ms: true when the dialog may act on it, false when it is held
// back (which prolongs the hold). A pause of kKeyHoldMs arms the dialog for good.
bool key_hold_passes(KeyHold *hold, long long now_ms);

// ---- the X part ----------------------------------------------------------------

// How long a dialog waits, at most, for a full-screen host to leave full-screen (which
// it was asked to just before) so that the dialog is centred where the host will be.
constexpr int kSettleWaitMs = 300;

// Makes dialog, created but not yet shown, belong to the host's window, looked up
// now, and sets how it comes up. With a host window found: transient for it (as a
// foreign window of the toolkit), on its screen, modal, not to be minimised on its
// own, and centred over it within its monitor, by the dialog's own frame; a host
// that is full-screen is given up to kSettleWaitMs to leave it first; over a
// minimised host the dialog starts minimised too and asks for attention. While the
// dialog is up, a timer of the main loop centres it again whenever the host has
// settled anew (until someone else moves the dialog). With no host window: centred
// on the monitor that holds the pointer. Every dialog is listed in the task list.
// When the person works in another application's window, the dialog asks not to be
// focused, asks for attention until it is focused, and holds back keys as KeyHold
// says; otherwise it carries the host's last user time, so the window manager lets
// it take the focus. A VANDREL_PARENT_WINDOW that names no live window gets one line
// on standard error and the search is made instead. X errors from windows that go
// away meanwhile are trapped. The dialog stays the caller's. Reader thread, inside a
// dialog section (the toolkit's lock held).
void attach_to_host(GtkWidget *dialog);
