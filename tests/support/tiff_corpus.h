// A small reader of the corpus MANIFEST.tsv for the TIFF and EPS tests, and the comparisons
// those tests share.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "support/support.h"

namespace pxv_test {

struct CorpusRow {
  std::string path;    // relative to the corpus folder
  std::string format;  // "tiff", "eps", ...
  int pages = 1;
  std::string ref;     // relative path of the page-0 reference, or "-"
  bool malformed = false;
};

// gtest prints a row by its path.
inline void PrintTo(const CorpusRow &row, std::ostream *os) { *os << row.path; }

// The rows of the given formats, in MANIFEST order.
std::vector<CorpusRow> corpus_rows(const std::vector<std::string> &formats);

// Loads one page of a file through the public API (page 0 by name, others by handle and page).
int load_page(const std::string &path, int page);

// A failed load keeps its slot (and any DIB made before the failure). For tests that hold no
// other image: hands every slot back, so that a run ends without leaks.
void release_all_slots();

// Byte index of the first difference of two images of the same size, or std::string::npos.
std::size_t first_difference(const Rgb &a, const Rgb &b);

}  // namespace pxv_test
