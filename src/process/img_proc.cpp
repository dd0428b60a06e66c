// Image processing: mirroring, quarter and half turns, nearest-neighbour resizing, contrast and
// brightness, gamma, inversion, sharpening and the undithered 24-to-8 reduction, on handles and
// on BMP files.
//
// Every handle operation locks the DIB, takes every block it needs before it changes a byte, and
// unlocks before it returns; a failure (-1) gives back what it took and leaves the DIB, the record
// and the crop rectangle as they were. Operations that change the size build a complete new DIB
// and put it under the same handle; a saved palette stays with the handle, since the colours have
// not changed. Mirrors and half turns work in place through one work row. A quarter turn is a
// transposition followed by a mirror, both made in one pass into the new DIB, so the mirror has
// no failure of its own that could leave the image transposed.
//
// Arithmetic that hosts have always been given is kept: resizing steps in 8 fraction bits,
// rounded down (worked out in 64 bits, since an old width times 256 wraps 32 bits past 16M
// pixels); contrast and brightness in unsigned 32-bit arithmetic read back as signed; the gamma
// table in double precision with the standard power function.
//
// Input policy:
// - A new width or height below 1 is -6, before anything is read or taken. A contrast below -128
//   acts as -128 (the factor would turn negative); a gamma that is not a positive finite number
//   is -6, the file untouched.
// - The file variants read their input through read_bmp_input: compressed or top-down files and
//   bit counts outside 1, 4, 8 and 24 are -6, as are the bit counts an operation does not take
//   (1 bit for the tone variants, anything but 24 for IMG_24_to_8_fd); the tone variants, which
//   write the colour table back behind a 40-byte header, take only that header (else -6), while
//   mirroring, resizing and the 24-to-8 reduction take any Windows info header of 40 bytes or
//   more. A data offset too small for the headers and table, or sizes past 32-bit file positions,
//   are -3; a header block cut short is 0 with nothing written; a cut write is -10. Rows a
//   truncated file does not hold read as zeros; the in-place variants write back only the bytes a
//   row read returned, so a file never changes its size.
#include "process/img_proc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "color/dither.h"
#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "core/transpose8.h"
#include "formats/bmp_input.h"
#include "output/color_raster.h"

namespace pxv {

namespace {

// A locked DIB's geometry, read once from its header.
struct dib_view {
  std::uint8_t *dib;
  std::int32_t width, height, row_bytes;
  int bits;
  std::uint32_t table_bytes;
  std::uint8_t *pixels;  // stored row 0
};

dib_view view_of(std::uint8_t *dib) {
  dib_view v{};
  v.dib = dib;
  v.width = dib_width(dib);
  v.height = dib_height(dib);
  v.bits = dib_bit_count(dib);
  v.row_bytes = size_for_long(v.width, v.bits);
  v.table_bytes = Palette_Size(dib);
  v.pixels = dib + kDibHeaderBytes + v.table_bytes;
  return v;
}

std::uint8_t *row_at(const dib_view &v, std::int32_t r) {
  return v.pixels + static_cast<std::ptrdiff_t>(r) * v.row_bytes;
}

// Locks the DIB of a live handle: 0, or -7 for a dead handle, -1 when the block cannot be
// locked, -6 (unlocked again) for a DIB this library cannot hold.
int open_image(int handle, image_object **image, dib_view *view) {
  *image = live_image(handle);
  if (*image == nullptr) return kBadHandle;
  std::uint8_t *dib = lock_image_dib(*image);
  if (dib == nullptr) return kNoMemory;
  if (!dib_header_holdable(dib)) {
    unlock_image_dib(*image);
    return kUnsupported;
  }
  *view = view_of(dib);
  return kOk;
}

// Where a rectangle of `extent` starting at `start` begins once an axis of `size` is reversed.
// Crop rectangles are the host's and unchecked, so the sum wraps rather than overflows.
std::int32_t mirrored_start(std::int32_t size, std::int32_t start, std::int32_t extent) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(size) -
                                   (static_cast<std::uint32_t>(start) + static_cast<std::uint32_t>(extent)));
}

void report(PXV_PROGRESS_PROC progress, LONG user, std::int32_t total, std::int32_t row) {
  if (progress != nullptr) progress(user, total, row);
}

using row_mirror = void (*)(std::uint8_t *, const std::uint8_t *, std::int32_t);

row_mirror mirror_for(int bits) {
  switch (bits) {
    case 1: return flip_1bit;
    case 4: return flip_4bit;
    case 8: return flip_8bit;
    default: return flip_24bit;
  }
}

// Bit and nibble access, most significant first as DIB rows pack them.
inline std::uint32_t get_bit(const std::uint8_t *row, std::uint64_t x) { return (row[x / 8] >> (7 - x % 8)) & 1u; }
inline void or_bit(std::uint8_t *row, std::uint64_t x, std::uint32_t bit) {
  row[x / 8] |= static_cast<std::uint8_t>(bit << (7 - x % 8));
}
inline std::uint32_t get_nibble(const std::uint8_t *row, std::uint64_t x) {
  return (x & 1) ? row[x / 2] & 0x0Fu : row[x / 2] >> 4;
}
inline void or_nibble(std::uint8_t *row, std::uint64_t x, std::uint32_t nibble) {
  row[x / 2] |= static_cast<std::uint8_t>((x & 1) ? nibble : nibble << 4);
}

// The rules of the file variants' inputs.
constexpr bmp_input_rules kGeometryInput = {kAnyBitCount, true};
constexpr bmp_input_rules kToneInput = {kPaletteBitCounts | bit_count_flag(24), false};
constexpr bmp_input_rules kTrueColourInput = {bit_count_flag(24), true};

// The row buffers of a file-to-file operation: one input row, one output row. Both or neither:
// false when either cannot be had.
struct row_pair {
  std::uint8_t *input, *output;
};

void free_row_pair(row_pair *rows) {
  img_ffree(rows->input);
  img_ffree(rows->output);
}

bool take_row_pair(row_pair *rows, std::int32_t input_bytes, std::int32_t output_bytes) {
  rows->input = static_cast<std::uint8_t *>(take_work_block(std::uint64_t(input_bytes)));
  rows->output = static_cast<std::uint8_t *>(take_work_block(std::uint64_t(output_bytes)));
  if (rows->input != nullptr && rows->output != nullptr) return true;
  free_row_pair(rows);
  return false;
}

