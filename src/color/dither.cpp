// Colour reduction and dithering: ten operations that replace a handle's DIB by one of 8, 4 or
// 1 bits, and one that dithers a BMP file into another without a handle.
//
// Every handle operation runs one frame (run_conversion): the bit count is checked before
// anything is taken; every block is allocated before the first row, so that a failure leaves
// the old DIB untouched and the handle as it was; rows are produced in stored order with the
// progress callback after each; only then are the old DIB and any saved palette freed and the
// new DIB put under the handle. The new header and colour table are written before the rows,
// because the diffusions measure their error against that very table.
//
// The arithmetic is what hosts of this library have always been given, and is kept exactly:
// arithmetic right shifts (rounding toward minus infinity) in the Burkes kernels, division
// truncating toward zero in the Stucki kernel, a luminance lowered by 40 in the 16-colour
// ordered dither, 253 as the brightest of the 256 grays.
//
// Input policy:
// - Colour tables are read only as far as the header declares them: an index past a short
//   table reads as black, as in the colour row fetch.
// - IMG_dither_to_palette_fd takes what the handle operations take, in the form this library's
//   own BMP writer makes: an uncompressed, bottom-up file with a 40-byte header and 4, 8 or 24
//   bits (anything else is -6). A table that does not fit below the data offset, an image of no
//   pixels, or sizes beyond 32-bit file positions are -3. A file header, info header or colour
//   table cut short answers 0, and a data offset past the end of the file counts as cut short.
//   Nothing is written in any of these cases. Rows missing from a truncated file read as zeros.
#include "color/dither.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/bmp_input.h"
#include "output/color_raster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pxv {

const std::uint8_t halftone_matrix[8][8] = {
    {136, 192, 160, 128, 116, 60, 92, 124},  {168, 232, 224, 212, 84, 20, 28, 40},
    {200, 248, 244, 180, 52, 4, 8, 72},      {152, 184, 216, 148, 100, 68, 36, 104},
    {112, 56, 88, 120, 140, 196, 164, 132},  {80, 16, 24, 44, 172, 236, 228, 208},
    {48, 0, 12, 76, 204, 252, 240, 176},     {96, 64, 32, 108, 156, 188, 220, 144},
};

