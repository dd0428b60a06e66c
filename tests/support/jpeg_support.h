// Helpers of the JPEG tests: decoding bytes through the reader's contract with the stream's end
// known, saving a packed DIB through the writer, and libjpeg's planes of a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

namespace pxv_test {

// Runs open_jpg on `bytes` from the memory stream, bounded at the end of the bytes (bounded ==
// true) or without a known end, as a host's memory load is.
Capture decode_jpeg(const Bytes &bytes, std::uint32_t offset = 0, bool bounded = true);

// Saves a packed DIB as JPEG (save type 13) through the low-level save to a file and returns the
// bytes written, or an empty vector when the writer fails.
Bytes save_jpeg(PackedDib &dib);

// libjpeg's decode of a file without colour conversion and with chroma replicated, as this
// library widens it, and with the accurate integer IDCT: its Y, Cb, Cr planes (gray widened to
// three equal samples), read through a helper compiled against libjpeg. False when no compiler
// or libjpeg headers are at hand.
bool libjpeg_planes(const std::string &jpeg, Rgb *planes);
// This library's colour constants applied to such planes: blue, green, red per pixel.
Bytes planes_to_bgr(const Rgb &planes, bool gray);

}  // namespace pxv_test
