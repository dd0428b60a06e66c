// The Targa reader: colour-mapped, true-colour and gray images, stored or run-length encoded,
// 8, 15, 16, 24 or 32 bits per pixel, bottom-up or top-down. 8-bit images load as 8-bit DIBs,
// every other depth as a 24-bit DIB.
//
// Malformed-input policy:
// - A header shorter than 18 bytes gives -3, as does a width or height of 0, before the header
//   callback. A request for a page other than the first gives the no-page code.
// - The image type is not checked: 9, 10 and 11 are run-length data, every other value stored
//   rows. The depth is not checked either: 8 is one byte per pixel, 24 three, 32 four, and every
//   other value a 2-byte 5-5-5 word. So a metafile without its placeable header, which the
//   detection takes for Targa, mostly reads as height 0 and ends with -3.
// - Colour map: map entry k becomes table entry k whatever the first-entry field says. At most
//   256 entries are kept, the rest are skipped; table entries the map does not give are black.
//   The map is read for every depth but only an 8-bit image has a table to put it in.
// - The right-to-left bit of the descriptor is ignored; only bit 5 (top row first) is read.
// - Truncation: bytes past the end of the data read as 0, and every row is delivered.
// - On the memory stream, whose end is unknown, nothing is read beyond the declared rows:
//   stored rows are read as far as the last row, run-length data packet by packet.
// - Buffers: the stored-row block holds at least one row, so rows of any width load in full.
//   Oversize dimensions are the header callback's to refuse; the header fields hold at most
//   65535 x 65535 pixels and every buffer here is sized from one row.
#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

// The 18-byte file header.
enum : int {
  kIdLength = 0,
  kMapType = 1,
  kImageType = 2,
  kMapLength = 5,
  kMapEntryBits = 7,
  kWidth = 12,
  kHeight = 14,
  kDepth = 16,
  kDescriptor = 17,
  kTgaHeaderBytes = 18,
};
constexpr std::uint8_t kTopRowFirst = 0x20;
constexpr std::uint8_t kRunPacket = 0x80;
constexpr std::uint8_t kPacketCount = 0x7F;
constexpr int kMaxPacketPixels = 128;

constexpr std::int32_t kInputBytes = 10000;
// Stored rows are read in larger blocks: the rows delivered are the same, and a few large reads
// keep a load close to the cost of reading the file at all.
constexpr std::int32_t kStoredBlockBytes = 256 * 1024;

bool run_length(const std::uint8_t *tga) {
  const int type = tga[kImageType];
  return type == 9 || type == 10 || type == 11;
}

int bytes_per_pixel(int depth) {
  switch (depth) {
    case 8: return 1;
    case 24: return 3;
    case 32: return 4;
    default: return 2;
  }
}

int bytes_per_map_entry(int bits) { return bits == 24 ? 3 : bits == 32 ? 4 : 2; }

// A 16-bit word x-r5-g5-b5 as blue, green, red: each channel on its top five bits.
void put_555(const std::uint8_t *word, std::uint8_t *bgr) {
  const unsigned v = get_le16(word);
  bgr[0] = static_cast<std::uint8_t>((v << 3) & 0xF8);
  bgr[1] = static_cast<std::uint8_t>((v >> 2) & 0xF8);
  bgr[2] = static_cast<std::uint8_t>((v >> 7) & 0xF8);
}

// The run-length decoder, kept across rows: its input block and the decoded pixels that the
// last packet of a row wrote past that row's end, which begin the next row.
struct tga_rle_state {
  int stream;
  std::uint8_t *input;  // kInputBytes
  std::int32_t pos;
  std::int32_t end;
  int pixel_bytes;
  std::int32_t row_bytes;  // stored bytes of one row
  std::int32_t held;       // decoded bytes in the row buffer
};
tga_rle_state rlestate;

