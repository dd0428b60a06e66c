// The DCX reader: a table of offsets to PCX images, one page each.
//
// Malformed-input policy: a file whose first four bytes are not the DCX value gives -3; a page
// beyond the table (a 0 entry or the end of the stream before it) gives -2. A page offset is
// taken as it stands; whatever lies there is read as a PCX image under that reader's policy.
#include "core/bytes.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/pcx.h"

namespace pxv {

std::int64_t get_page_offset(int page, int stream) {
  img_seek_mem(stream, 4, kSeekSet);
  // At most 65536 entries are read: the page number is 16 bits wide.
  for (int i = 0;; ++i) {
    std::uint8_t entry[4];
    if (img_read_mem(stream, entry, 4) != 4) return -1;
    const std::uint32_t offset = get_le32(entry);
    if (offset == 0) return -1;
    if (i == page) return offset;
  }
}

int open_dcx(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream) {
  // Without the page flag the position word is the byte offset the first page was asked at:
  // the table is always read from the stream's start, so that asks for page 0.
  const int page = position_is_page(position) ? position_page(position) : 0;
  std::uint8_t magic[4] = {};
  img_seek_mem(stream, 0, kSeekSet);
  if (img_read_mem(stream, magic, 4) != 4 || get_le32(magic) != kDcxMagic) return kBadData;
  const std::int64_t offset = get_page_offset(page, stream);
  if (offset < 0) return kReadError;
  return open_pcx(static_cast<std::uint32_t>(offset), raster, priv, header, stream);
}

}  // namespace pxv
