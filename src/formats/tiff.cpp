// TIFF reader: the header, the directory chain with page selection, the tags this library uses,
// and the strip decoders for uncompressed and PackBits data. CCITT strips go to tiff_huf.cpp and
// LZW strips to tiff_lzw.cpp; every decoded row comes back through tiff_raster_to_dib, which
// turns it into a DIB row (white-is-zero, horizontal predictor, RGB to BGR, CMYK to BGR).
//
// Malformed-input policy:
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
// - Strips are located from StripOffsets: a strip past the entry's count, or whose array element
//   cannot be read, ends the decoding; a strip whose offset lies at or past the end of a file is
//   skipped (its rows are not delivered). RowsPerStrip 0 is taken as one strip.
// - Strip data is not measured by StripByteCounts. Where the stream ends inside a row, the rest
//   of the row is 0; a row for which the stream has no byte at all is not delivered, and the
//   rest of its strip is skipped.
// - PackBits: a run or copy that passes the end of the row is consumed whole, and what does not
//   fit the row is dropped. The no-op control byte 128 is skipped.
// - CCITT compression on a page of more than 1 bit per pixel decodes no rows (as an unknown
//   compression does): the codes describe bilevel rows only.
// - Rows wider than the 10000-byte read block are read one at a time (the block grows to a row).
// - Four samples that are not CMYK (RGB with an extra sample, 8 bits each) are delivered as
//   24-bit BGR rows: the extra sample is dropped, matching the 24-bit header.
// - The CMYK channel mask is the first byte of the caller's private block; on the library's own
//   load path, whose private block holds the header address, all four channels are used.
// - Planar images (more than one sample, PlanarConfiguration 2) are decoded plane row by plane
//   row, strips of plane 0 first, into the spool "plane.tmp" in the current directory, packed
//   without padding so that the planes follow one another at any width. With 8-bit samples,
//   every row is then rebuilt from its planes and converted as the chunky row of the same pixels
//   (white-is-zero, predictor, colour order, CMYK) and delivered once; other sample sizes deliver
//   no rows. The spool is deleted at the end; -8 when it cannot be created.
// - The resolution fields are not reset between pages or loads: a page without XResolution or
//   YResolution reports the last value read, as hosts of this library have always seen.
#include <algorithm>
#include <bit>
#include <cstring>

#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

int tiff_fh = 0;

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

enum : std::uint16_t { kTypeByte = 1, kTypeAscii = 2, kTypeShort = 3, kTypeLong = 4, kTypeRational = 5 };

constexpr std::uint16_t kBigEndian = 0x4D4D;  // "MM"
constexpr std::uint32_t kOneStrip = 0xFFFFFFFEu;
constexpr std::uint32_t kCompressionNone = 1;
constexpr std::uint32_t kCompressionHuffman = 2;
constexpr std::uint32_t kCompressionG3 = 3;
constexpr std::uint32_t kCompressionG4 = 4;
constexpr std::uint32_t kCompressionLzw = 5;
constexpr std::uint32_t kCompressionPackBits = 32773;
constexpr std::uint32_t kWhiteIsZero = 0;
constexpr std::uint32_t kPalette = 3;
constexpr std::uint32_t kSeparated = 5;
constexpr std::uint32_t kResolutionCentimetre = 3;
// The centimetre rescale uses 2.567, not 2.54: hosts read the value as it always came out.
constexpr double kCentimetreFactor = 2.567;
constexpr std::uint32_t kIfdEntryBytes = 12;
constexpr std::uint32_t kEntryBudget = 1u << 20;
constexpr std::uint64_t kMaxImageBytes = std::uint64_t{1} << 30;
constexpr std::uint32_t kNoneBlockBytes = 10000;
constexpr std::uint32_t kPackBitsBlockBytes = 20000;
constexpr std::uint32_t kAllChannels = 0x0F;
constexpr std::uint32_t kRowSlack = 16;
constexpr char kPlaneFile[] = "plane.tmp";

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
  std::uint32_t x_resolution;
  std::uint32_t y_resolution;
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

tiff_fields tiffstruct;
tiff_entry offset_tag;
std::uint32_t tiff_offset;
std::uint16_t byte_order;
PXV_RASTER_PROC tput_raster;
void *tprivate_data;
std::uint8_t xlat_buff[256];
HFILE plane_fh = HFILE_ERROR;
// Plane rows gathered before they are written to the spool, so that the spool is written in
// blocks rather than a row at a time.
constexpr std::uint32_t kSpoolBlockBytes = 1u << 16;
std::uint8_t *spool_buffer;
std::uint64_t spool_start;  // spool offset of the buffer's first byte
std::uint32_t spool_fill;
std::uint8_t channel_mask;
// The length of a file stream, or UINT32_MAX for the memory stream, whose end is unknown.
std::uint32_t stream_length;

