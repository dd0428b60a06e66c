// The BMP writer: Windows BMP files with stored rows, or with RLE8 (8-bit) or RLE4 (4-bit) rows.
// Both writers give the uncompressed size in the file header and biSizeImage, also for RLE
// files, and place the pixel data right after the colour table.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

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

// The first x from `from` on at which pixel x equals pixel x + 1, found 16 pixels at a time
// while pixel x + 16 is still before `limit`; where that stops, the caller goes on pixel by pixel.
std::int32_t first_equal_pair(const std::uint8_t *row, std::int32_t from, std::int32_t limit) {
  std::int32_t x = from;
#if defined(__SSE2__)
  for (; x + 16 < limit; x += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x + 1));
    const unsigned equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next)));
    if (equal != 0) return x + std::countr_zero(equal);
  }
#else
  (void)row;
  (void)limit;
#endif
  return x;
}

// The first x from `from` on at which pixel x is not `v`, found 16 pixels at a time while they
// all lie before `limit`; where that stops, the caller goes on pixel by pixel.
std::int32_t first_other(const std::uint8_t *row, std::int32_t from, std::int32_t limit, std::uint8_t v) {
  std::int32_t x = from;
#if defined(__SSE2__)
  const __m128i value = _mm_set1_epi8(static_cast<char>(v));
  for (; x + 16 <= limit; x += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
    const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, value))) & 0xFFFFu;
    if (other != 0) return x + std::countr_zero(other);
  }
#else
  (void)row;
  (void)limit;
  (void)v;
#endif
  return x;
}

}  // namespace

int save_bmp8_raster(int stream, const std::uint8_t *row, std::int32_t width) {
  const std::uint32_t size = 4 * std::uint32_t(width) + 4;
  auto *buffer = static_cast<std::uint8_t *>(img_fmalloc(size));
  if (buffer == nullptr) return kNoMemory;
  rle_output out{buffer, size, 0};
  // A pixel beyond the row's end never equals anything.
  const auto same_as_next = [row, width](std::int32_t x) {
    return x + 1 < width && row[x + 1] == row[x];
  };
  std::int32_t x = 0;
  while (x < width) {
    if (same_as_next(x) || x >= width - 3) {
      // Encoded run. No absolute run may begin in the last three pixels.
      const std::uint8_t v = row[x];
      const std::int32_t limit = std::min(width, x + kRle8MaxRun);
      std::int32_t end = first_other(row, x + 1, limit, v);
      while (end < limit && row[end] == v) ++end;
      const int count = end - x;
      x = end;
      out.put(static_cast<std::uint8_t>(count));
      out.put(v);
    } else {
      // Absolute run: three pixels taken as they are, then on until two neighbours agree. Its
      // end is found first and its pixels copied as one block.
      const std::int32_t limit = std::min(width, x + kRle8MaxRun);
      std::int32_t end = first_equal_pair(row, x + 3, limit);
      while (end < limit && !same_as_next(end)) ++end;
      const int count = end - x;
      out.put(0);
      out.put(static_cast<std::uint8_t>(count));
      if (out.length + std::uint32_t(count) <= out.size) {
        std::memcpy(out.bytes + out.length, row + x, static_cast<std::size_t>(count));
        out.length += std::uint32_t(count);
      } else {
        for (std::int32_t i = x; i < end; ++i) out.put(row[i]);
      }
      x = end;
      if ((count & 1) != 0) out.put(0);  // pad to a 16-bit boundary
    }
  }
  return write_encoded_row(stream, out);
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
