// The PCX writer: the header for the DIB's bit count, run-length coded plane lines, and the
// 256-colour trailer of 8-bit images.
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/pcx.h"
#include "formats/run_scan.h"

namespace pxv {

namespace {

constexpr int kMaxRun = 63;
constexpr std::uint8_t kRunFlags = 0xC0;
constexpr std::uint8_t kTrailerMarker = 0x0C;

int write_all(int stream, const void *bytes, std::uint32_t count) {
  return img_write_mem(stream, bytes, count) == static_cast<std::int32_t>(count) ? 0 : kShortWrite;
}

// The save header's colour table entry i as red, green, blue; black for entries it lacks.
void table_rgb(const std::uint8_t *header, int i, std::uint8_t *rgb) {
  if (static_cast<std::uint32_t>(i) >= Palette_Size(header) / 4) {
    rgb[0] = rgb[1] = rgb[2] = 0;
    return;
  }
  const std::uint8_t *e = header + kDibHeaderBytes + 4 * i;
  rgb[0] = e[2];
  rgb[1] = e[1];
  rgb[2] = e[0];
}

// Splits a 4-bit line into four 1-bit planes of `bytes_per_line` bytes each: plane k holds bit
// value 2^k of every pixel, the first pixel in the most significant bit. Pixels past the width
// are 0.
void split_planes(const std::uint8_t *line, std::uint8_t *planes, int width, int bytes_per_line) {
  std::memset(planes, 0, 4 * static_cast<std::size_t>(bytes_per_line));
  for (int x = 0; x < width; ++x) {
    const int pixel = (x & 1) ? line[x >> 1] & 0x0F : line[x >> 1] >> 4;
    const auto bit = static_cast<std::uint8_t>(0x80 >> (x & 7));
    for (int k = 0; k < 4; ++k)
      if (pixel & (1 << k)) planes[k * bytes_per_line + (x >> 3)] |= bit;
  }
}

}  // namespace

int save_pcx_raster(int stream, const std::uint8_t *line, int count) {
  // Room for two bytes for every byte, and for copy_literal's 16 bytes past a stretch.
  auto *out = static_cast<std::uint8_t *>(img_fmalloc(4 * static_cast<std::size_t>(count) + 32));
  if (out == nullptr) return kNoMemory;
  int n = 0;
  for (int i = 0; i != count;) {
    // Bytes below 0xC0 that start no run stand for themselves, copied as a stretch.
    const int plain = copy_literal(line + i, count - i, true, out + n);
    n += plain;
    i += plain;
    if (i == count) break;
    const std::uint8_t v = line[i];
    const int run = run_length(line + i, count - i, kMaxRun);
    i += run;
    // A single byte that looks like a run marker must be written as a run of one.
    if (run > 1 || v >= kRunFlags) out[n++] = static_cast<std::uint8_t>(kRunFlags | run);
    out[n++] = v;
  }
  const int rc = write_all(stream, out, static_cast<std::uint32_t>(n));
  img_ffree(out);  // one block per line: given back at once, or a long image would fill the list
  return rc;
}

int save_pcx_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const int bits = dib_bit_count(header);
  const int width = dib_width(header);
  const int height = dib_height(header);
  const int bytes_per_line = bits <= 4 ? (width + 7) / 8 : width;
  // PCX coordinates are 16 bits wide: larger images cannot be described, and are refused.
  if (width > 0x10000 || height > 0x10000) return kUnsupported;

  std::uint8_t pcx[kPcxHeaderBytes] = {};
  pcx[kPcxManufacturer] = 10;
  pcx[kPcxVersion] = bits == 8 ? 5 : bits == 24 ? 3 : 2;
  pcx[kPcxEncoding] = 1;
  pcx[kPcxBitsPerPixel] = bits >= 8 ? 8 : 1;
  put_le16(pcx + kPcxXMax, static_cast<std::uint32_t>(width - 1));
  put_le16(pcx + kPcxYMax, static_cast<std::uint32_t>(height - 1));
  put_le16(pcx + kPcxHorizontalDpi, static_cast<std::uint32_t>(width));
  put_le16(pcx + kPcxVerticalDpi, static_cast<std::uint32_t>(height));
  if (bits <= 4) {
    const int entries = bits == 1 ? 2 : 16;
    for (int i = 0; i < entries; ++i) table_rgb(header, i, pcx + kPcxColourTable + 3 * i);
  }
  pcx[kPcxPlanes] = bits == 1 || bits == 8 ? 1 : bits == 4 ? 4 : 3;
  put_le16(pcx + kPcxBytesPerLine, static_cast<std::uint32_t>(bytes_per_line));
  put_le16(pcx + kPcxPaletteInfo, bits == 24 ? 0 : 1);
  if (write_all(stream, pcx, kPcxHeaderBytes) != 0) return kShortWrite;

  const std::int32_t row_bytes = size_for_long(width, bits);
  auto *line = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_bytes) + 64));
  auto *work = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_bytes) + 64));
  if (line == nullptr || work == nullptr) return kNoMemory;
  std::memset(line, 0, static_cast<std::size_t>(row_bytes) + 64);
  int rc = 0;
  for (int y = 0; y < height && rc == 0; ++y) {
    fetch(priv, line, height - 1 - y, row_bytes);
    if (bits == 1 || bits == 8) {
      rc = save_pcx_raster(stream, line, bytes_per_line);
    } else if (bits == 4) {
      split_planes(line, work, width, bytes_per_line);
      for (int k = 0; k < 4 && rc == 0; ++k)
        rc = save_pcx_raster(stream, work + k * bytes_per_line, bytes_per_line);
    } else {
      // Planes red, green, blue: the third, second and first byte of each pixel.
      for (int x = 0; x < width; ++x) {
        work[x] = line[3 * x + 2];
        work[width + x] = line[3 * x + 1];
        work[2 * width + x] = line[3 * x];
      }
      for (int plane = 0; plane < 3 && rc == 0; ++plane) rc = save_pcx_raster(stream, work + plane * width, width);
    }
    if (rc != 0) rc = kShortWrite;  // whatever stopped the coding
  }
  if (rc == 0 && bits == 8) {
    auto *trailer = static_cast<std::uint8_t *>(img_fmalloc(1 + 768));
    if (trailer == nullptr) {
      rc = kNoMemory;
    } else {
      trailer[0] = kTrailerMarker;
      for (int i = 0; i < 256; ++i) table_rgb(header, i, trailer + 1 + 3 * i);
      rc = write_all(stream, trailer, 1 + 768);
    }
  }
  return rc;
}

}  // namespace pxv
