// The display half of the image-object module: device-dependent bitmaps to handles and back,
// the image's logical palette, and painting into device contexts. (The handle slots and records
// themselves are src/core/imageobj.cpp.)
//
// Every paint goes through the banded renderer of img_prnt.cpp: display first converts the
// host's rectangle to device pixels and switches the context to one unit per pixel, so that the
// renderer can resample to exactly the pixels that will be covered. Whatever happens, the host's
// mapping is put back in the order that lets each value hold (mode first, then extents and
// origins), and every GDI object and memory block made for the paint is gone when it returns.
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "output/color_raster.h"
#include "output/output.h"

namespace pxv {

namespace {

// The probe whose depth tells what the device shows: a tiny bitmap compatible with it.
constexpr int kProbeSize = 10;
constexpr std::uint32_t kPaletteVersion = 0x300;
constexpr std::uint32_t kLogPaletteHeaderBytes = 4;
// The 16-colour path's bright bit needs the intensity this far above the channel threshold.
constexpr std::int32_t kBrightMargin = 40;

// The depth of the device's pixels, or -1 when not even a probe bitmap can be made.
int device_depth(HDC dc) {
  HBITMAP probe = CreateCompatibleBitmap(dc, kProbeSize, kProbeSize);
  if (probe == nullptr) return -1;
  BITMAP description{};
  const int got = GetObjectA(probe, sizeof description, &description);
  DeleteObject(probe);
  if (got == 0) return -1;
  return description.bmPlanes * description.bmBitsPixel;
}

const BITMAPINFO *as_info(const std::uint8_t *header) {
  return reinterpret_cast<const BITMAPINFO *>(header);
}

const std::uint8_t *pixel_base(const std::uint8_t *dib) {
  return dib + kDibHeaderBytes + Palette_Size(dib);
}

}  // namespace

locked_block::locked_block(std::size_t bytes, bool zeroed) {
  handle_ = GlobalAlloc(GMEM_MOVEABLE | (zeroed ? GMEM_ZEROINIT : 0u), bytes);
  if (handle_ != nullptr) data_ = static_cast<std::uint8_t *>(GlobalLock(handle_));
}

locked_block::~locked_block() {
  if (handle_ == nullptr) return;
  if (data_ != nullptr) GlobalUnlock(handle_);
  GlobalFree(handle_);
}

saved_mapping enter_device_units(HDC dc) {
  saved_mapping saved{};
  saved.mode = GetMapMode(dc);
  GetWindowOrgEx(dc, &saved.window_origin);
  GetWindowExtEx(dc, &saved.window_extent);
  GetViewportOrgEx(dc, &saved.viewport_origin);
  GetViewportExtEx(dc, &saved.viewport_extent);
  SetMapMode(dc, MM_TEXT);
  SetWindowOrgEx(dc, 0, 0, nullptr);
  SetWindowExtEx(dc, 1, 1, nullptr);
  SetViewportOrgEx(dc, 0, 0, nullptr);
  SetViewportExtEx(dc, 1, 1, nullptr);
  return saved;
}

void restore_mapping(HDC dc, const saved_mapping &saved) {
  SetMapMode(dc, saved.mode);
  SetWindowExtEx(dc, saved.window_extent.cx, saved.window_extent.cy, nullptr);
  SetWindowOrgEx(dc, saved.window_origin.x, saved.window_origin.y, nullptr);
  SetViewportExtEx(dc, saved.viewport_extent.cx, saved.viewport_extent.cy, nullptr);
  SetViewportOrgEx(dc, saved.viewport_origin.x, saved.viewport_origin.y, nullptr);
}

void rectangle_to_device(HDC dc, std::int32_t *x, std::int32_t *y, std::int32_t *width,
                         std::int32_t *height) {
  POINT corners[2] = {{*x, *y},
                      {clamp32(std::int64_t{*x} + *width), clamp32(std::int64_t{*y} + *height)}};
  LPtoDP(dc, corners, 2);
  *x = corners[0].x;
  *y = corners[0].y;
  *width = clamp32(std::int64_t{corners[1].x} - corners[0].x);
  *height = clamp32(std::int64_t{corners[1].y} - corners[0].y);
}

int paint_with_rectangle(int handle, HDC dc, int x, int y, int width, int height,
                         int (*paint)(HDC, int)) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  if (lock_image_dib(image) == nullptr) return kNoMemory;
  image->display_x = x;
  image->display_y = y;
  image->display_width = width;
  image->display_height = height;
  const int rc = paint(dc, handle);
  unlock_image_dib(image);
  return rc;
}