// A position in a file whose size read_bmp_input or the caller has kept within 2^31 bytes.
std::int32_t file_at(std::uint64_t at) { return static_cast<std::int32_t>(at); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Mirroring. The kernels move several pixels a step and write whole bytes: a mirrored row fills
// the first bytes of `dest`, and the bits or nibble past its last pixel are 0 whatever the
// source's padding held.

namespace {

inline std::uint64_t reverse_bytes(std::uint64_t v) {
  v = ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
  v = ((v & 0x0000FFFF0000FFFFull) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFull);
  return (v << 32) | (v >> 32);
}

// Words of a row in little-endian order: byte k of the row is bits 8k to 8k + 7 of the word.
inline std::uint64_t load_le64(const std::uint8_t *p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = reverse_bytes(v);
  return v;
}

inline void store_le64(std::uint8_t *p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = reverse_bytes(v);
  std::memcpy(p, &v, sizeof v);
}

// Each byte turned over: its bits for 1-bit rows, its two nibbles for 4-bit rows.
constexpr auto kTurnedBits = [] {
  std::array<std::uint8_t, 256> t{};
  for (int v = 0; v < 256; ++v)
    for (int b = 0; b < 8; ++b) t[v] = static_cast<std::uint8_t>(t[v] | (((v >> b) & 1) << (7 - b)));
  return t;
}();
constexpr auto kTurnedNibbles = [] {
  std::array<std::uint8_t, 256> t{};
  for (int v = 0; v < 256; ++v) t[v] = static_cast<std::uint8_t>((v << 4) | (v >> 4));
  return t;
}();

// The source's bytes from the last, each turned over, are the mirrored row moved on by the
// padding bits of the source's last byte: shifting them back drops that padding.
void flip_packed(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width, int bits,
                 const std::array<std::uint8_t, 256> &turned) {
  const std::int64_t used = (std::int64_t(width) * bits + 7) / 8;
  const int pad = static_cast<int>(used * 8 - std::int64_t(width) * bits);
  const std::uint8_t *last = src + used - 1;
  if (pad == 0) {
    for (std::int64_t k = 0; k < used; ++k) dest[k] = turned[last[-k]];
    return;
  }
  for (std::int64_t k = 0; k + 1 < used; ++k)
    dest[k] = static_cast<std::uint8_t>((turned[last[-k]] << pad) | (turned[last[-k - 1]] >> (8 - pad)));
  dest[used - 1] = static_cast<std::uint8_t>(turned[src[0]] << pad);
}

}  // namespace

void flip_1bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width) {
  flip_packed(dest, src, width, 1, kTurnedBits);
}

void flip_4bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width) {
  flip_packed(dest, src, width, 4, kTurnedNibbles);
}

#if defined(__SSE2__)
namespace {

// The 16 bytes of a vector in reverse order: its words reversed, then the two bytes of each.
inline __m128i reverse_vector(__m128i v) {
  v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
  v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// Bytes at positions p of a 48-byte block with p mod 3 == m, for each of its three vectors.
constexpr auto kThirds = [] {
  std::array<std::array<std::array<std::uint8_t, 16>, 3>, 3> t{};
  for (int m = 0; m < 3; ++m)
    for (int k = 0; k < 3; ++k)
      for (int b = 0; b < 16; ++b) t[m][k][b] = (16 * k + b) % 3 == m ? 0xFF : 0;
  return t;
}();

inline __m128i third(int m, int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(kThirds[m][k].data())); }

// Sixteen 24-bit pixels mirrored: the block's 48 bytes reversed put the pixels in place with
// their channels reversed, and the first and third byte of each pixel then change places.
void flip_24bit_block(std::uint8_t *dest, const std::uint8_t *src) {
  __m128i o[3];
  for (int k = 0; k < 3; ++k) o[k] = reverse_vector(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * (2 - k))));
  const __m128i zero = _mm_setzero_si128();
  for (int k = 0; k < 3; ++k) {
    const __m128i before = k > 0 ? o[k - 1] : zero, after = k < 2 ? o[k + 1] : zero;
    const __m128i ahead = _mm_or_si128(_mm_srli_si128(o[k], 2), _mm_slli_si128(after, 14));
    const __m128i behind = _mm_or_si128(_mm_slli_si128(o[k], 2), _mm_srli_si128(before, 14));
    const __m128i v = _mm_or_si128(_mm_or_si128(_mm_and_si128(ahead, third(0, k)), _mm_and_si128(o[k], third(1, k))),
                                   _mm_and_si128(behind, third(2, k)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + 16 * k), v);
  }
}

}  // namespace
#endif

void flip_8bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width) {
  std::int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    std::uint64_t v;
    std::memcpy(&v, src + width - 8 - x, sizeof v);
    v = reverse_bytes(v);
    std::memcpy(dest + x, &v, sizeof v);
  }
  for (; x < width; ++x) dest[x] = src[width - 1 - x];
}

void flip_24bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width) {
  // Whole pixels move, so blue, green and red keep their order: sixteen at a time where the
  // machine has vectors, then four (12 bytes) at a time, then one.
  auto from = [&](std::int32_t x, std::int32_t n) { return src + 3 * std::ptrdiff_t(width - n - x); };
  std::int32_t x = 0;
#if defined(__SSE2__)
  for (; x + 16 <= width; x += 16) flip_24bit_block(dest + 3 * std::ptrdiff_t(x), from(x, 16));
#endif
  constexpr std::uint64_t kPixel = 0xFFFFFF;
  for (; x + 4 <= width; x += 4) {
    const std::uint8_t *s = from(x, 4);
    const std::uint64_t lo = load_le64(s), hi = get_le32(s + 8);
    const std::uint64_t p0 = lo & kPixel, p1 = (lo >> 24) & kPixel, p2 = ((lo >> 48) | (hi << 16)) & kPixel;
    const std::uint64_t p3 = hi >> 8;
    std::uint8_t *d = dest + 3 * std::ptrdiff_t(x);
    store_le64(d, p3 | (p2 << 24) | (p1 << 48));
    put_le32(d + 8, static_cast<std::uint32_t>((p1 >> 16) | (p0 << 8)));
  }
  for (; x < width; ++x) std::memcpy(dest + 3 * std::ptrdiff_t(x), from(x, 1), 3);
}

// ---------------------------------------------------------------------------------------------
// Quarter turns: a transposition of the stored pixel array, then a mirror. The transposition
// goes tile by tile straight from the old DIB into the new one, so that the rows it reads and
// the rows it writes both stay in cache whatever the image's size, and each byte of the new DIB
// is written once.

namespace {

// Pixels on a side of a tile; a multiple of 8, so that 1- and 4-bit tiles start on bytes and
// 24-bit tiles take whole groups of eight rows.
constexpr std::int32_t kTurnTile = 64, kTurnTile24 = 128;

// The tiles of `side` pixels, a band of new rows at a time.
template <class Tile>
void each_tile(std::int32_t width, std::int32_t height, std::int32_t side, Tile tile) {
  for (std::int32_t j = 0; j < width; j += side)
    for (std::int32_t i = 0; i < height; i += side) tile(j, std::min(j + side, width), i, std::min(i + side, height));
}

// An 8 x 8 bit matrix, row k in byte 7 - k (most significant first), each row's first pixel in
// its most significant bit, transposed by exchanging ever larger blocks across the diagonal.
std::uint64_t transpose_bits8x8(std::uint64_t x) {
  std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  return x ^ t ^ (t << 28);
}

#if defined(__SSE2__)
// Eight rows of eight bytes into eight columns, by interleaving bytes, then pairs, then fours.
void transpose_bytes8x8(const std::uint8_t *src, std::ptrdiff_t src_stride, std::uint8_t *dest,
                        std::ptrdiff_t dest_stride) {
  __m128i c[4];
  transpose_bytes_8x8(src, src_stride, c);
  for (int k = 0; k < 4; ++k) {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dest + 2 * k * dest_stride), c[k]);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dest + (2 * k + 1) * dest_stride), _mm_unpackhi_epi64(c[k], c[k]));
  }
}
constexpr bool kByteBlocks = true;
#else
constexpr bool kByteBlocks = false;
#endif

}  // namespace

