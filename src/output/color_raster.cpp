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

// What a pixel's value v makes: its bit (v of 128 or more is white and loses 255) and
// Stucki's shares of the error e left, 8e/42, 4e/42, e/21 and e/42, each truncated toward zero.
struct stucki_step {
  std::int8_t a, b, c, d, on;
};
constexpr stucki_step step_of(std::int32_t v) {
  const std::int32_t on = v >= 128 ? 1 : 0;
  const std::int32_t e = v - 255 * on;
  return {static_cast<std::int8_t>(8 * e / 42), static_cast<std::int8_t>(4 * e / 42),
          static_cast<std::int8_t>(e / 21), static_cast<std::int8_t>(e / 42),
          static_cast<std::int8_t>(on)};
}

struct stucki_shares {
  std::int32_t a, b, c, d, on;
};

// The steps of every value from -128 to 383 looked up instead of worked out: a level of 0..255
// plus shares of errors, which lie within -128..127 and add up to at most 42/42 of one, stays
// within them. A value outside (levels of another range) is worked out as it comes.
constexpr int kStepTableLow = -128;
constexpr int kStepTableSize = 512;
struct stucki_table {
  stucki_step of[kStepTableSize];
  constexpr stucki_table() : of{} {
    for (int i = 0; i < kStepTableSize; ++i) of[i] = step_of(i + kStepTableLow);
  }
};
constexpr stucki_table kStuckiSteps;

// One row of the diffusion in direction `dir`. The shares for the pixels ahead on this row and
// on the next two are carried in registers and each value is written once, when no later pixel
// adds to it; every value ends as the plain order of additions leaves it (the row's own values
// hold their level plus the shares they received, as the threshold saw them). A byte of bits
// is gathered in a register and or-ed in once.
template <int dir>
void diffuse_stucki_run(std::uint8_t *bits, std::int32_t *now, std::int32_t *next,
                        std::int32_t *after, std::int32_t width) {
  std::int32_t ahead1 = 0, ahead2 = 0;       // for now[x], now[x + dir]
  std::int32_t n0 = 0, n1 = 0, n2 = 0, n3 = 0;  // for next[x - 2dir .. x + dir]
  std::int32_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;  // for after[x - 2dir .. x + dir]
  std::uint32_t byte = 0;                       // bits of the byte holding x so far
  std::int32_t x = dir > 0 ? 0 : width - 1;
  for (std::int32_t k = 0; k < width; ++k, x += dir) {
    const std::int32_t v = now[x] + ahead1;
    now[x] = v;
    const auto index = static_cast<std::uint32_t>(v - kStepTableLow);
    // The table's bytes hold the shares of its range only; past it they are worked out in full.
    stucki_shares s;
    if (index < kStepTableSize) {
      const stucki_step &t = kStuckiSteps.of[index];
      s = {t.a, t.b, t.c, t.d, t.on};
    } else {
      s.on = v >= 128 ? 1 : 0;
      const std::int32_t e = v - 255 * s.on;
      s = {8 * e / 42, 4 * e / 42, e / 21, e / 42, s.on};
    }
    byte |= static_cast<std::uint32_t>(s.on) << (7 - (x & 7));
    if ((x & 7) == (dir > 0 ? 7 : 0)) {
      bits[x >> 3] = static_cast<std::uint8_t>(bits[x >> 3] | byte);
      byte = 0;
    }
    ahead1 = ahead2 + s.a;
    ahead2 = s.b;
    next[x - 2 * dir] += n0 + s.c;
    n0 = n1 + s.b, n1 = n2 + s.a, n2 = n3 + s.b, n3 = s.c;
    after[x - 2 * dir] += a0 + s.d;
    a0 = a1 + s.c, a1 = a2 + s.b, a2 = a3 + s.c, a3 = s.d;
  }
  // x is one past the last pixel now: what is still carried lands beyond it.
  if (byte != 0) bits[(x - dir) >> 3] = static_cast<std::uint8_t>(bits[(x - dir) >> 3] | byte);
  now[x] += ahead1;
  now[x + dir] += ahead2;
  next[x - 2 * dir] += n0, next[x - dir] += n1, next[x] += n2, next[x + dir] += n3;
  after[x - 2 * dir] += a0, after[x - dir] += a1, after[x] += a2, after[x + dir] += a3;
}

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

void diffuse_stucki_row(std::uint8_t *bits, std::int32_t *now, std::int32_t *next,
                        std::int32_t *after, std::int32_t width, int row) {
  if (width <= 0) return;
  if ((row & 1) == 0)
    diffuse_stucki_run<1>(bits, now, next, after, width);
  else
    diffuse_stucki_run<-1>(bits, now, next, after, width);
}

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
