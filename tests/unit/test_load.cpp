// Format detection, the library's load callbacks and the load entry points' failure paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "platform/testing.h"
#include "support.h"

using namespace pxv;
using pxv_test::Bytes;

namespace {

std::string key_of(Bytes bytes) {
  bytes.resize(std::max<std::size_t>(bytes.size(), 600), 0);
  reset_mem_io_bounded(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  std::string key = detect_format(kMemoryStream);
  EXPECT_EQ(mem_io_offset, 0u) << "detection leaves the stream at offset 0";
  return key;
}

TEST(Detection, TableOrderOnCraftedPrefixesAndFileTypeCodes) {
  Bytes pict(600, 0), at522(600, 0), bare(600, 0);
  pict[523] = 0x11;  // the version opcode right after the 512-byte preamble and the size word
  at522[522] = 0x11;
  bare[10] = 0x11;  // a picture without the preamble
  const struct {
    Bytes bytes;
    const char *key;
    int type;
  } cases[] = {
      {{'M', 'M', 0, 42}, ".tif", PXV_SAVE_TIFF},      {{'I', 'I', 42, 0}, ".tif", PXV_SAVE_TIFF},
      {{'G', 'I', 'F', '8'}, ".gif", PXV_SAVE_GIF},    {{'B', 'M'}, ".bmp", PXV_SAVE_BMP},
      {{0xC5, 0xD0, 0xD3, 0xC6}, ".eps", PXV_SAVE_EPS}, {{0xB1, 0x68, 0xDE, 0x3A}, ".dcx", PXV_SAVE_DCX},
      {{0xFF, 0xD8, 0xFF, 0xE0}, ".jpg", PXV_SAVE_JPEG}, {{0xFF, 'W', 'P', 'C'}, ".wpg", PXV_SAVE_WPG},
      {{0x0A, 0x05, 0x01, 0x08}, ".pcx", PXV_SAVE_PCX},  // PCX is tested before Targa
      {{0, 0, 2}, ".tga", PXV_SAVE_TGA},                {{0, 0, 11}, ".tga", PXV_SAVE_TGA},
      {{0x01, 0x00, 0x09, 0x00}, ".tga", PXV_SAVE_TGA},  // a bare metafile with b2 = 9 is Targa
      {{0xD7, 0xCD, 0xC6, 0x9A}, ".wmf", PXV_SAVE_WMF},  {{0x01, 0x00, 0x00}, ".wmf", PXV_SAVE_WMF},
      {{0x00, 0x02, 0x00}, ".wmf", PXV_SAVE_WMF},
      {{'I', 'I', 'F'}, ".tif", PXV_SAVE_TIFF},  // "II" wins over anything later in the table
      {pict, ".pct", PXV_SAVE_PICT}, {at522, ".pct", PXV_SAVE_PICT},
      {bare, "", PXV_ERR_TYPE}, {{0x20, 0x20, 0x20, 0x20}, "", PXV_ERR_TYPE},
  };
  const std::string name = pxv_test::scratch_path("detect.any");
  for (const auto &c : cases) {
    EXPECT_EQ(key_of(c.bytes), c.key);
    pxv_test::write_file(name, c.bytes);
    EXPECT_EQ(IMGLOW_get_filetype(name.c_str()), c.type) << c.key;
  }
  EXPECT_TRUE(IMGLOW_get_filetype("") == PXV_ERR_READ && IMGLOW_get_filetype(pxv_test::scratch_path("missing").c_str()) == PXV_ERR_READ);
}

TEST(LoadEntryPoints, FailuresAndUnknownFormats) {
  EXPECT_TRUE(IMG_decompress_bitmap("") == PXV_ERR_READ && IMG_decompress_bitmap(nullptr) == PXV_ERR_READ);
  EXPECT_EQ(IMG_decompress_bitmap(pxv_test::scratch_path("absent.bmp").c_str()), PXV_ERR_READ);
  const std::string name = pxv_test::scratch_path("unknown.bin");
  pxv_test::write_file(name, Bytes(64, 0x20));
  const int blocks_before = img_work_blocks_in_use();
  EXPECT_TRUE(IMG_decompress_bitmap(name.c_str()) == PXV_ERR_TYPE && img_work_blocks_in_use() == blocks_before);
  EXPECT_EQ(hdib, PXV_ERR_TYPE) << "the load's result is left in hdib";
  Bytes memory(600, 0x20);
  EXPECT_EQ(IMG_decompress_bitmap_mem(memory.data(), 0), PXV_ERR_TYPE);
  auto header = [](unsigned char *, void *) { return 1; };
  auto raster = [](unsigned char *, void *, int, int) { return 0; };
  EXPECT_EQ(IMGLOW_decompress_bitmap_mem(memory.data(), 0, raster, nullptr, header), PXV_ERR_TYPE);
  pxv_test::delete_all_handles();
}

// A header record as a reader would hand it over.
Bytes header_record(std::int32_t width, std::int32_t height, int bits, std::uint32_t clr_used = 0) {
  Bytes h(kHeaderRecordBytes, 0);
  fill_dib_header(h.data(), width, height, bits, 0);
  put_le32(h.data() + kBiClrUsed, clr_used);
  for (std::size_t i = 40; i < h.size(); ++i) h[i] = static_cast<std::uint8_t>(i);
  return h;
}

class LoadCallbacks : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(hdib = get_next_dib(), 0); }
  void TearDown() override {
    image_object *image = live_image(hdib);
    if (image != nullptr && image->dib != nullptr) unlock_image_dib(image);
    pxv_test::delete_all_handles();
  }
  std::uint8_t *header_address = nullptr;
};

