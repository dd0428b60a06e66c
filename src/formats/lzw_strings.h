// The string table of the GIF LZW decoder. A string is kept as its last 1 to 8
// bytes (`tail`, in string order from its low byte, the bytes above them 0) and a link (`head`)
// to the entry whose string is everything before them, a string whose length is a multiple of 8.
// Writing a string is then one 8-byte store per 8 bytes, back to front, and making an entry is one
// 8-byte copy and a byte: no stack, no walk a byte at a time. How many tail bytes an entry has
// follows from its length, and its first byte is kept so that the next entry can be made without
// reading the output.
//
// Every code, a root included, is an entry of the same shape, so the decoders write a code's
// string and make the next entry without asking what kind of code it is.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace pxv {

static_assert(std::endian::native == std::endian::little, "tails are stored as little-endian words");

// 4096 codes of 12 bits, and one more entry that takes the additions made once the table is full,
// so that adding needs no test: that entry is never named by a code.
constexpr std::uint32_t kLzwCodes = 4096;
constexpr std::uint32_t kLzwEntries = kLzwCodes + 1;
// Bytes a string may be written past its end: the first store of a tail is a whole word.
constexpr std::uint32_t kLzwWriteSlack = 8;

struct lzw_strings {
  std::uint64_t tail[kLzwEntries];
  std::uint16_t head[kLzwEntries];
  std::uint16_t length[kLzwEntries];
  std::uint8_t first[kLzwEntries];
};

// Every entry a one-byte string (the low byte of its code): roots are ready, and a code that a
// corrupt stream names out of turn still has a length.
inline void lzw_set_roots(lzw_strings &t) {
  for (std::uint32_t i = 0; i < kLzwEntries; ++i) {
    t.tail[i] = i & 0xFF;
    t.head[i] = 0;
    t.length[i] = 1;
    t.first[i] = static_cast<std::uint8_t>(i);
  }
}

// Makes entry n: the string of p followed by `last`. A string whose length is one past a
// multiple of 8 starts a new tail and links to p; any other extends p's tail.
inline void lzw_add(lzw_strings &t, std::uint32_t n, std::uint32_t p, std::uint8_t last) {
  const std::uint32_t length = t.length[p] + 1u;
  const std::uint32_t shift = 8 * ((length - 1) & 7);
  const bool extends = shift != 0;
  t.tail[n] = (extends ? t.tail[p] : 0) | (std::uint64_t{last} << shift);
  t.head[n] = static_cast<std::uint16_t>(extends ? t.head[p] : p);
  t.length[n] = static_cast<std::uint16_t>(length);
  t.first[n] = t.first[p];
}

// Writes the string of code c to out[0, length) and answers its length. The first store may run
// up to 7 bytes past the string's end (kLzwWriteSlack): the strings that follow overwrite them.
inline std::uint32_t lzw_write(std::uint8_t *out, const lzw_strings &t, std::uint32_t c) {
  const std::uint32_t length = t.length[c];
  std::uint32_t at = (length - 1) & ~7u;
  std::memcpy(out + at, &t.tail[c], 8);
  std::uint32_t k = t.head[c];
  while (at != 0) {
    at -= 8;
    std::memcpy(out + at, &t.tail[k], 8);
    k = t.head[k];
  }
  return length;
}

}  // namespace pxv
