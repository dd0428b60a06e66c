// Printing on the GDI stand-in's virtual printers: band arithmetic, the tone table, the
// black-and-white diffusion against a plain transcription of it, colour pages and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "devices.h"
#include "output/output.h"
#include "support.h"

using namespace pxv_test;

namespace {

class Print : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int h = pxv::next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
  }
};

// The printer tone curve: 220 (g / 255)^(1/3) + 24, truncated.
int curve(int g) { return int(220.0 * std::cbrt(g / 255.0) + 24.0); }

// The black-and-white path written out plainly over the whole destination at once: the crop
// sampled by 8.8 steps, tone levels, then serpentine Stucki diffusion with truncating shares.
// Answers 1 for white, by destination row from the top.
std::vector<std::vector<int>> plain_black_and_white(int handle, int cx, int cy, int cw, int ch,
                                                    int width, int height, bool tone_curve) {
  const Capture image = read_handle(handle);
  auto level = [&](int r, int i) {
    const Bytes &row = image.rows[std::size_t(image.height() - cy - ch + (ch * 256 / height) * r / 256)];
    // A 4-bit crop starts at the byte holding its left edge.
    const int x = (image.bits() == 4 ? cx / 2 * 2 : cx) + i * (cw * 256 / width) / 256;
    const int index = image.bits() == 8 ? row[x] : (row[x / 2] >> (x % 2 ? 0 : 4)) & 15;
    const std::uint8_t *bgr = image.bits() == 24 ? &row[3 * std::size_t(x)] : &image.header[40 + 4 * std::size_t(index)];
    const int g = (30 * bgr[2] + 59 * bgr[1] + 11 * bgr[0]) / 100;
    return tone_curve ? curve(g) : g;
  };
  std::vector<std::vector<int>> e(std::size_t(height) + 2, std::vector<int>(std::size_t(width) + 4));
  for (int r = 0; r < height; ++r)
    for (int i = 0; i < width; ++i) e[r][i + 2] = level(r, i);
  std::vector<std::vector<int>> white(std::size_t(height), std::vector<int>(std::size_t(width)));
  for (int r = 0; r < height; ++r) {
    const int dir = r % 2 == 0 ? 1 : -1;
    for (int k = 0; k < width; ++k) {
      const int x = (dir == 1 ? k : width - 1 - k) + 2;
      int v = e[r][x];
      white[height - 1 - r][x - 2] = v >= 128;
      if (v >= 128) v -= 255;
      const int a = 8 * v / 42, b = 4 * v / 42, c = v / 21, d = v / 42;
      e[r][x + dir] += a, e[r][x + 2 * dir] += b;
      const int next[5] = {c, b, a, b, c}, after[5] = {d, c, b, c, d};
      for (int j = 0; j < 5; ++j) e[r + 1][x - 2 + j] += next[j], e[r + 2][x - 2 + j] += after[j];
    }
  }
  return white;
}

TEST_F(Print, BandPlan) {
  const pxv::band_plan page1 = pxv::plan_bands(3508, pxv::size_for_long(2480, 1), 8);
  EXPECT_EQ(page1.rows, 118);
  EXPECT_EQ(page1.full_bands, 29);
  EXPECT_EQ(page1.last_rows, 86);
  const pxv::band_plan page24 = pxv::plan_bands(3508, pxv::size_for_long(2480, 24), 0);
  EXPECT_EQ(page24.rows, 4);
  EXPECT_EQ(page24.full_bands, 877);
  EXPECT_EQ(page24.last_rows, 0);
  const pxv::band_plan one = pxv::plan_bands(1, 312, 8);
  EXPECT_EQ(one.rows, 1);
  EXPECT_EQ(one.full_bands, 1);
  const pxv::band_plan wide = pxv::plan_bands(5, pxv::size_for_long(32767, 24), 0);
  EXPECT_EQ(wide.rows, 1) << "a row past the band limit gives one-row bands";
  EXPECT_EQ(wide.full_bands, 5);
}

// An 8-bit image of one gray level, with a gray table.
int gray_handle(int width, int height, int level) {
  PackedDib d = make_packed_dib(width, height, 8);
  for (int i = 0; i < 256; ++i) d.bytes[40 + 4 * i] = d.bytes[41 + 4 * i] = d.bytes[42 + 4 * i] = std::uint8_t(i);
  for (int r = 0; r < height; ++r) std::fill(d.row(r), d.row(r) + width, std::uint8_t(level));
  return IMG_create_handle(d.bytes.data());
}

// True when every page pixel outside the rectangle is still white.
bool white_outside(const Rgb &page, int x, int y, int width, int height) {
  for (int py = 0; py < page.height; ++py)
    for (int px = 0; px < page.width; ++px)
      if ((px < x || px >= x + width || py < y || py >= y + height) && rgb_at(page, px, py) != kWhite) return false;
  return true;
}

TEST_F(Print, ToneTable) {
  const int h = picture_handle(4, 4, 24);
  pxv::image_object *image = pxv::live_image(h);
  pxv::lock_image_dib(image);
  std::uint8_t lut[256];
  auto tone = [&](PXV_PRINTER p, int gray) {
    Printer printer(p);
    pxv::create_print_lut(h, lut, printer.dc);
    return int(lut[gray]);
  };
  PXV_PRINTER laser = printer_description(100, 100, 300, 2);
  const int grays[] = {0, 64, 128, 192, 255}, levels[] = {24, 162, 198, 224, 244};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(tone(laser, grays[i]), levels[i]) << grays[i];
  laser.has_scaling = 1;
  EXPECT_EQ(tone(laser, 128), 198) << "a scaling factor of 0 keeps the curve";
  laser.scale_x = 1;
  EXPECT_EQ(tone(laser, 128), 128);
  EXPECT_EQ(tone(printer_description(100, 100, 600, 2), 64), 64);
  pxv::unlock_image_dib(image);
}

