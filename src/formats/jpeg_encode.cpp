// The JPEG writer's kernels (see jpeg_encode.h) and its forward transform (see jpeg_common.h).
#include "formats/jpeg_encode.h"

#include "core/transpose8.h"
#include "formats/jpeg_common.h"

namespace pxv {

namespace {

// The colour transform's weights in thousandths: Y, U and V from red, green and blue. Each
// product is shifted right by 10 on its own (flooring) before the sum.
constexpr int kYr = 299, kYg = 587, kYb = 114;
constexpr int kUr = -148, kUg = -289, kUb = 437;
constexpr int kVr = 615, kVg = -515, kVb = -100;

#if !defined(__SSE2__)
int product(int weight, int sample) { return (weight * sample) >> 10; }
#endif

// The forward transform's matrix F[u][x]: the inverse one's A[x][u], rows and columns exchanged.
const struct forward_table {
  std::int16_t m[64];
  forward_table() {
    std::int16_t inverse[64];
    jpeg_cosine_table(inverse);
    for (int u = 0; u < 8; ++u)
      for (int x = 0; x < 8; ++x) m[u * 8 + x] = inverse[x * 8 + u];
  }
} forward;

#if defined(__SSE2__)
// The cosine table is symmetric about its middle: F[u][7 - x] = (-1)^u F[u][x], exactly in the
// rounded integers too (no entry lies near a rounding boundary). So each pass sums
// F[u][x] * (a[x] + a[7 - x]) over x < 4 for even u, and F[u][x] * (a[x] - a[7 - x]) for odd u:
// the same integers as the full sum, with half the products. For output u and pair p (x = 2p,
// 2p + 1), (F[u][2p], F[u][2p + 1]) in every lane.
const struct folded_table {
  __m128i pair[8][2];
  folded_table() {
    for (int u = 0; u < 8; ++u)
      for (int p = 0; p < 2; ++p) {
        const auto a = static_cast<std::uint16_t>(forward.m[u * 8 + 2 * p]);
        const auto b = static_cast<std::uint16_t>(forward.m[u * 8 + 2 * p + 1]);
        pair[u][p] = _mm_set1_epi32(static_cast<int>(a | (static_cast<std::uint32_t>(b) << 16)));
      }
  }
} folded;

// One pass over eight vectors a[0..7] of 16-bit lanes: for each u, the rounded sums
// (sum_x F[u][x] * a[x] + 16384) >> 15 lane by lane, to `sink` as lanes 0..3 and 4..7. The sums
// and differences of a[x] and a[7 - x] must fit in 16 bits.
template <typename Sink>
inline void transform_pass(const __m128i a[8], Sink sink) {
  __m128i even[2][2], odd[2][2];  // [pair][lanes 0..3 / 4..7], the pair's two inputs interleaved
  for (int p = 0; p < 2; ++p) {
    const __m128i s0 = _mm_add_epi16(a[2 * p], a[7 - 2 * p]), s1 = _mm_add_epi16(a[2 * p + 1], a[6 - 2 * p]);
    const __m128i d0 = _mm_sub_epi16(a[2 * p], a[7 - 2 * p]), d1 = _mm_sub_epi16(a[2 * p + 1], a[6 - 2 * p]);
    even[p][0] = _mm_unpacklo_epi16(s0, s1), even[p][1] = _mm_unpackhi_epi16(s0, s1);
    odd[p][0] = _mm_unpacklo_epi16(d0, d1), odd[p][1] = _mm_unpackhi_epi16(d0, d1);
  }
  const __m128i bias = _mm_set1_epi32(16384);
  for (int u = 0; u < 8; ++u) {
    const auto &src = u % 2 == 0 ? even : odd;
    const __m128i lo = _mm_add_epi32(_mm_madd_epi16(src[0][0], folded.pair[u][0]), _mm_madd_epi16(src[1][0], folded.pair[u][1]));
    const __m128i hi = _mm_add_epi32(_mm_madd_epi16(src[0][1], folded.pair[u][0]), _mm_madd_epi16(src[1][1], folded.pair[u][1]));
    sink(u, _mm_srai_epi32(_mm_add_epi32(lo, bias), 15), _mm_srai_epi32(_mm_add_epi32(hi, bias), 15));
  }
}

// The forward transform, handing each output row v to `sink` as 32-bit coefficients u 0..3 and
// 4..7. The row pass runs on the block's columns (lanes are rows), so its results come out as
// columns and are transposed back for the column pass.
template <typename Sink>
inline void forward_transform(const std::int8_t *in, int stride, Sink sink) {
  // Transpose the 8 x 8 bytes: pairs of rows, then of pairs, then of quads interleaved leave
  // columns 2i and 2i + 1 in c[i]; then widen with sign.
  __m128i c[4];
  transpose_bytes_8x8(in, stride, c);
  __m128i column[8];
  for (int i = 0; i < 4; ++i) {
    column[2 * i] = _mm_srai_epi16(_mm_unpacklo_epi8(c[i], c[i]), 8);
    column[2 * i + 1] = _mm_srai_epi16(_mm_unpackhi_epi8(c[i], c[i]), 8);
  }
  // Row pass: tt[u] holds temp[y][u] for y = 0..7. Its values stay far inside 16 bits (|s| <=
  // 128 times the table's largest row sum over 32768 is below 400), so saturating packs keep
  // them exactly, and their sums and differences in the column pass fit as well.
  __m128i tt[8];
  transform_pass(column, [&](int u, __m128i lo, __m128i hi) { tt[u] = _mm_packs_epi32(lo, hi); });
  // Transpose back: t[y] holds temp[y][u] for u = 0..7.
  __m128i d[8], e[8], t[8];
  for (int i = 0; i < 4; ++i) {
    d[2 * i] = _mm_unpacklo_epi16(tt[2 * i], tt[2 * i + 1]);
    d[2 * i + 1] = _mm_unpackhi_epi16(tt[2 * i], tt[2 * i + 1]);
  }
  for (int i = 0; i < 2; ++i)
    for (int h = 0; h < 2; ++h) {
      e[4 * i + 2 * h] = _mm_unpacklo_epi32(d[4 * i + h], d[4 * i + 2 + h]);
      e[4 * i + 2 * h + 1] = _mm_unpackhi_epi32(d[4 * i + h], d[4 * i + 2 + h]);
    }
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm_unpacklo_epi64(e[i], e[4 + i]);
    t[2 * i + 1] = _mm_unpackhi_epi64(e[i], e[4 + i]);
  }
  transform_pass(t, sink);
}
#endif

// For natural index i, its zig-zag position.
constexpr struct zig_zag_position {
  std::uint8_t of[64] = {};
  constexpr zig_zag_position() {
    for (int k = 0; k < 64; ++k) of[zig_zag[k]] = static_cast<std::uint8_t>(k);
  }
} zig_zag_inverse;

#if defined(__SSE2__)
// Splits 16 pixels of blue, green, red bytes into 16 blue, 16 green and 16 red bytes. Each
// round interleaves the low and high halves of the three vectors byte by byte; four rounds take
// the 3-cycle of the bytes back to planes (SSE2 has no byte shuffle).
inline void deinterleave3(const std::uint8_t *p, __m128i &c0, __m128i &c1, __m128i &c2) {
  __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
  __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
  for (int round = 0; round < 4; ++round) {
    const __m128i na = _mm_unpacklo_epi8(a, _mm_unpackhi_epi64(b, b));
    const __m128i nb = _mm_unpacklo_epi8(_mm_unpackhi_epi64(a, a), c);
    const __m128i nc = _mm_unpacklo_epi8(b, _mm_unpackhi_epi64(c, c));
    a = na, b = nb, c = nc;
  }
  c0 = a, c1 = b, c2 = c;
}

// (weight * sample) >> 10 for 16-bit lanes holding sample << 6: the high half of the 32-bit
// product is that product floored, as the arithmetic shift floors it, negative weights included.
inline __m128i weigh(__m128i sample_x64, int weight) {
  return _mm_mulhi_epi16(sample_x64, _mm_set1_epi16(static_cast<std::int16_t>(weight)));
}

inline __m128i weighted_sum(__m128i r, __m128i g, __m128i b, int wr, int wg, int wb) {
  return _mm_add_epi16(_mm_add_epi16(weigh(r, wr), weigh(g, wg)), weigh(b, wb));
}

inline __m128i clamp_samples(__m128i s) {
  return _mm_max_epi16(_mm_min_epi16(s, _mm_set1_epi16(127)), _mm_set1_epi16(-127));
}
#endif

// Stores 32 coded bits, most significant byte first, each 0xFF byte followed by a stuffed 0
// (T.81 F.1.2.3).
inline void store_word(jpeg_bit_writer &out, std::uint32_t bits) {
  // A byte of ~bits is 0 exactly where bits holds 0xFF.
  const std::uint32_t inverted = ~bits;
  if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
    out.bytes[out.length] = static_cast<std::uint8_t>(bits >> 24);
    out.bytes[out.length + 1] = static_cast<std::uint8_t>(bits >> 16);
    out.bytes[out.length + 2] = static_cast<std::uint8_t>(bits >> 8);
    out.bytes[out.length + 3] = static_cast<std::uint8_t>(bits);
    out.length += 4;
    return;
  }
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<std::uint8_t>(bits >> shift);
    out.bytes[out.length++] = byte;
    if (byte == 0xFF) out.bytes[out.length++] = 0;
  }
}

