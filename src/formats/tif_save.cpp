// TIFF writing: the container every TIFF writer shares (header, page appending, the directory
// with its fixed tag list, the texts behind it) and the uncompressed writer.
//
// Files are always little-endian. A stream that already begins with "II" gets a page appended:
// a new directory is written at the file's end, and the last directory's next offset is pointed
// at it when the page is complete. Any
// other stream, a big-endian TIFF included, is written from its position as a new file. Output
// to caller memory is always a new file: the memory stream has no known end to append at.
#include <cstring>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "formats/tif_save.h"

namespace pxv {

namespace {

// The writer's state: where the directory just written put the single StripByteCounts value and
// the image data, for the writers that patch the byte count once the data is written. Set by
// every write_tiff_tags.
struct tiff_writer {
  std::int32_t strip_bytes_at;
  std::int32_t data_start;
};
tiff_writer tiffsave;

// TIFF field types.
constexpr std::uint16_t kAscii = 2;
constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kLong = 4;
constexpr std::uint16_t kRational = 5;

constexpr std::uint32_t kTiffHeaderBytes = 8;
constexpr std::uint32_t kEntryBytes = 12;
// Bytes behind the directory before the variable part: the two resolutions.
constexpr std::uint32_t kResolutionBytes = 16;
// Bytes of the date and name texts, always written whole.
constexpr std::uint32_t kDateBytes = 40;
constexpr std::uint32_t kNameBytes = 200;
// A chain longer than this is taken for a loop: no real file has so many pages.
constexpr int kMaxPages = 65536;
constexpr std::uint32_t kNoPageOffset = 0xFFFFFFFFu;
// The directory's SHORT fields cannot describe larger images.
constexpr std::int32_t kMaxShort = 65535;

int text_length(const char *text, int capacity) {
  int n = 0;
  while (n < capacity && text[n] != '\0') ++n;
  return n;
}

struct entry_writer {
  std::uint8_t *at;
  void add(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
    put_le16(at, tag);
    put_le16(at + 2, type);
    put_le32(at + 4, count);
    put_le32(at + 8, value);  // a SHORT value sits in the low half, little-endian
    at += kEntryBytes;
  }
};

}  // namespace

std::int32_t tiff_row_bytes(std::int32_t width, int bits) {
  return static_cast<std::int32_t>((std::int64_t{width} * bits + 7) / 8);
}

tiff_strips tiff_lzw_strips(std::int32_t row_bytes, std::int32_t height) {
  // Strips hold at most 10000 bytes; a row longer than that gets a strip of its own.
  std::int32_t rows = row_bytes > 0 ? 10000 / row_bytes : height;
  if (rows < 1) rows = 1;
  if (rows > height) rows = height;
  return {rows, (height + rows - 1) / rows};
}

std::int32_t tiff_stream_position(int stream) {
  return stream == kMemoryStream ? img_filelength(stream) : img_seek_mem(stream, 0, kSeekCur);
}

int write_tiff_tags(int stream, const std::uint8_t *header, std::int32_t width,
                    std::int32_t height, int compression, std::uint32_t directory_offset) {
  const int bits = dib_bit_count(header);
  const bool has_map = bits == 4 || bits == 8;
  const std::uint32_t entries = has_map ? 19 : 18;
  const std::uint32_t ifd = directory_offset == 0 ? kTiffHeaderBytes : directory_offset;
  const std::uint32_t behind = ifd + 2 + kEntryBytes * entries + 4;  // D
  const std::uint32_t colours = has_map ? 1u << bits : 0;
  const std::uint32_t extra = has_map ? 6 * colours : bits == 24 ? 6 : 0;  // E
  const std::uint32_t data = behind + kResolutionBytes + extra + kDateBytes + kNameBytes;
  const std::int32_t row_bytes = tiff_row_bytes(width, bits);
  const bool lzw = compression == kTiffLzw;
  const bool ccitt = compression == kTiffHuffman || compression == kTiffGroup3 ||
                     compression == kTiffGroup4;
  const tiff_strips strips = tiff_lzw_strips(row_bytes, height);
  const std::uint32_t strip_count = lzw ? static_cast<std::uint32_t>(strips.count) : 1;

  std::vector<std::uint8_t> block(data - ifd, 0);
  std::uint8_t *p = block.data();
  put_le16(p, entries);
  entry_writer e{p + 2};
  e.add(254, kLong, 1, 0);                                                  // NewSubfileType
  e.add(256, kShort, 1, static_cast<std::uint32_t>(width));                 // ImageWidth
  e.add(257, kShort, 1, static_cast<std::uint32_t>(height));                // ImageLength
  if (bits == 24)
    e.add(258, kShort, 3, behind + kResolutionBytes);                       // BitsPerSample
  else
    e.add(258, kShort, 1, static_cast<std::uint32_t>(bits));
  e.add(259, kShort, 1, static_cast<std::uint32_t>(compression));           // Compression
  const std::uint32_t photometric = bits == 24 ? 2 : has_map ? 3 : ccitt ? 0 : 1;
  e.add(262, kShort, 1, photometric);                                       // Photometric
  e.add(266, kShort, 1,                                                     // FillOrder
        compression == kTiffGroup3 || compression == kTiffGroup4 ? 2 : 1);
  e.add(273, kLong, strip_count, behind + kResolutionBytes + extra + kDateBytes + kNameBytes);
  e.add(274, kShort, 1, 1);                                                 // Orientation
  e.add(277, kShort, 1, bits == 24 ? 3 : 1);                                // SamplesPerPixel
  e.add(278, kShort, 1,                                                     // RowsPerStrip
        static_cast<std::uint32_t>(lzw ? strips.rows_per_strip : height));
  const std::uint32_t strip_bytes_entry = static_cast<std::uint32_t>(e.at - p);
  e.add(279, kLong, strip_count,                                            // StripByteCounts
        lzw ? data + 4 * strip_count
            : static_cast<std::uint32_t>(std::int64_t{height} * row_bytes));
  e.add(282, kRational, 1, behind);                                         // XResolution
  e.add(283, kRational, 1, behind + 8);                                     // YResolution
  e.add(284, kShort, 1, 1);                                                 // Planar
  e.add(296, kShort, 1, 2);                                                 // ResolutionUnit
  e.add(306, kAscii, static_cast<std::uint32_t>(text_length(img_date, kImgDateBytes)),
        behind + kResolutionBytes + extra);                                 // DateTime
  e.add(315, kAscii, static_cast<std::uint32_t>(text_length(img_name, kImgNameBytes)),
        behind + kResolutionBytes + extra + kDateBytes);                    // Artist
  if (has_map) e.add(320, kShort, 3 * colours, behind + kResolutionBytes);  // ColorMap
  put_le32(e.at, 0);                                                        // no next IFD

  // Resolutions: the header's per-metre fields are written as the per-inch numerators, which
  // is what the reader puts there; a missing one gives the screen's 640/9 by 480/7.
  std::uint8_t *r = p + (behind - ifd);
  const std::int32_t x_res = static_cast<std::int32_t>(get_le32(header + kBiXPelsPerMeter));
  const std::int32_t y_res = static_cast<std::int32_t>(get_le32(header + kBiYPelsPerMeter));
  const bool defaults = x_res == 0 || y_res == 0;
  put_le32(r, defaults ? 640 : static_cast<std::uint32_t>(x_res));
  put_le32(r + 4, defaults ? 9 : 1);
  put_le32(r + 8, defaults ? 480 : static_cast<std::uint32_t>(y_res));
  put_le32(r + 12, defaults ? 7 : 1);
  std::uint8_t *x = r + kResolutionBytes;
  if (has_map) {
    // All reds, then all greens, then all blues, each 8-bit value scaled by 256. Entries past
    // the header's own table are written black rather than read from beyond it.
    const std::uint32_t used = Palette_Size(header) / 4;
    for (std::uint32_t i = 0; i < colours; ++i) {
      const std::uint8_t *q = header + kDibHeaderBytes + 4 * i;
      const bool have = i < used;
      put_le16(x + 2 * i, have ? q[2] * 256u : 0);
      put_le16(x + 2 * (colours + i), have ? q[1] * 256u : 0);
      put_le16(x + 2 * (2 * colours + i), have ? q[0] * 256u : 0);
    }
  } else if (bits == 24) {
    put_le16(x, 8);
    put_le16(x + 2, 8);
    put_le16(x + 4, 8);
  }
  std::memcpy(x + extra, img_date, kDateBytes);
  std::memcpy(x + extra + kDateBytes, img_name, kNameBytes);

  const std::int32_t start = tiff_stream_position(stream);
  const std::uint32_t size = static_cast<std::uint32_t>(block.size());
  if (img_write_mem(stream, block.data(), size) != static_cast<std::int32_t>(size))
    return kShortWrite;
  tiffsave.strip_bytes_at = start + static_cast<std::int32_t>(strip_bytes_entry) + 8;
  tiffsave.data_start = start + static_cast<std::int32_t>(size);
  return kOk;
}

std::uint32_t tiff_set_page_offset(int stream, std::uint32_t first_ifd) {
  std::uint32_t offset = first_ifd;
  for (int page = 0; page < kMaxPages; ++page) {
    // An offset of 0 or one that does not fit a seek cannot lead to a directory.
    if (offset == 0 || offset > 0x7FFFFFFFu) return kNoPageOffset;
    std::uint8_t count_bytes[2];
    if (img_seek_mem(stream, static_cast<std::int32_t>(offset), kSeekSet) < 0 ||
        img_read_mem(stream, count_bytes, 2) != 2)
      return kNoPageOffset;
    const std::uint64_t next_at = std::uint64_t{offset} + 2 + kEntryBytes * get_le16(count_bytes);
    std::uint8_t next_bytes[4];
    if (next_at > 0x7FFFFFFFu ||
        img_seek_mem(stream, static_cast<std::int32_t>(next_at), kSeekSet) < 0 ||
        img_read_mem(stream, next_bytes, 4) != 4)
      return kNoPageOffset;
    const std::uint32_t next = get_le32(next_bytes);
    if (next == 0) {
      // The last directory is pointed at the new one only once the whole page is written (see
      // img_note_page_link): a failed save then leaves the file's pages as they were.
      const std::int32_t length = img_filelength(stream);
      if (length < 0) return kNoPageOffset;
      img_note_page_link(stream, length, static_cast<std::int32_t>(next_at),
                         static_cast<std::uint32_t>(length));
      img_seek_mem(stream, length, kSeekSet);
      return static_cast<std::uint32_t>(length);
    }
    offset = next;
  }
  return kNoPageOffset;  // a chain that loops has no end to append at
}

int tiff_start_file(int stream, const std::uint8_t *header, std::int32_t width, int compression,
                    int short_header_code) {
  if (width > kMaxShort || dib_height(header) > kMaxShort) return kUnsupported;
  std::uint8_t head[kTiffHeaderBytes] = {};
  std::int32_t got = 0;
  if (stream != kMemoryStream) {
    got = img_read_mem(stream, head, kTiffHeaderBytes);
    if (got < 0) got = 0;
  }
  std::uint32_t directory = kTiffHeaderBytes;
  if (got < 2 || head[0] != 'I' || head[1] != 'I') {
    if (got > 0) img_seek_mem(stream, -got, kSeekCur);
    std::uint8_t fresh[kTiffHeaderBytes] = {'I', 'I'};
    put_le16(fresh + 2, 42);
    put_le32(fresh + 4, kTiffHeaderBytes);
    if (img_write_mem(stream, fresh, kTiffHeaderBytes) != static_cast<std::int32_t>(kTiffHeaderBytes))
      return kShortWrite;
  } else {
    if (got < static_cast<std::int32_t>(kTiffHeaderBytes)) return short_header_code;
    directory = tiff_set_page_offset(stream, get_le32(head + 4));
    if (directory == kNoPageOffset) return kBadData;
  }
  if (write_tiff_tags(stream, header, width, dib_height(header), compression, directory) < 0)
    return kShortWrite;
  return kOk;
}

int tiff_patch_strip_bytes(int stream, std::int32_t end) {
  std::uint8_t value[4];
  put_le32(value, static_cast<std::uint32_t>(end - tiffsave.data_start));
  img_seek_mem(stream, tiffsave.strip_bytes_at, kSeekSet);
  if (img_write_mem(stream, value, 4) != 4) return kShortWrite;
  img_seek_mem(stream, end, kSeekSet);
  return kOk;
}

void tiff_cut_at(int stream, std::int32_t end) {
  if (stream == kMemoryStream) return;
  img_seek_mem(stream, end, kSeekSet);
  img_write_mem(stream, "", 0);  // a write of no bytes ends a file at its position
}

int save_tiff_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  const int bits = dib_bit_count(header);
  int rc = tiff_start_file(stream, header, width, kTiffNone, kNoMemory);
  if (rc < 0) return rc;
  const std::int32_t fetch_bytes = size_for_long(width, bits);
  const std::int32_t row_bytes = tiff_row_bytes(width, bits);
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(fetch_bytes) + 10));
  if (row == nullptr) return kNoMemory;
  for (std::int32_t i = 0; i < height; ++i) {
    fetch(priv, row, height - 1 - i, fetch_bytes);
    if (bits == 24)
      for (std::int32_t x = 0; x < width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
    if (img_write_mem(stream, row, static_cast<std::uint32_t>(row_bytes)) != row_bytes) return kShortWrite;
  }
  tiff_cut_at(stream, tiff_stream_position(stream));
  return kOk;
}

}  // namespace pxv
