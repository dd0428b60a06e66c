// Screen display, device bitmaps, the image palette and the colour row fetch. Screens are the
// GDI stand-in's windows; what they should show is computed here from the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/image.h"
#include "devices.h"
#include "output/color_raster.h"
#include "platform/testing.h"

using namespace pxv_test;

namespace {

using Display = HandleTest;

std::uint32_t rgb(int r, int g, int b) { return std::uint32_t(r) << 16 | std::uint32_t(g) << 8 | std::uint32_t(b); }

// Blue, green, red, intensity of pixel x of stored row `row` of a packed DIB.
std::vector<int> expanded(PackedDib &d, int row, int x) {
  std::vector<std::int32_t> out(4 * std::size_t(d.width), -1);
  Bytes work(std::size_t(d.row_bytes()));
  pxv::fetch_color_raster(0, out.data(), work.data(), d.bytes.data(), row);
  return {out[4 * x], out[4 * x + 1], out[4 * x + 2], out[4 * x + 3]};
}

// A packed DIB whose pixel i of stored row 0 has the gray table entry levels[i].
PackedDib grays(int bits, std::vector<int> levels) {
  PackedDib d = make_packed_dib(int(levels.size()), 2, bits);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    std::fill_n(&d.bytes[40 + 4 * i], 3, std::uint8_t(levels[i]));
    d.row(0)[bits == 4 ? i / 2 : i] |= std::uint8_t(bits == 4 && i % 2 == 0 ? i << 4 : i);
  }
  return d;
}

TEST_F(Display, ColorRowFetchAndIsColor) {
  PackedDib d8 = grays(8, {0, 255, 42, 41});
  EXPECT_EQ(expanded(d8, 0, 1), (std::vector<int>{255, 255, 255, 213})) << "253 lowered by 40";
  EXPECT_TRUE(expanded(d8, 0, 2)[3] == 1 && expanded(d8, 0, 3)[3] == 0) << "40 and below become 0";
  EXPECT_TRUE(expanded(d8, 7, 1) == expanded(d8, 1, 1) && expanded(d8, -3, 1) == expanded(d8, 0, 1)) << "row numbers are clamped";
  PackedDib d4 = grays(4, {0, 255});
  EXPECT_EQ(expanded(d4, 0, 1)[3], 253) << "4 bits: not lowered";
  PackedDib d24 = make_packed_dib(1, 1, 24), short_table = make_packed_dib(2, 1, 8, 1);  // index 200 lies past its one entry
  std::fill_n(d24.row(0), 3, 255);
  short_table.row(0)[1] = 200;
  EXPECT_TRUE(expanded(d24, 0, 0)[3] == 213 && expanded(short_table, 0, 1) == (std::vector<int>{0, 0, 0, 0}));
  PackedDib d1 = make_packed_dib(8, 1, 1);
  EXPECT_EQ(expanded(d1, 0, 0), (std::vector<int>{-1, -1, -1, -1})) << "1-bit rows write nothing";

  PackedDib gray = grays(8, std::vector<int>(256, 9));
  const int all_gray = IMG_create_handle(gray.bytes.data());
  gray.bytes[42 + 4 * 77] = 1, gray.bytes[40 + 4 * 77] = gray.bytes[41 + 4 * 77] = 0;  // red 1
  EXPECT_EQ((std::vector<int>{pxv::is_color(all_gray), pxv::is_color(IMG_create_handle(gray.bytes.data())), pxv::is_color(picture_handle(2, 2, 24))}),
            (std::vector<int>{0, 1, 1}));
}

