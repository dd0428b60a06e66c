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
#include "formats/lzw_tree.h"
#include "formats/tif_save.h"

namespace pxv {

namespace {

constexpr int kClear = 256;
constexpr int kEndOfInformation = 257;
constexpr int kFirstCode = 258;
constexpr int kLastTableCode = 4080;    // a Clear follows once this code would be assigned
constexpr int kOutputBytes = 300;
constexpr int kFlushBits = 2040;        // 255 whole bytes

// The encoder's state for one save: the string table and the row buffers, allocated once for
// all strips by save_tiff_file_lzw.
struct tiff_lzw_encoder {
  lzw_entry *comp_table;
  std::uint8_t *fetched;  // a stored row as fetched
  std::uint8_t *encode;   // the row's bytes as they are coded
};
tiff_lzw_encoder tiff_lzw_save;

struct code_writer {
  std::uint8_t buffer[kOutputBytes];
  int bit_position = 0;
  int width = 9;
};

}  // namespace

std::int32_t tif_in_table(int prefix, std::uint8_t byte) { return lzw_find(tiff_lzw_save.comp_table, prefix, byte); }

int tif_add_table_entry(std::int32_t not_found, int prefix, std::uint8_t byte, int next_code) {
  return lzw_link(tiff_lzw_save.comp_table, not_found, prefix, byte, next_code);
}

namespace {

int tif_writecode(code_writer &w, int code, int stream) {
  if (w.bit_position >= kFlushBits) {
    const int whole = w.bit_position / 8;
    if (img_write_mem(stream, w.buffer, static_cast<std::uint32_t>(whole)) != whole) return kShortWrite;
    const std::uint8_t partial = w.buffer[whole];
    std::memset(w.buffer, 0, sizeof w.buffer);
    w.bit_position %= 8;
    if (w.bit_position != 0) w.buffer[0] = partial;
  }
  // The code lands in two or three bytes, high bits first.
  const int at = w.bit_position / 8;
  const std::uint32_t shifted = static_cast<std::uint32_t>(code) << (24 - w.width - w.bit_position % 8);
  w.buffer[at] |= static_cast<std::uint8_t>(shifted >> 16);
  w.buffer[at + 1] |= static_cast<std::uint8_t>(shifted >> 8);
  w.buffer[at + 2] |= static_cast<std::uint8_t>(shifted);
  w.bit_position += w.width;
  return kOk;
}

// Fetches stored row `row` into `fetched` and copies its row bytes, RGB for 24 bits, to `dest`.
void prepare_row(PXV_FETCH_PROC fetch, void *priv, int row, std::int32_t fetch_bytes,
                 std::int32_t row_bytes, int bits, std::int32_t width, std::uint8_t *fetched,
                 std::uint8_t *dest) {
  fetch(priv, fetched, row, fetch_bytes);
  if (bits == 24)
    for (std::int32_t x = 0; x < width; ++x) std::swap(fetched[3 * x], fetched[3 * x + 2]);
  std::memcpy(dest, fetched, static_cast<std::size_t>(row_bytes));
}

}  // namespace

// One strip, coded with the table and row buffers that save_tiff_file_lzw allocated.
int encode_tif_lzw(const std::uint8_t *header, int stream, std::int32_t offset, std::int32_t width,
                   std::int32_t rows, PXV_FETCH_PROC fetch, void *priv, std::int32_t first_row) {
  const int bits = dib_bit_count(header);
  const std::int32_t height = dib_height(header);
  const std::int32_t fetch_bytes = size_for_long(width, bits);
  const std::int32_t row_bytes = tiff_row_bytes(width, bits);
  std::uint8_t *const fetched = tiff_lzw_save.fetched;
  std::uint8_t *const encode = tiff_lzw_save.encode;
  lzw_clear(tiff_lzw_save.comp_table);
  code_writer w;
  std::memset(w.buffer, 0, sizeof w.buffer);
  int next_code = kFirstCode;
  int limit = 512;
  std::int32_t row = first_row;
  prepare_row(fetch, priv, height - 1 - row, fetch_bytes, row_bytes, bits, width, fetched, encode);
  const std::uint8_t *bytes = encode + offset;
  int rc = tif_writecode(w, kClear, stream);
  int prefix = bytes[0];
  std::int32_t at = 1;
  const std::int32_t last_row = first_row + rows - 1;
  while (rc == kOk) {
    if (at == row_bytes) {
      // Rows follow each other without a break in the code stream.
      if (row == last_row) break;
      ++row;
      prepare_row(fetch, priv, height - 1 - row, fetch_bytes, row_bytes, bits, width, fetched, encode);
      at = 0;
    }
    const std::uint8_t c = bytes[at++];
    const std::int32_t found = tif_in_table(prefix, c);
    if (found >= 0 && found != kLzwNoChildren) {
      prefix = found;
      continue;
    }
    rc = tif_writecode(w, prefix, stream);
    next_code = tif_add_table_entry(found, prefix, c, next_code);
    prefix = c;
    if (next_code >= limit) {
      if (w.width == 12) {
        if (rc == kOk) rc = tif_writecode(w, kClear, stream);
        lzw_clear(tiff_lzw_save.comp_table);
        w.width = 9;
        next_code = kFirstCode;
      } else {
        ++w.width;
      }
      limit = w.width == 12 ? kLastTableCode : 1 << w.width;
    }
  }
  if (rc == kOk) rc = tif_writecode(w, prefix, stream);
  if (rc == kOk) rc = tif_writecode(w, kEndOfInformation, stream);
  if (rc == kOk) {
    const int tail = (w.bit_position + 7) / 8;
    if (img_write_mem(stream, w.buffer, static_cast<std::uint32_t>(tail)) != tail) rc = kShortWrite;
  }
  return rc;
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
  e.comp_table = static_cast<lzw_entry *>(img_fmalloc(sizeof(lzw_entry) * kLzwTableEntries));
  e.fetched = static_cast<std::uint8_t *>(img_fmalloc(buffer_bytes));
  e.encode = static_cast<std::uint8_t *>(img_fmalloc(buffer_bytes));
  if (e.comp_table == nullptr || e.fetched == nullptr || e.encode == nullptr) return kNoMemory;
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
