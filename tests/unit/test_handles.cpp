// The handle table and the operations on handles.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "core/dib.h"
#include "core/image.h"
#include "platform/testing.h"
#include "devices.h"

using namespace pxv;
using pxv_test::make_packed_dib;

namespace {

int new_image(int width = 5, int height = 3, int bits = 8) { return pxv_test::picture_handle(width, height, bits); }

// Every test starts and ends with no table.
class Handles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(next_dib_handle, 0); }
  void TearDown() override {
    for (int h = next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
    EXPECT_EQ(next_dib_handle, 0);
    EXPECT_EQ(dis, nullptr);
  }
};

TEST_F(Handles, LowestFreeSlotIsReusedAndCountDropsOneSlotOnly) {
  const std::size_t blocks = pxv_platform::live_blocks();
  ASSERT_EQ(new_image(), 0);
  EXPECT_TRUE(IMG_delete_bitmap(0) == 0 && dis == nullptr);
  EXPECT_EQ(pxv_platform::live_blocks(), blocks) << "record, DIB and table all freed with the last";
  for (int expected : {0, 1, 2}) ASSERT_EQ(new_image(), expected);
  EXPECT_TRUE(IMG_delete_bitmap(1) == 0 && next_dib_handle == 3 && new_image() == 1);
  EXPECT_TRUE(IMG_delete_bitmap(1) == 0 && IMG_delete_bitmap(2) == 0);
  EXPECT_EQ(next_dib_handle, 2) << "slot 1 below is free, yet the length drops by one";
  EXPECT_TRUE(new_image() == 1 && new_image() == 2);
}

TEST_F(Handles, InvalidHandlesNeverReachMemory) {
  ASSERT_EQ(new_image(), 0);
  ASSERT_EQ(new_image(), 1);
  IMG_delete_bitmap(0);  // slot 0 free, slot 1 live
  for (int bad : {-1, -7, 0, 2, 1000}) {
    int v = 123;
    unsigned char header[1064];
    EXPECT_EQ((std::vector<std::intptr_t>{IMG_delete_bitmap(bad), IMG_get_croprect(bad, &v, &v, &v, &v), IMG_set_croprect(bad, 1, 2, 3, 4),
                                          IMGLOW_get_bitmap_header(bad, header), IMG_save_bitmap_mem(bad, header, PXV_SAVE_BMP),
                                          reinterpret_cast<std::intptr_t>(IMG_bitmap_handle(bad))}),
              std::vector<std::intptr_t>(6, PXV_ERR_HANDLE)) << bad;
    EXPECT_TRUE(IMG_bitmap_info(bad, &v, &v, &v) == nullptr && v == 123) << bad;
  }
  EXPECT_TRUE(IMG_delete_bitmap(1) == 0 && next_dib_handle == 1) << "free slot 0 still counts until it is used and given back";
  EXPECT_EQ(new_image(), 0);
}

TEST_F(Handles, CreateCopiesHeaderTableAndRowsInStoredOrder) {
  for (int bits : {1, 4, 8, 24}) {
    auto dib = make_packed_dib(13, 7, bits, bits == 8 ? 16 : 0);
    pxv_test::draw_test_picture(dib);
    const int h = IMG_create_handle(dib.bytes.data());
    const pxv_test::Capture got = pxv_test::read_handle(h);
    EXPECT_EQ(got.packed(), dib.bytes) << bits;
    EXPECT_TRUE(pxv_test::crop_rect(h) == (std::array<int, 4>{0, 0, 13, 7}) && live_image(h)->rop == 0xCC0020u);
    // The crop rectangle is stored as given, and the header copy holds the table's entries only.
    EXPECT_TRUE(IMG_set_croprect(h, -5, 20, 1000, -3) == 0 && pxv_test::crop_rect(h) == (std::array<int, 4>{-5, 20, 1000, -3}));
    unsigned char buffer[1064];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(IMGLOW_get_bitmap_header(h, buffer), 0);
    EXPECT_EQ(pxv_test::Bytes(buffer, buffer + got.header.size() + 1), pxv_test::operator+(got.header, {0xAA})) << bits;
    IMG_delete_bitmap(h);
  }
}

