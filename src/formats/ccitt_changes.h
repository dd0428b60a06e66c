// The changing elements of a bilevel row, as the facsimile writers code them.
#pragma once

#include <bit>
#include <cstdint>

#include "core/bytes.h"

namespace pxv {

// The positions in [0, width) where a row's colour changes, the pixel before the first taken as
// white, followed by three entries `width` that stand for "no further change" wherever a coder
// looks one or two changes ahead; answers the number of changes. Every change found costs a
// count of leading zeros, and a word of 64 pixels without one a single XOR: the word XORed
// with itself shifted by one pixel has a bit set at each change. Reads whole 8-byte words, up to
// 7 bytes past the row's last byte.
inline std::int32_t find_changes(const std::uint8_t *row, std::int32_t width, std::int32_t *changes) {
  std::int32_t n = 0;
  std::uint64_t before = 1;  // the pixel before the word: white at the row's start
  for (std::int32_t x = 0; x < width; x += 64) {
    const std::uint64_t word = std::uint64_t{get_be32(row + x / 8)} << 32 | get_be32(row + x / 8 + 4);
    std::uint64_t marks = word ^ (word >> 1 | before << 63);
    if (width - x < 64) marks &= ~std::uint64_t{0} << (64 - (width - x));  // pixels past the width
    before = word & 1;
    while (marks != 0) {
      const int k = std::countl_zero(marks);
      changes[n++] = x + k;
      marks &= ~(std::uint64_t{1} << 63 >> k);
    }
  }
  changes[n] = changes[n + 1] = changes[n + 2] = width;
  return n;
}

}  // namespace pxv
