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

// The string table: each entry is a prefix code (-1 for a root) and a last byte; its length is
// kept so that a string can be written back to front without walking it twice.
struct lzw_table {
  std::int16_t prefix[kTableSize];
  std::uint16_t length[kTableSize];
  std::uint8_t last[kTableSize];
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
  for (std::uint32_t i = 0; i < 256; ++i) {
    strtable->prefix[i] = -1;
    strtable->length[i] = 1;
    strtable->last[i] = static_cast<std::uint8_t>(i);
  }
}

std::uint32_t read_into(int stream, std::uint8_t *dst, std::uint32_t count) {
  const std::int32_t got = img_read_mem(stream, dst, count);
  return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

// The next code of the current width, or kNoData when its bits are not all in the stream.
std::uint32_t getcode(int stream, std::uint8_t *input) {
  if (static_cast<std::uint32_t>(dcs.width) > dcs.unread) {
    // Refill, carrying over the byte or two that still hold unread bits.
    if (dcs.unread == 0) {
      valid = read_into(stream, input, kLzwBlockBytes);
      dcs.unread = 8 * kLzwBlockBytes;
      dcs.bit_offset = 0;
    } else if (dcs.unread <= 8) {
      input[0] = input[kLzwBlockBytes - 1];
      valid = 1 + read_into(stream, input + 1, kLzwBlockBytes - 1);
      dcs.unread += 8 * kLzwBlockBytes - 8;
    } else {
      input[0] = input[kLzwBlockBytes - 2];
      input[1] = input[kLzwBlockBytes - 1];
      valid = 2 + read_into(stream, input + 2, kLzwBlockBytes - 2);
      dcs.unread += 8 * kLzwBlockBytes - 16;
    }
    bp = 0;
    std::memset(input + valid, 0, kLzwInputBytes - valid);
  }
  const std::uint32_t last_bit = 8 * bp + static_cast<std::uint32_t>(dcs.bit_offset + dcs.width) - 1;
  if (last_bit / 8 >= valid) return kNoData;
  const std::uint32_t word = (std::uint32_t{input[bp]} << 24) | (std::uint32_t{input[bp + 1]} << 16) |
                             (std::uint32_t{input[bp + 2]} << 8) | input[bp + 3];
  const std::uint32_t code = (word >> (32 - dcs.width - dcs.bit_offset)) & dcs.mask;
  dcs.bit_offset = static_cast<std::int16_t>(dcs.bit_offset + dcs.width - 8);
  ++bp;
  while (dcs.bit_offset >= 8) {
    dcs.bit_offset = static_cast<std::int16_t>(dcs.bit_offset - 8);
    ++bp;
  }
  dcs.unread -= static_cast<std::uint32_t>(dcs.width);
  return code;
}

// Writes the string of `code` so that it ends at out[length - 1], walking the prefixes back.
void write_string(std::uint8_t *out, std::uint32_t code, std::uint32_t length) {
  std::int32_t k = static_cast<std::int32_t>(code);
  for (std::uint32_t j = length; j > 0 && k >= 0; --j) {
    out[j - 1] = strtable->last[k];
    k = strtable->prefix[k];
  }
}

void set_width(std::int16_t width) {
  dcs.width = width;
  dcs.mask = (1u << width) - 1;
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
  dcs.bit_offset = 0;
  set_width(kMinWidth);
  dcs.unread = 0;
  bp = 0;
  valid = 0;
  std::uint32_t out = 0;
  while (true) {
    std::uint32_t code = getcode(stream, input);
    if (code == kNoData || code == kEoi) return 1;
    if (code == kClear) {
      reset_roots();
      set_width(kMinWidth);
      width_limit = 1u << kMinWidth;
      next_free = kFirstFree;
      do code = getcode(stream, input);
      while (code == kClear);
      if (code == kNoData || code == kEoi) return 1;
      if (code >= kClear) return -3;
      // The first code after a Clear is a root: one byte.
      row_buffer[out++] = static_cast<std::uint8_t>(code);
      previous = static_cast<std::int32_t>(code);
    } else {
      if (previous < 0) {
        if (code >= kClear) return -3;
        row_buffer[out++] = static_cast<std::uint8_t>(code);
        previous = static_cast<std::int32_t>(code);
      } else {
        const std::uint32_t p = static_cast<std::uint32_t>(previous);
        const std::uint32_t n = next_free;
        const std::uint32_t new_length = strtable->length[p] + 1u;
        std::uint8_t first;
        std::uint32_t length;
        if (code < n) {
          length = strtable->length[code];
          write_string(row_buffer + out, code, length);
          first = row_buffer[out];
        } else if (code == n && n < kTableSize) {
          // KwKwK: the previous string followed by its own first byte.
          length = new_length;
          write_string(row_buffer + out, p, length - 1);
          first = row_buffer[out];
          row_buffer[out + length - 1] = first;
        } else {
          return -3;
        }
        if (n < kTableSize) {
          strtable->prefix[n] = static_cast<std::int16_t>(p);
          strtable->last[n] = first;
          strtable->length[n] = static_cast<std::uint16_t>(new_length);
          next_free = n + 1;
          if (next_free == width_limit - 1 && dcs.width < kMaxWidth) {
            set_width(static_cast<std::int16_t>(dcs.width + 1));
            width_limit *= 2;
          }
        }
        out += length;
        previous = static_cast<std::int32_t>(code);
      }
    }
    while (out >= row_bytes) {
      if (!tiff_raster_to_dib(row_buffer, *row_index)) return 1;
      std::memmove(row_buffer, row_buffer + row_bytes, out - row_bytes);
      out -= row_bytes;
      ++*row_index;
    }
  }
}

}  // namespace pxv
