// Screens and printers of the GDI stand-in for the display and print tests: a window on a
// screen of a chosen depth, a virtual printer, and their pixels read back as RGB.
#pragma once

#include <cstdint>

#include "support.h"

namespace pxv_test {

// A window of the given client size on a screen of `depth` (24, 8 or 4), and its context.
struct Screen {
  HWND window = nullptr;
  HDC dc = nullptr;
  int width = 0, height = 0;
  Screen(int width, int height, int depth);
  ~Screen();
  Screen(const Screen &) = delete;
  Screen &operator=(const Screen &) = delete;
  Rgb pixels() const;  // the client surface, top row first
};

// A virtual printer with its page started.
struct Printer {
  HDC dc = nullptr;
  explicit Printer(const PXV_PRINTER &description);
  ~Printer();
  Printer(const Printer &) = delete;
  Printer &operator=(const Printer &) = delete;
  Rgb page();  // hands the page over and reads it, top row first
};
PXV_PRINTER printer_description(int width, int height, int dpi, int colors,
                                const char *technology = nullptr);

// A device bitmap's pixels as RGB, read with GetDIBits at 24 bits through `dc`.
Rgb bitmap_pixels(HDC dc, HBITMAP bitmap, int width, int height);

// One pixel of an Rgb picture (x from the left, y from the top).
inline std::uint32_t rgb_at(const Rgb &p, int x, int y) {
  const std::uint8_t *v = &p.pixels[3 * (std::size_t(y) * p.width + x)];
  return std::uint32_t(v[0]) << 16 | std::uint32_t(v[1]) << 8 | v[2];
}
constexpr std::uint32_t kWhite = 0xFFFFFF;

}  // namespace pxv_test
