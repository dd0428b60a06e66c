// The software GDI: pixels, palettes, mapping and printers, checked against hand computations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "output/output.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "devices.h"

namespace {

using pxv_test::PackedDib;

const BITMAPINFO *info_of(const PackedDib &d) {
  return reinterpret_cast<const BITMAPINFO *>(d.bytes.data());
}
const std::uint8_t *bits_of(const PackedDib &d) { return d.bytes.data() + 40 + d.table_bytes(); }

// StretchDIBits of a packed DIB: destination x, y, width, height, then the source's.
struct Box {
  int x, y, width, height;
};
int stretch(HDC dc, Box to, Box from, const PackedDib &d, DWORD rop = SRCCOPY, UINT usage = DIB_RGB_COLORS) {
  return StretchDIBits(dc, to.x, to.y, to.width, to.height, from.x, from.y, from.width, from.height,
                       bits_of(d), info_of(d), usage, rop);
}

// A 24-bit DIB whose pixel (x, y), y counted from the top, is colour(x, y) as 0xRRGGBB.
template <class Colour>
PackedDib dib24(int width, int height, Colour colour) {
  PackedDib d = pxv_test::make_packed_dib(width, height, 24);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint32_t c = colour(x, y);
      std::uint8_t *p = d.row(height - 1 - y) + 3 * x;
      p[0] = std::uint8_t(c), p[1] = std::uint8_t(c >> 8), p[2] = std::uint8_t(c >> 16);
    }
  return d;
}