// Makes `count` (at most one packet) unread bytes available. A file is read in blocks; the
// memory stream exactly as far as the packet goes. Bytes past the data's end read as 0.
void need(tga_rle_state &s, std::int32_t count) {
  if (s.end - s.pos >= count) return;
  const std::int32_t unread = s.end - s.pos;
  std::memmove(s.input, s.input + s.pos, static_cast<std::size_t>(unread));
  const std::int32_t want = s.stream == kMemoryStream ? count - unread : kInputBytes - unread;
  std::int32_t got = img_read_mem(s.stream, s.input + unread, static_cast<std::uint32_t>(want));
  if (got < 0) got = 0;
  if (got < want) std::memset(s.input + unread + got, 0, static_cast<std::size_t>(want - got));
  s.pos = 0;
  s.end = unread + want;
}

// Decodes one stored row into `row` (stored row bytes + one packet of slack). Packets run on
// across row ends: what the previous row's last packet wrote past its end starts this row.
void tga_get_rle_raster(std::uint8_t *row) {
  tga_rle_state &s = rlestate;
  s.held = s.held > s.row_bytes ? s.held - s.row_bytes : 0;
  if (s.held > 0) std::memmove(row, row + s.row_bytes, static_cast<std::size_t>(s.held));
  const int n = s.pixel_bytes;
  while (s.held < s.row_bytes) {
    need(s, 1);
    const std::uint8_t packet = s.input[s.pos++];
    const int count = (packet & kPacketCount) + 1;
    if ((packet & kRunPacket) != 0) {
      need(s, n);
      // The value once, then the filled part copied onto what follows it, doubling each time.
      std::uint8_t *out = row + s.held;
      std::memcpy(out, s.input + s.pos, static_cast<std::size_t>(n));
      const int total = count * n;
      for (int filled = n; filled < total; filled *= 2)
        std::memcpy(out + filled, out, static_cast<std::size_t>(std::min(filled, total - filled)));
      s.pos += n;
    } else {
      need(s, count * n);
      std::memcpy(row + s.held, s.input + s.pos, static_cast<std::size_t>(count * n));
      s.pos += count * n;
    }
    s.held += count * n;
  }
}

void alloc_for_tga(const std::uint8_t *tga, std::uint8_t *header) {
  const int width = get_le16(tga + kWidth);
  const int height = get_le16(tga + kHeight);
  const int bits = tga[kDepth] == 8 ? 8 : 24;
  std::memset(header, 0, kHeaderRecordBytes);
  const auto row_bytes = static_cast<std::uint32_t>(size_for_long(width, bits));
  fill_dib_header(header, width, height, bits, row_bytes * static_cast<std::uint32_t>(height));
}

// Reads the colour map, which follows the ID field, into the header record's table; leaves the
// stream at the pixel data. An 8-bit image without a map gets the 256 grays.
void get_targa_color_map(const std::uint8_t *tga, std::uint8_t *header, int stream,
                         std::int32_t start) {
  std::uint8_t *table = header + kDibHeaderBytes;
  std::int64_t data = std::int64_t{start} + kTgaHeaderBytes + tga[kIdLength];
  if (tga[kMapType] == 0) {
    if (tga[kDepth] == 8)
      for (int i = 0; i < 256; ++i) std::memset(table + 4 * i, i, 3);
    img_seek_mem(stream, static_cast<std::int32_t>(data), kSeekSet);
    return;
  }
  const int entry_bytes = bytes_per_map_entry(tga[kMapEntryBits]);
  const int length = get_le16(tga + kMapLength);
  const int kept = std::min<int>(length, kMaxColours);
  std::uint8_t map[kMaxColours * 4] = {};
  img_seek_mem(stream, static_cast<std::int32_t>(data), kSeekSet);
  img_read_mem(stream, map, static_cast<std::uint32_t>(kept * entry_bytes));  // short: black
  for (int k = 0; k < kept; ++k) {
    const std::uint8_t *e = map + k * entry_bytes;
    std::uint8_t *t = table + 4 * k;
    if (entry_bytes == 2) put_555(e, t);
    else std::memcpy(t, e, static_cast<std::size_t>(entry_bytes));  // 32-bit: alpha in the flags
  }
  data += std::int64_t{length} * entry_bytes;
  img_seek_mem(stream, static_cast<std::int32_t>(data), kSeekSet);
}

}  // namespace

