// The TIFF writers' byte layouts: the directory, the CCITT code streams and the LZW strips.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/ccitt_codes.h"
#include "formats/tif_save.h"
#include "platform/testing.h"
#include "support.h"

using namespace pxv;
using pxv_test::Bytes;

namespace {

// A directory entry of a written file.
struct Entry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};

std::vector<Entry> directory(const Bytes &f, std::uint32_t at) {
  std::vector<Entry> out;
  int n = get_le16(&f[at]);
  for (int i = 0; i < n; ++i) {
    const std::uint8_t *e = &f[at + 2 + 12 * i];
    out.push_back({get_le16(e), get_le16(e + 2), get_le32(e + 4), get_le32(e + 8)});
  }
  return out;
}

const Entry *find(const std::vector<Entry> &d, int tag) {
  for (const Entry &e : d)
    if (e.tag == tag) return &e;
  return nullptr;
}

// Saves a drawn image to memory with the given type and returns the bytes written.
Bytes save(int width, int height, int bits, int type, bool black_and_white = false,
           void (*draw)(pxv_test::PackedDib &) = pxv_test::draw_test_picture,
           int x_pels = 0, int y_pels = 0) {
  auto dib = pxv_test::make_packed_dib(width, height, bits);
  draw(dib);
  if (black_and_white && bits == 1) {
    std::memset(&dib.bytes[40], 0, 8);
    std::memset(&dib.bytes[44], 255, 3);
  }
  put_le32(&dib.bytes[kBiXPelsPerMeter], static_cast<std::uint32_t>(x_pels));
  put_le32(&dib.bytes[kBiYPelsPerMeter], static_cast<std::uint32_t>(y_pels));
  int h = IMG_create_handle(dib.bytes.data());
  EXPECT_GE(h, 0);
  std::string name = pxv_test::scratch_path("unit.tif");
  std::remove(name.c_str());
  int rc = IMG_save_bitmap(h, name.c_str(), type);
  IMG_delete_bitmap(h);
  EXPECT_EQ(rc, 0);
  return pxv_test::read_file(name);
}

void all_white(pxv_test::PackedDib &d) {
  for (int r = 0; r < d.height; ++r) std::memset(d.row(r), 0xFF, d.row_bytes());
}

TEST(TiffDirectory, EntriesAndDataBehindThem) {
  Bytes f = save(5, 3, 24, PXV_SAVE_TIFF);
  ASSERT_GE(f.size(), 8u);
  EXPECT_EQ(f[0], 'I');
  EXPECT_EQ(get_le16(&f[2]), 42);
  EXPECT_EQ(get_le32(&f[4]), 8u);
  auto d = directory(f, 8);
  ASSERT_EQ(d.size(), 18u);
  const int order[] = {254, 256, 257, 258, 259, 262, 266, 273, 274, 277, 278, 279, 282, 283, 284, 296, 306, 315};
  for (int i = 0; i < 18; ++i) EXPECT_EQ(d[i].tag, order[i]);
  const std::uint32_t D = 8 + 2 + 12 * 18 + 4;
  EXPECT_EQ(get_le32(&f[8 + 2 + 12 * 18]), 0u) << "no next directory";
  EXPECT_EQ(find(d, 258)->count, 3u);
  EXPECT_EQ(find(d, 258)->value, D + 16) << "BitsPerSample array behind the resolutions";
  EXPECT_EQ(get_le16(&f[D + 16]), 8);
  EXPECT_EQ(get_le16(&f[D + 20]), 8);
  EXPECT_EQ(find(d, 306)->value, D + 22) << "the date follows the three SHORTs";
  EXPECT_EQ(std::string(reinterpret_cast<char *>(&f[D + 22])), std::string(img_date));
  EXPECT_EQ(find(d, 306)->count, std::strlen(img_date));
  EXPECT_EQ(find(d, 315)->count, std::strlen(img_name));
  EXPECT_EQ(find(d, 315)->value, D + 22 + 40);
  EXPECT_EQ(find(d, 262)->value, 2u);
  EXPECT_EQ(find(d, 277)->value, 3u);
  EXPECT_EQ(find(d, 273)->value, D + 256 + 6) << "pixels behind the 200 bytes of the name";
  EXPECT_EQ(find(d, 279)->value, 3u * 15);
  EXPECT_EQ(f.size(), D + 256 + 6 + 45);
  // Resolution 0 gives 640/9 by 480/7.
  EXPECT_EQ(Bytes(&f[D], &f[D + 16]), (Bytes{0x80, 2, 0, 0, 9, 0, 0, 0, 0xE0, 1, 0, 0, 7, 0, 0, 0}));
  // Rows top first, RGB.
  EXPECT_EQ(f[D + 256 + 6], 0) << "red of the top-left pixel";
}

