// Helpers shared by the tests: scratch folders, files, peer programs, and DIB access.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pxvlib10.h"

namespace pxv_test {

using Bytes = std::vector<std::uint8_t>;

// Whether the POSIX stand-in's testing controls (src/platform/testing.h) work: where the library
// calls the real Win32 (Windows, Wine) nobody counts its blocks or can make an allocation or a
// write fail, so cases that inject faults skip that part there, and the counts read 0.
#if defined(_WIN32)
inline constexpr bool kStandinControls = false;
#else
inline constexpr bool kStandinControls = true;
#endif

// A fresh folder under the system's temporary folder, removed with its content at exit.
std::string scratch_dir();
std::string scratch_path(const std::string &name);

Bytes read_file(const std::string &path);
void write_file(const std::string &path, const Bytes &bytes);
bool file_exists(const std::string &path);
// n bytes of b from `at` on.
inline Bytes part(const Bytes &b, std::size_t at, std::size_t n) { return Bytes(b.data() + at, b.data() + at + n); }

// Concatenation, for files assembled from headers and data.
inline Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
HFILE open_file(const std::string &path, int mode);

// Runs a shell command; true when it exits 0. Its output goes to `output` when given.
bool run(const std::string &command, std::string *output = nullptr);

// Runs a file-to-file operation from `in` into a fresh file `out` (both opened and closed here);
// answers its result, and the output's bytes in `written` when given.
using FileOp = std::function<int(HFILE input, HFILE output)>;
int file_to_file(const std::string &in, const std::string &out, const FileOp &op, Bytes *written = nullptr);

// A packed DIB: 40-byte header, colour table, rows bottom-up, built field by field.
struct PackedDib {
  int width = 0, height = 0, bits = 0;
  Bytes bytes;  // the whole packed DIB
  std::uint8_t *row(int stored_row);
  int row_bytes() const;
  int table_bytes() const;
};
PackedDib make_packed_dib(int width, int height, int bits, std::uint32_t clr_used = 0);
// A palette image whose table is gray: entry i is (i, i, i).
PackedDib gray_dib(int width, int height, int bits = 8);
// A recognisable picture: every pixel a function of its place and the bit count.
void draw_test_picture(PackedDib &dib);
// A new handle holding that picture.
int picture_handle(int width, int height, int bits);

// Every handle of the table deleted; a fixture whose tests leave handles behind does it at the end,
// and puts the stand-in's screen back as it starts (1024 x 768 at 24 bits) for those that change
// it (a real Win32 has no such screen).
void delete_all_handles();
class HandleTest : public ::testing::Test {
 protected:
  void TearDown() override {
    delete_all_handles();
#if !defined(_WIN32)
    PxvSetScreen(1024, 768, 24);
#endif
  }
};

// Saves a handle as a BMP file of the scratch folder; answers its path.
std::string save_bmp(int handle, const std::string &name);
// A BMP file header: "BM", the file's size, the offset of its rows.
Bytes bmp_file_header(std::uint32_t file_size, std::uint32_t offset);
// A copy of `b` with the little-endian field of `size` bytes (2 or 4) at `at` set to `value`.
Bytes with_field(Bytes b, std::size_t at, int size, std::uint32_t value);
// The crop rectangle of a handle: x, y, width, height.
std::array<int, 4> crop_rect(int handle);
// A progress callback that records each call's (user value, total, row) in `progress_calls`.
extern std::vector<std::array<LONG, 3>> progress_calls;
int record_progress(LONG user, LONG total, LONG row);

// Saves a handle to a block of `room` bytes of 0xAA through the memory save; checks the result.
Bytes save_mem(int handle, int type, std::size_t room = 1 << 16, int expect = 0);
// A row of `length` bytes in runs of 1 to 300 of a few values, mostly short: what run-length
// writers meet in a dithered picture, with runs past their 127- or 255-byte limits.
Bytes random_runs(std::mt19937 &rng, int length);
// What a row writer (PCX, PICT) makes of one row, through a scratch file.
Bytes encode_row(int (*writer)(int stream, const std::uint8_t *row, int length), const Bytes &row);


// What a reader hands its callbacks during one low-level load.
struct Capture {
  std::uint8_t mask = 0x0F;  // first: the TIFF reader takes its channel mask from this byte
  int result = 0, header_calls = 0, header_result = 1;  // header_result: the header callback's answer
  Bytes header;                  // 40 bytes + the colour table, as the reader built it
  std::vector<int> row_numbers;  // in delivery order
  std::vector<Bytes> rows;       // by row number, as last delivered
  int width() const { return int(header[4] | header[5] << 8 | header[6] << 16 | std::uint32_t(header[7]) << 24); }
  int height() const { return int(header[8] | header[9] << 8 | header[10] << 16 | std::uint32_t(header[11]) << 24); }
  int bits() const { return header[14]; }
  int index(int x, int y) const;  // the index of pixel x in row y (1, 4 or 8 bits)
  Bytes packed() const;           // header and rows in one block, as a packed DIB
  static int on_header(unsigned char *header, void *capture);
  static int on_row(unsigned char *row, void *capture, int row_number, int bytes);
  bool operator==(const Capture &) const = default;
};
// Loads bytes through a scratch file with the low-level load.
Capture capture_load(const Bytes &bytes, int page = 0, std::uint8_t mask = 0x0F);
// Runs one reader on bytes from the memory stream, bounded at their end (bounded == true) or
// without a known end, as a host's memory load is; answers the reader's result, also in c->result.
using Reader = int (*)(std::uint32_t position, PXV_RASTER_PROC, void *, PXV_HEADER_PROC, int stream);
int read_memory(Reader reader, const Bytes &bytes, Capture *c, std::uint32_t position = 0, bool bounded = true);
// The DIB of a handle in the same form, copied out; rows in stored order (rows[0] is the bottom).
Capture read_handle(int handle);

// An image as RGB triples, top row first: what a peer decoder says a file holds.
struct Rgb {
  int width = 0, height = 0;
  Bytes pixels;  // width * height * 3
  bool operator==(const Rgb &) const = default;
};
// Reads a binary PPM (P6) or PGM (P5, widened to RGB); writes a PPM.
bool read_pnm(const std::string &path, Rgb *out);
void write_ppm(const std::string &path, const Rgb &image);
// A handle's pixels through its colour table, as RGB.
Rgb handle_rgb(int handle);

}  // namespace pxv_test