namespace {

// The source row buffer holds a stored row and 10 bytes more, as the row fetches expect.
constexpr std::uint64_t kSourceSlack = 10;

// 16 colours: a channel above kChannelOn sets its bit; any channel above kChannelBright the
// bright bit. The ordered dither sets the bright bit where the luminance passes the threshold
// by kBrightMargin.
constexpr std::int32_t kChannelOn = 180;
constexpr std::int32_t kChannelBright = 220;
constexpr std::int32_t kBrightMargin = 40;
constexpr std::uint32_t kBitRed = 1, kBitGreen = 2, kBitBlue = 4, kBitBright = 8;
constexpr int kHostSixteen = 16;

// Pixel records of the colour working rows: blue, green, red, luminance.
enum : int { kBlue = 0, kGreen = 1, kRed = 2, kLuminance = 3, kRecord = 4 };

// Colour keys and the key table of the two nearest-colour operations, with the lookup that
// serves every pixel of one call.
struct {
  std::uint32_t counters[kColourKeys];
  std::uint32_t keys[kKeyTableEntries];
  key_lookup lookup;
} palette_keys;

std::uint64_t work_values(work_rows kind, std::int32_t width) {
  const std::uint64_t w = static_cast<std::uint32_t>(width);
  switch (kind) {
    case work_rows::expanded: return kRecord * w;
    case work_rows::gray: return w;
    // Current and next row. The next row is copied over the current one as a whole row length
    // from its start, which reads kColourMargin values past the second row's space.
    case work_rows::colour_pair: return 2 * (kRecord * w + kColourRowExtra) + kColourMargin;
    // The same for the two rows that move up from the three.
    case work_rows::gray_triple: return 3 * (w + kGrayRowExtra) + kGrayMargin;
    case work_rows::none: break;
  }
  return 0;
}

void put_colour(std::uint8_t *entry, std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  entry[0] = static_cast<std::uint8_t>(blue);
  entry[1] = static_cast<std::uint8_t>(green);
  entry[2] = static_cast<std::uint8_t>(red);
  entry[3] = 0;
}

// The host's colours (red, green, blue, flags) as DIB table entries (blue, green, red, 0).
void put_host_colours(std::uint8_t *table, const PALETTEENTRY *host, int count) {
  for (int i = 0; i < count; ++i)
    put_colour(table + 4 * i, host[i].peRed, host[i].peGreen, host[i].peBlue);
}

std::int32_t clamp_channel(std::int32_t v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Spreads a channel's error over the Burkes kernel (8, 4 / 2, 4, 8, 4, 2 over 32) with
// arithmetic shifts; `p` and `q` are the channel in the current and the next row, `step` one
// pixel record in the scan direction.
inline void spread_burkes(std::int32_t *p, std::int32_t *q, int step, std::int32_t e) {
  p[step] += e >> 2;
  p[2 * step] += e >> 3;
  q[-2 * step] += e >> 4;
  q[-step] += e >> 3;
  q[0] += e >> 2;
  q[step] += e >> 3;
  q[2 * step] += e >> 4;
}

}  // namespace

#if defined(__SSE2__)
namespace {

// Blue, green and red of four 24-bit pixels at p weighted and summed, one sum per 32-bit lane:
// each pixel read as four bytes (the fourth is the next pixel's, so a row's last pixel is for the
// caller to do alone), blue and red as a pair of 16-bit lanes and green beside a lane weighted 0,
// multiplied and added in pairs. Weights and sums stay below 2^15.
inline __m128i weigh_four(const std::uint8_t *p, std::int32_t blue, std::int32_t green, std::int32_t red) {
  const __m128i low_bytes = _mm_set1_epi32(0x00FF00FF);
  const __m128i v = _mm_setr_epi32(static_cast<int>(get_le32(p)), static_cast<int>(get_le32(p + 3)),
                                   static_cast<int>(get_le32(p + 6)), static_cast<int>(get_le32(p + 9)));
  return _mm_add_epi32(_mm_madd_epi16(_mm_and_si128(v, low_bytes), _mm_set1_epi32(red << 16 | blue)),
                       _mm_madd_epi16(_mm_and_si128(_mm_srli_epi32(v, 8), low_bytes), _mm_set1_epi32(green)));
}

}  // namespace
#endif

// ---------------------------------------------------------------------------------------------
// Row fetches and kernels.

void fetch_gray_raster(int /*handle*/, std::int32_t *dest, std::uint8_t * /*work*/,
                       const std::uint8_t *header, int row) {
  if (header == nullptr || !dib_header_holdable(header)) return;
  if (row < 0 || row >= dib_height(header)) return;
  const int bits = dib_bit_count(header);
  const std::int32_t width = dib_width(header);
  const std::int32_t row_bytes = size_for_long(width, bits);
  if (bits == 1 || row_bytes < 0) return;
  auto gray = [](std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return static_cast<std::int32_t>((30 * r + 59 * g + 11 * b) / 100);
  };
  // The stored row is read where it lies: nothing writes to it while it is read.
  const std::uint8_t *work = header + kDibHeaderBytes + Palette_Size(header) + std::ptrdiff_t(row) * row_bytes;
  if (bits == 24) {
    std::int32_t x = 0;
#if defined(__SSE2__)
    // Four pixels a step; the sum is divided by 100 as (s * 5243) >> 19, exact for every sum up
    // to 25500.
    const __m128i per_100 = _mm_set1_epi32(5243);
    for (; x + 4 < width; x += 4) {
      const __m128i sum = weigh_four(work + 3 * std::ptrdiff_t(x), 11, 59, 30);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dest + x), _mm_srli_epi32(_mm_madd_epi16(sum, per_100), 19));
    }
#endif
    for (; x < width; ++x) {
      const std::uint8_t *p = work + 3 * std::ptrdiff_t(x);
      dest[x] = gray(p[2], p[1], p[0]);
    }
    return;
  }
  // Palette images: the gray of each entry once; entries the table does not hold are black.
  std::int32_t table_gray[kMaxColours] = {};
  const std::uint8_t *table = header + kDibHeaderBytes;
  const std::uint32_t entries = Palette_Size(header) / 4;
  for (std::uint32_t i = 0; i < entries && i < kMaxColours; ++i)
    table_gray[i] = gray(table[4 * i + 2], table[4 * i + 1], table[4 * i]);
  for (std::int32_t x = 0; x < width; ++x) {
    const std::uint32_t index = bits == 8 ? work[x] : (x & 1) ? work[x / 2] & 0x0Fu : work[x / 2] >> 4;
    dest[x] = table_gray[index];
  }
}

int perform_dib_hist(int handle, std::uint32_t *counters) {
  const image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kBadHandle;
  const std::uint8_t *header = image->dib;
  if (dib_bit_count(header) != 24 || !dib_header_holdable(header)) return kUnsupported;
  std::memset(counters, 0, sizeof(std::uint32_t) * kColourKeys);
  const std::int32_t width = dib_width(header), height = dib_height(header);
  const std::int32_t row_bytes = size_for_long(width, 24);
  const std::uint8_t *base = header + kDibHeaderBytes + Palette_Size(header);
  for (std::int32_t r = 0; r < height; ++r) {
    const std::uint8_t *p = base + static_cast<std::ptrdiff_t>(r) * row_bytes;
    for (std::int32_t x = 0; x < width; ++x, p += 3) ++counters[colour_key(p[2], p[1], p[0])];
  }
  return kOk;
}

void sort_colors(std::uint32_t *counters, std::uint32_t *keys) {
  // Black is always entry 0, and its count stays, so that a black image picks it again.
  keys[0] = 0;
  for (int i = 1; i < kKeyTableEntries; ++i) {
    std::uint32_t most = 0, key = 0;
    // A count equal to the largest so far takes its place: ties go to the higher key, and once
    // every count is 0 the pick is the last key.
    for (std::uint32_t k = 0; k < kColourKeys; ++k) {
      if (counters[k] >= most) {
        most = counters[k];
        key = k;
      }
    }
    keys[i] = key;
    counters[key] = 0;
  }
}

void reset_key_lookup(key_lookup *lookup, const std::uint32_t *keys) {
  for (std::int16_t &c : lookup->closest) c = -1;
  for (int i = 0; i < kKeyTableEntries; ++i)
    for (int c = 0; c < 3; ++c) lookup->nibbles[c][i] = static_cast<std::int16_t>((keys[i] >> (8 - 4 * c)) & 15);
}

