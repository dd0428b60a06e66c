// The PCX header layout and the pieces of the PCX reader and writer that DCX files and tests
// share.
#pragma once

#include <cstdint>

#include "pxvlib10.h"

namespace pxv {

// The 128-byte PCX header, little-endian.
constexpr int kPcxHeaderBytes = 128;
enum : int {
  kPcxManufacturer = 0,  // 10
  kPcxVersion = 1,       // 0 and 3: no colour table in the file
  kPcxEncoding = 2,      // 1: run-length coding
  kPcxBitsPerPixel = 3,  // of one plane
  kPcxXMin = 4,
  kPcxYMin = 6,
  kPcxXMax = 8,
  kPcxYMax = 10,
  kPcxHorizontalDpi = 12,
  kPcxVerticalDpi = 14,
  kPcxColourTable = 16,  // 16 entries of red, green, blue
  kPcxPlanes = 65,
  kPcxBytesPerLine = 66,  // of one plane
  kPcxPaletteInfo = 68,   // 2: grey
};

// The DCX file: this value, then a table of page offsets ended by 0.
constexpr std::uint32_t kDcxMagic = 0x3ADE68B1u;

void create_pcx_palette(const std::uint8_t *pcx_header, const std::uint8_t *rgb, std::uint8_t *header);
int pcx_decomp(int stream, int y_min, int y_max, int bytes_per_line, int planes, int depth,
               const std::uint8_t *header, PXV_RASTER_PROC raster, void *priv);
void pcx_fill_red(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line);
void pcx_fill_green(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line);
void pcx_fill_blue(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line);
void pcx_fill_inten(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line);

// The offset of a DCX page, or -1 when the table ends before it.
std::int64_t get_page_offset(int page, int stream);

// Codes one plane line and writes it: 0, -1 or -10.
int save_pcx_raster(int stream, const std::uint8_t *line, int count);

}  // namespace pxv
