// GIF LZW decoding: the code reader over data sub-blocks, the string table, and row delivery in
// plain or interlaced order.
#include "formats/gif_lzw.h"

#include <cstring>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

// One string of the table: its last byte, the code of the string without it, and its length.
struct str_entry {
  std::uint8_t last;
  std::uint16_t prefix;
  std::uint16_t length;
};

constexpr int kStrTableEntries = 4296;
constexpr int kMaxCodes = 4096;  // 12-bit codes: no entry is added once 4096 exist
constexpr int kMaxCodeWidth = 12;
constexpr std::uint16_t kNoPrefix = 0xFFFF;
constexpr int kSubBlocksPerRefill = 30;
// Bytes the output buffer holds beyond one row: an unfinished row is shorter than the width and
// the longest string is 4096 bytes, so a string never overruns it.
constexpr int kOutputSlack = kMaxCodes + 8;

// The code reader: the input buffer, the bytes in it, the bit position of the next code and the
// bits left behind it.
struct code_reader {
  int stream;
  std::uint8_t *buf;
  std::uint32_t valid;
  std::uint32_t bit_position;
  std::uint32_t bits_available;
  std::uint16_t code_width;
  std::uint32_t code_mask;
  bool data_ended;
};

// The decoder's state, set up afresh for every image by init_gif_lzw.
struct gif_decoder {
  str_entry *strings;  // the string table
  int root_bits;       // the minimum code size: bits of a pixel value
  int clear_code;
  int end_code;
  bool interlaced;
  code_reader reader;
};
gif_decoder gifdec;

// The code reader by its short name.
constexpr code_reader &reader = gifdec.reader;

void set_code_width(int width) {
  reader.code_width = static_cast<std::uint16_t>(width);
  reader.code_mask = (1u << width) - 1;
}

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
  reader.bits_available = reader.valid * 8 - reader.bit_position;
}

// The next code, least significant bit first as GIF packs them; -1 when the data has ended.
int getcode_gif() {
  if (reader.code_width > reader.bits_available) {
    refill_input();
    if (reader.code_width > reader.bits_available) return -1;
  }
  // A code of at most 12 bits spans at most three bytes; the buffer keeps three bytes of room
  // behind the data, so the window never leaves it.
  const std::uint32_t i = reader.bit_position >> 3;
  const std::uint32_t window = reader.buf[i] | (reader.buf[i + 1] << 8) |
                               (static_cast<std::uint32_t>(reader.buf[i + 2]) << 16);
  const int code = static_cast<int>((window >> (reader.bit_position & 7)) & reader.code_mask);
  reader.bit_position += reader.code_width;
  reader.bits_available -= reader.code_width;
  return code;
}

void reset_roots() {
  // Every entry starts as a one-byte string, so that no walk through the table ever meets an
  // entry without a length, even for codes that a corrupt stream names out of turn.
  for (int i = 0; i < kStrTableEntries; ++i)
    gifdec.strings[i] = {static_cast<std::uint8_t>(i), kNoPrefix, 1};
}

