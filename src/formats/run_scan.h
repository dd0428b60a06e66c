// Scans shared by the run-length writers (PCX, WPG): how far a stretch of bytes that no run
// starts in reaches, and how long a run is. Sixteen bytes are compared at a time where SSE2 is
// there, one at a time elsewhere; both give the same answers.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pxv {

// Copies the bytes from the start of p[0, n) that come before the first that starts a pair of
// equal bytes or, with `stop_at_marks`, the first of 0xC0 or more (a PCX byte that needs a
// count) to `out`, and answers how many they are. Copying while scanning spares a call for the
// many short stretches of a detailed image; `out` must have room for 16 bytes past them.
inline std::int32_t copy_literal(const std::uint8_t *p, std::int32_t n, bool stop_at_marks,
                                 std::uint8_t *out) {
  std::int32_t k = 0;
#if defined(__SSE2__)
  const __m128i marks = _mm_set1_epi8(static_cast<char>(0xC0));
  const __m128i stop = stop_at_marks ? marks : _mm_setzero_si128();
  // Each step compares 16 bytes with the 16 after them, so it needs 17 bytes of the data.
  for (; k + 17 <= n; k += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k + 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), here);
    const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(here, next),
                                     _mm_cmpeq_epi8(_mm_and_si128(here, stop), marks));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return k + std::countr_zero(mask);
  }
#endif
  for (; k < n; ++k) {
    if (k + 1 < n && p[k + 1] == p[k]) break;
    if (stop_at_marks && p[k] >= 0xC0) break;
    out[k] = p[k];
  }
  return k;
}

// The number of bytes from the start of p[0, n), n >= 1, equal to p[0], at most `most`.
inline std::int32_t run_length(const std::uint8_t *p, std::int32_t n, std::int32_t most) {
  const std::int32_t limit = n < most ? n : most;
  std::int32_t k = 1;
#if defined(__SSE2__)
  const __m128i value = _mm_set1_epi8(static_cast<char>(p[0]));
  for (; k + 16 <= limit; k += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k));
    const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, value)));
    if (same != 0xFFFF) return k + std::countr_zero(~same);
  }
#endif
  while (k < limit && p[k] == p[0]) ++k;
  return k;
}

}  // namespace pxv