// Row conversion state of the current image.
bool planar_mode;                 // planar with more than one sample: rows go through the spool
std::uint32_t planes;             // 1, or the samples per pixel of a planar image
std::uint32_t decode_bytes;       // bytes of one decoded row: a plane row or a chunky row
std::uint32_t chunky_bytes;       // R: decoded bytes of a chunky row (all samples)
std::uint64_t virtual_rows;       // rows the decoders may deliver: length times planes
std::int32_t row_size;            // bytes handed to the raster callback
std::uint8_t *conv_row;           // the row being converted, with room for every layout
std::uint32_t conv_capacity;
std::uint32_t clear_to;           // conv_row is read up to here: zeros past the decoded bytes
bool swap_on_copy;                // three chunky samples: RGB to BGR as the row is copied in

bool big_endian() { return byte_order == kBigEndian; }
std::uint16_t get16(const std::uint8_t *p) { return big_endian() ? get_be16(p) : get_le16(p); }
std::uint32_t get32(const std::uint8_t *p) { return big_endian() ? get_be32(p) : get_le32(p); }

// The read cache of a file stream while its strips are decoded. A file written with a strip per
// row would otherwise cost four system calls per row (two seeks, the strip offset, a block of
// the strip). Two windows, so that the StripOffsets array and the strip data do not evict each
// other; the one used less recently is refilled. A window shorter than kCacheWindowBytes ends at
// the end of the file. Reads answer what the stream itself would: the bytes at the position, as
// many as it has up to the count.
constexpr std::uint32_t kCacheWindowBytes = 1u << 17;
struct cache_window {
  std::uint8_t *data;
  std::uint64_t start;
  std::uint32_t size;
  std::uint64_t used;  // when it was last read from
};
struct read_cache {
  bool on;
  std::uint64_t pos;  // the stream position as the reader sees it
  std::uint64_t clock;
  cache_window window[2];
};
read_cache cache;

// Starts the cache at the stream's position; false when its buffer cannot be had.
bool cache_begin() {
  cache.on = false;
  if (tiff_fh == kMemoryStream) return true;  // a memory stream is read by copying anyway
  const std::int32_t here = img_seek_mem(tiff_fh, 0, kSeekCur);
  if (here < 0) return true;  // reads go to the stream as they come
  auto *data = static_cast<std::uint8_t *>(img_fmalloc(2 * kCacheWindowBytes));
  if (data == nullptr) return false;
  cache.on = true;
  cache.pos = static_cast<std::uint64_t>(here);
  cache.clock = 0;
  for (int i = 0; i < 2; ++i) cache.window[i] = {data + i * kCacheWindowBytes, 0, 0, 0};
  return true;
}

void cache_end() {
  if (!cache.on) return;
  img_ffree(cache.window[0].data);
  cache.on = false;
  // Leave the stream where the reader's position is, as reads without the cache would have.
  if (cache.pos <= INT32_MAX) img_seek_mem(tiff_fh, static_cast<std::int32_t>(cache.pos), kSeekSet);
}

std::int32_t cached_read(std::uint8_t *dst, std::uint32_t count) {
  std::uint32_t done = 0;
  while (done < count) {
    cache_window *hit = nullptr;
    for (cache_window &w : cache.window) {
      if (w.data != nullptr && cache.pos >= w.start && cache.pos - w.start <= w.size &&
          (cache.pos - w.start < w.size || w.size < kCacheWindowBytes))
        hit = &w;
    }
    if (hit != nullptr) {
      const std::uint32_t at = static_cast<std::uint32_t>(cache.pos - hit->start);
      if (at == hit->size) break;  // the end of the file
      const std::uint32_t n = std::min(count - done, hit->size - at);
      std::memcpy(dst + done, hit->data + at, n);
      hit->used = ++cache.clock;
      done += n;
      cache.pos += n;
      continue;
    }
    if (cache.pos > INT32_MAX || img_seek_mem(tiff_fh, static_cast<std::int32_t>(cache.pos), kSeekSet) < 0)
      break;
    if (count - done >= kCacheWindowBytes) {
      // A read as large as a window goes straight to the caller.
      const std::int32_t got = img_read_mem(tiff_fh, dst + done, count - done);
      if (got <= 0) break;
      done += static_cast<std::uint32_t>(got);
      cache.pos += static_cast<std::uint32_t>(got);
      if (static_cast<std::uint32_t>(got) < count - done) break;
      continue;
    }
    cache_window &w = cache.window[0].used <= cache.window[1].used ? cache.window[0] : cache.window[1];
    const std::int32_t got = img_read_mem(tiff_fh, w.data, kCacheWindowBytes);
    w.start = cache.pos;
    w.size = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    w.used = ++cache.clock;
  }
  return static_cast<std::int32_t>(done);
}