// Appends n bits (n <= 32, `bits` holding no more); every full 32 go out.
inline void put_bits(jpeg_bit_writer &out, std::uint32_t bits, int n) {
  out.word = (out.word << n) | bits;
  out.count += n;
  if (out.count >= 32) {
    out.count -= 32;
    store_word(out, static_cast<std::uint32_t>(out.word >> out.count));
  }
}

// Codes one (run, value) pair: the code of symbol run * 16 + size, then the value's low `size`
// bits (of value - 1 when it is negative). A symbol the table has no code for emits only the
// value bits, as the writer always did.
inline void put_value(jpeg_bit_writer &out, int run, int value, const jpeg_huff_code *table) {
  const unsigned magnitude = static_cast<unsigned>(value < 0 ? -value : value);
  const int size = magnitude == 0 ? 0 : 32 - __builtin_clz(magnitude);
  const jpeg_huff_code &c = table[((run << 4) | size) & 0xFF];
  const std::uint32_t low = static_cast<std::uint32_t>(value < 0 ? value - 1 : value) & ((1u << size) - 1);
  put_bits(out, (static_cast<std::uint32_t>(c.code) << size) | low, c.length + size);
}

// Bit k set when natural coefficient k of the block is not 0.
inline std::uint64_t non_zero_mask(const std::int16_t *block) {
  std::uint64_t mask = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + i + 8));
    const __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    mask |= static_cast<std::uint64_t>(~_mm_movemask_epi8(zeros) & 0xFFFF) << i;
  }
