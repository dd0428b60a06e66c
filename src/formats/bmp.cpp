// The BMP reader: Windows (40-byte header) and OS/2 (12-byte header) bitmaps, stored rows, RLE8
// and RLE4. Rows are delivered from the bottom of the image up, as the file stores them.
//
// Malformed-input policy:
// - Header size: 40 is a Windows header; every other value is taken for an OS/2 header (16-bit
//   width and height at offsets 18 and 20). Newer Windows headers (108, 124 bytes) therefore read
//   a height of 0 or a bit count of 0 and are refused like any other impossible header.
// - Bit counts: 1, 4, 8 and 24 are read. The real but unsupported depths 2, 16 and 32 give -6;
//   any other value gives -3. Both are refused before the colour table is read.
// - Dimensions: a width of 0 or less, or a height of 0, gives -3. A negative height is a
//   top-down file: stored rows are read top row first; a top-down RLE file (which the format
//   forbids) gives -3. Sizes too large for memory are refused by the header callback (-1).
// - Offsets: a colour table or pixel-data offset that does not fit a 32-bit signed file position
//   gives -3. An offset past the end of the file reads as a truncated file.
// - Truncation: stored rows missing from the file read as 0 and every row is delivered. In RLE
//   data, the end of the input acts as end-of-bitmap: the row being built is delivered if it has
//   pixels, rows above it are not delivered. A record cut short by the end is dropped.
// - Runs, absolute runs and deltas that pass the row's end are clipped at the width: the pixels
//   beyond it are dropped and the column keeps counting. Deltas and end-of-line records beyond
//   the top row deliver nothing. Any other compression value delivers no rows and succeeds.
// - RLE4: an escape 00 00, 00 01 or 00 02 right after an absolute run is read as end-of-line,
//   end-of-bitmap or delta like everywhere else in the stream, as every RLE4 writer means it.
// - Buffers: row buffers hold a whole row of the image (at least 1024 bytes for RLE8 and 800
//   for RLE4), and stored-row blocks hold at least one row, so wide images load in full.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kWindowsHeaderBytes = 40;
constexpr std::uint32_t kWindowsTableOffset = 54;
constexpr std::uint32_t kOs2TableOffset = 26;

enum : std::uint32_t { kCompressNone = 0, kCompressRle8 = 1, kCompressRle4 = 2 };

constexpr std::int32_t kBlockBytes = 10000;
// Stored rows are read in larger blocks: the rows delivered are the same, and a few large reads
// keep a load close to the cost of reading the file at all.
constexpr std::int32_t kStoredBlockBytes = 256 * 1024;
constexpr std::int32_t kRle8RowBuffer = 1024;
constexpr std::int32_t kRle4RowBuffer = 800;

// A file position relative to the image's start, or -1 when it does not fit a seek.
std::int32_t image_offset(std::uint32_t position, std::uint32_t offset) {
  const std::uint64_t at = std::uint64_t{position} + offset;
  return at > INT32_MAX ? -1 : static_cast<std::int32_t>(at);
}

// The RLE input. A file is read in blocks of 10000 bytes. The memory stream has no known end,
// so it is read record by record, exactly as far as the records go: a complete image in memory
// is never read past its end-of-bitmap.
struct rle_input {
  int stream;
  std::uint8_t *buffer;  // kBlockBytes
  std::int32_t pos;
  std::int32_t end;
  bool at_end;

  // Makes `count` (at most 255) unread bytes available if the stream has them.
  bool need(std::int32_t count) {
    if (end - pos >= count) return true;
    if (at_end) return false;
    const std::int32_t unread = end - pos;
    std::memmove(buffer, buffer + pos, static_cast<std::size_t>(unread));
    pos = 0;
    end = unread;
    const std::int32_t want = stream == kMemoryStream ? count - unread : kBlockBytes - unread;
    const std::int32_t got = img_read_mem(stream, buffer + unread, static_cast<std::uint32_t>(want));
    if (got > 0) end += got;
    if (got < want) at_end = true;
    return end - pos >= count;
  }
  std::uint8_t next() { return buffer[pos++]; }
};

