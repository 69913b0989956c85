// Which window is the host's: the rules, from facts the X part gathers. Plain code:
// no display, no toolkit, so unit tests drive it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// How many ancestors, parent first, are searched for a window of their own.
constexpr int kHostAncestorLevels = 6;

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
  bool viewable = false;  // mapped, and so are its ancestors, and not minimised
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