int paint_image_object_band(HDC dc, int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  image->dither_row = 0;
  const std::int32_t host[4] = {image->display_x, image->display_y, image->display_width,
                                image->display_height};
  rectangle_to_device(dc, &image->display_x, &image->display_y, &image->display_width,
                      &image->display_height);
  const saved_mapping saved = enter_device_units(dc);
  // The renderer's answer is passed on: a host told 0 after a paint that found no memory
  // would believe the image is on its screen.
  const int rc = print_image_object(dc, handle);
  restore_mapping(dc, saved);
  image->display_x = host[0];
  image->display_y = host[1];
  image->display_width = host[2];
  image->display_height = host[3];
  return rc;
}

int paint_image_object(HDC dc, int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kBadHandle;
  const int depth = device_depth(dc);
  if (depth < 0) return kNoMemory;
  std::uint8_t *dib = image->dib;
  const int bits = dib_bit_count(dib);
  if (bits == 24 && depth == 8)
    return ScreenDisplay24Bits(dc, handle, image->display_x, image->display_y) < 0 ? kNoMemory
                                                                                    : kOk;
  if ((bits == 8 || bits == 24) && depth == 4)
    return ScreenDisplay4Bits(dc, handle, image->display_x, image->display_y);
  std::int64_t width = image->display_width;
  std::int64_t height = image->display_height;
  const scaling factors = query_scaling(dc);
  apply_scaling(factors, &width, &height);
  put_le32(dib + kBiXPelsPerMeter, 0);
  put_le32(dib + kBiYPelsPerMeter, 0);
  // The source rectangle counts rows from the bottom, as the DIB stores them.
  const std::int32_t source_y = image->height - image->crop_height - image->crop_y;
  StretchDIBits(dc, as_stretch_arg(image->display_x), as_stretch_arg(image->display_y),
                as_stretch_arg(width), as_stretch_arg(height), as_stretch_arg(image->crop_x),
                as_stretch_arg(source_y), as_stretch_arg(image->crop_width),
                as_stretch_arg(image->crop_height), pixel_base(dib), as_info(dib),
                DIB_RGB_COLORS, image->rop);
  return kOk;
}

