#include "desktop/rules/focus_policy.h"

#include <algorithm>

bool person_elsewhere(unsigned long active, long active_pid, unsigned long host,
                      const std::vector<long> &ancestors, long own_pid) {
  if (active == 0 || active == host) return false;
  if (active_pid != 0 && (active_pid == own_pid || std::find(ancestors.begin(), ancestors.end(),
                                                             active_pid) != ancestors.end()))
    return false;
  return true;
}
