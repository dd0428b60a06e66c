// What the TIFF container (tiff.cpp) shares with its two strip codecs (tiff_huf.cpp for CCITT,
// tiff_lzw.cpp for LZW). The codecs know nothing of directories or tags: they read the stream the
// container has positioned at a strip, and hand every decoded row to tiff_raster_to_dib.
#pragma once

#include <cstdint>

namespace pxv {

// The stream of the current TIFF read (a stream handle of img_util.h).
extern int tiff_fh;

// Reads up to `count` bytes of the TIFF stream at its position, as img_read_mem would, through
// the read cache while strips are decoded. Answers the count read (0 or less: none).
std::int32_t tiff_read(void *dst, std::uint32_t count);

// Converts one decoded row (row conversion: white-is-zero, predictor, colour order, CMYK) and
// delivers it as row `index`. The row is copied first, so the caller's buffer is left as it was.
// Answers false for an index at or past the image length: such a row is not delivered, and a
// codec can stop there since no later row can be delivered either.
bool tiff_raster_to_dib(const std::uint8_t *row, std::uint32_t index);

// The stream position of a strip's first byte, the stream positioned there; false when the strip
// does not exist (past the StripOffsets count, or its offset cannot be read or reached).
bool position_tiff_file(std::uint32_t strip);

// CCITT (tiff_huf.cpp). The input buffer holds at least kHufInputBytes bytes.
constexpr std::uint32_t kHufInputBytes = 10100;
int initxlate();
int decode_g3_huff_strip(std::uint8_t *input, std::uint32_t rows, std::uint32_t first_row,
                         std::uint32_t width, std::uint32_t compression, std::uint32_t fill_order);
int decode_g4_huff_strip(std::uint8_t *input, std::uint32_t rows, std::uint32_t first_row,
                         std::uint32_t width, std::uint32_t fill_order);
void done_g3();

// LZW (tiff_lzw.cpp). The input buffer holds at least kLzwInputBytes bytes; the row buffer
// lzw_row_buffer_bytes(R) bytes.
constexpr std::uint32_t kLzwBlockBytes = 10000;
constexpr std::uint32_t kLzwInputBytes = kLzwBlockBytes + 4;
std::uint64_t lzw_row_buffer_bytes(std::uint32_t row_bytes);
int initlzw();
// Decodes one strip from the stream's position. `row_index` is the index of the next row to
// deliver, advanced past every row delivered. Result 1 at EOI (or when the data or the image
// ends), -3 at an impossible code.
int decode_lzw_strip(int stream, std::uint8_t *input, std::uint32_t *row_index,
                     std::uint32_t row_bytes, std::uint8_t *row_buffer);
void done_lzw();

}  // namespace pxv
