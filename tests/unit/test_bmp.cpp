// The BMP reader's policy on headers and malformed data, the RLE records where the two decoders
// differ or buffers end, and the RLE encoders' exact output.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <tuple>
#include <vector>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "platform/testing.h"
#include "support/support.h"

namespace {

using pxv_test::Bytes;
using pxv_test::Capture;
using pxv_test::picture_handle;

// A Windows BMP: file header, 40-byte header, a gray table of `entries`, then `data`.
Bytes windows_bmp(std::int32_t width, std::int32_t height, int bits, std::uint32_t compression, int entries,
                  const Bytes &data) {
  Bytes f(54, 0);
  f[0] = 'B', f[1] = 'M';
  pxv::put_le32(&f[10], std::uint32_t(54 + 4 * entries));  // pixel data offset
  pxv::put_le32(&f[14], 40);
  pxv::put_le32(&f[18], std::uint32_t(width));
  pxv::put_le32(&f[22], std::uint32_t(height));
  pxv::put_le16(&f[26], 1);
  pxv::put_le16(&f[28], std::uint32_t(bits));
  pxv::put_le32(&f[30], compression);
  pxv::put_le32(&f[46], std::uint32_t(entries));  // biClrUsed: the reader ignores it
  for (int i = 0; i < entries; ++i) f.insert(f.end(), {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0});
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

using Rows = std::vector<std::pair<int, Bytes>>;  // row number and bytes, in delivery order

int read_bmp(const Bytes &file, Capture *c) { return pxv_test::read_memory(pxv::open_bmp, file, c); }

// The rows in delivery order.
Rows delivered(const Capture &c) {
  Rows rows;
  for (int n : c.row_numbers) rows.emplace_back(n, c.rows[std::size_t(n)]);
  return rows;
}

TEST(BmpReader, HeadersAndStoredRows) {
  // Width, height, bit count, result. (Bit counts 2, 16 and 30000 and top-down RLE are refused
  // by corpus files.)
  for (auto [w, h, bits, code] : {std::array{0, 4, 8, PXV_ERR_DATA}, {-3, 4, 8, PXV_ERR_DATA}, {4, 0, 8, PXV_ERR_DATA},
                                  {4, 4, 32, PXV_ERR_TYPE}, {4, 4, 3, PXV_ERR_DATA}}) {
    Capture d;
    EXPECT_TRUE(read_bmp(windows_bmp(w, h, bits, 0, 0, Bytes(64)), &d) == code && d.header_calls == 0) << w << "x" << h << ", " << bits;
  }
  Capture refused, unknown, two;
  refused.header_result = -1;
  EXPECT_TRUE(read_bmp(windows_bmp(4, 1, 8, 0, 256, Bytes(4)), &refused) == -1 && refused.row_numbers.empty()) << "the header callback's code";
  EXPECT_TRUE(read_bmp(windows_bmp(4, 2, 8, 3, 256, Bytes(8, 1)), &unknown) == 1 && unknown.row_numbers.empty()) << "unknown compression: a header and no rows";
  // Two table entries on an 8-bit file: the table is the full 1024 bytes from offset 54, the
  // pixel bytes that follow the two entries included.
  Bytes file = windows_bmp(4, 1, 8, 0, 2, {9, 8, 7, 6});
  file.resize(54 + 1024, 0xEE);
  ASSERT_TRUE(read_bmp(file, &two) == 1 && two.header.size() == 40 + 1024);
  EXPECT_TRUE((Bytes{two.header[40 + 8], two.header[40 + 1023]}) == (Bytes{9, 0xEE}) && delivered(two) == (Rows{{0, {9, 8, 7, 6}}}));
  // Top-down, one row missing from the file: it reads as 0.
  Capture d;
  ASSERT_EQ(read_bmp(windows_bmp(4, -3, 8, 0, 256, {1, 1, 1, 1, 2, 2, 2, 2}), &d), 1);
  EXPECT_EQ(pxv::get_le32(&d.header[pxv::kBiHeight]), 3u) << "stored bottom-up";
  EXPECT_EQ(delivered(d), (Rows{{0, {1, 1, 1, 1}}, {1, {2, 2, 2, 2}}, {2, {0, 0, 0, 0}}}));
  // 24 bits, 4000 pixels: 12000 bytes a row, more than one 10000-byte block.
  Bytes data(12000 * 3);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 7 + i / 9973);
  Capture wide;
  ASSERT_TRUE(read_bmp(windows_bmp(4000, 3, 24, 0, 0, data), &wide) == 1 && wide.row_numbers.size() == 3);
  for (int r = 0; r < 3; ++r)
    EXPECT_EQ(delivered(wide)[r], std::pair(2 - r, Bytes(data.begin() + r * 12000, data.begin() + (r + 1) * 12000)));
}

// Plain runs, absolute runs and exact row ends come from corpus files; what follows is where the
// format leaves the result open or the two decoders differ.
TEST(BmpRle, RecordsDecodeAsDocumented) {
  // Width, height, bit count, the data; the rows in delivery order.
  for (auto [width, height, bits, data, rows] : {
           // RLE8: bottom row 7 7; delta (0, 2) delivers it as rows 2 and 1 (copies of the row
           // buffer); 9 at column 2 over the buffer.
           std::tuple{4, 3, 8, Bytes{2, 7, 0, 2, 0, 2, 1, 9, 0, 1},
                      Rows{{2, {7, 7, 0, 0}}, {1, {7, 7, 0, 0}}, {0, {7, 7, 9, 0}}}},
           // Row 1: absolute 5 (pad byte), EOL. Row 0: delta (2, 0): the skipped pixels keep the
           // last row; absolute 3 (pad), EOB.
           {5, 2, 8, Bytes{0, 5, 1, 2, 3, 4, 5, 0xEE, 0, 0, 0, 2, 2, 0, 0, 3, 7, 8, 9, 0xEE, 0, 1},
            Rows{{1, {1, 2, 3, 4, 5, 0, 0, 0}}, {0, {1, 2, 7, 8, 9, 0, 0, 0}}}},
           // Runs past the row are clipped; the delta past the top delivers row 0 once.
           {3, 2, 8, Bytes{0xFF, 9, 0, 0, 0, 6, 1, 2, 3, 4, 5, 6, 0, 2, 0xFF, 0xFF, 0, 1},
            Rows{{1, {9, 9, 9, 0}}, {0, {1, 2, 3, 0}}}},
           // The end of the data acts as end of bitmap; the cut absolute run is dropped.
           {4, 5, 8, Bytes{4, 1, 0, 0, 2, 3, 0, 5}, Rows{{4, {1, 1, 1, 1}}, {3, {3, 3, 1, 1}}}},
           // RLE4: a delta does not deliver the rows it passes.
           {4, 4, 4, Bytes{2, 0x11, 0, 2, 0, 2, 2, 0x22, 0, 1}, Rows{{3, {0x11, 0, 0, 0}}, {1, {0x11, 0x22, 0, 0}}}},
           // Row 0: 9 A B, then a delta to column 5: odd, so C joins the 5 row 1 left in that byte.
           {8, 2, 4, Bytes{0, 5, 0x12, 0x34, 0x50, 0xEE, 0, 0, 0, 3, 0x9A, 0xB0, 0, 2, 2, 0, 1, 0xC0, 0, 1},
            Rows{{1, {0x12, 0x34, 0x50, 0}}, {0, {0x9A, 0xB0, 0x5C, 0}}}}}) {
    Capture d;
    ASSERT_EQ(read_bmp(windows_bmp(width, height, bits, bits == 8 ? 1 : 2, 1 << bits, data), &d), 1);
    EXPECT_EQ(delivered(d), rows) << width << "x" << height << ", " << bits << " bits";
  }
  // Rows wider than the row buffers the format's decoders were documented with (1600 pixels):
  // runs of 4 (RLE8, 255 a run) or 5 6 (RLE4, 254 a run), then one last pixel 8 or 9.
  for (auto [bits, width, step, run] : {std::array{8, 3000, 255, 4}, {4, 2001, 254, 0x56}}) {
    Bytes data;
    for (int left = width - 1; left > 0; left -= step)
      data.insert(data.end(), {std::uint8_t(std::min(left, step)), std::uint8_t(run)});
    data.insert(data.end(), {1, std::uint8_t(bits == 8 ? 8 : 0x90), 0, 1});
    Capture d;
    ASSERT_TRUE(read_bmp(windows_bmp(width, 1, bits, bits == 8 ? 1 : 2, 1 << bits, data), &d) == 1 && d.row_numbers == std::vector<int>{0});
    const Bytes &row = d.rows[0];
    const std::size_t last = std::size_t(width - 1) * bits / 8;
    EXPECT_EQ((std::vector<int>{row[0], row[last - 1], row[last]}), (std::vector<int>{run, run, bits == 8 ? 8 : 0x90}));
  }
}

// ---- Writer ----

Bytes encode(int bits, const Bytes &row, int width) {
  static std::uint8_t out[4096];
  pxv::reset_mem_io(out);
  const int rc = bits == 8 ? pxv::save_bmp8_raster(pxv::kMemoryStream, row.data(), width)
                           : pxv::save_bmp4_raster(pxv::kMemoryStream, row.data(), width);
  pxv::img_ffree_all();
  EXPECT_EQ(rc, 0);
  return Bytes(out, out + pxv::mem_io_offset);
}

TEST(BmpWriter, RleRows) {
  struct Case {
    int bits, width;
    Bytes row, coded;
  };
  // (Plain runs and the 255-pixel limit: the random rows below.)
  const Case cases[] = {
      {8, 5, {1, 2, 3, 4, 5}, {0, 5, 1, 2, 3, 4, 5, 0, 0, 0}},  // absolute run, pad byte 0
      {8, 3, {1, 2, 3}, {1, 1, 1, 2, 1, 3, 0, 0}},             // under three pixels: runs of 1
      // An absolute run stops before two equal neighbours; its first three pixels are not compared.
      {8, 8, {1, 1, 2, 3, 4, 4, 4, 5}, {2, 1, 0, 3, 2, 3, 4, 0, 2, 4, 1, 5, 0, 0}},
      {4, 3, {0x12, 0x30}, {2, 0x12, 2, 0x30, 0, 0}},
      {4, 10, {1, 2, 3, 4, 5}, {0, 10, 1, 2, 3, 4, 5, 0, 0, 0}},
      {4, 400, Bytes(200, 0x77), {254, 0x77, 146, 0x77, 0, 0}},
  };
  for (const Case &k : cases) {
    Bytes coded = encode(k.bits, k.row, k.width);
    if (coded.size() == 10 && coded[0] == 0) coded[7] = 0;  // the pad byte's value is not significant
    EXPECT_EQ(coded, k.coded) << k.bits << " bits, width " << k.width;
  }
  Bytes row(600);
  for (int i = 0; i < 600; ++i) row[i] = std::uint8_t(i * 3 + (i >> 8));  // no equal neighbours
  const Bytes out = encode(8, row, 600);
  EXPECT_EQ((Bytes{out[0], out[1], out[257], out[258], out[259]}), (Bytes{0, 255, 0, 0, 255})) << "runs of 255";
}

// RLE8 as documented, pixel by pixel.
Bytes plain_rle8(const Bytes &row, int width) {
  Bytes out;
  auto same_as_next = [&](int x) { return x + 1 < width && row[x + 1] == row[x]; };
  for (int x = 0; x < width;) {
    const int limit = std::min(width, x + 255);
    int end = x + 1;
    if (same_as_next(x) || x >= width - 3) {
      while (end < limit && row[end] == row[x]) ++end;
      out.insert(out.end(), {std::uint8_t(end - x), row[x]});
    } else {
      for (end = x + 3; end < limit && !same_as_next(end);) ++end;
      out.insert(out.end(), {0, std::uint8_t(end - x)});
      out.insert(out.end(), row.begin() + x, row.begin() + end);
      if ((end - x) % 2) out.push_back(0);
    }
    x = end;
  }
  out.insert(out.end(), {0, 0});
  return out;
}

TEST(BmpWriter, Rle8MatchesAPlainEncoderOnRandomRows) {
  // Runs of 1 to 300 pixels from a few values, so that runs of every length, absolute runs
  // broken by pairs, both 255-pixel limits and the last three pixels all come up, across the
  // encoder's 64-pixel words. The rows are exactly as long as their width.
  std::mt19937 rng(12);
  for (int trial = 0; trial < 400; ++trial) {
    const int width = 1 + int(rng() % 700);
    const Bytes row = pxv_test::random_runs(rng, width);
    ASSERT_EQ(encode(8, row, width), plain_rle8(row, width)) << "trial " << trial << ", width " << width;
  }
}

TEST(BmpWriter, RleFileHeaderGivesUncompressedSizesAndLostBuffersAreShortWrites) {
  const int pal = picture_handle(47, 33, 8);
  Bytes out(200000);
  ASSERT_EQ(IMG_save_bitmap_mem(pal, out.data(), PXV_SAVE_BMP_RLE), 0);
  const std::uint32_t written = pxv::mem_io_offset;
  EXPECT_EQ((std::vector<std::uint32_t>{pxv::get_le32(&out[2]), pxv::get_le32(&out[10]),
                                        pxv::get_le32(&out[14 + pxv::kBiCompression]),
                                        pxv::get_le32(&out[14 + pxv::kBiSizeImage])}),
            (std::vector<std::uint32_t>{48 * 33 + 54 + 1024, 54 + 1024, 1, 48 * 33}));
  EXPECT_EQ(Bytes(&out[written - 4], &out[written]), (Bytes{0, 0, 0, 1})) << "end of line, end of bitmap";
  // A lost encoder buffer (allocation 3, after the header block and the row) is a short write.
  if (pxv_test::kStandinControls) {
    pxv_platform::fail_allocation(3);
    EXPECT_EQ(IMG_save_bitmap_mem(pal, out.data(), PXV_SAVE_BMP_RLE), PXV_ERR_SHORT_WRITE);
  }
  pxv_platform::fail_allocation(0);
  IMG_delete_bitmap(pal);
}

}  // namespace
