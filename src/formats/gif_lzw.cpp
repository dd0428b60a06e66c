// GIF LZW decoding: the code reader over data sub-blocks, the string table, and row delivery in
// plain or interlaced order.
#include "formats/gif_lzw.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/lzw_strings.h"

namespace pxv {

namespace {

constexpr int kMaxCodeWidth = 12;
constexpr int kSubBlocksPerRefill = 30;
// Bits the fast path of the code reader wants in the buffer: one code of the widest kind.
constexpr std::uint32_t kWidestCode = kMaxCodeWidth;

// The code reader: the input buffer, the bytes in it and the bit position of the next code.
struct code_reader {
  int stream;
  std::uint8_t *buf;
  std::uint32_t valid;
  std::uint32_t bit_position;
  bool data_ended;
};

// The decoder's state, set up afresh for every image by init_gif_lzw.
struct gif_decoder {
  lzw_strings *strings;  // the string table
  int root_bits;         // the minimum code size: bits of a pixel value
  int clear_code;
  int end_code;
  bool interlaced;
  code_reader reader;
};
gif_decoder gifdec;

// The code reader by its short name.
constexpr code_reader &reader = gifdec.reader;

// Moves the unconsumed bytes to the front and appends up to 30 sub-blocks. Once the
// terminating sub-block (size 0) or the end of the stream has been met nothing more is read:
// whatever follows the image data belongs to other blocks of the file.
void refill_input() {
  const std::uint32_t first = reader.bit_position >> 3;
  const std::uint32_t keep = reader.valid - first;
  std::memmove(reader.buf, reader.buf + first, keep);
  reader.bit_position &= 7;
  reader.valid = keep;
  for (int k = 0; k < kSubBlocksPerRefill && !reader.data_ended; ++k) {
    std::uint8_t size = 0;
    if (img_read_mem(reader.stream, &size, 1) != 1 || size == 0) {
      reader.data_ended = true;
      break;
    }
    std::int32_t got = img_read_mem(reader.stream, reader.buf + reader.valid, size);
    if (got < 0) got = 0;
    reader.valid += static_cast<std::uint32_t>(got);
    if (got < size) reader.data_ended = true;
  }
}

// The code at `bit_position` of the input, `mask` holding as many low bits as the code is wide,
// least significant bit first as GIF packs them. A code of at most 12 bits spans at most three
// bytes; the buffer has room for a 4-byte window behind the data.
inline std::uint32_t code_at(const std::uint8_t *input, std::uint32_t bit_position, std::uint32_t mask) {
  std::uint32_t window;
  std::memcpy(&window, input + (bit_position >> 3), 4);
  static_assert(std::endian::native == std::endian::little, "the window's first byte is its lowest");
  return (window >> (bit_position & 7)) & mask;
}

// The next code when fewer than 12 bits are left: the buffer is refilled first (the bytes come
// in the same order whenever it is), and -1 when the data has ended without the code's bits.
int getcode_near_end(std::uint32_t width) {
  if (reader.valid * 8 - reader.bit_position < kWidestCode && !reader.data_ended) refill_input();
  if (width > reader.valid * 8 - reader.bit_position) return -1;
  const std::uint32_t code = code_at(reader.buf, reader.bit_position, (1u << width) - 1);
  reader.bit_position += width;
  return static_cast<int>(code);
}

// Where the rows go: top to bottom, or the four interlace passes (every 8th row from 0, every
// 8th from 4, every 4th from 2, every 2nd from 1).
struct row_order {
  int height;
  int row;
  int pass;
  int delivered;
};

constexpr int kPassStart[4] = {0, 4, 2, 1};
constexpr int kPassStep[4] = {8, 8, 4, 2};

void advance_row(row_order *order) {
  ++order->delivered;
  if (!gifdec.interlaced) {
    ++order->row;
    return;
  }
  order->row += kPassStep[order->pass];
  // A pass that runs off the image, or starts below it, hands on to the next one.
  while (order->row >= order->height && order->pass < 3) {
    ++order->pass;
    order->row = kPassStart[order->pass];
  }
}

}  // namespace

std::int32_t gif_size_for_long(std::int32_t width, int bits) { return size_for_long(width, bits); }

void gif_pack_row(std::uint8_t *row, const std::uint8_t *indices, int width, int bits) {
  if (bits == 1) {
    for (int i = 0; i * 8 < width; ++i) {
      std::uint8_t byte = 0;
      for (int k = 0; k < 8; ++k) {
        const int x = i * 8 + k;
        if (x < width) byte |= static_cast<std::uint8_t>((indices[x] & 1) << (7 - k));
      }
      row[i] = byte;
    }
  } else if (bits == 4) {
    int x = 0;
#if defined(__SSE2__)
    // Thirty-two pixels at a time: each 16-bit lane holds a pair, the first pixel in its low byte,
    // which moves up a nibble while the second comes down to meet it; the lanes then narrow to
    // bytes.
    const __m128i nibble = _mm_set1_epi16(0x0F);
    auto pairs = [&](const std::uint8_t *p) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
      return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, nibble), 4), _mm_and_si128(_mm_srli_epi16(v, 8), nibble));
    };
    for (; x + 32 <= width; x += 32)
      _mm_storeu_si128(reinterpret_cast<__m128i *>(row + x / 2), _mm_packus_epi16(pairs(indices + x), pairs(indices + x + 16)));