namespace {

// The first key table entry nearest to `key` by squared distance of the three nibbles: the first
// entry at the smallest distance, which is also where a search that stops at the first entry
// strictly nearer than all before it, or at distance 0, ends.
std::int16_t closest_entry(const key_lookup &lookup, std::uint32_t key) {
  const int red = (key >> 8) & 15, green = (key >> 4) & 15, blue = key & 15;
#if defined(__SSE2__)
  // All 256 distances, at most 675, in 16-bit lanes; then their least, then its first place.
  alignas(16) std::int16_t distance[kKeyTableEntries];
  const __m128i target[3] = {_mm_set1_epi16(static_cast<short>(red)), _mm_set1_epi16(static_cast<short>(green)),
                             _mm_set1_epi16(static_cast<short>(blue))};
  __m128i least = _mm_set1_epi16(SHRT_MAX);
  for (int i = 0; i < kKeyTableEntries; i += 8) {
    __m128i d = _mm_setzero_si128();
    for (int c = 0; c < 3; ++c) {
      const __m128i delta = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i *>(&lookup.nibbles[c][i])), target[c]);
      d = _mm_add_epi16(d, _mm_mullo_epi16(delta, delta));
    }
    _mm_store_si128(reinterpret_cast<__m128i *>(distance + i), d);
    least = _mm_min_epi16(least, d);
  }
  least = _mm_min_epi16(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(1, 0, 3, 2)));
  least = _mm_min_epi16(least, _mm_shuffle_epi32(least, _MM_SHUFFLE(2, 3, 0, 1)));
  least = _mm_min_epi16(least, _mm_shufflelo_epi16(_mm_shufflehi_epi16(least, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1)));
  for (int i = 0;; i += 8) {
    const int same = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i *>(distance + i)), least));
    if (same != 0) return static_cast<std::int16_t>(i + std::countr_zero(static_cast<unsigned>(same)) / 2);
  }
#else
  int best = INT_MAX;
  std::int16_t index = 0;
  for (int i = 0; i < kKeyTableEntries; ++i) {
    const int dr = red - lookup.nibbles[0][i], dg = green - lookup.nibbles[1][i], db = blue - lookup.nibbles[2][i];
    const int d = dr * dr + dg * dg + db * db;
    if (d < best) {
      best = d;
      index = static_cast<std::int16_t>(i);
      if (d == 0) break;
    }
  }
  return index;
#endif
}

}  // namespace

void find_closest_pixel(const std::uint8_t *row, std::uint8_t *dest, key_lookup *lookup,
                        std::int32_t width) {
  auto index_of = [lookup](std::uint32_t key) {
    std::int16_t &index = lookup->closest[key];
    if (index < 0) index = closest_entry(*lookup, key);
    return static_cast<std::uint8_t>(index);
  };
  // A pixel read as four bytes (blue, green, red and the next pixel's blue) gives its key by three
  // shifts and masks, four pixels at once where the machine has vectors; the row's last pixel,
  // whose fourth byte may lie past the row, by its bytes.
  std::int32_t x = 0;
#if defined(__SSE2__)
  const __m128i red = _mm_set1_epi32(0xF00), green = _mm_set1_epi32(0xF0), blue = _mm_set1_epi32(0x0F);
  for (; x + 4 < width; x += 4) {
    const std::uint8_t *p = row + 3 * std::ptrdiff_t(x);
    const __m128i v = _mm_setr_epi32(static_cast<int>(get_le32(p)), static_cast<int>(get_le32(p + 3)),
                                     static_cast<int>(get_le32(p + 6)), static_cast<int>(get_le32(p + 9)));
    alignas(16) std::uint32_t keys[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(keys),
                    _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 12), red), _mm_and_si128(_mm_srli_epi32(v, 8), green)),
                                 _mm_and_si128(_mm_srli_epi32(v, 4), blue)));
    for (int k = 0; k < 4; ++k) dest[x + k] = index_of(keys[k]);
  }
#endif
  for (; x + 1 < width; ++x) {
    const std::uint32_t w = get_le32(row + 3 * std::ptrdiff_t(x));
    dest[x] = index_of(((w >> 12) & 0xF00) | ((w >> 8) & 0xF0) | ((w >> 4) & 0x0F));
  }
  for (; x < width; ++x) {
    const std::uint8_t *p = row + 3 * std::ptrdiff_t(x);
    dest[x] = index_of(colour_key(p[2], p[1], p[0]));
  }
}

void dither_color_raster8(std::uint8_t *dest, std::int32_t *rows, std::int32_t row_length,
                          int row, const std::uint8_t *table) {
  const std::int32_t width = (row_length - kColourRowExtra) / kRecord;
  const bool forward = (row & 1) == 0;
  const int step = forward ? kRecord : -kRecord;
  for (std::int32_t i = 0; i < width; ++i) {
    const std::int32_t x = forward ? i : width - 1 - i;
    std::int32_t *p = rows + kRecord * x;
    std::int32_t *q = p + row_length;
    const std::uint32_t index = (clamp_channel(p[kRed]) & 0xE0) |
                                ((clamp_channel(p[kGreen]) & 0xE0) >> 3) |
                                (clamp_channel(p[kBlue]) >> 6);
    dest[x] = static_cast<std::uint8_t>(index);
    const std::uint8_t *entry = table + 4 * index;
    for (int c = kBlue; c <= kRed; ++c) spread_burkes(p + c, q + c, step, p[c] - entry[c]);
  }
}

