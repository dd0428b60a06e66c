// The reader conformance corpus (PXV_CORPUS_DIR): its MANIFEST.tsv rows, their reference
// decodes, and one runner that every format's corpus test drives. A test names its formats and
// the rows where this library's documented result differs from the reference, with the reason.
#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace pxv_test {

// One page of one manifest row.
struct CorpusCase {
  std::string path;      // relative to the corpus folder
  std::string format;    // "bmp", "tiff", ...
  std::string features;  // comma list
  std::string width, height;
  int page = 0;
  std::string ref;  // relative path of this page's reference decode, or ""
  bool malformed = false;
  std::string notes;

  std::string file() const;  // the file name without its folder
  std::string full_path() const;
  bool has_feature(const std::string &feature) const;
};
void PrintTo(const CorpusCase &c, std::ostream *out);

std::string corpus_path(const std::string &relative);
// Every page of every manifest row of the given formats, in manifest order.
std::vector<CorpusCase> corpus_cases(const std::vector<std::string> &formats);
// A name that gtest accepts: path and page with [A-Za-z0-9_] only.
std::string corpus_case_name(const ::testing::TestParamInfo<CorpusCase> &info);

// Loads one page of a file through the public API (page 0 by name, others by handle and
// page). A failed load keeps its slot by design; this hands such slots back.
int load_page(const std::string &path, int page = 0);

// A whole file loaded from a memory block of its exact size gives the rows the file load gives:
// the memory stream has no known end, so nothing may be read past the image's data.
void expect_memory_load_like_file(const std::string &path);

// Empty when the two images hold the same pixels; otherwise where they first differ.
std::string pixel_difference(const Rgb &ours, const Rgb &reference);

// What a case must do when it is not "loads and matches its reference pixel for pixel".
enum class Outcome {
  kSame,           // loads, same pixels as the reference (or the test's own comparison)
  kLoads,          // loads a whole image, of the manifest's size; pixels differ by design
  kRefused,        // fails with `code` (0: any negative code)
  kSameUpToTable,  // the reference's picture under another colour table, and not identical
  kLoadsOrFails,   // malformed: a whole image, or a clean failure (`code` when not 0)
};
struct Documented {
  Outcome outcome = Outcome::kSame;
  int code = 0;
  std::string why;
};
// Looked up by "path#page", then "path", then the file name alone.
using DocumentedDifferences = std::map<std::string, Documented>;
Documented documented(const DocumentedDifferences &table, const CorpusCase &c);

// Compares our pixels with the reference's with gtest assertions; exact by default.
using Compare = std::function<void(const CorpusCase &, const Rgb &ours, const Rgb &reference)>;
// Loads the case and checks it. Rows not in the table must load; malformed rows not in it
// load a whole image or fail cleanly; rows with a reference are compared with it.
void run_corpus_case(const CorpusCase &c, const Documented &expected, const Compare &compare = {});

}  // namespace pxv_test