// The column after a run: it keeps counting past the width (where nothing is written), but is
// held well below any overflow however many records a hostile row holds.
std::int32_t advance(std::int32_t x, std::int32_t by, std::int32_t width) {
  const std::int64_t moved = std::int64_t{x} + by;
  const std::int64_t limit = std::int64_t{width} + 512;
  return static_cast<std::int32_t>(std::min(moved, limit));
}

struct row_sink {
  PXV_RASTER_PROC raster;
  void *priv;
  std::int32_t row_bytes;
  // Rows outside the image (a delta or end-of-line past the top) are not delivered.
  void deliver(std::uint8_t *row, std::int32_t row_number) const {
    if (row_number >= 0) raster(row, priv, row_number, row_bytes);
  }
  // At the end of the bitmap, or of the data, the row being built goes out only when a record
  // has reached into it; an end right after an end of line adds no row.
  void deliver_started(std::uint8_t *row, std::int32_t row_number, std::int32_t x) const {
    if (x != 0) deliver(row, row_number);
  }
};

}  // namespace

int os2head_to_win3head(std::uint8_t *header) {
  // OS/2 core header: size (32 bits), width, height, planes, bit count (16 bits each).
  const std::uint16_t width = get_le16(header + 4);
  const std::uint16_t height = get_le16(header + 6);
  const std::uint16_t bits = get_le16(header + 10);
  const std::int32_t row_bytes = size_for_long(width, bits);
  fill_dib_header(header, width, height, bits, static_cast<std::uint32_t>(row_bytes) * height);
  return kReaderSuccess;
}

int decode_bmp_nocomp(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv,
                      bool top_down) {
  const std::int32_t height = dib_height(header);
  const std::int32_t row_bytes = size_for_long(dib_width(header), dib_bit_count(header));
  // Blocks of whole rows, at least one row even when a row is longer than a block.
  const std::int32_t block_bytes = std::max(kStoredBlockBytes, row_bytes);
  const std::int32_t rows_per_block = block_bytes / row_bytes;
  auto *block = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(block_bytes)));
  if (block == nullptr) return kNoMemory;
  std::int32_t done = 0;
  while (done < height) {
    const std::int32_t rows = std::min(rows_per_block, height - done);
    const std::int32_t want = rows * row_bytes;
    std::int32_t got = img_read_mem(stream, block, static_cast<std::uint32_t>(want));
    if (got < 0) got = 0;
    // Rows that the file does not hold read as 0.
    if (got < want) std::memset(block + got, 0, static_cast<std::size_t>(want - got));
    for (std::int32_t i = 0; i < rows; ++i, ++done) {
      const std::int32_t row_number = top_down ? done : height - 1 - done;
      raster(block + std::int64_t{i} * row_bytes, priv, row_number, row_bytes);
    }
  }
  return kReaderSuccess;
}

namespace {

// The two buffers of an RLE decoder: the input block and a row buffer of `row_size` bytes,
// cleared once; pixels that no record writes (skipped by a delta or an early end of line) keep
// what the previous row left there. False when memory is short.
bool rle_buffers(std::int32_t row_size, std::uint8_t **input, std::uint8_t **row) {
  *input = static_cast<std::uint8_t *>(img_fmalloc(kBlockBytes));
  *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_size)));
  if (*input == nullptr || *row == nullptr) return false;
  std::memset(*row, 0, static_cast<std::size_t>(row_size));
  return true;
}

}  // namespace

