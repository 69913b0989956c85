// Keeping a dialog centred over its host while the host settles.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

// Keeps dialog, whose frame was asked to go to x, y, centred on host while the host
// settles (see follow.cpp), until the dialog is destroyed or someone else moves it.
// Toolkit lock held; the looks run from the main loop.
void follow_host(GtkWidget *dialog, uint32_t host, int x, int y);
