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
  const Bytes file = read_file(c.full_path());
  const int from_file = load_page(c.full_path()), from_memory = IMG_decompress_bitmap_mem(file.data(), 0);
  ASSERT_GE(from_memory, 0);
  EXPECT_EQ(read_handle(from_memory).rows, read_handle(from_file).rows);
  IMG_delete_bitmap(from_memory);
  IMG_delete_bitmap(from_file);
}

INSTANTIATE_TEST_SUITE_P(Manifest, WpgCorpus, ::testing::ValuesIn(corpus_cases({"wpg"})), corpus_case_name);

}  // namespace
}  // namespace pxv_test
