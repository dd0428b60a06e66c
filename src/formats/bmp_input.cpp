// The headers of a BMP file that an operation reads row by row. The file header and the first
// 40 bytes of the info header are read first, so that every refusal comes before the colour
// table is read and before anything is written; then the table, which follows the info header
// of the file's own size; then the byte before the data offset, so that a file ending inside its
// header block counts as cut short however far its data offset points.
#include "formats/bmp_input.h"

#include <cstring>

#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

// Bytes moved at a time when a span of the input is copied.
constexpr std::uint32_t kCopyChunk = 4096;

}  // namespace

int read_bmp_input(bmp_input *in, int stream, bmp_input_rules rules) {
  std::uint8_t *info = in->info;
  in->stream = stream;
  img_seek_mem(stream, 0, kSeekSet);
  if (img_read_mem(stream, in->file_header, kFileHeaderBytes) != std::int32_t{kFileHeaderBytes}) return 0;
  if (img_read_mem(stream, info, kDibHeaderBytes) != std::int32_t{kDibHeaderBytes}) return 0;
  in->header_bytes = get_le32(info + kBiSize);
  in->data_offset = get_le32(in->file_header + kDataOffsetField);
  in->width = dib_width(info);
  in->height = dib_height(info);
  in->bits = dib_bit_count(info);
  // Shorter headers (OS/2's 12 bytes) lay their fields out otherwise: none is read as these.
  const bool header_taken = rules.longer_headers ? in->header_bytes >= kDibHeaderBytes : in->header_bytes == kDibHeaderBytes;
  if (!header_taken || get_le32(info + kBiCompression) != 0 || in->height < 0 ||
      !dib_bit_count_supported(in->bits) || (rules.bit_counts & bit_count_flag(in->bits)) == 0)
    return kUnsupported;
  if (in->width < 1 || in->height < 1 || dib_clr_used(info) > kMaxColours) return kBadData;
  in->table_bytes = Palette_Size(info);
  in->row_bytes = size_for_long(in->width, in->bits);
  const std::uint64_t table_end = std::uint64_t{kFileHeaderBytes} + in->header_bytes + in->table_bytes;
  const std::uint64_t rows_end = std::uint64_t{in->data_offset} + std::uint64_t(in->row_bytes) * std::uint64_t(in->height);
  if (table_end > in->data_offset || in->row_bytes < 0 || !file_size_fits(rows_end)) return kBadData;
  img_seek_mem(stream, static_cast<std::int32_t>(kFileHeaderBytes + in->header_bytes), kSeekSet);
  if (img_read_mem(stream, info + kDibHeaderBytes, in->table_bytes) != std::int32_t(in->table_bytes)) return 0;
  std::uint8_t last;
  img_seek_mem(stream, static_cast<std::int32_t>(in->data_offset) - 1, kSeekSet);
  if (img_read_mem(stream, &last, 1) != 1) return 0;
  return 1;
}

void read_input_row(const bmp_input &in, std::uint8_t *row, std::int32_t r) {
  std::int32_t got = 0;
  if (r >= 0 && r < in.height) {
    img_seek_mem(in.stream, static_cast<std::int32_t>(in.data_offset + std::uint32_t(r) * std::uint32_t(in.row_bytes)), kSeekSet);
    got = img_read_mem(in.stream, row, static_cast<std::uint32_t>(in.row_bytes));
    if (got < 0) got = 0;
  }
  std::memset(row + got, 0, static_cast<std::size_t>(in.row_bytes - got));
}

bool copy_input_bytes(const bmp_input &in, int output, std::uint32_t from, std::uint32_t count) {
  std::uint8_t chunk[kCopyChunk];
  img_seek_mem(in.stream, static_cast<std::int32_t>(from), kSeekSet);
  while (count > 0) {
    const std::uint32_t n = count < kCopyChunk ? count : kCopyChunk;
    std::int32_t got = img_read_mem(in.stream, chunk, n);
    if (got < 0) got = 0;
    std::memset(chunk + got, 0, n - static_cast<std::uint32_t>(got));
    if (!img_write_all(output, chunk, n)) return false;
    count -= n;
  }
  return true;
}

bool write_zeros(int output, std::uint32_t count) {
  static const std::uint8_t zeros[kCopyChunk] = {};
  while (count > 0) {
    const std::uint32_t n = count < kCopyChunk ? count : kCopyChunk;
    if (!img_write_all(output, zeros, n)) return false;
    count -= n;
  }
  return true;
}

}  // namespace pxv
