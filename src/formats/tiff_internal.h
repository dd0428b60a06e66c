// What the parts of the TIFF reader share: the container and directory (tiff.cpp), the read
// cache (tiff_cache.cpp), the strip iterator with the uncompressed and PackBits decoders
// (tiff_strips.cpp), row conversion (tiff_rows.cpp), planar spooling (tiff_planar.cpp), and the
// two strip codecs (tiff_huf.cpp for CCITT, tiff_lzw.cpp for LZW). The codecs know nothing of
// directories or tags: they read the stream the iterator has positioned at a strip, and hand
// every decoded row to tiff_raster_to_dib.
#pragma once

#include <cstdint>

#include "core/bytes.h"
#include "core/image.h"
#include "platform/win32.h"

namespace pxv {

// The fields of the current page, in the order the format's tags are listed.
struct tiff_fields {
  std::uint32_t image_length;
  std::uint32_t image_width;
  std::uint32_t rows_per_strip;
  std::uint32_t strip_offsets;
  std::uint32_t strip_byte_counts;
  std::uint32_t samples_per_pixel;
  std::uint32_t bits_per_sample;
  std::uint32_t compression;
  std::uint32_t photometric;
  std::uint32_t colormap_offset;
  std::uint32_t fill_order;
  std::uint32_t planar_config;
  std::uint32_t predictor;
};

// One directory entry in host order. The value field is kept three ways, as the entry's type
// reads it: one 32-bit value (or offset), two 16-bit values, or four bytes in file order.
struct tiff_entry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  std::uint32_t value;
  std::uint16_t shorts[2];
  std::uint8_t bytes[4];
};

// The read cache of a file stream while its strips are decoded (tiff_cache.cpp).
struct tiff_cache_window {
  std::uint8_t *data;
  std::uint64_t start;
  std::uint32_t size;
  std::uint64_t used;  // when it was last read from; 0: never filled
};
struct tiff_read_cache {
  bool on;
  std::uint64_t pos;  // the stream position as the reader sees it
  std::uint64_t clock;
  tiff_cache_window window[2];
};

// How decoded rows become delivered rows (tiff_rows.cpp), set once the page is known.
struct tiff_row_layout {
  bool planar;                 // planar with more than one sample: rows go through the spool
  std::uint32_t planes;        // 1, or the samples per pixel of a planar image
  std::uint32_t decode_bytes;  // bytes of one decoded row: a plane row or a chunky row
  std::uint32_t chunky_bytes;  // decoded bytes of a chunky row (all samples)
  std::uint64_t virtual_rows;  // rows the decoders may deliver: length times planes
  std::int32_t row_size;       // bytes handed to the raster callback
  std::uint8_t *conv_row;      // the row being converted, with room for every layout
  std::uint32_t conv_capacity;
  std::uint32_t clear_to;      // conv_row is read up to here: zeros past the decoded bytes
  bool swap_on_copy;           // three chunky samples: RGB to BGR as the row is copied in
  bool in_dib;                 // rows may be converted in their place in the library's own DIB
  bool stream_stores;          // in_dib, and rows are stored past the cache
};

// The spool of a planar image (tiff_planar.cpp). Where the planes before the last fit in
// `held`, they are kept there and each row is put together as its last plane's row arrives;
// otherwise plane rows are gathered in `buffer` and written to the file in blocks, and the rows
// are put together from the file at the end.
struct tiff_spool {
  HFILE file;
  std::uint8_t *held;     // the planes before the last, or null
  std::uint64_t next;     // held: the next plane row expected, counted as tiff_raster_to_dib does
  std::uint8_t *buffer;   // null: rows are written one at a time
  std::uint64_t start;    // spool offset of the buffer's first byte
  std::uint32_t fill;
};

// The TIFF reader's state: everything one read changes. Reset by tiff_begin_read at the start
// of every call, except `x_resolution` and `y_resolution`.
struct tiff_reader {
  int stream;
  std::uint32_t tiff_offset;     // where the TIFF header lies in the stream
  bool big_endian;
  std::uint32_t stream_length;   // of a file stream; UINT32_MAX for memory, whose end is unknown
  tiff_fields tags;              // of the last directory read
  tiff_entry strip_offsets_tag;  // the StripOffsets entry, read element by element per strip
  // Carried from page to page and from load to load, never reset: a page without XResolution
  // or YResolution reports the last value read, as hosts of this library have always seen.
  std::uint32_t x_resolution;
  std::uint32_t y_resolution;
  PXV_RASTER_PROC raster;
  void *raster_private;
  std::uint8_t channel_mask;     // CMYK channels used, bit 0 cyan to bit 3 black
  tiff_row_layout rows;
  tiff_read_cache cache;
  tiff_spool spool;
};
extern tiff_reader tiffstruct;

