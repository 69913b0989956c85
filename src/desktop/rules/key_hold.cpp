#include "desktop/rules/key_hold.h"

void key_hold_mapped(KeyHold *hold, long long now_ms) { hold->mapped_ms = now_ms; }

void key_hold_focused(KeyHold *hold, long long now_ms) {
  if (hold->armed) return;
  if (hold->mapped_ms >= 0 && now_ms - hold->mapped_ms < kStolenFocusMs)
    hold->held_until_ms = now_ms + kKeyHoldMs;
  else
    hold->armed = true;
}

void key_hold_clicked(KeyHold *hold) { hold->armed = true; }

bool key_hold_passes(KeyHold *hold, long long now_ms) {
  if (hold->armed) return true;
  if (now_ms >= hold->held_until_ms) return hold->armed = true;
  hold->held_until_ms = now_ms + kKeyHoldMs;
  return false;
}