int decode_bmp_rle8(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv) {
  const std::int32_t width = dib_width(header);
  const row_sink sink{raster, priv, size_for_long(width, dib_bit_count(header))};
  // One byte per pixel; the delivered count is the row bytes of the bit count, which for a
  // file that is not 8-bit may be shorter or longer than the width.
  std::uint8_t *input, *row;
  if (!rle_buffers(std::max({kRle8RowBuffer, width, sink.row_bytes}), &input, &row)) return kNoMemory;
  rle_input in{stream, input, 0, 0, false};
  std::int32_t x = 0;
  std::int32_t row_number = dib_height(header) - 1;
  while (row_number >= 0) {
    if (!in.need(2)) {  // the data ends without end-of-bitmap
      sink.deliver_started(row, row_number, x);
      break;
    }
    const std::uint8_t n = in.next();
    const std::uint8_t code = in.next();
    if (n != 0) {  // encoded run
      for (std::int32_t k = x; k < x + n && k < width; ++k) row[k] = code;
      x = advance(x, n, width);
    } else if (code == 0) {  // end of line
      sink.deliver(row, row_number);
      x = 0;
      --row_number;
    } else if (code == 1) {  // end of bitmap
      sink.deliver_started(row, row_number, x);
      break;
    } else if (code == 2) {  // delta: the rows passed over receive copies of this row
      if (!in.need(2)) {
        sink.deliver_started(row, row_number, x);
        break;
      }
      const std::uint8_t dx = in.next();
      const std::uint8_t dy = in.next();
      x = advance(x, dx, width);
      for (int i = 0; i < dy && row_number >= 0; ++i) sink.deliver(row, row_number--);
    } else {  // absolute run of `code` pixels, padded to a 16-bit boundary
      if (!in.need(code)) {
        sink.deliver_started(row, row_number, x);
        break;
      }
      for (std::int32_t k = 0; k < code; ++k) {
        const std::uint8_t v = in.next();
        if (x + k < width) row[x + k] = v;
      }
      x = advance(x, code, width);
      if ((code & 1) != 0 && in.need(1)) in.next();
    }
  }
  return kReaderSuccess;
}

namespace {

// A 4-bit pixel at column x: an even column starts its byte afresh, an odd one fills the low
// nibble of what is there.
void put_nibble(std::uint8_t *row, std::int32_t x, std::int32_t width, std::uint8_t p) {
  if (x >= width) return;
  if ((x & 1) == 0) row[x / 2] = static_cast<std::uint8_t>(p << 4);
  else row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | p);
}

}  // namespace

int decode_bmp_rle4(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv) {
  const std::int32_t width = dib_width(header);
  const row_sink sink{raster, priv, size_for_long(width, dib_bit_count(header))};
  std::uint8_t *input, *row;
  if (!rle_buffers(std::max({kRle4RowBuffer, width / 2 + 1, sink.row_bytes}), &input, &row))
    return kNoMemory;
  rle_input in{stream, input, 0, 0, false};
  std::int32_t x = 0;
  std::int32_t row_number = dib_height(header) - 1;
  while (row_number >= 0) {
    if (!in.need(2)) {  // the data ends without end-of-bitmap
      sink.deliver_started(row, row_number, x);
      break;
    }
    const std::uint8_t n = in.next();
    const std::uint8_t code = in.next();
    if (n != 0) {  // encoded run: the two nibbles of `code` alternate, high first
      for (std::int32_t k = 0; k < n && x + k < width; ++k)
        put_nibble(row, x + k, width, (k & 1) == 0 ? code >> 4 : code & 15);
      x = advance(x, n, width);
    } else if (code == 0) {  // end of line
      sink.deliver(row, row_number);
      --row_number;
      x = 0;
    } else if (code == 1) {  // end of bitmap
      sink.deliver_started(row, row_number, x);
      break;
    } else if (code == 2) {  // delta: unlike RLE8, the rows passed over are not delivered
      if (!in.need(2)) {
        sink.deliver_started(row, row_number, x);
        break;
      }
      const std::uint8_t dx = in.next();
      const std::uint8_t dy = in.next();
      x = advance(x, dx, width);
      if (dy != 0) {
        sink.deliver(row, row_number);
        row_number -= dy;
      }
    } else {  // absolute run of `code` pixels in (code + 1) / 2 bytes, padded to 16 bits
      const std::int32_t bytes = (code + 1) / 2;
      if (!in.need(bytes)) {
        sink.deliver_started(row, row_number, x);
        break;
      }
      std::uint8_t v = 0;
      for (std::int32_t k = 0; k < code; ++k) {
        if ((k & 1) == 0) v = in.next();
        put_nibble(row, x + k, width, (k & 1) == 0 ? v >> 4 : v & 15);
      }
      x = advance(x, code, width);
      if ((bytes & 1) != 0 && in.need(1)) in.next();
    }
    // A full row goes out without waiting for its end of line; an end of line that follows
    // it is absorbed.
    if (x >= width) {
      sink.deliver(row, row_number);
      --row_number;
      x = 0;
      if (row_number >= 0 && in.need(2) && in.buffer[in.pos] == 0 && in.buffer[in.pos + 1] == 0)
        in.pos += 2;
    }
  }
  return kReaderSuccess;
}

