// Row conversion: every decoded row becomes a DIB row (white-is-zero, horizontal predictor,
// RGB to BGR, CMYK to BGR) and goes to the raster callback.
//
// Malformed-input policy:
// - Four samples that are not CMYK (RGB with an extra sample, 8 bits each) are delivered as
//   24-bit BGR rows: the extra sample is dropped, matching the 24-bit header.
// - The CMYK channel mask is the first byte of the caller's private block; on the library's own
//   load path, whose private block holds the header address, all four channels are used.
// - Rows at or past the image length (or, planar, past the planes' rows) are not delivered.
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// SSSE3 code is compiled beside the SSE2 baseline and chosen at run time.
#define PXV_SSSE3_DISPATCH 1
#include <tmmintrin.h>
#endif
#endif

#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

// Room past the widest layout, for the word stores of the conversion.
constexpr std::uint32_t kRowSlack = 16;

// Each 4-bit half complemented: two white-is-zero pixels of a 4-bit row at once.
constexpr std::array<std::uint8_t, 256> make_nibble_inverse() {
  std::array<std::uint8_t, 256> t{};
  for (int v = 0; v < 256; ++v) t[v] = static_cast<std::uint8_t>((0xF0 - (v & 0xF0)) | (0x0F - (v & 0x0F)));
  return t;
}
constexpr std::array<std::uint8_t, 256> xlat_buff = make_nibble_inverse();

// Swaps the first and third byte of every whole triplet of src[0, r) into dst (which may be src):
// RGB to BGR. Five triplets at a time in a 16-byte word whose last byte (the next triplet's
// first) is stored back as it was read, so the next word, read from there, still finds it; then
// two triplets at a time in an 8-byte word whose last two bytes are stored back likewise; the
// bytes left over one triplet at a time.
#if defined(__SSE2__)
// The five whole triplets of a 16-byte word swapped; its last byte stays.
inline __m128i swap_word(__m128i v) {
  const __m128i keep = _mm_setr_epi8(0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, -1);
  const __m128i from_right = _mm_setr_epi8(-1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, 0);
  const __m128i from_left = _mm_setr_epi8(0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0);
  return _mm_or_si128(_mm_and_si128(v, keep), _mm_or_si128(_mm_and_si128(_mm_srli_si128(v, 2), from_right),
                                                           _mm_and_si128(_mm_slli_si128(v, 2), from_left)));
}
#endif

void swap_triplets(std::uint8_t *dst, const std::uint8_t *src, std::uint32_t r) {
  static_assert(std::endian::native == std::endian::little, "the word's first byte is its lowest");
  std::uint32_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= r; i += 15)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i),
                     swap_word(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i))));
#endif
  for (; i + 8 <= r; i += 6) {
    std::uint64_t v;
    std::memcpy(&v, src + i, 8);
    // Bytes 1 and 4 (green) and 6, 7 stay; 2, 5 move down to 0, 3 and 0, 3 up to 2, 5.
    v = (v & 0xFFFF00FF0000FF00u) | ((v >> 16) & 0x00000000FF0000FFu) | ((v << 16) & 0x0000FF0000FF0000u);
    std::memcpy(dst + i, &v, 8);
  }
  for (; i + 2 < r; i += 3) {
    const std::uint8_t first = src[i];
    dst[i] = src[i + 2];
    dst[i + 1] = src[i + 1];
    dst[i + 2] = first;
  }
  if (dst != src && i < r) std::memcpy(dst + i, src + i, r - i);
}