void dither_color_raster(std::uint8_t *dest, std::int32_t *rows, std::int32_t row_length,
                         int /*row*/, const std::uint8_t *table) {
  // Every row left to right: this diffusion does not alternate.
  const std::int32_t width = (row_length - kColourRowExtra) / kRecord;
  for (std::int32_t x = 0; x < width; ++x) {
    std::int32_t *p = rows + kRecord * x;
    std::int32_t *q = p + row_length;
    const std::int32_t b = p[kBlue], g = p[kGreen], rd = p[kRed];
    std::uint32_t index = (b > kChannelOn ? kBitBlue : 0) | (g > kChannelOn ? kBitGreen : 0) |
                          (rd > kChannelOn ? kBitRed : 0);
    if (b > kChannelBright || g > kChannelBright || rd > kChannelBright) index |= kBitBright;
    if ((x & 1) == 0)
      dest[x / 2] = static_cast<std::uint8_t>(index << 4);
    else
      dest[x / 2] |= static_cast<std::uint8_t>(index);
    const std::uint8_t *entry = table + 4 * index;
    for (int c = kBlue; c <= kRed; ++c) spread_burkes(p + c, q + c, kRecord, p[c] - entry[c]);
  }
}

namespace {

// The four Stucki shares of the error that a pixel of accumulated value v leaves, 8e/42, 4e/42,
// e/21 and e/42, each truncated toward zero.
struct stucki_shares {
  std::int32_t a, b, c, d;
};
constexpr stucki_shares shares_of(std::int32_t v) {
  const std::int64_t e = v > 127 ? std::int64_t{v} - 255 : v;
  return {static_cast<std::int32_t>(8 * e / 42), static_cast<std::int32_t>(4 * e / 42), static_cast<std::int32_t>(e / 21),
          static_cast<std::int32_t>(e / 42)};
}

// The shares by table for the values a diffusion meets. Grays are 0 to 255 and the shares spread
// into a pixel add up to at most the largest error, so values stay within -128 to 383; the table
// reaches well past that, and anything beyond it is worked out.
constexpr std::int32_t kSharesFrom = -512, kSharesTo = 767;
constexpr auto kStuckiShares = [] {
  std::array<stucki_shares, kSharesTo - kSharesFrom + 1> t{};
  for (std::int32_t v = kSharesFrom; v <= kSharesTo; ++v) t[v - kSharesFrom] = shares_of(v);
  return t;
}();
// Share a alone, which the next pixel waits for: one scaled load.
constexpr auto kShareA = [] {
  std::array<std::int32_t, kStuckiShares.size()> t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = kStuckiShares[i].a;
  return t;
}();

// Pixels in a chunk of the mono diffusion (a multiple of 8, so that chunks start on bytes of
// the output row), and the zeros its share rows have on either side.
constexpr std::int32_t kChunk = 64, kChunkPad = 4;

// One row of the mono diffusion in direction D (1: left to right, -1: right to left), a chunk of
// pixels at a time. Only the row itself feeds the decisions, so the scan carries the two shares
// ahead of it in registers and notes each pixel's decision and shares by position; then the
// chunk's bits are packed, and the rows below take its shares in one pass along it (next:
// c b a b c, after: d c b c d around each pixel, the same both ways), loops without a chain from
// pixel to pixel. The sums are the same as share by share, so every row ends as the plain kernel
// leaves it, margins included.
template <int D>
void diffuse_mono_row(std::uint8_t *bits, std::int32_t *now, std::int32_t *next, std::int32_t *after,
                      std::int32_t width) {
  std::int32_t share[4][kChunk + 2 * kChunkPad];
  std::uint8_t white[kChunk + 8];
  // The chain from pixel to pixel is the table lookup and one addition: the next pixel's slot in
  // the table is its value, less the table's start, plus the share b waiting for it (both known
  // a pixel early), plus this pixel's share a. Slots wrap as unsigned, values read back signed.
  constexpr std::uint32_t kFrom = static_cast<std::uint32_t>(kSharesFrom);
  std::uint32_t slot = static_cast<std::uint32_t>(now[D > 0 ? 0 : width - 1]) - kFrom;
  std::int32_t ahead = 0;  // share b waiting for the pixel after the next
  const std::int32_t chunks = (width + kChunk - 1) / kChunk;
  for (std::int32_t k = 0; k < chunks; ++k) {
    const std::int32_t lo = (D > 0 ? k : chunks - 1 - k) * kChunk;
    const std::int32_t n = std::min(kChunk, width - lo);  // the chunk is [lo, lo + n)
    for (auto &row : share) {
      std::fill_n(row, kChunkPad, 0);
      std::fill_n(row + kChunkPad + n, kChunkPad, 0);
    }
    std::fill_n(white + n, 8, 0);
    for (std::int32_t i = 0; i < n; ++i) {
      const std::int32_t at = D > 0 ? i : n - 1 - i;
      const std::int32_t v = static_cast<std::int32_t>(slot + kFrom);
      const bool listed = slot < kStuckiShares.size();
      const std::int32_t a = listed ? kShareA[slot] : shares_of(v).a;
      const stucki_shares s = listed ? kStuckiShares[slot] : shares_of(v);
      // Past the row's last pixel the value read is a margin's, and the slot made of it unused.
      const std::uint32_t base = static_cast<std::uint32_t>(now[lo + at + D]) - kFrom + static_cast<std::uint32_t>(ahead);
      slot = base + static_cast<std::uint32_t>(a);
      ahead = s.b;
      now[lo + at] = v;
      white[at] = v > 127;
      share[0][at + kChunkPad] = s.a;
      share[1][at + kChunkPad] = s.b;
      share[2][at + kChunkPad] = s.c;
      share[3][at + kChunkPad] = s.d;
    }
    for (std::int32_t i = 0; i < n; i += 8) {
      std::uint32_t byte = 0;
      for (int m = 0; m < 8; ++m) byte |= std::uint32_t(white[i + m]) << (7 - m);
      bits[(lo + i) / 8] = static_cast<std::uint8_t>(byte);
    }
    const std::int32_t *a = share[0] + kChunkPad, *b = share[1] + kChunkPad, *c = share[2] + kChunkPad,
                       *d = share[3] + kChunkPad;
    for (std::int32_t i = -2; i < n + 2; ++i) {
      next[lo + i] += c[i - 2] + b[i - 1] + a[i] + b[i + 1] + c[i + 2];
      after[lo + i] += d[i - 2] + c[i - 1] + b[i] + c[i + 1] + d[i + 2];
    }
  }
  // The shares still waiting fall past the row's last pixel, into the margin.
  const std::int32_t end = D > 0 ? width : -1;
  now[end] = static_cast<std::int32_t>(slot + kFrom);
  now[end + D] += ahead;
}

void diffuse_mono(std::uint8_t *bits, std::int32_t *now, std::int32_t *next, std::int32_t *after,
                  std::int32_t width, int row) {
  if ((row & 1) == 0) diffuse_mono_row<1>(bits, now, next, after, width);
  else diffuse_mono_row<-1>(bits, now, next, after, width);
}

}  // namespace

