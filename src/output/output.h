// Display and printing: what the display half (img_display.cpp) and the printing half
// (img_prnt.cpp) of the output code share. Both put an image on a device context through one
// banded renderer: printing calls it directly, display after switching the context to device
// pixels.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>

#include "core/image.h"
#include "platform/win32.h"

namespace pxv {

// A locked movable block, freed when it goes out of scope, so that every early return of the
// display and print paths gives its memory back.
class locked_block {
 public:
  locked_block(std::size_t bytes, bool zeroed);
  ~locked_block();
  locked_block(const locked_block &) = delete;
  locked_block &operator=(const locked_block &) = delete;
  std::uint8_t *data() const { return data_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  HGLOBAL handle_ = nullptr;
  std::uint8_t *data_ = nullptr;
};

// The stretch calls carry every coordinate as a 16-bit value; extents beyond this are refused
// before anything is painted instead of being wrapped into some other size.
constexpr std::int64_t kMaxStretchExtent = 32767;
inline bool fits_stretch(std::int64_t extent) {
  return extent >= -kMaxStretchExtent && extent <= kMaxStretchExtent;
}
inline int as_stretch_arg(std::int64_t v) { return static_cast<std::int16_t>(v); }
// A coordinate brought back into a record field; values past 32 bits only arise from hostile
// rectangles, and saturate instead of wrapping.
inline std::int32_t clamp32(std::int64_t v) {
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(v);
}

// The device's scaling factors (escape 14), when the device answers it (asked with escape 8).
struct scaling {
  bool supported;
  int x, y;
};
scaling query_scaling(HDC dc);
// An extent shifted left by a scaling factor, as the device wants it; wide, so that the
// caller can see it no longer fits a stretch argument.
std::int64_t scale_extent(std::int64_t v, int factor);
// Both extents shifted by the device's factors, when it has them.
inline void apply_scaling(const scaling &factors, std::int64_t *width, std::int64_t *height) {
  if (!factors.supported) return;
  *width = scale_extent(*width, factors.x);
  *height = scale_extent(*height, factors.y);
}

// The context's coordinate mapping, kept while a paint works in device pixels.
struct saved_mapping {
  int mode;
  POINT window_origin, viewport_origin;
  SIZE window_extent, viewport_extent;
};
// Keeps the mapping and switches the context to one logical unit per device pixel with both
// origins at 0.
saved_mapping enter_device_units(HDC dc);
// Puts the host's mapping back: mode, window extent, window origin, viewport extent, viewport
// origin, in that order (the extents only hold once the mode that honours them is back).
void restore_mapping(HDC dc, const saved_mapping &saved);
// The logical rectangle (x, y, width, height) converted to device pixels, in place.
void rectangle_to_device(HDC dc, std::int32_t *x, std::int32_t *y, std::int32_t *width,
                         std::int32_t *height);

// The crop rectangle clipped to the image, as saving clips it; y counts rows from the top.
struct crop_rect {
  std::int32_t x, y, width, height;
};
// False when no part of the crop rectangle lies inside the image (its DIB locked at `dib`).
bool clip_crop(image_object *image, const std::uint8_t *dib, crop_rect *out);

// The exports' common frame: check the handle, lock the DIB, store the destination as the
// display rectangle, paint with `paint`, unlock. -7 for a handle that is not live.
int paint_with_rectangle(int handle, HDC dc, int x, int y, int width, int height,
                         int (*paint)(HDC, int));

// Rows per band and how many bands a destination takes.
struct band_plan {
  std::int32_t rows;        // R: rows of every full band
  std::int32_t full_bands;  // bands of R rows
  std::int32_t last_rows;   // rows of the one band after them, 0 when there is none
};
// The band's pixels stay within 36864 bytes less its header and table. A row wider than that
// gives one-row bands, the one case where a band's pixels pass the limit.
band_plan plan_bands(std::int32_t height, std::int32_t row_bytes, std::uint32_t table_bytes);

// Display (img_display.cpp).
int paint_image_object_band(HDC dc, int handle);
int paint_image_object(HDC dc, int handle);
int ScreenDisplay24Bits(HDC dc, int handle, int x, int y);
int ScreenDisplay4Bits(HDC dc, int handle, int x, int y);

// Printing (img_prnt.cpp).
int print_image_object(HDC dc, int handle);
int print_image_object_fast(HDC dc, int handle);
int print_dithered_image(HDC dc, int handle, POINT origin, SIZE size, bool black_and_white);
int create_print_dib(SIZE size, int bit_count, bool black_and_white, int handle);
void create_print_lut(int handle, std::uint8_t *lut, HDC dc);
// Error diffusion of one window row into one 1-bit band row: `window` points at the block's
// first value (two values of margin, then three rows of n), row 0 being the row dithered.
void dither_praster(std::uint8_t *bits, std::int32_t *window, std::int32_t n, std::int32_t row);

}  // namespace pxv
