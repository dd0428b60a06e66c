// The WPG writer: a WordPerfect Graphics (version 1) file holding a start record, a colour map
// and one type-2 bitmap record of 1-, 4- or 8-bit rows, run-length packed. Other bit counts
// give -6, as do widths and heights over 4095: the bitmap record gives the image's extent in
// 1/16 units in 16-bit fields, which hold no more than 4095 x 16.
#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/run_scan.h"

namespace pxv {

namespace {

constexpr std::int32_t kMaxSide = 4095;
constexpr int kMaxPacket = 127;
constexpr std::int32_t kRowSlack = 64;
constexpr std::uint8_t kLongLength = 0xFF;
constexpr std::uint8_t kRecColourMap = 0x0E;
constexpr std::uint8_t kRecStart = 0x0F;
constexpr std::uint8_t kRecEnd = 0x10;
constexpr std::uint8_t kRecBitmap2 = 0x14;
// The page the start record describes and the bitmap's resolution fields: an 8 x 11 inch page
// in units of 1/1200 inch.
constexpr std::uint32_t kPageWidth = 9600;
constexpr std::uint32_t kPageHeight = 13200;
constexpr std::uint32_t kBitmapFieldBytes = 20;

// Packs one row: runs of two or more equal bytes, and literal packets that stop before a pair
// of equal bytes; both at most 127 bytes. A longer stretch is cut at 127 bytes, and the rest is
// found again as the next packet. `out` has room for 16 bytes past the packed row.
std::int32_t pack_row(const std::uint8_t *row, std::int32_t length, const pair_bits &equal, std::uint8_t *out) {
  std::int32_t n = 0, i = 0;
  while (i < length) {
    const std::int32_t limit = std::min(length, i + kMaxPacket);
    if (equal.at(i)) {
      const std::int32_t end = equal.next<false>(i, limit - 1) + 1;
      out[n++] = static_cast<std::uint8_t>(0x80 | (end - i));
      out[n++] = row[i];
      i = end;
      continue;
    }
    const std::int32_t end = equal.next<true>(i + 1, limit);
    const std::int32_t count = end - i;
    out[n] = static_cast<std::uint8_t>(count);
    if (end + 15 <= length)
      copy_words(out + n + 1, row + i, count);
    else
      std::memcpy(out + n + 1, row + i, static_cast<std::size_t>(count));
    n += 1 + count;
    i = end;
  }
  return n;
}

}  // namespace

int save_wpg_raster(int stream, const std::uint8_t *row, std::int32_t length,
                    std::uint32_t *data_length) {
  // Worst case: a one-byte literal before every run of two, 4 bytes for 3; and room for the
  // word copies' 16 bytes past a stretch. The equality bits go in front, in the same block.
  const std::size_t bit_bytes = pair_bits::words_for(length) * sizeof(std::uint64_t);
  auto *block = static_cast<std::uint8_t *>(img_fmalloc(bit_bytes + 2 * static_cast<std::size_t>(length) + 32));
  if (block == nullptr) return kNoMemory;
  pair_bits equal{reinterpret_cast<std::uint64_t *>(block)};
  equal.build(row, length);
  std::uint8_t *out = block + bit_bytes;
  const std::int32_t n = pack_row(row, length, equal, out);
  const bool written = img_write_all(stream, out, static_cast<std::uint32_t>(n));
  img_ffree(block);  // one block per row: given back at once, or a tall image would fill the list
  if (!written) return kShortWrite;
  *data_length += static_cast<std::uint32_t>(n);
  return kOk;
}

int save_wpg_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const int bits = dib_bit_count(header);
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  if ((bits != 1 && bits != 4 && bits != 8) || width < 1 || height < 1 || width > kMaxSide ||
      height > kMaxSide)
    return kUnsupported;

  // File header, start record, the 0x19 record, and the colour map's head, in one buffer.
  const int entries = 1 << bits;
  const std::uint32_t map_length = 3 * entries + 4;
  auto *head = static_cast<std::uint8_t *>(img_fmalloc(64 + map_length));
  if (head == nullptr) return kNoMemory;
  std::uint8_t *p = head;
  const std::uint8_t fixed[] = {
      0xFF, 'W', 'P', 'C', 16, 0, 0, 0, 1, 0x16, 1, 0, 0, 0, 0, 0,  // file header
      kRecStart, 6, 1, 0, 0, 0, 0, 0,                          // start record
      0x19, 5, 0x00, 0x02, 0x00, 0x0F, 0x00,
      kRecColourMap, kLongLength};
  std::memcpy(p, fixed, sizeof fixed);
  put_le16(p + 20, kPageWidth);
  put_le16(p + 22, kPageHeight);
  p += sizeof fixed;
  put_le16(p, map_length);
  put_le16(p + 2, 0);  // first entry
  put_le16(p + 4, static_cast<std::uint32_t>(entries));
  p += 6;
  // Entries the save header lacks are black.
  const std::uint32_t have = Palette_Size(header) / 4;
  for (int k = 0; k < entries; ++k, p += 3) {
    const std::uint8_t *e = header + kDibHeaderBytes + 4 * k;
    const bool given = static_cast<std::uint32_t>(k) < have;
    p[0] = given ? e[2] : 0;
    p[1] = given ? e[1] : 0;
    p[2] = given ? e[0] : 0;
  }
  if (!img_write_all(stream, head, static_cast<std::uint32_t>(p - head))) return kShortWrite;

  // The bitmap record, its length a placeholder until the packed data is known.
  const std::int32_t bitmap_at = img_filelength(stream);
  std::uint8_t bitmap[6 + kBitmapFieldBytes] = {kRecBitmap2, kLongLength};
  std::uint8_t *f = bitmap + 6;  // angle, left and bottom stay 0
  put_le16(f + 6, static_cast<std::uint32_t>(width) * 16);
  put_le16(f + 8, static_cast<std::uint32_t>(height) * 16);
  put_le16(f + 10, static_cast<std::uint32_t>(width));
  put_le16(f + 12, static_cast<std::uint32_t>(height));
  put_le16(f + 14, static_cast<std::uint32_t>(bits));
  put_le16(f + 16, kPageWidth);
  put_le16(f + 18, kPageHeight);
  if (!img_write_all(stream, bitmap, sizeof bitmap)) return kShortWrite;

  const std::int32_t dib_row = size_for_long(width, bits);
  const std::int32_t length = (width * bits + 7) / 8;
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(dib_row) + kRowSlack));
  if (row == nullptr) return kNoMemory;
  std::uint32_t data_length = 0;
  for (std::int32_t y = 0; y < height; ++y) {
    fetch(priv, row, height - 1 - y, dib_row);
    const int rc = save_wpg_raster(stream, row, length, &data_length);
    if (rc < 0) return rc;
  }
  const std::uint8_t end[2] = {kRecEnd, 0};
  if (!img_write_all(stream, end, 2)) return kShortWrite;
  const std::int32_t file_end = img_filelength(stream);

  // The bitmap record's length in the long form: high word with bit 15 set, then low word.
  const std::uint32_t record_length = data_length + kBitmapFieldBytes;
  put_le16(bitmap + 2, (record_length >> 16) | 0x8000);
  put_le16(bitmap + 4, record_length & 0xFFFF);
  img_seek_mem(stream, bitmap_at, kSeekSet);
  if (!img_write_all(stream, bitmap, 6)) return kShortWrite;
  img_seek_mem(stream, file_end, kSeekSet);
  return kOk;
}

}  // namespace pxv
