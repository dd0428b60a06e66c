// The WMF writer: a placeable metafile whose one StretchDIB record draws the whole image at its
// own size, 1000 units to the inch. Bit counts other than 1, 4, 8, 24, and sides the 16-bit
// placeable box and record parameters cannot hold (above 32767), give -6.
#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

constexpr std::uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr std::int32_t kMaxSide = 32767;
constexpr std::uint32_t kUnitsPerInch = 1000;
// Words of the metafile around the StretchDIB record: its 18-byte header, the three set-up
// records (10 + 10 + 8 bytes) and the 6-byte end record.
constexpr std::uint32_t kOtherWords = 26;
// Bytes of the StretchDIB record before its bitmap's header and table.
constexpr std::uint32_t kStretchDibHead = 28;
constexpr std::uint32_t kSrcCopy = 0x00CC0020u;
// Rows are gathered into blocks of about this size before they are written.
constexpr std::int32_t kOutputBlockBytes = 64 * 1024;

// Little-endian fields appended to a byte buffer.
struct field_writer {
  std::uint8_t *p;
  void u16(std::uint32_t v) {
    put_le16(p, v);
    p += 2;
  }
  void u32(std::uint32_t v) {
    put_le32(p, v);
    p += 4;
  }
};

}  // namespace

int write_meta_setup(int stream, const std::uint8_t *header) {
  std::uint8_t records[28];
  field_writer w{records};
  w.u32(5), w.u16(0x020B), w.u16(0), w.u16(0);  // SetWindowOrg 0, 0
  w.u32(5), w.u16(0x020C), w.u16(static_cast<std::uint32_t>(dib_height(header)));
  w.u16(static_cast<std::uint32_t>(dib_width(header)));  // SetWindowExt H, W
  w.u32(4), w.u16(0x0107), w.u16(3);  // SetStretchBltMode: colour on colour
  return img_write_all(stream, records, sizeof records) ? kOk : kShortWrite;
}

int save_wmf_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const int bits = dib_bit_count(header);
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  if (!dib_bit_count_supported(bits) || width < 1 || height < 1 || width > kMaxSide ||
      height > kMaxSide)
    return kUnsupported;
  const std::int32_t row_bytes = size_for_long(width, bits);
  const std::uint32_t image_bytes = static_cast<std::uint32_t>(row_bytes) * std::uint32_t(height);
  const std::uint32_t table_bytes = Palette_Size(header);
  const std::uint32_t record_words =
      (image_bytes + table_bytes + kStretchDibHead + kDibHeaderBytes) / 2;

  const std::int32_t rows_per_block = std::max(1, kOutputBlockBytes / row_bytes);
  const std::size_t block_bytes = std::size_t(rows_per_block) * row_bytes + 10;
  auto *block = static_cast<std::uint8_t *>(img_fmalloc(block_bytes));
  if (block == nullptr) return kNoMemory;

  std::uint8_t head[22 + 18];
  field_writer w{head};
  w.u32(kPlaceableKey), w.u16(0);  // key, metafile handle
  w.u16(0), w.u16(0);  // the box: 0, 0, W, H
  w.u16(static_cast<std::uint32_t>(width)), w.u16(static_cast<std::uint32_t>(height));
  w.u16(kUnitsPerInch), w.u32(0);
  std::uint32_t checksum = 0;
  for (int i = 0; i < 20; i += 2) checksum ^= get_le16(head + i);
  w.u16(checksum);
  w.u16(1), w.u16(9), w.u16(0x0300);  // a metafile in a file, 9 header words, version 3
  w.u32(record_words + kOtherWords), w.u16(1), w.u32(record_words), w.u16(0);
  if (!img_write_all(stream, head, sizeof head)) return kShortWrite;
  if (write_meta_setup(stream, header) < 0) return kShortWrite;

  std::uint8_t record[kStretchDibHead + kDibHeaderBytes];
  w = field_writer{record};
  w.u32(record_words), w.u16(0x0F43), w.u32(kSrcCopy), w.u16(0);  // RGB colours
  for (int i = 0; i < 2; ++i) {  // source, then destination: height, width, y 0, x 0
    w.u16(static_cast<std::uint32_t>(height)), w.u16(static_cast<std::uint32_t>(width));
    w.u16(0), w.u16(0);
  }
  std::memcpy(w.p, header, kDibHeaderBytes);
  put_le32(w.p + kBiSizeImage, image_bytes);
  if (!img_write_all(stream, record, sizeof record)) return kShortWrite;
  if (!img_write_all(stream, header + kDibHeaderBytes, table_bytes)) return kShortWrite;

  // Each row is fetched straight into its place in the block, bottom row first.
  std::int32_t in_block = 0;
  for (std::int32_t r = 0; r < height; ++r) {
    fetch(priv, block + std::size_t(in_block) * row_bytes, r, row_bytes);
    if (++in_block == rows_per_block || r == height - 1) {
      const auto bytes = static_cast<std::uint32_t>(in_block * row_bytes);
      if (!img_write_all(stream, block, bytes)) return kShortWrite;
      in_block = 0;
    }
  }
  std::uint8_t end[6];
  w = field_writer{end};
  w.u32(3), w.u16(0);
  return img_write_all(stream, end, sizeof end) ? kOk : kShortWrite;
}

}  // namespace pxv