// Seeks to an offset of the TIFF (relative to its header); false when it cannot be reached.
bool seek_tiff(std::uint64_t offset) {
  const std::uint64_t absolute = offset + tiff_offset;
  if (absolute > INT32_MAX) return false;
  if (cache.on) {
    cache.pos = absolute;
    return true;
  }
  return img_seek_mem(tiff_fh, static_cast<std::int32_t>(absolute), kSeekSet) >= 0;
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
  if (bytes == 2) return get16(b);
  return get32(b);
}

void build_xlat_buff() {
  // Each 4-bit half complemented: two white-is-zero pixels of a 4-bit row at once.
  for (int v = 0; v < 256; ++v)
    xlat_buff[v] = static_cast<std::uint8_t>((0xF0 - (v & 0xF0)) | (0x0F - (v & 0x0F)));
}

// The entry's fields brought to host order (the byte-order correction of a directory).
tiff_entry reorder_ifd(const std::uint8_t *raw) {
  tiff_entry e{};
  e.tag = get16(raw);
  e.type = get16(raw + 2);
  e.count = get32(raw + 4);
  e.value = get32(raw + 8);
  e.shorts[0] = get16(raw + 8);
  e.shorts[1] = get16(raw + 10);
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
  tiff_fields &t = tiffstruct;
  t.image_width = 0;
  t.image_length = 0;
  t.bits_per_sample = 1;
  t.compression = kCompressionNone;
  t.photometric = 1;
  t.fill_order = 1;
  t.strip_offsets = 0;
  t.samples_per_pixel = 1;
  t.rows_per_strip = kOneStrip;
  t.strip_byte_counts = 0;
  t.planar_config = 1;
  t.predictor = 1;
  t.colormap_offset = 0;
  offset_tag = tiff_entry{};
  std::uint32_t resolution_unit = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const tiff_entry e = reorder_ifd(raw + i * kIfdEntryBytes);
    if (e.type < kTypeByte || e.type > kTypeRational) continue;
    switch (e.tag) {
      case kTagImageWidth: t.image_width = read_tiff_offset(e); break;
      case kTagImageLength: t.image_length = read_tiff_offset(e); break;
      case kTagBitsPerSample: t.bits_per_sample = read_tiff_offset(e); break;
      case kTagCompression: t.compression = read_tiff_offset(e); break;
      case kTagPhotometric:
        t.photometric = read_tiff_offset(e);
        build_xlat_buff();
        break;
      case kTagFillOrder: t.fill_order = read_tiff_offset(e); break;
      case kTagStripOffsets:
        t.strip_offsets = read_tiff_offset(e);
        offset_tag = e;
        break;
      case kTagSamplesPerPixel: t.samples_per_pixel = read_tiff_offset(e); break;
      case kTagRowsPerStrip: t.rows_per_strip = read_tiff_offset(e); break;
      case kTagStripByteCounts: t.strip_byte_counts = read_tiff_offset(e); break;
      case kTagXResolution: t.x_resolution = read_resolution(e); break;
      case kTagYResolution: t.y_resolution = read_resolution(e); break;
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
    t.x_resolution = rescale_centimetres(t.x_resolution);
    t.y_resolution = rescale_centimetres(t.y_resolution);
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
    const std::int16_t signed_count = static_cast<std::int16_t>(get16(count_bytes));
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
    const std::uint32_t next = get32(next_bytes);
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
  if (img_read_mem(tiff_fh, header, sizeof header) != static_cast<std::int32_t>(sizeof header))
    return kNoMemory;
  byte_order = get_le16(header);
  if (tiff_fh == kMemoryStream) {
    stream_length = UINT32_MAX;
  } else {
    const std::int32_t length = img_filelength(tiff_fh);
    stream_length = length < 0 ? UINT32_MAX : static_cast<std::uint32_t>(length);
  }
  return walk_directories(get32(header + 4), page);
}

std::uint32_t bits_per_pixel() {
  return tiffstruct.bits_per_sample * tiffstruct.samples_per_pixel;
}

// The DIB bit count of the page: the product of the sample sizes, with 32 (CMYK or four 8-bit
// samples) delivered as 24.
int dib_bits() {
  const std::uint32_t bits = bits_per_pixel();
  return bits == 32 ? 24 : static_cast<int>(bits);
}

// Refuses pages that cannot be delivered: nothing to deliver, or sizes past every buffer and
// DIB this library would allocate.
bool tiff_dimensions_sane() {
  const tiff_fields &t = tiffstruct;
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
  const tiff_fields &t = tiffstruct;
  const int bits = dib_bits();
  std::memset(header, 0, kHeaderRecordBytes);
  fill_dib_header(header, static_cast<std::int32_t>(t.image_width),
                  static_cast<std::int32_t>(t.image_length), bits,
                  static_cast<std::uint32_t>(size_for_long(static_cast<std::int32_t>(t.image_width), bits)) *
                      t.image_length);
  // TIFF resolutions are per inch (or per centimetre times 2.567); they are passed on as found.
  put_le32(header + kBiXPelsPerMeter, t.x_resolution);
  put_le32(header + kBiYPelsPerMeter, t.y_resolution);
}

// The file's ColorMap: 2^bits red values, then green, then blue, 16 bits each; the table keeps
// their high bytes.
void tiff_get_palette(std::uint32_t offset, std::uint8_t *header) {
  const std::uint32_t n = 1u << dib_bit_count(header);
  auto *map = static_cast<std::uint8_t *>(img_fmalloc(6 * n));
  if (map == nullptr) return;
  if (seek_tiff(std::uint64_t{offset}))
    read_zero_filled(map, 6 * n);
  else
    std::memset(map, 0, 6 * n);
  std::uint8_t *table = header + kDibHeaderBytes;
  for (std::uint32_t i = 0; i < n; ++i) {
    table[4 * i + 0] = static_cast<std::uint8_t>(get16(map + 2 * (2 * n + i)) >> 8);
    table[4 * i + 1] = static_cast<std::uint8_t>(get16(map + 2 * (n + i)) >> 8);
    table[4 * i + 2] = static_cast<std::uint8_t>(get16(map + 2 * i) >> 8);
    table[4 * i + 3] = 0;
  }
  img_ffree(map);
}

std::uint32_t tiff_size_for_long(std::uint32_t width, int bits) {
  return static_cast<std::uint32_t>(size_for_long(static_cast<std::int32_t>(width), bits));
}

// Rows per strip as the decoders use it: one strip for the default, for any value not below
// the image length, and for 0.
std::uint32_t rows_per_strip() {
  const std::uint32_t rps = tiffstruct.rows_per_strip;
  return (rps == 0 || rps >= tiffstruct.image_length) ? tiffstruct.image_length : rps;
}

enum class strip_state { ready, empty, missing };

strip_state locate_strip(std::uint32_t strip) {
  const tiff_entry &e = offset_tag;
  if (strip >= e.count) return strip_state::missing;
  std::uint32_t offset;
  if (e.type == kTypeLong && e.count == 1) {
    offset = e.value;
  } else if (e.type == kTypeShort && e.count <= 2) {
    offset = e.shorts[strip];
  } else {
    // An array of SHORT or LONG offsets, element `strip`.
    const int element = e.type == kTypeShort ? 2 : 4;
    const std::uint64_t at = std::uint64_t{e.value} + std::uint64_t{strip} * element;
    std::uint8_t b[4] = {};
    if (at + tiff_offset + element > stream_length || !seek_tiff(at) ||
        tiff_read(b, static_cast<std::uint32_t>(element)) != element)
      return strip_state::missing;
    offset = element == 2 ? get16(b) : get32(b);
  }
  if (std::uint64_t{offset} + tiff_offset >= stream_length || !seek_tiff(offset))
    return strip_state::empty;
  return strip_state::ready;
}

// A window on the stream for the uncompressed and PackBits decoders: bytes are consumed from
// `pos`, and a refill keeps the unread ones and reads behind them.
struct strip_window {
  std::uint8_t *buf;
  std::uint32_t capacity;
  std::uint32_t pos;
  std::uint32_t end;
  bool at_eof;
};

void window_restart(strip_window &w) {
  w.pos = 0;
  w.end = 0;
  w.at_eof = false;
}

// Makes up to `need` bytes available at `pos`; answers how many are.
std::uint32_t window_ensure(strip_window &w, std::uint32_t need) {
  if (w.end - w.pos < need && !w.at_eof) {
    std::memmove(w.buf, w.buf + w.pos, w.end - w.pos);
    w.end -= w.pos;
    w.pos = 0;
    const std::uint32_t want = w.capacity - w.end;
    const std::int32_t got = tiff_read(w.buf + w.end, want);
    const std::uint32_t n = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    w.end += n;
    if (n < want) w.at_eof = true;
  }
  const std::uint32_t have = w.end - w.pos;
  return have < need ? have : need;
}

// The strips in file order. A chunky image has ceil(length / rows per strip) strips; a planar
// one has that many per plane, plane after plane, and its rows are numbered plane after plane
// too (row k × length + i is row i of plane k).
struct strip_plan {
  std::uint32_t per_plane;
  std::uint32_t rps;
  std::uint64_t strips;
};

strip_plan plan_strips() {
  strip_plan p;
  p.rps = rows_per_strip();
  p.per_plane = (tiffstruct.image_length - 1) / p.rps + 1;
  p.strips = std::uint64_t{p.per_plane} * planes;
  return p;
}

// First row and row count of strip s.
void strip_rows(const strip_plan &p, std::uint64_t s, std::uint32_t *first, std::uint32_t *rows) {
  const std::uint32_t length = tiffstruct.image_length;
  const std::uint32_t plane = static_cast<std::uint32_t>(s / p.per_plane);
  const std::uint32_t start = static_cast<std::uint32_t>(s % p.per_plane) * p.rps;
  *first = plane * length + start;
  *rows = length - start < p.rps ? length - start : p.rps;
}

// Decodes the image strip by strip with a row decoder that fills `row` (one decoded row) from
// the window and answers false when the stream had nothing for it.
template <typename RowDecoder>
int decode_strips(strip_window &w, std::uint8_t *row, RowDecoder decode_row) {
  const strip_plan p = plan_strips();
  for (std::uint64_t s = 0; s < p.strips; ++s) {
    const strip_state state = locate_strip(static_cast<std::uint32_t>(s));
    if (state == strip_state::missing) break;
    if (state != strip_state::ready) continue;
    std::uint32_t first, rows;
    strip_rows(p, s, &first, &rows);
    window_restart(w);
    for (std::uint32_t i = 0; i < rows; ++i) {
      if (!decode_row(w, row)) break;
      tiff_raster_to_dib(row, first + i);
    }
  }
  return 0;
}

int tiff_decomp_none() {
  const std::uint32_t r = decode_bytes;
  strip_window w{};
  w.capacity = r > kNoneBlockBytes ? r : kNoneBlockBytes;
  w.buf = static_cast<std::uint8_t *>(img_fmalloc(w.capacity));
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(r));
  if (w.buf == nullptr || row == nullptr) return kNoMemory;
  int rc = decode_strips(w, row, [r](strip_window &win, std::uint8_t *out) {
    const std::uint32_t have = window_ensure(win, r);
    if (have == 0) return false;
    std::memcpy(out, win.buf + win.pos, have);
    if (have < r) std::memset(out + have, 0, r - have);
    win.pos += have;
    return true;
  });
  img_ffree(row);
  img_ffree(w.buf);
  return rc;
}

