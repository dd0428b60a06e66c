// The names the TIFF tests use for the generic corpus helpers.
#pragma once

#include <string>

#include "support/corpus.h"

namespace pxv_test {

inline void release_all_slots() { release_all_images(); }

// Byte index of the first difference of two images of the same size, or std::string::npos.
inline std::size_t first_difference(const Rgb &a, const Rgb &b) {
  if (a.pixels.size() != b.pixels.size()) return 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i)
    if (a.pixels[i] != b.pixels[i]) return i;
  return std::string::npos;
}

}  // namespace pxv_test
