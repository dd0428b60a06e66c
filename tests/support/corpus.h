// The reader conformance corpus (PXV_CORPUS_DIR): its MANIFEST.tsv rows, their reference
// decodes, and a pixel comparison of a loaded handle with a reference. Format-agnostic: each
// format's corpus test picks its rows by format name and states its own expectations.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "support.h"

namespace pxv_test {

struct CorpusRow {
  std::string path;      // relative to the corpus folder
  std::string format;    // "bmp", "tiff", ...
  std::string features;  // comma list
  std::string width, height, pages;
  std::string ref;  // relative path of the reference decode, or "-"
  bool malformed = false;
  std::string notes;

  std::string file() const;  // the file name without its folder
  std::string full_path() const;
  bool has_reference() const { return ref != "-" && !ref.empty(); }
  bool has_feature(const std::string &feature) const;
};

std::string corpus_dir();
// Every row of the manifest whose format column is `format`, in manifest order.
std::vector<CorpusRow> corpus_rows(const std::string &format);
// A name that gtest accepts for a parametrised case: the file name with [A-Za-z0-9_] only.
std::string corpus_case_name(const CorpusRow &row);

// How a loaded handle compares with a reference decode.
struct CorpusComparison {
  bool loaded_reference = false;  // the reference file could be read
  bool same_size = false;
  long pixels = 0;
  long differing = 0;
  std::string first_difference;  // "x,y: ours r g b, reference r g b"
  // Every differing pixel, when the caller wants to judge them (row-major index).
  std::vector<long> differing_at;
};
CorpusComparison compare_with_reference(int handle, const CorpusRow &row);
// The reference decode of a row as RGB (gray widened), or false.
bool read_reference(const CorpusRow &row, Rgb *out);

// Deletes every image handle. A failed load keeps its slot by design; tests that expect
// failures call this so that the slots do not outlive the test.
void release_all_images();

// Lets gtest name a row by its path instead of dumping its bytes.
void PrintTo(const CorpusRow &row, std::ostream *out);

}  // namespace pxv_test
