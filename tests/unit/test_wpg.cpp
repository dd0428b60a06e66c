// The WPG reader's packets, depths and limits on hand-built files, and the writer's records.
#include <gtest/gtest.h>

#include <random>

#include "core/bytes.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "support/support.h"

namespace pxv_test {
namespace {

// A WPG file: header, an optional colour map, one type-2 bitmap record, the end record.
Bytes wpg(int width, int height, int depth, const Bytes &data, const Bytes &map = {}) {
  Bytes f = {0xFF, 'W', 'P', 'C', 16, 0, 0, 0, 1, 0x16, 1, 0, 0, 0, 0, 0};
  if (!map.empty()) {
    f.insert(f.end(), {0x0E, std::uint8_t(4 + map.size()), 0, 0, std::uint8_t(map.size() / 3), 0});
    f.insert(f.end(), map.begin(), map.end());
  }
  const std::uint16_t fields[10] = {0, 0, 0, 0, 0, std::uint16_t(width), std::uint16_t(height), std::uint16_t(depth)};
  f.insert(f.end(), {0x14, 0xFF, std::uint8_t(20 + data.size()), std::uint8_t((20 + data.size()) >> 8)});
  for (std::uint16_t v : fields) f.insert(f.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
  f.insert(f.end(), data.begin(), data.end());
  f.insert(f.end(), {0x10, 0});
  return f;
}

TEST(WpgRead, PacketsDepthsAndLimits) {
  // A literal row, a row-repeat of 3, a run crossing the row's end (its excess dropped), then
  // 0xFF runs; the file ends inside the last row, which comes back zero-filled.
  Bytes cut = wpg(4, 7, 8, {4, 1, 2, 3, 4, 0, 3, 0x86, 9, 0x80, 4, 2, 5});
  cut.resize(cut.size() - 2);
  Capture c = capture_load(cut);
  ASSERT_TRUE(c.result == 0 && c.rows.size() == 7);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(part(c.rows[r], 0, 4), (Bytes{1, 2, 3, 4})) << r;
  EXPECT_EQ((std::vector<Bytes>{part(c.rows[4], 0, 4), part(c.rows[5], 0, 4), part(c.rows[6], 0, 4)}),
            (std::vector<Bytes>{{9, 9, 9, 9}, {255, 255, 255, 255}, {5, 0, 0, 0}}));
  // Repeat count 0 fills the image; the 256 grays without a map.
  c = capture_load(wpg(2, 5, 8, {2, 7, 8, 0, 0}));
  for (int r = 0; r < 5; ++r) EXPECT_EQ(part(c.rows[r], 0, 2), (Bytes{7, 8}));
  EXPECT_EQ(c.header[40 + 4 * 200], 200);
  // Depth 2 widens to 4 bits under the map's entries; depth 24 is red, green, blue.
  c = capture_load(wpg(4, 1, 2, {1, 0x1B}, {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9}));
  EXPECT_TRUE(c.bits() == 4 && part(c.rows[0], 0, 2) == (Bytes{0x01, 0x23}));
  EXPECT_EQ(part(c.header, 40, 16), (Bytes{0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 9, 9, 9, 0}));
  EXPECT_EQ(c.header[40 + 4 * 4 + 2], 0);  // past the map: black
  c = capture_load(wpg(2, 1, 24, {6, 10, 20, 30, 40, 50, 60}));
  EXPECT_EQ(part(c.rows[0], 0, 6), (Bytes{30, 20, 10, 60, 50, 40}));
  // Refusals: a depth with no DIB, width 0, no bitmap record, a page past the first.
  EXPECT_EQ((std::vector<int>{capture_load(wpg(2, 1, 3, {0, 0})).result, capture_load(wpg(0, 1, 8, {0, 0})).result,
                              capture_load(part(wpg(2, 1, 8, {}), 0, 16)).result, capture_load(wpg(2, 1, 8, {0, 0}), 1).result}),
            (std::vector<int>{PXV_ERR_DATA, PXV_ERR_DATA, PXV_ERR_READ, PXV_ERR_PAGE}));
}

TEST(WpgWrite, Records) {
  const int h = picture_handle(47, 33, 8);
  const Bytes f = save_mem(h, PXV_SAVE_WPG);
  // The colour map in the 0xFF form: 772 bytes, first entry 0, 256 entries.
  EXPECT_EQ(part(f, 31, 8), (Bytes{0x0E, 0xFF, 0x04, 0x03, 0, 0, 0, 1}));
  // The bitmap record's long length covers its 20 bytes of fields and the packed rows up to
  // the end record.
  const std::size_t bitmap = 31 + 4 + 772;
  ASSERT_EQ(part(f, bitmap, 2), (Bytes{0x14, 0xFF}));
  const std::uint32_t length = (pxv::get_le16(&f[bitmap + 2]) & 0x7FFF) * 65536u + pxv::get_le16(&f[bitmap + 4]);
  EXPECT_EQ(part(f, bitmap + 6 + length, 2), (Bytes{0x10, 0}));
  EXPECT_EQ(pxv::get_le16(&f[bitmap + 2]) & 0x8000, 0x8000);
  IMG_delete_bitmap(h);
}

TEST(WpgWrite, PackingMatchesAPlainPackerOnRandomRows) {
  // Runs of 1 to 300 bytes from a few values: runs and literals of every length, both cut at
  // 127, across the packer's 64-byte words. Each row is exactly as long as its bytes.
  std::mt19937 rng(13);
  static std::uint8_t out[4096];
  for (int trial = 0; trial < 400; ++trial) {
    const int length = 1 + int(rng() % 900);
    const Bytes row = random_runs(rng, length);
    Bytes expected;
    for (int i = 0; i < length;) {
      int count = 1;
      if (i + 1 < length && row[i + 1] == row[i]) {
        while (i + count < length && row[i + count] == row[i] && count < 127) ++count;
        expected.insert(expected.end(), {std::uint8_t(0x80 | count), row[i]});
      } else {
        while (i + count < length && !(i + count + 1 < length && row[i + count + 1] == row[i + count]) && count < 127) ++count;
        expected.push_back(std::uint8_t(count));
        expected.insert(expected.end(), row.begin() + i, row.begin() + i + count);
      }
      i += count;
    }
    pxv::reset_mem_io(out);
    std::uint32_t data_length = 0;
    ASSERT_EQ(pxv::save_wpg_raster(pxv::kMemoryStream, row.data(), length, &data_length), 0);
    pxv::img_ffree_all();
    EXPECT_EQ(Bytes(out, out + pxv::mem_io_offset), expected) << "trial " << trial << ", length " << length;
    EXPECT_EQ(data_length, expected.size());
  }
}

}  // namespace
}  // namespace pxv_test
