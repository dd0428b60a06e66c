// TIFF reader: the header, the directory chain with page selection, the tags this library uses,
// and the reader's entry. The strips are decoded in tiff_strips.cpp (uncompressed and PackBits
// there, CCITT in tiff_huf.cpp, LZW in tiff_lzw.cpp), every decoded row is turned into a DIB row
// in tiff_rows.cpp, and planar pages pass through the spool of tiff_planar.cpp.
//
// Malformed-input policy (strip data, row conversion and planar pages: see the files named):
// - Fewer than 8 header bytes: -1. A directory whose entry count or entries cannot be read is
//   taken as far as it was read (missing bytes are 0, a missing next offset ends the chain); a
//   negative entry count reads no entries.
// - The directory chain is walked only as far as the page asked for (at most 65536 directories).
//   A chain that comes back to a directory it has already visited ends there, and the walk stops
//   after 1 << 20 directory entries in all; a page beyond either end is missing (-9).
// - Entries of a type other than BYTE, ASCII, SHORT, LONG and RATIONAL are ignored: the field
//   keeps its default.
// - Before the header callback: a width or length of 0, no bits per pixel, or rows or a DIB of
//   more than 1 GiB give -3 (nothing can be delivered, or nothing sensible can be allocated).
// - ColorMap is read only for 1 to 8 bits per pixel (at most 256 entries); other depths get the
//   default table.
// - The resolution fields are not reset between pages or loads: a page without XResolution or
//   YResolution reports the last value read, as hosts of this library have always seen.
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

tiff_reader tiffstruct;

