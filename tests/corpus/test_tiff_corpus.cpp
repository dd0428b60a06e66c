// The TIFF and EPS rows of the shared corpus: every file loads without fault, and every page
// with a reference decode loads pixel for pixel like it, except where this library's documented
// behaviour differs from the reference decoder (listed below with the reason).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/support.h"
#include "support/tiff_corpus.h"

namespace {

using pxv_test::CorpusRow;

// Files where the documented decoding is not what the reference shows.
const std::map<std::string, std::string> kKnownDifferences = {
    {"tiff/lt_quad-lzw-compat.tiff", "old-style LSB-first LZW is not the LZW this reader decodes"},
    {"tiff/lt_minisblack-1c-16b.tiff", "16-bit samples: no DIB depth holds them"},
    {"tiff/tm_group3_2d.tif", "two-dimensional Group 3 is read as one-dimensional"},
    {"tiff/tm_flower-palette-02.tif", "2-bit samples: no DIB depth holds them"},
    {"tiff/tm_smallliz.tif", "old-style JPEG compression: no rows are delivered"},
    {"tiff/pil_hopper_bigtiff.tif", "BigTIFF is not classic TIFF"},
    // The horizontal predictor differences by byte for every sample count but three.
    {"tiff/rs_hpredict.tiff", "predictor on four samples differences by byte"},
    {"tiff/sr_cmyk-small.tif", "predictor on four samples differences by byte"},
    {"tiff/gen_cmyk_lzw_pred2_MM.tif", "predictor on four samples differences by byte"},
    // Pillow 9.4 converts CMYK multiplicatively, (255 - C)(255 - K) / 255; this library uses
    // 255 - (C + K), 0 from 255 on. The oracle test checks CMYK against Pillow's raw samples.
    {"tiff/tm_flower-separated-contig-08.tif", "CMYK conversion differs"},
    {"tiff/tm_flower-separated-planar-08.tif", "CMYK conversion differs"},
    {"tiff/gen_cmyk_edges_8x2_II.tif", "CMYK conversion differs"},
    {"tiff/tm_contrib_multipage.tif#1", "two-dimensional Group 3 is read as one-dimensional"},
};

// 4-bit gray files: this library's default 4-bit ramp is i * 16 (0 to 240), the reference's
// i * 17 (0 to 255); the pixels are compared by index.
bool is_gray4(const std::string &path) {
  return path == "tiff/tm_flower-minisblack-04.tif" || path == "tiff/gen_gray4_MM.tif" ||
         path == "tiff/gen_gray4_II.tif" || path == "tiff/pil_hopper4I.tif";
}

std::string corpus_path(const std::string &relative) {
  return std::string(PXV_CORPUS_DIR) + "/" + relative;
}

class TiffCorpus : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(TiffCorpus, LoadsLikeReference) {
  const CorpusRow &row = GetParam();
  const std::string path = corpus_path(row.path);
  const int pages = row.pages > 0 ? row.pages : 1;
  for (int page = 0; page < pages; ++page) {
    SCOPED_TRACE("page " + std::to_string(page));
    const int handle = pxv_test::load_page(path, page);
    std::string ref;
    if (page == 0) {
      ref = row.ref;
    } else {
      for (const char *ext : {".ppm", ".pgm"}) {
        std::string candidate = row.path + ".page" + std::to_string(page) + ".ref" + ext;
        if (pxv_test::file_exists(corpus_path(candidate))) ref = candidate;
      }
    }
    if (row.malformed || ref.empty() || ref == "-") {
      // No reference: a clean result code or an image, and no fault.
      if (handle >= 0) {
        IMG_delete_bitmap(handle);
      } else {
        pxv_test::release_all_slots();
        EXPECT_TRUE(handle == PXV_ERR_NO_MEMORY || handle == PXV_ERR_DATA ||
                    handle == PXV_ERR_PAGE || handle == PXV_ERR_TYPE || handle == PXV_ERR_READ)
            << handle;
      }
      continue;
    }
    if (handle < 0) pxv_test::release_all_slots();
    if (kKnownDifferences.count(row.path) != 0 ||
        kKnownDifferences.count(row.path + "#" + std::to_string(page)) != 0) {
      if (handle >= 0) IMG_delete_bitmap(handle);
      continue;
    }
    ASSERT_GE(handle, 0) << row.path;
    pxv_test::Rgb want;
    ASSERT_TRUE(pxv_test::read_pnm(corpus_path(ref), &want)) << ref;
    pxv_test::Rgb got = pxv_test::handle_rgb(handle);
    IMG_delete_bitmap(handle);
    ASSERT_EQ(got.width, want.width);
    ASSERT_EQ(got.height, want.height);
    if (is_gray4(row.path))
      for (std::uint8_t &v : want.pixels) v = static_cast<std::uint8_t>(v / 17 * 16);
    std::size_t first = pxv_test::first_difference(got, want);
    EXPECT_EQ(first, std::string::npos)
        << "first difference at pixel " << first / 3 / want.width << "," << first / 3 % want.width;
  }
}

TEST(TiffCorpusFiles, EpsWithoutPreviewOrMagicFails) {
  EXPECT_EQ(IMG_decompress_bitmap(corpus_path("eps/pil_non_zero_bb.eps").c_str()), PXV_ERR_TYPE)
      << "a plain-text EPS has no binary header, so nothing detects it";
  EXPECT_LT(IMG_decompress_bitmap(corpus_path("eps/gen_preview_offset_past_eof.eps").c_str()), 0);
  EXPECT_LT(IMG_decompress_bitmap(corpus_path("eps/gen_no_tiff_preview.eps").c_str()), 0);
  pxv_test::release_all_slots();
}

std::string row_name(const ::testing::TestParamInfo<CorpusRow> &info) {
  std::string name;
  for (char c : info.param.path) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Manifest, TiffCorpus,
                         ::testing::ValuesIn(pxv_test::corpus_rows({"tiff", "eps"})), row_name);

}  // namespace
