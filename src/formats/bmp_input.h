// BMP files read row by row without a handle: the input of the file-to-file operations of colour
// reduction and processing, which share one reading of the file and info headers and one set of
// refusals.
#pragma once

#include <cstdint>

#include "core/dib.h"

namespace pxv {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kFileSizeField = 2;
constexpr std::uint32_t kDataOffsetField = 10;

// Bit counts as a set: bit b stands for a bit count of b.
constexpr std::uint32_t bit_count_flag(int bits) { return std::uint32_t{1} << bits; }
constexpr std::uint32_t kPaletteBitCounts = bit_count_flag(4) | bit_count_flag(8);
constexpr std::uint32_t kAnyBitCount = bit_count_flag(1) | kPaletteBitCounts | bit_count_flag(24);

// What an operation takes: the bit counts, and whether an info header longer than 40 bytes (the
// later Windows headers, whose first 40 bytes are laid out alike) may precede the colour table.
struct bmp_input_rules {
  std::uint32_t bit_counts;
  bool longer_headers;
};

struct bmp_input {
  int stream;
  std::uint8_t file_header[kFileHeaderBytes];
  // The first 40 bytes of the info header with the colour table right after them, as a DIB's
  // header is laid out whatever the file's header size.
  std::uint8_t info[kHeaderRecordBytes];
  std::uint32_t header_bytes;  // biSize: the colour table starts this far after the file header
  std::uint32_t table_bytes;
  std::uint32_t data_offset;
  std::int32_t width, height, row_bytes;
  int bits;
};

// Reads and checks the headers of the BMP file on `stream` from its start. Answers 1 when the
// file is taken; 0 when the file ends before its data offset (its header block is cut short);
// -6 for a header the rules do not take, a compressed or top-down file, or a bit count outside
// the rules; -3 for an empty image, more than 256 colours, a data offset that leaves no room for
// the headers and table, or rows that end past 2^31 bytes. Only the headers are read.
int read_bmp_input(bmp_input *in, int stream, bmp_input_rules rules);

// Input row r (stored order) into `row`, row bytes long; what the file does not hold reads as 0.
void read_input_row(const bmp_input &in, std::uint8_t *row, std::int32_t r);

// Copies `count` bytes of the input from offset `from` to the output's current position; false
// when a write is cut short. Bytes the input no longer holds are written as zeros.
bool copy_input_bytes(const bmp_input &in, int output, std::uint32_t from, std::uint32_t count);
// Writes `count` zero bytes; false when a write is cut short.
bool write_zeros(int output, std::uint32_t count);

// True when a file of `bytes` stays within 32-bit signed file positions.
inline bool file_size_fits(std::uint64_t bytes) { return bytes <= 0x7FFFFFFFu; }

}  // namespace pxv
