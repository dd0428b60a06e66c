// The WMF reader: the first device-independent bitmap that a Windows metafile carries, with or
// without the 22-byte placeable header. The metafile's records are walked, never played: the
// first StretchDIB, DIBStretchBlt, DIBBitBlt or SetDIBitsToDevice record gives the image, its
// stored, RLE8 or RLE4 bits decoded here.
//
// Malformed-input policy:
// - The walk starts 40 bytes past the image's start after a placeable header (its checksum is
//   not checked), else 18 bytes past it; the metafile header's values are not used, except its
//   total size on the memory stream (below). A request for a page other than the first gives
//   the no-page code: a metafile holds one picture.
// - The walk ends with -6 at a record of fewer than 3 words (so a size of 0 cannot loop), at
//   the end record, at the stream's end, at a position past what a seek can reach and, on the
//   memory stream, whose end is unknown, at the metafile's total size. Sizes are counted in
//   64 bits: size x 2 cannot overflow.
// - DIB offsets: StretchDIB 28, DIBStretchBlt 26, and the published layouts of DIBBitBlt (22)
//   and SetDIBitsToDevice (24), whose DIB follows all of their parameters. BitBlt carries a
//   device-dependent bitmap and is passed over, as is a bitmap record too short to hold a
//   40-byte header at its offset.
// - DIB header: a size other than 40, a width below 1, a height of 0 or below, a bit count other
//   than 1, 4, 8, 24, RLE8 not at 8 bits, RLE4 not at 4, or biClrUsed above 2^bits give -3
//   before the header callback. The compression and biClrUsed are cleared and biSizeImage set
//   to the stored size before the header callback; table entries past those the record holds
//   are black. Any compression but 0, 1 and 2 delivers no rows.
// - The table and bits are read no further than the bitmap record's end (or the stream's, if
//   sooner): table entries missing there are black, stored rows missing there read as 0, and
//   in RLE data that end acts as end-of-bitmap. RLE row buffers hold a whole row of any width;
//   runs and deltas past the row's end are clipped, the column held a little past the width
//   however many records a hostile row holds.
// - RLE records: right after an absolute run, 00 m v with m below 3 is a run of m pixels of v
//   (three bytes), not an escape; a row filled exactly is delivered at once and an end of line
//   right after it skipped; an end of line clears the first width / 2 + 1 bytes of the row
//   buffer, a full row the whole row (RLE8) or width / 2 + 1 bytes (RLE4); a delta delivers the
//   row once and the rows it passes over are not delivered. The pad byte after an absolute run
//   keeps the data's 16-bit alignment, counted from the start of the bits.
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
constexpr std::uint32_t kPlaceableBytes = 22;
constexpr std::uint32_t kMetaHeaderBytes = 18;
constexpr std::int64_t kMinRecordWords = 3;

enum : std::uint32_t { kCompressNone = 0, kCompressRle8 = 1, kCompressRle4 = 2 };

constexpr std::int32_t kBlockBytes = 10000;
// Stored rows are read in larger blocks: the rows delivered are the same, and a few large reads
// keep a load close to the cost of reading the file at all.
constexpr std::int32_t kStoredBlockBytes = 256 * 1024;
constexpr std::int32_t kRle8RowBuffer = 1024;
constexpr std::int32_t kRle4RowBuffer = 800;
// The input is topped up whenever fewer unread bytes than this remain: more than any record.
constexpr std::int32_t kRefillMargin = 256;

// Byte offset of the DIB from a bitmap record's start; 0 for records that carry none.
std::int64_t dib_offset(std::uint32_t function) {
  switch (function) {
    case 0x0F43: return 28;  // StretchDIB
    case 0x0B41: return 26;  // DIBStretchBlt
    case 0x0940: return 22;  // DIBBitBlt
    case 0x0D33: return 24;  // SetDIBitsToDevice
    default: return 0;
  }
}

