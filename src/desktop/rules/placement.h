// Where a dialog goes: centred over a target area by its own frame, kept within the
// monitor's share of the work area. Plain arithmetic on what an X server reports; no display, no
// toolkit.
#pragma once

#include <vector>

// A rectangle in root coordinates.
struct Area {
  int x = 0, y = 0, width = 0, height = 0;
};

// The widths of a window manager's frame around a window.
struct FrameExtents {
  int left = 0, right = 0, top = 0, bottom = 0;
};

// The widest frame side believed: anything wider is not a frame but another client's
// mischief (the property can be set by anyone).
constexpr unsigned long kMaxFrameExtent = 512;

// A _NET_FRAME_EXTENTS value (left, right, top, bottom) as a frame; all zero unless
// it has exactly four items, each at most kMaxFrameExtent.
FrameExtents frame_from_extents(const std::vector<unsigned long> &items);

// The frame between a window's inside and the outer area around it (a window
// manager's frame window), both in root coordinates; a side where outer does not
// reach beyond inside counts as none, and the whole as frame_from_extents does.
FrameExtents frame_between(const Area &inside, const Area &outer);

// Where to ask for the frame of a window whose inside is width x height and whose
// frame is frame, so that its inside is centred on target's, kept within monitor as
// far as it fits: the frame's top-left corner in *x, *y (the window manager's default
// gravity places the frame there). Sizes may be anything an X server reports.
void centred_frame_origin(const Area &target, int width, int height, const FrameExtents &frame,
                          const Area &monitor, int *x, int *y);

// The share of monitor that the work area leaves to windows (panels and docks take
// the rest): monitor intersected with the desktop's entry of a _NET_WORKAREA value
// (x, y, width, height for each desktop). monitor itself when there is no such entry
// or it leaves nothing of monitor.
Area usable_area(const Area &monitor, const std::vector<unsigned long> &work_areas,
                 unsigned long desktop);
