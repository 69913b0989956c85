#include "jobs/host_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

// ---- the plain part ------------------------------------------------------------

bool parse_window_id(const char *text, unsigned long *id) {
  if (!text) return false;
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  // Digits only: strtoull itself would take leading blanks, a sign and a second "0x".
  if (!*text) return false;
  for (const char *c = text; *c; ++c) {
    unsigned char digit = static_cast<unsigned char>(*c);
    if (base == 10 ? !std::isdigit(digit) : !std::isxdigit(digit)) return false;
  }
  errno = 0;
  unsigned long long value = strtoull(text, nullptr, base);
  if (errno != 0 || value == 0 || value > 0xFFFFFFFFull) return false;
  *id = static_cast<unsigned long>(value);
  return true;
}

long parent_from_stat(const std::string &stat) {
  // The name may hold ") ", so the fields start after the last ')'.
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return -1;
  char state = 0;
  long parent = -1;
  if (sscanf(stat.c_str() + close + 1, " %c %ld", &state, &parent) != 2 || parent < 0) return -1;
  return parent;
}

std::vector<long> ancestor_pids(long pid, int levels) {
  std::vector<long> ancestors;
  while (static_cast<int>(ancestors.size()) < levels) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::ostringstream stat;
    stat << in.rdbuf();
    long parent = parent_from_stat(stat.str());
    if (parent <= 1) break;
    ancestors.push_back(parent);
    pid = parent;
  }
  return ancestors;
}

bool same_machine(const std::string &client_machine, const std::string &host_name) {
  if (client_machine.empty() || client_machine == host_name) return true;
  // One side may give the short name and the other the full one.
  auto is_short_of = [](const std::string &short_name, const std::string &full) {
    return short_name.find('.') == std::string::npos && !short_name.empty() &&
           full.compare(0, full.find('.'), short_name) == 0;
  };
  return is_short_of(client_machine, host_name) || is_short_of(host_name, client_machine);
}

unsigned long choose_host_window(const std::vector<WindowCandidate> &candidates,
                                 const std::vector<long> &ancestors, const std::string &host_name,
                                 unsigned long active) {
  for (long pid : ancestors) {
    unsigned long best = 0;
    long long best_area = -1;
    for (const WindowCandidate &c : candidates) {
      if (c.pid != pid || !c.viewable || !same_machine(c.machine, host_name)) continue;
      if (active != 0 && c.id == active) return c.id;
      if (c.area > best_area) {
        best = c.id;
        best_area = c.area;
      }
    }
    if (best != 0) return best;
  }
  return 0;
}

int centred_within(int centre, int size, int low, int room) {
  int start = centre - size / 2;
  start = std::min(start, low + room - size);
  return std::max(start, low);
}

// ---- the X part ----------------------------------------------------------------
// Every call below runs with the toolkit's lock held and inside an X error trap: any
// window but our own may be destroyed by its client at any moment.

// A format-32 property of w as Xlib hands it over (one long per item); empty when
// unset, of another format, or when w is gone.
static std::vector<unsigned long> long_property(Display *x, Window w, const char *name) {
  std::vector<unsigned long> values;
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  Atom property = gdk_x11_get_xatom_by_name_for_display(gdk_x11_lookup_xdisplay(x), name);
  if (XGetWindowProperty(x, w, property, 0, 1 << 16, False, AnyPropertyType, &actual, &format,
                         &count, &after, &data) == Success &&
      data && format == 32) {
    const unsigned long *items = reinterpret_cast<const unsigned long *>(data);
    values.assign(items, items + count);
  }
  if (data) XFree(data);
  return values;
}

// The top-level windows of screen: the window manager's client list, or, with no
// window manager that keeps one, the root window's children.
static std::vector<unsigned long> top_level_windows(GdkScreen *screen, Display *x, Window root) {
  if (gdk_x11_screen_supports_net_wm_hint(screen,
                                          gdk_atom_intern_static_string("_NET_CLIENT_LIST")))
    return long_property(x, root, "_NET_CLIENT_LIST");
  std::vector<unsigned long> windows;
  Window root_back = None, parent = None, *children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(x, root, &root_back, &parent, &children, &count) && children)
    windows.assign(children, children + count);
  if (children) XFree(children);
  return windows;
}

