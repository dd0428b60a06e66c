// LZW decoding of TIFF strips (Compression 5), the TIFF 5.0 and later variant: codes packed most
// significant bit first, 9 to 12 bits wide, 256 Clear, 257 End of Information (EOI).
//
// The code width grows one code early: the encoder widens when its next free code reaches
// 2^n - 1 rather than 2^n, and the decoder, one entry behind it, widens when its own next free
// code reaches 2^n - 1 as well.
//
// Strings are written straight into the row buffer, back to front from their known lengths, so
// no stack is needed; a string that runs past the end of a row is split there, the row is
// delivered and the rest starts the next row.
//
// Malformed-input policy:
// - A code above the next free code (or any code but Clear, EOI and the 256 roots right after
//   a Clear, or at the start of the first strip) is impossible: the strip ends with -3 and the
//   rows already delivered stand. The container goes on with the next strip.
// - No entry is made at or beyond code 4096; once the table is full, codes keep decoding from
//   it until a Clear.
// - A strip without EOI decodes on into the bytes that follow it. Where the stream ends, the
//   strip ends with the last code whose bits all came from the stream; a row not completed by
//   then is not delivered.
// - Decoding stops when the image has all its rows: no row past the image length is delivered.
#include <bit>
#include <cstring>

#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kClear = 256;
constexpr std::uint32_t kEoi = 257;
constexpr std::uint32_t kFirstFree = 258;
constexpr std::uint32_t kTableSize = 4096;
constexpr std::int16_t kMinWidth = 9;
constexpr std::int16_t kMaxWidth = 12;
constexpr std::uint32_t kNoData = 0xFFFFFFFFu;
constexpr std::uint32_t kRowSlack = 16;
constexpr std::uint32_t kLzwBlockBytes = 10000;
constexpr std::uint32_t kLzwInputBytes = kLzwBlockBytes + 4;
constexpr std::uint32_t kBlockBits = 8 * kLzwBlockBytes;

// The string table. A string is kept as its last 1 to 8 bytes (`tail`, in string order from its
// low byte, the bytes above them 0) and a link to the entry whose string is everything before
// them: a string whose length is a multiple of 8. Writing a string is then one 8-byte store per
// 8 bytes, back to front, and making an entry is one 8-byte copy and a byte. The first byte is
// kept so that the next entry can be made without reading the output.
static_assert(std::endian::native == std::endian::little, "tails are stored as little-endian words");
struct tiff_lzw_entry {
  std::uint64_t tail;
  std::uint16_t head;       // the entry holding the string's whole 8-byte blocks before the tail
  std::uint16_t length;
  std::uint8_t tail_bytes;  // 1 to 8
  std::uint8_t first;
};

// The decoder's state for one page. The three table fields carry from code to code and, without
// a Clear, from strip to strip; the bit reader starts afresh in every strip.
struct tiff_lzw_decoder {
  tiff_lzw_entry *entry;  // kTableSize entries
  std::uint8_t *input;    // kLzwInputBytes: a block of the stream and zeros behind it
  std::uint8_t *rows;     // lzw_row_buffer_bytes(row_bytes): the row being built and slack
  std::uint32_t row_bytes;
  std::uint32_t next_free;
  std::int32_t previous;  // the previous code, or -1 before the first root
  std::uint32_t width_limit;
};
tiff_lzw_decoder tiff_strtable;

