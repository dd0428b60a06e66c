// Screen display, device bitmaps, the image palette and the colour row fetch. Screens are the
// GDI stand-in's windows; what they should show is computed here from the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "devices.h"
#include "output/color_raster.h"
#include "output/output.h"
#include "peers.h"
#include "platform/testing.h"
#include "support.h"

using namespace pxv_test;

namespace {

class Display : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int h = pxv::next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
    PxvSetScreen(1024, 768, 24);
  }
};

// Blue, green, red, intensity of pixel x of stored row `row`.
std::vector<int> expanded(PackedDib &d, int row, int x) {
  std::vector<std::int32_t> out(4 * std::size_t(d.width), -1);
  Bytes work(std::size_t(d.row_bytes()));
  pxv::fetch_color_raster(0, out.data(), work.data(), d.bytes.data(), row);
  return {out[4 * x], out[4 * x + 1], out[4 * x + 2], out[4 * x + 3]};
}

void set_entry(PackedDib &d, int i, int red, int green, int blue) {
  d.bytes[40 + 4 * i] = std::uint8_t(blue);
  d.bytes[41 + 4 * i] = std::uint8_t(green);
  d.bytes[42 + 4 * i] = std::uint8_t(red);
}

TEST_F(Display, ColorRasterIntensityAndBounds) {
  PackedDib d8 = make_packed_dib(4, 2, 8);
  set_entry(d8, 1, 255, 255, 255);
  set_entry(d8, 2, 42, 42, 42);
  set_entry(d8, 3, 41, 41, 41);
  d8.row(0)[0] = 1, d8.row(0)[1] = 2, d8.row(0)[2] = 3;
  d8.row(1)[0] = 2;
  EXPECT_EQ(expanded(d8, 0, 0), (std::vector<int>{255, 255, 255, 213})) << "253 lowered by 40";
  EXPECT_EQ(expanded(d8, 0, 1)[3], 1);
  EXPECT_EQ(expanded(d8, 0, 2)[3], 0) << "40 and below become 0";
  EXPECT_EQ(expanded(d8, 7, 0), expanded(d8, 1, 0)) << "rows past the top read the top row";
  EXPECT_EQ(expanded(d8, -3, 0), expanded(d8, 0, 0));

  PackedDib d24 = make_packed_dib(1, 1, 24);
  d24.row(0)[0] = d24.row(0)[1] = d24.row(0)[2] = 255;
  EXPECT_EQ(expanded(d24, 0, 0)[3], 213);

  PackedDib d4 = make_packed_dib(2, 1, 4);
  set_entry(d4, 15, 255, 255, 255);
  d4.row(0)[0] = 0x0F;
  EXPECT_EQ(expanded(d4, 0, 1), (std::vector<int>{255, 255, 255, 253})) << "4 bits: not lowered";

  // A table of 16 entries under an 8-bit image: index 200 reads as black, not as pixel bytes.
  PackedDib short_table = make_packed_dib(2, 1, 8, 16);
  short_table.row(0)[0] = 200;
  EXPECT_EQ(expanded(short_table, 0, 0), (std::vector<int>{0, 0, 0, 0}));

  PackedDib d1 = make_packed_dib(8, 1, 1);
  EXPECT_EQ(expanded(d1, 0, 0), (std::vector<int>{-1, -1, -1, -1})) << "1-bit rows write nothing";
}

TEST_F(Display, IsColor) {
  PackedDib gray = make_packed_dib(2, 2, 8);
  for (int i = 0; i < 256; ++i) set_entry(gray, i, i, i, i);
  const int h = IMG_create_handle(gray.bytes.data());
  EXPECT_EQ(pxv::is_color(h), 0);
  set_entry(gray, 77, 1, 0, 0);
  const int tinted = IMG_create_handle(gray.bytes.data());
  EXPECT_EQ(pxv::is_color(tinted), 1);
  EXPECT_EQ(pxv::is_color(picture_handle(2, 2, 24)), 1);
}