namespace {

// A picture of a DIB's size at a lower depth for a device that shows no more: the DIB's header
// with the new bit count and the library's default table of `kind`, and zeroed rows. The
// renderer hands these paths bands already resampled to the display rectangle, so the picture
// goes onto the device 1:1 (mirrored where the rectangle's extents are negative).
struct reduced_picture {
  std::int32_t width, height, row_bytes;
  locked_block header, pixels;
  reduced_picture(const std::uint8_t *dib, int bits, const char *kind)
      : width(dib_width(dib)),
        height(dib_height(dib)),
        row_bytes(size_for_long(width, bits)),
        header(kDibHeaderBytes + (4u << bits), true),
        pixels(static_cast<std::size_t>(row_bytes) * static_cast<std::size_t>(height), true) {
    if (!header) return;
    std::uint8_t *h = header.data();
    std::memcpy(h, dib, kDibHeaderBytes);
    put_le16(h + kBiBitCount, static_cast<std::uint32_t>(bits));
    put_le32(h + kBiClrUsed, 0);
    put_le32(h + kBiClrImportant, 0);
    put_le32(h + kBiSizeImage, static_cast<std::uint32_t>(row_bytes) * height);
    create_dib_palette(h, kind);
  }
  explicit operator bool() const { return header && pixels; }
  std::uint8_t *row(std::int32_t r) const { return pixels.data() + std::int64_t{r} * row_bytes; }
  void stretch(HDC dc, const image_object *image, int x, int y) const {
    StretchDIBits(dc, as_stretch_arg(x), as_stretch_arg(y), as_stretch_arg(image->display_width),
                  as_stretch_arg(image->display_height), 0, 0, as_stretch_arg(width),
                  as_stretch_arg(height), pixels.data(), as_info(header.data()), DIB_RGB_COLORS,
                  image->rop);
  }
};

#if defined(__SSE2__)
// Four pixels from bytes 0..11 of v, one to each 32-bit lane (blue, green, red in its low bytes;
// the top byte is the next pixel's blue, which the masks below never take).
inline __m128i pixels_to_lanes(__m128i v) {
  const __m128i lane0 = _mm_set_epi32(0, 0, 0, -1), lane1 = _mm_set_epi32(0, 0, -1, 0);
  const __m128i lane2 = _mm_set_epi32(0, -1, 0, 0), lane3 = _mm_set_epi32(-1, 0, 0, 0);
  return _mm_or_si128(
      _mm_or_si128(_mm_and_si128(v, lane0), _mm_and_si128(_mm_slli_si128(v, 1), lane1)),
      _mm_or_si128(_mm_and_si128(_mm_slli_si128(v, 2), lane2), _mm_and_si128(_mm_slli_si128(v, 3), lane3)));
}

inline __m128i lanes_to_332(__m128i p) {
  const __m128i red = _mm_and_si128(_mm_srli_epi32(p, 16), _mm_set1_epi32(0xE0));
  const __m128i green = _mm_and_si128(_mm_srli_epi32(p, 11), _mm_set1_epi32(0x1C));
  const __m128i blue = _mm_and_si128(_mm_srli_epi32(p, 6), _mm_set1_epi32(0x03));
  return _mm_or_si128(red, _mm_or_si128(green, blue));
}
#endif

// The 3-3-2 index of each blue, green, red pixel: top three bits of red, of green, top two of
// blue. With SSE2, sixteen pixels (48 bytes) at a time; then four pixels read as three
// little-endian words (blue, green, red, blue / green, red, blue, green / red, blue, green, red)
// with their indices written as one; then one by one.
void row_to_332(const std::uint8_t *in, std::uint8_t *out, std::int32_t width) {
  std::int32_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= width; i += 16, in += 48) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 32));
    const __m128i g0 = v0;
    const __m128i g1 = _mm_or_si128(_mm_srli_si128(v0, 12), _mm_slli_si128(v1, 4));
    const __m128i g2 = _mm_or_si128(_mm_srli_si128(v1, 8), _mm_slli_si128(v2, 8));
    const __m128i g3 = _mm_srli_si128(v2, 4);
    const __m128i low = _mm_packs_epi32(lanes_to_332(pixels_to_lanes(g0)), lanes_to_332(pixels_to_lanes(g1)));
    const __m128i high = _mm_packs_epi32(lanes_to_332(pixels_to_lanes(g2)), lanes_to_332(pixels_to_lanes(g3)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i + 4 <= width; i += 4, in += 12) {
    const std::uint32_t w0 = get_le32(in), w1 = get_le32(in + 4), w2 = get_le32(in + 8);
    const std::uint32_t p0 = ((w0 >> 16) & 0xE0) | ((w0 >> 11) & 0x1C) | ((w0 >> 6) & 0x03);
    const std::uint32_t p1 = ((w1 >> 8) & 0xE0) | ((w1 >> 3) & 0x1C) | (w0 >> 30);
    const std::uint32_t p2 = (w2 & 0xE0) | ((w1 >> 27) & 0x1C) | ((w1 >> 22) & 0x03);
    const std::uint32_t p3 = ((w2 >> 24) & 0xE0) | ((w2 >> 19) & 0x1C) | ((w2 >> 14) & 0x03);
    put_le32(out + i, p0 | p1 << 8 | p2 << 16 | p3 << 24);
  }
  for (; i < width; ++i, in += 3)
    out[i] = static_cast<std::uint8_t>((in[2] & 0xE0) | ((in[1] >> 3) & 0x1C) | (in[0] >> 6));
}

}  // namespace

int ScreenDisplay24Bits(HDC dc, int handle, int x, int y) {
  image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kBadHandle;
  const std::uint8_t *dib = image->dib;
  reduced_picture picture(dib, 8, "targa");  // the 3-3-2 table
  if (!picture) return kNoMemory;
  const std::int32_t source_row_bytes = size_for_long(picture.width, 24);
  for (std::int32_t r = 0; r < picture.height; ++r) {
    row_to_332(pixel_base(dib) + std::int64_t{r} * source_row_bytes, picture.row(r), picture.width);
  }
  picture.stretch(dc, image, x, y);
  return 1;
}

int ScreenDisplay4Bits(HDC dc, int handle, int x, int y) {
  image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kBadHandle;
  const std::uint8_t *dib = image->dib;
  reduced_picture picture(dib, 4, "dither");
  const std::int32_t width = picture.width;
  locked_block expanded(static_cast<std::size_t>(width) * 4 * sizeof(std::int32_t), false);
  locked_block work(static_cast<std::size_t>(size_for_long(width, dib_bit_count(dib))), false);
  if (!picture || !expanded || !work) return kNoMemory;
  auto *values = reinterpret_cast<std::int32_t *>(expanded.data());
  for (std::int32_t r = 0; r < picture.height; ++r) {
    fetch_color_raster(handle, values, work.data(), dib, r);
    // The matrix row runs on from band to band, so that bands meet without a seam.
    const std::uint8_t *thresholds = bayer_matrix[image->dither_row & 7];
    ++image->dither_row;
    std::uint8_t *out = picture.row(r);
    for (std::int32_t i = 0; i < width; ++i) {
      const std::int32_t *p = values + 4 * i;  // blue, green, red, intensity
      const std::int32_t t = thresholds[i & 7];
      // VGA colour bits: 1 red, 2 green, 4 blue, 8 bright.
      const int colour = (p[2] > t ? 1 : 0) | (p[1] > t ? 2 : 0) | (p[0] > t ? 4 : 0) |
                         (p[3] > t + kBrightMargin ? 8 : 0);
      out[i / 2] |= static_cast<std::uint8_t>((i & 1) ? colour : colour << 4);
    }
  }
  picture.stretch(dc, image, x, y);
  return kOk;
}

