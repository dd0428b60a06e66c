// The PICT writer's packing, counts and DirectBits layout, its limits, and the reader's pages,
// 2-bit PixMaps and cut files.
#include <gtest/gtest.h>

#include "core/bytes.h"
#include "core/formats.h"
#include "support/corpus.h"

namespace pxv_test {
namespace {

Bytes packed(const Bytes &row) { return encode_row(pxv::save_pct_raster, row); }

TEST(PictWrite, PackingCountsAndDirectRows) {
  EXPECT_EQ(packed(Bytes(200, 7)), (Bytes{4, 0x82, 7, 0xB8, 7}));
  EXPECT_EQ(packed(Bytes{1, 2, 2, 3, 3, 3, 3, 4, 5, 5}), (Bytes{12, 0, 1, 1, 2, 2, 0xFD, 3, 0, 4, 1, 5, 5}));
  // 250 bytes take a 1-byte count, 252 a 2-byte one; 250 bytes of pairs would pack to 375, so
  // they go as two literal packets.
  EXPECT_TRUE(packed(Bytes(250, 1)).size() == 1 + 4 && part(packed(Bytes(252, 1)), 0, 2) == (Bytes{0, 4}));
  Bytes pairs(250);
  for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = std::uint8_t(i / 2);
  EXPECT_EQ(packed(pairs)[0], 252);

  // A 24-bit row of 100 pixels: rowBytes 0x8190, then a red, a green and a blue plane.
  PackedDib dib = make_packed_dib(100, 1, 24);
  for (int x = 0; x < 100; ++x) dib.row(0)[3 * x] = 30, dib.row(0)[3 * x + 1] = 20, dib.row(0)[3 * x + 2] = 10;
  const int h = IMG_create_handle(dib.bytes.data());
  const Bytes p = save_mem(h, PXV_SAVE_PICT);
  EXPECT_EQ(part(p, 566, 10), (Bytes{0, 0x9A, 0, 0, 0, 0, 0x81, 0x90, 0, 0}));
  EXPECT_EQ(part(p, 636, 10), (Bytes{0, 6, 0x9D, 10, 0x9D, 20, 0x9D, 30, 0, 0xFF}));
  IMG_delete_bitmap(h);
}

TEST(PictRead, PagesTwoBitPixMapsAndCutFiles) {
  const Bytes two_bit = read_file(corpus_path("pict/gen_v2_pixmap_2bit.pict"));
  // 2-bit pixels are widened to 4 bits (their values are checked against the corpus reference).
  EXPECT_TRUE(capture_load(two_bit, 1).result == PXV_ERR_PAGE && capture_load(two_bit).bits() == 4);
  // A cut file loads; the rows past the data are zeros.
  const Bytes eight = read_file(corpus_path("pict/gen_v2_pixmap_8bit.pict"));
  const Capture c = capture_load(part(eight, 0, eight.size() / 2));
  ASSERT_TRUE(c.result >= 0 && int(c.row_numbers.size()) == c.height());
  EXPECT_EQ(c.rows.back(), Bytes(c.rows.back().size(), 0));
}

}  // namespace
}  // namespace pxv_test
