#include "desktop/host_search.h"

#include <X11/Xlib-xcb.h>
#include <unistd.h>
#include <xcb/res.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "desktop/host_window.h"
#include "desktop/rules/window_choice.h"

namespace {
// How deep below the root the client windows are looked for: inside a window
// manager's frame, or inside a frame inside a container.
constexpr int kClientDepth = 4;
// How much of WM_CLIENT_MACHINE is read, in 4-byte items: host names are short, and
// 256 bytes are plenty.
constexpr uint32_t kMachineNameItems = 64;
}  // namespace

// Whether the X server answers X-Resource client id queries (version 1.2 on).
static bool has_client_ids(xcb_connection_t *c) {
  const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &xcb_res_id);
  if (!extension || !extension->present) return false;
  xcb_res_query_version_reply_t *version =
      answer(xcb_res_query_version_reply, c, xcb_res_query_version(c, 1, 2));
  bool ids = version && (version->server_major > 1 ||
                         (version->server_major == 1 && version->server_minor >= 2));
  free(version);
  return ids;
}

// The pid the X server knows for the client of each of windows (0 where unknown),
// all asked before the first answer is read.
static std::vector<uint32_t> server_pids(xcb_connection_t *c,
                                         const std::vector<uint32_t> &windows) {
  std::vector<uint32_t> pids(windows.size(), 0);
  if (windows.empty() || !has_client_ids(c)) return pids;
  std::vector<xcb_res_query_client_ids_cookie_t> cookies;
  for (uint32_t w : windows) {
    xcb_res_client_id_spec_t spec{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    cookies.push_back(xcb_res_query_client_ids(c, 1, &spec));
  }
  for (size_t i = 0; i < cookies.size(); ++i) {
    xcb_res_query_client_ids_reply_t *reply = answer(xcb_res_query_client_ids_reply, c, cookies[i]);
    if (!reply) continue;
    for (xcb_res_client_id_value_iterator_t id = xcb_res_query_client_ids_ids_iterator(reply);
         id.rem > 0; xcb_res_client_id_value_next(&id)) {
      if ((id.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
          xcb_res_client_id_value_value_length(id.data) == 1)
        pids[i] = *xcb_res_client_id_value_value(id.data);
    }
    free(reply);
  }
  return pids;
}

std::vector<uint32_t> window_pids(xcb_connection_t *c, const Atoms &atoms,
                                  const std::vector<uint32_t> &windows) {
  std::vector<xcb_get_property_cookie_t> own = ask_property(c, windows, atoms.pid, 1);
  std::vector<xcb_get_property_cookie_t> leaders = ask_property(c, windows, atoms.client_leader, 1);
  std::vector<uint32_t> pids(windows.size(), 0), leader(windows.size(), 0);
  for (size_t i = 0; i < windows.size(); ++i) {
    std::vector<uint32_t> pid = take_items(c, own[i]);
    std::vector<uint32_t> lead = take_items(c, leaders[i]);
    if (!pid.empty()) pids[i] = pid[0];
    if (!lead.empty() && lead[0] != windows[i]) leader[i] = lead[0];
  }
  // The leader's own _NET_WM_PID, where the window gives none.
  std::vector<uint32_t> ask;
  std::vector<size_t> at;
  for (size_t i = 0; i < windows.size(); ++i)
    if (pids[i] == 0 && leader[i] != 0) {
      ask.push_back(leader[i]);
      at.push_back(i);
    }
  std::vector<xcb_get_property_cookie_t> leader_pids = ask_property(c, ask, atoms.pid, 1);
  for (size_t j = 0; j < ask.size(); ++j) {
    std::vector<uint32_t> pid = take_items(c, leader_pids[j]);
    if (!pid.empty()) pids[at[j]] = pid[0];
  }
  // Then what the X server knows of the rest.
  ask.clear();
  at.clear();
  for (size_t i = 0; i < windows.size(); ++i)
    if (pids[i] == 0) {
      ask.push_back(windows[i]);
      at.push_back(i);
    }
  std::vector<uint32_t> known = server_pids(c, ask);
  for (size_t j = 0; j < ask.size(); ++j) pids[at[j]] = known[j];
  return pids;
}

// Describes those of windows whose _NET_WM_PID (pids, in the same order) is one of
// ancestors and that a dialog can belong to: no menus or tooltips (override-redirect),
// nothing input-only.
static std::vector<WindowCandidate> describe(xcb_connection_t *c, const Atoms &atoms,
                                             const std::vector<uint32_t> &windows,
                                             const std::vector<uint32_t> &pids,
                                             const std::vector<long> &ancestors) {
  std::vector<uint32_t> ours;
  std::vector<long> our_pids;
  for (size_t i = 0; i < windows.size() && i < pids.size(); ++i) {
    long pid = static_cast<long>(pids[i]);
    if (pid != 0 && std::find(ancestors.begin(), ancestors.end(), pid) != ancestors.end()) {
      ours.push_back(windows[i]);
      our_pids.push_back(pid);
    }
  }
  std::vector<xcb_get_window_attributes_cookie_t> attributes;
  std::vector<xcb_get_geometry_cookie_t> geometries;
  for (uint32_t w : ours) {
    attributes.push_back(xcb_get_window_attributes(c, w));
    geometries.push_back(xcb_get_geometry(c, w));
  }
  std::vector<xcb_get_property_cookie_t> states = ask_property(c, ours, atoms.wm_state, 1);
  std::vector<xcb_get_property_cookie_t> machines =
      ask_property(c, ours, atoms.client_machine, kMachineNameItems);

  std::vector<WindowCandidate> candidates;
  for (size_t i = 0; i < ours.size(); ++i) {
    xcb_get_window_attributes_reply_t *a =
        answer(xcb_get_window_attributes_reply, c, attributes[i]);
    xcb_get_geometry_reply_t *g = answer(xcb_get_geometry_reply, c, geometries[i]);
    std::vector<uint32_t> state = take_items(c, states[i]);
    WindowCandidate candidate;
    (void)take_items(c, machines[i], nullptr, &candidate.machine);
    if (a && g && !a->override_redirect && a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT) {
      candidate.id = ours[i];
      candidate.pid = our_pids[i];
      candidate.iconic = !state.empty() && state[0] == kIconicState;
      // A compositing window manager (mutter) keeps minimised windows mapped.
      candidate.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE && !candidate.iconic;
      candidate.area = static_cast<long long>(g->width) * g->height;
      candidates.push_back(candidate);
    }
    free(a);
    free(g);
  }
  return candidates;
}

// The client windows of root: the windows down to kClientDepth below it that carry
// WM_STATE (the window manager's mark of the windows it manages, inside its frames),
// and the top-level windows themselves (the clients where no window manager runs; a
// window manager's frames are its own, never an ancestor's).
// kMaxWindowsExamined windows are looked at, at most, the topmost first.
static std::vector<uint32_t> client_windows(xcb_connection_t *c, const Atoms &atoms,
                                            uint32_t root) {
  std::vector<uint32_t> clients;
  size_t budget = kMaxWindowsExamined;
  std::vector<uint32_t> level = children_of(c, {root}, &budget);
  for (int depth = 0; depth < kClientDepth && !level.empty(); ++depth) {
    std::vector<xcb_get_property_cookie_t> states = ask_property(c, level, atoms.wm_state, 0);
    std::vector<uint32_t> frames;
    for (size_t i = 0; i < level.size(); ++i) {
      bool managed = false;
      (void)take_items(c, states[i], &managed);
      if (managed || depth == 0) clients.push_back(level[i]);
      if (!managed) frames.push_back(level[i]);
    }
    level = children_of(c, frames, &budget);
  }
  return clients;
}

// Searches screen for the window of our nearest ancestor that has one; 0 when none.
// The window manager's client list first; where it holds none of ours, the client
// windows themselves.
unsigned long search_host_window(GdkScreen *screen, const Atoms &atoms,
                                 const std::vector<long> &ancestors, unsigned long active) {
  if (ancestors.empty()) return 0;
  xcb_connection_t *c = XGetXCBConnection(GDK_SCREEN_XDISPLAY(screen));
  uint32_t root = static_cast<uint32_t>(GDK_WINDOW_XID(gdk_screen_get_root_window(screen)));
  char host_name[256] = "";
  gethostname(host_name, sizeof host_name - 1);

  if (supports(screen, "_NET_CLIENT_LIST")) {
    std::vector<uint32_t> windows = newest_items(c, root, atoms.client_list);
    std::vector<uint32_t> pids = window_pids(c, atoms, windows);
    unsigned long host = choose_host_window(describe(c, atoms, windows, pids, ancestors), ancestors,
                                            host_name, active);
    if (host != 0) return host;
  }
  std::vector<uint32_t> clients = client_windows(c, atoms, root);
  std::vector<uint32_t> pids = window_pids(c, atoms, clients);
  return choose_host_window(describe(c, atoms, clients, pids, ancestors), ancestors, host_name,
                            active);
}

// How many levels up from a named window its top-level window is looked for.
constexpr int kNamedWindowDepth = 64;

// The top-level window that holds the live window w: the nearest one up the tree that
// the window manager manages (it has WM_STATE), else the one just below the root; 0
// when w is gone. An integrator may name the window of a widget inside the host's.
static unsigned long top_level_of(xcb_connection_t *c, const Atoms &atoms, uint32_t w) {
  for (int level = 0; level < kNamedWindowDepth; ++level) {
    xcb_get_property_cookie_t state = ask_property(c, {w}, atoms.wm_state, 0)[0];
    xcb_query_tree_reply_t *tree = answer(xcb_query_tree_reply, c, xcb_query_tree(c, w));
    bool managed = false;
    (void)take_items(c, state, &managed);
    if (!tree) return 0;
    uint32_t root = tree->root, parent = tree->parent;
    free(tree);
    if (managed || parent == root || parent == XCB_NONE) return w;
    w = parent;
  }
  return w;
}

// The top-level window of the one named in VANDREL_PARENT_WINDOW when that is a live
// window, else 0; a value that is set but names no live window gets one line on
// standard error. The id of a window the host has since destroyed may have been
// handed to us, so a window of our own does not count either.
unsigned long named_window(xcb_connection_t *c, const Atoms &atoms) {
  const char *text = getenv(kParentWindowVariable);
  if (!text || !*text) return 0;
  unsigned long id = 0;
  if (parse_window_id(text, &id) && (id = top_level_of(c, atoms, static_cast<uint32_t>(id))) != 0 &&
      first_item(c, static_cast<uint32_t>(id), atoms.pid) != static_cast<uint32_t>(getpid()))
    return id;
  fprintf(
      stderr,
      "vandrel: %s=%.64s is not a live window of the host; looking for the host's window instead\n",
      kParentWindowVariable, text);
  return 0;
}
