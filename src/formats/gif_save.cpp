// The GIF writer: a 4- or 8-bit palette DIB as a single-image, non-interlaced GIF87a file, with
// the DIB's colour table as the global table and GIF's LZW (codes least significant bit first,
// Clear and End-of-Data behind the pixel values, widths growing to 12 bits).
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/lzw_tree.h"

namespace pxv {

namespace {

constexpr int kMaxCodeWidth = 12;
// At 12 bits the table is cleared once code 4080 has been assigned, a little before it fills.
constexpr int kLastCodeBeforeClear = 4080;
// Codes are packed into a 300-byte buffer and written as a sub-block once 253 whole bytes are
// there; a code of up to 12 bits can follow, so sub-blocks hold 253 or 254 bytes.
constexpr int kCodeBufferBytes = 300;
constexpr std::uint32_t kFlushBits = 253 * 8;

// An entry of lzw_tree.h's string table, under a name of this writer's own.
using gif_lzw_entry = lzw_entry;

// The writer's state, set up afresh by every save.
struct gif_encoder {
  gif_lzw_entry *table;  // the string table
  int root_bits;         // the minimum code size: bits of a pixel value
  int clear_code;
  int end_code;
};
gif_encoder gifenc;

struct code_writer {
  int stream;
  std::uint8_t buf[kCodeBufferBytes];
  std::uint32_t bit_position;
  int code_width;
};

int write_all(int stream, const void *bytes, std::uint32_t count) {
  return img_write_mem(stream, bytes, count) == static_cast<std::int32_t>(count) ? 0 : kShortWrite;
}

int write_sub_block(int stream, const std::uint8_t *bytes, std::uint32_t count) {
  const std::uint8_t size = static_cast<std::uint8_t>(count);
  if (write_all(stream, &size, 1) != 0) return kShortWrite;
  return write_all(stream, bytes, count);
}

// Appends one code, least significant bit first, writing out 253 whole bytes as a sub-block
// first when the buffer holds that many.
int gif_writecode(code_writer *w, int code) {
  if (w->bit_position >= kFlushBits) {
    const std::uint32_t whole = w->bit_position / 8;
    if (write_sub_block(w->stream, w->buf, whole) != 0) return kShortWrite;
    const std::uint8_t partial = w->buf[whole];
    std::memset(w->buf, 0, sizeof w->buf);
    w->buf[0] = partial;
    w->bit_position -= whole * 8;
  }
  const std::uint32_t at = w->bit_position >> 3;
  const std::uint32_t bits = static_cast<std::uint32_t>(code) << (w->bit_position & 7);
  w->buf[at] |= static_cast<std::uint8_t>(bits);
  w->buf[at + 1] |= static_cast<std::uint8_t>(bits >> 8);
  w->buf[at + 2] |= static_cast<std::uint8_t>(bits >> 16);
  w->bit_position += static_cast<std::uint32_t>(w->code_width);
  return 0;
}

// One row of pixels, one byte each: 4-bit rows unpacked high half first, 8-bit rows as they are.
void unpack_row(const std::uint8_t *row, std::uint8_t *pixels, int width, int bits) {
  if (bits == 8) {
    std::memcpy(pixels, row, static_cast<std::size_t>(width));
    return;
  }
  for (int x = 0; x < width; ++x)
    pixels[x] = static_cast<std::uint8_t>((x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4);
}

int encode_gif_lzw(const std::uint8_t *header, int stream, int byte_offset, int first_row, int width,
                   int height, PXV_FETCH_PROC fetch, void *priv) {
  const int bits = dib_bit_count(header);
  const std::int32_t row_size = size_for_long(width, bits);
  if (row_size <= 0) return kShortWrite;
  auto *fetched = static_cast<std::uint8_t *>(img_fmalloc(4 * static_cast<std::size_t>(row_size)));
  auto *pixels = static_cast<std::uint8_t *>(img_fmalloc(4 * static_cast<std::size_t>(row_size)));
  auto *w = static_cast<code_writer *>(img_fmalloc(sizeof(code_writer)));
  if (fetched == nullptr || pixels == nullptr || w == nullptr) return kShortWrite;
  std::memset(w, 0, sizeof *w);
  std::memset(fetched, 0, 4 * static_cast<std::size_t>(row_size));
  w->stream = stream;
  w->code_width = gifenc.root_bits + 1;
  int limit = 1 << w->code_width;
  int next = gifenc.clear_code + 2;
  int rc = 0;

  auto fetch_row = [&](int r) {
    fetch(priv, fetched, first_row + height - 1 - r, row_size);
    unpack_row(fetched + byte_offset, pixels, width, bits);
  };
  fetch_row(0);
  rc = gif_writecode(w, gifenc.clear_code);
  int prefix = pixels[0];
  int x = 1;
  for (int r = 0; r < height && rc == 0; ++r) {
    if (r > 0) {
      fetch_row(r);
      x = 0;
    }
    for (; x < width && rc == 0; ++x) {
      const int c = pixels[x];
      const int found = lzw_find(gifenc.table, prefix, c);
      if (found >= 0 && found != kLzwNoChildren) {
        prefix = found;
        continue;
      }
      rc = gif_writecode(w, prefix);
      next = lzw_link(gifenc.table, found, prefix, c, next);
      prefix = c;
      if (next == limit + 1) {
        // Code 2^width has just been assigned (or 4080 at 12 bits): the decoder, one entry
        // behind, widens after assigning 2^width - 1, so both change width at the same code.
        if (w->code_width == kMaxCodeWidth) {
          if (rc == 0) rc = gif_writecode(w, gifenc.clear_code);
          w->code_width = gifenc.root_bits + 1;
          next = gifenc.clear_code + 2;
          lzw_clear(gifenc.table);
        } else {
          ++w->code_width;
        }
        limit = w->code_width == kMaxCodeWidth ? kLastCodeBeforeClear : 1 << w->code_width;
      }
    }
  }
  // The last string is always written, found in the table or not.
  if (rc == 0) rc = gif_writecode(w, prefix);
  if (rc == 0) rc = gif_writecode(w, gifenc.end_code);
  if (rc == 0) rc = write_sub_block(stream, w->buf, (w->bit_position + 7) / 8);
  const std::uint8_t tail[2] = {0, 0x3B};  // block terminator, trailer ";"
  if (rc == 0) rc = write_all(stream, tail, 2);
  return rc;
}

}  // namespace

int save_gif_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const int bits = dib_bit_count(header);
  gifenc = {nullptr, bits, 1 << bits, (1 << bits) + 1};
  if (bits != 4 && bits != 8) return kUnsupported;
  const int width = dib_width(header);
  const int height = dib_height(header);
  const int entries = 1 << bits;

