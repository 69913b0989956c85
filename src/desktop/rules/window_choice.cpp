#include "desktop/rules/window_choice.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

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
    unsigned long best = 0, best_iconic = 0;
    long long best_area = -1, best_iconic_area = -1;
    for (const WindowCandidate &c : candidates) {
      if (c.pid != pid || !(c.viewable || c.iconic) || !same_machine(c.machine, host_name))
        continue;
      if (active != 0 && c.id == active) return c.id;
      if (c.viewable && c.area > best_area) {
        best = c.id;
        best_area = c.area;
      } else if (!c.viewable && c.area > best_iconic_area) {
        best_iconic = c.id;
        best_iconic_area = c.area;
      }
    }
    if (best != 0) return best;
    if (best_iconic != 0) return best_iconic;
  }
  return 0;
}
