// The BMP writer: Windows BMP files with stored rows, or with RLE8 (8-bit) or RLE4 (4-bit) rows.
// Both writers give the uncompressed size in the file header and biSizeImage, also for RLE
// files, and place the pixel data right after the colour table.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/run_scan.h"

namespace pxv {

namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kPixelDataOffset = kFileHeaderBytes + kDibHeaderBytes;  // 54
constexpr std::uint32_t kRowSlack = 10;
constexpr std::int32_t kRowsWriteBytes = 64 * 1024;  // stored rows gathered for one write
constexpr int kRle8MaxRun = 255;
constexpr int kRle4MaxBytes = 127;  // 254 pixels
constexpr std::uint32_t kCompressRle8 = 1;
constexpr std::uint32_t kCompressRle4 = 2;

// File header, info header and colour table. The file size and biSizeImage are the size of
// the uncompressed rows, whatever the compression.
int write_bmp_headers(int stream, const std::uint8_t *header, std::uint32_t compression) {
  const std::int32_t row_bytes = size_for_long(dib_width(header), dib_bit_count(header));
  const std::uint32_t table = Palette_Size(header);
  const std::uint32_t image_bytes = std::uint32_t(dib_height(header)) * std::uint32_t(row_bytes);
  std::uint8_t file_header[kFileHeaderBytes] = {'B', 'M'};
  put_le32(file_header + 2, image_bytes + kPixelDataOffset + table);
  put_le32(file_header + 6, 0);
  put_le32(file_header + 10, kPixelDataOffset + table);
  if (!img_write_all(stream, file_header, kFileHeaderBytes)) return kShortWrite;
  std::uint8_t info[kDibHeaderBytes];
  std::memcpy(info, header, kDibHeaderBytes);
  put_le32(info + kBiSizeImage, image_bytes);
  put_le32(info + kBiCompression, compression);
  if (!img_write_all(stream, info, kDibHeaderBytes)) return kShortWrite;
  if (table != 0 && !img_write_all(stream, header + kDibHeaderBytes, table)) return kShortWrite;
  return kOk;
}

// An encoder's output: the buffer is sized so that no row can outgrow it (at most two bytes
// per pixel plus the end of line); put() still refuses to pass its end.
struct rle_output {
  std::uint8_t *bytes;
  std::uint32_t size;
  std::uint32_t length;
  void put(std::uint8_t b) {
    if (length < size) bytes[length] = b;
    ++length;
  }
};

int write_encoded_row(int stream, rle_output &out) {
  out.put(0);  // end of line
  out.put(0);
  const bool ok = out.length <= out.size && img_write_all(stream, out.bytes, out.length);
  img_ffree(out.bytes);  // one block per row: given back at once, or a tall image fills the list
  return ok ? kOk : kShortWrite;
}

}  // namespace

int save_bmp8_raster(int stream, const std::uint8_t *row, std::int32_t width) {
  // The output is at most two bytes a pixel and the end of line; 16 bytes past it take the
  // word copies of an absolute run. The equality bits go in front of it, in the same block.
  const std::uint32_t size = 4 * std::uint32_t(width) + 4;
  const std::size_t bit_bytes = pair_bits::words_for(width) * sizeof(std::uint64_t);
  auto *block = static_cast<std::uint8_t *>(img_fmalloc(bit_bytes + size + 16));
  if (block == nullptr) return kNoMemory;
  pair_bits equal{reinterpret_cast<std::uint64_t *>(block)};
  equal.build(row, width);
  rle_output out{block + bit_bytes, size, 0};
  std::int32_t x = 0;
  while (x < width) {
    const std::int32_t limit = std::min(width, x + kRle8MaxRun);
    if (equal.at(x) || x >= width - 3) {
      // Encoded run: on to the first pixel that differs from the next. No absolute run may
      // begin in the last three pixels.
      const std::int32_t end = equal.next<false>(x, limit - 1) + 1;
      out.put(static_cast<std::uint8_t>(end - x));
      out.put(row[x]);
      x = end;
    } else {
      // Absolute run: three pixels taken as they are, then on until two neighbours agree.
      const std::int32_t end = equal.next<true>(x + 3, limit);
      const int count = end - x;
      out.put(0);
      out.put(static_cast<std::uint8_t>(count));
      if (end + 15 <= width)
        copy_words(out.bytes + out.length, row + x, count);
      else
        std::memcpy(out.bytes + out.length, row + x, static_cast<std::size_t>(count));
      out.length += std::uint32_t(count);
      x = end;
      if ((count & 1) != 0) out.put(0);  // pad to a 16-bit boundary
    }
  }
  out.put(0);  // end of line
  out.put(0);
  const bool ok = img_write_all(stream, out.bytes, out.length);
  img_ffree(block);  // one block per row: given back at once, or a tall image fills the list
  return ok ? kOk : kShortWrite;
}

