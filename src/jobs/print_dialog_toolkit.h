// Living with the toolkit's print dialog (GTK 2.24): what the dialog needs around it
// so that it neither leaks nor outlives itself, and is shown at the size it keeps.
// Toolkit lock held throughout.
#pragma once

#include <gtk/gtk.h>
#include <gtk/gtkprintunixdialog.h>

// Sets pd up to be looked after until it is freed: the option labels it would leak are
// kept on it (keep_option_labels), and it lets go of its printers' backends as it is
// destroyed, which the toolkit does only when it is freed. Right after it is made.
void look_after_print_dialog(GtkPrintUnixDialog *pd);

// Takes ownership of the floating external labels the print dialog pd has now: call
// it whenever the printer or its details change, and before the dialog goes.
void keep_option_labels(GtkPrintUnixDialog *pd);

// Lets the main loop run, before pd is shown, until the dialog has found its printers
// and laid out the chosen one, or for a second at most, so that it is placed at
// the size it will keep. Reader thread; the toolkit lock is let go meanwhile, as a
// dialog's own run does.
void wait_for_printers(GtkPrintUnixDialog *pd);