std::uint32_t read_into(std::uint8_t *dst, std::uint32_t count) {
  const std::int32_t got = tiff_read(dst, count);
  return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

inline std::uint32_t load_be32(const std::uint8_t *p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

inline void store64(std::uint8_t *p, std::uint64_t v) { std::memcpy(p, &v, 8); }

// Writes the string of entry `e` to out[0, length), back to front a tail and then 8-byte blocks.
// The first store may run up to 7 bytes past the string's end: the row buffer has slack for it,
// and the bytes there are overwritten by the strings that follow.
inline void write_string(std::uint8_t *out, const tiff_lzw_entry *table, const tiff_lzw_entry &e) {
  std::uint32_t at = e.length - e.tail_bytes;
  store64(out + at, e.tail);
  std::uint32_t k = e.head;
  while (at != 0) {
    at -= 8;
    store64(out + at, table[k].tail);
    k = table[k].head;
  }
}

std::uint64_t lzw_row_buffer_bytes(std::uint32_t row_bytes) {
  // The longest string (4096 bytes) may start one byte before the end of a row.
  const std::uint64_t three_rows = 3 * std::uint64_t{row_bytes};
  const std::uint64_t longest = std::uint64_t{row_bytes} + kTableSize;
  return (three_rows > longest ? three_rows : longest) + kRowSlack;
}

}  // namespace

int lzw_begin(std::uint32_t row_bytes) {
  tiff_lzw_decoder &d = tiff_strtable;
  d.input = static_cast<std::uint8_t *>(img_fmalloc(kLzwInputBytes));
  d.rows = static_cast<std::uint8_t *>(img_fmalloc(lzw_row_buffer_bytes(row_bytes)));
  d.entry = static_cast<tiff_lzw_entry *>(img_fmalloc(kTableSize * sizeof(tiff_lzw_entry)));
  if (d.input == nullptr || d.rows == nullptr || d.entry == nullptr) return -1;
  std::memset(d.entry, 0, kTableSize * sizeof(tiff_lzw_entry));
  for (std::uint32_t i = 0; i < 256; ++i) d.entry[i] = {i, 0, 1, 1, static_cast<std::uint8_t>(i)};
  d.row_bytes = row_bytes;
  d.next_free = kFirstFree;
  d.previous = -1;
  d.width_limit = 1u << kMinWidth;
  return 0;
}

int decode_lzw_strip(std::uint32_t *row_index) {
  // The bit reader and table state live in locals while the strip decodes (the row buffer's
  // stores could otherwise alias them), and the table state goes back to the decoder at the end.
  //
  // The input buffer holds a 10000-byte block of the stream; `pos` counts the bits of the block
  // consumed. When a code needs more bits than the block has left, the byte or two that still
  // hold unread bits move to the front and the rest of the block is read behind them. A code is
  // decoded only when all its bits came from the stream (`have` bytes of the block).
  tiff_lzw_decoder &d = tiff_strtable;
  std::uint8_t *const input = d.input;
  std::uint8_t *const row_buffer = d.rows;
  const std::uint32_t row_bytes = d.row_bytes;
  std::uint32_t pos = 0;
  std::uint32_t have = read_into(input, kLzwBlockBytes);
  std::memset(input + have, 0, kLzwInputBytes - have);
  std::uint32_t width = kMinWidth;
  std::uint32_t n = d.next_free;
  std::int32_t prev = d.previous;
  std::uint32_t limit = d.width_limit;
  std::uint32_t index = *row_index;
  tiff_lzw_entry *table = d.entry;

  // The next code of the current width, or kNoData when its bits are not all in the stream.
  auto getcode = [&]() -> std::uint32_t {
    if (pos + kMaxWidth > 8 * have) {
      if (width > kBlockBits - pos) {
        // Refill, carrying over the byte or two that still hold unread bits.
        const std::uint32_t carry = kLzwBlockBytes - (pos >> 3);
        if (carry == 1) input[0] = input[kLzwBlockBytes - 1];
        if (carry == 2) {
          input[0] = input[kLzwBlockBytes - 2];
          input[1] = input[kLzwBlockBytes - 1];
        }
        have = carry + read_into(input + carry, kLzwBlockBytes - carry);
        std::memset(input + have, 0, kLzwInputBytes - have);
        pos &= 7;
        if (carry == 0) pos = 0;
      }
      if (pos + width > 8 * have) return kNoData;
    }
    const std::uint32_t code = (load_be32(input + (pos >> 3)) << (pos & 7)) >> (32 - width);
    pos += width;
    return code;
  };

  // Makes entry n: the string of `p` followed by `last`.
  auto add_entry = [&](std::uint32_t p, std::uint32_t last) {
    const tiff_lzw_entry &pe = table[p];
    tiff_lzw_entry &ne = table[n];
    if (pe.tail_bytes < 8) {
      ne.tail = pe.tail | (std::uint64_t{last} << (8 * pe.tail_bytes));
      ne.head = pe.head;
      ne.tail_bytes = static_cast<std::uint8_t>(pe.tail_bytes + 1);
    } else {
      ne.tail = last;
      ne.head = static_cast<std::uint16_t>(p);
      ne.tail_bytes = 1;
    }
    ne.length = static_cast<std::uint16_t>(pe.length + 1);
    ne.first = pe.first;
    ++n;
    if (n == limit - 1 && width < kMaxWidth) {
      ++width;
      limit *= 2;
    }
  };

  auto decode = [&]() -> int {
    std::uint32_t out = 0;
    // The first code of the first strip, and the first after a Clear, is a root: one byte.
    auto start = [&](std::uint32_t code) -> int {
      while (code == kClear) {
        width = kMinWidth;
        limit = 1u << kMinWidth;
        n = kFirstFree;
        code = getcode();
      }
      if (code == kNoData || code == kEoi) return 1;
      if (code > kClear) return -3;
      row_buffer[out++] = static_cast<std::uint8_t>(code);
      prev = static_cast<std::int32_t>(code);
      return 0;
    };
    // Delivers every complete row, then moves what is left of the last string to the front.
    // Answers false when the image has all its rows.
    auto deliver_rows = [&]() -> bool {
      if (out < row_bytes) return true;
      std::uint32_t begin = 0;
      while (out - begin >= row_bytes) {
        if (!tiff_raster_to_dib(row_buffer + begin, index)) return false;
        begin += row_bytes;
        ++index;
      }
      std::memmove(row_buffer, row_buffer + begin, out - begin);
      out -= begin;
      return true;
    };
    if (prev < 0) {
      const int rc = start(getcode());
      if (rc != 0) return rc;
      // The root alone can complete a one-byte row (Clear, root, EOI is a whole 1×1 strip).
      if (!deliver_rows()) return 1;
    }
    while (true) {
      const std::uint32_t code = getcode();
      const std::uint32_t p = static_cast<std::uint32_t>(prev);
      if (code < kClear) {
        if (n < kTableSize) add_entry(p, code);
        row_buffer[out++] = static_cast<std::uint8_t>(code);
        prev = static_cast<std::int32_t>(code);
      } else if (code >= kFirstFree && code < n) {
        const tiff_lzw_entry &e = table[code];
        if (n < kTableSize) add_entry(p, e.first);
        write_string(row_buffer + out, table, e);
        out += e.length;
        prev = static_cast<std::int32_t>(code);
      } else if (code == n) {
        // KwKwK: the previous string followed by its own first byte, the entry just made.
        add_entry(p, table[p].first);
        const tiff_lzw_entry &e = table[code];
        write_string(row_buffer + out, table, e);
        out += e.length;
        prev = static_cast<std::int32_t>(code);
      } else if (code == kClear) {
        const int rc = start(code);
        if (rc != 0) return rc;
      } else if (code == kEoi || code == kNoData) {
        return 1;
      } else {
        return -3;
      }
      if (!deliver_rows()) return 1;
    }
  };
  const int rc = decode();
  d.next_free = n;
  d.previous = prev;
  d.width_limit = limit;
  *row_index = index;
  return rc;
}

}  // namespace pxv
