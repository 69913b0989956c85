// What the person chose in the print dialog, as the print options of a job that the
// printing system runs from a file: the choices the toolkit leaves to applications
// that draw their own pages. Plain decoding, no toolkit, so unit tests drive it.
#pragma once

#include <string>
#include <utility>
#include <vector>

// A run of pages as the dialog gives it: numbered from 0, both ends included; a run
// typed open ("2-") ends at kToLastPage.
constexpr int kToLastPage = -1;
struct PageRange {
  int start = 0;
  int end = 0;
};

enum class PageSet { All, Even, Odd };
enum class Orientation { Portrait, Landscape, ReversePortrait, ReverseLandscape };

struct DialogChoices {
  bool some_pages = false;  // "Pages:" was chosen, not all pages
  std::vector<PageRange> ranges;
  PageSet page_set = PageSet::All;
  Orientation orientation = Orientation::Portrait;
};

// The IPP job options (name, value as lp's -o would take it) that carry choices:
// "page-ranges" numbered from 1, every range given, sorted and merged as the print
// server wants them ("5,2-3" is "2-3,5"; "2-" runs to the last page), "page-set",
// "orientation-requested". A choice that is the printer's
// default anyway (all pages, both sides' pages, portrait) gives no option. Ranges that
// end before they start are left out.
std::vector<std::pair<std::string, std::string>> job_options(const DialogChoices &choices);
