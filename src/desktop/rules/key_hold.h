// Keys held back from a dialog that a window manager focused while the person was
// typing elsewhere. Plain code: no display, no toolkit; the clock is the caller's.
#pragma once

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
