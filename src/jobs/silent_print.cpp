// The "default" job: the document goes to the default printer without a dialog.
#include "jobs/handlers.h"

Outcome print_default(const char *file, const char *name, JobNumber number, int pipe_to_write) {
  (void)name;
  (void)number;
  (void)pipe_to_write;
  DirectPrint printed = print_direct(file);
  if (printed.accepted()) return Outcome::Printed;
  spool_remove(file);
  return Outcome::Failed;
}
