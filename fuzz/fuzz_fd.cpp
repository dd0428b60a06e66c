// Any byte string as the BMP file of the row-by-row file operations (the `_fd` exports): the
// first byte picks the operation and its arguments, the rest is the input file. In-place
// operations work on that file; the others write a second file. Every block a run takes must be
// given back.
#include "fuzz_common.h"

namespace {

// A header of a few bytes may declare millions of rows, which the operations write out in full
// (rows missing from the input read as 0). Writes past this many bytes are cut short, so such a
// run ends at its first refused write instead of filling the disk.
constexpr std::uint64_t kMostWritten = std::uint64_t{64} << 10;

const char *output_file() {
  static char name[80];
  if (name[0] == '\0') std::snprintf(name, sizeof name, "%s.out", pxv_fuzz::scratch_file());
  return name;
}

HFILE open_file(const char *name, UINT style) {
  OFSTRUCT of;
  return OpenFile(name, &of, style);
}

const PALETTEENTRY *sixteen_colours() {
  static PALETTEENTRY table[16];
  for (int i = 0; i < 16; ++i)
    table[i] = PALETTEENTRY{BYTE(i * 17), BYTE(255 - i * 17), BYTE((i * 85) & 255), 0};
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) return 0;
  const pxv_fuzz::blocks_returned check;
  pxv_platform::set_block_limit(std::size_t{16} << 20);
  const std::uint8_t pick = data[0];
  FILE *f = std::fopen(pxv_fuzz::scratch_file(), "wb");
  if (f == nullptr) std::abort();
  if (size > 1 && std::fwrite(data + 1, 1, size - 1, f) != size - 1) std::abort();
  std::fclose(f);

  const int op = pick % 7;
  if (op >= 5) {
    const HFILE file = open_file(pxv_fuzz::scratch_file(), OF_READWRITE);
    if (file == HFILE_ERROR) std::abort();
    pxv_platform::cap_file_writes(file, kMostWritten);
    if (op == 5) IMG_set_lut_fd(file, (pick >> 3) * 8 - 128, (pick >> 3) * 5 - 80);
    else IMG_GammaCorrection(file, 0.25f + (pick >> 3) * 0.125f);
    _lclose(file);
  } else {
    const HFILE in = open_file(pxv_fuzz::scratch_file(), OF_READ);
    pxv_platform::cap_next_file_writes(kMostWritten);
    const HFILE out = open_file(output_file(), OF_CREATE);
    if (in == HFILE_ERROR || out == HFILE_ERROR) std::abort();
    // Small result sizes keep each run short; the arithmetic of the steps is what is probed.
    const int w = 1 + (pick >> 3) % 17, h = 1 + (pick >> 5) * 5;
    switch (op) {
      case 0: IMG_flip_bitmap_fd(in, out, pick & 8, pick & 16); break;
      case 1: IMG_resize_bitmap_fd(in, out, w, h); break;
      case 2: IMG_resize_bitmap_fd(in, out, w * 37, h * 3); break;
      case 3: IMG_24_to_8_fd(in, out); break;
      default: IMG_dither_to_palette_fd(in, out, sixteen_colours()); break;
    }
    _lclose(in);
    _lclose(out);
  }
  return 0;
}
