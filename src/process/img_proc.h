// Image processing: the row and band kernels behind the processing exports, declared for the
// tests, which hold them beside plain transcriptions of their rules.
#pragma once

#include <cstdint>

#include "pxvlib10.h"

namespace pxv {

// Mirrors one row of `width` pixels left to right into `dest`, which must be cleared first for
// 1 and 4 bits: pixel x of `dest` is pixel width - 1 - x of `src`, moved whole.
void flip_1bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);
void flip_4bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);
void flip_8bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);
void flip_24bit(std::uint8_t *dest, const std::uint8_t *src, std::int32_t width);

// The rows of the rotation band that starts at stored row `first` of an image `height` rows high
// whose rows are `row_bytes` long.
std::int32_t rotate_band_rows(std::int32_t row_bytes, int bits, std::int32_t height, std::int32_t first);
// Copies the band starting at `first` out of the locked DIB at `header`; answers its rows.
std::int32_t get_rasters_for_rotate(const std::uint8_t *header, std::uint8_t *band, std::int32_t first);
// Transposes a band of `rows` rows: line j of `transposed` (size_for_long(rows, bits) bytes)
// holds the band's pixels of column j, band row 0 first.
void rotate_dib_low(std::uint8_t *transposed, const std::uint8_t *band, std::int32_t row_bytes,
                    const std::uint8_t *header, std::int32_t rows);
// Places a transposed band whose first row was `first` into the rows of the new DIB.
void put_rotated_rasters(std::uint8_t *new_header, const std::uint8_t *transposed, std::int32_t rows,
                         std::int32_t first);

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
