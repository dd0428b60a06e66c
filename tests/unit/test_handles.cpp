// The handle table and the operations on handles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/dib.h"
#include "core/image.h"
#include "platform/testing.h"
#include "support.h"

using namespace pxv;
using pxv_test::make_packed_dib;

namespace {

int new_image(int width = 5, int height = 3, int bits = 8) {
  auto dib = make_packed_dib(width, height, bits);
  pxv_test::draw_test_picture(dib);
  return IMG_create_handle(dib.bytes.data());
}

std::vector<int> croprect(int h) {
  std::vector<int> r(4);
  EXPECT_EQ(IMG_get_croprect(h, &r[0], &r[1], &r[2], &r[3]), 0);
  return r;
}

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

TEST_F(Handles, FirstHandleIsZeroAndTableIsReleasedWithTheLast) {
  std::size_t blocks = pxv_platform::live_blocks();
  int h = new_image();
  EXPECT_EQ(h, 0);
  EXPECT_EQ(next_dib_handle, 1);
  EXPECT_EQ(IMG_delete_bitmap(h), 0);
  EXPECT_EQ(next_dib_handle, 0);
  EXPECT_EQ(dis, nullptr);
  EXPECT_EQ(pxv_platform::live_blocks(), blocks) << "record, DIB and table all freed";
  EXPECT_EQ(new_image(), 0);
}

TEST_F(Handles, LowestFreeSlotIsReusedAndCountDropsOneSlotOnly) {
  ASSERT_EQ(new_image(), 0);
  ASSERT_EQ(new_image(), 1);
  ASSERT_EQ(new_image(), 2);
  EXPECT_EQ(IMG_delete_bitmap(1), 0);
  EXPECT_EQ(next_dib_handle, 3);
  EXPECT_EQ(new_image(), 1);
  EXPECT_EQ(IMG_delete_bitmap(1), 0);
  EXPECT_EQ(IMG_delete_bitmap(2), 0);
  EXPECT_EQ(next_dib_handle, 2) << "slot 1 below is free, yet the length drops by one";
  EXPECT_EQ(new_image(), 1);
  EXPECT_EQ(next_dib_handle, 2);
  EXPECT_EQ(new_image(), 2);
}

TEST_F(Handles, InvalidHandlesNeverReachMemory) {
  ASSERT_EQ(new_image(), 0);
  ASSERT_EQ(new_image(), 1);
  IMG_delete_bitmap(0);  // slot 0 free, slot 1 live
  for (int bad : {-1, -7, 0, 2, 1000}) {
    EXPECT_EQ(IMG_delete_bitmap(bad), PXV_ERR_HANDLE) << bad;
    int v = 123;
    EXPECT_EQ(IMG_get_croprect(bad, &v, &v, &v, &v), PXV_ERR_HANDLE) << bad;
    EXPECT_EQ(v, 123);
    EXPECT_EQ(IMG_set_croprect(bad, 1, 2, 3, 4), PXV_ERR_HANDLE) << bad;
    EXPECT_EQ(IMG_bitmap_info(bad, &v, &v, &v), nullptr) << bad;
    unsigned char header[1064];
    EXPECT_EQ(IMGLOW_get_bitmap_header(bad, header), PXV_ERR_HANDLE) << bad;
    EXPECT_EQ(IMG_save_bitmap_mem(bad, header, PXV_SAVE_BMP), PXV_ERR_HANDLE) << bad;
    EXPECT_EQ(IMG_bitmap_handle(bad), reinterpret_cast<HGLOBAL>(std::intptr_t{PXV_ERR_HANDLE}));
  }
  EXPECT_EQ(IMG_delete_bitmap(1), 0);
  EXPECT_EQ(next_dib_handle, 1) << "free slot 0 still counts until it is used and given back";
  EXPECT_EQ(new_image(), 0);
}

TEST_F(Handles, CreateHandleCopiesRowsInStoredOrder) {
  for (int bits : {1, 4, 8, 24}) {
    auto dib = make_packed_dib(13, 7, bits);
    pxv_test::draw_test_picture(dib);
    int h = IMG_create_handle(dib.bytes.data());
    ASSERT_GE(h, 0);
    pxv_test::HandleDib got = pxv_test::read_handle(h);
    EXPECT_EQ(got.width, 13);
    EXPECT_EQ(got.height, 7);
    EXPECT_EQ(got.bits, bits);
    ASSERT_EQ(got.header.size(), std::size_t(40 + dib.table_bytes()));
    EXPECT_EQ(std::memcmp(got.header.data(), dib.bytes.data(), got.header.size()), 0);
    for (int r = 0; r < 7; ++r)
      EXPECT_EQ(std::memcmp(got.rows[r].data(), dib.row(r), dib.row_bytes()), 0) << bits << " row " << r;
    EXPECT_EQ(croprect(h), (std::vector<int>{0, 0, 13, 7}));
    EXPECT_EQ(live_image(h)->rop, 0xCC0020u);
    IMG_delete_bitmap(h);
  }
}

TEST_F(Handles, CreateHandleRefusesHeadersItCannotHold) {
  auto dib = make_packed_dib(4, 4, 8);
  put_le16(dib.bytes.data() + kBiBitCount, 16);
  EXPECT_EQ(IMG_create_handle(dib.bytes.data()), PXV_ERR_DATA);
  dib = make_packed_dib(4, 4, 8);
  put_le32(dib.bytes.data() + kBiHeight, 0);
  EXPECT_EQ(IMG_create_handle(dib.bytes.data()), PXV_ERR_DATA);
  dib = make_packed_dib(4, 4, 8);
  put_le32(dib.bytes.data() + kBiClrUsed, 300);
  EXPECT_EQ(IMG_create_handle(dib.bytes.data()), PXV_ERR_DATA);
  EXPECT_EQ(IMG_create_handle(nullptr), PXV_ERR_DATA);
  EXPECT_EQ(next_dib_handle, 0) << "no slot was taken";
}

TEST_F(Handles, NocopyTakesTheBlockAndBitmapHandleGivesItBack) {
  auto dib = make_packed_dib(9, 4, 4);
  pxv_test::draw_test_picture(dib);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, dib.bytes.size());
  std::memcpy(GlobalLock(block), dib.bytes.data(), dib.bytes.size());
  GlobalUnlock(block);
  int h = IMG_create_handle_nocopy(block);
  ASSERT_EQ(h, 0);
  int w = 0, ht = 0, bits = 0;
  EXPECT_EQ(IMG_bitmap_info(h, &w, &ht, &bits), block) << "nothing copied";
  EXPECT_EQ(w * 100 + ht * 10 + bits, 944) << "9 x 4, 4 bits";
  HGLOBAL given = IMG_bitmap_handle(h);
  EXPECT_EQ(given, block);
  EXPECT_EQ(next_dib_handle, 0) << "the handle is gone";
  // The block outlives the handle and is the caller's now.
  auto *p = static_cast<std::uint8_t *>(GlobalLock(given));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, dib.bytes.data(), dib.bytes.size()), 0);
  GlobalUnlock(given);
  EXPECT_EQ(new_image(), 0) << "the number is reused";
  GlobalFree(given);
}

