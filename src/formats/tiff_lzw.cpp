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

// The string table: each entry is a prefix code (-1 for a root) and a last byte; its length and
// first byte are kept so that a string can be written back to front from its known length, and
// the next entry made, without reading the output.
struct lzw_entry {
  std::int16_t prefix;
  std::uint16_t length;
  std::uint8_t last;
  std::uint8_t first;
};
struct lzw_table {
  lzw_entry entry[kTableSize];
};
lzw_table *strtable = nullptr;

// The bit reader: bits still unread in the input buffer, the code mask and width, the bit
// offset inside the current byte, and the current byte `bp`.
struct decoder_state {
  std::uint32_t unread;
  std::uint32_t mask;
  std::int16_t width;
  std::int16_t bit_offset;
};
decoder_state dcs;
std::uint32_t bp;
// Bytes of the input buffer that came from the stream; the rest reads as 0 and ends the strip.
std::uint32_t valid;

// Table state carried from code to code (and, without a Clear, from strip to strip).
std::uint32_t next_free;
std::int32_t previous;
std::uint32_t width_limit;

void reset_roots() {
  for (std::uint32_t i = 0; i < 256; ++i)
    strtable->entry[i] = {-1, 1, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i)};
}

std::uint32_t read_into(int stream, std::uint8_t *dst, std::uint32_t count) {
  const std::int32_t got = img_read_mem(stream, dst, count);
  return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

// Writes the string of `code` so that it ends at out[length - 1], walking the prefixes back.
inline void write_string(std::uint8_t *out, std::uint32_t code, std::uint32_t length) {
  const lzw_entry *table = strtable->entry;
  std::int32_t k = static_cast<std::int32_t>(code);
  for (std::uint32_t j = length; j > 0 && k >= 0; --j) {
    out[j - 1] = table[k].last;
    k = table[k].prefix;
  }
}

}  // namespace

std::uint64_t lzw_row_buffer_bytes(std::uint32_t row_bytes) {
  // The longest string (4096 bytes) may start one byte before the end of a row.
  const std::uint64_t three_rows = 3 * std::uint64_t{row_bytes};
  const std::uint64_t longest = std::uint64_t{row_bytes} + kTableSize;
  return (three_rows > longest ? three_rows : longest) + kRowSlack;
}

int initlzw() {
  strtable = static_cast<lzw_table *>(img_fmalloc(sizeof(lzw_table)));
  if (strtable == nullptr) return -1;
  std::memset(strtable, 0, sizeof(lzw_table));
  reset_roots();
  next_free = kFirstFree;
  previous = -1;
  width_limit = 1u << kMinWidth;
  return 0;
}

void done_lzw() {
  img_ffree(strtable);
  strtable = nullptr;
}