// TIFF 6.0 field types and the codes the parts test.
enum : std::uint16_t { kTypeByte = 1, kTypeAscii = 2, kTypeShort = 3, kTypeLong = 4, kTypeRational = 5 };
constexpr std::uint32_t kCompressionNone = 1;
constexpr std::uint32_t kCompressionHuffman = 2;
constexpr std::uint32_t kCompressionG3 = 3;
constexpr std::uint32_t kCompressionG4 = 4;
constexpr std::uint32_t kCompressionLzw = 5;
constexpr std::uint32_t kCompressionPackBits = 32773;
constexpr std::uint32_t kWhiteIsZero = 0;
constexpr std::uint32_t kSeparated = 5;

// Fields of the file in its byte order.
inline std::uint16_t tiff_get16(const std::uint8_t *p) {
  return tiffstruct.big_endian ? get_be16(p) : get_le16(p);
}
inline std::uint32_t tiff_get32(const std::uint8_t *p) {
  return tiffstruct.big_endian ? get_be32(p) : get_le32(p);
}
std::uint32_t tiff_bits_per_pixel();
std::uint32_t tiff_size_for_long(std::uint32_t width, int bits);

// The read cache (tiff_cache.cpp). tiff_read reads up to `count` bytes of the TIFF stream at its
// position, as img_read_mem would, through the cache while it is on; answers the count read
// (0 or less: none). seek_tiff seeks to an offset relative to the TIFF header.
bool cache_begin();
void cache_end();
std::int32_t tiff_read(void *dst, std::uint32_t count);
// Lends the bytes from the position to the end of a cache window without copying them and moves
// the position past them; answers how many (0 at the end of the stream, or with the cache off).
// They stay valid until the next read.
std::uint32_t tiff_borrow(const std::uint8_t **data);
bool seek_tiff(std::uint64_t offset);

// Strips (tiff_strips.cpp): decodes the page's strips with the decoder of its compression.
int tiff_decompress();

// Row conversion (tiff_rows.cpp). tiff_begin_rows sets the layout and allocates the conversion
// row. tiff_raster_to_dib converts one decoded row (white-is-zero, predictor, colour order,
// CMYK) and delivers it as row `index`; the row is copied first, so the caller's buffer is left
// as it was. It answers false for an index at or past the image length: such a row is not
// delivered, and a codec can stop there since no later row can be delivered either.
bool tiff_begin_rows();
bool tiff_raster_to_dib(const std::uint8_t *row, std::uint32_t index);
// The row that row `index` is put together in: its place in the DIB where rows are converted
// there (*in_dib set), else the conversion row.
std::uint8_t *row_target(std::uint32_t index, bool *in_dib);
// Converts and delivers the chunky row put together at `row`, row_target's answer; `swapped`:
// its triplets are in BGR order already.
void convert_and_deliver(std::uint8_t *row, std::uint32_t index, bool swapped, bool in_dib);
// Whether the RGB swap may use SSSE3 where the processor has it (the default); off, it takes
// the SSE2 path every x86 has, so that both can be checked on one machine.
void tiff_allow_ssse3(bool on);

// Planar spooling (tiff_planar.cpp): the spool is opened before the strips are decoded, takes
// the plane rows, and is turned into rows and deleted afterwards.
bool spool_open();
void spool_row(std::uint32_t index, const std::uint8_t *row);
int spool_finish(int rc);

// CCITT (tiff_huf.cpp). ccitt_begin allocates the buffers of the page once, for every strip.
int ccitt_begin(std::uint32_t width, std::uint32_t compression);
void decode_g3_huff_strip(std::uint32_t rows, std::uint32_t first_row, std::uint32_t width,
                          std::uint32_t compression, std::uint32_t fill_order);
void decode_g4_huff_strip(std::uint32_t rows, std::uint32_t first_row, std::uint32_t width,
                          std::uint32_t fill_order);

// LZW (tiff_lzw.cpp). lzw_begin allocates the table and buffers of the page once, for every
// strip. decode_lzw_strip decodes one strip from the stream's position; `row_index` is the
// index of the next row to deliver, advanced past every row delivered. Result 1 at EOI (or when
// the data or the image ends), -3 at an impossible code.
int lzw_begin(std::uint32_t row_bytes);
int decode_lzw_strip(std::uint32_t *row_index);

}  // namespace pxv
