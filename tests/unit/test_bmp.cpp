// The BMP reader and writer on hand-built bytes: header forms, stored rows, every RLE record
// kind and the two decoders' differences, the policy on malformed files, the RLE encoders'
// exact output, failure codes, and the crop rectangle through the save path.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "platform/testing.h"
#include "support/support.h"

namespace {

using pxv_test::Bytes;

void put16(Bytes &b, std::size_t at, std::uint32_t v) { pxv::put_le16(&b[at], v); }
void put32(Bytes &b, std::size_t at, std::uint32_t v) { pxv::put_le32(&b[at], v); }
std::uint32_t get32(const Bytes &b, std::size_t at) { return pxv::get_le32(&b[at]); }

// A Windows BMP: file header, 40-byte header, `table` (4 bytes per entry), then `data`.
Bytes windows_bmp(std::int32_t width, std::int32_t height, int bits, std::uint32_t compression,
                  const Bytes &table, const Bytes &data) {
  Bytes f(54, 0);
  f[0] = 'B';
  f[1] = 'M';
  put32(f, 2, std::uint32_t(54 + table.size() + data.size()));  // file size (ignored)
  put32(f, 10, std::uint32_t(54 + table.size()));                // pixel data offset
  put32(f, 14, 40);                                              // header size
  put32(f, 18, std::uint32_t(width));
  put32(f, 22, std::uint32_t(height));
  put16(f, 26, 1);  // planes
  put16(f, 28, std::uint32_t(bits));
  put32(f, 30, compression);
  put32(f, 46, std::uint32_t(table.size() / 4));  // biClrUsed: the reader ignores it
  f.insert(f.end(), table.begin(), table.end());
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

Bytes gray_table(int entries) {
  Bytes t;
  for (int i = 0; i < entries; ++i) t.insert(t.end(), {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0});
  return t;
}

// What the reader hands the callbacks.
struct Delivery {
  Bytes header;  // 40 bytes + colour table, copied when the header callback runs
  int header_calls = 0;
  int header_result = 1;
  std::vector<std::pair<int, Bytes>> rows;  // row number, bytes, in delivery order
};

int capture_header(unsigned char *header, void *priv) {
  auto *d = static_cast<Delivery *>(priv);
  ++d->header_calls;
  d->header.assign(header, header + 40 + pxv::Palette_Size(header));
  return d->header_result;
}

int capture_row(unsigned char *row, void *priv, int row_number, int bytes) {
  static_cast<Delivery *>(priv)->rows.emplace_back(row_number, Bytes(row, row + bytes));
  return 0;
}

// Runs open_bmp on bytes through a memory stream bounded to them.
int read_bmp(const Bytes &file, Delivery *d) {
  pxv::reset_mem_io_bounded(file.data(), std::uint32_t(file.size()));
  int rc = pxv::open_bmp(0, capture_row, d, capture_header, pxv::kMemoryStream);
  pxv::img_ffree_all();
  return rc;
}

Bytes row_of(std::initializer_list<int> bytes) {
  Bytes r;
  for (int b : bytes) r.push_back(std::uint8_t(b));
  return r;
}

TEST(BmpReader, OneBitTwoPixelsWide) {
  // Two rows of 4 stored bytes each; the first stored row is the bottom of the image.
  Bytes table = {0, 0, 0, 0, 255, 255, 255, 0};
  Bytes data = {0x80, 0, 0, 0, 0x40, 0, 0, 0};
  Delivery d;
  ASSERT_EQ(read_bmp(windows_bmp(2, 2, 1, 0, table, data), &d), 1);
  ASSERT_EQ(d.header_calls, 1);
  ASSERT_EQ(d.header.size(), 48u);  // biClrUsed 0: a two-entry table
  EXPECT_EQ(get32(d.header, pxv::kBiSizeImage), 8u);
  EXPECT_EQ(get32(d.header, pxv::kBiClrUsed), 0u);
  EXPECT_EQ(get32(d.header, pxv::kBiCompression), 0u);
  ASSERT_EQ(d.rows.size(), 2u);
  EXPECT_EQ(d.rows[0], std::make_pair(1, row_of({0x80, 0, 0, 0})));
  EXPECT_EQ(d.rows[1], std::make_pair(0, row_of({0x40, 0, 0, 0})));
}

TEST(BmpReader, FullTableWhateverClrUsedSays) {
  // An 8-bit file with two table entries: the 1024 bytes from offset 54 are the table, the
  // pixel bytes that follow the two entries included.
  Bytes file = windows_bmp(4, 1, 8, 0, gray_table(2), {9, 8, 7, 6});
  file.resize(54 + 1024, 0xEE);
  Delivery d;
  ASSERT_EQ(read_bmp(file, &d), 1);
  ASSERT_EQ(d.header.size(), 40u + 1024u);
  EXPECT_EQ(d.header[40 + 8], 9);  // entry 2 is the first pixel row
  EXPECT_EQ(d.header[40 + 1023], 0xEE);
  EXPECT_EQ(d.rows[0].second, row_of({9, 8, 7, 6}));
}

TEST(BmpReader, Os2HeaderEightBits) {
  // 12-byte OS/2 header, 256 entries of blue, green, red from offset 26, stored rows.
  Bytes f(26, 0);
  f[0] = 'B';
  f[1] = 'M';
  put32(f, 10, 26 + 768);
  put32(f, 14, 12);
  put16(f, 18, 3);  // width
  put16(f, 20, 2);  // height
  put16(f, 22, 1);
  put16(f, 24, 8);
  for (int i = 0; i < 256; ++i) f.insert(f.end(), {std::uint8_t(i), std::uint8_t(i ^ 0x55), std::uint8_t(255 - i)});
  f.insert(f.end(), {1, 2, 3, 0, 4, 5, 6, 0});
  Delivery d;
  ASSERT_EQ(read_bmp(f, &d), 1);
  const Bytes &h = d.header;
  ASSERT_EQ(h.size(), 40u + 1024u);
  EXPECT_EQ(get32(h, pxv::kBiSize), 40u);
  EXPECT_EQ(get32(h, pxv::kBiWidth), 3u);
  EXPECT_EQ(get32(h, pxv::kBiHeight), 2u);
  EXPECT_EQ(h[pxv::kBiPlanes], 1);
  EXPECT_EQ(h[pxv::kBiBitCount], 8);
  EXPECT_EQ(get32(h, pxv::kBiSizeImage), 8u);
  for (std::size_t at = pxv::kBiXPelsPerMeter; at < 40; ++at) EXPECT_EQ(h[at], 0);
  EXPECT_EQ(row_of({h[40 + 4 * 7], h[41 + 4 * 7], h[42 + 4 * 7], h[43 + 4 * 7]}),
            row_of({7, 7 ^ 0x55, 248, 0}));
  ASSERT_EQ(d.rows.size(), 2u);
  EXPECT_EQ(d.rows[0], std::make_pair(1, row_of({1, 2, 3, 0})));
}

TEST(BmpReader, NewerHeadersAreReadAsOs2AndRefused) {
  for (std::uint32_t size : {108u, 124u, 64u}) {
    Bytes f = windows_bmp(127, 64, 8, 0, gray_table(256), Bytes(128 * 64));
    put32(f, 14, size);
    Delivery d;
    // As OS/2: width 127, height the high half of the 32-bit width (0), bit count 0.
    EXPECT_EQ(read_bmp(f, &d), PXV_ERR_DATA) << size;
    EXPECT_EQ(d.header_calls, 0);
  }
}

TEST(BmpReader, RefusesImpossibleHeadersBeforeTheTable) {
  struct Case {
    std::int32_t width, height;
    int bits;
    std::uint32_t compression;
    int code;
  } cases[] = {
      {0, 4, 8, 0, PXV_ERR_DATA},     {-3, 4, 8, 0, PXV_ERR_DATA},  {4, 0, 8, 0, PXV_ERR_DATA},
      {4, 4, 16, 0, PXV_ERR_TYPE},    {4, 4, 32, 0, PXV_ERR_TYPE},  {4, 4, 2, 0, PXV_ERR_TYPE},
      {4, 4, 3, 0, PXV_ERR_DATA},     {4, 4, 30000, 0, PXV_ERR_DATA},
      {4, -4, 8, 1, PXV_ERR_DATA},  // top-down RLE
  };
  for (const Case &c : cases) {
    Delivery d;
    EXPECT_EQ(read_bmp(windows_bmp(c.width, c.height, c.bits, c.compression, {}, Bytes(64)), &d), c.code)
        << c.width << "x" << c.height << " bits " << c.bits;
    EXPECT_EQ(d.header_calls, 0);
  }
}

TEST(BmpReader, HeaderCallbackCodeIsReturned) {
  Delivery d;
  d.header_result = -1;
  EXPECT_EQ(read_bmp(windows_bmp(4, 1, 8, 0, gray_table(256), Bytes(4)), &d), -1);
  EXPECT_TRUE(d.rows.empty());
}

TEST(BmpReader, UnknownCompressionDeliversNoRows) {
  Delivery d;
  EXPECT_EQ(read_bmp(windows_bmp(4, 2, 8, 3, gray_table(256), Bytes(8, 1)), &d), 1);
  EXPECT_EQ(d.header_calls, 1);
  EXPECT_TRUE(d.rows.empty());
}

TEST(BmpReader, TopDownStoredRowsAndTruncation) {
  Delivery d;
  ASSERT_EQ(read_bmp(windows_bmp(4, -3, 8, 0, gray_table(256), {1, 1, 1, 1, 2, 2, 2, 2}), &d), 1);
  EXPECT_EQ(get32(d.header, pxv::kBiHeight), 3u);
  ASSERT_EQ(d.rows.size(), 3u);
  EXPECT_EQ(d.rows[0], std::make_pair(0, row_of({1, 1, 1, 1})));
  EXPECT_EQ(d.rows[1], std::make_pair(1, row_of({2, 2, 2, 2})));
  EXPECT_EQ(d.rows[2], std::make_pair(2, row_of({0, 0, 0, 0})));  // not in the file: 0
}

TEST(BmpReader, StoredRowsLongerThanABlock) {
  // 24 bits, 4000 pixels: 12000 bytes a row, more than one 10000-byte block.
  const int width = 4000, height = 3, row_bytes = 12000;
  Bytes data(std::size_t(row_bytes) * height);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 7 + i / 9973);
  Delivery d;
  ASSERT_EQ(read_bmp(windows_bmp(width, height, 24, 0, {}, data), &d), 1);
  ASSERT_EQ(d.rows.size(), 3u);
  for (int r = 0; r < height; ++r) {
    EXPECT_EQ(d.rows[r].first, height - 1 - r);
    EXPECT_EQ(d.rows[r].second, Bytes(data.begin() + r * row_bytes, data.begin() + (r + 1) * row_bytes));
  }
}

TEST(BmpReader, PixelOffsetCountsFromTheImageStart) {
  // The image sits 100 bytes into a file; loading at that offset finds its rows.
  const std::string path = pxv_test::scratch_path("embedded.bmp");
  Bytes file(100, 0x5A);
  Bytes image = windows_bmp(4, 1, 8, 0, gray_table(256), {10, 20, 30, 40});
  file.insert(file.end(), image.begin(), image.end());
  pxv_test::write_file(path, file);
  OFSTRUCT of;
  HFILE f = OpenFile(path.c_str(), &of, OF_READ);
  ASSERT_NE(f, HFILE_ERROR);
  int handle = IMG_decompress_bitmap_fd(f, 100, 0);
  _lclose(f);
  ASSERT_GE(handle, 0);
  pxv_test::HandleDib dib = pxv_test::read_handle(handle);
  EXPECT_EQ(dib.rows[0], row_of({10, 20, 30, 40}));
  IMG_delete_bitmap(handle);
}

// RLE8 and RLE4: every record kind, and the two decoders' differences --------------------

struct RleCase {
  const char *name;
  int width, height, bits;
  Bytes data;
  std::vector<std::pair<int, Bytes>> rows;  // row number and bytes, in delivery order
};

TEST(BmpRle, RecordsDecodeAsDocumented) {
  const RleCase cases[] = {
      {"rle8 encoded run, end of bitmap", 3, 1, 8, {3, 5, 0, 0, 0, 1}, {{0, {5, 5, 5, 0}}}},
      // Bottom row 7 7; delta (0, 2) delivers it as rows 2 and 1; 9 at column 2 over the buffer.
      {"rle8 delta copies the row into the rows it passes", 4, 3, 8, {2, 7, 0, 2, 0, 2, 1, 9, 0, 1},
       {{2, {7, 7, 0, 0}}, {1, {7, 7, 0, 0}}, {0, {7, 7, 9, 0}}}},
      // Row 1: absolute 5 (pad byte), EOL. Row 0: delta (2, 0), absolute 3 (pad), EOB.
      {"rle8 absolute runs with pad; skipped pixels keep the last row", 5, 2, 8,
       {0, 5, 1, 2, 3, 4, 5, 0xEE, 0, 0, 0, 2, 2, 0, 0, 3, 7, 8, 9, 0xEE, 0, 1},
       {{1, {1, 2, 3, 4, 5, 0, 0, 0}}, {0, {1, 2, 7, 8, 9, 0, 0, 0}}}},
      // The delta past the top delivers row 0 once.
      {"rle8 runs past the row are clipped", 3, 2, 8,
       {0xFF, 9, 0, 0, 0, 6, 1, 2, 3, 4, 5, 6, 0, 2, 0xFF, 0xFF, 0, 1},
       {{1, {9, 9, 9, 0}}, {0, {1, 2, 3, 0}}}},
      // The cut absolute run is dropped.
      {"rle8 end of data acts as end of bitmap", 4, 5, 8, {4, 1, 0, 0, 2, 3, 0, 5},
       {{4, {1, 1, 1, 1}}, {3, {3, 3, 1, 1}}}},
      {"rle4 encoded run alternates nibbles", 5, 1, 4, {5, 0x12, 0, 1}, {{0, {0x12, 0x12, 0x10, 0}}}},
      {"rle4 full row goes out and its end of line is absorbed", 4, 2, 4, {4, 0x12, 0, 0, 4, 0x34, 0, 0, 0, 1},
       {{1, {0x12, 0x12, 0, 0}}, {0, {0x34, 0x34, 0, 0}}}},
      {"rle4 delta does not deliver the rows it passes", 4, 4, 4, {2, 0x11, 0, 2, 0, 2, 2, 0x22, 0, 1},
       {{3, {0x11, 0, 0, 0}}, {1, {0x11, 0x22, 0, 0}}}},
      // Row 0: 9 A B, then a delta to column 5: odd, so C joins the 5 row 1 left in that byte.
      {"rle4 absolute runs then end of line", 8, 2, 4,
       {0, 5, 0x12, 0x34, 0x50, 0xEE, 0, 0, 0, 3, 0x9A, 0xB0, 0, 2, 2, 0, 1, 0xC0, 0, 1},
       {{1, {0x12, 0x34, 0x50, 0}}, {0, {0x9A, 0xB0, 0x5C, 0}}}},
  };
  for (const RleCase &c : cases) {
    Delivery d;
    ASSERT_EQ(read_bmp(windows_bmp(c.width, c.height, c.bits, c.bits == 8 ? 1 : 2,
                                   gray_table(1 << c.bits), c.data), &d), 1) << c.name;
    EXPECT_EQ(d.rows, c.rows) << c.name;
  }
}

TEST(BmpRle8, WiderThanTheDocumentedRowBuffer) {
  const int width = 3000;
  Bytes data;
  for (int left = width - 1; left > 0; left -= 255) data.insert(data.end(), {std::uint8_t(left > 255 ? 255 : left), 4});
  data.insert(data.end(), {1, 8, 0, 0, 0, 1});
  Delivery d;
  ASSERT_EQ(read_bmp(windows_bmp(width, 1, 8, 1, gray_table(256), data), &d), 1);
  ASSERT_EQ(d.rows.size(), 1u);
  ASSERT_EQ(d.rows[0].second.size(), 3000u);
  EXPECT_EQ(d.rows[0].second[0], 4);
  EXPECT_EQ(d.rows[0].second[2998], 4);
  EXPECT_EQ(d.rows[0].second[2999], 8);
}

TEST(BmpRle4, WiderThanTheDocumentedRowBuffer) {
  const int width = 2001;  // more than 1600 pixels
  Bytes data;
  for (int left = width - 1; left > 0; left -= 254) data.insert(data.end(), {std::uint8_t(left > 254 ? 254 : left), 0x56});
  data.insert(data.end(), {1, 0x90, 0, 1});
  Delivery d;
  ASSERT_EQ(read_bmp(windows_bmp(width, 1, 4, 2, gray_table(16), data), &d), 1);
  ASSERT_EQ(d.rows.size(), 1u);
  EXPECT_EQ(d.rows[0].second[0], 0x56);
  EXPECT_EQ(d.rows[0].second[999], 0x56);
  EXPECT_EQ(d.rows[0].second[1000], 0x90);
}

// Writer ----------------------------------------------------------------------------------

Bytes encode(int bits, const Bytes &row, int width) {
  static std::uint8_t out[4096];
  pxv::reset_mem_io(out);
  int rc = bits == 8 ? pxv::save_bmp8_raster(pxv::kMemoryStream, row.data(), width)
                     : pxv::save_bmp4_raster(pxv::kMemoryStream, row.data(), width);
  pxv::img_ffree_all();
  EXPECT_EQ(rc, 0);
  return Bytes(out, out + pxv::mem_io_offset);
}

TEST(BmpWriter, Rle8Rows) {
  EXPECT_EQ(encode(8, {7, 7, 7, 7}, 4), row_of({4, 7, 0, 0}));
  Bytes absolute = encode(8, {1, 2, 3, 4, 5}, 5);
  ASSERT_EQ(absolute.size(), 10u);
  absolute[7] = 0;  // the pad byte's value is not significant
  EXPECT_EQ(absolute, row_of({0, 5, 1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(encode(8, {1, 2, 3}, 3), row_of({1, 1, 1, 2, 1, 3, 0, 0}));
  EXPECT_EQ(encode(8, Bytes(300, 6), 300), row_of({0xFF, 6, 0x2D, 6, 0, 0}));
  // An absolute run stops before two equal neighbours; its first three pixels are not compared.
  EXPECT_EQ(encode(8, {1, 1, 2, 3, 4, 4, 4, 5}, 8), row_of({2, 1, 0, 3, 2, 3, 4, 0, 2, 4, 1, 5, 0, 0}));
  EXPECT_EQ(encode(8, {1, 2, 2, 3, 3, 3, 9, 9, 9}, 9), row_of({0, 3, 1, 2, 2, 0, 3, 3, 3, 9, 0, 0}));
}

TEST(BmpWriter, Rle8AbsoluteRunsStopAt255) {
  Bytes row(600);
  for (int i = 0; i < 600; ++i) row[i] = std::uint8_t(i * 3 + (i >> 8));  // no equal neighbours
  Bytes out = encode(8, row, 600);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 255);
  EXPECT_EQ(out[2 + 255], 0);  // pad
  EXPECT_EQ(out[258], 0);
  EXPECT_EQ(out[259], 255);
}

TEST(BmpWriter, Rle4Rows) {
  EXPECT_EQ(encode(4, {0x12, 0x30}, 3), row_of({2, 0x12, 2, 0x30, 0, 0}));
  EXPECT_EQ(encode(4, {0x12, 0x12, 0x12}, 6), row_of({6, 0x12, 0, 0}));
  Bytes absolute = encode(4, {1, 2, 3, 4, 5}, 10);
  ASSERT_EQ(absolute.size(), 10u);
  absolute[7] = 0;
  EXPECT_EQ(absolute, row_of({0, 10, 1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(encode(4, Bytes(200, 0x77), 400), row_of({254, 0x77, 146, 0x77, 0, 0}));
}

// A handle from a packed DIB with the test picture.
int picture_handle(int width, int height, int bits) {
  pxv_test::PackedDib dib = pxv_test::make_packed_dib(width, height, bits);
  pxv_test::draw_test_picture(dib);
  return IMG_create_handle(dib.bytes.data());
}

TEST(BmpWriter, RleFileHeaderGivesUncompressedSizes) {
  const int handle = picture_handle(47, 33, 8);
  ASSERT_GE(handle, 0);
  Bytes out(200000);
  ASSERT_EQ(IMG_save_bitmap_mem(handle, out.data(), PXV_SAVE_BMP_RLE), 0);
  const std::uint32_t written = pxv::mem_io_offset;
  EXPECT_EQ(get32(out, 2), 48u * 33 + 54 + 1024);
  EXPECT_EQ(get32(out, 10), 54u + 1024);
  EXPECT_EQ(get32(out, 14 + pxv::kBiCompression), 1u);
  EXPECT_EQ(get32(out, 14 + pxv::kBiSizeImage), 48u * 33);
  EXPECT_EQ(row_of({out[written - 4], out[written - 3], out[written - 2], out[written - 1]}), row_of({0, 0, 0, 1}));
  Delivery d;
  ASSERT_EQ(read_bmp(Bytes(out.begin(), out.begin() + written), &d), 1);
  EXPECT_EQ(d.rows.size(), 33u);
  IMG_delete_bitmap(handle);
}

TEST(BmpWriter, RefusalsAndFailureCodes) {
  const int rgb = picture_handle(9, 5, 24), mono = picture_handle(9, 5, 1), pal = picture_handle(9, 5, 8);
  Bytes out(100000);
  EXPECT_EQ(IMG_save_bitmap_mem(rgb, out.data(), PXV_SAVE_BMP_RLE), PXV_ERR_TYPE);
  EXPECT_EQ(IMG_save_bitmap_mem(mono, out.data(), PXV_SAVE_BMP_RLE), PXV_ERR_TYPE);
  // The save's own header block is allocation 1, the row buffer 2, the first encoder buffer 3.
  pxv_platform::fail_allocation(2);
  EXPECT_EQ(IMG_save_bitmap_mem(pal, out.data(), PXV_SAVE_BMP), PXV_ERR_NO_MEMORY);
  pxv_platform::fail_allocation(2);
  EXPECT_EQ(IMG_save_bitmap_mem(pal, out.data(), PXV_SAVE_BMP_RLE), PXV_ERR_NO_MEMORY);
  pxv_platform::fail_allocation(3);
  EXPECT_EQ(IMG_save_bitmap_mem(pal, out.data(), PXV_SAVE_BMP_RLE), PXV_ERR_SHORT_WRITE);
  pxv_platform::fail_allocation(0);
  EXPECT_EQ(pxv::img_work_blocks_in_use(), 0);
  for (int h : {rgb, mono, pal}) IMG_delete_bitmap(h);
}

// Crop rectangles through the save path ---------------------------------------------------

struct SavedBmp {
  int width = 0, height = 0, row_bytes = 0;
  Bytes pixels;  // stored rows as written
};

SavedBmp save_stored(int handle) {
  Bytes out(200000);
  SavedBmp s;
  EXPECT_EQ(IMG_save_bitmap_mem(handle, out.data(), PXV_SAVE_BMP), 0);
  s.width = int(get32(out, 18));
  s.height = int(get32(out, 22));
  const int bits = out[28];
  s.row_bytes = int(pxv::size_for_long(s.width, bits));
  const std::uint32_t at = get32(out, 10);
  s.pixels.assign(out.begin() + at, out.begin() + at + std::size_t(s.row_bytes) * s.height);
  return s;
}

TEST(BmpSaveCrop, RectangleOfAnEightBitImage) {
  const int handle = picture_handle(100, 100, 8);
  ASSERT_EQ(IMG_set_croprect(handle, 10, 20, 30, 40), 0);
  pxv_test::HandleDib dib = pxv_test::read_handle(handle);
  SavedBmp s = save_stored(handle);
  ASSERT_EQ(s.width, 30);
  ASSERT_EQ(s.height, 40);
  // Saved row 0 is stored row 40 of the DIB from byte 10; the last is stored row 79.
  EXPECT_EQ(Bytes(s.pixels.begin(), s.pixels.begin() + 30), Bytes(dib.rows[40].begin() + 10, dib.rows[40].begin() + 40));
  EXPECT_EQ(Bytes(s.pixels.end() - 32, s.pixels.end() - 2), Bytes(dib.rows[79].begin() + 10, dib.rows[79].begin() + 40));
  IMG_delete_bitmap(handle);
}

TEST(BmpSaveCrop, OneBitCropMovesToTheNextWholeByte) {
  const int handle = picture_handle(64, 4, 1);
  pxv_test::HandleDib dib = pxv_test::read_handle(handle);
  for (int x : {3, 8}) {
    ASSERT_EQ(IMG_set_croprect(handle, x, 0, 40, 4), 0);
    SavedBmp s = save_stored(handle);
    ASSERT_EQ(s.width, 40);
    for (int r = 0; r < 4; ++r)
      EXPECT_EQ(Bytes(s.pixels.begin() + r * 8, s.pixels.begin() + r * 8 + 5), Bytes(dib.rows[r].begin() + 1, dib.rows[r].begin() + 6))
          << "crop x " << x << " row " << r;
  }
  IMG_delete_bitmap(handle);
}

TEST(BmpSaveCrop, RectanglesPastTheImageNeverReadOutsideIt) {
  // Under the address sanitizer a read past the DIB fails the test.
  const int handle = picture_handle(32, 8, 1);
  ASSERT_EQ(IMG_set_croprect(handle, 25, 5, 50, 50), 0);
  SavedBmp s = save_stored(handle);
  EXPECT_EQ(s.width, 7);
  EXPECT_EQ(s.height, 3);
  EXPECT_EQ(s.pixels, Bytes(12, 0));  // the crop starts at pixel 32: nothing of the image is left
  const int wide = picture_handle(5, 5, 24);
  ASSERT_EQ(IMG_set_croprect(wide, 3, 3, 1000, 1000), 0);
  s = save_stored(wide);
  EXPECT_EQ(s.width, 2);
  EXPECT_EQ(s.height, 2);
  Bytes out(4096);
  ASSERT_EQ(IMG_set_croprect(wide, 10, 10, 5, 5), 0);
  EXPECT_LT(IMG_save_bitmap_mem(wide, out.data(), PXV_SAVE_BMP), 0);
  IMG_delete_bitmap(handle);
  IMG_delete_bitmap(wide);
}

}  // namespace