namespace {

// Tags read (TIFF 6.0, section 8 and the Baseline and Extension fields).
enum : std::uint16_t {
  kTagImageWidth = 256,
  kTagImageLength = 257,
  kTagBitsPerSample = 258,
  kTagCompression = 259,
  kTagPhotometric = 262,
  kTagFillOrder = 266,
  kTagStripOffsets = 273,
  kTagSamplesPerPixel = 277,
  kTagRowsPerStrip = 278,
  kTagStripByteCounts = 279,
  kTagXResolution = 282,
  kTagYResolution = 283,
  kTagPlanarConfig = 284,
  kTagResolutionUnit = 296,
  kTagDateTime = 306,
  kTagArtist = 315,
  kTagPredictor = 317,
  kTagColorMap = 320,
};

constexpr std::uint16_t kBigEndian = 0x4D4D;  // "MM"
constexpr std::uint32_t kOneStrip = 0xFFFFFFFEu;
constexpr std::uint32_t kPalette = 3;
constexpr std::uint32_t kResolutionCentimetre = 3;
// The centimetre rescale uses 2.567, not 2.54: hosts read the value as it always came out.
constexpr double kCentimetreFactor = 2.567;
constexpr std::uint32_t kIfdEntryBytes = 12;
constexpr std::uint32_t kEntryBudget = 1u << 20;
constexpr std::uint64_t kMaxImageBytes = std::uint64_t{1} << 30;
constexpr std::uint32_t kAllChannels = 0x0F;

// The fields a directory starts from before its entries are read.
constexpr tiff_fields kDefaultFields = {
    .image_length = 0, .image_width = 0, .rows_per_strip = kOneStrip, .strip_offsets = 0,
    .strip_byte_counts = 0, .samples_per_pixel = 1, .bits_per_sample = 1,
    .compression = kCompressionNone, .photometric = 1, .colormap_offset = 0, .fill_order = 1,
    .planar_config = 1, .predictor = 1,
};

// Starts a read of `stream`: the one place the reader's state is reset. The resolutions carry
// over (see tiff_reader).
void tiff_begin_read(int stream) {
  const std::uint32_t x_resolution = tiffstruct.x_resolution, y_resolution = tiffstruct.y_resolution;
  tiffstruct = tiff_reader{};
  tiffstruct.stream = stream;
  tiffstruct.x_resolution = x_resolution;
  tiffstruct.y_resolution = y_resolution;
  tiffstruct.spool.file = HFILE_ERROR;
}

// Reads up to `count` bytes; what the stream does not deliver reads as 0. Answers the count read.
std::uint32_t read_zero_filled(void *dst, std::uint32_t count) {
  std::int32_t got = tiff_read(dst, count);
  std::uint32_t n = got > 0 ? static_cast<std::uint32_t>(got) : 0;
  if (n < count) std::memset(static_cast<std::uint8_t *>(dst) + n, 0, count - n);
  return n;
}

std::uint32_t read_value_at(std::uint32_t offset, int bytes) {
  std::uint8_t b[4] = {};
  if (!seek_tiff(offset)) return 0;
  read_zero_filled(b, static_cast<std::uint32_t>(bytes));
  if (bytes == 1) return b[0];
  if (bytes == 2) return tiff_get16(b);
  return tiff_get32(b);
}

// The entry's fields brought to host order (the byte-order correction of a directory).
tiff_entry reorder_ifd(const std::uint8_t *raw) {
  tiff_entry e{};
  e.tag = tiff_get16(raw);
  e.type = tiff_get16(raw + 2);
  e.count = tiff_get32(raw + 4);
  e.value = tiff_get32(raw + 8);
  e.shorts[0] = tiff_get16(raw + 8);
  e.shorts[1] = tiff_get16(raw + 10);
  std::memcpy(e.bytes, raw + 8, 4);
  return e;
}

// The entry's first value: inside the entry when it fits there, else at the offset it holds.
std::uint32_t read_tiff_offset(const tiff_entry &e) {
  switch (e.type) {
    case kTypeByte: return e.count <= 4 ? e.bytes[0] : read_value_at(e.value, 1);
    case kTypeShort: return e.count <= 2 ? e.shorts[0] : read_value_at(e.value, 2);
    case kTypeAscii:
    case kTypeLong: return e.count == 1 ? e.value : read_value_at(e.value, 4);
    case kTypeRational: return read_value_at(e.value, 4);
    default: return 0;
  }
}

// A RATIONAL resolution: numerator over denominator, or the numerator alone over 0.
std::uint32_t read_resolution(const tiff_entry &e) {
  if (e.type != kTypeRational) return read_tiff_offset(e);
  std::uint32_t numerator = read_value_at(e.value, 4);
  std::uint32_t denominator = read_value_at(e.value + std::uint64_t{4} > UINT32_MAX ? 0 : e.value + 4, 4);
  return denominator == 0 ? numerator : numerator / denominator;
}

// Reads a text field into one of the library texts, always zero-terminated.
void read_text(const tiff_entry &e, char *dst, std::uint32_t bytes) {
  std::uint8_t text[kImgNameBytes] = {};
  if (!seek_tiff(e.value)) return;
  read_zero_filled(text, bytes);
  text[bytes - 1] = 0;
  std::memcpy(dst, text, bytes);
}

std::uint32_t rescale_centimetres(std::uint32_t r) {
  double scaled = static_cast<double>(r) * kCentimetreFactor;
  return scaled >= 4294967295.0 ? UINT32_MAX : static_cast<std::uint32_t>(scaled);
}

// Sets the fields from one directory's entries, after resetting the defaults: only the last
// directory read counts.
void fill_tiff_struct(const std::uint8_t *raw, std::uint32_t n) {
  tiff_reader &r = tiffstruct;
  tiff_fields &t = r.tags;
  t = kDefaultFields;
  r.strip_offsets_tag = tiff_entry{};
  std::uint32_t resolution_unit = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const tiff_entry e = reorder_ifd(raw + i * kIfdEntryBytes);
    if (e.type < kTypeByte || e.type > kTypeRational) continue;
    switch (e.tag) {
      case kTagImageWidth: t.image_width = read_tiff_offset(e); break;
      case kTagImageLength: t.image_length = read_tiff_offset(e); break;
      case kTagBitsPerSample: t.bits_per_sample = read_tiff_offset(e); break;
      case kTagCompression: t.compression = read_tiff_offset(e); break;
      case kTagPhotometric: t.photometric = read_tiff_offset(e); break;
      case kTagFillOrder: t.fill_order = read_tiff_offset(e); break;
      case kTagStripOffsets:
        t.strip_offsets = read_tiff_offset(e);
        r.strip_offsets_tag = e;
        break;
      case kTagSamplesPerPixel: t.samples_per_pixel = read_tiff_offset(e); break;
      case kTagRowsPerStrip: t.rows_per_strip = read_tiff_offset(e); break;
      case kTagStripByteCounts: t.strip_byte_counts = read_tiff_offset(e); break;
      case kTagXResolution: r.x_resolution = read_resolution(e); break;
      case kTagYResolution: r.y_resolution = read_resolution(e); break;
      case kTagPlanarConfig: t.planar_config = read_tiff_offset(e); break;
      case kTagResolutionUnit: resolution_unit = read_tiff_offset(e); break;
      case kTagDateTime: read_text(e, img_date, kImgDateBytes); break;
      case kTagArtist: read_text(e, img_name, kImgNameBytes); break;
      case kTagPredictor: t.predictor = read_tiff_offset(e); break;
      case kTagColorMap: t.colormap_offset = e.value; break;
      default: break;
    }
  }
  // CCITT data codes white runs as 1 bits: swapping 0 and 1 delivers the usual white-is-zero
  // fax into the black-and-white table without inversion.
  if (t.compression == kCompressionHuffman || t.compression == kCompressionG3 ||
      t.compression == kCompressionG4)
    t.photometric ^= 1;
  if (resolution_unit == kResolutionCentimetre) {
    r.x_resolution = rescale_centimetres(r.x_resolution);
    r.y_resolution = rescale_centimetres(r.y_resolution);
  }
}