int tiff_decomp_pack() {
  const std::uint32_t r = decode_bytes;
  strip_window w{};
  w.capacity = kPackBitsBlockBytes;
  w.buf = static_cast<std::uint8_t *>(img_fmalloc(w.capacity));
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(r));
  if (w.buf == nullptr || row == nullptr) return kNoMemory;
  int rc = decode_strips(w, row, [r](strip_window &win, std::uint8_t *out) {
    std::uint32_t produced = 0;
    bool any = false;
    while (produced < r) {
      if (window_ensure(win, 1) == 0) break;
      any = true;
      const std::uint32_t n = win.buf[win.pos++];
      if (n < 128) {
        // Copy the next n + 1 bytes.
        const std::uint32_t have = window_ensure(win, n + 1);
        const std::uint32_t keep = have < r - produced ? have : r - produced;
        std::memcpy(out + produced, win.buf + win.pos, keep);
        produced += keep;
        win.pos += have;
      } else if (n > 128) {
        // Repeat the next byte 257 - n times.
        if (window_ensure(win, 1) == 0) break;
        const std::uint8_t v = win.buf[win.pos++];
        const std::uint32_t run = 257 - n;
        const std::uint32_t keep = run < r - produced ? run : r - produced;
        std::memset(out + produced, v, keep);
        produced += keep;
      }
      // n = 128 is a no-op.
    }
    if (!any) return false;
    if (produced < r) std::memset(out + produced, 0, r - produced);
    return true;
  });
  img_ffree(row);
  img_ffree(w.buf);
  return rc;
}

