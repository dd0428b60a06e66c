// Helpers of the JPEG tests: decoding bytes through the reader's contract with the stream's end
// known, saving a packed DIB through the writer, and building small JPEG files by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

namespace pxv_test {

// What a reader delivered: the header record and each row as the raster callback saw it.
struct Decoded {
  int result = 0;
  int width = 0, height = 0, bits = 0;
  Bytes header;             // 40 bytes + 1024 of colour table
  std::vector<Bytes> rows;  // top row first
  std::vector<int> deliveries;  // how often each row was delivered
  // The pixel (x, y) of a 24-bit image as blue, green, red; of an 8-bit image its index thrice.
  void pixel(int x, int y, std::uint8_t bgr[3]) const;
};

// Runs open_jpg on `bytes` from the memory stream, bounded at the end of the bytes (bounded ==
// true) or without a known end, as a host's memory load is.
Decoded decode_jpeg(const Bytes &bytes, std::uint32_t offset = 0, bool bounded = true);

// Saves a packed DIB as JPEG (save type 13) through the low-level save to a file and returns the
// bytes written, or an empty vector with *result set to the writer's negative result.
Bytes save_jpeg(PackedDib &dib, int *result = nullptr);

// A hand-built JPEG: the caller appends segments and entropy-coded bytes.
struct JpegBuilder {
  Bytes bytes{0xFF, 0xD8};
  void segment(std::uint8_t marker, const Bytes &body);  // FF marker, length, body
  void dqt(int id, std::uint8_t value);                  // an 8-bit table of one value
  // SOF (marker C0 by default) with one (id 1, sampling, table 0) or three components.
  void sof(int width, int height, const std::vector<std::uint8_t> &samplings,
           std::uint8_t marker = 0xC0, int precision = 8);
  void dht(std::uint8_t class_id, const std::vector<int> &counts, const Bytes &symbols);
  void sos(int components);  // selectors 1.., tables 00 / 11 / 11, Ss 0, Se 63, A 0
  void data(const Bytes &entropy);
  void eoi();
};

// libjpeg's decode of a file without colour conversion and with chroma replicated, as this
// library widens it, and with the accurate integer IDCT: its Y, Cb, Cr planes (gray widened to
// three equal samples), read through a helper compiled against libjpeg. False when no compiler
// or libjpeg headers are at hand.
bool libjpeg_planes(const std::string &jpeg, Rgb *planes);
// This library's colour constants applied to such planes: blue, green, red per pixel.
Bytes planes_to_bgr(const Rgb &planes, bool gray);

// Peak signal-to-noise ratio of two equal-sized byte arrays, in dB (99 when equal).
double psnr(const Bytes &a, const Bytes &b);

}  // namespace pxv_test