namespace {

// Makes the image's logical palette, selects it into `dc` as a foreground palette and realises
// it; the palette `dc` had is given back in `previous`. Null when no palette can be made.
HPALETTE realize_image_palette(const std::uint8_t *dib, HDC dc, HPALETTE *previous) {
  const int bits = dib_bit_count(dib);
  const std::uint32_t count = bits == 1 ? 2 : bits == 4 ? 16 : kMaxColours;
  // A 24-bit image has no table of its own: it is shown through the fixed 3-3-2 one.
  std::uint8_t fixed[kHeaderRecordBytes];
  const std::uint8_t *table = dib + kDibHeaderBytes;
  std::uint32_t have = Palette_Size(dib) / 4;
  if (bits == 24) {
    fill_dib_header(fixed, 1, 1, 8, 0);
    create_dib_palette(fixed, "targa");
    table = fixed + kDibHeaderBytes;
    have = kMaxColours;
  }
  locked_block description(kLogPaletteHeaderBytes + kMaxColours * sizeof(PALETTEENTRY), true);
  if (!description) return nullptr;
  auto *logical = reinterpret_cast<LOGPALETTE *>(description.data());
  logical->palVersion = kPaletteVersion;
  logical->palNumEntries = static_cast<WORD>(count);
  PALETTEENTRY *entries = logical->palPalEntry;
  // The table stores blue, green, red; entries past a short table stay black.
  for (std::uint32_t i = 0; i < count && i < have; ++i) {
    entries[i].peRed = table[4 * i + 2];
    entries[i].peGreen = table[4 * i + 1];
    entries[i].peBlue = table[4 * i + 0];
    entries[i].peFlags = 0;
  }
  HPALETTE palette = CreatePalette(logical);
  if (palette == nullptr) return nullptr;
  *previous = SelectPalette(dc, palette, FALSE);
  RealizePalette(dc);
  return palette;
}

// Makes `palette` the image's own. The old one is deleted only now, once the new one is
// selected wherever it is needed: no context is left holding a deleted palette, and an
// operation that fails before this point leaves the image's palette as it was.
void keep_image_palette(image_object *image, HPALETTE palette) {
  if (image->palette != nullptr) DeleteObject(image->palette);
  image->palette = palette;
}

// Paints the locked image into a new bitmap compatible with the active window.
int paint_into_bitmap(image_object *image, int handle, int width, int height, HBITMAP *out) {
  HWND window = GetActiveWindow();
  HDC screen = GetDC(window);
  if (screen == nullptr) return kNoMemory;
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = memory != nullptr ? CreateCompatibleBitmap(screen, width, height) : nullptr;
  int rc = kNoMemory;
  if (bitmap != nullptr) {
    HGDIOBJ old_bitmap = SelectObject(memory, bitmap);
    image->display_x = 0;
    image->display_y = 0;
    image->display_width = width;
    image->display_height = height;
    HPALETTE old_palette = nullptr;
    HPALETTE palette = realize_image_palette(image->dib, memory, &old_palette);
    if (palette != nullptr) {
      rc = paint_image_object_band(memory, handle);
      // The context about to go gives its own palette back; the image keeps the new one.
      SelectPalette(memory, old_palette, FALSE);
      if (rc >= 0)
        keep_image_palette(image, palette);
      else
        DeleteObject(palette);
    }
    SelectObject(memory, old_bitmap);
  }
  if (memory != nullptr) DeleteDC(memory);
  ReleaseDC(window, screen);
  if (rc < 0) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    return rc;
  }
  *out = bitmap;
  return kOk;
}

HBITMAP as_failure(int code) {
  return reinterpret_cast<HBITMAP>(static_cast<std::intptr_t>(code));
}