// The bits' input, shared by the three decoders: a block of the stream read no further than
// the bitmap record's end.
struct wmf_input {
  int stream;
  std::uint8_t *buffer;  // kBlockBytes
  std::int32_t pos;
  std::int32_t end;
  std::int64_t left;      // bytes of the record not yet read into the buffer
  std::int64_t consumed;  // bytes taken since the start of the bits, for the pad byte
};
wmf_input bits_in;

// Reads up to `count` bytes of the record; what the stream does not hold is not there.
std::int32_t read_bits(std::uint8_t *dst, std::int32_t count) {
  const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(count, bits_in.left));
  if (want <= 0) return 0;
  std::int32_t got = img_read_mem(bits_in.stream, dst, static_cast<std::uint32_t>(want));
  if (got < 0) got = 0;
  bits_in.left = got < want ? 0 : bits_in.left - got;
  return got;
}

// Makes `count` unread bytes available if the record holds them.
bool need(std::int32_t count) {
  wmf_input &s = bits_in;
  if (s.end - s.pos >= std::max(count, kRefillMargin) || s.left == 0) return s.end - s.pos >= count;
  const std::int32_t unread = s.end - s.pos;
  std::memmove(s.buffer, s.buffer + s.pos, static_cast<std::size_t>(unread));
  s.pos = 0;
  s.end = unread + read_bits(s.buffer + unread, kBlockBytes - unread);
  return s.end - s.pos >= count;
}

std::uint8_t next() {
  ++bits_in.consumed;
  return bits_in.buffer[bits_in.pos++];
}

// The column after a run: past the width nothing is written, but it stays far from overflow.
std::int32_t advance(std::int32_t x, std::int32_t by, std::int32_t width) {
  return static_cast<std::int32_t>(std::min(std::int64_t{x} + by, std::int64_t{width} + 512));
}

void put_pixel(std::uint8_t *row, std::int32_t x, std::int32_t width, bool nibbles,
               std::uint8_t p) {
  if (x >= width) return;
  if (!nibbles) row[x] = p;
  else if ((x & 1) == 0) row[x / 2] = static_cast<std::uint8_t>(p << 4);
  else row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | p);
}

// The k-th pixel of a run of `v`: the byte itself for RLE8, its high and low nibbles in turn
// for RLE4.
std::uint8_t run_pixel(std::uint8_t v, std::int32_t k, bool nibbles) {
  if (!nibbles) return v;
  return (k & 1) == 0 ? v >> 4 : v & 15;
}