#else
  for (int i = 0; i < 64; ++i) mask |= static_cast<std::uint64_t>(block[i] != 0) << i;
#endif
  return mask;
}

}  // namespace

void jpeg_colour_row(const std::uint8_t *bgr, std::int8_t *y, std::int8_t *u, std::int8_t *v, int width) {
#if defined(__SSE2__)
  const __m128i low_bytes = _mm_set1_epi16(0x00FF), high_bytes_x64 = _mm_set1_epi16(0x3FC0);
  const __m128i level = _mm_set1_epi16(128);
  for (int i = 0; i < width; i += 16, bgr += 48) {
    __m128i b, g, r;
    deinterleave3(bgr, b, g, r);
    // Even pixels sit in the low bytes of the 16-bit lanes, odd ones in the high bytes; both as
    // sample << 6 for weigh().
    const __m128i be = _mm_slli_epi16(_mm_and_si128(b, low_bytes), 6);
    const __m128i ge = _mm_slli_epi16(_mm_and_si128(g, low_bytes), 6);
    const __m128i re = _mm_slli_epi16(_mm_and_si128(r, low_bytes), 6);
    const __m128i bo = _mm_and_si128(_mm_srli_epi16(b, 2), high_bytes_x64);
    const __m128i go = _mm_and_si128(_mm_srli_epi16(g, 2), high_bytes_x64);
    const __m128i ro = _mm_and_si128(_mm_srli_epi16(r, 2), high_bytes_x64);
    const __m128i ye = clamp_samples(_mm_sub_epi16(weighted_sum(re, ge, be, kYr, kYg, kYb), level));
    const __m128i yo = clamp_samples(_mm_sub_epi16(weighted_sum(ro, go, bo, kYr, kYg, kYb), level));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(y + i),
                     _mm_or_si128(_mm_and_si128(ye, low_bytes), _mm_slli_epi16(yo, 8)));
    const __m128i ue = clamp_samples(weighted_sum(re, ge, be, kUr, kUg, kUb));
    const __m128i ve = clamp_samples(weighted_sum(re, ge, be, kVr, kVg, kVb));
    const __m128i uv = _mm_packs_epi16(ue, ve);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(u + i / 2), uv);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(v + i / 2), _mm_unpackhi_epi64(uv, uv));
  }
#else
  for (int i = 0; i < width; ++i, bgr += 3) {
    const int b = bgr[0], g = bgr[1], r = bgr[2];
    y[i] = clamp_sample(product(kYr, r) + product(kYg, g) + product(kYb, b) - 128);
    if (i % 2 != 0) continue;
    u[i / 2] = clamp_sample(product(kUr, r) + product(kUg, g) + product(kUb, b));
    v[i / 2] = clamp_sample(product(kVr, r) + product(kVg, g) + product(kVb, b));
  }
#endif
}

void jpeg_gray_row(const std::uint8_t *gray, std::int8_t *y, int width) {
  int i = 0;
#if defined(__SSE2__)
  // value - 128 is the byte with its top bit flipped; -128 then moves up to -127.
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  auto shift = [&](__m128i s) {
    s = _mm_xor_si128(s, flip);
    return _mm_sub_epi8(s, _mm_cmpeq_epi8(s, flip));
  };
  for (; i + 16 <= width; i += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(y + i),
                     shift(_mm_loadu_si128(reinterpret_cast<const __m128i *>(gray + i))));
  for (; i + 8 <= width; i += 8)
    _mm_storel_epi64(reinterpret_cast<__m128i *>(y + i),
                     shift(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(gray + i))));