int tiff_decomp_g3() {
  const tiff_fields &t = tiffstruct;
  auto *input = static_cast<std::uint8_t *>(img_fmalloc(kHufInputBytes));
  if (input == nullptr) return kNoMemory;
  if (initxlate() < 0) return kNoMemory;
  const strip_plan p = plan_strips();
  int rc = 0;
  for (std::uint64_t s = 0; s < p.strips; ++s) {
    const strip_state state = locate_strip(static_cast<std::uint32_t>(s));
    if (state == strip_state::missing) break;
    if (state != strip_state::ready) continue;
    std::uint32_t first, rows;
    strip_rows(p, s, &first, &rows);
    rc = t.compression == kCompressionG4
             ? decode_g4_huff_strip(input, rows, first, t.image_width, t.fill_order)
             : decode_g3_huff_strip(input, rows, first, t.image_width, t.compression, t.fill_order);
    if (rc < 0) break;
  }
  done_g3();
  img_ffree(input);
  return rc < 0 ? rc : 0;
}

int tiff_decomp_lzw() {
  auto *input = static_cast<std::uint8_t *>(img_fmalloc(kLzwInputBytes));
  auto *rows = static_cast<std::uint8_t *>(img_fmalloc(lzw_row_buffer_bytes(decode_bytes)));
  if (input == nullptr || rows == nullptr) return kNoMemory;
  int rc = initlzw();
  if (rc < 0) return rc;
  // The LZW decoder does not count rows per strip: a strip ends at its EOI, and the rows of
  // the next strip continue from there.
  const strip_plan p = plan_strips();
  std::uint32_t index = 0;
  for (std::uint64_t s = 0; index < virtual_rows && s < p.strips; ++s) {
    const strip_state state = locate_strip(static_cast<std::uint32_t>(s));
    if (state == strip_state::missing) break;
    if (state == strip_state::empty) continue;
    // An impossible code ends its strip only; the next strip is decoded as usual.
    decode_lzw_strip(tiff_fh, input, &index, decode_bytes, rows);
  }
  done_lzw();
  img_ffree(rows);
  img_ffree(input);
  return 0;
}

