#include "printing/pdf_pages.h"

#include <qpdf/qpdf-c.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "common/io.h"

std::vector<int> selected_pages(int page_count, const DialogChoices &choices, bool reverse) {
  std::vector<bool> wanted(static_cast<size_t>(std::max(page_count, 0)) + 1, !choices.some_pages);
  if (choices.some_pages) {
    for (const PageRange &r : choices.ranges) {
      if (r.start < 0 || (r.end < r.start && r.end != kToLastPage)) continue;
      int last = r.end == kToLastPage ? page_count : std::min(r.end + 1, page_count);
      for (int page = r.start + 1; page <= last; ++page) wanted[static_cast<size_t>(page)] = true;
    }
  }
  std::vector<int> pages;
  for (int page = 1; page <= page_count; ++page) {
    if (!wanted[static_cast<size_t>(page)]) continue;
    if (choices.page_set == PageSet::Odd && page % 2 == 0) continue;
    if (choices.page_set == PageSet::Even && page % 2 == 1) continue;
    pages.push_back(page);
  }
  if (reverse) std::reverse(pages.begin(), pages.end());
  return pages;
}

namespace {
// The whole of the file fd, read from its start, or false.
bool read_whole(int fd, std::string *bytes) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < 0) return false;
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes->size()) {
    ssize_t n = pread(fd, &(*bytes)[got], bytes->size() - got, static_cast<off_t>(got));
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// A qpdf reader of the PDF in bytes (which must outlive it), or nullptr. qpdf says
// nothing on standard error: failures come back as results.
qpdf_data read_pdf(const std::string &bytes) {
  qpdf_data pdf = qpdf_init();
  qpdf_silence_errors(pdf);
  qpdf_set_suppress_warnings(pdf, QPDF_TRUE);
  if (qpdf_read_memory(pdf, "document", bytes.data(), bytes.size(), nullptr) & QPDF_ERRORS) {
    qpdf_cleanup(&pdf);
    return nullptr;
  }
  return pdf;
}
}  // namespace

int write_selected_pages(int in_fd, const DialogChoices &choices, bool reverse, int out_fd) {
  std::string bytes;
  if (!read_whole(in_fd, &bytes)) return -1;
  qpdf_data in = read_pdf(bytes);
  if (!in) return -1;
  int count = qpdf_get_num_pages(in);
  std::vector<int> pages = selected_pages(count, choices, reverse);
  int written = -1;
  qpdf_data out = qpdf_init();
  qpdf_silence_errors(out);
  qpdf_set_suppress_warnings(out, QPDF_TRUE);
  if (count >= 0 && !(qpdf_empty_pdf(out) & QPDF_ERRORS)) {
    bool added = true;
    for (int page : pages) {
      qpdf_oh oh = qpdf_get_page_n(in, static_cast<size_t>(page - 1));
      if (qpdf_add_page(out, in, oh, QPDF_FALSE) & QPDF_ERRORS) added = false;
    }
    // The pages' streams are copied as they are: never decoded, never compressed.
    bool ready = added && !(qpdf_init_write_memory(out) & QPDF_ERRORS);
    if (ready) {
      qpdf_set_decode_level(out, qpdf_dl_none);
      qpdf_set_compress_streams(out, QPDF_FALSE);
    }
    if (ready && !(qpdf_write(out) & QPDF_ERRORS)) {
      size_t length = qpdf_get_buffer_length(out);
      const unsigned char *buffer = qpdf_get_buffer(out);
      if (write_all(out_fd, buffer, length)) written = static_cast<int>(pages.size());
    }
  }
  qpdf_cleanup(&out);
  qpdf_cleanup(&in);
  return written;
}

bool pdf_first_page_size(int in_fd, double *width, double *height) {
  std::string bytes;
  if (!read_whole(in_fd, &bytes)) return false;
  qpdf_data pdf = read_pdf(bytes);
  if (!pdf) return false;
  bool found = false;
  if (qpdf_get_num_pages(pdf) > 0) {
    qpdf_oh node = qpdf_get_page_n(pdf, 0);
    qpdf_oh box = 0, rotate = 0;
    // A page takes its media box and rotation from the nearest node that has them;
    // a bounded climb, whatever loops a damaged file holds.
    for (int depth = 0; depth < 64 && qpdf_oh_is_dictionary(pdf, node); ++depth) {
      if (!box && qpdf_oh_has_key(pdf, node, "/MediaBox"))
        box = qpdf_oh_get_key(pdf, node, "/MediaBox");
      if (!rotate && qpdf_oh_has_key(pdf, node, "/Rotate"))
        rotate = qpdf_oh_get_key(pdf, node, "/Rotate");
      if (!qpdf_oh_has_key(pdf, node, "/Parent")) break;
      node = qpdf_oh_get_key(pdf, node, "/Parent");
    }
    if (box && qpdf_oh_is_array(pdf, box) && qpdf_oh_get_array_n_items(pdf, box) == 4) {
      double v[4];
      bool numbers = true;
      for (int i = 0; i < 4; ++i) {
        qpdf_oh item = qpdf_oh_get_array_item(pdf, box, i);
        numbers = numbers && qpdf_oh_is_number(pdf, item);
        v[i] = numbers ? qpdf_oh_get_numeric_value(pdf, item) : 0;
      }
      double w = std::fabs(v[2] - v[0]), h = std::fabs(v[3] - v[1]);
      int turns = rotate && qpdf_oh_is_integer(pdf, rotate)
                      ? static_cast<int>(qpdf_oh_get_int_value(pdf, rotate) / 90 % 2)
                      : 0;
      if (numbers && w > 0 && h > 0) {
        *width = turns ? h : w;
        *height = turns ? w : h;
        found = true;
      }
    }
  }
  qpdf_cleanup(&pdf);
  return found;
}

bool postscript_page_size(const char *head, size_t n, double *width, double *height) {
  static const char kMedia[] = "%%DocumentMedia:";
  std::string text(head, n);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.compare(0, sizeof kMedia - 1, kMedia) != 0) continue;
    char name[64];
    double w = 0, h = 0;
    if (sscanf(line.c_str() + sizeof kMedia - 1, " %63s %lf %lf", name, &w, &h) == 3 && w > 0 &&
        h > 0 && w < 1e5 && h < 1e5) {
      *width = w;
      *height = h;
      return true;
    }
  }
  return false;
}
