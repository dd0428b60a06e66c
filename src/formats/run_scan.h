// Scans shared by the run-length writers (PCX, WPG, BMP): how far a stretch of bytes that no run
// starts in reaches, and how long a run is. Sixteen bytes are compared at a time where SSE2 is
// there, one at a time elsewhere; both give the same answers.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

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

// Where neighbours agree in a row of bytes: bit x is set where p[x] == p[x + 1] (x + 1 < n; a
// byte past the row equals nothing). A dithered picture cuts its rows into runs and stretches
// of a few bytes each, and a writer that compared bytes again for each of them spent most of
// its time setting up the comparisons and mispredicting where they stop; with the bits built
// once, a stretch's end is a bit scan of one word. `words` holds pair_bits::words_for(n).
struct pair_bits {
  std::uint64_t *words;

  static std::size_t words_for(std::int32_t n) { return static_cast<std::size_t>(n) / 64 + 1; }

  void build(const std::uint8_t *p, std::int32_t n) {
    std::memset(words, 0, words_for(n) * sizeof *words);
    std::int32_t x = 0;
#if defined(__SSE2__)
    // x is a multiple of 16, so each 16 bits land inside one word.
    for (; x + 17 <= n; x += 16) {
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + x));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + x + 1));
      const auto equal = static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next))));
      words[x >> 6] |= equal << (x & 63);
    }
#endif
    for (; x + 1 < n; ++x)
      if (p[x] == p[x + 1]) words[x >> 6] |= std::uint64_t{1} << (x & 63);
  }

  // The first x in [from, to) whose bit is set (Set) or clear, else `to`; to <= n.
  template <bool Set>
  std::int32_t next(std::int32_t from, std::int32_t to) const {
    if (from >= to) return to;
    std::int32_t i = from >> 6;
    std::uint64_t w = (Set ? words[i] : ~words[i]) & (~std::uint64_t{0} << (from & 63));
    while (w == 0) {
      if (++i << 6 >= to) return to;
      w = Set ? words[i] : ~words[i];
    }
    const std::int32_t x = (i << 6) + std::countr_zero(w);
    return x < to ? x : to;
  }
  bool at(std::int32_t x) const { return (words[x >> 6] >> (x & 63)) & 1; }
};

// Copies n bytes in 16-byte words: `out` must have room for 15 bytes past them, `p` must have
// that many readable bytes past them. Short literal stretches are most of a detailed row, and a
// call to memcpy for each cost more than the copy.
inline void copy_words(std::uint8_t *out, const std::uint8_t *p, std::int32_t n) {
  for (std::int32_t k = 0; k < n; k += 16) std::memcpy(out + k, p + k, 16);
}

}  // namespace pxv