void dither_raster(std::uint8_t *dest, std::int32_t *rows, std::int32_t row_length, int row) {
  diffuse_mono(dest, rows, rows + row_length, rows + 2 * row_length, row_length - kGrayRowExtra, row);
}

// ---------------------------------------------------------------------------------------------
// The conversion frame.

namespace {

std::uint8_t *new_table(const conversion_frame *f) { return f->new_dib + kDibHeaderBytes; }

void free_frame_blocks(conversion_frame *f) {
  img_ffree(f->source);
  img_ffree(f->work);
  img_ffree(f->output);
  free_dib_block(f->new_block, f->new_dib);
}

// Takes every block the operation needs; false when one cannot be had.
bool take_frame_blocks(conversion_frame *f, const conversion &c) {
  const std::int32_t source_bytes = size_for_long(f->width, dib_bit_count(f->header));
  f->out_row_bytes = size_for_long(f->width, c.new_bits);
  if (source_bytes < 0 || f->out_row_bytes < 0) return false;
  const std::uint64_t dib_bytes = kDibHeaderBytes + (4u << c.new_bits) +
                                  std::uint64_t(f->out_row_bytes) * std::uint64_t(f->height);
  f->source = static_cast<std::uint8_t *>(take_work_block(source_bytes + kSourceSlack));
  const std::uint64_t values = work_values(c.rows, f->width);
  if (values != 0) f->work = static_cast<std::int32_t *>(take_work_block(values * sizeof(std::int32_t)));
  f->output = static_cast<std::uint8_t *>(take_work_block(std::uint64_t(f->out_row_bytes)));
  f->new_block = new_dib_block(dib_bytes, &f->new_dib);
  if (f->source == nullptr || (values != 0 && f->work == nullptr) || f->output == nullptr ||
      f->new_dib == nullptr)
    return false;
  // Margins are spread into and never read back as pixels; zeroed, they are at least defined.
  if (f->work != nullptr) std::memset(f->work, 0, static_cast<std::size_t>(values * sizeof(std::int32_t)));
  std::memset(f->output, 0, static_cast<std::size_t>(f->out_row_bytes));
  return true;
}

// The new header: the old one with the new bit count and sizes, and (where the operation does
// not build its own) the new colour table, all before the first row.
void start_new_dib(conversion_frame *f, const conversion &c) {
  std::uint8_t *h = f->new_dib;
  std::memcpy(h, f->header, kDibHeaderBytes);
  put_le16(h + kBiBitCount, static_cast<std::uint32_t>(c.new_bits));
  put_le32(h + kBiSizeImage, static_cast<std::uint32_t>(f->out_row_bytes) * static_cast<std::uint32_t>(f->height));
  put_le32(h + kBiClrUsed, 0);
  put_le32(h + kBiClrImportant, 0);
  if (c.table_kind != nullptr) create_dib_palette(h, c.table_kind);
}

// Puts the new DIB under the handle. A saved palette belonged to the old colours and goes
// with them; width, height and the crop rectangle stay as they were.
void replace_dib(conversion_frame *f) {
  image_object *image = f->image;
  if (image->saved_palette_handle != nullptr) {
    if (image->saved_palette != nullptr) GlobalUnlock(image->saved_palette_handle);
    GlobalFree(image->saved_palette_handle);
  }
  image->saved_palette_handle = nullptr;
  image->saved_palette = nullptr;
  replace_image_dib(image, f->new_block, f->new_dib);
  f->new_block = nullptr;
  f->new_dib = nullptr;
  free_frame_blocks(f);
}

}  // namespace

void emit_row(conversion_frame *f, std::int32_t r) {
  std::uint8_t *pixels = f->new_dib + kDibHeaderBytes + Palette_Size(f->new_dib);
  put_dib_raster(f->output, pixels, r, f->out_row_bytes);
  if (f->progress != nullptr) f->progress(f->user, f->height, r);
}