// swap_triplets into a `dst` apart from `src`, for rows written into the DIB: byte q of a whole
// triplet takes src[q + 2], src[q] or src[q - 2] as q % 3 is 0, 1 or 2, so an output word takes
// the three source words at those distances and keeps from each the bytes whose positions ask
// for it. The words are stored at 16-byte boundaries of `dst`, whole: with Stream they go
// straight to memory instead of reading every line of a DIB larger than the cache into it
// first (an sfence then orders them before whatever the caller stores next). The masks repeat
// every three words, 16 being 1 modulo 3, so three words are done a turn with their nine masks
// at hand. Bytes before the first boundary, and from where a word would read past `src` or
// reach past the whole triplets, are done one at a time.
#if defined(__SSE2__)
struct triplet_masks {
  // [phase][q % 3 of the byte][byte]: 0xFF where taken. Phases 0, 1, 2, 0, 1, so that three
  // words on from any phase find their masks in a row.
  alignas(16) std::uint8_t m[5][3][16];
};
constexpr triplet_masks make_triplet_masks() {
  triplet_masks t{};
  for (int phase = 0; phase < 5; ++phase)
    for (int j = 0; j < 16; ++j) t.m[phase][(phase + j) % 3][j] = 0xFF;
  return t;
}
constexpr triplet_masks kTripletMasks = make_triplet_masks();

// The whole words of swap_triplets_apart from q, three a turn; answers where they stopped. A
// word at q reads src[q - 2, q + 18).
template <bool Stream>
std::uint32_t swap_words_sse2(std::uint8_t *dst, const std::uint8_t *src, std::uint32_t q, std::uint32_t r,
                              std::uint32_t whole) {
  auto word = [dst, src](std::uint32_t at, const std::uint8_t (*m)[16]) {
    auto load = [](const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); };
    auto mask = [](const std::uint8_t *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); };
    const __m128i v = _mm_or_si128(_mm_and_si128(load(src + at + 2), mask(m[0])),
                                   _mm_or_si128(_mm_and_si128(load(src + at), mask(m[1])),
                                                _mm_and_si128(load(src + at - 2), mask(m[2]))));
    if constexpr (Stream)
      _mm_stream_si128(reinterpret_cast<__m128i *>(dst + at), v);
    else
      _mm_store_si128(reinterpret_cast<__m128i *>(dst + at), v);
  };
  const auto *m = &kTripletMasks.m[q % 3];
  for (; q + 50 <= r && q + 48 <= whole; q += 48) {
    word(q, m[0]);
    word(q + 16, m[1]);
    word(q + 32, m[2]);
  }
  for (std::uint32_t k = 0; q + 18 <= r && q + 16 <= whole; q += 16) word(q, m[k++]);
  return q;
}

#if defined(PXV_SSSE3_DISPATCH)
// With SSSE3 a word is two byte shuffles: of the 16 source bytes from q - 2 (which hold every
// byte taken from two before its place, and those taken from its own place but the last two)
// and of the 16 from q + 2 (the rest). Six ops a word against the ten of the masks above; a
// sixth of a 4-MPixel RGB PackBits load went to this swap. [phase][byte]: the source byte's
// index in its word, or -128 (not taken), phases 0, 1, 2, 0, 1 as above.
struct triplet_shuffles {
  alignas(16) std::int8_t low[5][16];
  alignas(16) std::int8_t high[5][16];
};
constexpr triplet_shuffles make_triplet_shuffles() {
  triplet_shuffles t{};
  for (int phase = 0; phase < 5; ++phase)
    for (int j = 0; j < 16; ++j) {
      const int from = (phase + j) % 3;  // 0: two on, 1: its own place, 2: two before
      const bool in_low = from == 2 || (from == 1 && j + 2 < 16);
      t.low[phase][j] = static_cast<std::int8_t>(!in_low ? -128 : from == 2 ? j : j + 2);
      t.high[phase][j] = static_cast<std::int8_t>(in_low ? -128 : from == 0 ? j : j - 2);
    }
  return t;
}
constexpr triplet_shuffles kTripletShuffles = make_triplet_shuffles();

template <bool Stream>
__attribute__((target("ssse3"))) inline void swap_word_ssse3(std::uint8_t *dst, const std::uint8_t *src, __m128i low,
                                                             __m128i high) {
  const __m128i v = _mm_or_si128(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src - 2)), low),
                                 _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2)), high));
  if constexpr (Stream)
    _mm_stream_si128(reinterpret_cast<__m128i *>(dst), v);
  else
    _mm_store_si128(reinterpret_cast<__m128i *>(dst), v);
}

