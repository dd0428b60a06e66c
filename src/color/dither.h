// Colour reduction and dithering: the row kernels behind the colour exports, declared for the
// tests, which set each one beside a plain transcription of its rule.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "pxvlib10.h"

namespace pxv {

struct image_object;

// ---------------------------------------------------------------------------------------------
// The conversion frame: every operation that replaces a handle's DIB by one of the same size
// and another bit count runs it. The bit count is checked before anything is taken; every block
// is taken before the first row, so that a failure leaves the handle as it was; the new header
// and (unless the operation writes its own) colour table come before the rows; the rows are
// produced in stored order, each reported; then a saved palette goes with the old DIB and the
// new DIB is put under the handle.

// Which working rows an operation needs.
enum class work_rows { none, expanded, gray, colour_pair, gray_triple };

struct conversion_frame {
  int handle;
  image_object *image;
  const std::uint8_t *header;  // the old DIB, locked
  std::int32_t width, height;
  std::uint8_t *source;        // a stored row of the old DIB, with its 10 bytes more
  std::int32_t *work;          // the working rows, zeroed; null when the operation has none
  std::uint8_t *output;        // one output row, zeroed, so its padding stays 0
  std::int32_t out_row_bytes;
  HGLOBAL new_block;
  std::uint8_t *new_dib;       // locked
  PXV_PROGRESS_PROC progress;
  LONG user;
  const PALETTEENTRY *host;
};

struct conversion {
  bool palette_sources;  // 4- and 8-bit images are taken besides 24-bit ones
  int new_bits;
  work_rows rows;
  // The create_dib_palette kind of the new table, or null when `produce` writes the table.
  const char *table_kind;
  bool host_palette;  // the operation reads the host's colours
  void (*produce)(conversion_frame *f);
};

// Runs conversion `c` on the handle: 0, or -7, -6 (bit count not taken, or a host palette
// missing), -1 (a block that cannot be had).
int run_conversion(int handle, const conversion &c, PXV_PROGRESS_PROC progress, LONG user,
                   const PALETTEENTRY *host);
// Stores the frame's output row as stored row r of the new DIB and reports it.
void emit_row(conversion_frame *f, std::int32_t r);

// Colour keys: the top four bits of red, green and blue as one 12-bit number (red highest).
constexpr int kColourKeys = 4096;
constexpr int kKeyTableEntries = 256;
inline std::uint32_t colour_key(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  return (red & 0xF0) * 16 + (green & 0xF0) + blue / 16;
}

// The halftone ordered-dither matrix: the multiples of 4 from 0 to 252, each once, clustered
// so that a gray prints as dots that grow with it rather than as a scatter. The pixel in column
// x of stored row r meets halftone_matrix[x mod 8][r mod 8], as with bayer_matrix.
extern const std::uint8_t halftone_matrix[8][8];

// The working rows of the two-row colour diffusions: each row is 4 x width + kColourRowExtra
// integers, its first pixel kColourMargin integers into the row's space, so that the kernels
// may spread into two pixel records on either side without a bounds test.
constexpr int kColourMargin = 8;
constexpr int kColourRowExtra = 16;
// The three-row mono diffusion: width + kGrayRowExtra values a row, the first pixel
// kGrayMargin values in.
constexpr int kGrayMargin = 2;
constexpr int kGrayRowExtra = 4;

// Stored row `row` as (30 r + 59 g + 11 b) / 100 per pixel; past the last row it writes
// nothing, so the destination keeps what it held.
void fetch_gray_raster(int handle, std::int32_t *dest, std::uint8_t *work,
                       const std::uint8_t *header, int row);

// The popularity histogram of the handle's locked 24-bit DIB: one counter per colour key,
// cleared first. 0, or -7 when the handle holds no locked 24-bit DIB.
int perform_dib_hist(int handle, std::uint32_t *counters);
// The 256 keys of the palette: key 0 first, then the most frequent keys, a tie going to the
// higher key, and key 4095 for every entry after the counts run out. Zeroes the counters it
// takes.
void sort_colors(std::uint32_t *counters, std::uint32_t *keys);

// The index of a key table's entry nearest to each 12-bit key, found once per key: the search
// depends on the key alone, so an image of millions of pixels makes at most 4096 searches.
struct key_lookup {
  std::int16_t closest[kColourKeys];    // -1 until searched
  // The entries' red, green and blue nibbles, apart, so that a search takes eight entries a step.
  alignas(16) std::int16_t nibbles[3][kKeyTableEntries];
};
void reset_key_lookup(key_lookup *lookup, const std::uint32_t *keys);
// One index per pixel of a stored 24-bit row: the first entry at the smallest squared distance
// between the top nibbles of pixel and entry.
void find_closest_pixel(const std::uint8_t *row, std::uint8_t *dest, key_lookup *lookup,
                        std::int32_t width);

// One row of the 3-3-2 diffusion: `rows` is the current working row, the next one follows
// `row_length` (4 x width + 16) integers later; `table` the new colour table.
void dither_color_raster8(std::uint8_t *dest, std::int32_t *rows, std::int32_t row_length,
                          int row, const std::uint8_t *table);
// One row of the 16-colour diffusion, into a packed 4-bit row (same working rows).
void dither_color_raster(std::uint8_t *dest, std::int32_t *rows, std::int32_t row_length,
                         int row, const std::uint8_t *table);
// One row of the mono diffusion into a cleared 1-bit row: `rows` is the current gray row,
// next and after-next follow at `row_length` (width + 4) values each.
void dither_raster(std::uint8_t *dest, std::int32_t *rows, std::int32_t row_length, int row);

}  // namespace pxv