// The window the window manager has active on screen, or 0.
static unsigned long active_window(GdkScreen *screen, Display *x, Window root) {
  if (!gdk_x11_screen_supports_net_wm_hint(screen,
                                           gdk_atom_intern_static_string("_NET_ACTIVE_WINDOW")))
    return 0;
  std::vector<unsigned long> active = long_property(x, root, "_NET_ACTIVE_WINDOW");
  return active.empty() ? 0 : active[0];
}

// Searches screen for the window of our nearest ancestor that has one; 0 when none.
static unsigned long search_host_window(GdkScreen *screen) {
  std::vector<long> ancestors = ancestor_pids(static_cast<long>(getpid()), kHostAncestorLevels);
  if (ancestors.empty()) return 0;
  Display *x = GDK_SCREEN_XDISPLAY(screen);
  Window root = GDK_WINDOW_XID(gdk_screen_get_root_window(screen));
  char host_name[256] = "";
  gethostname(host_name, sizeof host_name - 1);

  std::vector<WindowCandidate> candidates;
  for (unsigned long w : top_level_windows(screen, x, root)) {
    std::vector<unsigned long> pid = long_property(x, w, "_NET_WM_PID");
    if (pid.empty()) continue;
    WindowCandidate c;
    c.id = w;
    c.pid = static_cast<long>(pid[0]);
    // Only our ancestors' windows are worth the further round trips.
    if (std::find(ancestors.begin(), ancestors.end(), c.pid) == ancestors.end()) continue;
    XWindowAttributes attributes;
    // Menus and tooltips (override-redirect) are not windows a dialog can belong to.
    if (!XGetWindowAttributes(x, w, &attributes) || attributes.override_redirect ||
        attributes.c_class != InputOutput)
      continue;
    c.viewable = attributes.map_state == IsViewable;
    c.area = static_cast<long long>(attributes.width) * attributes.height;
    XTextProperty machine;
    if (XGetWMClientMachine(x, w, &machine)) {
      if (machine.value && machine.format == 8)
        c.machine.assign(reinterpret_cast<const char *>(machine.value), machine.nitems);
      if (machine.value) XFree(machine.value);
    }
    candidates.push_back(c);
  }
  return choose_host_window(candidates, ancestors, host_name, active_window(screen, x, root));
}

// The top-level window that holds the live window w: the nearest one up the tree that
// the window manager manages (it has WM_STATE), else the one just below the root; 0
// when w is gone. An integrator may name the window of a widget inside the host's.
static unsigned long top_level_of(Display *x, Window w) {
  Atom wm_state = gdk_x11_get_xatom_by_name_for_display(gdk_x11_lookup_xdisplay(x), "WM_STATE");
  for (;;) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    bool managed = XGetWindowProperty(x, w, wm_state, 0, 0, False, AnyPropertyType, &type, &format,
                                      &count, &after, &data) == Success &&
                   type != None;
    if (data) XFree(data);
    Window root = None, parent = None, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(x, w, &root, &parent, &children, &n)) return 0;
    if (children) XFree(children);
    if (managed || parent == root || parent == None) return w;
    w = parent;
  }
}

// The top-level window of the one named in VANDREL_PARENT_WINDOW when that is a live
// window, else 0; a value that is set but names no live window gets one line on
// standard error. The id of a window the host has since destroyed may have been
// handed to us, so a window of our own does not count either.
static unsigned long named_window(Display *x) {
  const char *text = getenv(kParentWindowVariable);
  if (!text || !*text) return 0;
  unsigned long id = 0;
  if (parse_window_id(text, &id) && (id = top_level_of(x, id)) != 0) {
    std::vector<unsigned long> pid = long_property(x, id, "_NET_WM_PID");
    if (pid.empty() || pid[0] != static_cast<unsigned long>(getpid())) return id;
  }
  fprintf(
      stderr,
      "vandrel: %s=%.64s is not a live window of the host; looking for the host's window instead\n",
      kParentWindowVariable, text);
  return 0;
}