// Offsets of the directories visited, so that a chain that loops ends instead of cycling.
struct visited_set {
  std::uint32_t *slots = nullptr;  // 0 marks a free slot; offsets are stored plus one
  std::uint32_t mask = 0;
};

// True when the offset was already in the set; adds it otherwise.
bool visit(visited_set &set, std::uint32_t offset) {
  const std::uint32_t key = offset + 1;  // offset UINT32_MAX wraps to 0: treated as new
  std::uint32_t i = (offset * 2654435761u) & set.mask;
  while (set.slots[i] != 0) {
    if (set.slots[i] == key) return true;
    i = (i + 1) & set.mask;
  }
  set.slots[i] = key;
  return false;
}

// Walks the directory chain from `first_ifd` up to directory `page`, parsing each directory met.
// Answers the number of directories read, or -1 when a buffer cannot be allocated.
int walk_directories(std::uint32_t first_ifd, std::uint32_t page) {
  visited_set visited;
  std::uint32_t slots = 16;
  while (slots < 2 * (page + 1)) slots *= 2;
  visited.slots = static_cast<std::uint32_t *>(img_fmalloc(slots * sizeof(std::uint32_t)));
  if (visited.slots == nullptr) return kNoMemory;
  std::memset(visited.slots, 0, slots * sizeof(std::uint32_t));
  visited.mask = slots - 1;

  std::uint8_t *directory = nullptr;
  std::uint32_t directory_entries = 0;
  std::uint32_t entries_read = 0;
  std::uint32_t ifds_read = 0;
  std::uint32_t offset = first_ifd;
  int rc = 0;
  while (true) {
    if (visit(visited, offset)) break;
    std::uint8_t count_bytes[2] = {};
    bool readable = seek_tiff(offset);
    if (readable) readable = read_zero_filled(count_bytes, 2) == 2;
    const std::int16_t signed_count = static_cast<std::int16_t>(tiff_get16(count_bytes));
    const std::uint32_t n = signed_count > 0 ? static_cast<std::uint32_t>(signed_count) : 0;
    if (n > directory_entries) {
      img_ffree(directory);
      directory = static_cast<std::uint8_t *>(img_fmalloc(n * kIfdEntryBytes));
      if (directory == nullptr) {
        rc = kNoMemory;
        break;
      }
      directory_entries = n;
    }
    std::uint8_t next_bytes[4] = {};
    if (readable) {
      read_zero_filled(directory, n * kIfdEntryBytes);
      read_zero_filled(next_bytes, 4);
    } else if (n != 0) {
      std::memset(directory, 0, n * kIfdEntryBytes);
    }
    const std::uint32_t next = tiff_get32(next_bytes);
    fill_tiff_struct(directory, n);
    ++ifds_read;
    entries_read += n;
    if (next == 0 || page < ifds_read || entries_read > kEntryBudget) break;
    offset = next;
  }
  img_ffree(directory);
  img_ffree(visited.slots);
  return rc < 0 ? rc : static_cast<int>(ifds_read);
}

