// The PICT writer: a version-2 picture holding one PackBits bitmap operation. Indexed images
// (1, 4, 8 bits) become a PackBitsRect with a colour table, 24-bit images a DirectBitsRect whose
// rows hold a red, a green and a blue plane. Every field is written big-endian.
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

constexpr std::uint32_t kPreambleBytes = 512;
constexpr std::int32_t kMaxSide = 0x7FFF;
// The top two bits of rowBytes are flags: a row of 0x4000 bytes or more cannot be described.
constexpr std::int32_t kMaxRowBytes = 0x3FFF;
constexpr std::int32_t kOneByteCountMax = 250;
constexpr int kMaxPacket = 127;

// Pixel-data bytes written so far, for the pad byte that keeps the end opcode at an even offset.
std::uint32_t byte_count = 0;

// Big-endian fields appended to a byte buffer.
struct field_writer {
  std::uint8_t *p;
  void u16(std::uint32_t v) {
    put_be16(p, v);
    p += 2;
  }
  void u32(std::uint32_t v) {
    put_be32(p, v);
    p += 4;
  }
  void rect(std::int32_t bottom, std::int32_t right) {
    u16(0);
    u16(0);
    u16(static_cast<std::uint32_t>(bottom));
    u16(static_cast<std::uint32_t>(right));
  }
};

// PackBits as the format's writers do it: runs of three or more equal bytes (at most 127),
// else literal packets that stop before a pair of equal bytes.
std::int32_t pack_row(const std::uint8_t *row, std::int32_t length, std::uint8_t *out) {
  std::int32_t n = 0;
  std::int32_t i = 0;
  while (i < length) {
    const std::uint8_t c = row[i];
    if (i < length - 3 && row[i + 1] == c && row[i + 2] == c) {
      int count = 0;
      while (i < length && row[i] == c && count < kMaxPacket) {
        ++i;
        ++count;
      }
      out[n++] = static_cast<std::uint8_t>(1 - count);
      out[n++] = c;
      continue;
    }
    const std::int32_t head = n++;
    int count = 0;
    if (i + 1 < length && row[i + 1] == c) {
      out[n++] = c;
      ++i;
      ++count;
    }
    while (i < length && count < kMaxPacket && (i + 1 == length || row[i + 1] != row[i])) {
      out[n++] = row[i++];
      ++count;
    }
    out[head] = static_cast<std::uint8_t>(count - 1);
  }
  return n;
}

// Literal packets only: the packing of a short row when the usual one would pass what a
// 1-byte count can say.
std::int32_t literal_row(const std::uint8_t *row, std::int32_t length, std::uint8_t *out) {
  std::int32_t n = 0;
  for (std::int32_t i = 0; i < length; i += kMaxPacket) {
    const std::int32_t count = length - i < kMaxPacket ? length - i : kMaxPacket;
    out[n++] = static_cast<std::uint8_t>(count - 1);
    std::memcpy(out + n, row + i, static_cast<std::size_t>(count));
    n += count;
  }
  return n;
}

}  // namespace

// The PICT row size: pixels to bytes by bit count (24-bit rows hold four bytes a pixel),
// rounded up to an even count.
std::int32_t pct_size_for_long(std::int32_t width, int bits) {
  std::int64_t bytes;
  switch (bits) {
    case 1: bytes = (std::int64_t{width} + 7) / 8; break;
    case 4: bytes = (std::int64_t{width} + 1) / 2; break;
    case 24: bytes = std::int64_t{width} * 4; break;
    default: bytes = width; break;
  }
  bytes = (bytes + 1) / 2 * 2;
  return bytes > INT32_MAX ? -1 : static_cast<std::int32_t>(bytes);
}

int save_pct_raster(int stream, const std::uint8_t *row, std::int32_t length) {
  // Worst case: a header byte for every byte, and the 2-byte count.
  auto *out = static_cast<std::uint8_t *>(img_fmalloc(2 * static_cast<std::size_t>(length) + 4));
  if (out == nullptr) return kNoMemory;
  const int count_bytes = length > kOneByteCountMax ? 2 : 1;
  std::int32_t n = pack_row(row, length, out + count_bytes);
  if (count_bytes == 1 && n > 255) n = literal_row(row, length, out + 1);
  if (count_bytes == 2) put_be16(out, static_cast<std::uint32_t>(n));
  else out[0] = static_cast<std::uint8_t>(n);
  const std::uint32_t total = static_cast<std::uint32_t>(n + count_bytes);
  const bool written = img_write_all(stream, out, total);
  img_ffree(out);  // one block per row: given back at once, or a tall image would fill the list
  if (!written) return kShortWrite;
  byte_count += total;
  return 0;
}

