// Screens and printers of the GDI stand-in for the display and print tests, their pixels read
// back as RGB (top row first). The stand-in's screens and printers are POSIX-only; reading
// bitmaps and the clipboard helpers work on any GDI.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace pxv_test {

#if !defined(_WIN32)
// A window of the given client size on a screen of `depth` (24, 8 or 4), and its context.
struct Screen {
  HWND window;
  HDC dc;
  int width, height;
  Screen(int width, int height, int depth);
  ~Screen() { ReleaseDC(window, dc), PxvDestroyWindow(window); }
  Rgb pixels() const;
};

// A printer as a host describes it: page size in pixels, resolution, colours, technology.
inline PXV_PRINTER printer_description(int width, int height, int dpi, int colors, const char *technology = nullptr) {
  return {width, height, dpi, dpi, colors, technology, 0, 0, 0, nullptr, nullptr};
}

// The mapping a host can observe: mode, window origin, viewport origin, window and viewport
// extents (x, y each).
std::vector<int> mapping_state(HDC dc);

// A virtual printer with its page started.
struct Printer {
  HDC dc;
  Printer(int width, int height, int dpi, int colors, const char *technology = nullptr);
  explicit Printer(const PXV_PRINTER &description);
  ~Printer() { DeleteDC(dc); }
  Rgb page();
};
#endif

// A device bitmap's pixels, read with GetDIBits at 24 bits through `dc`.
Rgb bitmap_pixels(HDC dc, HBITMAP bitmap, int width, int height);
// What a window's client area shows.
Rgb window_pixels(HWND window);

// A movable global block holding a copy of `bytes`, as a host puts data on the clipboard.
HGLOBAL global_copy(const Bytes &bytes);
// Empties the clipboard and puts each (format, data) on it; the clipboard owns them now.
void set_clipboard(std::initializer_list<std::pair<UINT, HANDLE>> items);

inline std::uint32_t rgb_at(const Rgb &p, int x, int y) {
  const std::uint8_t *v = &p.pixels[3 * (std::size_t(y) * p.width + x)];
  return std::uint32_t(v[0]) << 16 | std::uint32_t(v[1]) << 8 | v[2];
}
constexpr std::uint32_t kWhite = 0xFFFFFF;
// A screen or page shows `expected` at (x, y) and white everywhere else.
void expect_shown(const Rgb &screen, const Rgb &expected, int x, int y, const std::string &what);
// Entry i of the 3-3-2 palette (red in the top three bits, blue in the low two) as 0xRRGGBB.
inline std::uint32_t colour332(int i) {
  return std::uint32_t((i >> 5) * 255 / 7) << 16 | std::uint32_t((i >> 2 & 7) * 255 / 7) << 8 | std::uint32_t((i & 3) * 85);
}

}  // namespace pxv_test