TEST_F(Handles, NocopyRefusesABlockShorterThanItsHeaderSays) {
  auto dib = make_packed_dib(9, 4, 8);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, dib.bytes.size() - 1);
  std::memcpy(GlobalLock(block), dib.bytes.data(), dib.bytes.size() - 1);
  GlobalUnlock(block);
  EXPECT_EQ(IMG_create_handle_nocopy(block), PXV_ERR_DATA);
  EXPECT_EQ(IMG_create_handle_nocopy(nullptr), PXV_ERR_NO_MEMORY);
  GlobalFree(block);
}

TEST_F(Handles, CropRectangleIsStoredAsGiven) {
  int h = new_image(10, 10);
  EXPECT_EQ(IMG_set_croprect(h, -5, 20, 1000, -3), 0);
  EXPECT_EQ(croprect(h), (std::vector<int>{-5, 20, 1000, -3}));
}

TEST_F(Handles, BitmapHeaderCopiesHeaderAndTable) {
  auto dib = make_packed_dib(3, 2, 8, 16);
  int h = IMG_create_handle(dib.bytes.data());
  unsigned char buffer[1064];
  std::memset(buffer, 0xAA, sizeof buffer);
  EXPECT_EQ(IMGLOW_get_bitmap_header(h, buffer), 0);
  EXPECT_EQ(std::memcmp(buffer, dib.bytes.data(), 40 + 64), 0);
  EXPECT_EQ(buffer[40 + 64], 0xAA) << "16 entries and no more";
}