// Reads the 8-byte header at the stream's position and the directories up to `page`. Answers the
// number of directories read, or a negative code.
int read_tiff_directories(std::uint32_t page) {
  std::uint8_t header[8];
  tiff_reader &r = tiffstruct;
  if (img_read_mem(r.stream, header, sizeof header) != static_cast<std::int32_t>(sizeof header))
    return kNoMemory;
  r.big_endian = get_le16(header) == kBigEndian;
  if (r.stream == kMemoryStream) {
    r.stream_length = UINT32_MAX;
  } else {
    const std::int32_t length = img_filelength(r.stream);
    r.stream_length = length < 0 ? UINT32_MAX : static_cast<std::uint32_t>(length);
  }
  return walk_directories(tiff_get32(header + 4), page);
}

// The DIB bit count of the page: the product of the sample sizes, with 32 (CMYK or four 8-bit
// samples) delivered as 24.
int dib_bits() {
  const std::uint32_t bits = tiff_bits_per_pixel();
  return bits == 32 ? 24 : static_cast<int>(bits);
}

// Refuses pages that cannot be delivered: nothing to deliver, or sizes past every buffer and
// DIB this library would allocate.
bool tiff_dimensions_sane() {
  const tiff_fields &t = tiffstruct.tags;
  if (t.image_width == 0 || t.image_length == 0 || t.image_width > INT32_MAX ||
      t.image_length > INT32_MAX || t.bits_per_sample == 0 || t.samples_per_pixel == 0)
    return false;
  const std::uint64_t bits = std::uint64_t{t.bits_per_sample} * t.samples_per_pixel;
  if (bits > 0xFFFF) return false;
  const std::uint64_t row = (std::uint64_t{t.image_width} * bits + 7) / 8;
  if (row * t.image_length > kMaxImageBytes) return false;
  const std::int32_t dib_row = size_for_long(static_cast<std::int32_t>(t.image_width), dib_bits());
  if (dib_row <= 0 || std::uint64_t(dib_row) * t.image_length > kMaxImageBytes) return false;
  return true;
}

void alloc_for_tiff(std::uint8_t *header) {
  const tiff_fields &t = tiffstruct.tags;
  const int bits = dib_bits();
  std::memset(header, 0, kHeaderRecordBytes);
  fill_dib_header(header, static_cast<std::int32_t>(t.image_width),
                  static_cast<std::int32_t>(t.image_length), bits,
                  static_cast<std::uint32_t>(size_for_long(static_cast<std::int32_t>(t.image_width), bits)) *
                      t.image_length);
  // TIFF resolutions are per inch (or per centimetre times 2.567); they are passed on as found.
  put_le32(header + kBiXPelsPerMeter, tiffstruct.x_resolution);
  put_le32(header + kBiYPelsPerMeter, tiffstruct.y_resolution);
}

