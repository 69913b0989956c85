// How a dialog takes the keyboard: quietly, asking for attention, when the person
// works elsewhere (the policy is rules/focus_policy.h, the key hold rules/key_hold.h).
#pragma once

#include <gtk/gtk.h>

// Makes the realized dialog ask for attention until it has the focus. Toolkit lock.
void ask_for_attention(GtkWidget *dialog);

// Makes the realized dialog come up without taking the focus, ask for attention, and
// hold back keys as KeyHold says. Toolkit lock.
void come_up_quietly(GtkWidget *dialog);
