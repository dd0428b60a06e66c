// Image processing: the row and tile kernels behind the processing exports, declared for the
// tests, which hold them beside plain transcriptions of their rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pxvlib10.h"

namespace pxv {

// Mirrors one row of `width` pixels left to right into `dest`: pixel x of `dest` is pixel
// width - 1 - x of `src`, moved whole. The row's whole bytes are written, the bits or nibble
// past its last pixel 0.
void flip_1bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);
void flip_4bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);
void flip_8bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);
void flip_24bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);

// The transposition of a quarter turn: pixel i of row j of `dest` is pixel j of row i of `src`,
// for the `width` columns and `height` rows of the source; rows lie `src_stride` and
// `dest_stride` bytes apart (negative to run from the last row). Each new row's pixels fill its
// first bytes, the bits or nibble past the last pixel 0; its padding is left alone.
void transpose_pixels(const std::uint8_t *src, std::ptrdiff_t src_stride, std::uint8_t *dest,
                      std::ptrdiff_t dest_stride, std::int32_t width, std::int32_t height, int bits);

// The resizing step from `old_size` to `new_size` (at least 1), with 8 fraction bits.
std::uint64_t resize_step(std::int32_t old_size, std::int32_t new_size);
// Samples one row: output pixel i is source pixel (i * step) >> 8. The 1- and 4-bit scalers OR
// their pixels into a cleared destination.
void scale_1raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width);
void scale_4raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width);
void scale_8raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width);
void scale_24raster(const std::uint8_t *src, std::uint8_t *dest, std::uint64_t step, std::int32_t new_width);

// The 256 values that contrast and brightness, or a gamma, make of 0 to 255.
void build_tone_table(std::uint8_t *table, std::int32_t contrast, std::int32_t brightness);
void build_gamma_table(std::uint8_t *table, float gamma);
// Every byte of `count` through the contrast and brightness table, computed 16 bytes at a time
// where the vector arithmetic is exact, looked up elsewhere.
void map_tones(std::uint8_t *bytes, std::size_t count, std::int32_t contrast, std::int32_t brightness);
// Contrast and brightness on every byte of a 24-bit image's rows, in place.
int set_24cont_bright(int handle, std::int32_t contrast, std::int32_t brightness,
                      PXV_PROGRESS_PROC progress, LONG user);

// The sharpening weight of an amount at a bit count, and the rows of a sharpening band.
std::int32_t sharpen_weight(std::int32_t amount, int bits);
std::int32_t sharpen_band_rows(std::int32_t row_bytes, std::int32_t height);

// One 24-bit row to indices of the 3-3-2 palette: the top three bits of red, three of green and
// two of blue.
void convert_24_to_8(const std::uint8_t *src, std::uint8_t *dest, std::int32_t width);

}  // namespace pxv
