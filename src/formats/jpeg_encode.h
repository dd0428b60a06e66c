// The JPEG writer's per-row and per-block kernels: colour conversion with the 2:1 chroma pick,
// the forward transform with quantisation, and Huffman block coding. Each has an SSE2 form and a portable one chosen at
// compile time; both give the same bytes as the writer's documented arithmetic (the tests keep
// that arithmetic in plain form and compare on random input).
#pragma once

#include <cstdint>

namespace pxv {

// One row of blue, green, red bytes to the library's YCbCr: `width` luma samples, and the
// chroma of every even pixel only (width / 2 samples each), which is all the writer's 2:1 pick
// keeps. `width` is a multiple of 16.
void jpeg_colour_row(const std::uint8_t *bgr, std::int8_t *y, std::int8_t *u, std::int8_t *v, int width);
// One row of 8-bit gray pixels to level-shifted luma samples; `width` is a multiple of 8.
void jpeg_gray_row(const std::uint8_t *gray, std::int8_t *y, int width);

// A quantisation table (natural order) with its divisors in the form the kernel divides by.
struct jpeg_quantiser {
  std::uint8_t table[64];
  alignas(16) float reciprocal[64];
};
void jpeg_quantiser_init(jpeg_quantiser &q, const std::uint8_t *table);
// The forward transform of jpeg_dct (jpeg_common.h) of the 8 x 8 samples at `in` (rows `stride`
// apart), each coefficient then divided by its table entry with the quotient truncated toward
// zero; natural order.
void jpeg_dct_quantise(const std::int8_t *in, int stride, const jpeg_quantiser &q, std::int16_t *out);

// One code of a code table: its length in bits (0: the symbol has no code) and its bits.
struct jpeg_huff_code {
  std::uint8_t length;
  std::uint16_t code;
};

// The entropy-coded bytes being built: `bytes` with `length` used, and `count` bits of `word`
// not yet stored.
struct jpeg_bit_writer {
  std::uint8_t *bytes;
  int length;
  std::uint64_t word;
  int count;
};

// Codes one quantised block (natural order): the DC difference from `pred` (which then becomes
// this block's DC), the AC runs and values in zig-zag order, and an end of block unless zig-zag
// position 63 holds a value. `dc` has 16 entries, `ac` 256.
void jpeg_code_block(jpeg_bit_writer &out, std::int16_t &pred, const std::int16_t *block, const jpeg_huff_code *dc,
                     const jpeg_huff_code *ac);
// Stores the pending bits, padded with 0-bits up to a whole 16-bit unit of the coded data.
void jpeg_flush_bits(jpeg_bit_writer &out);

}  // namespace pxv
