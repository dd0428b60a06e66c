// What the JPEG reader and writer share: the zig-zag order, the fixed-point cosine table and the
// separable 8 x 8 transform both directions are built on. Kept inline here so that the reader
// and the writer each link without the other.
//
// Both transforms are the plain matrix product of the fixed-point basis with the block, first
// over rows, then over columns, each sum rounded by +16384 and an arithmetic shift by 15:
//
//   inverse:  temp[i][c] = (sum_u x[i][u] * A[c][u] + 16384) >> 15        (kept as 16 bits)
//             out[r][c]  = (sum_u A[r][u] * temp[u][c] + 16384) >> 15      (limited -127..127)
//   forward:  temp[y][u] = (sum_x s[y][x] * F[u][x] + 16384) >> 15
//             dct[v][u]  = (sum_y F[v][y] * temp[y][u] + 16384) >> 15
//
// with A[x][u] = C(u) cos((2x+1) u pi / 16) * 32768 and F the same table transposed. Sums wrap in
// 32 bits, as the arithmetic the format's files were made with did. The SSE2 kernels below give
// the same bits as the plain formulas (the tests keep the plain version and compare on random
// blocks): pmaddwd forms exact 32-bit products of 16-bit operands, and no table entry is -32768,
// so its pairwise sums never leave 32 bits before the wrapping 32-bit adds that follow.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pxv {

// For zig-zag position k, the natural (row-major) index of that coefficient (ITU-T T.81
// Figure A.6).
inline constexpr std::uint8_t zig_zag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The fixed-point basis A[x][u] (row x, column u) = C(u) cos((2x + 1) u pi / 16) * 32768,
// rounded to nearest with halves away from zero; C(0) = 0.5 / sqrt(2), C(u) = 0.5 otherwise.
// Computed in double precision, as the codec always did; row 0 reads 11585, 16069, 15137, ...
inline void jpeg_cosine_table(std::int16_t table[64]) {
  const double pi = 3.14159265358979323846;
  for (int x = 0; x < 8; ++x)
    for (int u = 0; u < 8; ++u) {
      const double c = u == 0 ? 0.5 / std::sqrt(2.0) : 0.5;
      table[x * 8 + u] = static_cast<std::int16_t>(std::round(c * std::cos((2 * x + 1) * u * pi / 16) * 32768));
    }
}

// Level-shifted samples are kept within -127..127 in both directions: the codec never produces
// -128, so black decodes to 1, not 0.
inline std::int8_t clamp_sample(std::int32_t s) {
  return static_cast<std::int8_t>(s < -127 ? -127 : (s > 127 ? 127 : s));
}

// The wrapping 32-bit rounding step of both passes.
inline std::int32_t jpeg_round15(std::uint32_t sum) {
  return static_cast<std::int32_t>(sum + 16384u) >> 15;
}

// Separable transform out = M * in * M^T in the shape both directions share: the first pass is
// t[i][c] = round15(sum_u in[i][u] * M[c][u]), the second out[r][c] = round15(sum_u M[r][u] *
// t[u][c]). The inverse uses M = A (with t wrapped to 16 bits), the forward M = A transposed.
// `rows` marks which input rows hold a non-zero value (bit i for row i); rows not marked are
// taken as zero, which gives a zero first-pass row.
struct jpeg_kernel {
  std::int16_t m[64];  // M[c][u]
#if defined(__SSE2__)
  // First pass: for input pair (u, u+1), the M entries of outputs c = 0..3 and c = 4..7,
  // interleaved as (M[c][u], M[c][u+1]).
  __m128i row_lo[4], row_hi[4];
  // Second pass: for output row r and input pair (u, u+1), (M[r][u], M[r][u+1]) in every lane.
  __m128i col[8][4];
#endif
};