// RLE8 and RLE4 differ only in where a pixel lands and in the clearing after a full row.
int decode_rle(const std::uint8_t *header, PXV_RASTER_PROC raster, void *priv, bool nibbles) {
  const std::int32_t width = dib_width(header);
  const std::int32_t row_bytes = size_for_long(width, dib_bit_count(header));
  const std::int32_t half = width / 2 + 1;
  const std::int32_t full_clear = nibbles ? half : width;
  const std::int32_t row_size =
      std::max({nibbles ? kRle4RowBuffer : kRle8RowBuffer, width, half, row_bytes});
  bits_in.buffer = static_cast<std::uint8_t *>(img_fmalloc(kBlockBytes));
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_size)));
  if (bits_in.buffer == nullptr || row == nullptr) return kNoMemory;
  std::memset(row, 0, static_cast<std::size_t>(row_size));
  std::int32_t x = 0;
  std::int32_t row_number = dib_height(header) - 1;
  bool after_absolute = false;
  const auto deliver = [&] { raster(row, priv, row_number, row_bytes); };
  while (row_number >= 0) {
    if (!need(2)) break;  // the data's end is the end of the bitmap
    const std::uint8_t n = next();
    const std::uint8_t code = next();
    if (n != 0 || (after_absolute && code < 3)) {  // encoded run
      std::int32_t count = n;
      std::uint8_t v = code;
      if (n == 0) {  // 00 m v right after an absolute run
        if (!need(1)) break;
        count = code;
        v = next();
      } else {
        after_absolute = false;
      }
      for (std::int32_t k = 0; k < count && x + k < width; ++k)
        put_pixel(row, x + k, width, nibbles, run_pixel(v, k, nibbles));
      x = advance(x, count, width);
    } else if (code == 0) {  // end of line
      deliver();
      --row_number;
      x = 0;
      std::memset(row, 0, static_cast<std::size_t>(half));
    } else if (code == 1) {  // end of bitmap
      if (x != 0) deliver();
      return kReaderSuccess;
    } else if (code == 2) {  // delta
      if (!need(2)) break;
      const std::uint8_t dx = next();
      const std::uint8_t dy = next();
      x = advance(x, dx, width);
      if (dy != 0) {
        deliver();
        row_number -= dy;
      }
    } else {  // absolute run of `code` pixels
      const std::int32_t bytes = nibbles ? (code + 1) / 2 : code;
      if (!need(bytes)) break;
      std::uint8_t v = 0;
      for (std::int32_t k = 0; k < code; ++k) {
        if (!nibbles || (k & 1) == 0) v = next();
        put_pixel(row, x + k, width, nibbles, run_pixel(v, k, nibbles));
      }
      x = advance(x, code, width);
      if ((bits_in.consumed & 1) != 0 && need(1)) next();
      after_absolute = true;
    }
    // A full row goes out at once; an end of line right after it is absorbed.
    if (x >= width && row_number >= 0) {
      deliver();
      std::memset(row, 0, static_cast<std::size_t>(full_clear));
      --row_number;
      x = 0;
      if (need(2) && bits_in.buffer[bits_in.pos] == 0 && bits_in.buffer[bits_in.pos + 1] == 0) {
        next();
        next();
      }
    }
  }
  if (x != 0 && row_number >= 0) deliver();
  return kReaderSuccess;
}

}  // namespace

std::int32_t wmf_size_for_long(std::int32_t width, int bit_count) {
  return size_for_long(width, bit_count);
}

std::uint32_t wmf_Palette_Size(const std::uint8_t *header) {
  const int bits = dib_bit_count(header);
  if (bits == 24) return 0;
  const std::uint32_t used = dib_clr_used(header);
  return used != 0 ? 4 * used : 4u << bits;
}

int decode_wmf_nocomp(std::uint8_t *header, int /*stream*/, PXV_RASTER_PROC raster, void *priv) {
  const std::int32_t height = dib_height(header);
  const std::int32_t row_bytes = wmf_size_for_long(dib_width(header), dib_bit_count(header));
  // Blocks of whole rows, at least one row even when a row is longer than a block.
  const std::int32_t block_bytes = std::max(kStoredBlockBytes, row_bytes);
  const std::int32_t rows_per_block = block_bytes / row_bytes;
  auto *block = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(block_bytes)));
  if (block == nullptr) return kNoMemory;
  for (std::int32_t row_number = height - 1; row_number >= 0;) {
    const std::int32_t rows = std::min(rows_per_block, row_number + 1);
    const std::int32_t want = rows * row_bytes;
    const std::int32_t got = read_bits(block, want);
    if (got < want) std::memset(block + got, 0, static_cast<std::size_t>(want - got));
    for (std::int32_t i = 0; i < rows; ++i, --row_number)
      raster(block + std::int64_t{i} * row_bytes, priv, row_number, row_bytes);
  }
  return kReaderSuccess;
}

int decode_wmf_rle8(std::uint8_t *header, int /*stream*/, PXV_RASTER_PROC raster, void *priv) {
  return decode_rle(header, raster, priv, false);
}

int decode_wmf_rle4(std::uint8_t *header, int /*stream*/, PXV_RASTER_PROC raster, void *priv) {
  return decode_rle(header, raster, priv, true);
}

