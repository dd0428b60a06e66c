// Helpers of the JPEG tests: decoding bytes through the reader's contract with the stream's end
// known, saving a packed DIB through the writer, and the pixels the reader must give for a file.
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

// What this library's JPEG reader must give for each file, top row first: libjpeg's entropy
// decoding and dequantised coefficients through the reader's own documented arithmetic
// (jpeg_reference.c beside this file, built once), in one run for all the files. False when no
// compiler or libjpeg headers are at hand, or libjpeg cannot read a file.
bool jpeg_reference_all(const std::vector<std::string> &files, std::vector<Rgb> *out);

}  // namespace pxv_test
