// Planar spooling: the plane rows of a planar image go to the spool file, packed without padding
// so that the planes follow one another at any width; each row is then rebuilt from its planes
// and converted as the chunky row of the same pixels.
//
// Malformed-input policy:
// - Planar images (more than one sample, PlanarConfiguration 2) are decoded plane row by plane
//   row, strips of plane 0 first, into the spool "plane.tmp" in the current directory. With
//   8-bit samples every row is then rebuilt from its planes and converted (white-is-zero,
//   predictor, colour order, CMYK) and delivered once; other sample sizes deliver no rows. The
//   spool is deleted at the end; -8 when it cannot be created.
// - Plane rows the strips did not deliver read as 0.
#include <cstring>

#include "core/image.h"
#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr char kPlaneFile[] = "plane.tmp";
constexpr std::uint32_t kSpoolBlockBytes = 1u << 16;

bool spool_seek(std::uint64_t at) {
  const tiff_spool &spool = tiffstruct.spool;
  return at <= INT32_MAX && _llseek(spool.file, static_cast<LONG>(at), kSeekSet) >= 0;
}

void spool_flush() {
  tiff_spool &spool = tiffstruct.spool;
  if (spool.fill != 0 && spool_seek(spool.start))
    _lwrite(spool.file, reinterpret_cast<const char *>(spool.buffer), spool.fill);
  spool.start += spool.fill;
  spool.fill = 0;
}

// Rebuilds each row of a planar image with 8-bit samples from its planes in the spool, then
// converts and delivers it as the chunky row of the same pixels.
int recombine_planes() {
  const tiff_fields &t = tiffstruct.tags;
  const tiff_row_layout &l = tiffstruct.rows;
  const std::uint32_t planes = l.planes;
  if (t.bits_per_sample != 8) return 0;
  spool_flush();
  const std::uint32_t width = t.image_width;
  // Each plane is read a block of rows at a time, all planes' blocks together about 1 MiB.
  const std::uint64_t row_of_planes = std::uint64_t{width} * planes;
  const std::uint32_t block_rows =
      row_of_planes >= 16 * kSpoolBlockBytes ? 1 : static_cast<std::uint32_t>(16 * kSpoolBlockBytes / row_of_planes);
  const std::uint64_t block_bytes = std::uint64_t{block_rows} * width;
  auto *blocks = static_cast<std::uint8_t *>(img_fmalloc(planes * block_bytes));
  if (blocks == nullptr) return kNoMemory;
  const std::uint64_t plane_bytes = std::uint64_t{width} * t.image_length;
  // Three samples that are not CMYK are put together in the delivered colour order at once.
  const bool swap = planes == 3 && t.photometric != kSeparated;
  for (std::uint32_t i = 0; i < t.image_length; ++i) {
    const std::uint32_t in_block = i % block_rows;
    if (in_block == 0) {
      for (std::uint32_t k = 0; k < planes; ++k) {
        std::uint8_t *block = blocks + k * block_bytes;
        std::int32_t got = -1;
        if (spool_seek(k * plane_bytes + std::uint64_t{i} * width))
          got = static_cast<std::int32_t>(_lread(tiffstruct.spool.file, block, static_cast<UINT>(block_bytes)));
        if (got < 0) got = 0;
        std::memset(block + got, 0, block_bytes - static_cast<std::uint32_t>(got));
      }
    }
    const std::uint8_t *plane = blocks + std::uint64_t{in_block} * width;
    std::uint8_t *out = l.conv_row;
    if (swap) {
      // Red, green, blue planes straight into blue, green, red order.
      const std::uint8_t *red = plane, *green = plane + block_bytes, *blue = plane + 2 * block_bytes;
      for (std::uint32_t x = 0; x < width; ++x, out += 3) {
        out[0] = blue[x];
        out[1] = green[x];
        out[2] = red[x];
      }
    } else {
      for (std::uint32_t k = 0; k < planes; ++k, ++out)
        for (std::uint32_t x = 0; x < width; ++x) out[std::size_t{x} * planes] = plane[k * block_bytes + x];
    }
    // Only a CMYK row is read past its samples (four bytes per pixel).
    if (l.clear_to > row_of_planes) std::memset(l.conv_row + row_of_planes, 0, l.clear_to - row_of_planes);
    convert_and_deliver(i, swap);
  }
  return 0;
}

}  // namespace

// Writes `n` bytes at spool offset `at`: gathered while the rows come in order.
void spool_write(std::uint64_t at, const std::uint8_t *data, std::uint32_t n) {
  tiff_spool &spool = tiffstruct.spool;
  if (spool.buffer == nullptr) {
    if (spool_seek(at)) _lwrite(spool.file, reinterpret_cast<const char *>(data), n);
    return;
  }
  if (at != spool.start + spool.fill || spool.fill + n > kSpoolBlockBytes) {
    spool_flush();
    spool.start = at;
  }
  if (n > kSpoolBlockBytes) {
    if (spool_seek(at)) _lwrite(spool.file, reinterpret_cast<const char *>(data), n);
    spool.start = at + n;
    return;
  }
  std::memcpy(spool.buffer + spool.fill, data, n);
  spool.fill += n;
}

bool spool_open() {
  tiff_spool &spool = tiffstruct.spool;
  OFSTRUCT of;
  spool.file = OpenFile(kPlaneFile, &of, OF_CREATE);
  // Without the gathering buffer the rows are written one at a time.
  spool.buffer = static_cast<std::uint8_t *>(img_fmalloc(kSpoolBlockBytes));
  spool.start = 0;
  spool.fill = 0;
  return spool.file != HFILE_ERROR;
}

// Rebuilds the rows when the strips decoded (`rc` not negative), then closes and deletes the
// spool; answers the read's result.
int spool_finish(int rc) {
  if (rc >= 0) rc = recombine_planes();
  _lclose(tiffstruct.spool.file);
  tiffstruct.spool.file = HFILE_ERROR;
  OFSTRUCT of;
  OpenFile(kPlaneFile, &of, OF_DELETE);
  return rc;
}

}  // namespace pxv