void transpose_pixels(const std::uint8_t *src, std::ptrdiff_t src_stride, std::uint8_t *dest,
                      std::ptrdiff_t dest_stride, std::int32_t width, std::int32_t height, int bits) {
  auto in = [&](std::int32_t i) { return src + i * src_stride; };
  auto out = [&](std::int32_t j) { return dest + j * dest_stride; };
  switch (bits) {
    case 1:
      // 8 x 8 pixel blocks: a byte from each of eight rows, the block transposed in a word, a byte
      // into each of eight new rows. Rows past the last read as 0, which is the new rows' padding.
      each_tile(width, height, kTurnTile, [&](std::int32_t j0, std::int32_t j1, std::int32_t i0, std::int32_t i1) {
        for (std::int32_t j = j0; j < j1; j += 8)
          for (std::int32_t i = i0; i < i1; i += 8) {
            std::uint64_t x = 0;
            for (int k = 0; k < 8 && i + k < height; ++k) x |= std::uint64_t(in(i + k)[j / 8]) << (56 - 8 * k);
            x = transpose_bits8x8(x);
            for (int m = 0; m < 8 && j + m < width; ++m) out(j + m)[i / 8] = static_cast<std::uint8_t>(x >> (56 - 8 * m));
          }
      });
      break;
    case 4:
      each_tile(width, height, kTurnTile, [&](std::int32_t j0, std::int32_t j1, std::int32_t i0, std::int32_t i1) {
        for (std::int32_t j = j0; j < j1; ++j) {
          std::uint8_t *d = out(j);
          for (std::int32_t i = i0; i < i1; ++i) {
            const std::uint32_t n = get_nibble(in(i), std::uint64_t(j));
            d[i / 2] = static_cast<std::uint8_t>((i & 1) ? d[i / 2] | n : n << 4);
          }
        }
      });
      break;
    case 8:
      each_tile(width, height, kTurnTile, [&](std::int32_t j0, std::int32_t j1, std::int32_t i0, std::int32_t i1) {
        // Whole 8 x 8 blocks where the machine has them, then pixel by pixel along the edges.
        const std::int32_t jb = kByteBlocks ? j0 + ((j1 - j0) & ~7) : j0;
        const std::int32_t ib = kByteBlocks ? i0 + ((i1 - i0) & ~7) : i0;
#if defined(__SSE2__)
        for (std::int32_t j = j0; j < jb; j += 8)
          for (std::int32_t i = i0; i < ib; i += 8) transpose_bytes8x8(in(i) + j, src_stride, out(j) + i, dest_stride);
#endif
        auto pixels = [&](std::int32_t ja, std::int32_t jz, std::int32_t ia, std::int32_t iz) {
          for (std::int32_t j = ja; j < jz; ++j)
            for (std::int32_t i = ia; i < iz; ++i) out(j)[i] = in(i)[j];
        };
        pixels(jb, j1, i0, i1);
        pixels(j0, jb, ib, i1);
      });
      break;
    default:
      // Eight source rows at a time: column j of the eight makes 24 bytes of new row j, written
      // as three words, so that each store into the scattered new rows carries eight pixels.
      // Rows left at a tile's end go a pixel at a time.
      each_tile(width, height, kTurnTile24, [&](std::int32_t j0, std::int32_t j1, std::int32_t i0, std::int32_t i1) {
        std::int32_t i = i0;
        for (; i + 8 <= i1; i += 8)
          for (std::int32_t j = j0; j < j1; ++j) {
            const std::uint8_t *s = in(i) + 3 * std::ptrdiff_t(j);
            std::uint64_t p[8];
            // A pixel read as four bytes, the fourth the next pixel's, but in the last column.
            if (j + 1 < width)
              for (int k = 0; k < 8; ++k) p[k] = get_le32(s + k * src_stride) & 0xFFFFFF;
            else
              for (int k = 0; k < 8; ++k, s += src_stride) p[k] = s[0] | (s[1] << 8) | (s[2] << 16);
            std::uint8_t *d = out(j) + 3 * std::ptrdiff_t(i);
            store_le64(d, p[0] | p[1] << 24 | p[2] << 48);
            store_le64(d + 8, p[2] >> 16 | p[3] << 8 | p[4] << 32 | p[5] << 56);
            store_le64(d + 16, p[5] >> 8 | p[6] << 16 | p[7] << 40);
          }
        for (; i < i1; ++i)
          for (std::int32_t j = j0; j < j1; ++j) std::memcpy(out(j) + 3 * std::ptrdiff_t(i), in(i) + 3 * std::ptrdiff_t(j), 3);
      });
      break;
  }
}

namespace {

enum class quarter { none, clockwise, counter_clockwise };

// The crop rectangle goes with the pixels: its axes exchange, and since a transposition of
// stored (bottom-up) rows reverses both axes as the image is seen, both are mirrored.
void transpose_crop(image_object *image) {
  std::swap(image->crop_x, image->crop_y);
  std::swap(image->crop_width, image->crop_height);
  image->display_width = image->crop_width;
  image->display_height = image->crop_height;
  image->crop_x = mirrored_start(image->width, image->crop_x, image->crop_width);
  image->crop_y = mirrored_start(image->height, image->crop_y, image->crop_height);
}

// The transposition: pixel (x, r) becomes (r, x) in stored coordinates, under the same handle.
// A turn by a quarter also makes the mirror that follows it, by where the rows are written
// (clockwise: new row k is old column W - 1 - k) or read (counter-clockwise: new pixel i is old
// row H - 1 - i). The new block is all it takes, before the first row, so a failure leaves the
// image as it was.
int transpose_image(image_object *image, const dib_view &old, quarter turn) {
  const std::int32_t new_row_bytes = size_for_long(old.height, old.bits);
  const std::uint64_t pixel_bytes = std::uint64_t(new_row_bytes) * std::uint64_t(old.width);
  std::uint8_t *dib = nullptr;
  HGLOBAL block = new_row_bytes < 0 ? nullptr : new_dib_block(kDibHeaderBytes + old.table_bytes + pixel_bytes, &dib);
  if (block == nullptr) {
    unlock_image_dib(image);
    return kNoMemory;
  }
  std::memcpy(dib, old.dib, kDibHeaderBytes + old.table_bytes);
  set_dib_width(dib, old.height);
  set_dib_height(dib, old.width);
  put_le32(dib + kBiSizeImage, static_cast<std::uint32_t>(pixel_bytes));
  const dib_view out = view_of(dib);
  const std::uint8_t *src = old.pixels;
  std::ptrdiff_t src_stride = old.row_bytes, dest_stride = out.row_bytes;
  std::uint8_t *dest = out.pixels;
  if (turn == quarter::clockwise) {
    dest = row_at(out, out.height - 1);
    dest_stride = -dest_stride;
  } else if (turn == quarter::counter_clockwise) {
    src = row_at(old, old.height - 1);
    src_stride = -src_stride;
  }
  transpose_pixels(src, src_stride, dest, dest_stride, old.width, old.height, old.bits);
  // The transposition writes the pixels' bytes; the padding after them is 0.
  const std::size_t used = static_cast<std::size_t>((std::uint64_t(static_cast<std::uint32_t>(old.height)) * static_cast<std::uint32_t>(old.bits) + 7) / 8);
  for (std::int32_t j = 0; j < out.height; ++j) std::memset(row_at(out, j) + used, 0, static_cast<std::size_t>(out.row_bytes) - used);
  replace_image_dib(image, block, dib);
  transpose_crop(image);
  if (turn == quarter::clockwise) image->crop_y = mirrored_start(image->height, image->crop_y, image->crop_height);
  if (turn == quarter::counter_clockwise) image->crop_x = mirrored_start(image->width, image->crop_x, image->crop_width);
  return kOk;
}

// One mirrored row into `dest` with the padding after its pixels cleared, as a mirror leaves
// every row.
void mirror_row(row_mirror mirror, std::uint8_t *dest, const std::uint8_t *src, const dib_view &v) {
  mirror(dest, src, v.width);
  const std::size_t used = static_cast<std::size_t>((std::uint64_t(static_cast<std::uint32_t>(v.width)) * static_cast<std::uint32_t>(v.bits) + 7) / 8);
  std::memset(dest + used, 0, static_cast<std::size_t>(v.row_bytes) - used);
}

// Mirrors in place through one work row: left to right row by row, top to bottom by exchanging
// rows from both ends, each pass reporting its rows. A half turn is both; without a callback to
// report to, it takes each pair of rows once, mirrored and exchanged in one go. The work row is
// taken before either pass starts, so that a half turn fails whole or not at all.
// Exchanges two rows 16 bytes at a time, each byte read once and written once, without passing
// through a third buffer.
void swap_rows(std::uint8_t *a, std::uint8_t *b, std::size_t bytes) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= bytes; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(a + i), y);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(b + i), x);
  }