int run_conversion(int handle, const conversion &c, PXV_PROGRESS_PROC progress, LONG user,
                   const PALETTEENTRY *host) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  if (c.host_palette && host == nullptr) return kUnsupported;
  const std::uint8_t *dib = lock_image_dib(image);
  if (dib == nullptr) return kNoMemory;
  const int bits = dib_bit_count(dib);
  const bool taken = bits == 24 || (c.palette_sources && (bits == 4 || bits == 8));
  if (!taken || !dib_header_holdable(dib)) {
    unlock_image_dib(image);
    return kUnsupported;
  }
  conversion_frame f{};
  f.handle = handle;
  f.image = image;
  f.header = dib;
  f.width = dib_width(dib);
  f.height = dib_height(dib);
  f.progress = progress;
  f.user = user;
  f.host = host;
  if (!take_frame_blocks(&f, c)) {
    free_frame_blocks(&f);
    unlock_image_dib(image);
    return kNoMemory;
  }
  start_new_dib(&f, c);
  c.produce(&f);
  replace_dib(&f);
  return kOk;
}

namespace {

// ---------------------------------------------------------------------------------------------
// What each operation makes of the rows.

std::uint8_t luminance(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  return static_cast<std::uint8_t>((75 * green + 38 * red + 14 * blue) >> 7);
}

// The unshifted luminance (75 g + 38 r + 14 b) >> 7 straight from the stored rows, without
// expanding each pixel to four values first: a palette image's grays are worked out once per
// table entry (past a short table, black), a 24-bit image's per pixel. The tests check it
// against the plain formula on random images.
void produce_gray(conversion_frame *f) {
  const int bits = dib_bit_count(f->header);
  std::uint8_t table_gray[kMaxColours] = {};
  const std::uint8_t *table = f->header + kDibHeaderBytes;
  const std::uint32_t entries = Palette_Size(f->header) / 4;
  for (std::uint32_t i = 0; i < entries && i < kMaxColours && bits != 24; ++i)
    table_gray[i] = luminance(table[4 * i + 2], table[4 * i + 1], table[4 * i]);
  const std::uint8_t *pixels = table + Palette_Size(f->header);
  const std::int32_t row_bytes = size_for_long(f->width, bits);
  std::uint8_t *out = f->output;
  for (std::int32_t r = 0; r < f->height; ++r) {
    const std::uint8_t *row = pixels + static_cast<std::ptrdiff_t>(r) * row_bytes;
    if (bits == 24) {
      std::int32_t x = 0;
#if defined(__SSE2__)
      for (; x + 4 < f->width; x += 4) {
        const __m128i sum = _mm_srli_epi32(weigh_four(row + 3 * std::ptrdiff_t(x), 14, 75, 38), 7);
        put_le32(out + x, static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(sum, sum), sum))));
      }
#endif
      for (; x < f->width; ++x) out[x] = luminance(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
    } else if (bits == 8) {
      for (std::int32_t x = 0; x < f->width; ++x) out[x] = table_gray[row[x]];
    } else {
      for (std::int32_t x = 0; x < f->width; ++x) out[x] = table_gray[(x & 1) ? row[x / 2] & 0x0F : row[x / 2] >> 4];
    }
    emit_row(f, r);
  }
}

using colour_kernel = void (*)(std::uint8_t *, std::int32_t *, std::int32_t, int, const std::uint8_t *);

// The two-row colour diffusion over every row, for handles and files alike: `fetch(dest, r)`
// expands row r (rows past the end are never output, whatever it leaves there), and
// `store(r)` takes the finished output row, false when it could not be stored.
template <class Fetch, class Store>
bool diffuse_colour_rows(std::int32_t *work, std::int32_t width, std::int32_t height,
                         std::uint8_t *output, colour_kernel kernel, const std::uint8_t *table,
                         Fetch fetch, Store store) {
  const std::int32_t length = kRecord * width + kColourRowExtra;
  std::int32_t *current = work + kColourMargin;
  std::int32_t *next = current + length;
  fetch(current, 0);
  fetch(next, 1);
  for (std::int32_t r = 0; r < height; ++r) {
    kernel(output, current, length, r, table);
    std::memcpy(current, next, sizeof(std::int32_t) * static_cast<std::size_t>(length));
    fetch(next, r + 2);
    if (!store(r)) return false;
  }
  return true;
}

void produce_colour_diffusion(conversion_frame *f, colour_kernel kernel) {
  diffuse_colour_rows(
      f->work, f->width, f->height, f->output, kernel, new_table(f),
      [f](std::int32_t *dest, std::int32_t r) { fetch_color_raster(f->handle, dest, f->source, f->header, r); },
      [f](std::int32_t r) {
        emit_row(f, r);
        return true;
      });
}

void produce_mediancut(conversion_frame *f) { produce_colour_diffusion(f, dither_color_raster8); }
void produce_diffusion_color(conversion_frame *f) { produce_colour_diffusion(f, dither_color_raster); }
void produce_dither_to_palette(conversion_frame *f) {
  put_host_colours(new_table(f), f->host, kHostSixteen);
  produce_colour_diffusion(f, dither_color_raster);
}

// The nearest entry of `keys` for every pixel of the 24-bit image.
void map_rows(conversion_frame *f, const std::uint32_t *keys) {
  reset_key_lookup(&palette_keys.lookup, keys);
  const std::uint8_t *pixels = f->header + kDibHeaderBytes + Palette_Size(f->header);
  const std::int32_t row_bytes = size_for_long(f->width, 24);
  for (std::int32_t r = 0; r < f->height; ++r) {
    // The stored row is read where it lies: nothing writes to it while it is read.
    find_closest_pixel(pixels + std::ptrdiff_t(r) * row_bytes, f->output, &palette_keys.lookup, f->width);
    emit_row(f, r);
  }
}

