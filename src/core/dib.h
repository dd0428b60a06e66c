// The DIB header as the library keeps it in memory: the 40-byte BITMAPINFOHEADER, its colour
// table, then the rows. Headers arrive from readers and hosts at any alignment, so they are
// read and written through these helpers (little-endian, field by field).
#pragma once

#include <cstdint>

#include "core/bytes.h"

namespace pxv {

constexpr std::uint32_t kDibHeaderBytes = 40;
// A header record: the 40-byte header with room for 256 colour-table entries.
constexpr std::uint32_t kHeaderRecordBytes = kDibHeaderBytes + 1024;
constexpr std::uint32_t kMaxColours = 256;

// Offsets of the BITMAPINFOHEADER fields.
enum : std::uint32_t {
  kBiSize = 0,
  kBiWidth = 4,
  kBiHeight = 8,
  kBiPlanes = 12,
  kBiBitCount = 14,
  kBiCompression = 16,
  kBiSizeImage = 20,
  kBiXPelsPerMeter = 24,
  kBiYPelsPerMeter = 28,
  kBiClrUsed = 32,
  kBiClrImportant = 36,
};

inline std::int32_t dib_width(const std::uint8_t *h) {
  return static_cast<std::int32_t>(get_le32(h + kBiWidth));
}
inline std::int32_t dib_height(const std::uint8_t *h) {
  return static_cast<std::int32_t>(get_le32(h + kBiHeight));
}
inline int dib_bit_count(const std::uint8_t *h) { return get_le16(h + kBiBitCount); }
inline std::uint32_t dib_clr_used(const std::uint8_t *h) { return get_le32(h + kBiClrUsed); }

inline void set_dib_width(std::uint8_t *h, std::int32_t w) {
  put_le32(h + kBiWidth, static_cast<std::uint32_t>(w));
}
inline void set_dib_height(std::uint8_t *h, std::int32_t v) {
  put_le32(h + kBiHeight, static_cast<std::uint32_t>(v));
}

// Writes the 40-byte header that every reader hands over: the given geometry and image size,
// one plane, no compression, no resolution, a full table for the bit count.
inline void fill_dib_header(std::uint8_t *h, std::int32_t width, std::int32_t height, int bits,
                            std::uint32_t image_bytes) {
  for (std::uint32_t i = 0; i < kDibHeaderBytes; ++i) h[i] = 0;
  put_le32(h + kBiSize, kDibHeaderBytes);
  put_le32(h + kBiWidth, static_cast<std::uint32_t>(width));
  put_le32(h + kBiHeight, static_cast<std::uint32_t>(height));
  put_le16(h + kBiPlanes, 1);
  put_le16(h + kBiBitCount, static_cast<std::uint32_t>(bits));
  put_le32(h + kBiSizeImage, image_bytes);
}

// True for the bit counts a DIB of this library may have.
inline bool dib_bit_count_supported(int bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 24;
}

// The DIB depth a device bitmap is read at: its own where a DIB can hold it, 24 bits for the
// direct-colour depths 16 and 32, 0 for any other.
inline int dib_bits_for_device(int device_bits) {
  if (dib_bit_count_supported(device_bits)) return device_bits;
  if (device_bits == 16 || device_bits == 32) return 24;
  return 0;
}

// True when a header describes a DIB this library can hold: a positive size, a known bit
// count and at most 256 table entries. Headers from hosts and readers are checked with this
// before any size is computed from them, so that none can make a table or row count overflow.
inline bool dib_header_holdable(const std::uint8_t *h) {
  return dib_width(h) > 0 && dib_height(h) > 0 && dib_bit_count_supported(dib_bit_count(h)) &&
         dib_clr_used(h) <= kMaxColours;
}

}  // namespace pxv