// What the renderer shows of a picture's crop at width x height: the nearest pixels by 8.8
// steps, rows mapped from the bottom. `x0` is the crop's left edge as rows are cut (a 1- or
// 4-bit crop starts at its byte).
Rgb sampled(const Rgb &picture, int x0, int cy, int cw, int ch, int width, int height) {
  Rgb out{width, height, {}};
  for (int y = 0; y < height; ++y) {
    const int stored = picture.height - cy - ch + (ch * 256 / height) * (height - 1 - y) / 256;
    for (int x = 0; x < width; ++x) {
      const std::uint32_t v = rgb_at(picture, x0 + x * (cw * 256 / width) / 256, picture.height - 1 - stored);
      out.pixels.insert(out.pixels.end(), {std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
    }
  }
  return out;
}

// True when the screen shows `expected` at (x, y) and white everywhere else.
void expect_shown(const Rgb &screen, const Rgb &expected, int x, int y, const std::string &what) {
  for (int py = 0; py < screen.height; ++py)
    for (int px = 0; px < screen.width; ++px) {
      const bool inside = px >= x && px < x + expected.width && py >= y && py < y + expected.height;
      const std::uint32_t want = inside ? rgb_at(expected, px - x, py - y) : kWhite;
      ASSERT_EQ(rgb_at(screen, px, py), want) << what << " at " << px << "," << py;
    }
}

int crop_left(int bits, int x) { return bits == 1 ? x / 8 * 8 : bits == 4 ? x / 2 * 2 : x; }

TEST_F(Display, BitmapPalette) {
  Screen screen(8, 8, 8);
  const int h24 = picture_handle(3, 3, 24);
  ASSERT_EQ(IMG_bitmap_palette(h24, screen.dc), 0);
  PALETTEENTRY e[256];
  ASSERT_EQ(GetPaletteEntries(pxv::live_image(h24)->palette, 0, 256, e), 256u);
  EXPECT_EQ(e[0].peRed + e[0].peGreen + e[0].peBlue, 0);
  EXPECT_EQ(e[255].peRed + e[255].peGreen + e[255].peBlue, 3 * 255);
  EXPECT_EQ(e[0x1D].peGreen, 255 * 7 / 7) << "green in bits 2 to 4";
  EXPECT_EQ(e[0x1D].peBlue, 85);
  const int h4 = picture_handle(3, 3, 4);
  ASSERT_EQ(IMG_bitmap_palette(h4, screen.dc), 0);
  const std::size_t objects = pxv_platform::live_gdi_objects();
  ASSERT_EQ(IMG_bitmap_palette(h4, screen.dc), 0);
  EXPECT_EQ(pxv_platform::live_gdi_objects(), objects) << "the old palette is deleted";
  ASSERT_EQ(GetPaletteEntries(pxv::live_image(h4)->palette, 0, 256, e), 16u);
  EXPECT_EQ(e[5].peRed, 250) << "red and blue exchanged from the table's blue, green, red";
  EXPECT_EQ(e[5].peBlue, 35);
  EXPECT_EQ(IMG_bitmap_palette(h4 + 1, screen.dc), PXV_ERR_HANDLE);
}

TEST_F(Display, DepthTwentyFourSamplesByEightEightSteps) {
  for (int bits : {1, 4, 8, 24}) {
    const int h = picture_handle(45, 31, bits);
    const Rgb picture = handle_rgb(h);
    IMG_set_croprect(h, 5, 3, 30, 20);
    Screen screen(80, 60, 24);
    ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 4, 6, 70, 50), 0);
    expect_shown(screen.pixels(), sampled(picture, crop_left(bits, 5), 3, 30, 20, 70, 50), 4, 6,
                 std::to_string(bits) + " bits");
  }
}