namespace {
// Where the host's window is: its screen, and its area in root coordinates with the
// window manager's frame around it (the frame's widths are 0 without one).
struct HostPlace {
  GdkScreen *screen = nullptr;
  GdkRectangle outer = {0, 0, 0, 0};
  int frame_left = 0, frame_right = 0, frame_top = 0, frame_bottom = 0;
};
}  // namespace

// Finds the screen, area and frame of window w; false when w is gone.
static bool host_place(GdkDisplay *display, Window w, HostPlace *place) {
  Display *x = GDK_DISPLAY_XDISPLAY(display);
  XWindowAttributes attributes;
  Window child = None;
  int left = 0, top = 0;
  if (!XGetWindowAttributes(x, w, &attributes) ||
      !XTranslateCoordinates(x, w, attributes.root, 0, 0, &left, &top, &child))
    return false;
  for (int i = 0; i < gdk_display_get_n_screens(display); ++i) {
    GdkScreen *screen = gdk_display_get_screen(display, i);
    if (GDK_WINDOW_XID(gdk_screen_get_root_window(screen)) == attributes.root)
      place->screen = screen;
  }
  std::vector<unsigned long> frame = long_property(x, w, "_NET_FRAME_EXTENTS");
  if (frame.size() == 4) {
    place->frame_left = static_cast<int>(frame[0]);
    place->frame_right = static_cast<int>(frame[1]);
    place->frame_top = static_cast<int>(frame[2]);
    place->frame_bottom = static_cast<int>(frame[3]);
  }
  place->outer = GdkRectangle{left - place->frame_left, top - place->frame_top,
                              attributes.width + place->frame_left + place->frame_right,
                              attributes.height + place->frame_top + place->frame_bottom};
  return place->screen != nullptr;
}

void attach_to_host(GtkWidget *dialog) {
  GdkDisplay *display = gtk_widget_get_display(dialog);
  HostPlace place;
  gdk_error_trap_push();
  unsigned long host = named_window(GDK_DISPLAY_XDISPLAY(display));
  if (host == 0) host = search_host_window(gtk_widget_get_screen(dialog));
  bool found = host != 0 && host_place(display, host, &place);
  gdk_flush();
  gdk_error_trap_pop();
  if (!found) return;

  // On the host's screen first: a realized window cannot change screens.
  if (place.screen != gtk_widget_get_screen(dialog))
    gtk_window_set_screen(GTK_WINDOW(dialog), place.screen);
  GdkWindow *parent = gdk_window_foreign_new_for_display(display, host);
  if (!parent) return;  // gone since it was found
  gtk_widget_realize(dialog);
  gdk_error_trap_push();
  gdk_window_set_transient_for(gtk_widget_get_window(dialog), parent);
  gdk_flush();
  gdk_error_trap_pop();
  // Only our reference: the toolkit keeps the foreign window in its table, and
  // destroying it would close the host's window.
  g_object_unref(parent);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);

  // The position asked for is that of the dialog's frame (the window manager's default
  // gravity), which is taken to be like the host's: so frame over frame, centred, puts
  // the dialog's centre on the host's. Without a window manager both frames are empty.
  GdkRectangle monitor;
  int centre_x = place.outer.x + place.outer.width / 2;
  int centre_y = place.outer.y + place.outer.height / 2;
  gdk_screen_get_monitor_geometry(
      place.screen, gdk_screen_get_monitor_at_point(place.screen, centre_x, centre_y), &monitor);
  int width = 0, height = 0;
  gtk_window_get_size(GTK_WINDOW(dialog), &width, &height);
  width += place.frame_left + place.frame_right;
  height += place.frame_top + place.frame_bottom;
  gtk_window_move(GTK_WINDOW(dialog), centred_within(centre_x, width, monitor.x, monitor.width),
                  centred_within(centre_y, height, monitor.y, monitor.height));
}