template <bool Stream>
__attribute__((target("ssse3"))) std::uint32_t swap_words_ssse3(std::uint8_t *dst, const std::uint8_t *src,
                                                                std::uint32_t q, std::uint32_t r,
                                                                std::uint32_t whole) {
  auto table = [](const std::int8_t *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); };
  const int phase = static_cast<int>(q % 3);
  const __m128i low0 = table(kTripletShuffles.low[phase]), high0 = table(kTripletShuffles.high[phase]);
  const __m128i low1 = table(kTripletShuffles.low[phase + 1]), high1 = table(kTripletShuffles.high[phase + 1]);
  const __m128i low2 = table(kTripletShuffles.low[phase + 2]), high2 = table(kTripletShuffles.high[phase + 2]);
  for (; q + 50 <= r && q + 48 <= whole; q += 48) {
    swap_word_ssse3<Stream>(dst + q, src + q, low0, high0);
    swap_word_ssse3<Stream>(dst + q + 16, src + q + 16, low1, high1);
    swap_word_ssse3<Stream>(dst + q + 32, src + q + 32, low2, high2);
  }
  if (q + 18 <= r && q + 16 <= whole) {
    swap_word_ssse3<Stream>(dst + q, src + q, low0, high0);
    q += 16;
  }
  if (q + 18 <= r && q + 16 <= whole) {
    swap_word_ssse3<Stream>(dst + q, src + q, low1, high1);
    q += 16;
  }
  return q;
}

bool ssse3_allowed = true;

// Whether this processor has SSSE3: every x86 since 2006 or so, but the 32-bit DLL's baseline
// is SSE2, so it is asked once at run time.
bool have_ssse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has && ssse3_allowed;
}
#endif

template <bool Stream>
void swap_triplets_apart(std::uint8_t *dst, const std::uint8_t *src, std::uint32_t r) {
  const std::uint32_t whole = r - r % 3;
  std::uint32_t q = static_cast<std::uint32_t>(-reinterpret_cast<std::uintptr_t>(dst) & 15u);
  if (q < 2) q += 16;
  std::uint32_t i = 0;
  for (; i < q && i < whole; ++i) dst[i] = src[i + 2 - 2 * (i % 3)];
  if (i == q) {
#if defined(PXV_SSSE3_DISPATCH)
    q = have_ssse3() ? swap_words_ssse3<Stream>(dst, src, q, r, whole) : swap_words_sse2<Stream>(dst, src, q, r, whole);
#else
    q = swap_words_sse2<Stream>(dst, src, q, r, whole);
#endif
    if constexpr (Stream) _mm_sfence();
    for (i = q; i < whole; ++i) dst[i] = src[i + 2 - 2 * (i % 3)];
  }
  if (i < r) std::memcpy(dst + i, src + i, r - i);
}
#endif

