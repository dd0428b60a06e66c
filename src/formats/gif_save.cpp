// The GIF writer: a 4- or 8-bit palette DIB as a single-image, non-interlaced GIF87a file, with
// the DIB's colour table as the global table and GIF's LZW (codes least significant bit first,
// Clear and End-of-Data behind the pixel values, widths growing to 12 bits).
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/lzw_table.h"

namespace pxv {

namespace {

// The writer's state, set up afresh by every save.
struct gif_encoder {
  lzw_table *table;  // the string table
  int root_bits;     // the minimum code size: bits of a pixel value
  int clear_code;
  int end_code;
};
gif_encoder gifenc;

int write_all(int stream, const void *bytes, std::uint32_t count) {
  return img_write_mem(stream, bytes, count) == static_cast<std::int32_t>(count) ? 0 : kShortWrite;
}

int write_sub_block(int stream, const std::uint8_t *bytes, std::uint32_t count) {
  const std::uint8_t size = static_cast<std::uint8_t>(count);
  if (write_all(stream, &size, 1) != 0) return kShortWrite;
  return write_all(stream, bytes, count);
}

// Codes are packed into a buffer and written as a sub-block once 253 whole bytes are there; a
// code of up to 12 bits can follow, so sub-blocks hold 253 or 254 bytes.
using code_writer = lzw_code_writer<false, 253>;

// The pixels of a row, one byte each: 8-bit rows as they are, 4-bit rows unpacked into `pixels`,
// high half first.
const std::uint8_t *row_pixels(const std::uint8_t *row, std::uint8_t *pixels, int width, int bits) {
  if (bits == 8) return row;
  for (int x = 0; x + 1 < width; x += 2) {
    pixels[x] = static_cast<std::uint8_t>(row[x >> 1] >> 4);
    pixels[x + 1] = static_cast<std::uint8_t>(row[x >> 1] & 0x0F);
  }
  if (width & 1) pixels[width - 1] = static_cast<std::uint8_t>(row[width >> 1] >> 4);
  return pixels;
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
  *w = code_writer{write_sub_block, stream};
  std::memset(fetched, 0, 4 * static_cast<std::size_t>(row_size));
  // The decoder, one entry behind, widens after assigning 2^width - 1: the encoder widens after
  // assigning 2^width, so both change width at the same code.
  const lzw_rules rules = {gifenc.clear_code, gifenc.root_bits + 1, 1};
  lzw_state s;
  for (int r = 0; r < height && w->rc == 0; ++r) {
    fetch(priv, fetched, first_row + height - 1 - r, row_size);
    const std::uint8_t *p = row_pixels(fetched + byte_offset, pixels, width, bits);
    if (r == 0) {
      w->put(static_cast<std::uint32_t>(gifenc.clear_code), rules.min_width);
      s.start(rules, p[0]);
      lzw_code(*gifenc.table, s, rules, p + 1, p + width, *w);
    } else {
      lzw_code(*gifenc.table, s, rules, p, p + width, *w);
    }
  }
  // The last string is always written, found in the table or not.
  w->put(static_cast<std::uint32_t>(s.prefix), s.width);
  w->put(static_cast<std::uint32_t>(gifenc.end_code), s.width);
  w->finish();
  const std::uint8_t tail[2] = {0, 0x3B};  // block terminator, trailer ";"
  int rc = w->rc;
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

  gifenc.table = static_cast<lzw_table *>(img_fmalloc(sizeof(lzw_table)));
  void *index = img_fmalloc(lzw_table::child_bytes(bits));
  if (gifenc.table == nullptr || index == nullptr) return kNoMemory;
  gifenc.table->start(index, bits);
  const int rc = encode_gif_lzw(header, stream, 0, 0, width, height, fetch, priv);
  return rc < 0 ? rc : kOk;
}

}  // namespace pxv