// Swaps the first and third byte of every whole triplet of src[0, r) into dst (which may be src):
// RGB to BGR. Two triplets at a time, in one 8-byte word whose last two bytes are stored back
// as they were read; the bytes left over are done one triplet at a time.
void swap_triplets(std::uint8_t *dst, const std::uint8_t *src, std::uint32_t r) {
  static_assert(std::endian::native == std::endian::little, "the word's first byte is its lowest");
  std::uint32_t i = 0;
  for (; i + 8 <= r; i += 6) {
    std::uint64_t v;
    std::memcpy(&v, src + i, 8);
    // Bytes 1 and 4 (green) and 6, 7 stay; 2, 5 move down to 0, 3 and 0, 3 up to 2, 5.
    v = (v & 0xFFFF00FF0000FF00u) | ((v >> 16) & 0x00000000FF0000FFu) | ((v << 16) & 0x0000FF0000FF0000u);
    std::memcpy(dst + i, &v, 8);
  }
  for (; i + 2 < r; i += 3) {
    const std::uint8_t first = src[i];
    dst[i] = src[i + 2];
    dst[i + 1] = src[i + 1];
    dst[i + 2] = first;
  }
  if (dst != src && i < r) std::memcpy(dst + i, src + i, r - i);
}

// Step 4 of the row conversion and the delivery: colour order, CMYK, then the raster callback.
// `swapped`: the row's triplets are in BGR order already.
void deliver_row(std::uint8_t *row, std::uint32_t index, bool swapped) {
  const tiff_fields &t = tiffstruct;
  const std::uint32_t width = t.image_width;
  const std::uint32_t r = chunky_bytes;
  std::uint32_t produced = r;
  std::int32_t size = row_size;
  if (t.samples_per_pixel >= 3) {
    if (t.photometric == kSeparated) {
      // C, M, Y, K to B, G, R in place; a channel outside the mask counts as 0.
      const int c_on = channel_mask & 1, m_on = channel_mask & 2, y_on = channel_mask & 4,
                k_on = channel_mask & 8;
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint8_t *s = row + 4 * x;
        const int cy = c_on ? s[0] : 0, mg = m_on ? s[1] : 0, ye = y_on ? s[2] : 0,
                  bk = k_on ? s[3] : 0;
        std::uint8_t *d = row + 3 * x;
        d[0] = static_cast<std::uint8_t>(ye + bk >= 255 ? 0 : 255 - (ye + bk));
        d[1] = static_cast<std::uint8_t>(mg + bk >= 255 ? 0 : 255 - (mg + bk));
        d[2] = static_cast<std::uint8_t>(cy + bk >= 255 ? 0 : 255 - (cy + bk));
      }
      produced = 3 * width;
      size = static_cast<std::int32_t>(tiff_size_for_long(width, 24));
    } else if (t.samples_per_pixel == 4 && t.bits_per_sample == 8) {
      // RGB with an extra sample: the extra sample is dropped.
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint8_t red = row[4 * x], green = row[4 * x + 1], blue = row[4 * x + 2];
        row[3 * x] = blue;
        row[3 * x + 1] = green;
        row[3 * x + 2] = red;
      }
      produced = 3 * width;
      size = static_cast<std::int32_t>(tiff_size_for_long(width, 24));
    } else if (!swapped) {
      swap_triplets(row, row, r);
    }
  }
  // Padding bytes of the delivered row are 0, never left-overs of the conversion.
  if (static_cast<std::uint32_t>(size) > produced)
    std::memset(row + produced, 0, static_cast<std::uint32_t>(size) - produced);
  tput_raster(row, tprivate_data, static_cast<int>(index), size);
}