TEST_F(Handles, CreateRefusesHeadersItCannotHold) {
  for (auto [field, value] : {std::pair{kBiBitCount, 16u}, {kBiHeight, 0u}, {kBiClrUsed, 300u}}) {
    auto dib = make_packed_dib(4, 4, 8);
    field == kBiBitCount ? put_le16(dib.bytes.data() + field, value) : put_le32(dib.bytes.data() + field, value);
    EXPECT_EQ(IMG_create_handle(dib.bytes.data()), PXV_ERR_DATA) << field;
  }
  EXPECT_TRUE(IMG_create_handle(nullptr) == PXV_ERR_DATA && next_dib_handle == 0) << "no slot was taken";
}

TEST_F(Handles, NocopyTakesTheBlockAndBitmapHandleGivesItBack) {
  auto dib = make_packed_dib(9, 4, 4);
  pxv_test::draw_test_picture(dib);
  HGLOBAL block = pxv_test::global_copy(dib.bytes);
  HGLOBAL short_block = pxv_test::global_copy(pxv_test::Bytes(dib.bytes.begin(), dib.bytes.end() - 1));
  // Shorter than its header says; no block.
  EXPECT_TRUE(IMG_create_handle_nocopy(short_block) == PXV_ERR_DATA && IMG_create_handle_nocopy(nullptr) == PXV_ERR_NO_MEMORY);
  GlobalFree(short_block);
  const int h = IMG_create_handle_nocopy(block);
  ASSERT_EQ(h, 0);
  int w = 0, ht = 0, bits = 0;
  EXPECT_TRUE(IMG_bitmap_info(h, &w, &ht, &bits) == block && w * 100 + ht * 10 + bits == 944) << "nothing copied; 9 x 4, 4 bits";
  EXPECT_TRUE(IMG_bitmap_handle(h) == block && next_dib_handle == 0) << "the handle is gone";
  // The block outlives the handle and is the caller's now.
  EXPECT_EQ(std::memcmp(GlobalLock(block), dib.bytes.data(), dib.bytes.size()), 0);
  GlobalUnlock(block);
  EXPECT_EQ(new_image(), 0) << "the number is reused";
  GlobalFree(block);
}

TEST_F(Handles, AllocationFailureAtEachStepLeavesTheDibUnlocked) {
  if (!pxv_test::kStandinControls) GTEST_SKIP() << "needs injected allocation failures";
  ASSERT_EQ(new_image(6, 6, 24), 0);
  auto dib = make_packed_dib(21, 5, 8);
  // Each allocation of a create in turn: table growth, record, DIB, row buffer. (That the
  // failures answer PXV_ERR_NO_MEMORY and leave other images alone is the fault sweep's.)
  for (unsigned n = 1; n <= 6; ++n) {
    pxv_platform::fail_allocation(n);
    const int h = IMG_create_handle(dib.bytes.data());
    pxv_platform::fail_allocation(0);
    if (h >= 0) IMG_delete_bitmap(h);
    // A failed create keeps its slot; a DIB it did get is left unlocked, as between calls: one
    // lock and one unlock bring it back to unlocked.
    int width = 0, height = 0, bits = 0;
    if (HGLOBAL block = h < 0 ? IMG_bitmap_info(next_dib_handle - 1, &width, &height, &bits) : nullptr) {
      ASSERT_NE(GlobalLock(block), nullptr);
      EXPECT_FALSE(GlobalUnlock(block)) << "the DIB was left locked, allocation " << n;
    }
  }
}

TEST(Names, DefaultsSetAndTruncation) {
  char name[200], date[40];
  EXPECT_TRUE(IMGLOW_get_bitmap_name(name, date) == 0 && std::strlen(name) > 0 && std::string(date) == "11-24-1992");
  EXPECT_EQ(IMGLOW_set_bitmap_name(std::string(500, 'n').c_str(), std::string(100, 'd').c_str()), 0);
  IMGLOW_get_bitmap_name(name, date);
  EXPECT_TRUE(std::string(name) == std::string(199, 'n') && std::string(date) == std::string(39, 'd') && WEP(0) == 1);
}

}  // namespace
