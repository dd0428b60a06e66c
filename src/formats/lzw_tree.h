// The string table shared by the GIF and TIFF LZW encoders. Each string is stored as its last
// byte and links to its first child (the first longer string seen that starts with it) and to
// its next sibling (another string with the same prefix), so that looking up prefix + byte walks
// the prefix's few children instead of hashing.
#pragma once

#include <cstdint>
#include <cstring>

namespace pxv {

struct lzw_entry {
  std::int16_t child;    // -1: none
  std::int16_t sibling;  // -1: none
  std::uint8_t last;
};

// Entries of the table: 4096 codes of 12 bits and a little room behind them.
constexpr int kLzwTableEntries = 4116;
// Codes from here on are counted but not stored: the table is full until the next Clear.
constexpr int kLzwMaxStoredCode = 4096;
// lzw_find's result for a prefix that has no child yet.
constexpr std::int32_t kLzwNoChildren = 0xFFFF;

// Every byte 0xFF makes every link read -1.
inline void lzw_clear(lzw_entry *table) {
  std::memset(table, 0xFF, sizeof(lzw_entry) * kLzwTableEntries);
}

// The code of prefix + byte when the table holds it; otherwise where a new entry links in:
// kLzwNoChildren when the prefix has no child yet, else the negated code of its last child
// (never 0: children are codes above the single bytes).
inline std::int32_t lzw_find(const lzw_entry *table, int prefix, int byte) {
  int code = table[prefix].child;
  if (code < 0) return kLzwNoChildren;
  for (;;) {
    if (table[code].last == byte) return code;
    const int sibling = table[code].sibling;
    if (sibling < 0) return -code;
    code = sibling;
  }
}

// Links `next` as the prefix's first child or as the sibling of its last child, as lzw_find
// said; returns the following code.
inline int lzw_link(lzw_entry *table, std::int32_t not_found, int prefix, int byte, int next) {
  if (next < kLzwMaxStoredCode) {
    if (not_found == kLzwNoChildren)
      table[prefix].child = static_cast<std::int16_t>(next);
    else
      table[-not_found].sibling = static_cast<std::int16_t>(next);
    table[next] = {-1, -1, static_cast<std::uint8_t>(byte)};
  }
  return next + 1;
}

}  // namespace pxv
