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
#include "formats/lzw_strings.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kClear = 256;
constexpr std::uint32_t kEoi = 257;
constexpr std::uint32_t kFirstFree = 258;
constexpr std::uint32_t kMinWidth = 9;
constexpr std::uint32_t kMaxWidth = 12;
constexpr std::uint32_t kNoData = 0xFFFFFFFFu;
// The stream is read in blocks of this size. A strip written a row at a time is a few kilobytes;
// a small block keeps the bytes copied out of the read cache close to the strip's own.
constexpr std::uint32_t kLzwBlockBytes = 4096;
constexpr std::uint32_t kLzwInputBytes = kLzwBlockBytes + 4;
constexpr std::uint32_t kBlockBits = 8 * kLzwBlockBytes;

// The decoder's state for one page. The three table fields carry from code to code and, without
// a Clear, from strip to strip; the bit reader starts afresh in every strip.
struct tiff_lzw_decoder {
  lzw_strings *strings;
  std::uint8_t *input;  // kLzwInputBytes: a block of the stream and zeros behind it
  std::uint8_t *rows;   // lzw_row_buffer_bytes(row_bytes): the row being built and slack
  std::uint32_t row_bytes;
  std::uint32_t next_free;
  std::int32_t previous;  // the previous code, or -1 before the first root
  std::uint32_t width_limit;
};
tiff_lzw_decoder tiff_strtable;

// Where the bit reader stands: `pos` bits of the block consumed, `have` bytes of it from the
// stream.
struct bit_block {
  std::uint32_t pos;
  std::uint32_t have;
};

std::uint32_t read_into(std::uint8_t *dst, std::uint32_t count) {
  const std::int32_t got = tiff_read(dst, count);
  return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

inline std::uint32_t load_be32(const std::uint8_t *p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

// The code of `width` bits at bit `pos` of the input. The block has 4 zero bytes behind it, so the
// word never leaves the buffer.
inline std::uint32_t code_at(const std::uint8_t *input, std::uint32_t pos, std::uint32_t width) {
  return (load_be32(input + (pos >> 3)) << (pos & 7)) >> (32 - width);
}

// The next code near the end of the block: when a code needs more bits than the block has left,
// the byte or two that still hold unread bits move to the front and the rest of the block is read
// behind them. A block that came back short holds the end of the stream: nothing follows it.
// kNoData when the code's bits are not all in the stream.
std::uint32_t code_at_block_end(std::uint8_t *input, bit_block &in, std::uint32_t width) {
  if (width > kBlockBits - in.pos && in.have == kLzwBlockBytes) {
    const std::uint32_t carry = kLzwBlockBytes - (in.pos >> 3);
    if (carry != 0) std::memmove(input, input + kLzwBlockBytes - carry, carry);
    in.have = carry + read_into(input + carry, kLzwBlockBytes - carry);
    std::memset(input + in.have, 0, kLzwInputBytes - in.have);
    in.pos = carry == 0 ? 0 : in.pos & 7;
  }
  if (in.pos + width > 8 * in.have) return kNoData;
  const std::uint32_t code = code_at(input, in.pos, width);
  in.pos += width;
  return code;
}

std::uint64_t lzw_row_buffer_bytes(std::uint32_t row_bytes) {
  // The longest string (4096 bytes) may start one byte before the end of a row.
  const std::uint64_t three_rows = 3 * std::uint64_t{row_bytes};
  const std::uint64_t longest = std::uint64_t{row_bytes} + kLzwCodes;
  return (three_rows > longest ? three_rows : longest) + kLzwWriteSlack;
}

}  // namespace

int lzw_begin(std::uint32_t row_bytes) {
  tiff_lzw_decoder &d = tiff_strtable;
  d.input = static_cast<std::uint8_t *>(img_fmalloc(kLzwInputBytes));
  d.rows = static_cast<std::uint8_t *>(img_fmalloc(lzw_row_buffer_bytes(row_bytes)));
  d.strings = static_cast<lzw_strings *>(img_fmalloc(sizeof(lzw_strings)));
  if (d.input == nullptr || d.rows == nullptr || d.strings == nullptr) return -1;
  lzw_set_roots(*d.strings);
  d.row_bytes = row_bytes;
  d.next_free = kFirstFree;
  d.previous = -1;
  d.width_limit = 1u << kMinWidth;
  return 0;
}

int decode_lzw_strip(std::uint32_t *row_index) {
  // The bit reader and table state live in locals while the strip decodes (the row buffer's
  // stores could otherwise alias them), and the table state goes back to the decoder at the end.
  tiff_lzw_decoder &d = tiff_strtable;
  lzw_strings &t = *d.strings;
  std::uint8_t *const input = d.input;
  std::uint8_t *const rows = d.rows;
  const std::uint32_t row_bytes = d.row_bytes;
  bit_block in{0, read_into(input, kLzwBlockBytes)};
  std::memset(input + in.have, 0, kLzwInputBytes - in.have);
  std::uint32_t width = kMinWidth;
  std::uint32_t n = d.next_free;
  std::int32_t prev = d.previous;
  std::uint32_t limit = d.width_limit;
  std::uint32_t index = *row_index;
  std::uint32_t out = 0;
  // The first code of the first strip, and the first after a Clear, must be a root. A Clear
  // leaves the previous code as it was: a strip that ends right after one hands it on.
  bool need_root = prev < 0;
  int rc;
  for (;;) {
    std::uint32_t code;
    if (in.pos + kMaxWidth <= 8 * in.have) {
      code = code_at(input, in.pos, width);
      in.pos += width;
    } else {
      code = code_at_block_end(input, in, width);
      if (code == kNoData) {
        rc = 1;
        break;
      }
    }
    if (code - kClear <= kEoi - kClear || code > n || need_root) {
      if (code == kEoi) {
        rc = 1;
        break;
      }
      if (code == kClear) {
        width = kMinWidth;
        limit = 1u << kMinWidth;
        n = kFirstFree;
        need_root = true;
        continue;
      }
      if (!need_root || code > 255) {
        rc = -3;
        break;
      }
      need_root = false;
      rows[out++] = static_cast<std::uint8_t>(code);
    } else {
      // A code in the table, or KwKwK (the code about to be made: the previous string followed
      // by its own first byte). The new entry is made first, so both write the same way.
      const std::uint32_t p = static_cast<std::uint32_t>(prev);
      lzw_add(t, n, p, t.first[code == n ? p : code]);
      n += n < kLzwCodes ? 1 : 0;
      if (n == limit - 1 && width < kMaxWidth) {
        ++width;
        limit *= 2;
      }
      out += lzw_write(rows + out, t, code);
    }
    prev = static_cast<std::int32_t>(code);
    if (out >= row_bytes) {
      // Delivers every complete row, then moves what is left of the last string to the front.
      std::uint32_t begin = 0;
      bool more = true;
      while (out - begin >= row_bytes && more) {
        more = tiff_raster_to_dib(rows + begin, index);
        begin += row_bytes;
        index += more ? 1 : 0;
      }
      if (!more) {
        rc = 1;  // the image has all its rows
        break;
      }
      std::memmove(rows, rows + begin, out - begin);
      out -= begin;
    }
  }
  d.next_free = n;
  d.previous = prev;
  d.width_limit = limit;
  *row_index = index;
  return rc;
}

}  // namespace pxv