TEST_F(LoadCallbacks, DibHasRoomForHeightRoundedToFourAndRowsLandBottomUp) {
  Bytes h = header_record(3, 5, 8, 4);
  ASSERT_TRUE(fill_dib_struct(h.data(), &header_address) == 1 && header_address == h.data());
  image_object *image = live_image(hdib);
  EXPECT_EQ(GlobalSize(image->dib_handle), 40u + 16 + 4 * 8) << "height 5 gets room for 8 rows";
  EXPECT_TRUE(image->row_bytes * 100 + image->crop_width * 10 + image->crop_height == 435 && std::memcmp(image->dib, h.data(), 40 + 16) == 0);
  std::uint8_t row[4] = {1, 2, 3, 4}, other[4] = {9, 9, 9, 9}, big[64];
  raster_to_dib(row, &header_address, 0, 4);  // top row lands in the last stored row
  EXPECT_EQ(std::memcmp(image->dib + 56 + 4 * 4, row, 4), 0);
  raster_to_dib(other, &header_address, 4, 3);  // bottom row, only 3 bytes
  EXPECT_EQ(image->dib[56] + image->dib[58], 18);
  // Rows outside the image and overlong counts never leave the DIB.
  std::memset(big, 7, sizeof big);
  raster_to_dib(big, &header_address, 5, 4);
  raster_to_dib(big, &header_address, -1, 4);
  raster_to_dib(big, &header_address, 2, 64);
  EXPECT_TRUE(image->dib[56 + 2 * 4 + 3] == 7 && std::memcmp(image->dib + 56 + 4 * 4, row, 4) == 0);
}

TEST_F(LoadCallbacks, HostileHeadersAreRefusedBeforeAnyLargeAllocation) {
  const struct {
    std::int32_t width, height;
    int bits;
    std::uint32_t clr_used;
  } cases[] = {
      {0, 5, 8, 0},          {5, 0, 8, 0},          {-3, 5, 8, 0},          {5, -3, 8, 0},
      {5, 5, 16, 0},         {5, 5, 32, 0},         {5, 5, 2, 0},           {5, 5, 8, 257},
      {70000, 70000, 24, 0}, {0x7FFFFFFF, 2, 24, 0}, {2, 0x7FFFFFFF, 8, 0}, {0x40000000, 8, 8, 0},
  };
  for (const auto &c : cases) {
    Bytes h = header_record(c.width, c.height, c.bits, c.clr_used);
    const std::uint64_t allocations = pxv_platform::allocation_count();
    EXPECT_TRUE(fill_dib_struct(h.data(), &header_address) == PXV_ERR_NO_MEMORY && pxv_platform::allocation_count() == allocations) << c.width << "x" << c.height;
  }
  // (Sizes that fit 32 bits but pass the block limit: the command line's --limit-memory test.)
}

}  // namespace
