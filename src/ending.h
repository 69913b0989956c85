// How the helper ends: on SIGTERM, SIGINT or SIGHUP, when the host's end of the output
// is closed, or when the X display goes away, it never leaves a document behind.
#pragma once

// Installs the handlers for the stop signals (SIGTERM, SIGINT, SIGHUP), for an X
// display that goes away, and for an output the host has closed. Main thread, after
// the toolkit has started (its own start-up ignores the broken-pipe signal, which is
// how a closed output is seen: as a failed write) and before the reader thread.
void install_ending();

// Asks the helper to end as if it had received sig: reading stops, open dialogs close
// as if cancelled (their sections still send "restorefullscreen"), print jobs the
// person confirmed are handed to the print server (30 seconds at most, for all of
// them), a save under way finishes as long as it keeps moving, then every file the
// helper holds is removed and the process ends with the usual status for sig. A
// second request while ending ends it at once, still removing the files.
// Async-signal-safe: the signal handlers call it.
void request_ending(int sig);

// Ends the helper, cleanly and with exit status 0, once it is alone: reading has
// stopped, no confirmed job is still being handed to the print server, and either
// nobody reads its output any more or the process that started it is gone. Looked at
// every second from the main loop. Main thread, after install_ending.
void watch_for_being_alone();

// True once the helper is ending: a dialog then answers at once, as if cancelled.
// Any thread.
bool helper_ending();
