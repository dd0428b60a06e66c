// EPS reader: an Encapsulated PostScript file with a binary header that carries a TIFF preview.
// The PostScript itself is never interpreted; the preview is loaded by the TIFF reader.
//
// Malformed-input policy:
// - Fewer than 32 header bytes, or a header without the magic C5 D0 D3 C6: -3.
// - The TIFF offset is handed to the TIFF reader as it is, which answers for what it finds
//   there: an offset past the end of the data fails with its code, and a file without a
//   preview (offset 0) is read as TIFF from its first byte, which that reader refuses.
// - The preview is the file's only page: a request for page 1 or later (the page form of the
//   position word) answers -9, so that a host walking the pages stops after the first.
#include "core/bytes.h"
#include "core/formats.h"
#include "core/img_util.h"

namespace pxv {

namespace {

constexpr std::uint32_t kEpsMagic = 0xC6D3D0C5u;
constexpr std::uint32_t kEpsHeaderBytes = 32;
constexpr std::uint32_t kTiffOffsetField = 20;

}  // namespace

int open_eps(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream) {
  // The binary header: magic, PostScript offset and length, metafile offset and length, TIFF
  // offset and length (all little-endian), checksum.
  if (position_is_page(position)) return kNoPage;
  std::uint8_t b[kEpsHeaderBytes] = {};
  if (img_read_mem(stream, b, kEpsHeaderBytes) != static_cast<std::int32_t>(kEpsHeaderBytes) ||
      get_le32(b) != kEpsMagic)
    return kBadData;
  return open_tiff(get_le32(b + kTiffOffsetField), raster, priv, header, stream);
}

}  // namespace pxv