int decode_lzw_strip(int stream, std::uint8_t *input, std::uint32_t *row_index,
                     std::uint32_t row_bytes, std::uint8_t *row_buffer) {
  // The bit reader and table state live in locals while the strip decodes (the row buffer's
  // byte stores could otherwise alias them), and go back to the file-static state at the end.
  decoder_state d{0, (1u << kMinWidth) - 1, kMinWidth, 0};
  std::uint32_t at = 0;        // bp
  std::uint32_t have = 0;      // valid
  std::uint32_t n = next_free;
  std::int32_t prev = previous;
  std::uint32_t limit = width_limit;
  std::uint32_t index = *row_index;
  lzw_entry *table = strtable->entry;

  // The next code of the current width, or kNoData when its bits are not all in the stream.
  auto getcode = [&]() -> std::uint32_t {
    if (static_cast<std::uint32_t>(d.width) > d.unread) {
      // Refill, carrying over the byte or two that still hold unread bits.
      if (d.unread == 0) {
        have = read_into(stream, input, kLzwBlockBytes);
        d.unread = 8 * kLzwBlockBytes;
        d.bit_offset = 0;
      } else if (d.unread <= 8) {
        input[0] = input[kLzwBlockBytes - 1];
        have = 1 + read_into(stream, input + 1, kLzwBlockBytes - 1);
        d.unread += 8 * kLzwBlockBytes - 8;
      } else {
        input[0] = input[kLzwBlockBytes - 2];
        input[1] = input[kLzwBlockBytes - 1];
        have = 2 + read_into(stream, input + 2, kLzwBlockBytes - 2);
        d.unread += 8 * kLzwBlockBytes - 16;
      }
      at = 0;
      std::memset(input + have, 0, kLzwInputBytes - have);
    }
    const std::uint32_t bits = static_cast<std::uint32_t>(d.bit_offset + d.width);
    if (8 * at + bits > 8 * have) return kNoData;
    const std::uint32_t word = (std::uint32_t{input[at]} << 24) | (std::uint32_t{input[at + 1]} << 16) |
                               (std::uint32_t{input[at + 2]} << 8) | input[at + 3];
    const std::uint32_t code = (word >> (32 - bits)) & d.mask;
    // Advance by the width: the bit offset stays below 8, `at` takes the whole bytes.
    at += bits >> 3;
    d.bit_offset = static_cast<std::int16_t>(bits & 7);
    d.unread -= static_cast<std::uint32_t>(d.width);
    return code;
  };
  auto set_width = [&](std::int16_t width) {
    d.width = width;
    d.mask = (1u << width) - 1;
  };

  auto decode = [&]() -> int {
    std::uint32_t out = 0;
    while (true) {
      std::uint32_t code = getcode();
      if (code == kNoData || code == kEoi) return 1;
      if (code == kClear) {
        reset_roots();
        set_width(kMinWidth);
        limit = 1u << kMinWidth;
        n = kFirstFree;
        do code = getcode();
        while (code == kClear);
        if (code == kNoData || code == kEoi) return 1;
        if (code >= kClear) return -3;
        // The first code after a Clear is a root: one byte.
        row_buffer[out++] = static_cast<std::uint8_t>(code);
        prev = static_cast<std::int32_t>(code);
      } else if (prev < 0) {
        if (code >= kClear) return -3;
        row_buffer[out++] = static_cast<std::uint8_t>(code);
        prev = static_cast<std::int32_t>(code);
      } else {
        const std::uint32_t p = static_cast<std::uint32_t>(prev);
        const std::uint32_t new_length = table[p].length + 1u;
        std::uint8_t first;
        std::uint32_t length;
        if (code < n) {
          length = table[code].length;
          first = table[code].first;
          if (length == 1)
            row_buffer[out] = table[code].last;
          else
            write_string(row_buffer + out, code, length);
        } else if (code == n && n < kTableSize) {
          // KwKwK: the previous string followed by its own first byte.
          length = new_length;
          first = table[p].first;
          write_string(row_buffer + out, p, length - 1);
          row_buffer[out + length - 1] = first;
        } else {
          return -3;
        }
        if (n < kTableSize) {
          table[n] = {static_cast<std::int16_t>(p), static_cast<std::uint16_t>(new_length), first,
                      table[p].first};
          ++n;
          if (n == limit - 1 && d.width < kMaxWidth) {
            set_width(static_cast<std::int16_t>(d.width + 1));
            limit *= 2;
          }
        }
        out += length;
        prev = static_cast<std::int32_t>(code);
      }
      if (out >= row_bytes) {
        // Deliver every complete row, then move what is left of the last string to the front.
        std::uint32_t start = 0;
        while (out - start >= row_bytes) {
          if (!tiff_raster_to_dib(row_buffer + start, index)) return 1;
          start += row_bytes;
          ++index;
        }
        std::memmove(row_buffer, row_buffer + start, out - start);
        out -= start;
      }
    }
  };
  const int rc = decode();
  dcs = d;
  bp = at;
  valid = have;
  next_free = n;
  previous = prev;
  width_limit = limit;
  *row_index = index;
  return rc;
}

}  // namespace pxv
