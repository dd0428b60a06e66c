// Every BMP of the corpus loads like its reference decode, or as documented below.
#include <gtest/gtest.h>

#include "support/corpus.h"

namespace pxv_test {
namespace {

const DocumentedDifferences kDocumented = {
    // Any header size other than 40 is an OS/2 header: these newer headers then read a 32-bit
    // width's high half as the height and a bit count of 0.
    {"bmpsuite_g_pal8v4.bmp", {Outcome::kRefused, PXV_ERR_DATA, "108-byte header read as OS/2"}},
    {"bmpsuite_g_pal8v5.bmp", {Outcome::kRefused, PXV_ERR_DATA, "124-byte header read as OS/2"}},
    {"bmpsuite_q_pal8os2v2.bmp", {Outcome::kRefused, PXV_ERR_DATA, "64-byte OS/2 2.x header"}},
    {"bmpsuite_q_pal8os2v2-16.bmp", {Outcome::kRefused, PXV_ERR_DATA, "16-byte OS/2 2.x header"}},
    {"bmpsuite_b_badheadersize.bmp", {Outcome::kRefused, PXV_ERR_DATA, "66-byte header read as OS/2"}},
    {"bmpsuite_g_rgb16.bmp", {Outcome::kRefused, PXV_ERR_TYPE, "16 bits per pixel are not read"}},
    {"bmpsuite_q_pal2.bmp", {Outcome::kRefused, PXV_ERR_TYPE, "2 bits per pixel are not read"}},
    {"bmpsuite_b_badbitcount.bmp", {Outcome::kRefused, PXV_ERR_DATA, "bit count 30000"}},
    {"bmpsuite_b_rletopdown.bmp", {Outcome::kRefused, PXV_ERR_DATA, "top-down RLE is refused"}},
    {"bmpsuite_b_reallybig.bmp", {Outcome::kRefused, PXV_ERR_NO_MEMORY, "the DIB cannot be allocated"}},
    // Malformed data that the policy reads as far as it goes.
    {"bmpsuite_b_badrle.bmp", {Outcome::kLoads, 0, "runs clipped at the row end"}},
    {"bmpsuite_b_shortfile.bmp", {Outcome::kLoads, 0, "missing rows read as 0"}},
    {"rs_pal4rlecut.bmp", {Outcome::kLoads, 0, "end of data acts as end of bitmap"}},
    {"rs_rle_overflow.bmp", {Outcome::kLoads, 0, "runs clipped at the row end"}},
    {"pil_hopper_rle8_row_overflow.bmp", {Outcome::kLoads, 0, "runs clipped at the row end"}},
    {"bmpsuite_q_pal8oversizepal.bmp", {Outcome::kLoads, 0, "a full 256-entry table, biClrUsed ignored"}},
};

// Files with RLE deltas: the format leaves skipped pixels undefined. The reference fills them
// with colour-table entry 0; this reader leaves what its row buffer held (RLE8 also copies the
// row into rows a delta passes over, RLE4 does not deliver them). Pixels may differ only there.
void compare(const CorpusCase &c, const Rgb &ours, const Rgb &ref) {
  if (!c.has_feature("delta")) {
    EXPECT_EQ(pixel_difference(ours, ref), "");
    return;
  }
  const Bytes file = read_file(c.full_path());
  ASSERT_GE(file.size(), 58u);
  const std::uint8_t fill[3] = {file[56], file[55], file[54]};
  long differing = 0;
  for (std::size_t i = 0; i < ref.pixels.size(); i += 3) {
    if (std::equal(&ours.pixels[i], &ours.pixels[i] + 3, &ref.pixels[i])) continue;
    ++differing;
    ASSERT_TRUE(std::equal(fill, fill + 3, &ref.pixels[i])) << "pixel " << i / 3 << " differs outside a skip";
  }
  EXPECT_LT(differing, long(ref.pixels.size() / 3));
}

class BmpCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(BmpCorpus, LoadsAsDocumented) {
  const Documented d = documented(kDocumented, GetParam());
  // Every malformed file and every file without a reference has its stated expectation.
  ASSERT_TRUE(d.outcome != Outcome::kLoadsOrFails && (d.outcome != Outcome::kSame || !GetParam().ref.empty()));
  run_corpus_case(GetParam(), d, compare);
}

INSTANTIATE_TEST_SUITE_P(Manifest, BmpCorpus, ::testing::ValuesIn(corpus_cases({"bmp"})),
                         corpus_case_name);

}  // namespace
}  // namespace pxv_test