inline void jpeg_kernel_init(jpeg_kernel &k, const std::int16_t m[64]) {
  for (int i = 0; i < 64; ++i) k.m[i] = m[i];
#if defined(__SSE2__)
  for (int p = 0; p < 4; ++p) {
    alignas(16) std::int16_t lo[8], hi[8];
    for (int c = 0; c < 4; ++c) {
      lo[2 * c] = m[c * 8 + 2 * p];
      lo[2 * c + 1] = m[c * 8 + 2 * p + 1];
      hi[2 * c] = m[(c + 4) * 8 + 2 * p];
      hi[2 * c + 1] = m[(c + 4) * 8 + 2 * p + 1];
    }
    k.row_lo[p] = _mm_load_si128(reinterpret_cast<const __m128i *>(lo));
    k.row_hi[p] = _mm_load_si128(reinterpret_cast<const __m128i *>(hi));
  }
  for (int r = 0; r < 8; ++r)
    for (int p = 0; p < 4; ++p) {
      const std::uint32_t pair = static_cast<std::uint16_t>(m[r * 8 + 2 * p]) |
                                 (static_cast<std::uint32_t>(static_cast<std::uint16_t>(m[r * 8 + 2 * p + 1])) << 16);
      k.col[r][p] = _mm_set1_epi32(static_cast<int>(pair));
    }
#endif
}

#if defined(__SSE2__)
// One first-pass row: 8 inputs to 8 rounded 32-bit sums (lo: c 0..3, hi: c 4..7).
inline void jpeg_kernel_row(const jpeg_kernel &k, __m128i in, __m128i &lo, __m128i &hi) {
  const __m128i bias = _mm_set1_epi32(16384);
  __m128i p0 = _mm_shuffle_epi32(in, 0x00), p1 = _mm_shuffle_epi32(in, 0x55);
  __m128i p2 = _mm_shuffle_epi32(in, 0xAA), p3 = _mm_shuffle_epi32(in, 0xFF);
  lo = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(p0, k.row_lo[0]), _mm_madd_epi16(p1, k.row_lo[1])),
                     _mm_add_epi32(_mm_madd_epi16(p2, k.row_lo[2]), _mm_madd_epi16(p3, k.row_lo[3])));
  hi = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(p0, k.row_hi[0]), _mm_madd_epi16(p1, k.row_hi[1])),
                     _mm_add_epi32(_mm_madd_epi16(p2, k.row_hi[2]), _mm_madd_epi16(p3, k.row_hi[3])));
  lo = _mm_srai_epi32(_mm_add_epi32(lo, bias), 15);
  hi = _mm_srai_epi32(_mm_add_epi32(hi, bias), 15);
}

// Packs two vectors of 32-bit values to 16 bits by truncation (keeping the low halves), not
// saturation: what "kept as 16 bits" means.
inline __m128i jpeg_pack_wrap(__m128i lo, __m128i hi) {
  lo = _mm_srai_epi32(_mm_slli_epi32(lo, 16), 16);
  hi = _mm_srai_epi32(_mm_slli_epi32(hi, 16), 16);
  return _mm_packs_epi32(lo, hi);
}

// Second pass for output row r over the 8 first-pass rows t (16-bit): 32-bit sums, c 0..3/4..7.
inline void jpeg_kernel_col(const jpeg_kernel &k, const __m128i t[8], int r, __m128i &lo, __m128i &hi) {
  const __m128i bias = _mm_set1_epi32(16384);
  __m128i sl = bias, sh = bias;
  for (int p = 0; p < 4; ++p) {
    const __m128i a = t[2 * p], b = t[2 * p + 1];
    sl = _mm_add_epi32(sl, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), k.col[r][p]));
    sh = _mm_add_epi32(sh, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), k.col[r][p]));
  }
  lo = _mm_srai_epi32(sl, 15);
  hi = _mm_srai_epi32(sh, 15);
}
#endif

// The kernels, defined by the reader (inverse) and the writer (forward).
// Inverse transform of a natural-order block into an 8 x 8 area of signed samples; `rows` marks
// the coefficient rows that may be non-zero (bit i for row i), the others are taken as zero.
void jpeg_idct_rows(const std::int16_t *coef, unsigned rows, std::int8_t *out, int stride);
void jpeg_idct(const std::int16_t *coef, std::int8_t *out, int stride);
// Forward transform of an 8 x 8 area of signed samples into 64 natural-order coefficients.
void jpeg_dct(const std::int8_t *in, std::int32_t *out, int stride);

}  // namespace pxv