#endif
    for (; x < width; x += 2) {
      const int second = x + 1 < width ? (indices[x + 1] & 0x0F) : 0;
      row[x / 2] = static_cast<std::uint8_t>(((indices[x] & 0x0F) << 4) | second);
    }
  } else {
    std::memcpy(row, indices, static_cast<std::size_t>(width));
  }
}

int init_gif_lzw(int stream, std::uint8_t *input, std::uint16_t flags) {
  const int root_bits = flags >> 8;
  auto *strings = static_cast<lzw_strings *>(img_fmalloc(sizeof(lzw_strings)));
  gifdec = {strings, root_bits, 1 << root_bits, (1 << root_bits) + 1, (flags & 0x40) != 0,
            {stream, input, 0, 0, false}};
  if (strings == nullptr) return kNoMemory;
  std::memset(input, 0, kGifInputBytes);
  // Entries below the next free code are the only ones a code can name, and a Clear only moves
  // that code back: the roots, never overwritten, are set once.
  lzw_set_roots(*strings);
  return 0;
}

int decode_gif_lzw_strip(int width, const std::uint8_t *header, PXV_RASTER_PROC raster, void *priv) {
  const int bits = dib_bit_count(header);
  const int height = dib_height(header);
  const std::int32_t row_size = gif_size_for_long(width, bits);
  if (gifdec.strings == nullptr || width <= 0 || height <= 0 || row_size <= 0) return kNoMemory;
  // The output holds an unfinished row (shorter than the width) and the longest string behind it.
  auto *out = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(width) + kLzwCodes + kLzwWriteSlack));
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_size)));
  if (out == nullptr || row == nullptr) return kNoMemory;
  std::memset(row, 0, static_cast<std::size_t>(row_size));
  lzw_strings &t = *gifdec.strings;
  const std::uint32_t clear = static_cast<std::uint32_t>(gifdec.clear_code);
  const std::uint32_t end = static_cast<std::uint32_t>(gifdec.end_code);
  const std::uint32_t first_width = static_cast<std::uint32_t>(gifdec.root_bits) + 1;
  const std::uint32_t row_width = static_cast<std::uint32_t>(width);

  // The table state and the reader's position live in locals while the image decodes (the
  // output's stores could otherwise alias them).
  const std::uint8_t *const input = reader.buf;
  std::uint32_t bit_position = reader.bit_position;
  std::uint32_t input_bits = reader.valid * 8;
  std::uint32_t code_width = first_width;
  std::uint32_t mask = (1u << code_width) - 1;
  std::uint32_t next = clear + 2;
  std::uint32_t limit = 1u << code_width;
  std::uint32_t prev = 0;
  bool need_root = true;  // at the start and after every Clear: the next code is a pixel value
  std::uint32_t count = 0;  // decoded bytes waiting in `out`
  row_order order{height, 0, 0, 0};
  int result = kBadData;

  for (;;) {
    std::uint32_t c;
    if (bit_position + kWidestCode <= input_bits) {
      c = code_at(input, bit_position, mask);
      bit_position += code_width;
    } else {
      reader.bit_position = bit_position;
      const int code = getcode_near_end(code_width);
      bit_position = reader.bit_position;
      input_bits = reader.valid * 8;
      if (code < 0) break;  // the data ended without End-of-Data: the rows so far stand
      c = static_cast<std::uint32_t>(code);
    }
    if (c == end) {
      result = kReaderSuccess;
      break;
    }
    if (c == clear) {
      code_width = first_width;
      mask = (1u << code_width) - 1;
      next = clear + 2;
      limit = 1u << code_width;
      need_root = true;
      continue;
    }
    if (need_root) {
      if (c > clear) break;  // a code that no encoder can have sent
      out[count++] = static_cast<std::uint8_t>(c);
      need_root = false;
    } else {
      if (c > next) break;  // a code that no encoder can have sent
      // A code in the table, or the code being defined (the previous string and its own first
      // byte): the entry is made first, so both are written the same way. Once 4096 codes exist
      // the addition goes to the spare entry, and codes keep their meaning until the next Clear.
      lzw_add(t, next, prev, t.first[c == next ? prev : c]);
      count += lzw_write(out + count, t, c);
      if (next < kLzwCodes) {
        ++next;
        // No early change: the width grows once the next code no longer fits.
        if (next == limit && code_width < kMaxCodeWidth) {
          ++code_width;
          mask = 2 * mask + 1;
          limit <<= 1;
        }
      }
    }
    prev = c;
    if (count >= row_width) {
      std::uint32_t begin = 0;
      while (count - begin >= row_width && order.delivered < height) {
        gif_pack_row(row, out + begin, width, bits);
        raster(row, priv, order.row, row_size);
        advance_row(&order);
        begin += row_width;
      }
      if (order.delivered == height) {
        // Every row is in; what the stream holds beyond the image does not matter.
        result = kReaderSuccess;
        break;
      }
      count -= begin;
      std::memmove(out, out + begin, count);
    }
  }
  return result;
}

}  // namespace pxv
