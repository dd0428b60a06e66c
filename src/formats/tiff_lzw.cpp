// LZW decoding of TIFF strips (Compression 5), the TIFF 5.0 and later variant: codes packed most
// significant bit first, 9 to 12 bits wide, 256 Clear, 257 End of Information (EOI).
//
// The code width grows one code early: the encoder widens when its next free code reaches
// 2^n - 1 rather than 2^n, and the decoder, one entry behind it, widens when its own next free
// code reaches 2^n - 1 as well.
//
// Every string a code stands for has already been written to the output: an entry is made where
// the previous code's string was written, one byte longer, and that byte is the first of the
// string written next. So the table keeps, for each code, where its string was last written and
// its length, and writing a code is a copy from there: 16 bytes at a time, from earlier output
// that the copy cannot overtake. The output is kept in a window behind the rows being built;
// when the window slides, a code whose string falls out of it keeps its last byte and its
// prefix, and is written by walking prefixes back to one still in the window (a root always
// is). A Clear leaves only the roots, so it starts the window afresh.
//
// Malformed-input policy:
// - A code above the next free code (or any code but Clear, EOI and the 256 roots right after
//   a Clear, or at the start of the first strip) is impossible: the strip ends with -3 and the
//   rows already delivered stand. The container goes on with the next strip.
// - A root is still awaited in the next strip when a strip ends between a Clear and its root:
//   an entry made from a string of the table before the Clear could otherwise grow strings
//   past any bound.
// - No entry is made at or beyond code 4096; once the table is full, codes keep decoding from
//   it until a Clear.
// - A strip without EOI decodes on into the bytes that follow it. Where the stream ends, the
//   strip ends with the last code whose bits all came from the stream; a row not completed by
//   then is not delivered.
// - Decoding stops when the image has all its rows: no row past the image length is delivered.
#include <algorithm>
#include <cstring>

#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kClear = 256;
constexpr std::uint32_t kEoi = 257;
constexpr std::uint32_t kFirstFree = 258;
constexpr std::uint32_t kMinWidth = 9;
constexpr std::uint32_t kMaxWidth = 12;
constexpr std::uint32_t kCodes = 4096;
// One more entry takes the additions made once the table is full, so that adding needs no test:
// no code names it.
constexpr std::uint32_t kEntries = kCodes + 1;
constexpr std::uint32_t kNoData = 0xFFFFFFFFu;
// The stream is read in blocks of this size. A strip written a row at a time is a few kilobytes;
// a small block keeps the bytes copied out of the read cache close to the strip's own.
constexpr std::uint32_t kBlockBytes = 4096;
constexpr std::uint32_t kBlockBits = 8 * kBlockBytes;

// One buffer holds the input block (and 4 zero bytes behind it, so that a code's word never
// leaves it), the 256 roots as bytes (a root's string before it is first written) with 16 bytes
// that a copy from the last root may read, and then the window of output. Positions are offsets
// into it.
constexpr std::uint32_t kRoots = kBlockBytes + 16;
constexpr std::uint32_t kWindowStart = kRoots + 256 + 16;
// Output kept behind the write position when the window slides, and output written between
// slides: the longer the window, the fewer strings need a walk; the more between slides, the
// fewer bytes moved per byte written.
constexpr std::uint32_t kWindowKeep = 128u << 10;
constexpr std::uint32_t kWindowProgress = 256u << 10;
// The longest string: entries from 258 to 4095 grow by one byte each after a Clear.
constexpr std::uint32_t kLongest = kCodes - kFirstFree + 2;
// Bytes a copy may write and read past a string's end.
constexpr std::uint32_t kCopySlack = 16;
// Where no string of a code is in the window: Clear and EOI always, an entry whose string fell
// out of the window until it is written again.
constexpr std::uint32_t kGone = 0xFFFFFFFFu;

// A table entry in one word, so that making one is one store: where its string was last
// written (or kGone) in the low 32 bits, its length in the next 16, its prefix (the entry whose
// string is all but the last byte) in the top 16.
using lzw_entry = std::uint64_t;
constexpr lzw_entry make_entry(std::uint32_t pos, std::uint32_t length, std::uint32_t prefix) {
  return pos | std::uint64_t{length} << 32 | std::uint64_t{prefix} << 48;
}
constexpr std::uint32_t entry_pos(lzw_entry e) { return static_cast<std::uint32_t>(e); }
constexpr std::uint32_t entry_length(lzw_entry e) { return static_cast<std::uint32_t>(e >> 32) & 0xFFFF; }
constexpr std::uint32_t entry_prefix(lzw_entry e) { return static_cast<std::uint32_t>(e >> 48); }
inline void set_pos(lzw_entry &e, std::uint32_t pos) { e = (e & ~std::uint64_t{0xFFFFFFFFu}) | pos; }
// The table and the buffer share one block: one base register reaches both.
constexpr std::size_t kTableBytes = (kEntries * sizeof(lzw_entry) + 15) & ~std::size_t{15};