// Steps 2 to 5 of the row conversion on the chunky row held in conv_row.
void convert_and_deliver(std::uint32_t index, bool swapped) {
  const tiff_fields &t = tiffstruct;
  const std::uint32_t r = chunky_bytes;
  std::uint8_t *row = conv_row;
  const std::uint32_t bits = bits_per_pixel();
  if (t.photometric == kWhiteIsZero) {
    if (t.bits_per_sample == 1) {
      for (std::uint32_t i = 0; i < r; ++i) row[i] ^= 0xFF;
    } else if (t.bits_per_sample == 4) {
      for (std::uint32_t i = 0; i < r; ++i) row[i] = xlat_buff[row[i]];
    } else if (bits == 8 || bits == 24) {
      for (std::uint32_t i = 0; i < r; ++i) row[i] = static_cast<std::uint8_t>(255 - row[i]);
    }
  }
  if (t.predictor == 2) {
    // Horizontal differencing, bytewise modulo 256: by pixel for three samples, else by byte
    // (also for four samples, as this library always has).
    if (t.samples_per_pixel == 3) {
      for (std::uint32_t i = 3; i + 2 < r; i += 3) {
        row[i] = static_cast<std::uint8_t>(row[i] + row[i - 3]);
        row[i + 1] = static_cast<std::uint8_t>(row[i + 1] + row[i - 2]);
        row[i + 2] = static_cast<std::uint8_t>(row[i + 2] + row[i - 1]);
      }
    } else {
      for (std::uint32_t i = 1; i < r; ++i) row[i] = static_cast<std::uint8_t>(row[i] + row[i - 1]);
    }
  }
  deliver_row(row, index, swapped);
}

bool spool_seek(std::uint64_t at) {
  return at <= INT32_MAX && _llseek(plane_fh, static_cast<LONG>(at), kSeekSet) >= 0;
}

void spool_flush() {
  if (spool_fill != 0 && spool_seek(spool_start))
    _lwrite(plane_fh, reinterpret_cast<const char *>(spool_buffer), spool_fill);
  spool_start += spool_fill;
  spool_fill = 0;
}

// Writes `n` bytes at spool offset `at`: gathered while the rows come in order.
void spool_write(std::uint64_t at, const std::uint8_t *data, std::uint32_t n) {
  if (spool_buffer == nullptr) {
    if (spool_seek(at)) _lwrite(plane_fh, reinterpret_cast<const char *>(data), n);
    return;
  }
  if (at != spool_start + spool_fill || spool_fill + n > kSpoolBlockBytes) {
    spool_flush();
    spool_start = at;
  }
  if (n > kSpoolBlockBytes) {
    if (spool_seek(at)) _lwrite(plane_fh, reinterpret_cast<const char *>(data), n);
    spool_start = at + n;
    return;
  }
  std::memcpy(spool_buffer + spool_fill, data, n);
  spool_fill += n;
}

// Rebuilds each row of a planar image with 8-bit samples from its planes in the spool, then
// converts and delivers it as the chunky row of the same pixels.
int recombine_planes() {
  const tiff_fields &t = tiffstruct;
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
          got = static_cast<std::int32_t>(_lread(plane_fh, block, static_cast<UINT>(block_bytes)));
        if (got < 0) got = 0;
        std::memset(block + got, 0, block_bytes - static_cast<std::uint32_t>(got));
      }
    }
    std::memset(conv_row, 0, conv_capacity);
    for (std::uint32_t k = 0; k < planes; ++k) {
      const std::uint8_t *plane = blocks + k * block_bytes + std::uint64_t{in_block} * width;
      std::uint8_t *out = conv_row + k;
      for (std::uint32_t x = 0; x < width; ++x, out += planes) *out = plane[x];
    }
    convert_and_deliver(i, false);
  }
  img_ffree(blocks);
  return 0;
}

int tiff_decompress() {
  // Only 8-bit planes are rebuilt into rows; other planar pages have nothing to deliver.
  if (planar_mode && tiffstruct.bits_per_sample != 8) return 0;
  switch (tiffstruct.compression) {
    case kCompressionNone: return tiff_decomp_none();
    case kCompressionPackBits: return tiff_decomp_pack();
    case kCompressionHuffman:
    case kCompressionG3:
    case kCompressionG4:
      // CCITT codes bilevel rows only; other depths are not decoded, like an unknown scheme.
      return bits_per_pixel() == 1 ? tiff_decomp_g3() : 0;
    case kCompressionLzw: return tiff_decomp_lzw();
    default: return 0;  // nothing this library decodes: no rows, and success
  }
}

}  // namespace

std::int32_t tiff_read(void *dst, std::uint32_t count) {
  if (cache.on) return cached_read(static_cast<std::uint8_t *>(dst), count);
  return img_read_mem(tiff_fh, dst, count);
}

bool position_tiff_file(std::uint32_t strip) { return locate_strip(strip) == strip_state::ready; }

bool tiff_raster_to_dib(const std::uint8_t *source, std::uint32_t index) {
  if (index >= virtual_rows) return false;
  if (planar_mode) {
    // Plane rows go to the spool, packed, plane after plane; the rows are built from it later.
    if (plane_fh != HFILE_ERROR) spool_write(std::uint64_t{index} * decode_bytes, source, decode_bytes);
    return true;
  }
  // With three samples the colour order can be swapped as the row is copied: the white-is-zero
  // step works byte by byte and the predictor triplet by triplet, so neither sees the difference.
  if (swap_on_copy)
    swap_triplets(conv_row, source, decode_bytes);
  else
    std::memcpy(conv_row, source, decode_bytes);
  if (clear_to > decode_bytes) std::memset(conv_row + decode_bytes, 0, clear_to - decode_bytes);
  convert_and_deliver(index, swap_on_copy);
  return true;
}