// Undoes horizontal differencing in place: byte i += byte i - S for every i from S to r - 1
// (S = 3: by pixel of three samples; S = 1: by byte), modulo 256. Each byte depends on the one S
// before it; in 16-byte words the sums are formed by doubling shifts (S, 2S, 4S, 8S), so a word
// costs four adds instead of sixteen dependent ones, and the last S sums of a word, repeated
// across a word, carry into the next. With S = 3 a word holds five whole pixels: its last byte
// is stored back as read, and the next word starts there.
//
// With Swap (S = 3, `src` apart from `row`) the sums are formed from `src` and stored into `row`
// in BGR order: one pass instead of a swap and then the sums. The sums run by sample either way,
// so the order they are stored in changes nothing else; the byte a word stores past its five
// pixels is the next word's first and is written again by it.
template <std::uint32_t S, bool Swap = false>
void undo_predictor(std::uint8_t *row, std::uint32_t r, const std::uint8_t *src = nullptr) {
  static_assert(!Swap || S == 3);
  if constexpr (!Swap) src = row;
  std::uint32_t i = S;
  if constexpr (Swap) {
    if (r < S) {
      std::memcpy(row, src, r);
      return;
    }
    row[0] = src[2];
    row[1] = src[1];
    row[2] = src[0];
  }
#if defined(__SSE2__)
  constexpr std::uint32_t step = 16 - 16 % S;
  if (r >= S + 16) {
    // The last S bytes of a word (its last pixel) at the bottom, repeated up the word.
    auto repeat = [](__m128i low) {
      low = _mm_or_si128(low, _mm_slli_si128(low, S));
      low = _mm_or_si128(low, _mm_slli_si128(low, 2 * S));
      low = _mm_or_si128(low, _mm_slli_si128(low, 4 * S));
      if constexpr (8 * S < 16) low = _mm_or_si128(low, _mm_slli_si128(low, 8 * S));
      return low;
    };
    std::uint32_t seed = 0;
    for (std::uint32_t k = 0; k < S; ++k) seed |= std::uint32_t{src[k]} << (8 * k);
    __m128i carry = repeat(_mm_cvtsi32_si128(static_cast<int>(seed)));
    const __m128i low_bytes = _mm_cvtsi32_si128(static_cast<int>(0xFFFFFFu >> (8 * (3 - S))));
    const __m128i whole = step == 16 ? _mm_set1_epi8(-1) : _mm_srli_si128(_mm_set1_epi8(-1), 16 - step);
    for (; i + 16 <= r; i += step) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
      __m128i sum = _mm_add_epi8(v, _mm_slli_si128(v, S));
      sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 2 * S));
      sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 4 * S));
      if constexpr (8 * S < 16) sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 8 * S));
      sum = _mm_add_epi8(sum, carry);
      if constexpr (Swap)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i), swap_word(sum));
      else
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i),
                         _mm_or_si128(_mm_and_si128(sum, whole), _mm_andnot_si128(whole, v)));
      carry = repeat(_mm_and_si128(_mm_srli_si128(sum, step - S), low_bytes));
    }
  }
#endif
  // S bytes at a time, so that a pixel's samples, each in its own running sum, stay whole.
  if constexpr (Swap) {
    for (; i + S <= r; i += S)
      for (std::uint32_t k = 0; k < S; ++k)
        row[i + 2 - k] = static_cast<std::uint8_t>(src[i + k] + row[i + 2 - k - S]);
    // Bytes past the last whole triplet (samples of other than 8 bits) are copied as they are.
    if (i < r) std::memcpy(row + i, src + i, r - i);
  } else {
    for (; i + S <= r; i += S)
      for (std::uint32_t k = 0; k < S; ++k) row[i + k] = static_cast<std::uint8_t>(row[i + k] + row[i + k - S]);
  }
}

// Step 4 of the row conversion and the delivery: colour order, CMYK, then the raster callback
// unless the row was built in its place in the DIB. `swapped`: the row's triplets are in BGR
// order already.
void deliver_row(std::uint8_t *row, std::uint32_t index, bool swapped, bool in_dib) {
  const tiff_reader &reader = tiffstruct;
  const tiff_fields &t = reader.tags;
  const std::uint32_t width = t.image_width;
  const std::uint32_t r = reader.rows.chunky_bytes;
  std::uint32_t produced = r;
  std::int32_t size = reader.rows.row_size;
  if (t.samples_per_pixel >= 3) {
    if (t.photometric == kSeparated) {
      // C, M, Y, K to B, G, R in place; a channel outside the mask counts as 0.
      const std::uint8_t mask = reader.channel_mask;
      const int c_on = mask & 1, m_on = mask & 2, y_on = mask & 4, k_on = mask & 8;
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint8_t *s = row + 4 * x;
        const int cy = c_on ? s[0] : 0, mg = m_on ? s[1] : 0, ye = y_on ? s[2] : 0,
                  bk = k_on ? s[3] : 0;
        std::uint8_t *d = row + 3 * x;
        d[0] = static_cast<std::uint8_t>(ye + bk >= 255 ? 0 : 255 - (ye + bk));
        d[1] = static_cast<std::uint8_t>(mg + bk >= 255 ? 0 : 255 - (mg + bk));
        d[2] = static_cast<std::uint8_t>(cy + bk >= 255 ? 0 : 255 - (cy + bk));
      }
      produced = 3 * width;
      size = static_cast<std::int32_t>(tiff_size_for_long(width, 24));
    } else if (t.samples_per_pixel == 4 && t.bits_per_sample == 8) {
      // RGB with an extra sample: the extra sample is dropped.
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint8_t red = row[4 * x], green = row[4 * x + 1], blue = row[4 * x + 2];
        row[3 * x] = blue;
        row[3 * x + 1] = green;
        row[3 * x + 2] = red;
      }
      produced = 3 * width;
      size = static_cast<std::int32_t>(tiff_size_for_long(width, 24));
    } else if (!swapped) {
      swap_triplets(row, row, r);
    }
  }
  // Padding bytes of the delivered row are 0, never left-overs of the conversion.
  if (static_cast<std::uint32_t>(size) > produced)
    std::memset(row + produced, 0, static_cast<std::uint32_t>(size) - produced);
  if (!in_dib) reader.raster(row, reader.raster_private, static_cast<int>(index), size);
}