// The decoder's state for one page. The table, the previous code and where its string was
// written carry from code to code and, without a Clear, from strip to strip; the bit reader and
// the code width start afresh in every strip.
struct tiff_lzw_decoder {
  lzw_entry *entries;    // kEntries, and behind them in the same block:
  std::uint8_t *buffer;  // the input block, the roots and the window (slide_at + a string)
  std::uint8_t *last;    // kEntries: an entry's last byte, kept once its string leaves the window
  std::uint32_t row_bytes;
  std::uint32_t slide_at;
  std::uint32_t out;        // the end of the output
  std::uint32_t row_start;  // where the row being built begins
  std::uint32_t row_index;  // the index it will be delivered as
  std::uint32_t bit_pos;    // bits of the input block consumed
  std::uint32_t have;       // bytes of the input block from the stream
  std::uint32_t next_free;  // 0 while a root is awaited: no code is then in the table
  lzw_entry next;           // the entry the next code makes: the previous code's string, longer
  std::uint32_t width_limit;
};
tiff_lzw_decoder tiff_strtable;

std::uint32_t read_into(std::uint8_t *dst, std::uint32_t count) {
  const std::int32_t got = tiff_read(dst, count);
  return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

// Reads the input block from the stream's position: `keep` bytes of the last one stay in front.
void read_block(tiff_lzw_decoder &d, std::uint32_t keep) {
  d.have = keep + read_into(d.buffer + keep, kBlockBytes - keep);
  std::memset(d.buffer + d.have, 0, kBlockBytes + 4 - d.have);
}

inline std::uint32_t load_be32(const std::uint8_t *p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

// The code of `width` bits at bit `pos` of the input.
inline std::uint32_t code_at(const std::uint8_t *input, std::uint32_t pos, std::uint32_t width) {
  return (load_be32(input + (pos >> 3)) << (pos & 7)) >> (32 - width);
}

// The next code near the end of the block: when a code needs more bits than the block has left,
// the byte or two that still hold unread bits move to the front and the rest of the block is read
// behind them. A block that came back short holds the end of the stream: nothing follows it.
// kNoData when the code's bits are not all in the stream.
std::uint32_t code_at_block_end(tiff_lzw_decoder &d, std::uint32_t width) {
  if (width > kBlockBits - d.bit_pos && d.have == kBlockBytes) {
    const std::uint32_t carry = kBlockBytes - (d.bit_pos >> 3);
    if (carry != 0) std::memmove(d.buffer, d.buffer + kBlockBytes - carry, carry);
    read_block(d, carry);
    d.bit_pos = carry == 0 ? 0 : d.bit_pos & 7;
  }
  if (d.bit_pos + width > 8 * d.have) return kNoData;
  const std::uint32_t code = code_at(d.buffer, d.bit_pos, width);
  d.bit_pos += width;
  return code;
}

// Below this bit position a code of any width lies whole in the block.
std::uint32_t safe_bits(const tiff_lzw_decoder &d) {
  return 8 * d.have >= kMaxWidth ? 8 * d.have - kMaxWidth + 1 : 0;
}

// The next free code at which the table state changes: where the width grows (one code early,
// see above), or one past the spare entry, where a full table stops growing.
std::uint32_t next_stop(std::uint32_t n, std::uint32_t limit, std::uint32_t width) {
  return width < kMaxWidth && limit - 1 > n && limit - 1 < kCodes ? limit - 1 : kCodes + 1;
}

// Copies a string from earlier output, a word when it fits (most do) and 16 bytes at a time
// otherwise. The source ends at or before `dst`, so the bytes it needs are never ones the copy
// has written; up to 15 bytes past the string's end are written (and read) as well, and the
// strings that follow overwrite them. A string written a code or two earlier is often still on
// its way to memory: a load inside one earlier store is forwarded from it, one spanning two
// waits, and the word load spans two less often.
inline void copy_string(std::uint8_t *dst, const std::uint8_t *src, std::uint32_t length) {
  if (length <= 8) [[likely]] {
    std::uint64_t word;
    std::memcpy(&word, src, 8);
    std::memcpy(dst, &word, 8);
    return;
  }
  std::uint32_t i = 0;
  do {
    std::uint8_t chunk[16];
    std::memcpy(chunk, src + i, 16);
    std::memcpy(dst + i, chunk, 16);
    i += 16;
  } while (i < length);
}

// Writes the string of a code whose string has left the window at the end of the output: the
// bytes kept for it and its prefixes, back to the first prefix still in the window (a root at
// the latest), which is copied.
void write_walking(tiff_lzw_decoder &d, std::uint32_t code) {
  const lzw_entry *const e = d.entries;
  std::uint32_t k = code, rest = entry_length(e[code]);
  while (entry_pos(e[k]) == kGone && rest > 1) {
    k = entry_prefix(e[k]);
    --rest;
  }
  std::uint8_t *dst = d.buffer + d.out;
  // Only a root has length 1, and roots never leave: the test keeps a corrupt table in bounds.
  std::memcpy(dst, d.buffer + (entry_pos(e[k]) == kGone ? kRoots : entry_pos(e[k])), rest);
  for (std::uint32_t at = entry_length(e[code]), j = code; at > rest; j = entry_prefix(e[j])) dst[--at] = d.last[j];
}

// Slides the window: keeps the part of a row not yet delivered and the last kWindowKeep bytes,
// moves them to the front, and follows them with the positions. An entry whose string leaves
// keeps its last byte for the walk.
void slide(tiff_lzw_decoder &d) {
  const std::uint32_t keep_from = std::min(d.row_start, d.out - kWindowKeep);
  const std::uint32_t shift = keep_from - kWindowStart;
  for (std::uint32_t k = kFirstFree; k < d.next_free; ++k) {
    lzw_entry &e = d.entries[k];
    const std::uint32_t p = entry_pos(e);
    if (p == kGone) continue;
    if (p >= keep_from) {
      set_pos(e, p - shift);
    } else {
      d.last[k] = d.buffer[p + entry_length(e) - 1];
      set_pos(e, kGone);
    }
  }
  std::memmove(d.buffer + kWindowStart, d.buffer + keep_from, d.out - keep_from);
  d.out -= shift;
  if (d.next_free != 0) set_pos(d.next, entry_pos(d.next) - shift);
  d.row_start -= shift;
}

// After a Clear only the roots stand, and they are kept among the roots: the window starts again
// with the part of a row not yet delivered.
void restart_window(tiff_lzw_decoder &d) {
  const std::uint32_t pending = d.out - d.row_start;
  std::memmove(d.buffer + kWindowStart, d.buffer + d.row_start, pending);
  d.row_start = kWindowStart;
  d.out = kWindowStart + pending;
}

// Delivers every complete row and slides the window when it is full; false once the image has
// all its rows.
bool settle(tiff_lzw_decoder &d) {
  bool more = true;
  while (d.out - d.row_start >= d.row_bytes && more) {
    more = tiff_raster_to_dib(d.buffer + d.row_start, d.row_index);
    d.row_start += d.row_bytes;
    d.row_index += more ? 1 : 0;
  }
  if (more && d.out >= d.slide_at) slide(d);
  return more;
}

}  // namespace

int lzw_begin(std::uint32_t row_bytes) {
  tiff_lzw_decoder &d = tiff_strtable;
  d.row_bytes = row_bytes;
  d.slide_at = kWindowStart + std::max(row_bytes, kWindowKeep) + kWindowProgress;
  d.entries = static_cast<lzw_entry *>(img_fmalloc(kTableBytes + d.slide_at + kLongest + kCopySlack));
  d.last = static_cast<std::uint8_t *>(img_fmalloc(kEntries));
  if (d.entries == nullptr || d.last == nullptr) return -1;
  d.buffer = reinterpret_cast<std::uint8_t *>(d.entries) + kTableBytes;
  for (std::uint32_t k = 0; k < kEntries; ++k) {
    d.entries[k] = make_entry(k < 256 ? kRoots + k : kGone, 1, 0);
    d.last[k] = static_cast<std::uint8_t>(k);
  }
  for (std::uint32_t k = kRoots; k < kWindowStart; ++k) d.buffer[k] = static_cast<std::uint8_t>(k - kRoots);
  d.out = kWindowStart;
  d.next_free = 0;
  d.next = 0;
  d.width_limit = 1u << kMinWidth;
  return 0;
}

int decode_lzw_strip(std::uint32_t *row_index) {
  // The hot state lives in locals while the strip decodes (the output's stores could otherwise
  // alias it), and goes through the decoder around the rare paths.
  tiff_lzw_decoder &d = tiff_strtable;
  lzw_entry *const entries = d.entries;
  // The buffer is reached from the table's address, which spares a register in the loop.
  auto buffer = [entries](std::uint32_t at) { return reinterpret_cast<std::uint8_t *>(entries) + kTableBytes + at; };
  d.bit_pos = 0;
  read_block(d, 0);
  // A row not completed by the previous strip is dropped; its bytes stay as output that codes
  // may still copy from.
  d.row_start = d.out;
  d.row_index = *row_index;
  std::uint32_t bit_pos = 0;
  std::uint32_t bits_safe = safe_bits(d);
  std::uint32_t width = kMinWidth;
  std::uint32_t n = d.next_free;
  std::uint32_t limit = d.width_limit;
  std::uint32_t stop = next_stop(n, limit, width);
  lzw_entry next = d.next;
  std::uint32_t out = d.out;
  std::uint32_t event = std::min(d.row_start + d.row_bytes, d.slide_at);
  int rc;
  bool full = false;  // the image has all its rows
  for (;;) {
    if (out >= event) {
      d.out = out;
      d.next = next;
      d.next_free = n;
      const bool more = settle(d);
      out = d.out;
      next = d.next;
      event = std::min(d.row_start + d.row_bytes, d.slide_at);
      if (!more) {
        full = true;
        rc = 1;
        break;
      }
    }
    std::uint32_t code;
    if (bit_pos < bits_safe) {
      code = code_at(buffer(0), bit_pos, width);
      bit_pos += width;
    } else {
      d.bit_pos = bit_pos;
      code = code_at_block_end(d, width);
      bit_pos = d.bit_pos;
      bits_safe = safe_bits(d);
      if (code == kNoData) {
        rc = 1;
        break;
      }
    }
    std::uint32_t size;
    const lzw_entry e = entries[code];
    if (code < n && entry_pos(e) != kGone) {
      // The common case: a code whose string is in the window.
      size = entry_length(e);
      copy_string(buffer(out), buffer(entry_pos(e)), size);
    } else if (code == kEoi) {
      rc = 1;
      break;
    } else if (code == kClear) {
      width = kMinWidth;
      limit = 1u << kMinWidth;
      n = 0;
      d.out = out;
      restart_window(d);
      out = d.out;
      event = std::min(d.row_start + d.row_bytes, d.slide_at);
      continue;
    } else if (n == 0) {
      // The first code of the first strip, and the first after a Clear: a root, and no entry.
      if (code > 255) {
        rc = -3;
        break;
      }
      *buffer(out) = static_cast<std::uint8_t>(code);
      next = make_entry(out, 2, code);
      out += 1;
      n = kFirstFree;
      stop = next_stop(n, limit, width);
      continue;
    } else if (code == n) {
      // KwKwK: the code about to be made, the previous string followed by its own first byte.
      size = entry_length(next);
      copy_string(buffer(out), buffer(entry_pos(next)), size - 1);
      *buffer(out + size - 1) = *buffer(entry_pos(next));
    } else if (code < n) {
      // A string that left the window is written from what was kept of it, and is back in
      // the window from here.
      d.out = out;
      write_walking(d, code);
      // Read again rather than kept across the call, which would hold a register in the loop.
      size = entry_length(entries[code]);
      set_pos(entries[code], out);
    } else {
      rc = -3;
      break;
    }
    // The new entry: the previous string and the first byte just written, where the previous
    // string was written.
    entries[n] = next;
    if (++n == stop) {
      if (n > kCodes) {
        n = kCodes;  // full: the entry made was the spare one
      } else {
        ++width;
        limit *= 2;
      }
      stop = next_stop(n, limit, width);
    }
    next = make_entry(out, size + 1, code);
    out += size;
  }
  d.out = out;
  d.next = next;
  d.next_free = n;
  // Rows the last code completed are delivered before the strip ends.
  if (!full && out >= event) settle(d);
  d.width_limit = limit;
  *row_index = d.row_index;
  return rc;
}

}  // namespace pxv
