// Helpers of the GIF, PCX and DCX tests: loading bytes, catching what a reader hands its
// callbacks, and hand-built GIFs.
#pragma once

#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/support.h"

namespace pxv_test {

// Loads bytes through a scratch file (so that a truncated image cannot make the reader run past
// its data); the handle or a negative code.
int load_bytes_as_file(const Bytes &bytes, int page = 0);
// What a reader handed its callbacks during a low-level load.
struct Capture {
  int result = 0;
  int header_calls = 0;
  Bytes header;                   // 40 bytes + 1024 of table, as the reader built it
  std::vector<int> row_numbers;   // in delivery order
  std::vector<Bytes> rows;        // by row number (top row first), as delivered
  int width() const;
  int height() const;
  int bits() const;
  // The index of pixel x in delivered row y (1, 4 or 8 bits).
  int index(int x, int y) const;
};
Capture capture_load(const Bytes &bytes);

// A GIF built by hand: screen, table, image descriptor and LZW codes packed least significant
// bit first into sub-blocks of the given size.
struct GifCode {
  int code;
  int width;
};
Bytes pack_gif_codes(const std::vector<GifCode> &codes, int sub_block_size);
Bytes make_gif(int width, int height, int table_entries, int min_code_size, bool interlaced,
               const Bytes &data_sub_blocks);

}  // namespace pxv_test