// Steps 2 to 5 of the row conversion, on the chunky row at `row`.
// `predicted`: the predictor has been undone already.
void convert_row(std::uint8_t *row, std::uint32_t index, bool swapped, bool in_dib, bool predicted = false) {
  const tiff_fields &t = tiffstruct.tags;
  const std::uint32_t r = tiffstruct.rows.chunky_bytes;
  const std::uint32_t bits = tiff_bits_per_pixel();
  if (t.photometric == kWhiteIsZero) {
    if (t.bits_per_sample == 1) {
      for (std::uint32_t i = 0; i < r; ++i) row[i] ^= 0xFF;
    } else if (t.bits_per_sample == 4) {
      for (std::uint32_t i = 0; i < r; ++i) row[i] = xlat_buff[row[i]];
    } else if (bits == 8 || bits == 24) {
      for (std::uint32_t i = 0; i < r; ++i) row[i] = static_cast<std::uint8_t>(255 - row[i]);
    }
  }
  if (t.predictor == 2 && !predicted) {
    // Horizontal differencing, bytewise modulo 256: by pixel for three samples, else by byte
    // (also for four samples, as this library always has).
    if (t.samples_per_pixel == 3)
      undo_predictor<3>(row, r);
    else
      undo_predictor<1>(row, r);
  }
  deliver_row(row, index, swapped, in_dib);
}

// RGB to BGR into the row's place in the DIB, the stores streamed past the cache where the DIB
// is larger than the cache would keep of it.
void swap_into_dib(std::uint8_t *dst, const std::uint8_t *src, std::uint32_t r) {
#if defined(__SSE2__)
  if (tiffstruct.rows.stream_stores)
    swap_triplets_apart<true>(dst, src, r);
  else
    swap_triplets_apart<false>(dst, src, r);
#else
  swap_triplets(dst, src, r);
#endif
}

}  // namespace

void tiff_allow_ssse3([[maybe_unused]] bool on) {
#if defined(PXV_SSSE3_DISPATCH)
  ssse3_allowed = on;
#endif
}

void convert_and_deliver(std::uint8_t *row, std::uint32_t index, bool swapped, bool in_dib) {
  convert_row(row, index, swapped, in_dib);
}

std::uint8_t *row_target(std::uint32_t index, bool *in_dib) {
  const tiff_row_layout &l = tiffstruct.rows;
  std::uint8_t *dib_row =
      l.in_dib ? dib_row_address(tiffstruct.raster_private, static_cast<int>(index), l.row_size) : nullptr;
  *in_dib = dib_row != nullptr;
  return *in_dib ? dib_row : l.conv_row;
}

