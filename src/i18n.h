// Texts the user sees go through gettext in the text domain "vandrel".
// _() translates at once; N_() only marks a text for xgettext, for tables and constants
// that are translated with _() where they are shown. Diagnostics on standard error
// are never translated: hosts and logs parse them.
#pragma once

#include <libintl.h>

#define _(text) gettext(text)
#define N_(text) text