int open_tga(std::uint32_t position, PXV_RASTER_PROC raster, void *priv,
             PXV_HEADER_PROC header_proc, int stream) {
  // A Targa file holds one image: a page request never reaches a seek to the flagged value.
  if (position_is_page(position)) return kNoPage;
  std::uint8_t tga[kTgaHeaderBytes];
  img_seek_mem(stream, static_cast<std::int32_t>(position), kSeekSet);
  if (img_read_mem(stream, tga, kTgaHeaderBytes) != kTgaHeaderBytes) return kBadData;
  const std::int32_t width = get_le16(tga + kWidth);
  const std::int32_t height = get_le16(tga + kHeight);
  if (width == 0 || height == 0) return kBadData;

  auto *header = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (header == nullptr) return kNoMemory;
  alloc_for_tga(tga, header);
  get_targa_color_map(tga, header, stream, static_cast<std::int32_t>(position));
  const int accepted = header_proc(header, priv);
  if (accepted < 0) return accepted;

  const int depth = tga[kDepth];
  const int pixel_bytes = bytes_per_pixel(depth);
  const std::int32_t stored_bytes = width * pixel_bytes;
  const std::int32_t out_bytes = size_for_long(width, dib_bit_count(header));
  const bool rle = run_length(tga);
  // Stored rows are read a block of whole rows at a time; a run-length row is decoded alone, with
  // room for the packet that crosses its end.
  const std::int32_t rows_per_block = std::max(1, kStoredBlockBytes / stored_bytes);
  const std::int32_t block_bytes = rle ? stored_bytes + kMaxPacketPixels * pixel_bytes
                                       : rows_per_block * stored_bytes;
  auto *out = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(out_bytes)));
  auto *block = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(block_bytes)));
  auto *input = rle ? static_cast<std::uint8_t *>(img_fmalloc(kInputBytes)) : block;
  if (out == nullptr || block == nullptr || input == nullptr) return kNoMemory;
  std::memset(out, 0, static_cast<std::size_t>(out_bytes));
  rlestate = {stream, input, 0, 0, pixel_bytes, stored_bytes, 0};

  const bool top_down = (tga[kDescriptor] & kTopRowFirst) != 0;
  std::int32_t in_block = 0;  // stored rows of the block not yet delivered
  const std::uint8_t *src = block;
  for (std::int32_t done = 0; done < height; ++done) {
    if (rle) {
      tga_get_rle_raster(block);
      src = block;
    } else if (in_block == 0) {
      in_block = std::min(rows_per_block, height - done);
      const std::int32_t want = in_block * stored_bytes;
      std::int32_t got = img_read_mem(stream, block, static_cast<std::uint32_t>(want));
      if (got < 0) got = 0;
      if (got < want) std::memset(block + got, 0, static_cast<std::size_t>(want - got));
      src = block;
    }
    switch (pixel_bytes) {
      case 1: std::memcpy(out, src, static_cast<std::size_t>(width)); break;
      case 3: std::memcpy(out, src, static_cast<std::size_t>(stored_bytes)); break;
      case 4:
        for (std::int32_t x = 0; x < width; ++x) std::memcpy(out + 3 * x, src + 4 * x, 3);
        break;
      default:
        for (std::int32_t x = 0; x < width; ++x) put_555(src + 2 * x, out + 3 * x);
        break;
    }
    raster(out, priv, top_down ? done : height - 1 - done, out_bytes);
    if (!rle) {
      src += stored_bytes;
      --in_block;
    }
  }
  return kReaderSuccess;
}

}  // namespace pxv
