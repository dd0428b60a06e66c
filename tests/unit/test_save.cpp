// The save dispatcher: crop rectangle to save header and context, the raster fetch, save types
// from file names, and which files are created or opened.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "core/dib.h"
#include "core/image.h"
#include "support.h"

using namespace pxv;
using pxv_test::Bytes;

namespace {

class SaveContext : public pxv_test::HandleTest {
 protected:
  // An image whose every pixel byte tells its stored row and byte.
  int make(int width, int height, int bits) {
    auto dib = pxv_test::make_packed_dib(width, height, bits);
    for (int r = 0; r < height; ++r)
      for (int b = 0; b < dib.row_bytes(); ++b) dib.row(r)[b] = std::uint8_t(r * 7 + b);
    return IMG_create_handle(dib.bytes.data());
  }
  bool context_for(int handle, int x, int y, int w, int h) {
    IMG_set_croprect(handle, x, y, w, h);
    image_object *image = live_image(handle);
    const std::uint8_t *dib = lock_image_dib(image);
    const bool ok = build_save_context(image, handle, dib, &c, &width, &height);
    unlock_image_dib(image);
    lock_image_dib(image);  // keep the pixel base valid for the fetches that follow
    return ok;
  }
  save_context c;
  std::int32_t width = 0, height = 0;
};

TEST_F(SaveContext, CropGivesHeaderSizeBottomRowAndByteOffset) {
  const int h = make(100, 100, 8);
  ASSERT_TRUE(context_for(h, 10, 20, 30, 40));
  EXPECT_EQ(width * 1000 + height, 30040);
  std::uint8_t row[30];
  get_save_raster(&c, row, 0, 30);
  EXPECT_EQ(row[0], std::uint8_t(40 * 7 + 10)) << "fetch row 0 is stored row 40 from byte 10";
  get_save_raster(&c, row, 39, 30);
  EXPECT_EQ(row[29], std::uint8_t(79 * 7 + 39));
  // Crops that start inside a byte move to the next whole byte.
  for (auto [bits, offset] : {std::pair{1, 1}, {4, 2}, {24, 9}}) {
    ASSERT_TRUE(context_for(make(64, 4, bits), 3, 0, 20, 4));
    EXPECT_EQ(c.crop_byte_offset, offset) << bits << " bits";
  }
}

TEST_F(SaveContext, CropOutsideTheImageIsClippedAndFetchStaysInside) {
  const int h = make(16, 8, 8);
  ASSERT_TRUE(context_for(h, -4, 6, 100, 100));
  EXPECT_EQ(width * 100 + height, 1602);
  // Asking for more than the row holds, or rows outside the crop, reads zeros, not memory.
  std::uint8_t row[64];
  std::memset(row, 0xEE, sizeof row);
  get_save_raster(&c, row, 1, 64);
  EXPECT_TRUE(row[15] == std::uint8_t(1 * 7 + 15) && (row[16] | row[63]) == 0);
  get_save_raster(&c, row, 2, 8);
  EXPECT_EQ(row[0], 0);
  for (auto r : {std::array<int, 4>{16, 0, 4, 4}, {0, 8, 4, 4}, {-10, 0, 10, 4}, {0, 0, 0, 8}, {0, 0, 8, -1}}) {
    EXPECT_FALSE(context_for(h, r[0], r[1], r[2], r[3])) << r[0] << "," << r[1];
    unlock_image_dib(live_image(h));
    EXPECT_EQ(IMG_save_bitmap_fd(h, 1, PXV_SAVE_BMP), PXV_ERR_DATA);
  }
}

TEST_F(SaveContext, FileNamesTypesAndCreation) {
  const int h = make(8, 8, 8);
  const std::string odd = pxv_test::scratch_path("picture.xyz"), pages = pxv_test::scratch_path("pages.DCX");
  pxv_test::write_file(odd, {1, 2, 3});
  EXPECT_EQ(IMG_save_bitmap(h, odd.c_str(), -1), PXV_ERR_TYPE);
  EXPECT_TRUE(pxv_test::file_exists(odd) && pxv_test::read_file(odd).empty()) << "an unknown type still empties the file";
  pxv_test::write_file(pages, {9, 9, 9});
  EXPECT_EQ(IMG_save_bitmap(h, pages.c_str(), 99), PXV_ERR_TYPE);
  EXPECT_TRUE(pxv_test::read_file(pages).empty()) << "type 99 is not an appending type";
  // Appending types open an existing file without emptying it.
  pxv_test::write_file(pages, {9, 9, 9});
  IMG_set_croprect(h, 100, 100, 1, 1);  // nothing to write: the file is opened, not touched
  EXPECT_TRUE(IMG_save_bitmap(h, pages.c_str(), -1) == PXV_ERR_DATA && pxv_test::read_file(pages) == (Bytes{9, 9, 9}));
  const std::string absent = pxv_test::scratch_path("no/such/dir.bmp");
  EXPECT_EQ((std::vector<int>{IMG_save_bitmap(h, absent.c_str(), -1), IMG_save_bitmap(h, "", 1), IMG_save_bitmap(-1, odd.c_str(), 1)}),
            (std::vector<int>{PXV_ERR_CREATE, PXV_ERR_CREATE, PXV_ERR_HANDLE}));
  IMG_set_croprect(h, 0, 0, 8, 8);
  std::uint8_t out[16];
  EXPECT_TRUE(IMG_save_bitmap_mem(h, out, 16) == PXV_ERR_TYPE && IMG_save_bitmap_mem(h, out, -1) == PXV_ERR_TYPE);
  unsigned char header[1064] = {};
  EXPECT_EQ(IMGLOW_save_bitmap_mem(out, header, 42, get_save_raster, nullptr), PXV_ERR_TYPE);
  // Bit counts and sizes a writer cannot store are refused from the header, before any row is
  // fetched: Targa 8 and 24 bits within 16-bit sides; WMF 16-bit signed sides; PICT rowBytes
  // under 0x4000 and widths to 32767; WPG sides to 4095 and no 24 bits; RLE BMP 4 and 8 bits;
  // JPEG 8 and 24; the facsimile TIFFs bilevel images only.
  for (auto [type, bits, width] :
       {std::array{PXV_SAVE_TGA, 16, 8}, {PXV_SAVE_TGA, 32, 8}, {PXV_SAVE_TGA, 24, 65536}, {PXV_SAVE_WMF, 2, 8},
        {PXV_SAVE_WMF, 16, 8}, {PXV_SAVE_WMF, 8, 32768}, {PXV_SAVE_PICT, 8, 16383}, {PXV_SAVE_PICT, 24, 4096},
        {PXV_SAVE_PICT, 4, 32765}, {PXV_SAVE_PICT, 1, 32768}, {PXV_SAVE_WPG, 24, 4}, {PXV_SAVE_WPG, 8, 4096},
        {PXV_SAVE_BMP_RLE, 24, 8}, {PXV_SAVE_BMP_RLE, 1, 8}, {PXV_SAVE_JPEG, 1, 16}, {PXV_SAVE_JPEG, 4, 16},
        {PXV_SAVE_TIFF_HUFFMAN, 8, 8}, {PXV_SAVE_TIFF_G3, 8, 8}, {PXV_SAVE_TIFF_G4, 8, 8}}) {
    pxv::fill_dib_header(header, width, 8, bits, 0);
    EXPECT_EQ(IMGLOW_save_bitmap_mem(out, header, type, get_save_raster, nullptr), PXV_ERR_TYPE) << type << ", " << bits << " bits, width " << width;
  }
}

}  // namespace
