// The notice for a command the helper does not know, and the messages that come
// instead of a dialog whose document cannot be had.
#include <cstring>
#include <string>

#include "jobs/handlers.h"
#include "jobs/texts.h"
#include "jobs/util.h"

int notSupported() {
  Message m;
  m.type = GTK_MESSAGE_INFO;
  m.title = _(kNoticeTitle);
  m.text = _(kNoticeText);
  (void)show_message(nullptr, m);
  return 0;
}

// Tells the person, in a message titled like the dialog they expected, that text
// (the first line) came instead, and that nothing was printed or saved; why, when
// given, comes before that.
static void tell_nothing_done(const std::string &text, const char *why, bool printing) {
  Message m;
  m.title = printing ? kPrintDialogTitle : _(kSaveDialogTitle);
  m.text = text;
  m.detail = printing ? _(kNotPrintedText) : _(kNotSavedText);
  if (why) m.detail = std::string(why) + "\n" + m.detail;
  (void)show_message(nullptr, m);
}

int notWhole(const char *name, bool printing) {
  tell_nothing_done(name && *name ? fill_in(_(kNotWholeNamedText), name) : _(kNotWholeText),
                    nullptr, printing);
  return 0;
}

int notHeld(const char *name, bool printing, int err) {
  std::string why = strerror(err);  // in the person's language
  tell_nothing_done(fill_in(_(kNotHeldText), name), why.c_str(), printing);
  return 0;
}
