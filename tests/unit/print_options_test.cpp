// The print dialog's choices as job options.
#include "printing/print_options.h"

#include <gtest/gtest.h>

#include "printing/pdf_pages.h"

namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

TEST(PrintOptions, ChoicesBecomeTheOptionsLpWouldSend) {
  DialogChoices all;
  EXPECT_EQ(job_options(all), Options{});

  DialogChoices pages;
  pages.some_pages = true;
  pages.ranges = {{1, 1}, {3, 5}, {4, 2}};
  EXPECT_EQ(job_options(pages), (Options{{"page-ranges", "2,4-6"}}));
  // Every range, ascending and merged as the print server takes them, open ones too.
  pages.ranges = {{4, 4}, {1, 2}, {6, kToLastPage}};
  EXPECT_EQ(job_options(pages), (Options{{"page-ranges", "2-3,5,7-"}}));
  pages.ranges = {{2, 5}, {0, 0}, {3, 3}, {6, 6}, {9, kToLastPage}, {12, 13}};
  EXPECT_EQ(job_options(pages), (Options{{"page-ranges", "1,3-7,10-"}}));
  pages.ranges = {};
  EXPECT_EQ(job_options(pages), Options{}) << "no range: all pages";

  DialogChoices odd;
  odd.page_set = PageSet::Odd;
  odd.orientation = Orientation::Landscape;
  EXPECT_EQ(job_options(odd), (Options{{"page-set", "odd"}, {"orientation-requested", "4"}}));
  DialogChoices even;
  even.page_set = PageSet::Even;
  even.orientation = Orientation::ReversePortrait;
  EXPECT_EQ(job_options(even), (Options{{"page-set", "even"}, {"orientation-requested", "6"}}));
  even.orientation = Orientation::ReverseLandscape;
  EXPECT_EQ(job_options(even), (Options{{"page-set", "even"}, {"orientation-requested", "5"}}));
}

}  // namespace

// The pages picked out of a PDF for a queue that prints documents as they are.
TEST(PrintOptions, SelectedPagesFollowRangesPageSetAndOrder) {
  using Pages = std::vector<int>;
  DialogChoices all;
  EXPECT_EQ(selected_pages(3, all, false), (Pages{1, 2, 3}));
  EXPECT_EQ(selected_pages(3, all, true), (Pages{3, 2, 1}));
  EXPECT_EQ(selected_pages(0, all, false), Pages{});
  DialogChoices some;
  some.some_pages = true;
  some.ranges = {{4, 4}, {1, 2}, {8, 9}};  // page 5, pages 2-3, pages past the end
  EXPECT_EQ(selected_pages(6, some, false), (Pages{2, 3, 5}));
  EXPECT_EQ(selected_pages(6, some, true), (Pages{5, 3, 2}));
  some.page_set = PageSet::Odd;
  EXPECT_EQ(selected_pages(6, some, false), (Pages{3, 5}));
  some.ranges = {{3, kToLastPage}};
  some.page_set = PageSet::Even;
  EXPECT_EQ(selected_pages(7, some, false), (Pages{4, 6}));
}

TEST(PrintOptions, PostScriptHeaderGivesItsPaper) {
  double w = 0, h = 0;
  const std::string a4 = "%!PS-Adobe-3.0\n%%DocumentMedia: A4 595 842 0 () ()\n%%EndComments\n";
  ASSERT_TRUE(postscript_page_size(a4.data(), a4.size(), &w, &h));
  EXPECT_EQ(w, 595);
  EXPECT_EQ(h, 842);
  for (const std::string &head : {std::string("%!PS-Adobe-3.0\n%%BoundingBox: 0 0 612 792\n"),
                                  std::string("%%DocumentMedia: Plain 0 842 0 () ()\n"),
                                  std::string("%%DocumentMedia: Broken\n")})
    EXPECT_FALSE(postscript_page_size(head.data(), head.size(), &w, &h)) << head;
}
