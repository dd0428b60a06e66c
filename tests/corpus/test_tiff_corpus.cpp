// Every TIFF and EPS page of the corpus loads like its reference decode, or as documented.
#include <gtest/gtest.h>

#include "support/corpus.h"

namespace pxv_test {
namespace {

const Documented kPredictor4 = {Outcome::kLoads, 0, "predictor on four samples differences by byte"};
// Pillow 9.4 converts CMYK multiplicatively, (255 - C)(255 - K) / 255; this library uses
// 255 - (C + K), 0 from 255 on. The oracle test checks CMYK against Pillow's raw samples.
const Documented kCmyk = {Outcome::kLoads, 0, "CMYK conversion differs"};
const Documented kGroup3_2d = {Outcome::kLoads, 0, "two-dimensional Group 3 is read as one-dimensional"};

const DocumentedDifferences kDocumented = {
    {"tiff/lt_quad-lzw-compat.tiff", {Outcome::kLoads, 0, "old-style LSB-first LZW is not the LZW this reader decodes"}},
    {"tiff/lt_minisblack-1c-16b.tiff", {Outcome::kRefused, 0, "16-bit samples: no DIB depth holds them"}},
    {"tiff/tm_flower-palette-02.tif", {Outcome::kRefused, 0, "2-bit samples: no DIB depth holds them"}},
    {"tiff/tm_smallliz.tif", {Outcome::kLoads, 0, "old-style JPEG compression: no rows are delivered"}},
    {"tiff/pil_hopper_bigtiff.tif", {Outcome::kRefused, 0, "BigTIFF is not classic TIFF"}},
    {"tiff/tm_group3_2d.tif", kGroup3_2d},
    {"tiff/tm_contrib_multipage.tif#1", kGroup3_2d},
    {"tiff/rs_hpredict.tiff", kPredictor4},
    {"tiff/sr_cmyk-small.tif", kPredictor4},
    {"tiff/gen_cmyk_lzw_pred2_MM.tif", kPredictor4},
    {"tiff/tm_flower-separated-contig-08.tif", kCmyk},
    {"tiff/tm_flower-separated-planar-08.tif", kCmyk},
    {"tiff/gen_cmyk_edges_8x2_II.tif", kCmyk},
    // A plain-text EPS has no binary header, so nothing detects it.
    {"eps/pil_non_zero_bb.eps", {Outcome::kRefused, PXV_ERR_TYPE, "no binary EPS header"}},
    {"eps/gen_preview_offset_past_eof.eps", {Outcome::kRefused, 0, "preview past the end"}},
    {"eps/gen_no_tiff_preview.eps", {Outcome::kRefused, 0, "no TIFF preview"}},
};

// 4-bit gray: this library's default ramp is i * 16 (0 to 240), the reference's i * 17.
void compare(const CorpusCase &c, const Rgb &ours, const Rgb &ref) {
  Rgb want = ref;
  if (c.file() == "tm_flower-minisblack-04.tif" || c.file() == "gen_gray4_MM.tif" ||
      c.file() == "gen_gray4_II.tif" || c.file() == "pil_hopper4I.tif")
    for (std::uint8_t &v : want.pixels) v = std::uint8_t(v / 17 * 16);
  EXPECT_EQ(pixel_difference(ours, want), "");
}

class TiffCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(TiffCorpus, LoadsAsDocumented) { run_corpus_case(GetParam(), documented(kDocumented, GetParam()), compare); }

TEST(TiffCorpus, IsTiffCmykTellsCmykFromOtherFiles) {
  EXPECT_EQ(IMG_IsTiffCmyk(corpus_path("tiff/gen_cmyk_edges_8x2_II.tif").c_str()), 1);
  EXPECT_EQ(IMG_IsTiffCmyk(corpus_path("tiff/gen_rgb_lzw_pred2_MM.tif").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Manifest, TiffCorpus, ::testing::ValuesIn(corpus_cases({"tiff", "eps"})),
                         corpus_case_name);

}  // namespace
}  // namespace pxv_test
