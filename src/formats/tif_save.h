// The TIFF container shared by every TIFF writer: starting a file or appending a page, and the
// directory with its fixed tag list.
#pragma once

#include <cstdint>

namespace pxv {

// TIFF compression codes the writers use.
constexpr int kTiffNone = 1;
constexpr int kTiffHuffman = 2;
constexpr int kTiffGroup3 = 3;
constexpr int kTiffGroup4 = 4;
constexpr int kTiffLzw = 5;

// The strip geometry of the LZW writer: rows per strip and number of strips for rows of
// `row_bytes` bytes; both the directory and the encoder compute them here.
struct tiff_strips {
  std::int32_t rows_per_strip;
  std::int32_t count;
};
tiff_strips tiff_lzw_strips(std::int32_t row_bytes, std::int32_t height);

// Bytes of a row as written: no padding.
std::int32_t tiff_row_bytes(std::int32_t width, int bits);

// The current position of a stream (the memory stream's offset, a file's position).
std::int32_t tiff_stream_position(int stream);

int write_tiff_tags(int stream, const std::uint8_t *header, std::int32_t width,
                    std::int32_t height, int compression, std::uint32_t directory_offset);
std::uint32_t tiff_set_page_offset(int stream, std::uint32_t first_ifd);

// Starts a TIFF at the stream's position: a new file, or a page appended to the little-endian
// TIFF that is already there; then writes the directory. `short_header_code` is what an
// existing "II" stream with fewer than 8 readable bytes gives. Returns 0 or a result code.
int tiff_start_file(int stream, const std::uint8_t *header, std::int32_t width, int compression,
                    int short_header_code);

// Overwrites the single StripByteCounts value with the bytes written since the directory.
int tiff_patch_strip_bytes(int stream, std::int32_t end);

// Cuts a file stream at `end`, so that a file overwritten from its start keeps no stale tail.
void tiff_cut_at(int stream, std::int32_t end);

}  // namespace pxv
