#include "document.h"

#include <cstdio>
#include <string>

namespace {
// splitmix64: small, fast and good enough to pick words and numbers.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

const char *const kWords[] = {
    "the",       "of",        "and",         "to",        "in",         "a",         "is",
    "that",      "for",       "it",          "as",        "was",        "with",      "be",
    "by",        "on",        "not",         "he",        "this",       "are",       "or",
    "his",       "from",      "at",          "which",     "but",        "have",      "an",
    "had",       "they",      "you",         "were",      "their",      "one",       "all",
    "we",        "can",       "her",         "has",       "there",      "been",      "if",
    "more",      "when",      "will",        "would",     "who",        "so",        "no",
    "quarterly", "report",    "revenue",     "account",   "balance",    "customer",  "invoice",
    "payment",   "total",     "amount",      "period",    "service",    "delivery",  "order",
    "figure",    "table",     "section",     "summary",   "results",    "growth",    "market",
    "region",    "product",   "system",      "process",   "number",     "value",     "change",
    "increase",  "decrease",  "compared",    "previous",  "following",  "expected",  "reported",
    "between",   "during",    "within",      "against",   "average",    "percent",   "million",
    "thousand",  "statement", "operating",   "financial", "management", "committee", "approved",
    "schedule",  "note",      "page",        "see",       "also",       "above",     "below",
    "including", "excluding", "net",         "gross",     "cost",       "costs",     "income",
    "expenses",  "assets",    "liabilities", "equity",    "cash",       "flow",      "year",
    "years",     "month",     "months",      "first",     "second",     "third",     "fourth",
};
constexpr unsigned kWordCount = sizeof kWords / sizeof kWords[0];

void put(std::string &out, const char *s) { out += s; }

void put_number(std::string &out, unsigned n) {
  char buf[16];
  int len = snprintf(buf, sizeof buf, "%u", n);
  out.append(buf, static_cast<size_t>(len));
}

// One page: a content stream object of text lines, about 3 KiB.
void put_page(std::string &out, Random &rng, unsigned object) {
  put_number(out, object);
  put(out, " 0 obj\n<< /Length 0 >>\nstream\nBT\n/F1 ");
  put_number(out, 9 + rng.below(4));
  put(out, " Tf\n72 ");
  put_number(out, 700 + rng.below(60));
  put(out, " Td\n");
  unsigned lines = 30 + rng.below(20);
  for (unsigned l = 0; l < lines; ++l) {
    put(out, "(");
    unsigned words = 6 + rng.below(8);
    for (unsigned w = 0; w < words; ++w) {
      if (w) out += ' ';
      // A skewed pick: short common words come up more often.
      unsigned r = rng.below(kWordCount);
      put(out, kWords[rng.below(2) ? r : r / 4]);
      if (rng.below(16) == 0) put_number(out, rng.below(100000));
    }
    put(out, ") Tj\n0 -");
    put_number(out, 12 + rng.below(4));
    put(out, " Td\n");
  }
  put(out, "ET\nendstream\nendobj\n");
}
}  // namespace

Bytes pdf_like_document(size_t size, uint64_t seed) {
  static const char kHead[] =
      "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  static const char kTail[] = "\n%%EOF\n";
  std::string text = kHead;
  text.reserve(size + 8192);
  Random rng{seed};
  for (unsigned object = 3; text.size() < size; ++object) put_page(text, rng, object);
  text.resize(size);
  size_t tail = sizeof kTail - 1 < size ? sizeof kTail - 1 : size;
  text.replace(size - tail, tail, kTail + (sizeof kTail - 1 - tail), tail);
  return Bytes(text.begin(), text.end());
}
