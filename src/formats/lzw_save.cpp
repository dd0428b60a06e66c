// TIFF LZW writer (Compression 5): strips of at most 10000 bytes, each coded with the TIFF 5.0
// LZW variant, codes of 9 to 12 bits packed most significant bit first.
//
// The encoder widens its codes when the next code reaches 512, 1024 and 2048 — one code after
// the decoder's early change, which the decoder makes up for by adding each entry one code
// later — and clears the table once code 4079 has been assigned.
#include <cstring>
#include <utility>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "formats/lzw_table.h"
#include "formats/tif_save.h"

namespace pxv {

namespace {

constexpr int kClear = 256;
constexpr int kEndOfInformation = 257;
constexpr lzw_rules kTiffRules = {kClear, 9, 0};

// The encoder's state for one save: the string table and the row buffer, allocated once for all
// strips by save_tiff_file_lzw.
struct tiff_lzw_encoder {
  lzw_table *comp_table;
  std::uint8_t *row;  // a stored row as fetched, then as coded
};
tiff_lzw_encoder tiff_lzw_save;

int write_bytes(int stream, const std::uint8_t *bytes, std::uint32_t count) {
  return img_write_mem(stream, bytes, count) == static_cast<std::int32_t>(count) ? kOk : kShortWrite;
}
// Codes most significant bit first, written 255 whole bytes at a time.
using code_writer = lzw_code_writer<true, 255>;

// Fetches stored row `row` into `bytes`, swapping 24-bit pixels to red, green, blue.
void prepare_row(PXV_FETCH_PROC fetch, void *priv, int row, std::int32_t fetch_bytes, int bits,
                 std::int32_t width, std::uint8_t *bytes) {
  fetch(priv, bytes, row, fetch_bytes);
  if (bits == 24)
    for (std::int32_t x = 0; x < width; ++x) std::swap(bytes[3 * x], bytes[3 * x + 2]);
}

}  // namespace

// One strip, coded with the table and row buffer that save_tiff_file_lzw allocated.
int encode_tif_lzw(const std::uint8_t *header, int stream, std::int32_t offset, std::int32_t width,
                   std::int32_t rows, PXV_FETCH_PROC fetch, void *priv, std::int32_t first_row) {
  const int bits = dib_bit_count(header);
  const std::int32_t height = dib_height(header);
  const std::int32_t fetch_bytes = size_for_long(width, bits);
  const std::int32_t row_bytes = tiff_row_bytes(width, bits);
  std::uint8_t *const row = tiff_lzw_save.row;
  const std::uint8_t *const bytes = row + offset;
  lzw_table &table = *tiff_lzw_save.comp_table;
  table.clear();
  code_writer w{write_bytes, stream};
  w.put(kClear, kTiffRules.min_width);
  lzw_state s;
  for (std::int32_t r = first_row; r < first_row + rows && w.rc == kOk; ++r) {
    // Rows follow each other without a break in the code stream.
    prepare_row(fetch, priv, height - 1 - r, fetch_bytes, bits, width, row);
    if (r == first_row) {
      s.start(kTiffRules, bytes[0]);
      lzw_code(table, s, kTiffRules, bytes + 1, bytes + row_bytes, w);
    } else {
      lzw_code(table, s, kTiffRules, bytes, bytes + row_bytes, w);
    }
  }
  w.put(static_cast<std::uint32_t>(s.prefix), s.width);
  w.put(kEndOfInformation, s.width);
  w.finish();
  return w.rc;
}

namespace {

int write_long_at(int stream, std::int32_t position, std::uint32_t value) {
  std::uint8_t bytes[4];
  put_le32(bytes, value);
  img_seek_mem(stream, position, kSeekSet);
  return img_write_mem(stream, bytes, 4) == 4 ? kOk : kShortWrite;
}

}  // namespace

int save_tiff_file_lzw(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  const int bits = dib_bit_count(header);
  if (width > 65535 || height > 65535) return kUnsupported;  // the directory's SHORT fields
  // The TIFF starts where the stream stands; its offsets count from there.
  const std::int32_t base = tiff_stream_position(stream);
  std::uint8_t fresh[8] = {'I', 'I'};
  put_le16(fresh + 2, 42);
  put_le32(fresh + 4, 8);
  if (img_write_mem(stream, fresh, 8) != 8) return kShortWrite;
  if (write_tiff_tags(stream, header, width, height, kTiffLzw, 0) < 0) return kShortWrite;
  tiff_lzw_encoder &e = tiff_lzw_save;
  const std::size_t buffer_bytes = 4 * static_cast<std::size_t>(size_for_long(width, bits));
  e.comp_table = static_cast<lzw_table *>(img_fmalloc(sizeof(lzw_table)));
  void *index = img_fmalloc(lzw_table::child_bytes(8));
  e.row = static_cast<std::uint8_t *>(img_fmalloc(buffer_bytes));
  if (e.comp_table == nullptr || index == nullptr || e.row == nullptr) return kNoMemory;
  e.comp_table->start(index, 8);
  const tiff_strips strips = tiff_lzw_strips(tiff_row_bytes(width, bits), height);
  const std::int32_t arrays = tiff_stream_position(stream);  // A
  int rc = kOk;
  std::int32_t end = arrays;
  if (strips.count > 1) {
    end = arrays + 8 * strips.count;
    rc = write_long_at(stream, arrays, static_cast<std::uint32_t>(end - base));
    img_seek_mem(stream, end, kSeekSet);
  }
  for (std::int32_t k = 0; k < strips.count && rc == kOk; ++k) {
    const std::int32_t first = k * strips.rows_per_strip;
    std::int32_t rows = height - first;
    if (rows > strips.rows_per_strip) rows = strips.rows_per_strip;
    const std::int32_t strip_start = end;
    rc = encode_tif_lzw(header, stream, 0, width, rows, fetch, priv, first);
    if (rc != kOk) break;
    end = tiff_stream_position(stream);
    if (strips.count > 1) {
      rc = write_long_at(stream, arrays + 4 * (strips.count + k),
                         static_cast<std::uint32_t>(end - strip_start));
      if (rc == kOk && k + 1 < strips.count)
        rc = write_long_at(stream, arrays + 4 * (k + 1), static_cast<std::uint32_t>(end - base));
      img_seek_mem(stream, end, kSeekSet);
    }
  }
  if (rc == kOk && strips.count == 1) rc = tiff_patch_strip_bytes(stream, end);
  if (rc == kOk) tiff_cut_at(stream, end);
  return rc;
}

}  // namespace pxv
