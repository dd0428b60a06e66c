// Planar spooling: the plane rows of a planar image are kept until a row can be rebuilt from its
// planes and converted as the chunky row of the same pixels. Planes arrive one after the other,
// so only the planes before the last need keeping: in memory where they fit kHeldBytes, each row
// then rebuilt as its last plane's row arrives; larger images go to the spool file, packed
// without padding so that the planes follow one another at any width, and are rebuilt from it
// at the end.
//
// Malformed-input policy:
// - Planar images (more than one sample, PlanarConfiguration 2) are decoded plane row by plane
//   row, strips of plane 0 first, into the spool "plane.tmp" in the current directory. With
//   8-bit samples every row is then rebuilt from its planes and converted (white-is-zero,
//   predictor, colour order, CMYK) and delivered once, in order; other sample sizes deliver no
//   rows. The spool file is created whether or not the planes are kept in memory, and deleted
//   at the end; -8 when it cannot be created.
// - Plane rows the strips did not deliver read as 0.
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/image.h"
#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr char kPlaneFile[] = "plane.tmp";
constexpr std::uint32_t kSpoolBlockBytes = 1u << 16;
// The planes before the last are kept in memory up to this size (a 2048 x 2048 RGB image's two).
constexpr std::uint64_t kHeldBytes = 16u << 20;

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

// Interleaves three planes into blue, green, red triplets: out[3x] = blue[x], out[3x + 1] =
// green[x], out[3x + 2] = red[x]. Writes nothing at or past out[room]: a word's store may write
// 2 bytes past the last triplet only where they are still inside.
void interleave_bgr(std::uint8_t *out, const std::uint8_t *red, const std::uint8_t *green, const std::uint8_t *blue,
                    std::uint32_t width, std::uint32_t room) {
  std::uint32_t x = 0;
#if defined(__SSE2__)
  const std::uint32_t words = room >= 2 ? std::min(width, (room - 2) / 3) : 0;
  // Sixteen pixels at a time: blue and green bytes paired, red widened, the two pairs of 16 bits
  // into four words of BGRX pixels; each 64-bit half (two pixels) drops its X bytes and is
  // stored as 8 bytes of which the last 2 are overwritten by the next store.
  const __m128i zero = _mm_setzero_si128();
  const __m128i low3 = _mm_set1_epi64x(0xFFFFFF);
  const __m128i high3 = _mm_set1_epi64x(0xFFFFFF000000);
  for (; x + 16 <= words; x += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(blue + x));
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i *>(green + x));
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(red + x));
    const __m128i bg_lo = _mm_unpacklo_epi8(b, g), bg_hi = _mm_unpackhi_epi8(b, g);
    const __m128i r_lo = _mm_unpacklo_epi8(r, zero), r_hi = _mm_unpackhi_epi8(r, zero);
    const __m128i bgrx[4] = {_mm_unpacklo_epi16(bg_lo, r_lo), _mm_unpackhi_epi16(bg_lo, r_lo),
                             _mm_unpacklo_epi16(bg_hi, r_hi), _mm_unpackhi_epi16(bg_hi, r_hi)};
    std::uint8_t *o = out + 3 * std::size_t{x};
    for (const __m128i &v : bgrx) {
      const __m128i packed = _mm_or_si128(_mm_and_si128(v, low3), _mm_and_si128(_mm_srli_epi64(v, 8), high3));
      _mm_storel_epi64(reinterpret_cast<__m128i *>(o), packed);
      _mm_storel_epi64(reinterpret_cast<__m128i *>(o + 6), _mm_unpackhi_epi64(packed, packed));
      o += 12;
    }
  }
#endif
  for (; x < width; ++x) {
    out[3 * x] = blue[x];
    out[3 * x + 1] = green[x];
    out[3 * x + 2] = red[x];
  }
}

// Puts row `index` together from its planes' rows, 8-bit samples, then converts and delivers it.
// Plane k's row is at first + k × stride, but the last plane's is at `last_row`.
void deliver_planes(std::uint32_t index, const std::uint8_t *first, std::uint64_t stride, const std::uint8_t *last_row) {
  const tiff_fields &t = tiffstruct.tags;
  const tiff_row_layout &l = tiffstruct.rows;
  const std::uint32_t planes = l.planes, width = t.image_width;
  const std::uint64_t row_of_planes = std::uint64_t{width} * planes;
  auto plane = [&](std::uint32_t k) { return k + 1 < planes ? first + k * stride : last_row; };
  bool in_dib;
  std::uint8_t *const row = row_target(index, &in_dib);
  std::uint8_t *out = row;
  // Three samples that are not CMYK are put together in the delivered colour order at once.
  const bool swap = planes == 3 && t.photometric != kSeparated;
  if (swap) {
    // Red, green, blue planes straight into blue, green, red order.
    interleave_bgr(out, plane(0), plane(1), plane(2), width,
                   in_dib ? static_cast<std::uint32_t>(l.row_size) : l.conv_capacity);
  } else {
    for (std::uint32_t k = 0; k < planes; ++k, ++out) {
      const std::uint8_t *in = plane(k);
      for (std::uint32_t x = 0; x < width; ++x) out[std::size_t{x} * planes] = in[x];
    }
  }
  // Only a CMYK row is read past its samples (four bytes per pixel).
  if (!in_dib && l.clear_to > row_of_planes) std::memset(row + row_of_planes, 0, l.clear_to - row_of_planes);
  convert_and_deliver(row, index, swap, in_dib);
}