TEST_F(Display, OneToOneShowsWhatImageMagickDecodes) {
  for (int bits : {1, 4, 8, 24}) {
    const int h = picture_handle(45, 31, bits);
    const std::string file = scratch_path("shown" + std::to_string(bits) + ".bmp");
    ASSERT_EQ(IMG_save_bitmap(h, file.c_str(), PXV_SAVE_BMP), 0);
    Rgb magick;
    ASSERT_TRUE(peer_decode("/usr/bin/convert {in} -depth 8 ppm:{out}", file, &magick));
    IMG_set_croprect(h, 7, 3, 30, 20);
    Screen screen(40, 30, 24);
    ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 2, 1, 30, 20), 0);
    expect_shown(screen.pixels(), sampled(magick, crop_left(bits, 7), 3, 30, 20, 30, 20), 2, 1,
                 std::to_string(bits) + " bits");
  }
}

// The nearest of `count` colours by squared distance, the lowest index on ties.
std::uint32_t nearest(const std::vector<std::uint32_t> &colours, std::uint32_t c) {
  auto distance = [](std::uint32_t a, std::uint32_t b) {
    int d = 0;
    for (int shift : {0, 8, 16}) d += (int(a >> shift & 255) - int(b >> shift & 255)) * (int(a >> shift & 255) - int(b >> shift & 255));
    return d;
  };
  std::uint32_t best = colours[0];
  for (std::uint32_t v : colours)
    if (distance(v, c) < distance(best, c)) best = v;
  return best;
}

std::uint32_t rgb(int r, int g, int b) { return std::uint32_t(r) << 16 | std::uint32_t(g) << 8 | std::uint32_t(b); }

Rgb from_function(int width, int height, const std::function<std::uint32_t(int, int)> &f) {
  Rgb out{width, height, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint32_t v = f(x, y);
      out.pixels.insert(out.pixels.end(), {std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
    }
  return out;
}

int index332(std::uint32_t c) { return (c >> 16 & 0xE0) | ((c >> 8 & 255) >> 3 & 0x1C) | (c & 255) >> 6; }
std::uint32_t colour332(int i) { return rgb((i >> 5) * 255 / 7, (i >> 2 & 7) * 255 / 7, (i & 3) * 85); }

TEST_F(Display, DepthEightShowsThreeThreeTwoColours) {
  const int h = picture_handle(40, 30, 24);
  const Rgb picture = handle_rgb(h);
  Screen screen(50, 40, 8);
  ASSERT_EQ(IMG_bitmap_palette(h, screen.dc), 0);
  ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 5, 4, 40, 30), 0);
  PALETTEENTRY entries[256];
  ASSERT_EQ(GetSystemPaletteEntries(screen.dc, 0, 256, entries), 256u);
  std::vector<std::uint32_t> system;
  for (const PALETTEENTRY &e : entries) system.push_back(rgb(e.peRed, e.peGreen, e.peBlue));
  const Rgb expected = from_function(40, 30, [&](int x, int y) { return nearest(system, colour332(index332(rgb_at(picture, x, y)))); });
  expect_shown(screen.pixels(), expected, 5, 4, "depth 8");
}