#endif
  for (; i < width; ++i) y[i] = clamp_sample(gray[i] - 128);
}

void jpeg_quantiser_init(jpeg_quantiser &q, const std::uint8_t *table) {
  for (int i = 0; i < 64; ++i) {
    q.table[i] = table[i];
    q.reciprocal[i] = static_cast<float>((1.0 + 1.0 / (1 << 17)) / table[i]);
  }
}

void jpeg_dct_quantise(const std::int8_t *in, int stride, const jpeg_quantiser &q, std::int16_t *out) {
#if defined(__SSE2__)
  // x / d truncated is x * r truncated, in single precision, with r = (1 + 2^-17) / d rounded:
  // for 0 <= x = n d + m < 2^15 (m < d), the product's relative error against x / d lies
  // between 0 and 2^-16 (2^-17 on purpose, less two roundings of at most 2^-24 each), so it is
  // at least n and below n + (d - 1) / d + x 2^-16 / d < n + 1. Negative x mirror that, and every
  // coefficient of 8-bit samples is well inside 2^15.
  forward_transform(in, stride, [&](int v, __m128i lo, __m128i hi) {
    const __m128i qlo = _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(lo), _mm_load_ps(q.reciprocal + 8 * v)));
    const __m128i qhi = _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(hi), _mm_load_ps(q.reciprocal + 8 * v + 4)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * v), _mm_packs_epi32(qlo, qhi));
  });
#else
  std::int32_t dct[64];
  jpeg_dct(in, dct, stride);
  for (int i = 0; i < 64; ++i) out[i] = static_cast<std::int16_t>(dct[i] / q.table[i]);
#endif
}

void jpeg_code_block(jpeg_bit_writer &out, std::int16_t &pred, const std::int16_t *block, const jpeg_huff_code *dc,
                     const jpeg_huff_code *ac) {
  put_value(out, 0, block[0] - pred, dc);
  pred = block[0];
  // The AC coefficients that are not 0, as a mask over zig-zag positions: runs are the gaps.
  std::uint64_t zig_zag_mask = 0;
  for (std::uint64_t m = non_zero_mask(block) & ~std::uint64_t{1}; m != 0; m &= m - 1)
    zig_zag_mask |= std::uint64_t{1} << zig_zag_inverse.of[__builtin_ctzll(m)];
  int last = 0;
  for (; zig_zag_mask != 0; zig_zag_mask &= zig_zag_mask - 1) {
    const int k = __builtin_ctzll(zig_zag_mask);
    int run = k - last - 1;
    // Each 16 zeros of a longer run are one (15, 0) code.
    for (; run > 15; run -= 16) put_bits(out, ac[0xF0].code, ac[0xF0].length);
    put_value(out, run, block[zig_zag[k]], ac);
    last = k;
  }
  if (last < 63) put_bits(out, ac[0].code, ac[0].length);
}

void jpeg_flush_bits(jpeg_bit_writer &out) {
  // Every 32 bits stored so far are two whole 16-bit units, so the pending count alone says how
  // far the last unit is filled.
  put_bits(out, 0, (16 - out.count % 16) % 16);
  for (; out.count > 0; out.count -= 8) {
    const auto byte = static_cast<std::uint8_t>(out.word >> (out.count - 8));
    out.bytes[out.length++] = byte;
    if (byte == 0xFF) out.bytes[out.length++] = 0;
  }
}

// The forward transform of jpeg_common.h: an 8 x 8 area of signed samples (rows `stride` apart)
// into 64 natural-order coefficients.
void jpeg_dct(const std::int8_t *in, std::int32_t *out, int stride) {
#if defined(__SSE2__)
  forward_transform(in, stride, [&](int v, __m128i lo, __m128i hi) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * v), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * v + 4), hi);
  });
#else
  const std::int16_t *m = forward.m;
  std::int32_t t[64];
  for (int y = 0; y < 8; ++y)
    for (int u = 0; u < 8; ++u) {
      std::uint32_t sum = 0;
      for (int xx = 0; xx < 8; ++xx) sum += static_cast<std::uint32_t>(in[y * stride + xx] * m[u * 8 + xx]);
      t[y * 8 + u] = jpeg_round15(sum);
    }
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) {
      std::uint32_t sum = 0;
      for (int y = 0; y < 8; ++y) sum += static_cast<std::uint32_t>(m[v * 8 + y] * t[y * 8 + u]);
      out[v * 8 + u] = jpeg_round15(sum);
    }
#endif
}

}  // namespace pxv
