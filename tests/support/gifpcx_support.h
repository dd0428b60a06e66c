// Helpers of the GIF, PCX and DCX tests: loading bytes and files, catching what a reader hands
// its callbacks, comparing pixels with a reference, and the corpus manifest rows.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "support/support.h"

namespace pxv_test {

// Loads bytes through a scratch file (so that a truncated image cannot make the reader run past
// its data); the handle or a negative code.
int load_bytes_as_file(const Bytes &bytes, int page = 0);
// Loads a file, selecting a page when it is not 0.
int load_path(const std::string &path, int page = 0);

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

// Empty when the two images hold the same pixels; otherwise where they first differ.
std::string pixel_difference(const Rgb &ours, const Rgb &reference);
// Empty when every colour of the reference always shows as one and the same colour of ours: the
// same picture under another colour table (which may give two indices one colour).
std::string mapping_difference(const Rgb &ours, const Rgb &reference);

// One row of the corpus manifest.
struct ManifestRow {
  std::string path, format, features, ref, notes;
  int width = 0, height = 0, pages = 1;
  bool malformed = false;
};
inline void PrintTo(const ManifestRow &row, std::ostream *os) { *os << row.path; }
std::vector<ManifestRow> manifest_rows(const std::vector<std::string> &formats);
std::string corpus_path(const std::string &relative);

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

namespace pxv_test {

// A picture with smooth ramps and hard edges, as a binary PPM: what the peer tools quantise
// and write in the oracle tests.
void write_test_ppm(const std::string &path, int width, int height);
// Runs a Pillow snippet with `src` and `dst` bound to the two paths; true when it succeeds.
bool pillow(const std::string &snippet, const std::string &src, const std::string &dst);
// Decodes a file with a peer command (`{in}` and `{out}` replaced) into a PPM and reads it.
bool peer_decode(const std::string &command, const std::string &in, Rgb *out);

}  // namespace pxv_test