// The file's ColorMap: 2^bits red values, then green, then blue, 16 bits each; the table keeps
// their high bytes.
void tiff_get_palette(std::uint32_t offset, std::uint8_t *header) {
  const std::uint32_t n = 1u << dib_bit_count(header);
  std::uint8_t map[6 * 256];
  if (seek_tiff(std::uint64_t{offset}))
    read_zero_filled(map, 6 * n);
  else
    std::memset(map, 0, 6 * n);
  std::uint8_t *table = header + kDibHeaderBytes;
  for (std::uint32_t i = 0; i < n; ++i) {
    table[4 * i + 0] = static_cast<std::uint8_t>(tiff_get16(map + 2 * (2 * n + i)) >> 8);
    table[4 * i + 1] = static_cast<std::uint8_t>(tiff_get16(map + 2 * (n + i)) >> 8);
    table[4 * i + 2] = static_cast<std::uint8_t>(tiff_get16(map + 2 * i) >> 8);
    table[4 * i + 3] = 0;
  }
}

}  // namespace

std::uint32_t tiff_bits_per_pixel() {
  return tiffstruct.tags.bits_per_sample * tiffstruct.tags.samples_per_pixel;
}

std::uint32_t tiff_size_for_long(std::uint32_t width, int bits) {
  return static_cast<std::uint32_t>(size_for_long(static_cast<std::int32_t>(width), bits));
}

int open_tiff(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header_proc,
              int stream) {
  tiff_begin_read(stream);
  tiff_reader &r = tiffstruct;
  r.raster = raster;
  r.raster_private = priv;
  r.channel_mask = (raster == raster_to_dib || priv == nullptr)
                       ? kAllChannels
                       : *static_cast<const std::uint8_t *>(priv);
  std::uint32_t page = 0;
  const bool page_form = position_is_page(position);
  if (page_form) {
    // The loader has placed the stream at the TIFF header already.
    page = static_cast<std::uint32_t>(position_page(position));
  } else {
    r.tiff_offset = position;
    if (position > INT32_MAX) return kNoMemory;  // no header can be read there
    img_seek_mem(stream, static_cast<std::int32_t>(position), kSeekSet);
  }
  const int ifds = read_tiff_directories(page);
  if (ifds < 0) return ifds;
  if (page_form && static_cast<std::uint32_t>(ifds) - 1 != page) return kNoPage;
  if (!tiff_dimensions_sane()) return kBadData;

  auto *header = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (header == nullptr) return kNoMemory;
  alloc_for_tiff(header);
  create_dib_palette(header, "tiff");
  if (r.tags.colormap_offset != 0 && r.tags.photometric == kPalette && dib_bits() <= 8)
    tiff_get_palette(r.tags.colormap_offset, header);
  int rc = header_proc(header, priv);
  if (rc < 0) return rc;
  if (!tiff_begin_rows()) return kNoMemory;
  if (r.rows.planar && !spool_open()) return kCreateError;
  rc = cache_begin() ? tiff_decompress() : kNoMemory;
  cache_end();
  if (r.rows.planar) rc = spool_finish(rc);
  return rc < 0 ? rc : kReaderSuccess;
}

}  // namespace pxv

extern "C" int PXVAPI IMG_IsTiffCmyk(const char *file_name) {
  using namespace pxv;
  if (file_name == nullptr) return kNoMemory;
  OFSTRUCT of;
  HFILE file = OpenFile(file_name, &of, OF_READ);
  if (file == HFILE_ERROR) return kNoMemory;
  tiff_begin_read(file);
  const int ifds = read_tiff_directories(0);
  _lclose(file);
  // No dispatcher runs this read: the directory walk's blocks are freed here.
  img_ffree_all();
  if (ifds < 0) return kNoMemory;
  const tiff_fields &t = tiffstruct.tags;
  return (t.samples_per_pixel >= 3 && t.photometric == kSeparated) ? 1 : 0;
}

