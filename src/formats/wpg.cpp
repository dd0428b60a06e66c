// The WPG reader: the bitmap of a WordPerfect Graphics (version 1) file. The record list is
// walked once; the last bitmap record (type 1 or type 2) and the last colour map are kept, and
// the bitmap's run-length data is decoded row by row from the top.
//
// Malformed-input policy:
// - The 16-byte file header is skipped unchecked. A request for a page other than the first
//   gives the no-page code: the file holds one image.
// - The walk ends at the end record (0x10), where the stream ends (a record's type or length
//   cannot be read), and after a record whose length runs past the end of a file. On the memory
//   stream, whose end is unknown, it also ends after kMaxMemoryRecords records. A walk that met
//   no bitmap record gives -2.
// - Bitmaps: width or height 0, or a depth other than 1, 2, 4, 8 or 24, gives -3 before the
//   header callback. Depth 2 loads as a 4-bit DIB with the values unchanged; depth 24 rows are
//   width x 3 bytes of red, green, blue (as ImageMagick reads them), stored as blue, green, red.
// - Colour table: without a colour map, or at depth 1, the gray table of the depth (depth 2:
//   0, 85, 170, 255); otherwise table entry k is the map's triple k, whatever its first-entry
//   field says. Entries past the map's count or its first 800 bytes are black.
// - Packets never write past the row: bytes of a packet beyond the row's end are dropped. A
//   row-repeat packet delivers the row buffer as it stands (zeros before the first row).
// - When the data ends the row being built is delivered with zeros for its missing part, and
//   every remaining row as zeros.
#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

constexpr std::int32_t kFileHeaderBytes = 16;
constexpr std::int32_t kMapBytes = 800;
constexpr std::int32_t kRowSlack = 100;
constexpr std::int32_t kInputBytes = 4096;
// A record list this long on the memory stream is taken to have lost its end record.
constexpr int kMaxMemoryRecords = 4096;

enum : int {
  kRecBitmap1 = 0x0B,
  kRecColourMap = 0x0E,
  kRecStart = 0x0F,
  kRecEnd = 0x10,
  kRecBitmap2 = 0x14,
};
constexpr std::uint8_t kLongLength = 0xFF;

// Bytes of each bitmap record's fields before its pixel data, and where width, height and
// depth sit among them.
int bitmap_field_bytes(int type) { return type == 1 ? 10 : 20; }
int bitmap_field_offset(int type) { return type == 1 ? 0 : 10; }

// The reader's state: where the kept bitmap's data starts, which record type it came in, and
// the decoder's input window.
struct wpg_state {
  std::int32_t bitmap_ptr;  // stream offset of the last bitmap record's data; -1 before one
  int bitmap_type;          // 0 none, 1 type 1 (0x0B), 2 type 2 (0x14)
  int stream;
  std::uint8_t *input;
  std::int32_t pos, end;
  bool exhausted;
};
wpg_state wpgstruct;

bool read_all(int stream, void *dst, std::int32_t count) {
  return img_read_mem(stream, dst, static_cast<std::uint32_t>(count)) == count;
}

// Makes `count` unread input bytes available if the stream has them. A file is read a block at
// a time, the memory stream exactly as far as asked.
bool need(std::int32_t count) {
  wpg_state &s = wpgstruct;
  if (s.end - s.pos >= count) return true;
  if (s.exhausted) return false;
  const std::int32_t unread = s.end - s.pos;
  std::memmove(s.input, s.input + s.pos, static_cast<std::size_t>(unread));
  s.pos = 0;
  s.end = unread;
  const std::int32_t want = s.stream == kMemoryStream ? count - unread : kInputBytes - unread;
  const std::int32_t got = img_read_mem(s.stream, s.input + unread, static_cast<std::uint32_t>(want));
  if (got > 0) s.end += got;
  if (got < want) s.exhausted = true;
  return s.end - s.pos >= count;
}

// A record's length in its three forms. Answers the bytes the length took (1, 3 or 5), or 0
// when the stream ends inside it.
int read_record_length(int stream, std::int64_t *length) {
  std::uint8_t b[4];
  if (!read_all(stream, b, 1)) return 0;
  if (b[0] != kLongLength) {
    *length = b[0];
    return 1;
  }
  if (!read_all(stream, b, 2)) return 0;
  const std::uint32_t w1 = get_le16(b);
  if ((w1 & 0x8000) == 0) {
    *length = w1;
    return 3;
  }
  if (!read_all(stream, b + 2, 2)) return 0;
  *length = std::int64_t{w1 & 0x7FFF} * 65536 + get_le16(b + 2);
  return 5;
}

