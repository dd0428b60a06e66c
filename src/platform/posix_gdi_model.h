// The software device model behind the POSIX GDI and user calls: what posix_gdi.cpp (objects,
// device contexts, drawing, printers) and posix_user.cpp (windows and their device contexts)
// share. Library code never includes this; it sees only the Win32 names of pxvwin32.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win32.h"

namespace pxv_gdi {

// Sizes above this in either direction are refused wherever a surface is made: a hostile size
// must not be able to make the process allocate gigabytes.
constexpr int kMaxSurfaceSide = 16384;

// Pixels of one bitmap, window client area, screen or printer page. Rows run top-down, each
// `stride` bytes, a multiple of 2 as in a Windows device-dependent bitmap (so CreateBitmap's
// initial bits and GetObjectA's bmWidthBytes describe this very layout). 1- and 4-bit pixels
// are packed from the most significant bit; 24 bits are blue, green, red; 32 bits add a zero.
// What a value means depends on the depth only: 1 bit black (0) or white (1), 4 bits the 16 VGA
// colours, 8 bits an index into the system palette, 24 and 32 bits the colour itself.
struct Surface {
  int width = 0;
  int height = 0;
  int bits = 0;
  std::size_t stride = 0;
  std::vector<std::uint8_t> pixels;
};

// Gives `s` its size and depth, every pixel black (`white` false) or white. False, leaving `s`
// empty, for a depth other than 1, 4, 8, 24, 32, a side outside 1..kMaxSurfaceSide, or more
// bytes than the kernel layer's block limit.
bool surface_make(Surface &s, int width, int height, int bits, bool white);

// The screen's depth (24, 8 or 4), as PxvSetScreen left it.
int screen_depth();

// Counts a GDI object creation and says whether fault injection wants this one to fail.
bool creation_refused();

// A device context on a window's client surface (window null: the whole screen), counted as a
// live object until released. Null when creation is refused.
HDC window_dc_create(HWND window);
// Frees a device context made by window_dc_create; false for any other handle.
bool window_dc_release(HDC dc);
// Frees every device context still open on `window` (it is being destroyed).
void window_dcs_release(HWND window);

// The client surface of a live window, or null (posix_user.cpp answers).
Surface *window_surface(HWND window);

}  // namespace pxv_gdi