// Delivers row i from the held planes and the last plane's row.
void held_row(std::uint32_t i, const std::uint8_t *last_row) {
  const std::uint64_t width = tiffstruct.tags.image_width;
  deliver_planes(i, tiffstruct.spool.held + i * width, width * tiffstruct.tags.image_length, last_row);
}

// Takes the held planes' rows up to (not including) plane row `upto`: rows that never arrived
// read as 0, and each row of the last plane that never arrived is delivered with a plane of 0.
void held_advance(std::uint64_t upto) {
  tiff_spool &spool = tiffstruct.spool;
  const std::uint32_t length = tiffstruct.tags.image_length, width = tiffstruct.tags.image_width;
  const std::uint32_t last = tiffstruct.rows.planes - 1;
  for (; spool.next < upto; ++spool.next) {
    const std::uint32_t plane = static_cast<std::uint32_t>(spool.next / length);
    if (plane < last) {
      std::memset(spool.held + spool.next * width, 0, width);
    } else {
      std::memset(spool.buffer, 0, width);
      held_row(static_cast<std::uint32_t>(spool.next - std::uint64_t{last} * length), spool.buffer);
    }
  }
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
    const std::uint8_t *first = blocks + std::uint64_t{in_block} * width;
    deliver_planes(i, first, block_bytes, first + (planes - 1) * block_bytes);
  }
  return 0;
}

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

}  // namespace

// Takes plane row `index` (row index % length of plane index / length); rows come in order.
void spool_row(std::uint32_t index, const std::uint8_t *row) {
  tiff_spool &spool = tiffstruct.spool;
  const std::uint32_t n = tiffstruct.rows.decode_bytes;
  if (spool.held == nullptr) {
    spool_write(std::uint64_t{index} * n, row, n);
    return;
  }
  held_advance(index);
  const std::uint32_t length = tiffstruct.tags.image_length;
  const std::uint32_t last = tiffstruct.rows.planes - 1;
  if (index / length < last)
    std::memcpy(spool.held + std::uint64_t{index} * n, row, n);
  else
    held_row(index - last * length, row);
  spool.next = index + 1;
}

bool spool_open() {
  tiff_spool &spool = tiffstruct.spool;
  OFSTRUCT of;
  spool.file = OpenFile(kPlaneFile, &of, OF_CREATE);
  const tiff_fields &t = tiffstruct.tags;
  const std::uint64_t held = std::uint64_t{t.image_width} * t.image_length * (tiffstruct.rows.planes - 1);
  // The held planes need the 8-bit samples that the rows are rebuilt from, and a plane row of
  // room in the buffer for a last-plane row that never arrived.
  spool.held = nullptr;
  if (t.bits_per_sample == 8 && held <= kHeldBytes && t.image_width <= kSpoolBlockBytes)
    spool.held = static_cast<std::uint8_t *>(img_fmalloc(held));
  spool.next = 0;
  // Without the gathering buffer the rows are written one at a time.
  spool.buffer = static_cast<std::uint8_t *>(img_fmalloc(kSpoolBlockBytes));
  if (spool.buffer == nullptr) spool.held = nullptr;
  spool.start = 0;
  spool.fill = 0;
  return spool.file != HFILE_ERROR;
}

// Rebuilds the rows when the strips decoded (`rc` not negative), then closes and deletes the
// spool; answers the read's result.
int spool_finish(int rc) {
  tiff_spool &spool = tiffstruct.spool;
  if (rc >= 0 && spool.held != nullptr)
    held_advance(tiffstruct.rows.virtual_rows);
  else if (rc >= 0)
    rc = recombine_planes();
  _lclose(tiffstruct.spool.file);
  tiffstruct.spool.file = HFILE_ERROR;
  OFSTRUCT of;
  OpenFile(kPlaneFile, &of, OF_DELETE);
  return rc;
}

}  // namespace pxv
