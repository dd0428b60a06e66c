// Any byte string through the WMF reader twice: behind the placeable key, through the public
// load, and as it stands, straight into open_wmf from a memory block of its size, which reaches
// the walk of a metafile without placeable header (detection takes those for Targa). The
// second load's rows are checked against the header it was given.
#include "core/dib.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "fuzz_common.h"

namespace {

struct Rows {
  std::int32_t height = 0, row_bytes = 0;
  unsigned sum = 0;
};

int on_header(unsigned char *header, void *priv) {
  auto *rows = static_cast<Rows *>(priv);
  if (!pxv::dib_header_holdable(header)) std::abort();
  rows->height = pxv::dib_height(header);
  rows->row_bytes = pxv::size_for_long(pxv::dib_width(header), pxv::dib_bit_count(header));
  return std::int64_t{rows->height} * rows->row_bytes > (std::int64_t{16} << 20) ? -1 : 0;
}

int on_row(unsigned char *row, void *priv, int row_number, int bytes) {
  auto *rows = static_cast<Rows *>(priv);
  if (row_number < 0 || row_number >= rows->height || bytes != rows->row_bytes) std::abort();
  for (int i = 0; i < bytes; ++i) rows->sum += row[i];
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_as(data, size, {0xD7, 0xCD, 0xC6, 0x9A});
  std::vector<std::uint8_t> input(data, data + size);
  Rows rows;
  pxv::reset_mem_io_bounded(input.data(), std::uint32_t(input.size()));
  pxv::open_wmf(0, on_row, &rows, on_header, pxv::kMemoryStream);
  pxv::img_ffree_all();
  return static_cast<int>(rows.sum & 1);
}
