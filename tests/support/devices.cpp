#include "devices.h"

#include <cstring>

namespace pxv_test {

Rgb bitmap_pixels(HDC dc, HBITMAP bitmap, int width, int height) {
  BITMAPINFO info{{40, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0}, {}};
  const std::size_t row_bytes = (std::size_t(width) * 3 + 3) / 4 * 4;
  Bytes rows(row_bytes * std::size_t(height));
  Rgb out{width, height, {}};
  if (GetDIBits(dc, bitmap, 0, UINT(height), rows.data(), &info, DIB_RGB_COLORS) != height) return out;
  for (int y = height - 1; y >= 0; --y)
    for (int x = 0; x < width; ++x) {
      const std::uint8_t *bgr = &rows[std::size_t(y) * row_bytes + 3 * std::size_t(x)];
      out.pixels.insert(out.pixels.end(), {bgr[2], bgr[1], bgr[0]});
    }
  return out;
}

#if !defined(_WIN32)
Screen::Screen(int w, int h, int depth) : width(w), height(h) {
  PxvSetScreen(1024, 768, depth);
  window = PxvCreateWindow(w, h);
  dc = GetDC(window);
}

Rgb Screen::pixels() const { return window_pixels(window); }
#endif

Rgb window_pixels(HWND window) {
  // The surface copied into a bitmap of its own, as a host saving its window would.
  RECT client{};
  GetClientRect(window, &client);
  const int width = client.right, height = client.bottom;
  HDC dc = GetDC(window);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  Rgb out = bitmap_pixels(memory, bitmap, width, height);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, dc);
  return out;
}

std::vector<int> mapping_state(HDC dc) {
  POINT wo, vo;
  SIZE we, ve;
  GetWindowOrgEx(dc, &wo), GetViewportOrgEx(dc, &vo), GetWindowExtEx(dc, &we), GetViewportExtEx(dc, &ve);
  return {GetMapMode(dc), wo.x, wo.y, vo.x, vo.y, we.cx, we.cy, ve.cx, ve.cy};
}

#if !defined(_WIN32)
Printer::Printer(int width, int height, int dpi, int colors, const char *technology)
    : Printer(printer_description(width, height, dpi, colors, technology)) {}

Printer::Printer(const PXV_PRINTER &description) : dc(PxvCreatePrinterDC(&description)) { StartPage(dc); }

Rgb Printer::page() {
  HBITMAP bitmap = PxvTakePrinterPage(dc);
  BITMAP b{};
  GetObjectA(bitmap, sizeof b, &b);
  Rgb out = bitmap_pixels(dc, bitmap, b.bmWidth, b.bmHeight);
  DeleteObject(bitmap);
  return out;
}
#endif

void expect_shown(const Rgb &screen, const Rgb &expected, int x, int y, const std::string &what) {
  for (int py = 0; py < screen.height; ++py)
    for (int px = 0; px < screen.width; ++px) {
      const bool inside = px >= x && px < x + expected.width && py >= y && py < y + expected.height;
      ASSERT_EQ(rgb_at(screen, px, py), inside ? rgb_at(expected, px - x, py - y) : kWhite) << what << " at " << px << "," << py;
    }
}

HGLOBAL global_copy(const Bytes &bytes) {
  HGLOBAL block = GlobalAlloc(GHND, bytes.size());
  if (block == nullptr) return nullptr;  // an injected failure may land here
  std::memcpy(GlobalLock(block), bytes.data(), bytes.size());
  GlobalUnlock(block);
  return block;
}

void set_clipboard(std::initializer_list<std::pair<UINT, HANDLE>> items) {
  OpenClipboard(nullptr);
  EmptyClipboard();
  for (auto [format, data] : items) SetClipboardData(format, data);
  CloseClipboard();
}

}  // namespace pxv_test
