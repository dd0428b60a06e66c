// The string table and the coding loop shared by the GIF and TIFF LZW encoders.
//
// The table is a direct index: the code of the string prefix + byte sits at
// child[byte << 12 | prefix], 0 when the table lacks it (longer strings get codes above the
// pixel values and Clear). A look-up is one load with no comparison or probe, which matters because each
// look-up needs the code the last one found. Ordered by byte first, the strings made last (codes
// close together) that go on with the same byte share cache lines, which on detailed 8-bit
// images misses the cache about half as often as the order by prefix. The index is 2 MiB for
// bytes of 8 bits and 128 KiB for GIF's 4-bit pixels; it is zeroed once per save, and a Clear
// undoes only the entries assigned since the last one, which the table lists.
#pragma once

#include <cstdint>
#include <cstring>

namespace pxv {

// Codes stop at 4080, where both writers clear, so 4096 prefixes cover every string.
constexpr int kLzwCodes = 4096;

struct lzw_table {
  std::uint16_t *child;
  int assigned;                   // entries listed in `keys`
  std::uint32_t keys[kLzwCodes];  // where each string since the last Clear was entered

  static std::size_t child_bytes(int byte_bits) {
    return sizeof(std::uint16_t) * (static_cast<std::size_t>(kLzwCodes) << byte_bits);
  }
  // The table over `memory` of child_bytes(byte_bits), all of it empty.
  void start(void *memory, int bits) {
    child = static_cast<std::uint16_t *>(memory);
    assigned = 0;
    std::memset(child, 0, child_bytes(bits));
  }
  void clear() {
    for (int i = 0; i < assigned; ++i) child[keys[i]] = 0;
    assigned = 0;
  }
};

// What tells the two formats' LZW apart: the codes after the pixel values, the narrowest width,
// and whether the width grows when code 2^width is assigned (GIF) or one code before (TIFF).
struct lzw_rules {
  int clear_code;
  int min_width;
  int late;  // 1: grow once 2^width itself is assigned, 0: once 2^width - 1 is
};

// Where a coding stands between calls: rows follow each other without a break in the codes.
struct lzw_state {
  int prefix = 0;   // the code of the string read so far
  int next = 0;     // the code the next new string gets
  int width = 0;    // bits of the codes written now
  int grow_at = 0;  // the value of `next` that widens the codes, or at 12 bits clears the table

  void start(const lzw_rules &r, int first_byte) {
    prefix = first_byte;
    next = r.clear_code + 2;
    width = r.min_width;
    grow_at = (1 << width) + r.late;
  }
};

// Packs codes into bytes, least significant bit first (GIF) or most (TIFF), and hands the whole
// bytes to `write` once `kFlushAt` of them are there and another code is to follow. After a
// failed write nothing more is written; `rc` keeps the failure for the caller.
template <bool kMostFirst, int kFlushAt>
struct lzw_code_writer {
  int (*write)(int stream, const std::uint8_t *bytes, std::uint32_t count);
  int stream;
  int rc = 0;
  int count = 0;  // whole bytes in `buffer`
  std::uint32_t pending = 0;
  int pending_bits = 0;  // bits in `pending` not yet in a whole byte
  std::uint8_t buffer[kFlushAt + 4] = {};

  // A code of up to 12 bits completes at most two bytes: both are stored, and the count moves
  // past those that are complete, which spares a branch that would often guess wrong.
  void put(std::uint32_t code, int width) {
    if (count >= kFlushAt) flush();
    pending_bits += width;
    if (kMostFirst) {
      pending = pending << width | code;
      const std::uint32_t top = pending << (32 - pending_bits);  // pending_bits is 5 to 19
      buffer[count] = static_cast<std::uint8_t>(top >> 24);
      buffer[count + 1] = static_cast<std::uint8_t>(top >> 16);
    } else {
      pending |= code << (pending_bits - width);
      buffer[count] = static_cast<std::uint8_t>(pending);
      buffer[count + 1] = static_cast<std::uint8_t>(pending >> 8);
      pending >>= 8 * (pending_bits >> 3);
    }
    count += pending_bits >> 3;
    pending_bits &= 7;
  }
  void flush() {
    if (rc == 0) rc = write(stream, buffer, static_cast<std::uint32_t>(count));
    count = 0;
  }
  // The last byte padded with zero bits, and everything written.
  void finish() {
    if (pending_bits > 0)
      buffer[count++] = static_cast<std::uint8_t>(kMostFirst ? pending << (8 - pending_bits) : pending);
    pending_bits = 0;
    flush();
  }
};

// At 12 bits the table is cleared once code 4080 (TIFF: 4079) has been assigned, a little before
// it fills.
constexpr int kLzwLastWidthLimit = 4080;

// Codes the bytes [p, end) after those already read, writing through `out.put(code, width)`.
// The common step, a string found in the table, is one load and no call.
template <class Writer>
void lzw_code(lzw_table &table, lzw_state &s, const lzw_rules &r, const std::uint8_t *p,
              const std::uint8_t *end, Writer &out) {
  // The state is kept in locals while coding: the writer's byte stores could alias the fields,
  // which would otherwise be reloaded after every code.
  std::uint16_t *const child = table.child;
  std::uint32_t *const keys = table.keys;
  int assigned = table.assigned, next = s.next, width = s.width, grow_at = s.grow_at;
  std::uint32_t prefix = static_cast<std::uint32_t>(s.prefix);
  for (; p != end; ++p) {
    const std::uint32_t key = static_cast<std::uint32_t>(*p) << 12 | prefix;
    if (child[key] != 0) {
      prefix = child[key];
      continue;
    }
    out.put(prefix, width);
    child[key] = static_cast<std::uint16_t>(next);
    keys[assigned++] = key;
    prefix = *p;
    if (++next == grow_at) {
      if (width == 12) {
        out.put(static_cast<std::uint32_t>(r.clear_code), 12);
        table.assigned = assigned;
        table.clear();
        assigned = 0;
        width = r.min_width;
        next = r.clear_code + 2;
      } else {
        ++width;
      }
      grow_at = (width == 12 ? kLzwLastWidthLimit : 1 << width) + r.late;
    }
  }
  table.assigned = assigned;
  s.next = next;
  s.width = width;
  s.grow_at = grow_at;
  s.prefix = static_cast<int>(prefix);
}

}  // namespace pxv
