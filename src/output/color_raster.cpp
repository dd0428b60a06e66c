// The colour row fetch and is_color. Both read colour-table entries only within the table the
// header declares: a pixel index beyond a short table (an 8-bit image with biClrUsed 16 whose
// rows hold index 200) reads as black instead of reaching the pixel rows behind the table.
#include "output/color_raster.h"

#include <cstring>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

const std::uint8_t bayer_matrix[8][8] = {
    {4, 128, 32, 160, 8, 136, 40, 168},    {192, 64, 224, 96, 200, 72, 232, 104},
    {48, 176, 16, 144, 56, 184, 24, 152},  {240, 112, 208, 80, 248, 120, 216, 88},
    {12, 140, 44, 172, 4, 132, 36, 164},   {204, 76, 236, 108, 196, 68, 228, 100},
    {60, 188, 28, 156, 52, 180, 20, 148},  {252, 124, 220, 92, 244, 116, 212, 84},
};

namespace {

constexpr int kIntensityOffset = 40;

// Blue, green, red and intensity of one pixel; `lower` applies the 8- and 24-bit offset.
inline void put_pixel(std::int32_t *out, std::uint32_t b, std::uint32_t g, std::uint32_t r,
                      bool lower) {
  std::int32_t s = static_cast<std::int32_t>((75 * g + 38 * r + 14 * b) >> 7);
  if (lower) s = s > kIntensityOffset ? s - kIntensityOffset : 0;
  out[0] = static_cast<std::int32_t>(b);
  out[1] = static_cast<std::int32_t>(g);
  out[2] = static_cast<std::int32_t>(r);
  out[3] = s;
}

inline void put_entry(std::int32_t *out, const std::uint8_t *table, std::uint32_t entries,
                      std::uint32_t index, bool lower) {
  if (index >= entries) {
    put_pixel(out, 0, 0, 0, lower);
    return;
  }
  const std::uint8_t *e = table + 4 * index;
  put_pixel(out, e[0], e[1], e[2], lower);
}

void expand_row(std::int32_t *expanded, const std::uint8_t *row, const std::uint8_t *header) {
  const int bits = dib_bit_count(header);
  const std::int32_t width = dib_width(header);
  const std::uint8_t *table = header + kDibHeaderBytes;
  const std::uint32_t entries = Palette_Size(header) / 4;
  switch (bits) {
    case 4:
      for (std::int32_t x = 0; x < width; ++x) {
        std::uint8_t byte = row[x / 2];
        std::uint32_t index = (x & 1) ? (byte & 0x0Fu) : (byte >> 4);
        put_entry(expanded + 4 * x, table, entries, index, false);
      }
      break;
    case 8:
      for (std::int32_t x = 0; x < width; ++x)
        put_entry(expanded + 4 * x, table, entries, row[x], true);
      break;
    case 24:
      for (std::int32_t x = 0; x < width; ++x) {
        const std::uint8_t *p = row + 3 * x;
        put_pixel(expanded + 4 * x, p[0], p[1], p[2], true);
      }
      break;
    default:
      break;  // 1-bit rows are not expanded: their users dither from gray instead.
  }
}

}  // namespace

void fetch_color_raster(int /*handle*/, std::int32_t *expanded, std::uint8_t *work,
                        const std::uint8_t *header, int row) {
  if (header == nullptr || !dib_header_holdable(header)) return;
  const std::int32_t height = dib_height(header);
  if (row > height - 1) row = height - 1;
  if (row < 0) row = 0;
  const std::int32_t row_bytes = size_for_long(dib_width(header), dib_bit_count(header));
  if (row_bytes < 0) return;
  const std::uint8_t *base = header + kDibHeaderBytes + Palette_Size(header);
  get_dib_raster(base, work, row, row_bytes);
  expand_row(expanded, work, header);
}

void fetch_color_raster_fd(std::int32_t *expanded, const std::uint8_t *packed,
                           const std::uint8_t *header, int /*row*/) {
  if (header == nullptr || packed == nullptr || !dib_header_holdable(header)) return;
  expand_row(expanded, packed, header);
}

int is_color(int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr) return 0;
  // The DIB may already be locked by the caller; a lock of our own keeps the count balanced.
  auto *dib = static_cast<const std::uint8_t *>(GlobalLock(image->dib_handle));
  if (dib == nullptr) return 0;
  int result = 0;
  const int bits = dib_bit_count(dib);
  if (bits == 24) {
    result = 1;
  } else if (bits == 1 || bits == 4 || bits == 8) {
    const std::uint32_t entries = Palette_Size(dib) / 4;
    std::uint32_t n = 1u << bits;
    if (n > entries) n = entries;
    const std::uint8_t *table = dib + kDibHeaderBytes;
    for (std::uint32_t i = 0; i < n && result == 0; ++i) {
      const std::uint8_t *e = table + 4 * i;
      if (e[0] != e[1] || e[1] != e[2]) result = 1;
    }
  }
  GlobalUnlock(image->dib_handle);
  return result;
}

}  // namespace pxv