int save_bmp4_raster(int stream, const std::uint8_t *row, std::int32_t width) {
  // The encoder works on bytes, pairs of pixels: an odd width is coded with one pixel more,
  // the low nibble of the last byte.
  const std::int32_t bytes = (width + (width & 1)) / 2;
  const std::uint32_t size = 4 * std::uint32_t(width) + 4;
  auto *buffer = static_cast<std::uint8_t *>(img_fmalloc(size));
  if (buffer == nullptr) return kNoMemory;
  rle_output out{buffer, size, 0};
  const auto same_as_next = [row, bytes](std::int32_t i) {
    return i + 1 < bytes && row[i + 1] == row[i];
  };
  std::int32_t i = 0;
  while (i < bytes) {
    if (same_as_next(i) || i >= bytes - 3) {
      // Encoded run: the reader alternates the byte's high and low nibble, which gives the
      // byte pairs back exactly.
      const std::uint8_t v = row[i];
      int count = 1;
      ++i;
      while (i < bytes && row[i] == v && count < kRle4MaxBytes) {
        ++count;
        ++i;
      }
      out.put(static_cast<std::uint8_t>(2 * count));
      out.put(v);
    } else {
      out.put(0);
      const std::uint32_t count_at = out.length;
      out.put(0);
      out.put(row[i]);
      out.put(row[i + 1]);
      i += 2;
      int count = 2;
      while (!same_as_next(i) && i < bytes && count < kRle4MaxBytes) {
        out.put(row[i]);
        ++i;
        ++count;
      }
      if (count_at < out.size) out.bytes[count_at] = static_cast<std::uint8_t>(2 * count);
      if ((out.length & 1) != 0) out.put(0);  // pad to a 16-bit boundary
    }
  }
  return write_encoded_row(stream, out);
}

int save_bmp_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  // Stored rows keep the header's compression field as the host gave it.
  int rc = write_bmp_headers(stream, header, get_le32(header + kBiCompression));
  if (rc < 0) return rc;
  const std::int32_t height = dib_height(header);
  const std::int32_t row_bytes = size_for_long(dib_width(header), dib_bit_count(header));
  // Rows go out several to a write: a write per row cost a system call for every few hundred
  // bytes of a small image. A short write still gives -10 with the same bytes in the file,
  // since the rows follow one another in the file as in the buffer.
  const std::int32_t rows_per_write =
      row_bytes <= 0 ? 1 : std::max(1, std::min(height, kRowsWriteBytes / row_bytes));
  auto *rows = static_cast<std::uint8_t *>(
      img_fmalloc(std::size_t(rows_per_write) * std::size_t(row_bytes) + kRowSlack));
  if (rows == nullptr) return kNoMemory;
  for (std::int32_t r = 0; r < height; r += rows_per_write) {
    const std::int32_t n = std::min(rows_per_write, height - r);
    for (std::int32_t i = 0; i < n; ++i) fetch(priv, rows + std::size_t(i) * std::size_t(row_bytes), r + i, row_bytes);
    if (!img_write_all(stream, rows, static_cast<std::uint32_t>(n) * static_cast<std::uint32_t>(row_bytes)))
      return kShortWrite;
  }
  return kOk;
}

int save_bmp_comp_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const int bits = dib_bit_count(header);
  if (bits == 24 || bits == 1) return kUnsupported;
  int rc = write_bmp_headers(stream, header, bits == 4 ? kCompressRle4 : kCompressRle8);
  if (rc < 0) return rc;
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  const std::int32_t row_bytes = size_for_long(width, bits);
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(std::size_t(row_bytes) + kRowSlack));
  if (row == nullptr) return kNoMemory;
  for (std::int32_t r = 0; r < height; ++r) {
    fetch(priv, row, r, row_bytes);
    rc = bits == 4 ? save_bmp4_raster(stream, row, width) : save_bmp8_raster(stream, row, width);
    if (rc < 0) return kShortWrite;  // a failed encoder, memory included, reads as a short write
  }
  static constexpr std::uint8_t kEndOfBitmap[2] = {0, 1};
  img_write_mem(stream, kEndOfBitmap, sizeof kEndOfBitmap);  // not checked
  return kOk;
}

}  // namespace pxv