void produce_popularity(conversion_frame *f) {
  perform_dib_hist(f->handle, palette_keys.counters);
  sort_colors(palette_keys.counters, palette_keys.keys);
  // Each entry is its key's colour with the low four bits of every channel 0.
  for (int i = 0; i < kKeyTableEntries; ++i) {
    const std::uint32_t key = palette_keys.keys[i];
    put_colour(new_table(f) + 4 * i, (key >> 4) & 0xF0, key & 0xF0, (key & 0x0F) << 4);
  }
  map_rows(f, palette_keys.keys);
}

void produce_map_to_palette(conversion_frame *f) {
  // Only the top nibbles choose; the table keeps the host's colours whole.
  for (int i = 0; i < kKeyTableEntries; ++i)
    palette_keys.keys[i] = colour_key(f->host[i].peRed, f->host[i].peGreen, f->host[i].peBlue);
  put_host_colours(new_table(f), f->host, kKeyTableEntries);
  map_rows(f, palette_keys.keys);
}

void produce_ordered_mono(conversion_frame *f, const std::uint8_t (*matrix)[8]) {
  for (std::int32_t r = 0; r < f->height; ++r) {
    fetch_gray_raster(f->handle, f->work, f->source, f->header, r);
    std::memset(f->output, 0, static_cast<std::size_t>(f->out_row_bytes));
    for (std::int32_t x = 0; x < f->width; ++x)
      if (f->work[x] > matrix[x & 7][r & 7]) f->output[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    emit_row(f, r);
  }
}

void produce_bayer_mono(conversion_frame *f) { produce_ordered_mono(f, bayer_matrix); }
void produce_halftone_mono(conversion_frame *f) { produce_ordered_mono(f, halftone_matrix); }

void produce_diffusion_mono(conversion_frame *f) {
  const std::int32_t length = f->width + kGrayRowExtra;
  std::int32_t *rows[3];
  for (int i = 0; i < 3; ++i) {
    rows[i] = f->work + kGrayMargin + i * length;
    fetch_gray_raster(f->handle, rows[i], f->source, f->header, i);
  }
  for (std::int32_t r = 0; r < f->height; ++r) {
    std::memset(f->output, 0, static_cast<std::size_t>(f->out_row_bytes));
    diffuse_mono(f->output, rows[0], rows[1], rows[2], f->width, r);
    // The next two rows move up and the finished row's space takes the row after them. Past the
    // last row the fetch writes nothing, and what the space holds stands for a row that is never
    // output. Margins are spread into and never read; cleared, they cannot grow without bound.
    std::int32_t *spare = rows[0];
    rows[0] = rows[1];
    rows[1] = rows[2];
    rows[2] = spare;
    spare[-2] = spare[-1] = spare[f->width] = spare[f->width + 1] = 0;
    fetch_gray_raster(f->handle, spare, f->source, f->header, r + 3);
    emit_row(f, r);
  }
}

void produce_bayer_color(conversion_frame *f) {
  for (std::int32_t r = 0; r < f->height; ++r) {
    fetch_color_raster(f->handle, f->work, f->source, f->header, r);
    std::memset(f->output, 0, static_cast<std::size_t>(f->out_row_bytes));
    for (std::int32_t x = 0; x < f->width; ++x) {
      const std::int32_t t = bayer_matrix[x & 7][r & 7];
      const std::int32_t *p = f->work + kRecord * x;
      // The 8- and 24-bit luminance is already lowered by 40, so there the bright bit asks
      // for a raw luminance 80 above the threshold.
      const std::uint32_t index = (p[kBlue] > t ? kBitBlue : 0) | (p[kGreen] > t ? kBitGreen : 0) |
                                  (p[kRed] > t ? kBitRed : 0) |
                                  (p[kLuminance] > t + kBrightMargin ? kBitBright : 0);
      f->output[x / 2] |= static_cast<std::uint8_t>(index << ((x & 1) ? 0 : 4));
    }
    emit_row(f, r);
  }
}

// The default tables of create_dib_palette that the results carry: 256 grays, the 3-3-2 colours,
// the 16 colours of 0, 128 and 255. A 1-bit table of any kind is black and white.
constexpr const char *kGrayTable = "tiff";
constexpr const char *k332Table = "targa";
constexpr const char *kSixteenTable = "pcx";
constexpr const char *kMonoTable = kGrayTable;

const conversion kMediancut = {true, 8, work_rows::colour_pair, k332Table, false, produce_mediancut};
const conversion kPopularity = {false, 8, work_rows::none, nullptr, false, produce_popularity};
const conversion kColorGray = {true, 8, work_rows::none, kGrayTable, false, produce_gray};
const conversion kMapToPalette = {false, 8, work_rows::none, nullptr, true, produce_map_to_palette};
const conversion kBayerMono = {true, 1, work_rows::gray, kMonoTable, false, produce_bayer_mono};
const conversion kHalftoneMono = {true, 1, work_rows::gray, kMonoTable, false, produce_halftone_mono};
const conversion kDiffusionMono = {true, 1, work_rows::gray_triple, kMonoTable, false, produce_diffusion_mono};
const conversion kBayerColor = {true, 4, work_rows::expanded, kSixteenTable, false, produce_bayer_color};
const conversion kDiffusionColor = {true, 4, work_rows::colour_pair, kSixteenTable, false, produce_diffusion_color};
const conversion kDitherToPalette = {true, 4, work_rows::colour_pair, nullptr, true, produce_dither_to_palette};

// ---------------------------------------------------------------------------------------------
// BMP file to BMP file.

constexpr std::uint32_t kSixteenTableBytes = 4 * kHostSixteen;
// File header, info header and the 16-colour table: where the output's rows begin.
constexpr std::uint32_t kOutputDataOffset = kFileHeaderBytes + kDibHeaderBytes + kSixteenTableBytes;

// The input's rules: the handle operation's bit counts, in the form this library's own BMP
// writer makes.
constexpr bmp_input_rules kDitherInput = {kPaletteBitCounts | bit_count_flag(24), false};

// The 14-byte file header, the input's info header made 4-bit, and the host's 16 colours.
void build_output_head(const bmp_input &in, std::int32_t out_row_bytes, const PALETTEENTRY *host,
                       std::uint8_t *head) {
  const std::uint32_t image_bytes = static_cast<std::uint32_t>(out_row_bytes) * static_cast<std::uint32_t>(in.height);
  head[0] = 'B';
  head[1] = 'M';
  put_le32(head + 2, image_bytes + kOutputDataOffset);
  put_le16(head + 6, 0);
  put_le16(head + 8, 0);
  put_le32(head + kDataOffsetField, kOutputDataOffset);
  std::uint8_t *info = head + kFileHeaderBytes;
  std::memcpy(info, in.info, kDibHeaderBytes);
  put_le16(info + kBiBitCount, 4);
  put_le32(info + kBiSizeImage, image_bytes);
  put_le32(info + kBiClrUsed, 0);
  put_le32(info + kBiClrImportant, 0);
  put_host_colours(info + kDibHeaderBytes, host, kHostSixteen);
}

int dither_file(int input, int output, const PALETTEENTRY *host) {
  bmp_input in{};
  const int taken = read_bmp_input(&in, input, kDitherInput);
  if (taken != 1) return taken;
  const std::int32_t out_row_bytes = size_for_long(in.width, 4);
  if (out_row_bytes < 0 || !file_size_fits(kOutputDataOffset + std::uint64_t(out_row_bytes) * std::uint64_t(in.height)))
    return kBadData;
  // Every block before the first byte is written, so that a failure writes nothing.
  auto *source = static_cast<std::uint8_t *>(take_work_block(std::uint64_t(in.row_bytes) + kSourceSlack));
  const std::uint64_t values = work_values(work_rows::colour_pair, in.width);
  auto *work = static_cast<std::int32_t *>(take_work_block(values * sizeof(std::int32_t)));
  auto *row = static_cast<std::uint8_t *>(take_work_block(std::uint64_t(out_row_bytes)));
  auto free_blocks = [&] {
    img_ffree(source);
    img_ffree(work);
    img_ffree(row);
  };
  if (source == nullptr || work == nullptr || row == nullptr) {
    free_blocks();
    return kNoMemory;
  }
  std::memset(work, 0, static_cast<std::size_t>(values * sizeof(std::int32_t)));
  std::memset(row, 0, static_cast<std::size_t>(out_row_bytes));
  std::uint8_t head[kOutputDataOffset];
  build_output_head(in, out_row_bytes, host, head);
  bool written = img_write_all(output, head, kOutputDataOffset);
  // The error is measured against the colours written, which the table of `head` holds.
  const std::uint8_t *table = head + kFileHeaderBytes + kDibHeaderBytes;
  written = written && diffuse_colour_rows(
      work, in.width, in.height, row, dither_color_raster, table,
      [&](std::int32_t *dest, std::int32_t r) {
        read_input_row(in, source, r);
        fetch_color_raster_fd(dest, source, in.info, r);
      },
      [&](std::int32_t r) {
        img_seek_mem(output, static_cast<std::int32_t>(kOutputDataOffset + std::uint32_t(r) * std::uint32_t(out_row_bytes)), kSeekSet);
        return img_write_all(output, row, static_cast<std::uint32_t>(out_row_bytes));
      });
  free_blocks();
  return written ? kOk : kShortWrite;
}

}  // namespace

}  // namespace pxv