#endif
  for (; i < bytes; ++i) std::swap(a[i], b[i]);
}

int mirror_image(int handle, bool across, bool down, PXV_PROGRESS_PROC progress, LONG user) {
  image_object *image;
  dib_view v;
  const int rc = open_image(handle, &image, &v);
  if (rc < 0) return rc;
  auto *work = static_cast<std::uint8_t *>(take_work_block(std::uint64_t(v.row_bytes)));
  if (work == nullptr) {
    unlock_image_dib(image);
    return kNoMemory;
  }
  const std::size_t row_bytes = static_cast<std::size_t>(v.row_bytes);
  const row_mirror mirror = mirror_for(v.bits);
  const std::int32_t last = v.height - 1;
  if (across && down && progress == nullptr) {
    for (std::int32_t r = 0; r <= last - r; ++r) {
      mirror_row(mirror, work, row_at(v, r), v);
      if (r < last - r) mirror_row(mirror, row_at(v, r), row_at(v, last - r), v);
      std::memcpy(row_at(v, last - r), work, row_bytes);
    }
  } else {
    for (std::int32_t r = 0; across && r <= last; ++r) {
      mirror_row(mirror, work, row_at(v, r), v);
      std::memcpy(row_at(v, r), work, row_bytes);
      report(progress, user, v.height, r);
    }
    for (std::int32_t r = 0; down && r <= last; ++r) {
      if (r < last - r) swap_rows(row_at(v, r), row_at(v, last - r), row_bytes);
      report(progress, user, v.height, r);
    }
  }
  img_ffree(work);
  if (across) image->crop_x = mirrored_start(v.width, image->crop_x, image->crop_width);
  if (down) image->crop_y = mirrored_start(v.height, image->crop_y, image->crop_height);
  unlock_image_dib(image);
  return kOk;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Resizing by nearest neighbour.

std::uint64_t resize_step(std::int32_t old_size, std::int32_t new_size) {
  return std::uint64_t(static_cast<std::uint32_t>(old_size)) * 256 / static_cast<std::uint32_t>(new_size);
}

// Each scaler walks the source position in steps: after i steps it is i x step, exactly.
void scale_1raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width) {
  std::uint64_t at = 0;
  for (std::int32_t i = 0; i < new_width; ++i, at += step) or_bit(dest, i, get_bit(src, at >> 8));
}

void scale_4raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width) {
  std::uint64_t at = 0;
  for (std::int32_t i = 0; i < new_width; ++i, at += step) or_nibble(dest, i, get_nibble(src, at >> 8));
}

void scale_8raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width) {
  std::uint64_t at = 0;
  for (std::int32_t i = 0; i < new_width; ++i, at += step) dest[i] = src[at >> 8];
}

// A pixel moves as one 4-byte word whose last byte the next pixel overwrites: one load and one
// store instead of three of each. The word read stays inside the row while the source pixel lies
// before the last one sampled, and the word written while a pixel follows; the rest move as 3 bytes.
void scale_24raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width) {
  if (new_width < 1) return;
  const std::uint64_t last_source = (std::uint64_t(static_cast<std::uint32_t>(new_width - 1)) * step) >> 8;
  // The pixels that move as words: those before the first whose source is the last one sampled
  // (the step is 0 only when every pixel samples source pixel 0, the last one), and not the last.
  const std::uint64_t before_last = step == 0 ? 0 : (last_source * 256 + step - 1) / step;
  const std::int32_t words = static_cast<std::int32_t>(std::min<std::uint64_t>(before_last, std::uint64_t(new_width - 1)));
  std::uint64_t at = 0;
  std::int32_t i = 0;
  const auto move_word = [&](std::int32_t k, std::uint64_t from) {
    std::uint32_t pixel;
    std::memcpy(&pixel, src + 3 * (from >> 8), 4);
    std::memcpy(dest + 3 * k, &pixel, 4);
  };
  // Four at a time, the stores in order so each one's stray fourth byte is overwritten next.
  for (; i + 4 <= words; i += 4, at += 4 * step) {
    move_word(i, at);
    move_word(i + 1, at + step);
    move_word(i + 2, at + 2 * step);
    move_word(i + 3, at + 3 * step);
  }
  for (; i < words; ++i, at += step) move_word(i, at);
  for (; i < new_width; ++i, at += step) std::memcpy(dest + 3 * i, src + 3 * (at >> 8), 3);
}

