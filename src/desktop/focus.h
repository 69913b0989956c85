// How a dialog takes the keyboard: never from a program the person is typing in, at
// once when they turn to the dialog or it comes up over the window they work in.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

// Makes the realized dialog ask for attention until it has the focus. Toolkit lock.
void ask_for_attention(GtkWidget *dialog);

// Makes the realized, not yet shown dialog come up without the keyboard while the
// person works in another program's window: it tells the window manager it takes no
// input focus at all (ICCCM's input hint, without WM_TAKE_FOCUS), so that no window
// manager can hand it keys typed for that program, and asks for attention. When the
// person turns to it (clicks it, activates it or the host's window, host, from the
// task list, or a window manager gives it the focus all the same) it takes the
// input focus back and is given the keyboard at once. Toolkit lock.
void come_up_unfocused(GtkWidget *dialog, uint32_t host);

// Makes the realized dialog, which comes up over the window the person works in,
// take the keyboard each time it comes on screen, not minimised, while that window
// (host, or one of ours) is the active one or none is: a window manager may map it
// without the focus over a full-screen host or one that was just restored. Toolkit
// lock.
void take_keys_when_shown(GtkWidget *dialog, uint32_t host);

// Object data on a dialog that starts minimised with the host.
constexpr char kStartsMinimisedKey[] = "vandrel-starts-minimised";

// Whether the dialog still waits for the person to come to it: it came up without
// the keyboard (come_up_unfocused) or asks for attention (ask_for_attention), and
// the person has not turned to it yet. Toolkit lock.
bool waits_for_person(GtkWidget *dialog);

// Brings the dialog up and gives it the keyboard as the person asked at time (an X
// server time, or 0 for now): for a notification the person clicked. Toolkit lock.
void turn_to_dialog(GtkWidget *dialog, uint32_t time);