TEST_F(Display, BitmapPalette) {
  Screen screen(8, 8, 8);
  const int h24 = picture_handle(3, 3, 24), h4 = picture_handle(3, 3, 4);
  PALETTEENTRY e[256];
  ASSERT_EQ(IMG_bitmap_palette(h24, screen.dc), 0);
  ASSERT_EQ(GetPaletteEntries(pxv::live_image(h24)->palette, 0, 256, e), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(rgb(e[i].peRed, e[i].peGreen, e[i].peBlue), colour332(i)) << i;
  ASSERT_EQ(IMG_bitmap_palette(h4, screen.dc), 0);
  const std::size_t objects = pxv_platform::live_gdi_objects();
  ASSERT_EQ(IMG_bitmap_palette(h4, screen.dc), 0);
  EXPECT_EQ(pxv_platform::live_gdi_objects(), objects) << "the old palette is deleted";
  // The test table's entry 5 is blue 35, green 66, red 250.
  EXPECT_TRUE(GetPaletteEntries(pxv::live_image(h4)->palette, 0, 256, e) == 16 && rgb(e[5].peRed, e[5].peGreen, e[5].peBlue) == rgb(250, 66, 35));
  EXPECT_EQ(IMG_bitmap_palette(h4 + 1, screen.dc), PXV_ERR_HANDLE);
}

// What the renderer shows of a picture's crop at width x height: the nearest pixels by 8.8
// steps, rows mapped from the bottom. `x0` is the crop's left edge as rows are cut.
Rgb sampled(const Rgb &picture, int x0, int cy, int cw, int ch, int width, int height) {
  Rgb out{width, height, {}};
  for (int y = 0; y < height; ++y) {
    const int stored = picture.height - cy - ch + (ch * 256 / height) * (height - 1 - y) / 256;
    for (int x = 0; x < width; ++x) {
      const std::uint8_t *v = &picture.pixels[3 * (std::size_t(picture.height - 1 - stored) * picture.width + x0 + x * (cw * 256 / width) / 256)];
      out.pixels.insert(out.pixels.end(), v, v + 3);
    }
  }
  return out;
}

Rgb from_function(const Rgb &in, const std::function<std::uint32_t(std::uint32_t, int, int)> &f) {
  Rgb out{in.width, in.height, {}};
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x) {
      const std::uint32_t v = f(rgb_at(in, x, y), x, y);
      out.pixels.insert(out.pixels.end(), {std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
    }
  return out;
}

// The nearest colour by squared distance, the lowest index on ties.
std::uint32_t nearest(const std::vector<std::uint32_t> &colours, std::uint32_t c) {
  auto distance = [c](std::uint32_t v) {
    int d = 0;
    for (int s : {0, 8, 16}) d += (int(v >> s & 255) - int(c >> s & 255)) * (int(v >> s & 255) - int(c >> s & 255));
    return d;
  };
  return *std::min_element(colours.begin(), colours.end(), [&](auto a, auto b) { return distance(a) < distance(b); });
}

int index332(std::uint32_t c) { return (c >> 16 & 0xE0) | (c >> 11 & 0x1C) | (c & 255) >> 6; }

std::vector<std::uint32_t> system_palette(HDC dc) {
  PALETTEENTRY e[256];
  std::vector<std::uint32_t> out;
  for (UINT i = 0, n = GetSystemPaletteEntries(dc, 0, 256, e); i < n; ++i) out.push_back(rgb(e[i].peRed, e[i].peGreen, e[i].peBlue));
  return out;
}

TEST_F(Display, DepthTwentyFourSamplesByEightEightSteps) {
  // Shown 1:1, enlarged and a little reduced (runs of consecutive pixels with a skip between),
  // a 1- or 4-bit crop from the byte that holds its left edge.
  for (int bits : {1, 4, 8, 24}) {
    const int h = picture_handle(45, 31, bits);
    const Rgb picture = handle_rgb(h);
    IMG_set_croprect(h, 7, 3, 30, 20);
    const int x0 = bits == 1 ? 0 : bits == 4 ? 6 : 7;
    for (auto [w, ht] : {std::pair{30, 20}, std::pair{70, 50}, std::pair{26, 17}}) {
      Screen screen(80, 60, 24);
      ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 4, 6, w, ht), 0);
      expect_shown(screen.pixels(), sampled(picture, x0, 3, 30, 20, w, ht), 4, 6, std::to_string(bits) + " bits");
    }
  }
}

TEST_F(Display, DepthEightShowsThreeThreeTwoColours) {
  // Random colours, 43 pixels a row: rows are converted sixteen and four pixels at a time, and
  // three after them.
  PackedDib d = make_packed_dib(43, 30, 24);
  std::mt19937 rng(332);
  for (std::size_t i = 40; i < d.bytes.size(); ++i) d.bytes[i] = std::uint8_t(rng());
  const int h = IMG_create_handle(d.bytes.data());
  Screen screen(50, 40, 8);
  ASSERT_TRUE(IMG_bitmap_palette(h, screen.dc) == 0 && IMG_display_bitmap(h, screen.dc, 5, 4, 43, 30) == 0);
  const std::vector<std::uint32_t> system = system_palette(screen.dc);
  expect_shown(screen.pixels(), from_function(handle_rgb(h), [&](std::uint32_t c, int, int) { return nearest(system, colour332(index332(c))); }), 5, 4, "depth 8");
}