int open_tiff(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header_proc,
              int stream) {
  tput_raster = raster;
  tprivate_data = priv;
  tiff_fh = stream;
  plane_fh = HFILE_ERROR;
  channel_mask = (raster == raster_to_dib || priv == nullptr)
                     ? kAllChannels
                     : *static_cast<const std::uint8_t *>(priv);
  std::uint32_t page = 0;
  const bool page_form = position_is_page(position);
  if (page_form) {
    // The loader has placed the stream at the TIFF header already.
    tiff_offset = 0;
    page = static_cast<std::uint32_t>(position_page(position));
  } else {
    tiff_offset = position;
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
  const int bits = dib_bits();
  if (tiffstruct.colormap_offset != 0 && tiffstruct.photometric == kPalette && bits <= 8) {
    create_dib_palette(header, "tiff");
    tiff_get_palette(tiffstruct.colormap_offset, header);
  } else {
    create_dib_palette(header, "tiff");
  }
  int rc = header_proc(header, priv);
  if (rc < 0) {
    img_ffree(header);
    return rc;
  }

  const tiff_fields &t = tiffstruct;
  chunky_bytes = static_cast<std::uint32_t>((std::uint64_t{t.image_width} * bits_per_pixel() + 7) / 8);
  planar_mode = t.planar_config == 2 && t.samples_per_pixel > 1;
  planes = planar_mode ? t.samples_per_pixel : 1;
  decode_bytes = planar_mode
                     ? static_cast<std::uint32_t>((std::uint64_t{t.image_width} * t.bits_per_sample + 7) / 8)
                     : chunky_bytes;
  virtual_rows = std::uint64_t{t.image_length} * planes;
  row_size = static_cast<std::int32_t>(tiff_size_for_long(t.image_width, bits));
  std::uint64_t capacity = chunky_bytes;
  if (std::uint64_t(row_size) > capacity) capacity = static_cast<std::uint64_t>(row_size);
  // A CMYK row is read as four bytes per pixel whatever the samples say.
  if (t.samples_per_pixel >= 3 && 4 * std::uint64_t{t.image_width} > capacity)
    capacity = 4 * std::uint64_t{t.image_width};
  conv_capacity = static_cast<std::uint32_t>(capacity + kRowSlack);
  // Only a CMYK row is read past its decoded bytes (four per pixel whatever the samples say);
  // other rows' padding is cleared as they are delivered.
  clear_to = (t.samples_per_pixel >= 3 && t.photometric == kSeparated) ? conv_capacity : decode_bytes;
  swap_on_copy = !planar_mode && t.samples_per_pixel == 3 && t.photometric != kSeparated;
  conv_row = static_cast<std::uint8_t *>(img_fmalloc(conv_capacity));
  if (conv_row == nullptr) {
    img_ffree(header);
    return kNoMemory;
  }

  if (planar_mode) {
    OFSTRUCT of;
    plane_fh = OpenFile(kPlaneFile, &of, OF_CREATE);
    // Without the gathering buffer the rows are written one at a time.
    spool_buffer = static_cast<std::uint8_t *>(img_fmalloc(kSpoolBlockBytes));
    spool_start = 0;
    spool_fill = 0;
    if (plane_fh == HFILE_ERROR) {
      img_ffree(spool_buffer);
      spool_buffer = nullptr;
      img_ffree(conv_row);
      img_ffree(header);
      return kCreateError;
    }
  }
  rc = cache_begin() ? tiff_decompress() : kNoMemory;
  cache_end();
  if (plane_fh != HFILE_ERROR) {
    if (rc >= 0) rc = recombine_planes();
    _lclose(plane_fh);
    plane_fh = HFILE_ERROR;
    img_ffree(spool_buffer);
    spool_buffer = nullptr;
    OFSTRUCT of;
    OpenFile(kPlaneFile, &of, OF_DELETE);
  }
  img_ffree(conv_row);
  conv_row = nullptr;
  img_ffree(header);
  return rc < 0 ? rc : kReaderSuccess;
}

}  // namespace pxv

extern "C" int PXVAPI IMG_IsTiffCmyk(const char *file_name) {
  using namespace pxv;
  if (file_name == nullptr) return kNoMemory;
  OFSTRUCT of;
  HFILE file = OpenFile(file_name, &of, OF_READ);
  if (file == HFILE_ERROR) return kNoMemory;
  tiff_fh = file;
  tiff_offset = 0;
  const int ifds = read_tiff_directories(0);
  _lclose(file);
  if (ifds < 0) return kNoMemory;
  return (tiffstruct.samples_per_pixel >= 3 && tiffstruct.photometric == kSeparated) ? 1 : 0;
}
