// Texts the user sees go through gettext in the text domain "vandrel".
// _() translates at once; N_() only marks a text for xgettext, for tables and constants
// that are translated with _() where they are shown. Diagnostics on standard error
// are never translated: hosts and logs parse them.
#pragma once

#include <libintl.h>
#include <locale.h>
#include <string.h>

#include <string>

#define _(text) gettext(text)
#define N_(text) text

// pattern with its first "%s" replaced by a and its second by b. For translated texts,
// which are no formats to hand to printf: a translation could hold any other
// directive. Any thread.
inline std::string fill_in(const char *pattern, const std::string &a, const std::string &b = "") {
  std::string out;
  int used = 0;
  for (const char *p = pattern; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      out += used++ == 0 ? a : b;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// The system's text for err in English, whatever the user's language, for the lines
// on standard error. Any thread.
inline const char *log_strerror(int err) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c_locale ? strerror_l(err, c_locale) : strerror(err);
}
