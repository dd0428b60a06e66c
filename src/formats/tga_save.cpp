// The Targa writer: uncompressed files, bottom row first. 8-bit images with a gray table are
// written as gray (image type 3, the indices standing as the levels), other 8-bit images as
// colour-mapped (type 1, a 256-entry map of 24-bit entries), 24-bit images as true colour
// (type 2). Other bit counts, and sizes the 16-bit header fields cannot hold, give -6.
#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

constexpr int kTgaHeaderBytes = 18;
constexpr std::int32_t kMaxSide = 65535;
constexpr int kMapEntries = 256;
// Rows are gathered into blocks of about this size before they are written.
constexpr std::int32_t kOutputBlockBytes = 64 * 1024;

// True unless the image is 8-bit and every entry its table holds is gray. A table shorter than
// 256 entries is judged on the entries it has: nothing is read past its end.
bool tga_is_color(const std::uint8_t *header) {
  if (dib_bit_count(header) != 8) return true;
  const std::uint32_t entries = Palette_Size(header) / 4;
  const std::uint8_t *table = header + kDibHeaderBytes;
  for (std::uint32_t i = 0; i < entries && i < kMaxColours; ++i) {
    const std::uint8_t *e = table + 4 * i;
    if (e[0] != e[1] || e[1] != e[2]) return true;
  }
  return false;
}

// The 256-entry map as blue, green, red; entries the DIB's table does not hold are black.
int tga_write_palette(int stream, const std::uint8_t *header, std::uint8_t *buffer) {
  const std::uint32_t entries = std::min<std::uint32_t>(Palette_Size(header) / 4, kMapEntries);
  std::memset(buffer, 0, 3 * kMapEntries);
  for (std::uint32_t i = 0; i < entries; ++i)
    std::memcpy(buffer + 3 * i, header + kDibHeaderBytes + 4 * i, 3);
  return img_write_all(stream, buffer, 3 * kMapEntries) ? kOk : kShortWrite;
}

}  // namespace

int save_tga_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const int bits = dib_bit_count(header);
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  if ((bits != 8 && bits != 24) || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return kUnsupported;
  const bool mapped = bits == 8 && tga_is_color(header);
  std::uint8_t tga[kTgaHeaderBytes] = {};
  tga[1] = mapped ? 1 : 0;                         // colour map type
  tga[2] = mapped ? 1 : bits == 8 ? 3 : 2;         // image type
  put_le16(tga + 5, mapped ? kMapEntries : 0);     // colour map length
  tga[7] = mapped ? 24 : 0;                        // colour map entry size
  put_le16(tga + 12, static_cast<std::uint32_t>(width));
  put_le16(tga + 14, static_cast<std::uint32_t>(height));
  tga[16] = static_cast<std::uint8_t>(bits);       // pixel depth; descriptor 0: bottom row first
  if (!img_write_all(stream, tga, kTgaHeaderBytes)) return kShortWrite;

  // Each row is fetched straight into the block; its padding (at most 3 bytes) runs into the
  // next row's place, or the block's slack, and is overwritten or not written.
  const std::int32_t row_bytes = size_for_long(width, bits);
  const std::int32_t stored_bytes = width * (bits / 8);
  const std::int32_t rows_per_block = std::max(1, kOutputBlockBytes / stored_bytes);
  const std::size_t block_bytes =
      std::max<std::size_t>(std::size_t(rows_per_block) * stored_bytes + 4, 3 * kMapEntries);
  auto *block = static_cast<std::uint8_t *>(img_fmalloc(block_bytes));
  if (block == nullptr) return kNoMemory;
  if (mapped && tga_write_palette(stream, header, block) < 0) return kShortWrite;
  std::int32_t in_block = 0;
  for (std::int32_t r = 0; r < height; ++r) {
    fetch(priv, block + std::size_t(in_block) * stored_bytes, r, row_bytes);
    if (++in_block == rows_per_block || r == height - 1) {
      const auto bytes = static_cast<std::uint32_t>(in_block * stored_bytes);
      if (!img_write_all(stream, block, bytes)) return kShortWrite;
      in_block = 0;
    }
  }
  return kOk;
}

}  // namespace pxv