TEST_F(Print, GrayDiffusesToACheckerboard) {
  const int h = gray_handle(40, 30, 128);
  Printer printer(printer_description(40, 30, 600, 2));
  ASSERT_EQ(IMG_print_bitmap(h, printer.dc, 0, 0, 40, 30), 0);
  const Rgb page = printer.page();
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x)
      ASSERT_EQ(rgb_at(page, x, y), (x + (29 - y)) % 2 == 0 ? kWhite : 0u) << x << "," << y;
}

TEST_F(Print, BlackAndWhiteBandsEqualThePlainPath) {
  // 600 x 1500 at 1 bit: bands of 484 rows, three full and one of 48.
  for (int bits : {4, 8, 24}) {
    const int h = picture_handle(61, 47, bits);
    IMG_set_croprect(h, 3, 5, 50, 40);
    Printer printer(printer_description(700, 1600, 300, 2));
    ASSERT_EQ(IMG_print_bitmap(h, printer.dc, 20, 30, 600, 1500), 0);
    const Rgb page = printer.page();
    const auto expected = plain_black_and_white(h, 3, 5, 50, 40, 600, 1500, true);
    for (int y = 0; y < 1500; ++y)
      for (int x = 0; x < 600; ++x)
        ASSERT_EQ(rgb_at(page, 20 + x, 30 + y), expected[y][x] ? kWhite : 0u) << bits << " bits at " << x << "," << y;
    EXPECT_TRUE(white_outside(page, 20, 30, 600, 1500));
  }
}

TEST_F(Print, ColourGoesToPostScriptAndColourPrinters) {
  const int h = picture_handle(33, 21, 24);
  const Rgb picture = handle_rgb(h);
  for (const char *technology : {"PostScript", "postscript"}) {
    Printer postscript(printer_description(40, 30, 300, 2, technology));
    ASSERT_EQ(IMG_print_bitmap(h, postscript.dc, 2, 3, 33, 21), 0);
    const Rgb page = postscript.page();
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 33; ++x) ASSERT_EQ(rgb_at(page, 2 + x, 3 + y), rgb_at(picture, x, y)) << technology;
  }
  // Stretched 100 rows to 3508: 8.8 steps of 7, so stored rows 0 to 95 only, row 95 on top.
  PackedDib tall = make_packed_dib(1, 100, 8);
  for (int r = 0; r < 100; ++r) tall.row(r)[0] = std::uint8_t(r);
  const int t = IMG_create_handle(tall.bytes.data());
  Printer colour(printer_description(2, 3508, 300, 1 << 24));
  ASSERT_EQ(IMG_print_bitmap(t, colour.dc, 0, 0, 2, 3508), 0);
  const Rgb page = colour.page();
  const Rgb column = handle_rgb(t);
  for (int y = 0; y < 3508; ++y) {
    const int stored = 7 * (3507 - y) / 256;
    ASSERT_EQ(rgb_at(page, 1, y), rgb_at(column, 0, 99 - stored)) << y;
  }
  EXPECT_EQ(rgb_at(page, 0, 0), rgb_at(column, 0, 4));
}

TEST_F(Print, RefusalsPaintNothing) {
  const int h = picture_handle(20, 10, 8);
  Printer printer(printer_description(50, 40, 300, 1 << 24));
  EXPECT_EQ(IMG_print_bitmap(h + 1, printer.dc, 0, 0, 10, 10), PXV_ERR_HANDLE);
  EXPECT_EQ(IMG_print_bitmap_fast(-1, printer.dc, 0, 0, 10, 10), PXV_ERR_HANDLE);
  EXPECT_EQ(IMG_print_bitmap(h, printer.dc, 0, 0, 0, 10), 0);
  EXPECT_EQ(IMG_print_bitmap(h, printer.dc, 0, 0, 40000, 10), PXV_ERR_NO_MEMORY);
  EXPECT_EQ(IMG_print_bitmap_fast(h, printer.dc, 0, 0, 10, -40000), PXV_ERR_NO_MEMORY);
  IMG_set_croprect(h, 20, 0, 5, 5);
  EXPECT_EQ(IMG_print_bitmap(h, printer.dc, 0, 0, 10, 10), PXV_ERR_DATA);
  EXPECT_EQ(IMG_print_bitmap_fast(h, printer.dc, 0, 0, 10, 10), PXV_ERR_DATA);
  EXPECT_TRUE(white_outside(printer.page(), 0, 0, 0, 0));
}

TEST_F(Print, NegativeExtentsMirrorAndFastMatchesAtOneToOne) {
  const int h = picture_handle(23, 17, 24);
  const Rgb picture = handle_rgb(h);
  Printer printer(printer_description(60, 40, 300, 1 << 24));
  // From (50, 35) leftward and upward, as a mirrored span covers its origin and the pixels
  // before it: the picture turned half round in 28..50 x 19..35.
  ASSERT_EQ(IMG_print_bitmap(h, printer.dc, 50, 35, -23, -17), 0);
  ASSERT_EQ(IMG_print_bitmap_fast(h, printer.dc, 0, 0, 23, 17), 0);
  const Rgb page = printer.page();
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 23; ++x) {
      ASSERT_EQ(rgb_at(page, 28 + x, 19 + y), rgb_at(picture, 22 - x, 16 - y)) << x << "," << y;
      ASSERT_EQ(rgb_at(page, x, y), rgb_at(picture, x, y)) << x << "," << y;
    }
}

}  // namespace
