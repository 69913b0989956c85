#include "printing/print_options.h"

std::vector<std::pair<std::string, std::string>> job_options(const DialogChoices &choices) {
  std::vector<std::pair<std::string, std::string>> options;
  if (choices.some_pages) {
    std::string ranges;
    for (const PageRange &r : choices.ranges) {
      if (r.start < 0 || (r.end < r.start && r.end != kToLastPage)) continue;
      if (!ranges.empty()) ranges += ",";
      ranges += std::to_string(r.start + 1);
      if (r.end == kToLastPage) ranges += "-";
      if (r.end > r.start) ranges += "-" + std::to_string(r.end + 1);
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