int save_pct_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  byte_count = 0;
  const int bits = dib_bit_count(header);
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  if (!dib_bit_count_supported(bits) || width < 1 || height < 1 || width > kMaxSide ||
      height > kMaxSide)
    return kUnsupported;
  const std::int32_t r = pct_size_for_long(width, bits);
  if (r > kMaxRowBytes) return kUnsupported;
  const bool direct = bits == 24;
  const int entries = direct ? 0 : 1 << bits;

  // Steps up to the pixel data, in one buffer: preamble, picture header, clip, the bitmap
  // operation's fields and colour table, and its rectangles and mode.
  const std::size_t head_bytes = kPreambleBytes + 200 + 8 * static_cast<std::size_t>(entries);
  auto *head = static_cast<std::uint8_t *>(img_fmalloc(head_bytes));
  if (head == nullptr) return kNoMemory;
  std::memset(head, 0, head_bytes);
  field_writer w{head + kPreambleBytes};
  w.u16(static_cast<std::uint32_t>(height * r));  // picSize: its low 16 bits
  w.rect(height, width);                          // picFrame
  w.u16(0x0011);                                  // version opcode, version 2
  w.u16(0x02FF);
  w.u16(0x0C00);                                  // header opcode
  w.u32(0xFFFFFFFF);
  w.u32(0);
  w.u32(0);
  w.u32(static_cast<std::uint32_t>(width) << 16);  // bounds as 16.16 fixed values
  w.u32(static_cast<std::uint32_t>(height) << 16);
  w.u32(0);
  w.u16(0x001E);  // default highlight
  w.u16(0x0001);  // clip: a rectangular region
  w.u16(10);
  w.rect(height, width);
  if (direct) {
    w.u16(0x009A);  // DirectBitsRect, baseAddr
    w.u32(0);
  } else {
    w.u16(0x0098);  // PackBitsRect
  }
  w.u16(static_cast<std::uint32_t>(r) | 0x8000);
  w.rect(height, width);        // bounds
  w.u16(0);                     // pmVersion
  w.u16(direct ? 4 : 0);        // packType
  w.u32(0);                     // packSize
  w.u32(72u << 16);             // hRes
  w.u32(72u << 16);             // vRes
  w.u16(direct ? 16 : 0);       // pixelType
  w.u16(direct ? 32 : static_cast<std::uint32_t>(bits));  // pixelSize
  w.u16(direct ? 3 : 1);        // cmpCount
  w.u16(direct ? 8 : static_cast<std::uint32_t>(bits));   // cmpSize
  w.u32(0);                     // planeBytes
  w.u32(0);                     // pmTable
  w.u32(0);                     // pmReserved
  if (!direct) {
    w.u32(0);  // ctSeed
    w.u16(0x8000);
    w.u16(static_cast<std::uint32_t>(entries - 1));
    const std::uint32_t have = Palette_Size(header) / 4;
    for (int k = 0; k < entries; ++k) {
      // Entries the save header lacks are black.
      const std::uint8_t *e = header + kDibHeaderBytes + 4 * k;
      const bool given = static_cast<std::uint32_t>(k) < have;
      w.u16(0);
      w.u16(given ? e[2] * 256u : 0);
      w.u16(given ? e[1] * 256u : 0);
      w.u16(given ? e[0] * 256u : 0);
    }
  }
  w.rect(height, width);  // srcRect
  w.rect(height, width);  // dstRect
  w.u16(0);               // mode
  if (!img_write_all(stream, head, static_cast<std::uint32_t>(w.p - head))) return kShortWrite;
  img_ffree(head);

  const std::int32_t dib_row = size_for_long(width, bits);
  const std::int32_t row_bytes = dib_row > r ? dib_row : r;
  auto *line = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_bytes)));
  auto *planes = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(r)));
  if (line == nullptr || planes == nullptr) return kNoMemory;
  std::memset(line, 0, static_cast<std::size_t>(row_bytes));
  std::memset(planes, 0, static_cast<std::size_t>(r));
  for (std::int32_t y = 0; y < height; ++y) {
    fetch(priv, line, height - 1 - y, dib_row);
    const std::uint8_t *row = line;
    std::int32_t length = r;
    if (direct) {
      // Three planes: red, green, blue. A row of one pixel (rowBytes 4, below the packing
      // threshold) is stored unpacked as its three 1-byte planes without a pad byte: readers
      // of DirectBits rows (ImageMagick among them) size an unpacked row by its planes, not by
      // rowBytes, and this library's reader does the same.
      for (std::int32_t x = 0; x < width; ++x) {
        planes[x] = line[3 * x + 2];
        planes[width + x] = line[3 * x + 1];
        planes[2 * width + x] = line[3 * x];
      }
      row = planes;
      length = 3 * width;
    }
    if (r < 8) {
      // Rows below 8 bytes are stored as they are, without a count.
      if (!img_write_all(stream, row, static_cast<std::uint32_t>(length))) return kShortWrite;
      byte_count += static_cast<std::uint32_t>(length);
      continue;
    }
    const int rc = save_pct_raster(stream, row, length);
    if (rc < 0) return rc;
  }
  // The end opcode starts at an even offset.
  const std::uint8_t end[3] = {0, 0x00, 0xFF};
  const std::uint32_t skip = (byte_count & 1) ? 0 : 1;
  if (!img_write_all(stream, end + skip, 3 - skip)) return kShortWrite;
  return 0;
}

}  // namespace pxv
