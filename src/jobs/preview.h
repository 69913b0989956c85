// Print Preview: the document shown in the desktop's viewer while the print dialog
// waits for the person.
#pragma once

#include <gtk/gtk.h>

// Shows the spool file `file` for the print dialog's Preview button in the desktop's
// default application for its content type; when that cannot be done, says why in a
// message over parent (the print dialog). The file stays: the job goes on in the
// dialog. The viewer's own copy stays until the viewer's process has exited and the
// dialog has been closed a while ago, or until the helper ends. Reader thread, inside
// the dialog section.
void show_preview(GtkWindow *parent, const char *file);