int open_bmp(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream) {
  // A BMP file holds one image: a page request never reaches a seek to the flagged value.
  if (position_is_page(position)) return kNoPage;
  std::uint8_t file_header[kFileHeaderBytes] = {};
  img_seek_mem(stream, static_cast<std::int32_t>(position), kSeekSet);
  img_read_mem(stream, file_header, kFileHeaderBytes);
  const std::int32_t data_at = image_offset(position, get_le32(file_header + 10));

  auto *record = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (record == nullptr) return kNoMemory;
  std::memset(record, 0, kHeaderRecordBytes);
  img_read_mem(stream, record, kWindowsHeaderBytes);

  const bool os2 = get_le32(record + kBiSize) != kWindowsHeaderBytes;
  std::int32_t width, height;
  int bits;
  std::uint32_t compression;
  if (os2) {
    width = get_le16(record + 4);
    height = get_le16(record + 6);
    bits = get_le16(record + 10);
    compression = kCompressNone;
  } else {
    width = dib_width(record);
    height = dib_height(record);
    bits = dib_bit_count(record);
    compression = get_le32(record + kBiCompression);
  }
  if (!dib_bit_count_supported(bits))
    return bits == 2 || bits == 16 || bits == 32 ? kUnsupported : kBadData;
  if (width <= 0 || height == 0 || height == INT32_MIN) return kBadData;
  const bool top_down = height < 0;
  if (top_down && compression != kCompressNone) return kBadData;
  if (top_down) height = -height;
  const std::int32_t row_bytes = size_for_long(width, bits);
  if (row_bytes <= 0 || data_at < 0) return kBadData;

  if (os2) {
    os2head_to_win3head(record);
  } else {
    put_le32(record + kBiCompression, kCompressNone);
    put_le32(record + kBiClrUsed, 0);
    set_dib_height(record, height);
    put_le32(record + kBiSizeImage, static_cast<std::uint32_t>(row_bytes) * std::uint32_t(height));
  }

  // The colour table always holds the full 2, 16 or 256 entries, whatever biClrUsed says.
  if (bits != 24) {
    const std::int32_t entries = 1 << bits;
    std::uint8_t *table = record + kDibHeaderBytes;
    if (os2) {
      std::uint8_t triples[3 * 256] = {};
      img_seek_mem(stream, image_offset(position, kOs2TableOffset), kSeekSet);
      img_read_mem(stream, triples, static_cast<std::uint32_t>(3 * entries));
      for (std::int32_t i = 0; i < entries; ++i) {
        std::memcpy(table + 4 * i, triples + 3 * i, 3);
        table[4 * i + 3] = 0;
      }
    } else {
      img_seek_mem(stream, image_offset(position, kWindowsTableOffset), kSeekSet);
      img_read_mem(stream, table, static_cast<std::uint32_t>(4 * entries));
    }
  }

  const int accepted = header(record, priv);
  if (accepted < 0) return accepted;

  img_seek_mem(stream, data_at, kSeekSet);
  int rc = kReaderSuccess;
  switch (compression) {
    case kCompressNone: rc = decode_bmp_nocomp(record, stream, raster, priv, top_down); break;
    case kCompressRle8: rc = decode_bmp_rle8(record, stream, raster, priv); break;
    case kCompressRle4: rc = decode_bmp_rle4(record, stream, raster, priv); break;
    default: break;  // an unknown compression delivers no rows
  }
  return rc < 0 ? rc : kReaderSuccess;
}

}  // namespace pxv
