// The body every reader's fuzz target shares: load the input through the public API from a
// file, as a host would, then read every byte of the DIB so that a pixel the reader never
// wrote, or wrote outside the image, shows up under the sanitizers.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/image.h"
#include "platform/testing.h"
#include "pxvlib10.h"

namespace pxv_fuzz {

// The input file lives in memory-backed /dev/shm where there is one: every run writes it anew.
inline const char *scratch_file() {
  static char name[64];
  if (name[0] == '\0') {
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(name, sizeof name, "%s/pxv-fuzz-%d.bin", dir, static_cast<int>(getpid()));
  }
  return name;
}

// A run must give back every block it took: a block kept across calls would pile up over the
// millions of runs of a fuzzing session (and did look like it, until the growth turned out to be
// the sanitizer's quarantine of freed DIBs, which stops at its fixed size).
struct blocks_returned {
  std::size_t before = pxv_platform::live_blocks();
  ~blocks_returned() {
    if (pxv_platform::live_blocks() != before) {
      std::fprintf(stderr, "a run kept %zu blocks\n", pxv_platform::live_blocks() - before);
      std::abort();
    }
  }
};

inline int load_bytes(const std::uint8_t *data, std::size_t size) {
  const blocks_returned check;
  // No hostile header may make the process allocate more than this; small inputs that declare
  // huge images would otherwise spend each run filling a DIB with rows of nothing.
  pxv_platform::set_block_limit(std::size_t{16} << 20);
  FILE *f = std::fopen(scratch_file(), "wb");
  if (f == nullptr) std::abort();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  int handle = IMG_decompress_bitmap(scratch_file());
  if (handle < 0) {
    // A failed load keeps its slot by design; the harness holds no other image, so it hands
    // every slot back to keep a long run from growing the table without end.
    for (int h = pxv::next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
    return 0;
  }
  int width = 0, height = 0, bits = 0;
  HGLOBAL dib = IMG_bitmap_info(handle, &width, &height, &bits);
  if (dib == nullptr || width <= 0 || height <= 0) std::abort();
  const auto *bytes = static_cast<const std::uint8_t *>(GlobalLock(dib));
  std::size_t length = GlobalSize(dib);
  unsigned sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum += bytes[i];
  GlobalUnlock(dib);
  IMG_delete_bitmap(handle);
  return static_cast<int>(sum & 1);
}

// The input with its first bytes made a format's signature, so that detection hands every input
// to that format's reader.
inline int load_as(const std::uint8_t *data, std::size_t size, std::initializer_list<std::uint8_t> signature) {
  std::vector<std::uint8_t> input(data, data + size);
  if (input.size() < signature.size()) input.resize(signature.size());
  std::copy(signature.begin(), signature.end(), input.begin());
  return load_bytes(input.data(), input.size());
}

}  // namespace pxv_fuzz