TEST(TiffDirectory, ResolutionsAndColorMapPlace) {
  // Pixel values of palettes and bilevel pages are checked by libtiff and Pillow reading them back.
  Bytes f = save(4, 2, 8, PXV_SAVE_TIFF, false, pxv_test::draw_test_picture, 300, 200);
  auto d = directory(f, 8);
  ASSERT_EQ(d.size(), 19u);
  const std::uint32_t D = 8 + 2 + 12 * 19 + 4;
  EXPECT_EQ(d[18].tag, 320);
  EXPECT_EQ(d[18].value, D + 16);
  EXPECT_EQ(find(d, 306)->value, D + 16 + 1536) << "the date follows the 768 SHORTs";
  EXPECT_EQ(Bytes(&f[D], &f[D + 12]), (Bytes{44, 1, 0, 0, 1, 0, 0, 0, 200, 0, 0, 0}));  // 300/1, 200/..
}

TEST(TiffCcitt, ModifiedHuffmanAllWhiteRow) {
  Bytes f = save(1728, 1, 1, PXV_SAVE_TIFF_HUFFMAN, true, all_white);
  auto d = directory(f, 8);
  const std::uint32_t start = find(d, 273)->value;
  // White make-up 1728 (010011011) and white terminating 0 (00110101), padded to a byte.
  ASSERT_EQ(find(d, 279)->value, 3u) << "byte count patched to the coded size";
  EXPECT_EQ(Bytes(&f[start], &f[start + 3]), (Bytes{0x4D, 0x9A, 0x80}));
  EXPECT_EQ(find(d, 266)->value, 1u);
}

TEST(TiffCcitt, LongRunsUseExtendedMakeUpCodes) {
  // A 3000-pixel white row: make-up 2560, make-up 384, terminating 56.
  Bytes f = save(3000, 1, 1, PXV_SAVE_TIFF_HUFFMAN, true, all_white);
  auto d = directory(f, 8);
  const std::uint32_t start = find(d, 273)->value;
  std::uint64_t bits = 0;
  int n = 0;
  for (auto w : {ccitt::run_code(2560, false), ccitt::run_code(384, false), ccitt::run_code(56, false)}) {
    bits = (bits << w.bits) | w.code;
    n += w.bits;
  }
  const int bytes = (n + 7) / 8;
  bits <<= bytes * 8 - n;
  ASSERT_EQ(find(d, 279)->value, static_cast<std::uint32_t>(bytes));
  for (int i = 0; i < bytes; ++i)
    EXPECT_EQ(f[start + i], static_cast<std::uint8_t>(bits >> (8 * (bytes - 1 - i)))) << i;
}

TEST(TiffCcitt, Group3StartsWithEolAndIsWrittenFullWidth) {
  Bytes f = save(200, 2, 1, PXV_SAVE_TIFF_G3, true, all_white);
  auto d = directory(f, 8);
  EXPECT_EQ(find(d, 256)->value, 1728u);
  const std::uint32_t start = find(d, 273)->value;
  // 16 zero bits, then 0000000000000001 with every byte bit-reversed (FillOrder 2).
  EXPECT_EQ(Bytes(&f[start], &f[start + 4]), (Bytes{0, 0, 0, 0x80}));
  // Row 1: white 1728 + white 0 (17 bits) fill and EOL unit; row 2 likewise without the EOL.
  EXPECT_EQ(find(d, 279)->value, 4u + 4 + 2 + 4);
}

TEST(TiffCcitt, OnlyBilevelImages) {
  auto dib = pxv_test::make_packed_dib(8, 8, 8);
  int h = IMG_create_handle(dib.bytes.data());
  std::uint8_t out[4096];
  for (int type : {PXV_SAVE_TIFF_HUFFMAN, PXV_SAVE_TIFF_G3, PXV_SAVE_TIFF_G4})
    EXPECT_EQ(IMG_save_bitmap_mem(h, out, type), PXV_ERR_TYPE);
  IMG_delete_bitmap(h);
}

