// Every WPG of the corpus loads like its reference decode, or as documented below; files in
// memory load as from disk.
#include <gtest/gtest.h>

#include "support/corpus.h"

namespace pxv_test {
namespace {

const DocumentedDifferences kDocumented = {
    {"gen_type2_1bit_cmap_red_blue.wpg", {Outcome::kLoads, 0, "a 1-bit bitmap is black and white whatever the map"}},
};

class WpgCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(WpgCorpus, LoadsAsDocumented) {
  const CorpusCase &c = GetParam();
  run_corpus_case(c, documented(kDocumented, c));
  expect_memory_load_like_file(c.full_path());
}

INSTANTIATE_TEST_SUITE_P(Manifest, WpgCorpus, ::testing::ValuesIn(corpus_cases({"wpg"})), corpus_case_name);

}  // namespace
}  // namespace pxv_test
