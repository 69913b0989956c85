#include "desktop/rules/placement.h"

#include <algorithm>

FrameExtents frame_from_extents(const std::vector<unsigned long> &items) {
  FrameExtents frame;
  if (items.size() != 4 ||
      std::any_of(items.begin(), items.end(), [](unsigned long v) { return v > kMaxFrameExtent; }))
    return frame;
  frame.left = static_cast<int>(items[0]);
  frame.right = static_cast<int>(items[1]);
  frame.top = static_cast<int>(items[2]);
  frame.bottom = static_cast<int>(items[3]);
  return frame;
}

FrameExtents frame_between(const Area &inside, const Area &outer) {
  auto side = [](long long v) { return static_cast<unsigned long>(std::max(v, 0LL)); };
  long long ix = inside.x, iy = inside.y, ox = outer.x, oy = outer.y;
  return frame_from_extents({side(ix - ox), side(ox + outer.width - ix - inside.width),
                             side(iy - oy), side(oy + outer.height - iy - inside.height)});
}

// The start of the frame's span on one axis: the inside (size long, frame low and
// high on either side) centred on target's centre, within the monitor's span.
static int frame_start(int target, int target_size, int size, int low, int high, int monitor,
                       int monitor_size) {
  // In 64 bits: every input is what an X server reports (16-bit sizes, 16-bit signed
  // positions), so nothing here can overflow and the results fit an int again.
  long long outer = static_cast<long long>(size) + low + high;
  long long start = static_cast<long long>(target) + target_size / 2 - size / 2 - low;
  start = std::min(start, static_cast<long long>(monitor) + monitor_size - outer);
  return static_cast<int>(std::max(start, static_cast<long long>(monitor)));
}

void centred_frame_origin(const Area &target, int width, int height, const FrameExtents &frame,
                          const Area &monitor, int *x, int *y) {
  *x =
      frame_start(target.x, target.width, width, frame.left, frame.right, monitor.x, monitor.width);
  *y = frame_start(target.y, target.height, height, frame.top, frame.bottom, monitor.y,
                   monitor.height);
}

Area usable_area(const Area &monitor, const std::vector<unsigned long> &work_areas,
                 unsigned long desktop) {
  if (desktop >= work_areas.size() / 4) return monitor;
  // In 64 bits: the items are any 32-bit values another client put there.
  const unsigned long *w = &work_areas[desktop * 4];
  long long left = std::max<long long>(monitor.x, static_cast<long long>(w[0]));
  long long top = std::max<long long>(monitor.y, static_cast<long long>(w[1]));
  long long right =
      std::min<long long>(static_cast<long long>(monitor.x) + monitor.width,
                          static_cast<long long>(w[0]) + static_cast<long long>(w[2]));
  long long bottom =
      std::min<long long>(static_cast<long long>(monitor.y) + monitor.height,
                          static_cast<long long>(w[1]) + static_cast<long long>(w[3]));
  if (right <= left || bottom <= top) return monitor;
  return Area{static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
              static_cast<int>(bottom - top)};
}