TEST_F(Display, DepthFourDithersSeamlesslyAcrossBands) {
  const std::vector<std::uint32_t> vga = {
      rgb(0, 0, 0),       rgb(128, 0, 0),   rgb(0, 128, 0),   rgb(128, 128, 0), rgb(0, 0, 128),   rgb(128, 0, 128),
      rgb(0, 128, 128),   rgb(192, 192, 192), rgb(128, 128, 128), rgb(255, 0, 0), rgb(0, 255, 0), rgb(255, 255, 0),
      rgb(0, 0, 255),     rgb(255, 0, 255), rgb(0, 255, 255), rgb(255, 255, 255)};
  // 300 pixels of 24 bits make bands of 40 rows: the 100 rows take three bands.
  for (int bits : {8, 24}) {
    const int h = picture_handle(150, 50, bits);
    const Rgb shown = sampled(handle_rgb(h), 0, 0, 150, 50, 300, 100);
    Screen screen(300, 100, 4);
    ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 0, 0, 300, 100), 0);
    const Rgb expected = from_function(300, 100, [&](int x, int y) {
      const std::uint32_t c = rgb_at(shown, x, y);
      const int r = int(c >> 16), g = int(c >> 8 & 255), b = int(c & 255);
      const int intensity = std::max(((75 * g + 38 * r + 14 * b) >> 7) - 40, 0);
      const int t = pxv::bayer_matrix[(99 - y) & 7][x & 7];  // counted from the bottom row
      const int on = intensity > t + 40 ? 255 : 200;  // the "dither" table's bright and dim halves
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
  auto mapping = [&] {
    POINT wo, vo;
    SIZE we, ve;
    GetWindowOrgEx(screen.dc, &wo), GetViewportOrgEx(screen.dc, &vo), GetWindowExtEx(screen.dc, &we), GetViewportExtEx(screen.dc, &ve);
    return std::vector<int>{GetMapMode(screen.dc), wo.x, wo.y, vo.x, vo.y, we.cx, we.cy, ve.cx, ve.cy};
  };
  const std::vector<int> before = mapping();
  POINT corners[2] = {{20, 200}, {270, 20}};  // tenths of a millimetre, y upward
  LPtoDP(screen.dc, corners, 2);
  ASSERT_EQ(IMG_display_bitmap(h, screen.dc, 20, 200, 250, -180), 0);
  EXPECT_EQ(mapping(), before);
  const int w = corners[1].x - corners[0].x, ht = corners[1].y - corners[0].y;
  ASSERT_GT(ht, 0);
  expect_shown(screen.pixels(), sampled(handle_rgb(h), 0, 0, 30, 20, w, ht), corners[0].x, corners[0].y, "lometric");
}

TEST_F(Display, DeviceBitmapsRoundTrip) {
  for (int bits : {1, 4, 8, 24}) {
    const int h = picture_handle(13, 9, bits);
    Screen screen(20, 20, 24);
    HBITMAP bitmap = IMG_dib_to_ddb(h, 13, 9);
    ASSERT_FALSE(PXV_DDB_FAILED(bitmap));
    const int back = IMG_create_handle_ddb(bitmap, nullptr);
    ASSERT_GE(back, 0);
    EXPECT_EQ(read_handle(back).bits(), 24);
    EXPECT_EQ(handle_rgb(back).pixels, handle_rgb(h).pixels) << bits << " bits";
    ASSERT_EQ(IMG_display_ddb(bitmap, screen.dc, 3, 4), 0);
    expect_shown(screen.pixels(), handle_rgb(h), 3, 4, "display_ddb");
    DeleteObject(bitmap);
  }
  // On the 8-bit screen, through the image's own 3-3-2 palette: each pixel's 3-3-2 index,
  // wherever that colour found a place in the system palette.
  const int h = picture_handle(40, 30, 24);
  const Rgb picture = handle_rgb(h);
  Screen screen(4, 4, 8);
  HBITMAP bitmap = IMG_dib_to_ddb(h, 40, 30);
  ASSERT_FALSE(PXV_DDB_FAILED(bitmap));
  const int back = IMG_create_handle_ddb(bitmap, pxv::live_image(h)->palette);
  DeleteObject(bitmap);
  PALETTEENTRY entries[256];
  GetSystemPaletteEntries(screen.dc, 0, 256, entries);
  const Capture dib = read_handle(back);
  ASSERT_EQ(dib.bits(), 8);
  int fitted = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      const int i = index332(rgb_at(picture, x, y));
      bool placed = false;
      for (const PALETTEENTRY &e : entries) placed |= rgb(e.peRed, e.peGreen, e.peBlue) == colour332(i);
      if (!placed) continue;
      ++fitted;
      ASSERT_EQ(dib.index(x, 29 - y), i) << x << "," << y;
    }
  EXPECT_GT(fitted, 1000);
  HBITMAP refused = IMG_dib_to_ddb(h + 5, 4, 4);
  EXPECT_TRUE(PXV_DDB_FAILED(refused));
  EXPECT_EQ(reinterpret_cast<std::intptr_t>(refused), PXV_ERR_HANDLE);
  EXPECT_EQ(IMG_display_bitmap(-1, screen.dc, 0, 0, 4, 4), PXV_ERR_HANDLE);
}

}  // namespace
