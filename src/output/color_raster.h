// The colour row fetch that display, colour reduction and processing share: one stored row of a
// DIB expanded to four signed 32-bit values per pixel (blue, green, red, intensity), and the
// ordered-dither matrix of the 16-colour paths.
#pragma once

#include <cstdint>

namespace pxv {

// The 8 x 8 ordered-dither index matrix times 4, except that its first entry is 4, not 0: the
// value 4 occurs twice and 0 never, so a gray of 0 is black everywhere.
extern const std::uint8_t bayer_matrix[8][8];

// Error diffusion of one row to black and white, shared by the mono dither and the printer: pixel
// values from `now` (the row), the error spread over it and the next two rows (`next`, `after`,
// each with two values of margin on both sides) with Stucki's weights 8, 4 / 2, 4, 8, 4, 2 /
// 1, 2, 4, 2, 1 of 42, each share truncated toward zero on its own, so a little error is lost.
// Even rows run left to right, odd rows right to left. A value of 128 or more sets the pixel's
// bit (white; from the most significant bit) and loses 255.
void diffuse_stucki_row(std::uint8_t *bits, std::int32_t *now, std::int32_t *next,
                        std::int32_t *after, std::int32_t width, int row);

// Expands stored row `row` (0 = bottom; clamped into 0..height - 1) of the locked DIB at
// `header` into `expanded` (4 x width values). `work` holds at least the row's bytes. The
// intensity is (75 g + 38 r + 14 b) >> 7, lowered by 40 (floor 0) for 8 and 24 bits. 1-bit
// rows, and headers this library cannot hold, write nothing. The handle names the image whose
// DIB `header` is; everything is read through `header`.
void fetch_color_raster(int handle, std::int32_t *expanded, std::uint8_t *work,
                        const std::uint8_t *header, int row);
// The same expansion of a row the caller has already read (`packed`), described by `header`
// (a 40-byte header and its colour table). The row index is not used: the row is given.
void fetch_color_raster_fd(std::int32_t *expanded, const std::uint8_t *packed,
                           const std::uint8_t *header, int row);

// 1 when the image is in colour: 24 bits, or a colour-table entry whose blue, green and red
// differ; 0 for a gray table (and for a handle that is not live).
int is_color(int handle);

}  // namespace pxv
