// Printing on the GDI stand-in's virtual printers: band arithmetic, the tone table, the
// black-and-white diffusion against a plain transcription of it, colour pages and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/image.h"
#include "core/img_util.h"
#include "devices.h"
#include "output/output.h"

using namespace pxv_test;

namespace {

using Print = HandleTest;

// The black-and-white path written out plainly over the whole destination at once: the crop
// sampled by 8.8 steps, tone levels (the curve of 300-dpi printers), then serpentine Stucki
// diffusion with truncating shares.
Rgb plain_black_and_white(int handle, int cx, int cy, int cw, int ch, int width, int height) {
  const Capture image = read_handle(handle);
  auto level = [&](int r, int i) {
    const Bytes &row = image.rows[std::size_t(image.height() - cy - ch + (ch * 256 / height) * r / 256)];
    const int x = (image.bits() == 4 ? cx / 2 * 2 : cx) + i * (cw * 256 / width) / 256;  // 4 bits: from the byte
    const int index = image.bits() == 8 ? row[x] : (row[x / 2] >> (x % 2 ? 0 : 4)) & 15;
    const std::uint8_t *bgr = image.bits() == 24 ? &row[3 * std::size_t(x)] : &image.header[40 + 4 * std::size_t(index)];
    return int(220.0 * std::cbrt((30 * bgr[2] + 59 * bgr[1] + 11 * bgr[0]) / 100 / 255.0) + 24.0);
  };
  std::vector<std::vector<int>> e(std::size_t(height) + 2, std::vector<int>(std::size_t(width) + 4, 0));
  Rgb page{width, height, Bytes(3 * std::size_t(width) * std::size_t(height), 0)};
  for (int r = 0; r < height; ++r)
    for (int i = 0; i < width; ++i) e[r][i + 2] = level(r, i);
  for (int r = 0; r < height; ++r)
    for (int k = 0, dir = r % 2 == 0 ? 1 : -1; k < width; ++k) {
      const int x = (dir == 1 ? k : width - 1 - k) + 2;
      const int v = e[r][x] >= 128 ? e[r][x] - 255 : e[r][x];
      if (e[r][x] >= 128) std::fill_n(&page.pixels[3 * (std::size_t(height - 1 - r) * width + x - 2)], 3, 255);
      const int a = 8 * v / 42, b = 4 * v / 42, c = v / 21, d = v / 42;
      e[r][x + dir] += a, e[r][x + 2 * dir] += b;
      const int next[5] = {c, b, a, b, c}, after[5] = {d, c, b, c, d};
      for (int j = 0; j < 5; ++j) e[r + 1][x - 2 + j] += next[j], e[r + 2][x - 2 + j] += after[j];
    }
  return page;
}

TEST_F(Print, BandPlanAndToneTable) {
  // {height, row bytes, table bytes} -> {rows per band, full bands, last band}
  const int cases[][6] = {{3508, 312, 8, 118, 29, 86}, {3508, 7440, 0, 4, 877, 0}, {1, 312, 8, 1, 1, 0}, {5, 98304, 0, 1, 5, 0}};
  for (const auto &c : cases) {
    const pxv::band_plan p = pxv::plan_bands(c[0], c[1], std::uint32_t(c[2]));
    EXPECT_EQ(std::vector<int>({p.rows, p.full_bands, p.last_rows}), std::vector<int>(c + 3, c + 6)) << c[0] << " rows of " << c[1];
  }
  const int h = picture_handle(4, 4, 24);
  pxv::lock_image_dib(pxv::live_image(h));
  auto tone = [&](PXV_PRINTER p, int gray) {
    Printer printer(p);
    std::uint8_t lut[256];
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
  laser.has_scaling = 0, laser.dpi_x = 600;
  EXPECT_EQ(tone(laser, 64), 64);
  pxv::unlock_image_dib(pxv::live_image(h));
}

TEST_F(Print, BlackAndWhiteBandsEqualThePlainPath) {
  // 600 x 1500 at 1 bit: bands of 484 rows, three full and one of 48.
  for (int bits : {4, 8, 24}) {
    const int h = picture_handle(61, 47, bits);
    IMG_set_croprect(h, 3, 5, 50, 40);
    Printer printer(700, 1600, 300, 2);
    ASSERT_EQ(IMG_print_bitmap(h, printer.dc, 20, 30, 600, 1500), 0);
    expect_shown(printer.page(), plain_black_and_white(h, 3, 5, 50, 40, 600, 1500), 20, 30, std::to_string(bits) + " bits");
  }
}

TEST_F(Print, ColourGoesToPostScriptAndColourPrinters) {
  const int h = picture_handle(33, 21, 24);
  const Rgb picture = handle_rgb(h);
  for (const char *technology : {"PostScript", "postscript"}) {
    Printer postscript(40, 30, 300, 2, technology);
    ASSERT_EQ(IMG_print_bitmap(h, postscript.dc, 2, 3, 33, 21), 0);
    expect_shown(postscript.page(), picture, 2, 3, technology);
  }
  // 100 rows stretched to 3508 by 8.8 steps of 7 show stored rows 0 to 95 only, 95 on top.
  PackedDib tall = make_packed_dib(1, 100, 8);
  for (int r = 0; r < 100; ++r) tall.row(r)[0] = std::uint8_t(r);
  const int t = IMG_create_handle(tall.bytes.data());
  Printer colour(2, 3508, 300, 1 << 24);
  ASSERT_EQ(IMG_print_bitmap(t, colour.dc, 0, 0, 2, 3508), 0);
  const Rgb page = colour.page(), column = handle_rgb(t);
  for (int y = 0; y < 3508; ++y) ASSERT_EQ(rgb_at(page, 1, y), rgb_at(column, 0, 99 - 7 * (3507 - y) / 256)) << y;
}

TEST_F(Print, ExtentsAndRefusals) {
  const int h = picture_handle(23, 17, 24);
  const Rgb picture = handle_rgb(h);
  Printer printer(60, 40, 300, 1 << 24);
  EXPECT_EQ((std::vector<int>{IMG_print_bitmap(h + 1, printer.dc, 0, 0, 10, 10), IMG_print_bitmap_fast(-1, printer.dc, 0, 0, 10, 10),
                              IMG_print_bitmap(h, printer.dc, 0, 0, 0, 10), IMG_print_bitmap(h, printer.dc, 0, 0, 40000, 10),
                              IMG_print_bitmap_fast(h, printer.dc, 0, 0, 10, -40000)}),
            (std::vector<int>{PXV_ERR_HANDLE, PXV_ERR_HANDLE, 0, PXV_ERR_NO_MEMORY, PXV_ERR_NO_MEMORY}));
  IMG_set_croprect(h, 23, 0, 5, 5);
  EXPECT_TRUE(IMG_print_bitmap(h, printer.dc, 0, 0, 10, 10) == PXV_ERR_DATA && IMG_print_bitmap_fast(h, printer.dc, 0, 0, 10, 10) == PXV_ERR_DATA);
  expect_shown(printer.page(), Rgb{}, 0, 0, "refusals paint nothing");
  // From (50, 35) leftward and upward, as a mirrored span covers its origin and the pixels
  // before it: the picture turned half round in 28..50 x 19..35; the fast path 1:1 at 0, 0.
  IMG_set_croprect(h, 0, 0, 23, 17);
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