namespace {

using row_scaler = void (*)(const std::uint8_t *, std::uint8_t *, std::uint64_t, std::int32_t);

row_scaler scaler_for(int bits) {
  switch (bits) {
    case 1: return scale_1raster;
    case 4: return scale_4raster;
    case 8: return scale_8raster;
    default: return scale_24raster;
  }
}

// One output row from source row `src`, its padding 0 at every bit count. The OR-ing 1- and
// 4-bit scalers start from a cleared row; the 8- and 24-bit ones write every pixel byte, so only
// the padding after them is cleared and each byte of the row is written once.
void scale_row(const std::uint8_t *src, std::uint8_t *dest, std::int32_t dest_bytes, int bits,
               std::uint64_t step, std::int32_t new_width) {
  const std::int32_t pixel_bytes = bits == 8 ? new_width : bits == 24 ? 3 * new_width : 0;
  std::memset(dest + pixel_bytes, 0, static_cast<std::size_t>(dest_bytes - pixel_bytes));
  scaler_for(bits)(src, dest, step, new_width);
}

std::int32_t sampled_row(std::int32_t j, std::uint64_t step) {
  return static_cast<std::int32_t>(std::uint64_t(static_cast<std::uint32_t>(j)) * step >> 8);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Tone tables.

namespace {

// Below this the contrast factor 256 + 2c turns negative; lower contrasts act as this one.
constexpr std::int32_t kLeastContrast = -128;
constexpr int kToneLevels = 256;

std::uint8_t clamp_level(std::int32_t v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Every byte of `count` through the table. Eight bytes are read as one word and written back as
// one: a byte store between each pair of table reads costs a pass over a large image more than
// the look-ups do, since each store may hold up the reads that follow it.
void map_bytes(std::uint8_t *bytes, std::size_t count, const std::uint8_t *table) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t in;
    std::memcpy(&in, bytes + i, 8);
    std::uint64_t out = 0;
    // Each byte goes back to the place it came from, whatever the byte order.
    for (int k = 0; k < 8; ++k) out |= std::uint64_t(table[(in >> (8 * k)) & 0xFF]) << (8 * k);
    std::memcpy(bytes + i, &out, 8);
  }
  for (; i < count; ++i) bytes[i] = table[bytes[i]];
}

#if defined(__SSE2__)
// The tone of 16 bytes at a time, computed rather than looked up, where the arithmetic fits in 16
// bits: a factor below 65536 keeps (k v) >> 8 within them, and a shift within +-65535 cannot wrap
// the 32-bit sum, so adding or subtracting it with saturation and then keeping at most 255 gives
// the clamp of the table. Returns the bytes it did, a multiple of 16.
std::size_t tone_bytes_sse2(std::uint8_t *bytes, std::size_t count, std::uint32_t factor, std::int64_t shift) {
  if (factor > 0xFFFF || shift < -0xFFFF || shift > 0xFFFF) return 0;
  const __m128i k = _mm_set1_epi16(static_cast<short>(factor));
  const __m128i add = _mm_set1_epi16(static_cast<short>(shift > 0 ? shift : 0));
  const __m128i sub = _mm_set1_epi16(static_cast<short>(shift < 0 ? -shift : 0));
  const __m128i top = _mm_set1_epi16(255), zero = _mm_setzero_si128();
  auto tone = [&](__m128i v) {
    const __m128i low = _mm_mullo_epi16(v, k), high = _mm_mulhi_epu16(v, k);
    const __m128i scaled = _mm_or_si128(_mm_slli_epi16(high, 8), _mm_srli_epi16(low, 8));
    const __m128i t = _mm_subs_epu16(_mm_adds_epu16(scaled, add), sub);
    return _mm_sub_epi16(t, _mm_subs_epu16(t, top));  // min(t, 255)
  };
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
    const __m128i out = _mm_packus_epi16(tone(_mm_unpacklo_epi8(v, zero)), tone(_mm_unpackhi_epi8(v, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes + i), out);
  }
  return i;
}
#endif

// Blue, green and red of the first `entries` colour-table entries through the table; the
// reserved byte stays.
void map_entries(std::uint8_t *dest, const std::uint8_t *src, std::uint32_t entries, const std::uint8_t *table) {
  for (std::uint32_t i = 0; i < entries; ++i)
    for (int c = 0; c < 3; ++c) dest[4 * i + c] = table[src[4 * i + c]];
}

// The entries a palette image's table changes: one per index, no more than the table holds.
std::uint32_t palette_entries(int bits, std::uint32_t table_bytes) {
  const std::uint32_t indices = 1u << bits;
  return table_bytes / 4 < indices ? table_bytes / 4 : indices;
}

// Every byte of every row of the image (the padding too) through the tone, in place.
void map_image_rows(const dib_view &v, std::int32_t contrast, std::int32_t brightness, PXV_PROGRESS_PROC progress,
                    LONG user) {
  for (std::int32_t r = 0; r < v.height; ++r) {
    map_tones(row_at(v, r), static_cast<std::size_t>(v.row_bytes), contrast, brightness);
    report(progress, user, v.height, r);
  }
}

// Every row of a 24-bit file through the table, each written back where it was read.
int map_file_rows(const bmp_input &in, const std::uint8_t *table) {
  auto *row = static_cast<std::uint8_t *>(take_work_block(std::uint64_t(in.row_bytes)));
  if (row == nullptr) return kNoMemory;
  bool written = true;
  for (std::int32_t r = 0; written && r < in.height; ++r) {
    const std::int32_t at = file_at(in.data_offset + std::uint64_t(r) * std::uint64_t(in.row_bytes));
    img_seek_mem(in.stream, at, kSeekSet);
    const std::int32_t got = img_read_mem(in.stream, row, static_cast<std::uint32_t>(in.row_bytes));
    if (got <= 0) break;  // the file ends here: nothing after it to change
    map_bytes(row, static_cast<std::size_t>(got), table);
    img_seek_mem(in.stream, at, kSeekSet);
    written = img_write_all(in.stream, row, static_cast<std::uint32_t>(got));
  }
  img_ffree(row);
  return written ? kOk : kShortWrite;
}

// A tone table applied to a BMP file in place: its colour table, or its 24-bit rows.
int map_file_tones(HFILE file, const std::uint8_t *table) {
  bmp_input in{};
  const int taken = read_bmp_input(&in, file, kToneInput);
  if (taken != 1) return taken;
  if (in.bits == 24) return map_file_rows(in, table);
  std::uint8_t *colours = in.info + kDibHeaderBytes;
  map_entries(colours, colours, palette_entries(in.bits, in.table_bytes), table);
  img_seek_mem(file, static_cast<std::int32_t>(kFileHeaderBytes + kDibHeaderBytes), kSeekSet);
  return img_write_all(file, colours, in.table_bytes) ? kOk : kShortWrite;
}

}  // namespace

namespace {

std::uint32_t tone_factor(std::int32_t contrast) {
  return 256u + 2u * static_cast<std::uint32_t>(contrast < kLeastContrast ? kLeastContrast : contrast);
}
std::uint32_t tone_shift(std::int32_t contrast, std::int32_t brightness) {
  if (contrast < kLeastContrast) contrast = kLeastContrast;
  return 2u * static_cast<std::uint32_t>(brightness) - static_cast<std::uint32_t>(contrast);
}

}  // namespace

void map_tones(std::uint8_t *bytes, std::size_t count, std::int32_t contrast, std::int32_t brightness) {
  std::size_t done = 0;
#if defined(__SSE2__)
  const std::int64_t shift = static_cast<std::int32_t>(tone_shift(contrast, brightness));
  done = tone_bytes_sse2(bytes, count, tone_factor(contrast), shift);
#endif
  if (done == count) return;
  std::uint8_t table[kToneLevels];
  build_tone_table(table, contrast, brightness);
  map_bytes(bytes + done, count - done, table);
}

void build_tone_table(std::uint8_t *table, std::int32_t contrast, std::int32_t brightness) {
  // t = ((k v) >> 8) - c + 2b with an unsigned product and a logical shift, the sum wrapping in
  // 32 bits and read back as signed: no contrast or brightness a host passes is out of range.
  const std::uint32_t factor = tone_factor(contrast);
  const std::uint32_t shift = tone_shift(contrast, brightness);
  for (std::uint32_t v = 0; v < kToneLevels; ++v)
    table[v] = clamp_level(static_cast<std::int32_t>(((factor * v) >> 8) + shift));
}

void build_gamma_table(std::uint8_t *table, float gamma) {
  const double exponent = 1.0 / static_cast<double>(gamma);
  for (int i = 0; i < kToneLevels; ++i) {
    const double v = 255.0 * std::pow(i / 255.0, exponent) + 0.5;
    table[i] = v < 0 ? 0 : v >= 256 ? 255 : static_cast<std::uint8_t>(v);
  }
}

int set_24cont_bright(int handle, std::int32_t contrast, std::int32_t brightness, PXV_PROGRESS_PROC progress,
                      LONG user) {
  image_object *image;
  dib_view v;
  const int rc = open_image(handle, &image, &v);
  if (rc < 0) return rc;
  if (v.bits == 24) map_image_rows(v, contrast, brightness, progress, user);
  unlock_image_dib(image);
  return v.bits == 24 ? kOk : kUnsupported;
}

// ---------------------------------------------------------------------------------------------
// Sharpening.
//
// The kernel is this library's own: each value c becomes c + (8c - the sum of its 8 neighbours)
// / w, divided truncating toward zero and clamped to 0..255, computed from unsharpened values
// only; a neighbour outside the image repeats the nearest pixel. 24-bit images are filtered per
// channel; 4- and 8-bit images as the gray levels of their (gray) tables, a level that changes
// written back as the nearest index of the table, an unchanged one keeping its index; 1-bit
// images as 0 and 255, 128 or more making a set bit. A weight of 0 would divide by zero: it
// sharpens nothing.

namespace {

constexpr std::int32_t kAmountBits = 0xFFF0;
constexpr std::int32_t kSharpenBandBytes = 32768;
constexpr std::int32_t kBitLevel = 255;
constexpr std::int32_t kBitThreshold = 128;
constexpr std::int32_t kNeighbours = 8;

struct sharpen_pass {
  int bits;
  std::int32_t width;
  std::int32_t channels;  // values per pixel: 3 for 24 bits, else 1
  std::int32_t weight;
  std::uint8_t level_of[kToneLevels];  // the gray level of each index (4 and 8 bits)
  std::uint8_t index_of[kToneLevels];  // the nearest index of each level
};

void start_sharpen_pass(sharpen_pass *p, const dib_view &v, std::int32_t weight) {
  p->bits = v.bits;
  p->width = v.width;
  p->channels = v.bits == 24 ? 3 : 1;
  p->weight = weight;
  if (v.bits != 4 && v.bits != 8) return;
  // Indices past a short table read as black, as in the colour row fetch.
  const std::uint32_t entries = palette_entries(v.bits, v.table_bytes);
  std::memset(p->level_of, 0, sizeof p->level_of);
  std::memset(p->index_of, 0, sizeof p->index_of);
  for (std::uint32_t i = 0; i < entries; ++i) p->level_of[i] = v.dib[kDibHeaderBytes + 4 * i];
  for (std::int32_t level = 0; level < kToneLevels; ++level) {
    std::int32_t best = kToneLevels;
    for (std::uint32_t i = 0; i < entries; ++i) {
      const std::int32_t d = level > p->level_of[i] ? level - p->level_of[i] : p->level_of[i] - level;
      if (d < best) {
        best = d;
        p->index_of[level] = static_cast<std::uint8_t>(i);
      }
    }
  }
}

// A packed row as one value per channel.
void unpack_levels(const sharpen_pass &p, const std::uint8_t *row, std::uint8_t *levels) {
  switch (p.bits) {
    case 1:
      for (std::int32_t x = 0; x < p.width; ++x) levels[x] = static_cast<std::uint8_t>(get_bit(row, x) * kBitLevel);
      break;
    case 4:
      for (std::int32_t x = 0; x < p.width; ++x) levels[x] = p.level_of[get_nibble(row, x)];
      break;
    case 8:
      for (std::int32_t x = 0; x < p.width; ++x) levels[x] = p.level_of[row[x]];
      break;
    default:
      std::memcpy(levels, row, static_cast<std::size_t>(p.width) * 3);
      break;
  }
}

// Filters one row from the levels of the rows above and below it into `dest`, the image's row,
// which still holds the unsharpened pixels; its padding is not touched.
void sharpen_row(const sharpen_pass &p, const std::uint8_t *above, const std::uint8_t *here,
                 const std::uint8_t *below, std::uint8_t *dest) {
  const std::int32_t last = p.width - 1, k = p.channels;
  for (std::int32_t x = 0; x < p.width; ++x) {
    const std::int32_t left = (x > 0 ? x - 1 : 0) * k, mid = x * k, right = (x < last ? x + 1 : last) * k;
    for (std::int32_t ch = 0; ch < k; ++ch) {
      const std::int32_t c = here[mid + ch];
      const std::int32_t sum = above[left + ch] + above[mid + ch] + above[right + ch] + here[left + ch] +
                               here[right + ch] + below[left + ch] + below[mid + ch] + below[right + ch];
      const std::uint8_t v = clamp_level(c + (kNeighbours * c - sum) / p.weight);
      switch (p.bits) {
        case 1: {
          const auto mask = static_cast<std::uint8_t>(0x80 >> (x % 8));
          dest[x / 8] = static_cast<std::uint8_t>(v >= kBitThreshold ? dest[x / 8] | mask : dest[x / 8] & ~mask);
          break;
        }
        case 4:
          if (v != c) {
            std::uint8_t &b = dest[x / 2];
            b = static_cast<std::uint8_t>((x & 1) ? (b & 0xF0) | p.index_of[v] : (b & 0x0F) | (p.index_of[v] << 4));
          }
          break;
        case 8:
          if (v != c) dest[x] = p.index_of[v];
          break;
        default:
          dest[mid + ch] = v;
          break;
      }
    }
  }
}

}  // namespace

std::int32_t sharpen_weight(std::int32_t amount, int bits) {
  // Only bits 4 to 15 of the amount count; a large m gives a negative weight (arithmetic shift).
  const std::int32_t m = amount & kAmountBits;
  if (bits == 4) return m > 0 ? (144 - m) >> 4 : 9;
  return m > 0 ? (136 - m) >> 3 : 17;
}

std::int32_t sharpen_band_rows(std::int32_t row_bytes, std::int32_t height) {
  std::int32_t n = kSharpenBandBytes / row_bytes - 2;
  if (n > height) n = height;
  return n < 1 ? 1 : n;
}

namespace {

// The bands: slot 0 the row before the band, slots 1 to n its rows, slot n + 1 the row after it
// (the image's first and last rows stand in for the rows beyond them). The rows are filtered
// back into the image straight away; the band keeps the unsharpened copies that the next rows
// and the next band read.
void sharpen_bands(const sharpen_pass &p, const dib_view &v, std::uint8_t *band, std::uint8_t *levels) {
  const std::size_t rb = static_cast<std::size_t>(v.row_bytes);
  const std::size_t level_bytes = static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.channels);
  const std::int32_t n = sharpen_band_rows(v.row_bytes, v.height);
  auto slot = [&](std::int32_t k) { return band + rb * static_cast<std::size_t>(k); };
  std::memcpy(slot(0), row_at(v, 0), rb);
  for (std::int32_t s = 0; s < v.height; s += n) {
    const std::int32_t rows = n < v.height - s ? n : v.height - s;
    std::memcpy(slot(1), row_at(v, s), rb * static_cast<std::size_t>(rows));
    std::memcpy(slot(rows + 1), s + rows < v.height ? row_at(v, s + rows) : slot(rows), rb);
    std::uint8_t *above = levels, *here = levels + level_bytes, *below = levels + 2 * level_bytes;
    unpack_levels(p, slot(0), above);
    unpack_levels(p, slot(1), here);
    for (std::int32_t k = 1; k <= rows; ++k) {
      unpack_levels(p, slot(k + 1), below);
      sharpen_row(p, above, here, below, row_at(v, s + k - 1));
      std::uint8_t *spare = above;
      above = here;
      here = below;
      below = spare;
    }
    std::memcpy(slot(0), slot(rows), rb);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// 24 to 8 bits.

void convert_24_to_8(const std::uint8_t *src, std::uint8_t *dest, std::int32_t width) {
  for (std::int32_t x = 0; x < width; ++x, src += 3)
    dest[x] = static_cast<std::uint8_t>((src[2] & 0xE0) | ((src[1] >> 3) & 0x1C) | (src[0] >> 6));
}

namespace {

constexpr std::uint32_t k332TableBytes = 1024;
// create_dib_palette's kind for the 3-3-2 table.
constexpr const char *k332Table = "targa";

void produce_24_to_8(conversion_frame *f) {
  const dib_view v = view_of(const_cast<std::uint8_t *>(f->header));
  for (std::int32_t r = 0; r < f->height; ++r) {
    convert_24_to_8(row_at(v, r), f->output, f->width);
    emit_row(f, r);
  }
}

const conversion k24To8 = {false, 8, work_rows::none, k332Table, false, produce_24_to_8};

}  // namespace

}  // namespace pxv

using namespace pxv;

extern "C" {

int PXVAPI IMG_flip_bitmapx(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return mirror_image(handle, true, false, progress, user);
}

int PXVAPI IMG_flip_bitmapy(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return mirror_image(handle, false, true, progress, user);
}

int PXVAPI IMG_rotate_bitmap(int handle, int angle, PXV_PROGRESS_PROC progress, LONG user) {
  if (live_image(handle) == nullptr) return kBadHandle;
  if (angle == 180) return mirror_image(handle, true, true, progress, user);
  image_object *image;
  dib_view v;
  const int rc = open_image(handle, &image, &v);
  if (rc < 0) return rc;
  // The transposition followed by a top-to-bottom mirror is a clockwise quarter turn, followed
  // by a left-to-right one a counter-clockwise turn; both are made in the transposition's one
  // pass, and the mirror's rows reported after it. Other angles stay transposed.
  const quarter turn = angle == 90 ? quarter::clockwise : angle == 270 ? quarter::counter_clockwise : quarter::none;
  const int turned = transpose_image(image, v, turn);
  if (turned < 0 || turn == quarter::none) return turned;
  for (std::int32_t r = 0; r < v.width; ++r) report(progress, user, v.width, r);
  return kOk;
}

int PXVAPI IMG_flip_bitmap_fd(HFILE input, HFILE output, int horizontal, int vertical) {
  bmp_input in{};
  const int taken = read_bmp_input(&in, input, kGeometryInput);
  if (taken != 1) return taken;
  row_pair rows;
  if (!take_row_pair(&rows, in.row_bytes, in.row_bytes)) return kNoMemory;
  std::uint8_t *row = rows.input, *mirrored = rows.output;
  // Only a flag of exactly 1 is on.
  const bool across = horizontal == 1, down = vertical == 1;
  const row_mirror mirror = mirror_for(in.bits);
  // File header, info header, colour table and whatever lies before the data: unchanged.
  bool written = copy_input_bytes(in, output, 0, in.data_offset);
  for (std::int32_t r = 0; written && r < in.height; ++r) {
    read_input_row(in, row, r);
    if (across) {
      std::memset(mirrored, 0, static_cast<std::size_t>(in.row_bytes));
      mirror(mirrored, row, in.width);
    }
    const std::uint32_t target = static_cast<std::uint32_t>(down ? in.height - 1 - r : r);
    img_seek_mem(output, file_at(in.data_offset + std::uint64_t(target) * std::uint64_t(in.row_bytes)), kSeekSet);
    written = img_write_all(output, across ? mirrored : row, static_cast<std::uint32_t>(in.row_bytes));
  }
  free_row_pair(&rows);
  return written ? kOk : kShortWrite;
}

int PXVAPI IMG_resize_bitmap(int handle, int width, int height, PXV_PROGRESS_PROC progress, LONG user) {
  if (live_image(handle) == nullptr) return kBadHandle;
  // A size below 1 would divide by zero in the steps.
  if (width < 1 || height < 1) return kUnsupported;
  image_object *image;
  dib_view v;
  const int rc = open_image(handle, &image, &v);
  if (rc < 0) return rc;
  const std::int32_t new_row_bytes = size_for_long(width, v.bits);
  const std::uint64_t head = kDibHeaderBytes + v.table_bytes;
  const std::uint64_t pixel_bytes = std::uint64_t(new_row_bytes) * std::uint64_t(height);
  std::uint8_t *dib = nullptr;
  HGLOBAL block = new_row_bytes < 0 ? nullptr : new_dib_block(head + pixel_bytes, &dib);
  if (block == nullptr) {
    unlock_image_dib(image);
    return kNoMemory;
  }
  std::memcpy(dib, v.dib, static_cast<std::size_t>(head));
  set_dib_width(dib, width);
  set_dib_height(dib, height);
  put_le32(dib + kBiSizeImage, static_cast<std::uint32_t>(pixel_bytes));
  const dib_view out = view_of(dib);
  const std::uint64_t x_step = resize_step(v.width, width), y_step = resize_step(v.height, height);
  for (std::int32_t j = 0; j < height; ++j) {
    const std::int32_t source = sampled_row(j, y_step);
    // An enlargement samples a row several times over: the row just made is the same row.
    if (j > 0 && source == sampled_row(j - 1, y_step))
      std::memcpy(row_at(out, j), row_at(out, j - 1), static_cast<std::size_t>(new_row_bytes));
    else
      scale_row(row_at(v, source), row_at(out, j), new_row_bytes, v.bits, x_step, width);
    report(progress, user, height, j);
  }
  replace_image_dib(image, block, dib);
  image->display_width = width;
  image->display_height = height;
  image->crop_x = 0;
  image->crop_y = 0;
  image->crop_width = width;
  image->crop_height = height;
  return kOk;
}

int PXVAPI IMG_resize_bitmap_fd(HFILE input, HFILE output, int width, int height) {
  if (width < 1 || height < 1) return kUnsupported;
  bmp_input in{};
  const int taken = read_bmp_input(&in, input, kGeometryInput);
  if (taken != 1) return taken;
  const std::int32_t new_row_bytes = size_for_long(width, in.bits);
  const std::uint64_t image_bytes = std::uint64_t(new_row_bytes) * std::uint64_t(height);
  if (new_row_bytes < 0 || !file_size_fits(in.data_offset + image_bytes)) return kBadData;
  row_pair rows;
  if (!take_row_pair(&rows, in.row_bytes, new_row_bytes)) return kNoMemory;
  std::uint8_t head[kFileHeaderBytes + kDibHeaderBytes];
  std::memcpy(head, in.file_header, kFileHeaderBytes);
  put_le32(head + kFileSizeField, static_cast<std::uint32_t>(image_bytes) + in.data_offset);
  std::uint8_t *info = head + kFileHeaderBytes;
  std::memcpy(info, in.info, kDibHeaderBytes);
  set_dib_width(info, width);
  set_dib_height(info, height);
  put_le32(info + kBiSizeImage, static_cast<std::uint32_t>(image_bytes));
  // The rows follow at the input's data offset: the rest of a longer info header and the table
  // are copied, and a gap before the data is written as zeros, so that the offset stays true.
  const std::uint32_t table_end = kFileHeaderBytes + in.header_bytes + in.table_bytes;
  bool written = img_write_all(output, head, sizeof head) &&
                 copy_input_bytes(in, output, sizeof head, table_end - sizeof head) &&
                 write_zeros(output, in.data_offset - table_end);
  const std::uint64_t x_step = resize_step(in.width, width), y_step = resize_step(in.height, height);
  for (std::int32_t j = 0; written && j < height; ++j) {
    const std::int32_t source = sampled_row(j, y_step);
    if (j == 0 || source != sampled_row(j - 1, y_step)) {
      read_input_row(in, rows.input, source);
      scale_row(rows.input, rows.output, new_row_bytes, in.bits, x_step, width);
    }
    written = img_write_all(output, rows.output, static_cast<std::uint32_t>(new_row_bytes));
  }
  free_row_pair(&rows);
  return written ? kOk : kShortWrite;
}

int PXVAPI IMG_set_lut(int handle, int contrast, int brightness, PXV_PROGRESS_PROC progress, LONG user) {
  image_object *image;
  dib_view v;
  const int rc = open_image(handle, &image, &v);
  if (rc < 0) return rc;
  if (v.bits != 4 && v.bits != 8) {
    unlock_image_dib(image);
    return v.bits == 24 ? set_24cont_bright(handle, contrast, brightness, progress, user) : kUnsupported;
  }
  // Palette images are changed from a copy of their table as it was before the first change,
  // so that calls do not compound.
  if (image->saved_palette == nullptr) {
    HGLOBAL saved = GlobalAlloc(GMEM_MOVEABLE, v.table_bytes);
    auto *copy = saved == nullptr ? nullptr : static_cast<std::uint8_t *>(GlobalLock(saved));
    if (copy == nullptr) {
      if (saved != nullptr) GlobalFree(saved);
      unlock_image_dib(image);
      return kNoMemory;
    }
    std::memcpy(copy, v.dib + kDibHeaderBytes, v.table_bytes);
    image->saved_palette_handle = saved;
    image->saved_palette = copy;
  }
  std::uint8_t table[kToneLevels];
  build_tone_table(table, contrast, brightness);
  const std::uint32_t entries = palette_entries(v.bits, v.table_bytes);
  for (std::uint32_t i = 0; i < entries; ++i) {
    map_entries(v.dib + kDibHeaderBytes + 4 * i, image->saved_palette + 4 * i, 1, table);
    report(progress, user, 1 << v.bits, static_cast<std::int32_t>(i));
  }
  unlock_image_dib(image);
  return kOk;
}

int PXVAPI IMG_set_lut_fd(HFILE file, int contrast, int brightness) {
  std::uint8_t table[kToneLevels];
  build_tone_table(table, contrast, brightness);
  return map_file_tones(file, table);
}

int PXVAPI IMG_GammaCorrection(HFILE file, float gamma) {
  if (!(gamma > 0) || !std::isfinite(gamma)) return kUnsupported;
  std::uint8_t table[kToneLevels];
  build_gamma_table(table, gamma);
  return map_file_tones(file, table);
}

int PXVAPI IMG_invert_bitmap(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  image_object *image;
  dib_view v;
  const int rc = open_image(handle, &image, &v);
  if (rc < 0) return rc;
  // Pixel values, not colours: indices are mirrored and the table stays. 255 - v is every bit of
  // v turned over, padding included.
  for (std::int32_t r = 0; r < v.height; ++r) {
    std::uint8_t *row = row_at(v, r);
    for (std::int32_t i = 0; i < v.row_bytes; ++i) row[i] = static_cast<std::uint8_t>(~row[i]);
    report(progress, user, v.height, r);
  }
  unlock_image_dib(image);
  return kOk;
}

int PXVAPI IMG_sharpen_bitmap(int handle, int amount) {
  image_object *image;
  dib_view v;
  const int rc = open_image(handle, &image, &v);
  if (rc < 0) return rc;
  // Palette images are filtered as gray levels: a table in colour has none to filter.
  if ((v.bits == 4 || v.bits == 8) && is_color(handle)) {
    unlock_image_dib(image);
    return kUnsupported;
  }
  const std::int32_t weight = sharpen_weight(amount, v.bits);
  if (weight == 0) {
    unlock_image_dib(image);
    return kOk;
  }
  // The band holds its rows and a row of context on either side, however long the rows are.
  const std::int32_t rows = sharpen_band_rows(v.row_bytes, v.height);
  std::uint64_t band_bytes = std::uint64_t(rows + 2) * std::uint64_t(v.row_bytes);
  if (band_bytes < kSharpenBandBytes) band_bytes = kSharpenBandBytes;
  auto *band = static_cast<std::uint8_t *>(take_work_block(band_bytes));
  auto *levels = static_cast<std::uint8_t *>(
      take_work_block(3 * std::uint64_t(v.width) * std::uint64_t(v.bits == 24 ? 3 : 1)));
  if (band == nullptr || levels == nullptr) {
    img_ffree(band);
    img_ffree(levels);
    unlock_image_dib(image);
    return kNoMemory;
  }
  sharpen_pass pass;
  start_sharpen_pass(&pass, v, weight);
  sharpen_bands(pass, v, band, levels);
  img_ffree(band);
  img_ffree(levels);
  unlock_image_dib(image);
  return kOk;
}

int PXVAPI IMG_24_to_8(int handle) { return run_conversion(handle, k24To8, nullptr, 0, nullptr); }

int PXVAPI IMG_24_to_8_fd(HFILE input, HFILE output) {
  bmp_input in{};
  const int taken = read_bmp_input(&in, input, kTrueColourInput);
  if (taken != 1) return taken;
  const std::int32_t out_row_bytes = size_for_long(in.width, 8);
  const std::uint64_t image_bytes = std::uint64_t(out_row_bytes) * std::uint64_t(in.height);
  const std::uint64_t out_offset = std::uint64_t{kFileHeaderBytes} + in.header_bytes + k332TableBytes;
  if (out_row_bytes < 0 || !file_size_fits(out_offset + image_bytes)) return kBadData;
  row_pair rows;
  if (!take_row_pair(&rows, in.row_bytes, out_row_bytes)) return kNoMemory;
  std::memset(rows.output, 0, static_cast<std::size_t>(out_row_bytes));
  // "BM", the sizes, reserved words 0; the input's first 40 header bytes made 8-bit, the rest of
  // a longer header as zeros, and the 3-3-2 table.
  std::uint8_t head[kFileHeaderBytes + kHeaderRecordBytes] = {'B', 'M'};
  put_le32(head + kFileSizeField, static_cast<std::uint32_t>(out_offset + image_bytes));
  put_le32(head + kDataOffsetField, static_cast<std::uint32_t>(out_offset));
  std::uint8_t *info = head + kFileHeaderBytes;
  std::memcpy(info, in.info, kDibHeaderBytes);
  put_le16(info + kBiBitCount, 8);
  put_le32(info + kBiSizeImage, static_cast<std::uint32_t>(image_bytes));
  put_le32(info + kBiClrUsed, 0);
  put_le32(info + kBiClrImportant, 0);
  create_dib_palette(info, k332Table);
  bool written = img_write_all(output, head, kFileHeaderBytes + kDibHeaderBytes) &&
                 write_zeros(output, in.header_bytes - kDibHeaderBytes) &&
                 img_write_all(output, info + kDibHeaderBytes, k332TableBytes);
  for (std::int32_t r = 0; written && r < in.height; ++r) {
    read_input_row(in, rows.input, r);
    convert_24_to_8(rows.input, rows.output, in.width);
    img_seek_mem(output, file_at(out_offset + std::uint64_t(r) * std::uint64_t(out_row_bytes)), kSeekSet);
    written = img_write_all(output, rows.output, static_cast<std::uint32_t>(out_row_bytes));
  }
  free_row_pair(&rows);
  return written ? kOk : kShortWrite;
}

}  // extern "C"