  std::uint8_t screen[13] = {'G', 'I', 'F', '8', '7', 'a'};
  put_le16(screen + 6, static_cast<std::uint32_t>(width));
  put_le16(screen + 8, static_cast<std::uint32_t>(height));
  screen[10] = static_cast<std::uint8_t>(0x80 | (bits - 1));
  if (write_all(stream, screen, sizeof screen) != 0) return kShortWrite;

  // The DIB's table as red, green, blue; entries the DIB does not have are black.
  std::uint8_t table[3 * 256] = {};
  const std::uint32_t have = Palette_Size(header) / 4;
  for (int i = 0; i < entries && static_cast<std::uint32_t>(i) < have; ++i) {
    const std::uint8_t *e = header + kDibHeaderBytes + 4 * i;
    table[3 * i + 0] = e[2];
    table[3 * i + 1] = e[1];
    table[3 * i + 2] = e[0];
  }
  if (write_all(stream, table, static_cast<std::uint32_t>(3 * entries)) != 0) return kShortWrite;

  std::uint8_t descriptor[11] = {','};
  put_le16(descriptor + 5, static_cast<std::uint32_t>(width));
  put_le16(descriptor + 7, static_cast<std::uint32_t>(height));
  descriptor[9] = static_cast<std::uint8_t>(bits - 1);
  descriptor[10] = static_cast<std::uint8_t>(bits);  // the minimum code size
  if (write_all(stream, descriptor, sizeof descriptor) != 0) return kShortWrite;

  const std::size_t table_bytes = sizeof(gif_lzw_entry) * kLzwTableEntries;
  gifenc.table = static_cast<gif_lzw_entry *>(img_fmalloc(table_bytes));
  if (gifenc.table == nullptr) return kNoMemory;
  lzw_clear(gifenc.table);
  const int rc = encode_gif_lzw(header, stream, 0, 0, width, height, fetch, priv);
  return rc < 0 ? rc : kOk;
}

}  // namespace pxv
