// Every Targa of the corpus loads like its reference decode, or as documented below, and from
// memory as from its file.
#include <gtest/gtest.h>

#include "support/corpus.h"

namespace pxv_test {
namespace {

const DocumentedDifferences kDocumented = {
    {"rs_cmap_offset.tga", {Outcome::kLoads, 0, "the map's first-entry field is ignored"}},
    {"sr_square-top-right.tga", {Outcome::kLoads, 0, "the right-to-left bit is ignored"}},
    {"pil_200x32_la_bl_raw.tga", {Outcome::kLoads, 0, "16-bit gray + alpha read as 5-5-5 words"}},
    {"rs_b5-unused-cmap.tga",
     {Outcome::kLoads, 0, "a true-colour file's map is skipped; the reference looks the pixels up in it"}},
    {"pil_p_8.tga", {Outcome::kLoads, 0, "header only: rows past the data read as 0"}},
    {"pil_cross_scan_line_truncated.tga", {Outcome::kLoads, 0, "rows past the data read as 0"}},
    {"rs_reg_overfull-image.tga", {Outcome::kLoads, 0, "rows past the data read as 0"}},
    {"rs_reg_slice-copy-length.tga", {Outcome::kLoads, 0, "rows past the data read as 0"}},
};

// 5-bit channels are shifted, not replicated: only their top five bits match the reference.
void compare(const CorpusCase &c, const Rgb &ours, Rgb ref) {
  for (const char *f : {"15bit", "16bit", "cmap-15bit", "cmap-16bit"})
    for (std::uint8_t &v : ref.pixels) v &= c.has_feature(f) ? 0xF8 : 0xFF;
  EXPECT_EQ(pixel_difference(ours, ref), "");
}

class TgaCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(TgaCorpus, LoadsAsDocumented) {
  const CorpusCase &c = GetParam();
  run_corpus_case(c, documented(kDocumented, c), compare);
  if (!c.malformed) expect_memory_load_like_file(c.full_path());
}

TEST(TgaFiles, MapAlphaLandsInTheFlags) {
  // The 32-bit map entries carry their index as alpha.
  const Capture mapped = read_handle(load_page(corpus_path("tga/gen_cmap32_type1.tga")));
  ASSERT_EQ(mapped.header.size(), 40u + 1024u);
  for (int k = 0; k < 256; ++k) EXPECT_EQ(mapped.header[40 + 4 * k + 3], k) << k;
}

INSTANTIATE_TEST_SUITE_P(Manifest, TgaCorpus, ::testing::ValuesIn(corpus_cases({"tga"})), corpus_case_name);

}  // namespace
}  // namespace pxv_test