TEST(TiffLzw, StripGeometry) {
  EXPECT_EQ(tiff_lzw_strips(9000, 7).rows_per_strip, 1);
  EXPECT_EQ(tiff_lzw_strips(9000, 7).count, 7);
  EXPECT_EQ(tiff_lzw_strips(100, 250).rows_per_strip, 100);
  EXPECT_EQ(tiff_lzw_strips(100, 250).count, 3);
  EXPECT_EQ(tiff_lzw_strips(100, 50).rows_per_strip, 50);
  EXPECT_EQ(tiff_lzw_strips(12000, 3).rows_per_strip, 1) << "a row past 10000 bytes still fits a strip";
}

TEST(TiffLzw, ManyStripsWriteBothArrays) {
  Bytes f = save(3000, 5, 24, PXV_SAVE_TIFF_LZW);
  auto d = directory(f, 8);
  const Entry *offsets = find(d, 273), *counts = find(d, 279);
  ASSERT_EQ(offsets->count, 5u);
  ASSERT_EQ(counts->count, 5u);
  EXPECT_EQ(find(d, 278)->value, 1u);
  EXPECT_EQ(counts->value, offsets->value + 20);
  std::uint32_t expect = offsets->value + 40;
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(get_le32(&f[offsets->value + 4 * k]), expect) << k;
    expect += get_le32(&f[counts->value + 4 * k]);
  }
  EXPECT_EQ(expect, f.size()) << "strips are back to back and end the file";
}


TEST(TiffWriters, AppendingFailures) {
  auto dib = pxv_test::make_packed_dib(40, 40, 8);
  pxv_test::draw_test_picture(dib);
  int h = IMG_create_handle(dib.bytes.data());
  std::string name = pxv_test::scratch_path("short.tif");
  // A chain that loops has no end to append at.
  Bytes loop = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0};
  pxv_test::write_file(name, loop);
  EXPECT_EQ(IMG_save_bitmap(h, name.c_str(), PXV_SAVE_TIFF), PXV_ERR_DATA);
  Bytes nowhere = {'I', 'I', 42, 0, 0xF0, 0xFF, 0, 0};
  pxv_test::write_file(name, nowhere);
  EXPECT_EQ(IMG_save_bitmap(h, name.c_str(), PXV_SAVE_TIFF), PXV_ERR_DATA);
  // An "II" file too short for its header.
  pxv_test::write_file(name, {'I', 'I', 42});
  EXPECT_EQ(IMG_save_bitmap(h, name.c_str(), PXV_SAVE_TIFF), PXV_ERR_NO_MEMORY);
  IMG_delete_bitmap(h);
  auto bw = pxv_test::make_packed_dib(40, 40, 1);
  h = IMG_create_handle(bw.bytes.data());
  pxv_test::write_file(name, {'I', 'I', 42});
  EXPECT_EQ(IMG_save_bitmap(h, name.c_str(), PXV_SAVE_TIFF_HUFFMAN), PXV_ERR_NO_MEMORY);
  pxv_test::write_file(name, {'I', 'I', 42});
  EXPECT_EQ(IMG_save_bitmap(h, name.c_str(), PXV_SAVE_TIFF_G4), PXV_ERR_SHORT_WRITE);
  IMG_delete_bitmap(h);
}

// A file that is not a little-endian TIFF is written over whole; the facsimile writers patch
// their byte count at the end, and the file must still end where their codes end. (Appending to
// our own files is checked by libtiff reading every page back.)
TEST(TiffWriters, OtherFilesAreReplacedWhole) {
  auto dib = pxv_test::make_packed_dib(16, 4, 1);
  int h = IMG_create_handle(dib.bytes.data());
  std::string name = pxv_test::scratch_path("over.tif");
  for (int type : {PXV_SAVE_TIFF, PXV_SAVE_TIFF_HUFFMAN, PXV_SAVE_TIFF_G3, PXV_SAVE_TIFF_G4}) {
    Bytes big(5000, 0x55);
    big[0] = big[1] = 'M';
    pxv_test::write_file(name, big);
    ASSERT_EQ(IMG_save_bitmap(h, name.c_str(), type), 0) << type;
    Bytes f = pxv_test::read_file(name);
    ASSERT_GT(f.size(), 8u);
    EXPECT_EQ(f[0], 'I');
    auto d = directory(f, get_le32(&f[4]));
    EXPECT_EQ(f.size(), find(d, 273)->value + find(d, 279)->value) << type << ": no stale tail";
  }
  IMG_delete_bitmap(h);
}

}  // namespace
