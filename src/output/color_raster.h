// The colour row fetch that display, colour reduction and processing share: one stored row of a
// DIB expanded to four signed 32-bit values per pixel (blue, green, red, intensity), and the
// ordered-dither matrix of the 16-colour paths.
#pragma once

#include <cstdint>

namespace pxv {

// The 8 x 8 ordered-dither index matrix times 4, except that its first entry is 4, not 0: the
// value 4 occurs twice and 0 never, so a gray of 0 is black everywhere.
extern const std::uint8_t bayer_matrix[8][8];

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
