// The GIF LZW decoder shared by the GIF reader: variable-width codes packed least significant
// bit first into data sub-blocks, Clear and End-of-Data codes behind the pixel values, widths
// growing to 12 bits without early change.
#pragma once

#include <cstdint>

#include "pxvlib10.h"

namespace pxv {

// Bytes of the reader's input buffer: the unconsumed tail of one refill plus up to 30 sub-blocks
// of 255 bytes fit with room to spare.
constexpr std::uint32_t kGifInputBytes = 10000;

// Sets up the decoder for one image: the sub-blocks at the stream's position, an input buffer of
// kGifInputBytes, the descriptor's packed flags (low byte) and the minimum code size (high
// byte). 0, or -1 when the string table cannot be allocated.
int init_gif_lzw(int stream, std::uint8_t *input, std::uint16_t flags);
// Decodes the image, delivering rows of gif_size_for_long(width, bits) bytes. 1 at End-of-Data
// (or once every row is delivered), -1 when the output buffers cannot be allocated, -3 at an
// impossible code or the end of the data.
int decode_gif_lzw_strip(int width, const std::uint8_t *header, PXV_RASTER_PROC raster, void *priv);

// Packs one row of one-byte indices into `row`: 1 bit (eight pixels a byte, the first in the most
// significant bit), 4 bits (two a byte, the first in the high half) or 8 bits (copied).
void gif_pack_row(std::uint8_t *row, const std::uint8_t *indices, int width, int bits);

std::int32_t gif_size_for_long(std::int32_t width, int bits);

}  // namespace pxv