bool tiff_begin_rows() {
  const tiff_fields &t = tiffstruct.tags;
  tiff_row_layout &l = tiffstruct.rows;
  const int bits = tiff_bits_per_pixel() == 32 ? 24 : static_cast<int>(tiff_bits_per_pixel());
  l.chunky_bytes = static_cast<std::uint32_t>((std::uint64_t{t.image_width} * tiff_bits_per_pixel() + 7) / 8);
  l.planar = t.planar_config == 2 && t.samples_per_pixel > 1;
  l.planes = l.planar ? t.samples_per_pixel : 1;
  l.decode_bytes = l.planar
                       ? static_cast<std::uint32_t>((std::uint64_t{t.image_width} * t.bits_per_sample + 7) / 8)
                       : l.chunky_bytes;
  l.virtual_rows = std::uint64_t{t.image_length} * l.planes;
  l.row_size = static_cast<std::int32_t>(tiff_size_for_long(t.image_width, bits));
  std::uint64_t capacity = l.chunky_bytes;
  if (std::uint64_t(l.row_size) > capacity) capacity = static_cast<std::uint64_t>(l.row_size);
  // A CMYK row is read as four bytes per pixel whatever the samples say.
  if (t.samples_per_pixel >= 3 && 4 * std::uint64_t{t.image_width} > capacity)
    capacity = 4 * std::uint64_t{t.image_width};
  l.conv_capacity = static_cast<std::uint32_t>(capacity + kRowSlack);
  // Only a CMYK row is read past its decoded bytes (four per pixel whatever the samples say);
  // other rows' padding is cleared as they are delivered.
  l.clear_to = (t.samples_per_pixel >= 3 && t.photometric == kSeparated) ? l.conv_capacity : l.decode_bytes;
  l.swap_on_copy = !l.planar && t.samples_per_pixel == 3 && t.photometric != kSeparated;
  // On the library's own load path a row of one or three samples is converted where it is
  // delivered, in the DIB: every conversion step stays inside the row's bytes, and the padding
  // is cleared there, so the row is written once instead of built and then copied.
  l.in_dib = tiffstruct.raster == raster_to_dib && t.photometric != kSeparated &&
             (t.samples_per_pixel == 1 || t.samples_per_pixel == 3) &&
             l.chunky_bytes <= static_cast<std::uint32_t>(l.row_size);
  // A DIB over 2 MiB, about what a core keeps of a cache shared with others, would be written
  // out of the cache during the load anyway.
  l.stream_stores = l.in_dib && std::uint64_t{static_cast<std::uint32_t>(l.row_size)} * t.image_length > (2u << 20);
  l.conv_row = static_cast<std::uint8_t *>(img_fmalloc(l.conv_capacity));
  return l.conv_row != nullptr;
}

bool tiff_raster_to_dib(const std::uint8_t *source, std::uint32_t index) {
  const tiff_row_layout &l = tiffstruct.rows;
  const std::uint32_t n = l.decode_bytes;
  if (index >= l.virtual_rows) return false;
  if (l.planar) {
    spool_row(index, source);
    return true;
  }
  // With three samples the colour order can be swapped as the row is copied: the white-is-zero
  // step works byte by byte and the predictor triplet by triplet, so neither sees the difference.
  bool in_dib;
  std::uint8_t *row = row_target(index, &in_dib);
  // The predictor's sums come before the colour order only after white-is-zero, which an RGB
  // row never takes: otherwise the sums and the swap are one pass.
  const bool predicted = l.swap_on_copy && tiffstruct.tags.predictor == 2 && tiffstruct.tags.photometric != kWhiteIsZero;
  if (predicted)
    undo_predictor<3, true>(row, n, source);
  else if (l.swap_on_copy && in_dib)
    swap_into_dib(row, source, n);
  else if (l.swap_on_copy)
    swap_triplets(row, source, n);
  else
    std::memcpy(row, source, n);
  if (!in_dib && l.clear_to > n) std::memset(row + n, 0, l.clear_to - n);
  convert_row(row, index, l.swap_on_copy, in_dib, predicted);
  return true;
}

}  // namespace pxv