int open_wmf(std::uint32_t position, PXV_RASTER_PROC raster, void *priv,
             PXV_HEADER_PROC header_proc, int stream) {
  if (position_is_page(position)) return kNoPage;
  std::uint8_t head[kPlaceableBytes + kMetaHeaderBytes] = {};
  img_seek_mem(stream, static_cast<std::int32_t>(position), kSeekSet);
  img_read_mem(stream, head, kPlaceableBytes);
  const bool placeable = get_le32(head) == kPlaceableKey;
  if (placeable) img_read_mem(stream, head + kPlaceableBytes, kMetaHeaderBytes);
  const std::int64_t meta = std::int64_t{position} + (placeable ? kPlaceableBytes : 0);
  const std::uint32_t total_words = get_le32(head + (placeable ? kPlaceableBytes : 0) + 6);
  const std::int64_t meta_end = meta + 2 * std::int64_t{total_words};

  // The walk, to the first record that carries a DIB.
  std::int64_t at = meta + kMetaHeaderBytes;
  std::int64_t record_end = 0, dib_at = 0;
  for (;;) {
    std::uint8_t rec[6] = {};  // size in words, function
    if (at > INT32_MAX || (stream == kMemoryStream && at + 6 > meta_end)) return kUnsupported;
    img_seek_mem(stream, static_cast<std::int32_t>(at), kSeekSet);
    if (img_read_mem(stream, rec, sizeof rec) != sizeof rec) return kUnsupported;
    const std::int64_t words = get_le32(rec);
    const std::uint32_t function = get_le16(rec + 4);
    if (words < kMinRecordWords || function == 0) return kUnsupported;
    const std::int64_t offset = dib_offset(function);
    if (offset != 0 && 2 * words >= offset + kDibHeaderBytes) {
      record_end = at + 2 * words;
      dib_at = at + offset;
      break;
    }
    at += 2 * words;
  }
  if (dib_at > INT32_MAX) return kUnsupported;

  auto *header = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (header == nullptr) return kNoMemory;
  std::memset(header, 0, kHeaderRecordBytes);
  img_seek_mem(stream, static_cast<std::int32_t>(dib_at), kSeekSet);
  img_read_mem(stream, header, kDibHeaderBytes);
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  const int bits = dib_bit_count(header);
  const std::uint32_t compression = get_le32(header + kBiCompression);
  if (get_le32(header + kBiSize) != kDibHeaderBytes || width < 1 || height < 1 ||
      !dib_bit_count_supported(bits) || (compression == kCompressRle8 && bits != 8) ||
      (compression == kCompressRle4 && bits != 4) ||
      (bits != 24 && dib_clr_used(header) > (1u << bits)))
    return kBadData;
  const std::int32_t row_bytes = wmf_size_for_long(width, bits);
  if (row_bytes <= 0) return kBadData;
  const std::uint32_t table_bytes = wmf_Palette_Size(header);
  const std::int64_t bits_at = dib_at + kDibHeaderBytes + table_bytes;
  if (bits_at > INT32_MAX) return kBadData;
  // A table cut short by the record's end or the stream's: the entries missing stay black.
  const std::int64_t table_held =
      std::min<std::int64_t>(table_bytes, record_end - dib_at - kDibHeaderBytes);
  img_read_mem(stream, header + kDibHeaderBytes, static_cast<std::uint32_t>(table_held));
  put_le32(header + kBiCompression, kCompressNone);
  put_le32(header + kBiClrUsed, 0);
  put_le32(header + kBiSizeImage, static_cast<std::uint32_t>(row_bytes) * std::uint32_t(height));
  const int accepted = header_proc(header, priv);
  if (accepted < 0) return accepted;

  img_seek_mem(stream, static_cast<std::int32_t>(bits_at), kSeekSet);
  bits_in = {stream, nullptr, 0, 0, std::max<std::int64_t>(0, record_end - bits_at), 0};
  int rc = kReaderSuccess;
  switch (compression) {
    case kCompressNone: rc = decode_wmf_nocomp(header, stream, raster, priv); break;
    case kCompressRle8: rc = decode_wmf_rle8(header, stream, raster, priv); break;
    case kCompressRle4: rc = decode_wmf_rle4(header, stream, raster, priv); break;
    default: break;  // an unknown compression delivers no rows
  }
  return rc < 0 ? rc : kReaderSuccess;
}

}  // namespace pxv
