// Every BMP of the corpus: files the reader handles load pixel-identical to their reference;
// files it refuses by design, and malformed files, give the code the reader's policy names.
#include <gtest/gtest.h>

#include <map>

#include "support/corpus.h"
#include "pxvlib10.h"

namespace {

using pxv_test::CorpusRow;

constexpr int kLoads = 1;

// Files whose outcome is not "loads and matches its reference", with the reason.
struct Expectation {
  int code;  // kLoads, or the negative result of the load
  const char *why;
};

const std::map<std::string, Expectation> &expectations() {
  static const std::map<std::string, Expectation> table = {
      // Any header size other than 40 is an OS/2 header: these newer headers then read a 32-bit
      // width's high half as the height and a bit count of 0.
      {"bmpsuite_g_pal8v4.bmp", {PXV_ERR_DATA, "108-byte header read as OS/2"}},
      {"bmpsuite_g_pal8v5.bmp", {PXV_ERR_DATA, "124-byte header read as OS/2"}},
      {"bmpsuite_q_pal8os2v2.bmp", {PXV_ERR_DATA, "64-byte OS/2 2.x header"}},
      {"bmpsuite_q_pal8os2v2-16.bmp", {PXV_ERR_DATA, "16-byte OS/2 2.x header"}},
      {"bmpsuite_b_badheadersize.bmp", {PXV_ERR_DATA, "66-byte header read as OS/2"}},
      {"bmpsuite_g_rgb16.bmp", {PXV_ERR_TYPE, "16 bits per pixel are not read"}},
      {"bmpsuite_q_pal2.bmp", {PXV_ERR_TYPE, "2 bits per pixel are not read"}},
      {"bmpsuite_b_badbitcount.bmp", {PXV_ERR_DATA, "bit count 30000"}},
      {"bmpsuite_b_rletopdown.bmp", {PXV_ERR_DATA, "top-down RLE is refused"}},
      {"bmpsuite_b_reallybig.bmp", {PXV_ERR_NO_MEMORY, "the DIB cannot be allocated"}},
      // Malformed data that the policy reads as far as it goes.
      {"bmpsuite_b_badrle.bmp", {kLoads, "runs clipped at the row end"}},
      {"bmpsuite_b_shortfile.bmp", {kLoads, "missing rows read as 0"}},
      {"rs_pal4rlecut.bmp", {kLoads, "end of data acts as end of bitmap"}},
      {"rs_rle_overflow.bmp", {kLoads, "runs clipped at the row end"}},
      {"pil_hopper_rle8_row_overflow.bmp", {kLoads, "runs clipped at the row end"}},
      {"bmpsuite_q_pal8oversizepal.bmp", {kLoads, "a full 256-entry table, biClrUsed ignored"}},
  };
  return table;
}

// Files with RLE deltas: the format leaves skipped pixels undefined. The reference fills them
// with colour-table entry 0; this reader leaves what its row buffer held (RLE8 also copies the
// row into rows a delta passes over, RLE4 does not deliver them). Pixels may differ only there.
bool skipped_pixels_differ(const CorpusRow &row) { return row.has_feature("delta"); }

class BmpCorpus : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(BmpCorpus, LoadsAsDocumented) {
  const CorpusRow &row = GetParam();
  SCOPED_TRACE(row.path + ": " + row.notes);
  const int handle = IMG_decompress_bitmap(row.full_path().c_str());
  const auto found = expectations().find(row.file());
  if (found != expectations().end()) {
    SCOPED_TRACE(found->second.why);
    if (found->second.code != kLoads) {
      EXPECT_EQ(handle, found->second.code);
      pxv_test::release_all_images();
      return;
    }
    ASSERT_GE(handle, 0);
    int width = 0, height = 0, bits = 0;
    ASSERT_NE(IMG_bitmap_info(handle, &width, &height, &bits), nullptr);
    if (row.width != "-") EXPECT_EQ(std::to_string(width), row.width);
    if (row.height != "-") EXPECT_EQ(std::to_string(height), row.height);
    IMG_delete_bitmap(handle);
    return;
  }
  ASSERT_FALSE(row.malformed) << "a malformed file needs a stated expectation";
  ASSERT_TRUE(row.has_reference()) << "a file without reference needs a stated expectation";
  ASSERT_GE(handle, 0);
  const pxv_test::CorpusComparison c = pxv_test::compare_with_reference(handle, row);
  ASSERT_TRUE(c.loaded_reference);
  ASSERT_TRUE(c.same_size);
  if (skipped_pixels_differ(row)) {
    // The reference's fill colour is entry 0 of the file's table.
    pxv_test::Rgb ref;
    ASSERT_TRUE(pxv_test::read_reference(row, &ref));
    const pxv_test::Bytes file = pxv_test::read_file(row.full_path());
    ASSERT_GE(file.size(), 58u);
    const std::uint8_t fill[3] = {file[56], file[55], file[54]};
    for (long i : c.differing_at)
      ASSERT_TRUE(ref.pixels[3 * i] == fill[0] && ref.pixels[3 * i + 1] == fill[1] &&
                  ref.pixels[3 * i + 2] == fill[2])
          << "pixel " << i % ref.width << "," << i / ref.width << " differs outside a skip";
    EXPECT_LT(c.differing, c.pixels);
  } else {
    EXPECT_EQ(c.differing, 0) << c.first_difference;
  }
  IMG_delete_bitmap(handle);
}

INSTANTIATE_TEST_SUITE_P(Manifest, BmpCorpus, ::testing::ValuesIn(pxv_test::corpus_rows("bmp")),
                         [](const ::testing::TestParamInfo<CorpusRow> &info) {
                           return pxv_test::corpus_case_name(info.param);
                         });

TEST(BmpCorpusManifest, HasBmpRows) { EXPECT_GE(pxv_test::corpus_rows("bmp").size(), 40u); }

}  // namespace
