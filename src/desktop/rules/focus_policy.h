// Whether a dialog may take the keyboard as it comes up: not while the person works
// in another application's window. Plain code: no display, no toolkit.
#pragma once

#include <vector>

// Whether the person is working in another application's window: a window is active
// (active non-zero) and it is neither the host's window nor of one of ancestors (the
// host's processes) nor of own_pid (our own dialogs). active_pid is its _NET_WM_PID
// (0 when unset).
bool person_elsewhere(unsigned long active, long active_pid, unsigned long host,
                      const std::vector<long> &ancestors, long own_pid);