// Reads the bitmap into a new handle through the screen context (its palette, if any, already
// selected). Every failure gives the half-made handle back.
int read_device_bitmap(HBITMAP bitmap, const BITMAP &description, int bits, HDC screen,
                       std::uint8_t *header) {
  const int handle = get_next_dib();
  if (handle < 0) return handle;
  hdib = handle;
  const std::int32_t row_bytes = size_for_long(description.bmWidth, bits);
  const std::uint32_t rows = static_cast<std::uint32_t>(description.bmHeight);
  // A size past 32 bits wraps here harmlessly: the header callback refuses such an image.
  fill_dib_header(header, description.bmWidth, description.bmHeight, bits,
                  static_cast<std::uint32_t>(row_bytes) * rows);
  auto *info = reinterpret_cast<BITMAPINFO *>(header);
  // Without a bits buffer, GetDIBits only fills the colour table.
  GetDIBits(screen, bitmap, 0, rows, nullptr, info, DIB_RGB_COLORS);
  std::uint8_t *address = nullptr;
  int rc = fill_dib_struct(header, &address);
  image_object *image = live_image(handle);
  if (rc >= 0) {
    // The working header describes the transfer, so that nothing GetDIBits writes into a header
    // can move the new DIB's table or rows under it.
    std::uint8_t *dib = image->dib;
    const int lines = GetDIBits(screen, bitmap, 0, rows,
                                dib + kDibHeaderBytes + Palette_Size(dib), info, DIB_RGB_COLORS);
    rc = lines == 0 ? kGdiError : handle;
  }
  if (rc < 0) {
    delete_image_object(handle);
    return rc;
  }
  unlock_image_dib(image);
  return handle;
}

}  // namespace

}  // namespace pxv

using namespace pxv;

extern "C" {

int PXVAPI IMG_create_handle_ddb(HBITMAP bitmap, HPALETTE palette) {
  BITMAP description{};
  if (bitmap == nullptr || GetObjectA(bitmap, sizeof description, &description) == 0)
    return kGdiError;
  const int bits = dib_bits_for_device(description.bmPlanes * description.bmBitsPixel);
  if (bits == 0 || description.bmWidth < 1 || description.bmHeight < 1) return kGdiError;
  locked_block header(kHeaderRecordBytes + 4, true);
  if (!header) return kNoMemory;
  // A context that cannot be had is GDI's memory running out, like a failed allocation.
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return kNoMemory;
  HPALETTE previous = nullptr;
  if (palette != nullptr) {
    previous = SelectPalette(screen, palette, FALSE);
    RealizePalette(screen);
  }
  const int rc = read_device_bitmap(bitmap, description, bits, screen, header.data());
  if (palette != nullptr) SelectPalette(screen, previous, FALSE);
  ReleaseDC(nullptr, screen);
  return rc;
}

int PXVAPI IMG_bitmap_palette(int handle, HDC dc) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  const std::uint8_t *dib = lock_image_dib(image);
  if (dib == nullptr) return kNoMemory;
  HPALETTE previous = nullptr;
  HPALETTE palette = realize_image_palette(dib, dc, &previous);
  if (palette != nullptr) keep_image_palette(image, palette);
  unlock_image_dib(image);
  return palette != nullptr ? kOk : kNoMemory;
}

int PXVAPI IMG_display_bitmap(int handle, HDC dc, int x, int y, int width, int height) {
  return paint_with_rectangle(handle, dc, x, y, width, height, paint_image_object_band);
}

HBITMAP PXVAPI IMG_dib_to_ddb(int handle, int width, int height) {
  image_object *image = live_image(handle);
  if (image == nullptr) return as_failure(kBadHandle);
  // A device bitmap has at least one pixel each way.
  if (width < 1 || height < 1) return as_failure(kGdiError);
  if (lock_image_dib(image) == nullptr) return as_failure(kNoMemory);
  HBITMAP bitmap = nullptr;
  const int rc = paint_into_bitmap(image, handle, width, height, &bitmap);
  unlock_image_dib(image);
  return rc < 0 ? as_failure(rc) : bitmap;
}

int PXVAPI IMG_display_ddb(HBITMAP bitmap, HDC dc, int x, int y) {
  BITMAP description{};
  if (bitmap == nullptr || GetObjectA(bitmap, sizeof description, &description) == 0)
    return kGdiError;
  HDC memory = CreateCompatibleDC(dc);
  if (memory == nullptr) return kNoMemory;
  HGDIOBJ old = SelectObject(memory, bitmap);
  if (old == nullptr) {
    DeleteDC(memory);
    return kGdiError;
  }
  BitBlt(dc, x, y, description.bmWidth, description.bmHeight, memory, 0, 0, kRopSourceCopy);
  SelectObject(memory, old);
  DeleteDC(memory);
  return kOk;
}

}  // extern "C"
