// The GIF reader: the first image of a GIF file, as a 1-, 4- or 8-bit DIB.
//
// Malformed-input policy:
// - A stream that ends before an image descriptor is found (header only, extensions that run
//   off the end, no "," anywhere) gives -1. Bytes between blocks that are neither "!" nor ","
//   are passed over.
// - A colour table cut short leaves its missing entries black. An image with no colour table at
//   all is read as 8-bit with a grey ramp, so that its indices still show.
// - An image width or height of 0, or a minimum code size outside 1 to 8 (a Clear code would
//   not fit the 12-bit table), gives -3 before the header callback.
// - Oversize dimensions are the header callback's to refuse; the library's refuses a DIB that it
//   cannot allocate with -1.
// - Impossible codes (above the next free code, or right after a Clear one that is not a pixel
//   value; a Clear or End-of-Data there acts as itself) and image data that ends without
//   End-of-Data stop decoding; the rows delivered so far stand and the load succeeds. Data
//   behind the terminating sub-block is never read as image data. Decoding stops once every
//   row is in.
// - Pixel values beyond the colour table are kept: 1-bit images keep the low bit, 4-bit images
//   the low four bits of each index.
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/gif_lzw.h"

namespace pxv {

namespace {

constexpr int kScreenHeaderBytes = 13;
constexpr int kDescriptorBytes = 10;  // the separator and the 9 descriptor bytes
constexpr int kSearchBlockBytes = 256;
constexpr std::uint8_t kImageSeparator = 0x2C;  // ","
constexpr std::uint8_t kExtensionIntroducer = 0x21;  // "!"
constexpr std::uint8_t kTableFlag = 0x80;
constexpr int kMaxTableBytes = 3 * 256;
constexpr int kMaxCodeSize = 8;

// Skips the extension whose "!" is at `at`: the introducer, the label, then the sub-blocks up to
// the one of size 0. The offset behind it, or -1 when a sub-block cannot be read whole.
std::int64_t skip_extension(int stream, std::int64_t at) {
  std::uint8_t head[3];
  img_seek_mem(stream, static_cast<std::int32_t>(at), kSeekSet);
  if (img_read_mem(stream, head, 3) != 3) return -1;
  std::int64_t p = at + 3;
  std::uint8_t size = head[2];
  while (size != 0) {
    p += size;
    if (p > INT32_MAX) return -1;
    img_seek_mem(stream, static_cast<std::int32_t>(p), kSeekSet);
    if (img_read_mem(stream, &size, 1) != 1) return -1;
    ++p;
  }
  return p;
}

// The offset of the image separator, scanning from `start`; -1 when the stream ends first.
// Files are read in blocks of 256 bytes. The memory stream has no known end, so there every
// byte is read only when the scan reaches it: a read ahead could leave the caller's block even
// for a complete image. Every step moves forward, so the scan ends with the stream.
std::int64_t find_image_descriptor(int stream, std::int64_t start) {
  std::uint8_t block[kSearchBlockBytes];
  const std::uint32_t step = stream == kMemoryStream ? 1 : kSearchBlockBytes;
  std::int64_t pos = start;
  for (;;) {
    if (pos > INT32_MAX) return -1;
    img_seek_mem(stream, static_cast<std::int32_t>(pos), kSeekSet);
    const std::int32_t got = img_read_mem(stream, block, step);
    if (got <= 0) return -1;
    std::int32_t i = 0;
    while (i < got && block[i] != kImageSeparator && block[i] != kExtensionIntroducer) ++i;
    if (i == got) {
      pos += got;
      continue;
    }
    if (block[i] == kImageSeparator) return pos + i;
    pos = skip_extension(stream, pos + i);
    if (pos < 0) return -1;
  }
}

// Reads a colour table of 2^(size bits + 1) entries; the bytes read.
std::int32_t gif_get_palette(int stream, int size_bits, std::uint8_t *buffer) {
  const std::uint32_t bytes = 3u << ((size_bits & 7) + 1);
  std::int32_t got = img_read_mem(stream, buffer, bytes);
  return got < 0 ? 0 : got;
}

int bit_count_for_table(int entries) {
  if (entries <= 2) return 1;
  if (entries <= 16) return 4;
  return 8;
}

// Fills the header record from the descriptor and the image's colour table (null: none).
void alloc_for_gif(const std::uint8_t *descriptor, std::uint8_t *header, const std::uint8_t *table,
                   int entries) {
  const int width = get_le16(descriptor + 5);
  const int height = get_le16(descriptor + 7);
  const int bits = table != nullptr ? bit_count_for_table(entries) : 8;
  std::memset(header, 0, kHeaderRecordBytes);
  fill_dib_header(header, width, height, bits,
                  static_cast<std::uint32_t>(gif_size_for_long(width, bits)) * static_cast<std::uint32_t>(height));
  if (table == nullptr) {
    create_dib_palette(header, "tiff");
    return;
  }
  // Entries between the table's size and 2^bits stay black.
  std::uint8_t *dst = header + kDibHeaderBytes;
  const int n = entries < (1 << bits) ? entries : (1 << bits);
  for (int i = 0; i < n; ++i) {
    dst[4 * i + 0] = table[3 * i + 2];
    dst[4 * i + 1] = table[3 * i + 1];
    dst[4 * i + 2] = table[3 * i + 0];
    dst[4 * i + 3] = 0;
  }
}

}  // namespace

int open_gif(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header_proc,
             int stream) {
  // Pages are not GIF's: a flagged position word means the start of the stream.
  const std::int64_t start = position_is_page(position) ? 0 : position;
  std::uint8_t screen[kScreenHeaderBytes] = {};
  std::uint8_t global_table[kMaxTableBytes] = {};
  std::uint8_t local_table[kMaxTableBytes] = {};
  img_seek_mem(stream, static_cast<std::int32_t>(start), kSeekSet);
  if (img_read_mem(stream, screen, kScreenHeaderBytes) != kScreenHeaderBytes) return kNoMemory;
  std::int64_t search_from = start + kScreenHeaderBytes;
  const bool has_global = (screen[10] & kTableFlag) != 0;
  if (has_global) {
    gif_get_palette(stream, screen[10] & 7, global_table);
    search_from += 3 << ((screen[10] & 7) + 1);
  }

  const std::int64_t separator = find_image_descriptor(stream, search_from);
  if (separator < 0) return kNoMemory;
  std::uint8_t descriptor[kDescriptorBytes] = {};
  img_seek_mem(stream, static_cast<std::int32_t>(separator), kSeekSet);
  if (img_read_mem(stream, descriptor, kDescriptorBytes) != kDescriptorBytes) return kNoMemory;
  const std::uint8_t flags = descriptor[9];
  const std::uint8_t *table = nullptr;
  int entries = 0;
  if (flags & kTableFlag) {
    gif_get_palette(stream, flags & 7, local_table);
    table = local_table;
    entries = 2 << (flags & 7);
  } else if (has_global) {
    table = global_table;
    entries = 2 << (screen[10] & 7);
  }
  std::uint8_t code_size = 0;
  if (img_read_mem(stream, &code_size, 1) != 1) return kNoMemory;
  const int width = get_le16(descriptor + 5);
  const int height = get_le16(descriptor + 7);
  if (width == 0 || height == 0 || code_size < 1 || code_size > kMaxCodeSize) return kBadData;

  auto *header = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (header == nullptr) return kNoMemory;
  alloc_for_gif(descriptor, header, table, entries);
  const int accepted = header_proc(header, priv);
  if (accepted < 0) return accepted;

  auto *input = static_cast<std::uint8_t *>(img_fmalloc(kGifInputBytes));
  const auto lzw_flags = static_cast<std::uint16_t>((code_size << 8) | flags);
  if (input == nullptr || init_gif_lzw(stream, input, lzw_flags) < 0) return accepted;
  // Impossible codes and short data end the image early; the rows delivered stand and the load
  // succeeds all the same.
  decode_gif_lzw_strip(width, header, raster, priv);
  return kReaderSuccess;
}

}  // namespace pxv