// Writes the string of `code` at `out`, back to front from its known length; returns the length.
int write_string(int code, std::uint8_t *out) {
  const int length = gifdec.strings[code].length;
  int k = code;
  for (int j = length - 1; j >= 0; --j) {
    out[j] = gifdec.strings[k].last;
    k = gifdec.strings[k].prefix;
    if (k >= kStrTableEntries) break;
  }
  return length;
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

void gif_pack_bytes(std::uint8_t *row, int width, int bits) {
  if (bits == 1) {
    for (int i = 0; i * 8 < width; ++i) {
      std::uint8_t byte = 0;
      for (int k = 0; k < 8; ++k) {
        const int x = i * 8 + k;
        if (x < width) byte |= static_cast<std::uint8_t>((row[x] & 1) << (7 - k));
      }
      row[i] = byte;
    }
  } else if (bits == 4) {
    for (int i = 0; i * 2 < width; ++i) {
      const int x = i * 2;
      const int second = x + 1 < width ? (row[x + 1] & 0x0F) : 0;
      row[i] = static_cast<std::uint8_t>(((row[x] & 0x0F) << 4) | second);
    }
  }
}

int init_gif_lzw(int stream, std::uint8_t *input, std::uint16_t flags) {
  const int root_bits = flags >> 8;
  auto *strings = static_cast<str_entry *>(img_fmalloc(sizeof(str_entry) * kStrTableEntries));
  gifdec = {strings, root_bits, 1 << root_bits, (1 << root_bits) + 1, (flags & 0x40) != 0,
            {stream, input, 0, 0, 0, 0, 0, false}};
  if (strings == nullptr) return kNoMemory;
  std::memset(input, 0, kGifInputBytes);
  reset_roots();
  return 0;
}

int decode_gif_lzw_strip(int width, const std::uint8_t *header, PXV_RASTER_PROC raster, void *priv) {
  const int bits = dib_bit_count(header);
  const int height = dib_height(header);
  const std::int32_t row_size = gif_size_for_long(width, bits);
  if (gifdec.strings == nullptr || width <= 0 || height <= 0 || row_size <= 0) return kNoMemory;
  auto *out = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(width) + kOutputSlack));
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_size)));
  if (out == nullptr || row == nullptr) return kNoMemory;
  std::memset(row, 0, static_cast<std::size_t>(row_size));
  const int packed_bytes = bits == 1 ? (width + 7) / 8 : bits == 4 ? (width + 1) / 2 : width;

  set_code_width(gifdec.root_bits + 1);
  int next = gifdec.clear_code + 2;
  int limit = 1 << reader.code_width;
  int prev = -1;  // no previous code: at the start and after every Clear
  int count = 0;  // decoded bytes waiting in `out`
  row_order order{height, 0, 0, 0};
  int result = kBadData;

  for (;;) {
    const int c = getcode_gif();
    if (c < 0) break;  // the data ended without End-of-Data: the rows so far stand
    if (c == gifdec.end_code) {
      result = kReaderSuccess;
      break;
    }
    if (c == gifdec.clear_code) {
      reset_roots();
      set_code_width(gifdec.root_bits + 1);
      next = gifdec.clear_code + 2;
      limit = 1 << reader.code_width;
      prev = -1;
      continue;
    }
    if (prev < 0) {
      // The first code after a Clear is a single pixel value.
      if (c >= gifdec.clear_code) break;
      out[count++] = static_cast<std::uint8_t>(c);
    } else if (next >= kMaxCodes) {
      // The table is full: codes keep their meaning until the next Clear.
      count += write_string(c, out + count);
    } else {
      if (c > next) break;  // a code that no encoder can have sent
      std::uint8_t first;
      if (c < next) {
        count += write_string(c, out + count);
        first = out[count - gifdec.strings[c].length];
      } else {
        // The code being defined: the previous string and its own first byte.
        const int length = write_string(prev, out + count);
        first = out[count];
        out[count + length] = first;
        count += length + 1;
      }
      gifdec.strings[next] = {first, static_cast<std::uint16_t>(prev),
                        static_cast<std::uint16_t>(gifdec.strings[prev].length + 1)};
      ++next;
      // No early change: the width grows once the next code no longer fits.
      if (next == limit && reader.code_width < kMaxCodeWidth) {
        set_code_width(reader.code_width + 1);
        limit <<= 1;
      }
    }
    prev = c;
    while (count >= width && order.delivered < height) {
      gif_pack_bytes(out, width, bits);
      std::memcpy(row, out, static_cast<std::size_t>(packed_bytes));
      raster(row, priv, order.row, row_size);
      advance_row(&order);
      count -= width;
      std::memmove(out, out + width, static_cast<std::size_t>(count));
    }
    if (order.delivered == height) {
      // Every row is in; what the stream holds beyond the image does not matter.
      result = kReaderSuccess;
      break;
    }
  }
  return result;
}

}  // namespace pxv
