// Printing, and the banded renderer that display shares: the crop rectangle resampled to the
// destination in bands of bounded memory, turned into black and white by error diffusion on
// devices of fewer than four colours, each band painted with paint_image_object.
//
// Exactness: the row and column mapping is 8.8 fixed point with its truncations (a 100-row
// image stretched to 3508 rows shows stored rows 0 to 95 only), the tone curve truncates, and
// the diffusion divides with truncation toward zero. Hosts compare printed pages with earlier
// ones, so none of this is "improved".
//
// Refusals, before anything is painted:
// - a crop rectangle wholly outside the image: -3; one partly outside is clipped as saving
//   clips it, and a 1- or 4-bit crop starts at the byte that holds its left edge;
// - a destination of zero width or height paints nothing and succeeds;
// - a destination or band wider or taller than 32767 device pixels: -1, since the stretch calls
//   carry 16-bit extents and would paint some other size;
// - no memory for the band image, the error window or a source row: -1.
// Negative extents mirror, as they do for the stretch call itself.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "output/color_raster.h"
#include "output/output.h"

namespace pxv {

namespace {

// A band's pixels stay within this, less its header and table...
constexpr std::int64_t kBandPixelBytes = 36864;
// ...inside a block of this fixed size.
constexpr std::size_t kBandBlockBytes = 65472;
// The source row buffer holds a row and this much more, so that a band row copied from the
// crop's first byte may run past the row's end without leaving the buffer.
constexpr std::int32_t kSourceRowSlack = 200;
// The error window: values of margin before the first row, rows, and values a row has beyond
// the band's width (two each side reached by the diffusion).
constexpr std::int32_t kWindowMargin = 2;
constexpr std::int32_t kWindowRows = 3;
constexpr std::int32_t kWindowExtra = 4;
// The technology a device answers when it takes colour whatever its colour count says.
constexpr const char *kPostScript = "PostScript";
constexpr int kTechnologyBytes = 256;
// Printers of this resolution get the tone curve made for their toner.
constexpr int kToneCurveDpi = 300;

// One render's source: the image, the crop's place in its rows, and the 8.8 steps that map
// destination pixels and rows onto it. Set by print_dithered_image; the fetchers read it.
struct render_source {
  const std::uint8_t *pixels;  // stored rows of the locked DIB
  std::int32_t row_bytes;
  int bits;
  std::int32_t bottom_row;   // stored row of the crop's bottom
  std::int32_t byte_offset;  // the crop's left edge, in whole bytes
  std::int32_t crop_width;
  std::uint64_t step_x;      // source pixels per destination pixel, 8.8
  std::uint64_t step_y;      // source rows per destination row, 8.8
  std::int32_t width;        // destination width and height, absolute
  std::int32_t height;
  std::uint8_t *work;        // one source row and kSourceRowSlack bytes
  const std::uint8_t *lut;   // tone table
  // The source pixel of each destination pixel, (step_x * i) >> 8, worked out once a render.
  const std::uint32_t *columns;
  // The same as runs of destination pixels that take consecutive source pixels (a reduction
  // by a little skips one now and then): the first pixel of each run, and the run count.
  const std::uint32_t *runs;
  std::int32_t run_count;
  int window_order[3];  // block rows of the error window, see dither_buff
  // The tone levels of the crop's pixels on one stored row of a 24-bit image (levels_row): an
  // enlargement takes a stored row for several destination rows, and its grays are worked out
  // once.
  std::uint8_t *levels;
  std::int64_t levels_row;
} source;

// The stored row that destination row r shows.
std::int64_t stored_row(std::int32_t r) {
  return source.bottom_row + static_cast<std::int64_t>((source.step_y * r) >> 8);
}

// Destination row r's stored row, from the crop's first byte, read where it lies in the DIB.
const std::uint8_t *source_row(std::int32_t r) {
  return source.pixels + stored_row(r) * source.row_bytes + source.byte_offset;
}

// The same row for a reader of `bytes` bytes from the crop's first byte: in place when they lie
// within the stored row, else from a copy in the work buffer, whose slack past the row is zeros.
const std::uint8_t *source_row_bytes(std::int32_t r, std::int64_t bytes) {
  if (source.byte_offset + bytes <= source.row_bytes) return source_row(r);
  get_dib_raster(source.pixels, source.work, static_cast<int>(stored_row(r)), source.row_bytes);
  return source.work + source.byte_offset;
}

std::uint8_t nibble(const std::uint8_t *row, std::uint64_t p) {
  const std::uint8_t byte = row[p / 2];
  return static_cast<std::uint8_t>((p & 1) ? byte & 0x0F : byte >> 4);
}

// The gray of a blue, green, red pixel, as the tone table is indexed.
int gray(int red, int green, int blue) { return (30 * red + 59 * green + 11 * blue) / 100; }

// Fills one window row with the tone-table levels of destination row r.
void fetch_and_lutstretch(std::int32_t *values, std::int32_t r) {
  const std::uint8_t *row = source_row(r);
  const std::uint8_t *lut = source.lut;
  const std::uint32_t *columns = source.columns;
  switch (source.bits) {
    case 4:
      for (std::int32_t i = 0; i < source.width; ++i) values[i] = lut[nibble(row, columns[i])];
      return;
    case 8:
      for (std::int32_t i = 0; i < source.width; ++i) values[i] = lut[row[columns[i]]];
      return;
    default: {
      std::uint8_t *levels = source.levels;
      if (stored_row(r) != source.levels_row) {
        for (std::int32_t p = 0; p < source.crop_width; ++p, row += 3) levels[p] = lut[gray(row[2], row[1], row[0])];
        source.levels_row = stored_row(r);
      }
      for (std::int32_t i = 0; i < source.width; ++i) values[i] = levels[columns[i]];
    }
  }
}

// Destination pixels of `size` whole bytes from a source row: copied run by run where the runs
// are long enough to pay for a call each, else pixel by pixel.
template <std::size_t size>
void copy_columns(std::uint8_t *out, const std::uint8_t *row) {
  const std::uint32_t *columns = source.columns;
  const std::int32_t width = source.width;
  if (source.run_count > width / 4) {
    for (std::int32_t i = 0; i < width; ++i)
      std::memcpy(out + size * std::size_t(i), row + size * std::size_t{columns[i]}, size);
    return;
  }
  for (std::int32_t k = 0; k < source.run_count; ++k) {
    const std::uint32_t first = source.runs[k];
    const std::uint32_t end = k + 1 < source.run_count ? source.runs[k + 1] : std::uint32_t(width);
    std::memcpy(out + size * first, row + size * columns[first], size * (end - first));
  }
}

// Fills one band row with destination row r at the image's own bit count; the row's padding
// is zero.
void fetch_and_stretch(std::uint8_t *out, std::int32_t band_row_bytes, std::int32_t r) {
  if (source.crop_width == source.width) {
    std::memcpy(out, source_row_bytes(r, band_row_bytes), static_cast<std::size_t>(band_row_bytes));
    return;
  }
  const std::uint8_t *row = source_row(r);
  const std::uint32_t *columns = source.columns;
  const std::int32_t width = source.width;
  std::int64_t written = 0;  // bytes of `out` the pixels set
  switch (source.bits) {
    case 1:
      std::memset(out, 0, static_cast<std::size_t>(band_row_bytes));
      for (std::int32_t i = 0; i < width; ++i) {
        const std::uint32_t p = columns[i];
        if (row[p / 8] & (0x80 >> (p % 8))) out[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
      }
      return;
    case 4:
      std::memset(out, 0, static_cast<std::size_t>(band_row_bytes));
      for (std::int32_t i = 0; i < width; ++i)
        out[i / 2] |= static_cast<std::uint8_t>(nibble(row, columns[i]) << ((i & 1) ? 0 : 4));
      return;
    case 8:
      copy_columns<1>(out, row);
      written = width;
      break;
    default:
      copy_columns<3>(out, row);
      written = 3 * std::int64_t{width};
  }
  std::memset(out + written, 0, static_cast<std::size_t>(band_row_bytes - written));
}

// Fills `rows` band rows from destination row `first` on. In black and white, the window's
// three rows run on from one band to the next, so that bands join without a seam; window rows
// past the destination's last row are not fetched and keep what they hold.
void dither_buff(const image_object *band, std::int32_t *window, std::int32_t first,
                 std::int32_t rows, bool black_and_white, bool first_band) {
  std::uint8_t *pixels = band->dib + kDibHeaderBytes + Palette_Size(band->dib);
  const std::int32_t row_bytes = band->row_bytes;
  if (!black_and_white) {
    for (std::int32_t k = 0; k < rows; ++k)
      fetch_and_stretch(pixels + std::int64_t{k} * row_bytes, row_bytes, first + k);
    return;
  }
  std::memset(pixels, 0, static_cast<std::size_t>(row_bytes) * static_cast<std::size_t>(rows));
  const std::int32_t n = source.width + kWindowExtra;
  std::int32_t *row0 = window + kWindowMargin;
  // The window's rows move up by turns of which block row holds which, not by copying: the
  // row dithered, the next and the one after are the block rows order[0], [1], [2]. A row
  // wraps round with what it held; it is fetched anew, or lies past the destination and is
  // never dithered, and no row's values reach another's pixels, only its margins.
  int *order = source.window_order;
  if (first_band) {
    for (std::int32_t j = 0; j < kWindowRows; ++j) {
      order[j] = static_cast<int>(j);
      if (first + j < source.height) fetch_and_lutstretch(row0 + j * n, first + j);
    }
  }
  for (std::int32_t k = 0; k < rows; ++k) {
    std::int32_t *now = row0 + order[0] * n;
    diffuse_stucki_row(pixels + std::int64_t{k} * row_bytes, now, row0 + order[1] * n,
                       row0 + order[2] * n, n - kWindowExtra, first + k);
    std::rotate(order, order + 1, order + kWindowRows);
    if (first + k + kWindowRows < source.height) fetch_and_lutstretch(now, first + k + kWindowRows);
  }
}

// scale(v): the vertical steps between bands, by the device's first scaling factor.
std::int64_t band_scale(std::int64_t v, int factor) {
  return factor == 1 ? 2 * v : factor == 2 ? 4 * v : v;
}

bool is_postscript(HDC dc) {
  char technology[kTechnologyBytes] = {};
  if (Escape(dc, GETTECHNOLOGY, 0, nullptr, technology) <= 0) return false;
  technology[kTechnologyBytes - 1] = '\0';
  return lstrcmpiA(technology, kPostScript) == 0;
}

// Black and white for a device of fewer than four colours (a count of -1, "more than a
// palette holds", reads as unsigned and so as many), unless it is PostScript, which takes the
// image in colour and renders it itself. Images of fewer than 4 bits go as they are.
bool black_and_white_mode(HDC dc, int bits) {
  const auto colours = static_cast<unsigned>(GetDeviceCaps(dc, NUMCOLORS));
  return colours < 4 && bits >= 4 && !is_postscript(dc);
}

}  // namespace

scaling query_scaling(HDC dc) {
  scaling s{false, 0, 0};
  int escape = GETSCALINGFACTOR;
  if (Escape(dc, QUERYESCSUPPORT, sizeof escape, reinterpret_cast<LPCSTR>(&escape), nullptr) <= 0)
    return s;
  s.supported = true;
  POINT factors{0, 0};
  if (Escape(dc, GETSCALINGFACTOR, 0, nullptr, &factors) > 0) {
    // Past 16 no extent of a pixel or more fits a stretch argument anyway.
    s.x = std::clamp<int>(factors.x, 0, 16);
    s.y = std::clamp<int>(factors.y, 0, 16);
  }
  return s;
}

std::int64_t scale_extent(std::int64_t v, int factor) { return v * (std::int64_t{1} << factor); }

bool clip_crop(image_object *image, const std::uint8_t *dib, crop_rect *out) {
  save_context context{};
  std::int32_t width = 0, height = 0;
  if (!build_save_context(image, 0, dib, &context, &width, &height)) return false;
  out->x = image->crop_x < 0 ? 0 : image->crop_x;
  out->y = image->height - height - context.crop_bottom_row;
  out->width = width;
  out->height = height;
  return true;
}

band_plan plan_bands(std::int32_t height, std::int32_t row_bytes, std::uint32_t table_bytes) {
  const std::int64_t room = kBandPixelBytes - kDibHeaderBytes - table_bytes;
  std::int64_t rows = row_bytes > 0 ? room / row_bytes : 0;
  if (rows < 1) rows = 1;
  if (height <= rows) return {height, 1, 0};
  const auto r = static_cast<std::int32_t>(rows);
  return {r, height / r, height % r};
}

void dither_praster(std::uint8_t *bits, std::int32_t *window, std::int32_t n, std::int32_t row) {
  std::int32_t *now = window + kWindowMargin;
  diffuse_stucki_row(bits, now, now + n, now + 2 * n, n - kWindowExtra, row);
}

void create_print_lut(int handle, std::uint8_t *lut, HDC dc) {
  std::memset(lut, 0, kMaxColours);
  const image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return;
  const std::uint8_t *dib = image->dib;
  const scaling factors = query_scaling(dc);
  const bool curve =
      GetDeviceCaps(dc, LOGPIXELSX) == kToneCurveDpi && (!factors.supported || factors.x == 0);
  const int bits = dib_bit_count(dib);
  const std::uint32_t entries = bits == 24 ? kMaxColours : 1u << bits;
  const std::uint32_t have = Palette_Size(dib) / 4;
  const std::uint8_t *table = dib + kDibHeaderBytes;
  for (std::uint32_t i = 0; i < entries && i < kMaxColours; ++i) {
    int g = 0;  // entries past a short table print as black
    if (bits == 24)
      g = gray(int(i), int(i), int(i));
    else if (i < have)
      g = gray(table[4 * i + 2], table[4 * i + 1], table[4 * i + 0]);
    const int level = curve ? static_cast<int>(220.0 * std::cbrt(g / 255.0) + 24.0) : g;
    lut[i] = static_cast<std::uint8_t>(std::min(level, 255));
  }
}

int create_print_dib(SIZE size, int bit_count, bool black_and_white, int handle) {
  const image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kNoMemory;
  const std::int32_t width = size.cx < 0 ? -size.cx : size.cx;
  const std::int32_t height = size.cy < 0 ? -size.cy : size.cy;
  const int bits = black_and_white ? 1 : bit_count;
  const std::int32_t row_bytes = size_for_long(width, bits);
  const std::uint32_t colours = bits == 24 ? 0 : 1u << bits;
  const std::uint32_t table = 4 * colours;
  // A row too wide for the band limit gets a block that holds it: such bands are one row.
  const std::size_t block_bytes =
      std::max<std::size_t>(kBandBlockBytes, kDibHeaderBytes + table + std::size_t(row_bytes));
  const int band = get_next_dib();
  if (band < 0) return kNoMemory;
  image_object *record = live_image(band);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, block_bytes);
  auto *dib = static_cast<std::uint8_t *>(block != nullptr ? GlobalLock(block) : nullptr);
  if (dib == nullptr) {
    if (block != nullptr) GlobalFree(block);
    delete_image_object(band);
    return kNoMemory;
  }
  record->dib_handle = block;
  record->dib = dib;
  fill_dib_header(dib, width, height, bits, static_cast<std::uint32_t>(row_bytes) * height);
  put_le32(dib + kBiClrUsed, colours);
  if (black_and_white) {
    create_dib_palette(dib, "tiff");  // at 1 bit: entry 0 black, entry 1 white
  } else if (table != 0) {
    // The image's first entries; those past a short table stay black.
    const std::uint32_t have = std::min(table, Palette_Size(image->dib));
    std::memcpy(dib + kDibHeaderBytes, image->dib + kDibHeaderBytes, have);
  }
  record->crop_x = 0;
  record->crop_y = 0;
  record->rop = image->rop;
  record->width = width;
  record->height = height;
  record->row_bytes = row_bytes;
  return band;
}

int print_dithered_image(HDC dc, int handle, POINT origin, SIZE size, bool black_and_white) {
  image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kBadHandle;
  crop_rect crop{};
  if (!clip_crop(image, image->dib, &crop)) return kBadData;
  if (size.cx == 0 || size.cy == 0) return kOk;
  const int bits = dib_bit_count(image->dib);
  const int band = create_print_dib(size, bits, black_and_white, handle);
  if (band < 0) return kNoMemory;
  image_object *record = live_image(band);
  const std::int32_t width = record->width;
  const std::int32_t height = record->height;
  const std::int32_t n = width + kWindowExtra;
  locked_block window(sizeof(std::int32_t) * (kWindowRows * std::size_t(n) + kWindowMargin), true);
  // The work block holds a source row with its slack, the column and run tables, then the
  // levels of a stored row.
  const std::size_t row_part = std::size_t(image->row_bytes) + kSourceRowSlack;
  const std::size_t tables = 2 * sizeof(std::uint32_t) * std::size_t(width);
  locked_block work(row_part + tables + std::size_t(crop.width), true);
  if (!window || !work) {
    delete_image_object(band);
    return kNoMemory;
  }
  std::uint8_t lut[kMaxColours];
  create_print_lut(handle, lut, dc);

  source.pixels = image->dib + kDibHeaderBytes + Palette_Size(image->dib);
  source.row_bytes = image->row_bytes;
  source.bits = bits;
  source.bottom_row = image->height - crop.y - crop.height;
  source.byte_offset = bits == 24 ? 3 * crop.x : crop.x / (8 / bits);
  source.crop_width = crop.width;
  source.step_x = (std::uint64_t(crop.width) * 256) / std::uint64_t(width);
  source.step_y = (std::uint64_t(crop.height) * 256) / std::uint64_t(height);
  source.width = width;
  source.height = height;
  source.work = work.data();
  source.lut = lut;
  // DIB rows are whole 32-bit words, so the table after the row and its slack is aligned.
  auto *columns = reinterpret_cast<std::uint32_t *>(work.data() + row_part);
  std::uint32_t *runs = columns + width;
  source.run_count = 0;
  for (std::int32_t i = 0; i < width; ++i) {
    columns[i] = static_cast<std::uint32_t>((source.step_x * std::uint64_t(i)) >> 8);
    if (i == 0 || columns[i] != columns[i - 1] + 1) runs[source.run_count++] = static_cast<std::uint32_t>(i);
  }
  source.columns = columns;
  source.runs = runs;
  source.levels = work.data() + row_part + tables;
  source.levels_row = -1;

  std::uint8_t *dib = record->dib;
  const band_plan plan = plan_bands(height, record->row_bytes, Palette_Size(dib));
  const scaling factors = query_scaling(dc);
  const int f = factors.supported ? factors.x : 0;
  // Bands stack upward from the bottom of the destination: the first band holds the image's
  // bottom rows, as the DIB stores them first.
  std::int64_t y = std::int64_t{origin.y} + band_scale(size.cy, f);
  record->crop_width = width;
  record->display_width = size.cx;
  std::int32_t *values = reinterpret_cast<std::int32_t *>(window.data());
  const std::int32_t bands = plan.full_bands + (plan.last_rows > 0 ? 1 : 0);
  int rc = kOk;
  std::int32_t first = 0;
  for (std::int32_t i = 0; i < bands && rc >= 0; ++i) {
    const std::int32_t rows = i < plan.full_bands ? plan.rows : plan.last_rows;
    const std::int32_t b = size.cy < 1 ? -rows : rows;
    y -= band_scale(b, f);
    record->display_x = origin.x;
    record->display_y = clamp32(y);
    record->display_height = b;
    record->height = rows;
    record->crop_height = rows;
    dither_buff(record, values, first, rows, black_and_white, i == 0);
    put_le32(dib + kBiSizeImage, static_cast<std::uint32_t>(record->row_bytes) * rows);
    set_dib_height(dib, rows);
    rc = paint_image_object(dc, band);
    set_dib_height(dib, height);
    first += rows;
  }
  delete_image_object(band);
  return rc < 0 ? rc : kOk;
}

int print_image_object(HDC dc, int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kBadHandle;
  crop_rect crop{};
  if (!clip_crop(image, image->dib, &crop)) return kBadData;
  std::int64_t width = image->display_width;
  std::int64_t height = image->display_height;
  const scaling factors = query_scaling(dc);
  apply_scaling(factors, &width, &height);
  if (width == 0 || height == 0) return kOk;
  // paint_image_object shifts each band's extents by the factors once more.
  std::int64_t painted_width = width, painted_height = height;
  apply_scaling(factors, &painted_width, &painted_height);
  if (!fits_stretch(width) || !fits_stretch(height) || !fits_stretch(painted_width) ||
      !fits_stretch(painted_height))
    return kNoMemory;
  const bool black_and_white = black_and_white_mode(dc, dib_bit_count(image->dib));
  const POINT origin{image->display_x, image->display_y};
  const SIZE size{static_cast<LONG>(width), static_cast<LONG>(height)};
  return print_dithered_image(dc, handle, origin, size, black_and_white);
}

int print_image_object_fast(HDC dc, int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr || image->dib == nullptr) return kBadHandle;
  crop_rect crop{};
  if (!clip_crop(image, image->dib, &crop)) return kBadData;
  std::int32_t x = image->display_x, y = image->display_y;
  std::int32_t w32 = image->display_width, h32 = image->display_height;
  rectangle_to_device(dc, &x, &y, &w32, &h32);
  std::int64_t width = w32, height = h32;
  const scaling factors = query_scaling(dc);
  apply_scaling(factors, &width, &height);
  if (width == 0 || height == 0) return kOk;
  if (!fits_stretch(width) || !fits_stretch(height)) return kNoMemory;
  const std::uint8_t *dib = image->dib;
  const std::int32_t source_y = image->height - crop.height - crop.y;
  const saved_mapping saved = enter_device_units(dc);
  StretchDIBits(dc, as_stretch_arg(x), as_stretch_arg(y), as_stretch_arg(width),
                as_stretch_arg(height), as_stretch_arg(crop.x), as_stretch_arg(source_y),
                as_stretch_arg(crop.width), as_stretch_arg(crop.height),
                dib + kDibHeaderBytes + Palette_Size(dib),
                reinterpret_cast<const BITMAPINFO *>(dib), DIB_RGB_COLORS, image->rop);
  restore_mapping(dc, saved);
  return kOk;
}

}  // namespace pxv

using namespace pxv;

extern "C" {

int PXVAPI IMG_print_bitmap(int handle, HDC dc, int x, int y, int width, int height) {
  return paint_with_rectangle(handle, dc, x, y, width, height, print_image_object);
}

int PXVAPI IMG_print_bitmap_fast(int handle, HDC dc, int x, int y, int width, int height) {
  return paint_with_rectangle(handle, dc, x, y, width, height, print_image_object_fast);
}

}  // extern "C"