// Width, height and depth of the bitmap record whose fields start at the current position.
struct bitmap_fields {
  std::int32_t width, height;
  int depth;
};
bitmap_fields read_bitmap_fields(int stream, int type) {
  std::uint8_t f[20] = {};
  img_read_mem(stream, f, static_cast<std::uint32_t>(bitmap_field_bytes(type)));  // short: zeros
  const std::uint8_t *p = f + bitmap_field_offset(type);
  return {get_le16(p), get_le16(p + 2), get_le16(p + 4)};
}

int dib_bits_for(int depth) { return depth == 2 ? 4 : depth; }

std::int32_t wpg_row_length(std::int32_t width, int depth) {
  if (depth == 24) return width * 3;
  const int per_byte = 8 / depth;
  return (width + per_byte - 1) / per_byte;
}

// The colour table: gray levels without a map or at depth 1, else the map's triples in order.
void wpg_colour_table(std::uint8_t *header, int depth, const std::uint8_t *map,
                      std::int32_t map_bytes) {
  if (depth == 24) return;
  std::uint8_t *table = header + kDibHeaderBytes;
  const int entries = 1 << depth;
  if (map_bytes < 0 || depth == 1) {
    const int step = 255 / (entries - 1);
    for (int i = 0; i < entries; ++i)
      std::memset(table + 4 * i, depth == 4 ? 16 * i : step * i, 3);
    return;
  }
  const std::int32_t held = map_bytes >= 4 ? (map_bytes - 4) / 3 : 0;
  const std::int32_t usable = std::min<std::int32_t>(held, map_bytes >= 4 ? get_le16(map + 2) : 0);
  for (int k = 0; k < entries && k < usable; ++k) {
    const std::uint8_t *rgb = map + 4 + 3 * k;
    table[4 * k] = rgb[2];
    table[4 * k + 1] = rgb[1];
    table[4 * k + 2] = rgb[0];
  }
}

// The decoded WPG row into the DIB row: copied, 2-bit pixels widened to 4 bits (p0 p1 p2 p3
// into p0p1 and p2p3), or red, green, blue turned into blue, green, red.
void convert_row(const std::uint8_t *in, std::int32_t length, int depth, std::uint8_t *out,
                 std::int32_t out_bytes) {
  if (depth == 2) {
    for (std::int32_t i = 0; i < length && 2 * i + 1 < out_bytes; ++i) {
      const int s = in[i];
      out[2 * i] = static_cast<std::uint8_t>(((s >> 6) << 4) | ((s >> 4) & 3));
      out[2 * i + 1] = static_cast<std::uint8_t>((((s >> 2) & 3) << 4) | (s & 3));
    }
  } else if (depth == 24) {
    for (std::int32_t i = 0; i + 2 < length && i + 2 < out_bytes; i += 3) {
      out[i] = in[i + 2];
      out[i + 1] = in[i + 1];
      out[i + 2] = in[i];
    }
  } else {
    std::memcpy(out, in, static_cast<std::size_t>(std::min(length, out_bytes)));
  }
}

}  // namespace

std::int32_t wpg_size_for_long(std::int32_t width, int bits) { return size_for_long(width, bits); }