using namespace pxv;

extern "C" {

int PXVAPI IMG_mediancut_color(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kMediancut, progress, user, nullptr);
}

int PXVAPI IMG_popularity_color(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kPopularity, progress, user, nullptr);
}

int PXVAPI IMG_color_gray(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kColorGray, progress, user, nullptr);
}

int PXVAPI IMG_map_to_palette(int handle, const PALETTEENTRY *palette) {
  return run_conversion(handle, kMapToPalette, nullptr, 0, palette);
}

int PXVAPI IMG_bayer_mono(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kBayerMono, progress, user, nullptr);
}

int PXVAPI IMG_halftone_mono(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kHalftoneMono, progress, user, nullptr);
}

int PXVAPI IMG_diffusion_mono(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kDiffusionMono, progress, user, nullptr);
}

int PXVAPI IMG_bayer_color(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kBayerColor, progress, user, nullptr);
}

int PXVAPI IMG_diffusion_color(int handle, PXV_PROGRESS_PROC progress, LONG user) {
  return run_conversion(handle, kDiffusionColor, progress, user, nullptr);
}

int PXVAPI IMG_dither_to_palette(int handle, const PALETTEENTRY *palette) {
  return run_conversion(handle, kDitherToPalette, nullptr, 0, palette);
}

int PXVAPI IMG_dither_to_palette_fd(HFILE input, HFILE output, const PALETTEENTRY *palette) {
  if (palette == nullptr) return kUnsupported;
  return dither_file(input, output, palette);
}

}  // extern "C"
