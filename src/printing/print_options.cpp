#include "printing/print_options.h"

#include <algorithm>
#include <limits>

std::vector<std::pair<std::string, std::string>> job_options(const DialogChoices &choices) {
  std::vector<std::pair<std::string, std::string>> options;
  if (choices.some_pages) {
    // The print server takes ranges only in ascending order, without overlaps (and
    // prints the pages in the document's order anyway): they are sorted and merged.
    std::vector<std::pair<long, long>> runs;  // numbered from 1; open ends at kOpen
    const long kOpen = std::numeric_limits<long>::max();
    for (const PageRange &r : choices.ranges) {
      if (r.start < 0 || (r.end < r.start && r.end != kToLastPage)) continue;
      runs.emplace_back(r.start + 1L, r.end == kToLastPage ? kOpen : r.end + 1L);
    }
    std::sort(runs.begin(), runs.end());
    std::vector<std::pair<long, long>> merged;
    for (const auto &run : runs) {
      if (!merged.empty() &&
          (merged.back().second == kOpen || run.first <= merged.back().second + 1))
        merged.back().second = std::max(merged.back().second, run.second);
      else
        merged.push_back(run);
    }
    std::string ranges;
    for (const auto &run : merged) {
      if (!ranges.empty()) ranges += ",";
      ranges += std::to_string(run.first);
      if (run.second == kOpen)
        ranges += "-";
      else if (run.second > run.first)
        ranges += "-" + std::to_string(run.second);
    }
    if (!ranges.empty()) options.emplace_back("page-ranges", ranges);
  }
  if (choices.page_set == PageSet::Even) options.emplace_back("page-set", "even");
  if (choices.page_set == PageSet::Odd) options.emplace_back("page-set", "odd");
  // IPP's orientation-requested values.
  switch (choices.orientation) {
    case Orientation::Portrait:
      break;
    case Orientation::Landscape:
      options.emplace_back("orientation-requested", "4");
      break;
    case Orientation::ReverseLandscape:
      options.emplace_back("orientation-requested", "5");
      break;
    case Orientation::ReversePortrait:
      options.emplace_back("orientation-requested", "6");
      break;
  }
  return options;
}