TEST_F(Display, DepthFourDithersSeamlesslyAcrossBands) {
  const std::vector<std::uint32_t> vga = {0, rgb(128, 0, 0), rgb(0, 128, 0), rgb(128, 128, 0), rgb(0, 0, 128), rgb(128, 0, 128),
                                          rgb(0, 128, 128), rgb(192, 192, 192), rgb(128, 128, 128), rgb(255, 0, 0), rgb(0, 255, 0),
                                          rgb(255, 255, 0), rgb(0, 0, 255), rgb(255, 0, 255), rgb(0, 255, 255), kWhite};
  // 290 pixels of 24 bits make bands of 42 rows, not a multiple of the matrix's 8: only a
  // counter that runs on from band to band gives the right rows.
  for (int bits : {8, 24}) {
    const int h = picture_handle(145, 50, bits);
    Screen screen(290, 100, 4);
    ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 0, 0, 290, 100), 0);
    const Rgb expected = from_function(sampled(handle_rgb(h), 0, 0, 145, 50, 290, 100), [&](std::uint32_t c, int x, int y) {
      const int r = int(c >> 16), g = int(c >> 8 & 255), b = int(c & 255);
      const int t = pxv::bayer_matrix[(99 - y) & 7][x & 7];  // rows counted from the bottom
      const int on = ((75 * g + 38 * r + 14 * b) >> 7) - 40 > t + 40 ? 255 : 200;  // "dither" table
      return nearest(vga, rgb(r > t ? on : 0, g > t ? on : 0, b > t ? on : 0));
    });
    expect_shown(screen.pixels(), expected, 0, 0, std::to_string(bits) + " bits");
  }
}

TEST_F(Display, LometricPaintsTheHostsRectangleInDevicePixels) {
  const int h = picture_handle(30, 20, 24);
  Screen screen(120, 100, 24);
  SetMapMode(screen.dc, MM_LOMETRIC);
  SetViewportOrgEx(screen.dc, 7, 90, nullptr);
  const std::vector<int> before = mapping_state(screen.dc);
  POINT corners[2] = {{20, 200}, {270, 20}};  // tenths of a millimetre, y upward
  LPtoDP(screen.dc, corners, 2);
  ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 20, 200, 250, -180), 0);
  EXPECT_EQ(mapping_state(screen.dc), before);
  SetMapMode(screen.dc, MM_TEXT);  // to read the surface back pixel for pixel
  SetViewportOrgEx(screen.dc, 0, 0, nullptr);
  const int w = corners[1].x - corners[0].x, ht = corners[1].y - corners[0].y;
  expect_shown(screen.pixels(), sampled(handle_rgb(h), 0, 0, 30, 20, w, ht), corners[0].x, corners[0].y, "lometric");
}

TEST_F(Display, DeviceBitmapsRoundTrip) {
  for (int bits : {1, 4, 8, 24}) {
    const int h = picture_handle(13, 9, bits);
    Screen screen(20, 20, 24);
    HBITMAP bitmap = IMG_dib_to_ddb(h, 13, 9);
    const int back = IMG_create_handle_ddb(bitmap, nullptr);
    ASSERT_GE(back, 0);
    EXPECT_TRUE(read_handle(back).bits() == 24 && handle_rgb(back).pixels == handle_rgb(h).pixels) << bits << " bits";
    ASSERT_EQ(IMG_display_ddb(bitmap, screen.dc, 3, 4), 0);
    expect_shown(screen.pixels(), handle_rgb(h), 3, 4, "IMG_display_ddb");
    DeleteObject(bitmap);
  }
  // On the 8-bit screen, read through the image's 3-3-2 palette: each pixel's 3-3-2 index,
  // wherever that colour found a place in the system palette.
  const int h = picture_handle(40, 30, 24);
  Screen screen(4, 4, 8);
  HBITMAP bitmap = IMG_dib_to_ddb(h, 40, 30);
  const Capture dib = read_handle(IMG_create_handle_ddb(bitmap, pxv::live_image(h)->palette));
  DeleteObject(bitmap);
  const std::vector<std::uint32_t> system = system_palette(screen.dc);
  ASSERT_EQ(dib.bits(), 8);
  const Rgb picture = handle_rgb(h);
  int fitted = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      const int i = index332(rgb_at(picture, x, y));
      if (std::find(system.begin(), system.end(), colour332(i)) == system.end()) continue;
      ++fitted;
      ASSERT_EQ(dib.index(x, 29 - y), i) << x << "," << y;
    }
  EXPECT_GT(fitted, 1000);
  HBITMAP refused = IMG_dib_to_ddb(h + 5, 4, 4);
  EXPECT_TRUE(PXV_DDB_FAILED(refused) && reinterpret_cast<std::intptr_t>(refused) == PXV_ERR_HANDLE);
  EXPECT_EQ(IMG_display_bitmap(-1, screen.dc, 0, 0, 4, 4), PXV_ERR_HANDLE);
}

}  // namespace