// A bitmap's pixels through GetDIBits, top row first: 0xRRGGBB at 24 bits, else indices.
std::vector<std::uint32_t> read_bitmap(HDC dc, HBITMAP bitmap, int bits) {
  BITMAP bm{};
  EXPECT_EQ(GetObjectA(bitmap, sizeof bm, &bm), int(sizeof bm));
  std::vector<std::uint8_t> info(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
  auto *bi = reinterpret_cast<BITMAPINFO *>(info.data());
  bi->bmiHeader = {sizeof(BITMAPINFOHEADER), bm.bmWidth, bm.bmHeight, 1, WORD(bits), BI_RGB, 0, 0, 0, 0, 0};
  const int stride = (bm.bmWidth * bits + 31) / 32 * 4;
  std::vector<std::uint8_t> rows(std::size_t(stride) * bm.bmHeight);
  EXPECT_EQ(GetDIBits(dc, bitmap, 0, bm.bmHeight, rows.data(), bi, DIB_RGB_COLORS), bm.bmHeight);
  std::vector<std::uint32_t> out;
  for (int y = bm.bmHeight - 1; y >= 0; --y)
    for (int x = 0; x < bm.bmWidth; ++x) {
      const std::uint8_t *p = rows.data() + std::size_t(y) * stride;
      out.push_back(bits == 24 ? p[3 * x] | p[3 * x + 1] << 8 | p[3 * x + 2] << 16
                               : (p[x * bits / 8] >> (8 - bits - x * bits % 8)) & ((1 << bits) - 1));
    }
  return out;
}

// The answers of GetDeviceCaps to several questions.
std::vector<int> caps(HDC dc, std::initializer_list<int> indices) {
  std::vector<int> out;
  for (int i : indices) out.push_back(GetDeviceCaps(dc, i) & (i == RASTERCAPS ? RC_PALETTE : ~0));
  return out;
}

// A memory DC holding a new bitmap, both freed with it.
struct Canvas {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap;
  HGDIOBJ old;
  Canvas(int width, int height, int bits, const void *data = nullptr)
      : bitmap(CreateBitmap(width, height, 1, bits, data)), old(SelectObject(dc, bitmap)) {}
  ~Canvas() { SelectObject(dc, old), DeleteObject(bitmap), DeleteDC(dc); }
};

class Gdi : public ::testing::Test {
 protected:
  void SetUp() override { live_ = pxv_platform::live_gdi_objects(); }
  void TearDown() override {
    PxvSetScreen(1024, 768, 24);
    EXPECT_EQ(pxv_platform::live_gdi_objects(), live_) << "every object a test made is gone";
  }
  std::size_t live_ = 0;
};

TEST_F(Gdi, StretchDibitsSamplesCentresMirrorsClipsAndAppliesRops) {
  const Canvas c(8, 3, 24);
  // Source: 5 x 2, pixel (x, y) = 0x10 * (x + 1) in red, y in blue; bottom row y = 1.
  const PackedDib src = dib24(5, 2, [](int x, int y) { return std::uint32_t((x + 1) << 20 | y); });
  const auto px = [](int x, int y) { return std::uint32_t((x + 1) << 20 | y); };
  // 5 source pixels onto 2: centres (2d + 1) * 5 / 4 give source pixels 1 and 3.
  EXPECT_EQ(stretch(c.dc, {0, 0, 2, 1}, {0, 1, 5, 1}, src), 1) << "source y 1 counts from the bottom: the top row";
  // Mirrored: a negative width from x 7 covers 4..7 and runs right to left; pixels 0..3 of the
  // bottom row (y 1 from the top) are taken.
  stretch(c.dc, {7, 1, -4, 1}, {0, 0, 4, 1}, src);
  // Clipped: 5 pixels from x -3 leave source pixels 3 and 4 at x 0 and 1 of the last row.
  stretch(c.dc, {-3, 2, 5, 1}, {0, 0, 5, 1}, src);
  // clang-format off
  const std::vector<std::uint32_t> want = {
      px(1, 0), px(3, 0), 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, px(3, 1), px(2, 1), px(1, 1), px(0, 1),
      px(3, 1), px(4, 1), 0, 0, 0, 0, 0, 0};
  // clang-format on
  EXPECT_EQ(read_bitmap(c.dc, c.bitmap, 24), want);

  // The raster operations on a pixel holding 0x0F0F0F (source 0x3C3CF0 from a 1 x 1 DIB).
  const PackedDib base = dib24(1, 1, [](int, int) { return 0x0F0F0Fu; });
  const PackedDib one = dib24(1, 1, [](int, int) { return 0x3C3CF0u; });
  for (auto [rop, want] : {std::pair<DWORD, std::uint32_t>{SRCCOPY, 0x3C3CF0}, {SRCAND, 0x0C0C00}, {SRCPAINT, 0x3F3FFF},
                            {SRCINVERT, 0x3333FF}, {NOTSRCCOPY, 0xC3C30F}}) {
    stretch(c.dc, {0, 0, 1, 1}, {0, 0, 1, 1}, base);
    EXPECT_EQ(stretch(c.dc, {0, 0, 1, 1}, {0, 0, 1, 1}, one, rop), 1);
    EXPECT_EQ(read_bitmap(c.dc, c.bitmap, 24)[0], want) << std::hex << rop;
  }
  // Other codes and usages draw nothing and answer 0.
  const std::uint32_t before = read_bitmap(c.dc, c.bitmap, 24)[0];
  EXPECT_TRUE(stretch(c.dc, {0, 0, 1, 1}, {0, 0, 1, 1}, one, 0x00F00021) == 0 && stretch(c.dc, {0, 0, 1, 1}, {0, 0, 1, 1}, one, SRCCOPY, DIB_PAL_COLORS) == 0);
  EXPECT_EQ(read_bitmap(c.dc, c.bitmap, 24)[0], before);
}

TEST_F(Gdi, RowStretchEqualsThePixelModel) {
  // Random DIBs of every depth, short colour tables included, stretched, mirrored and clipped
  // through every raster operation onto random surfaces of every depth: the whole-row path and
  // the per-pixel model must leave the same values.
  std::mt19937 rng(20261207);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto nonzero = [&](int most) { return pick(1, most) * (pick(0, 1) ? 1 : -1); };
  const int depths[] = {1, 4, 8, 24};
  const DWORD rops[] = {SRCCOPY, SRCAND, SRCPAINT, SRCINVERT, NOTSRCCOPY};
  for (int trial = 0; trial < 400; ++trial) {
    const int bits = depths[pick(0, 3)], surface_bits = depths[pick(0, 3)];
    const int w = pick(1, 40), h = pick(1, 12), sw = pick(1, 50), sh = pick(1, 12);
    const std::uint32_t used = bits <= 8 && pick(0, 1) ? std::uint32_t(pick(1, 1 << bits)) : 0;
    PackedDib d = pxv_test::make_packed_dib(w, h, bits, used);
    for (std::size_t i = 40; i < d.bytes.size(); ++i) d.bytes[i] = std::uint8_t(rng());
    // A 1:1 copy from x 0 now and then: the path that copies source bytes as they are.
    const Box to = pick(0, 2) ? Box{pick(-20, sw), pick(-4, sh), nonzero(60), nonzero(16)} : Box{pick(0, 7), 0, w, h};
    const Box from = to.width == w ? Box{0, 0, w, h} : Box{pick(-4, w), pick(-2, h), nonzero(w + 4), nonzero(h + 2)};
    const DWORD rop = rops[pick(0, 4)];
    std::vector<std::uint8_t> start(std::size_t((sw * surface_bits + 15) / 16 * 2) * sh);
    for (std::uint8_t &b : start) b = std::uint8_t(rng());
    std::vector<std::uint32_t> shown[2];
    for (int plain = 0; plain < 2; ++plain) {
      const Canvas c(sw, sh, surface_bits, start.data());
      pxv_platform::set_row_stretch(plain == 0);
      stretch(c.dc, to, from, d, rop);
      shown[plain] = read_bitmap(c.dc, c.bitmap, surface_bits);
    }
    pxv_platform::set_row_stretch(true);
    ASSERT_EQ(shown[0], shown[1]) << "trial " << trial << ": " << bits << " bits onto " << surface_bits;
  }
}

TEST_F(Gdi, DepthsConvertToTheNearestColourAndBitBltCopiesTheBitmapSize) {
  // An 8-bit DIB drawn on 1 and 4 bits takes the nearest colours. (On 24 bits its table's own:
  // the display test shows every depth there.)
  PackedDib d8 = pxv_test::make_packed_dib(3, 1, 8);
  const std::uint8_t table[3][3] = {{0, 0, 200}, {140, 140, 140}, {40, 40, 40}};  // blue, green, red
  for (int i = 0; i < 3; ++i) {
    std::copy(table[i], table[i] + 3, d8.bytes.data() + 40 + 4 * i);
    d8.row(0)[i] = std::uint8_t(i);
  }
  const Canvas c4(3, 1, 4), c1(3, 1, 1);
  for (const Canvas *c : {&c4, &c1}) EXPECT_EQ(stretch(c->dc, {0, 0, 3, 1}, {0, 0, 3, 1}, d8), 1);
  EXPECT_EQ(read_bitmap(c1.dc, c1.bitmap, 1), (std::vector<std::uint32_t>{0, 1, 0}));

  // BitBlt across depths goes through the colour; a target larger than the bitmap keeps the
  // rest, so copying the bitmap's size changes exactly that. The 4-bit row holds the VGA colours
  // nearest the DIB's: bright red for (200, 0, 0), dark grey for 140 grey, black for 40.
  const Canvas wide(5, 2, 24);
  PatBlt(wide.dc, 0, 0, 5, 2, WHITENESS);
  BITMAP bm{};
  GetObjectA(c4.bitmap, sizeof bm, &bm);
  // Rows of whole 16-bit words, as device bitmaps have.
  EXPECT_TRUE(bm.bmWidthBytes == 2 && BitBlt(wide.dc, 1, 1, bm.bmWidth, bm.bmHeight, c4.dc, 0, 0, SRCCOPY));
  EXPECT_EQ(read_bitmap(wide.dc, wide.bitmap, 24),
            (std::vector<std::uint32_t>{0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF,
                                        0xFF0000, 0x808080, 0x000000, 0xFFFFFF}));
  EXPECT_TRUE(PatBlt(wide.dc, 4, 0, -2, 1, DSTINVERT)) << "a negative width covers 3..4";
  EXPECT_TRUE(read_bitmap(wide.dc, wide.bitmap, 24)[2] == 0xFFFFFF && read_bitmap(wide.dc, wide.bitmap, 24)[3] == 0);
}

TEST_F(Gdi, EightBitScreenRealisesAPaletteAsWindowsDoes) {
  const pxv_test::Screen window(16, 16, 8);
  HDC screen = window.dc;
  EXPECT_EQ(caps(screen, {RASTERCAPS, SIZEPALETTE, NUMCOLORS}), (std::vector<int>{RC_PALETTE, 256, 20}));
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 256, 1);
  HGDIOBJ old = SelectObject(dc, bitmap);

  std::vector<std::uint8_t> block(sizeof(LOGPALETTE) + 256 * sizeof(PALETTEENTRY));
  auto *lp = reinterpret_cast<LOGPALETTE *>(block.data());
  *lp = {0x300, 256, {}};
  const auto c332 = pxv_test::colour332;
  for (int i = 0; i < 256; ++i)
    lp->palPalEntry[i] = {BYTE(c332(i) >> 16), BYTE(c332(i) >> 8), BYTE(c332(i)), 0};
  HPALETTE palette = CreatePalette(lp);
  SelectPalette(dc, palette, FALSE);
  EXPECT_EQ(RealizePalette(dc), 256u);

  // The 8 colours equal to static ones share them; the next 236 take entries 10..245 in
  // order; the last 12 find no room.
  PALETTEENTRY system[256];
  ASSERT_EQ(GetSystemPaletteEntries(screen, 0, 256, system), 256u);
  EXPECT_TRUE(system[9].peGreen == 202 && system[10].peBlue == 85) << "the static sky blue, then 3-3-2 entry 1";
  // Six static matches (0, 3, 28, 31, 224, 227) come before 3-3-2 colour 241, the 236th other.
  EXPECT_EQ(std::memcmp(&system[245], &lp->palPalEntry[241], 3), 0);

  // With no bits GetDIBits fills in the table (the logical palette) and the image size only.
  // (What device bitmaps read back through a palette, or through none, is the display and
  // clipboard tests'.)
  std::vector<std::uint8_t> query(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
  auto *qi = reinterpret_cast<BITMAPINFO *>(query.data());
  qi->bmiHeader = {sizeof(BITMAPINFOHEADER), 256, 1, 1, 8, BI_RGB, 0, 0, 0, 0, 0};
  EXPECT_NE(GetDIBits(dc, bitmap, 0, 1, nullptr, qi, DIB_RGB_COLORS), 0);
  EXPECT_TRUE(qi->bmiHeader.biSizeImage == 256 && qi->bmiColors[7].rgbGreen == lp->palPalEntry[7].peGreen);

  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  DeleteObject(palette);
}

TEST_F(Gdi, MappingModesRoundLikeMulDivAndRestoreExactly) {
  pxv_test::Printer a4(2480, 3508, 300, 2);
  HDC dc = a4.dc;
  EXPECT_EQ(caps(dc, {HORZSIZE, VERTSIZE}), (std::vector<int>{210, 297}));
  EXPECT_EQ(SetMapMode(dc, MM_LOMETRIC), MM_TEXT);
  SetViewportOrgEx(dc, 5, 7, nullptr);
  POINT p[2] = {{100, -100}, {-254, 0}};
  ASSERT_TRUE(LPtoDP(dc, p, 2));
  // 2480 pixels on 2100 units, 3508 on -2970: 118.1 -> 118, 118.11 -> 118, -300.0 -> -300.
  EXPECT_EQ((std::vector<LONG>{p[0].x, p[0].y, p[1].x}), (std::vector<LONG>{5 + 118, 7 + 118, 5 - 300}));
  SetMapMode(dc, MM_ANISOTROPIC);
  SetWindowExtEx(dc, 2, 2, nullptr);
  SetViewportExtEx(dc, 1, 1, nullptr);
  SetViewportOrgEx(dc, 0, 0, nullptr);
  POINT half[2] = {{1, -1}, {3, -3}};
  LPtoDP(dc, half, 2);
  EXPECT_EQ((std::vector<LONG>{half[0].x, half[0].y, half[1].y}), (std::vector<LONG>{1, -1, -2})) << "halves round away from zero";

  // The library's switch to device units and back: every mode comes back as it was, the
  // isotropic one included, whose extents depend on the order they are set in.
  for (int mode : {MM_LOMETRIC, MM_ISOTROPIC, MM_ANISOTROPIC, MM_TWIPS}) {
    SetMapMode(dc, mode);
    SetWindowExtEx(dc, 1000, 700, nullptr);
    SetViewportExtEx(dc, 300, -500, nullptr);
    SetWindowOrgEx(dc, 12, -34, nullptr);
    SetViewportOrgEx(dc, 56, 78, nullptr);
    const std::vector<int> before = pxv_test::mapping_state(dc);
    pxv::restore_mapping(dc, pxv::enter_device_units(dc));
    EXPECT_EQ(pxv_test::mapping_state(dc), before) << "mode " << mode;
  }

  // Drawing maps its destination: the painted rectangle is LPtoDP of the corners.
  SetMapMode(dc, MM_LOMETRIC);
  SetWindowOrgEx(dc, 0, 0, nullptr);
  SetViewportOrgEx(dc, 0, 0, nullptr);
  EXPECT_TRUE(PatBlt(dc, 10, -20, 30, -40, BLACKNESS));
  POINT corners[2] = {{10, -20}, {40, -60}};
  LPtoDP(dc, corners, 2);
  const pxv_test::Rgb page = a4.page();
  int black = 0, outside = 0;
  for (int y = 0; y < 3508; ++y)
    for (int x = 0; x < 2480; ++x)
      if (pxv_test::rgb_at(page, x, y) == 0) {
        ++black;
        outside += x < corners[0].x || x >= corners[1].x || y < corners[0].y || y >= corners[1].y;
      }
  EXPECT_TRUE(black == (corners[1].x - corners[0].x) * (corners[1].y - corners[0].y) && outside == 0);
}

TEST_F(Gdi, PrintersAnswerEscapesAndHandOverWhitePages) {
  std::vector<int> seen;  // rows painted so far, as reported
  PXV_PRINTER laser = pxv_test::printer_description(40, 30, 300, 2, "PCL");
  laser.has_scaling = 1, laser.scale_x = 1, laser.scale_y = 2;
  laser.rows_painted = [](void *user, int rows, int height) {
    EXPECT_EQ(height, 30);
    static_cast<std::vector<int> *>(user)->push_back(rows);
  };
  laser.user = &seen;
  HDC dc = PxvCreatePrinterDC(&laser);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(caps(dc, {TECHNOLOGY, LOGPIXELSY, HORZRES, NUMCOLORS}), (std::vector<int>{DT_RASPRINTER, 300, 40, 2}));
  // (The escapes the library asks, scaling factor and technology, are the print tests': the tone
  // table follows the factors, PostScript prints in colour.)
  const int unknown = 9999;
  EXPECT_EQ(Escape(dc, QUERYESCSUPPORT, sizeof unknown, reinterpret_cast<LPCSTR>(&unknown), nullptr), 0);
  char technology[32] = {};

  EXPECT_EQ(PxvTakePrinterPage(dc), nullptr) << "no page before StartPage";
  DOCINFOA doc{sizeof(DOCINFOA), "test", nullptr, nullptr, 0};
  EXPECT_TRUE(StartDocA(dc, &doc) > 0 && StartPage(dc) > 0);
  PatBlt(dc, 0, 0, 40, 10, BLACKNESS);
  PatBlt(dc, 0, 2, 40, 3, DSTINVERT);    // not further down: no report
  PatBlt(dc, 5, 20, 1, 100, BLACKNESS);  // clipped at the page's end
  EXPECT_EQ(seen, (std::vector<int>{10, 30}));
  HBITMAP page = PxvTakePrinterPage(dc);
  BITMAP bm{};
  GetObjectA(page, sizeof bm, &bm);
  EXPECT_EQ(bm.bmBitsPixel, 1);
  const std::vector<std::uint32_t> ink = read_bitmap(dc, page, 24);  // black, inverted black, untouched white
  EXPECT_EQ((std::vector<std::uint32_t>{ink[0], ink[3 * 40], ink[15 * 40]}), (std::vector<std::uint32_t>{0, 0xFFFFFF, 0xFFFFFF}));
  EXPECT_GT(StartPage(dc), 0);
  DeleteObject(page);
  page = PxvTakePrinterPage(dc);
  EXPECT_EQ(read_bitmap(dc, page, 24)[0], 0xFFFFFFu) << "a new page starts white";
  EXPECT_TRUE(EndPage(dc) > 0 && EndDoc(dc) > 0);
  DeleteObject(page);
  DeleteDC(dc);

  // Page depth by colour count; PostScript keeps colour whatever it reports.
  const struct {
    int colors;
    const char *technology;
    int bits, numcolors;
  } depths[] = {{2, nullptr, 1, 2}, {16, nullptr, 4, 16}, {256, nullptr, 8, 256}, {1 << 24, nullptr, 24, -1}, {2, "postscript", 24, 2}};
  for (const auto &d : depths) {
    const PXV_PRINTER p = pxv_test::printer_description(8, 8, 72, d.colors, d.technology);
    HDC pdc = PxvCreatePrinterDC(&p);
    HBITMAP b = CreateCompatibleBitmap(pdc, 2, 2);
    GetObjectA(b, sizeof bm, &bm);
    EXPECT_EQ((std::vector<int>{bm.bmBitsPixel, GetDeviceCaps(pdc, NUMCOLORS), Escape(pdc, GETTECHNOLOGY, 0, nullptr, technology)}),
              (std::vector<int>{d.bits, d.numcolors, int(d.technology != nullptr)})) << d.colors;
    DeleteObject(b);
    DeleteDC(pdc);
  }
}

TEST_F(Gdi, ObjectsAreCheckedCountedAndCanBeMadeToFail) {
  // A deleted selected bitmap leaves its DC on the stock 1 x 1 monochrome bitmap.
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP colour = CreateBitmap(4, 4, 1, 32, nullptr);
  HGDIOBJ stock = SelectObject(dc, colour);
  HDC other = CreateCompatibleDC(nullptr);
  EXPECT_EQ(SelectObject(other, colour), nullptr) << "a bitmap is in one DC at most";
  EXPECT_TRUE(DeleteObject(colour));
  EXPECT_TRUE(!DeleteObject(colour) && GetObjectA(colour, 0, nullptr) == 0) << "a stale handle is refused";
  HBITMAP small = CreateCompatibleBitmap(dc, 3, 3);
  BITMAP bm{};
  GetObjectA(small, sizeof bm, &bm);
  EXPECT_EQ(bm.bmBitsPixel, 1) << "the DC holds the monochrome stock bitmap again";
  EXPECT_TRUE(SelectObject(dc, small) == stock && SelectObject(dc, stock) == small);
  // Sizes beyond 16384 are refused; a bitmap is no DC.
  EXPECT_TRUE(CreateBitmap(16385, 1, 1, 8, nullptr) == nullptr && DeleteDC(small) == FALSE);
  DeleteObject(small);
  DeleteDC(other);
  DeleteDC(dc);

  // The n-th creation fails with NULL; the others count as live objects until freed.
  HDC base = CreateCompatibleDC(nullptr);
  HWND window = PxvCreateWindow(4, 4);
  const std::size_t live = pxv_platform::live_gdi_objects();
  const PXV_PRINTER p = pxv_test::printer_description(8, 8, 72, 2);
  LOGPALETTE lp{0x300, 1, {{1, 2, 3, 0}}};
  for (unsigned n = 1; n <= 6; ++n) {
    pxv_platform::fail_gdi_creation(n);
    HGDIOBJ made[6] = {CreateBitmap(2, 2, 1, 8, nullptr), CreateCompatibleDC(nullptr), CreatePalette(&lp),
                       GetDC(window),                     PxvCreatePrinterDC(&p),     CreateCompatibleBitmap(base, 2, 2)};
    pxv_platform::fail_gdi_creation(0);
    for (unsigned k = 0; k < 6; ++k) EXPECT_EQ(made[k] == nullptr, k + 1 == n) << n << " " << k;
    EXPECT_EQ(pxv_platform::live_gdi_objects(), live + 5);
    DeleteObject(made[0]);
    DeleteDC(made[1]);
    DeleteObject(made[2]);
    ReleaseDC(window, made[3]);
    DeleteDC(made[4]);
    DeleteObject(made[5]);
    EXPECT_EQ(pxv_platform::live_gdi_objects(), live);
  }
  HDC open = GetDC(window);
  PxvDestroyWindow(window);
  EXPECT_TRUE(ReleaseDC(nullptr, open) == 0 && pxv_platform::live_gdi_objects() == live) << "a destroyed window's DCs went with it";
  DeleteDC(base);
}

}  // namespace
