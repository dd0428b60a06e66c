// Display and device bitmaps through GDI calls that Windows and the stand-in both have: a memory
// DC over a bitmap compatible with the screen, read back with GetDIBits. The program runs on
// POSIX and under Wine, so the stand-in and a real GDI must agree on what the library paints.
#include <gtest/gtest.h>

#include "devices.h"

using namespace pxv_test;

namespace {

class MemoryDc : public HandleTest {
 protected:
  static constexpr int kWidth = 40, kHeight = 30;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, kWidth, kHeight);
  HGDIOBJ old = SelectObject(dc, bitmap);

  void TearDown() override {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    HandleTest::TearDown();
  }
  Rgb shown() { return bitmap_pixels(dc, bitmap, kWidth, kHeight); }
};

TEST_F(MemoryDc, TrueColourScreensShowEveryDepthExactlyAndDoubleByRepeating) {
  ASSERT_GE(GetDeviceCaps(screen, BITSPIXEL), 24) << "a true-colour screen, as Wine's and the stand-in's are";
  for (int bits : {1, 4, 8, 24}) {
    SCOPED_TRACE(bits);
    const int h = picture_handle(kWidth / 2, kHeight / 2, bits);
    const Rgb want = handle_rgb(h);
    ASSERT_EQ(IMG_display_bitmap(h, dc, 0, 0, kWidth / 2, kHeight / 2), 0);
    Rgb seen = shown();
    for (int y = 0; y < kHeight / 2; ++y)
      for (int x = 0; x < kWidth / 2; ++x) ASSERT_EQ(rgb_at(seen, x, y), rgb_at(want, x, y)) << x << "," << y;
    ASSERT_EQ(IMG_display_bitmap(h, dc, 0, 0, kWidth, kHeight), 0);
    seen = shown();
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) ASSERT_EQ(rgb_at(seen, x, y), rgb_at(want, x / 2, y / 2)) << x << "," << y;
  }
}

TEST_F(MemoryDc, DeviceBitmapsComeBackAsTheImageAndPalettesSelect) {
  const int h = picture_handle(kWidth, kHeight, 24);
  ASSERT_EQ(IMG_display_bitmap(h, dc, 0, 0, kWidth, kHeight), 0);
  SelectObject(dc, old);  // a bitmap selected into a DC is not GetDIBits' to read
  const int back = IMG_create_handle_ddb(bitmap, nullptr);
  ASSERT_GE(back, 0);
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(back, &width, &height, &bits);
  EXPECT_EQ((std::vector<int>{width, height, bits}), (std::vector<int>{kWidth, kHeight, 24}));
  EXPECT_EQ(handle_rgb(back).pixels, handle_rgb(h).pixels);
  EXPECT_EQ(IMG_bitmap_palette(h, dc), 0);
  EXPECT_EQ(IMG_display_bitmap(77, dc, 0, 0, 5, 5), PXV_ERR_HANDLE);
  old = SelectObject(dc, bitmap);
}

}  // namespace
