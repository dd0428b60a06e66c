// The JPEG reader's colour conversion, apart so that it can be checked against its plain
// arithmetic on random rows.
#pragma once

#include <cstdint>

namespace pxv {

// How far past a row's ends jpeg_convert_row may read its samples and write its pixels.
inline constexpr int kRowSlack = 64;

// One row of 24-bit pixels (blue, green, red) from a luma row and two chroma rows of signed
// samples, chroma sample i >> shift serving pixel i (shift 0, 1 or 2: chroma widened over 1, 2
// or 4 columns). With cb == nullptr, one component: the bytes luma + 128.
void jpeg_convert_row(std::uint8_t *out, const std::int8_t *luma, const std::int8_t *cb,
                      const std::int8_t *cr, int width, int shift);

}  // namespace pxv