TEST_F(Handles, AllocationFailureAtEachStepLeavesExistingHandlesIntact) {
  int keep = new_image(6, 6, 24);
  ASSERT_EQ(keep, 0);
  pxv_test::HandleDib before = pxv_test::read_handle(keep);
  auto dib = make_packed_dib(21, 5, 8);
  pxv_test::draw_test_picture(dib);
  // Each allocation of a create in turn: table growth, record, DIB, row buffer.
  for (unsigned n = 1; n <= 6; ++n) {
    pxv_platform::fail_allocation(n);
    int h = IMG_create_handle(dib.bytes.data());
    pxv_platform::fail_allocation(0);
    if (h >= 0) {
      IMG_delete_bitmap(h);
      continue;
    }
    EXPECT_EQ(h, PXV_ERR_NO_MEMORY) << "failing allocation " << n;
    pxv_test::HandleDib after = pxv_test::read_handle(keep);
    EXPECT_EQ(after.header, before.header);
    EXPECT_EQ(after.rows, before.rows);
  }
}

TEST_F(Handles, CreateThatFailsAtItsRowBufferLeavesNothingLocked) {
  auto dib = make_packed_dib(7, 4, 8);
  pxv_test::draw_test_picture(dib);
  // With no table yet: table, record, DIB, then the row buffer.
  pxv_platform::fail_allocation(4);
  EXPECT_EQ(IMG_create_handle(dib.bytes.data()), PXV_ERR_NO_MEMORY);
  pxv_platform::fail_allocation(0);
  ASSERT_EQ(next_dib_handle, 1) << "the failed create keeps its slot";
  int width = 0, height = 0, bits = 0;
  HGLOBAL block = IMG_bitmap_info(0, &width, &height, &bits);
  ASSERT_NE(block, nullptr);
  // A DIB stays unlocked between calls: one lock and one unlock bring it back to unlocked.
  ASSERT_NE(GlobalLock(block), nullptr);
  EXPECT_FALSE(GlobalUnlock(block)) << "the DIB was left locked";
}

TEST(Names, DefaultsSetAndTruncation) {
  char name[200], date[40];
  EXPECT_EQ(IMGLOW_get_bitmap_name(name, date), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_STREQ(date, "11-24-1992");
  std::string long_name(500, 'n'), long_date(100, 'd');
  EXPECT_EQ(IMGLOW_set_bitmap_name(long_name.c_str(), long_date.c_str()), 0);
  std::memset(name, 0, sizeof name);
  IMGLOW_get_bitmap_name(name, date);
  EXPECT_EQ(std::string(name), std::string(199, 'n'));
  EXPECT_EQ(std::string(date), std::string(39, 'd'));
  IMGLOW_set_bitmap_name("pxv test", "12-05-2026");
  IMGLOW_get_bitmap_name(name, date);
  EXPECT_STREQ(name, "pxv test");
  EXPECT_STREQ(date, "12-05-2026");
  EXPECT_EQ(WEP(0), 1);
}

}  // namespace
