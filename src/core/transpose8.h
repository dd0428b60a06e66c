// Eight rows of eight bytes transposed in SSE2 registers, for the kernels that turn blocks on
// their side (the JPEG writer's transform, the quarter turns).
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

namespace pxv {

// Rows src, src + stride, ... src + 7 stride. Interleaving bytes, then pairs, then fours leaves
// columns 2i and 2i + 1 in the low and high halves of c[i].
inline void transpose_bytes_8x8(const void *src, std::ptrdiff_t stride, __m128i c[4]) {
  const auto *p = static_cast<const std::uint8_t *>(src);
  __m128i r[8];
  for (int k = 0; k < 8; ++k) r[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + k * stride));
  const __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]), a1 = _mm_unpacklo_epi8(r[2], r[3]);
  const __m128i a2 = _mm_unpacklo_epi8(r[4], r[5]), a3 = _mm_unpacklo_epi8(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  c[0] = _mm_unpacklo_epi32(b0, b2), c[1] = _mm_unpackhi_epi32(b0, b2);
  c[2] = _mm_unpacklo_epi32(b1, b3), c[3] = _mm_unpackhi_epi32(b1, b3);
}

}  // namespace pxv
#endif