// Decodes the kept bitmap into `out` (at least `out_bytes` long) and delivers every row.
int wpg_decomp(int stream, std::uint8_t *out, std::int32_t out_bytes, PXV_RASTER_PROC raster,
               void *priv) {
  wpg_state &s = wpgstruct;
  img_seek_mem(stream, s.bitmap_ptr, kSeekSet);
  const bitmap_fields f = read_bitmap_fields(stream, s.bitmap_type);
  const std::int32_t length = wpg_row_length(f.width, f.depth);
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(length)));
  s.input = static_cast<std::uint8_t *>(img_fmalloc(kInputBytes));
  if (row == nullptr || s.input == nullptr) return kNoMemory;
  std::memset(row, 0, static_cast<std::size_t>(length));
  std::memset(out, 0, static_cast<std::size_t>(out_bytes));
  s.stream = stream;
  s.pos = s.end = 0;
  s.exhausted = false;

  std::int32_t row_number = 0, filled = 0;
  auto deliver = [&](std::int32_t times) {
    convert_row(row, length, f.depth, out, out_bytes);
    for (std::int32_t i = 0; i < times && row_number < f.height; ++i) raster(out, priv, row_number++, out_bytes);
    filled = 0;
  };
  // Appends up to `count` bytes (a run of `value`, or literal input when `literal`), dropping
  // what passes the row's end.
  auto append = [&](std::int32_t count, std::uint8_t value, bool literal) {
    const std::int32_t fit = std::min(count, length - filled);
    if (literal) std::memcpy(row + filled, s.input + s.pos, static_cast<std::size_t>(fit));
    else std::memset(row + filled, value, static_cast<std::size_t>(fit));
    filled += fit;
    if (filled == length) deliver(1);
  };
  while (row_number < f.height) {
    if (!need(2)) break;
    const std::uint8_t b = s.input[s.pos++];
    const std::uint8_t next = s.input[s.pos++];
    const int n = b & 0x7F;
    if (b == 0x80) {
      append(next, 0xFF, false);
    } else if (b == 0x00) {
      deliver(next == 0 ? f.height : next);
    } else if ((b & 0x80) != 0) {
      append(n, next, false);
    } else {
      --s.pos;  // the second byte is the first literal
      const bool whole = need(n);
      append(whole ? n : s.end - s.pos, 0, true);
      if (!whole) break;
      s.pos += n;
    }
  }
  if (row_number < f.height) {
    // The data ended: what the row holds, zeros for the rest of it, then rows of zeros.
    std::memset(row + filled, 0, static_cast<std::size_t>(length - filled));
    deliver(1);
    std::memset(row, 0, static_cast<std::size_t>(length));
    deliver(f.height);
  }
  return kReaderSuccess;
}

int open_wpg(std::uint32_t position, PXV_RASTER_PROC raster, void *priv,
             PXV_HEADER_PROC header_proc, int stream) {
  if (position_is_page(position) && position_page(position) >= 1) return kNoPage;
  const std::int32_t start = position_is_page(position) ? 0 : static_cast<std::int32_t>(position);
  img_seek_mem(stream, start, kSeekSet);
  auto *map = static_cast<std::uint8_t *>(img_fmalloc(kMapBytes));
  auto *header = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (map == nullptr || header == nullptr) return kNoMemory;
  wpg_state &s = wpgstruct;
  s = wpg_state{};
  s.bitmap_ptr = -1;
  std::int32_t map_bytes = -1;  // -1: no colour map seen
  bitmap_fields bitmap{};

  const std::int64_t file_end = stream == kMemoryStream ? INT32_MAX : img_filelength(stream);
  std::int64_t at = std::int64_t{start} + kFileHeaderBytes;
  for (int records = 0; stream != kMemoryStream || records < kMaxMemoryRecords; ++records) {
    img_seek_mem(stream, static_cast<std::int32_t>(at), kSeekSet);
    std::uint8_t type;
    std::int64_t length;
    if (!read_all(stream, &type, 1)) break;
    const int length_bytes = read_record_length(stream, &length);
    if (length_bytes == 0 || type == kRecEnd) break;
    const std::int64_t data = at + 1 + length_bytes;
    if (type == kRecBitmap1 || type == kRecBitmap2) {
      s.bitmap_type = type == kRecBitmap1 ? 1 : 2;
      s.bitmap_ptr = static_cast<std::int32_t>(data);
      bitmap = read_bitmap_fields(stream, s.bitmap_type);
    } else if (type == kRecColourMap) {
      std::memset(map, 0, kMapBytes);
      const std::int32_t got =
          img_read_mem(stream, map, static_cast<std::uint32_t>(std::min<std::int64_t>(length, kMapBytes)));
      map_bytes = got > 0 ? got : 0;
    }
    // The start record's 8 bytes carry nothing the bitmap needs.
    at = data + length;
    if (at > file_end || at > INT32_MAX) break;
  }
  if (s.bitmap_type == 0) return kReadError;

  const int depth = bitmap.depth;
  if (bitmap.width == 0 || bitmap.height == 0 ||
      (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 24))
    return kBadData;
  const int bits = dib_bits_for(depth);
  const std::int32_t out_bytes = wpg_size_for_long(bitmap.width, bits);
  std::memset(header, 0, kHeaderRecordBytes);
  fill_dib_header(header, bitmap.width, bitmap.height, bits,
                  static_cast<std::uint32_t>(out_bytes) * static_cast<std::uint32_t>(bitmap.height));
  wpg_colour_table(header, depth, map, map_bytes);
  const int accepted = header_proc(header, priv);
  if (accepted < 0) return accepted;

  auto *out = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(out_bytes) + kRowSlack));
  if (out == nullptr) return kNoMemory;
  return wpg_decomp(stream, out, out_bytes, raster, priv);
}

}  // namespace pxv
