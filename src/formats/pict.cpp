// The PICT reader: Macintosh pictures of version 1 and 2. The first bitmap operation of the
// picture fixes the image's width, bit count, colour table and height; every bitmap operation,
// the first included, is delivered as a band of rows below the previous ones. Drawing
// operations are passed over.
//
// Malformed-input policy:
// - The picture starts 512 bytes past the image's start. Fewer than 12 bytes there, version
//   bytes other than 11 01 (version 1) or 00 11 02 FF (version 2), or a picture that ends
//   without a bitmap give -3. A request for a page other than the first gives the no-page
//   code: the file holds one picture.
// - Opcodes: from 0xF0 up every opcode but 0x130 and 0x142 ends the picture (0xFF and 0x00FF
//   among them). Regions (clip and mask regions and the region operations), polygons and texts
//   are passed over by their own size or count; every other opcode by the table below, and
//   the long comment 0xA1 by its size. In version 2 every opcode starts at an even offset.
// - Bitmaps: a bit count with no DIB (a PixMap of 16 or 32 bits outside DirectBitsRect, a
//   DirectBitsRect of 1 to 8 bits), a packing with no documented layout, an empty band or one
//   wider than 32767 pixels gives -3 when it is the first bitmap, and ends the picture when it
//   is a later one. A later band of another bit count is decoded and not delivered; rows of
//   later bands of another width are cut or zero-padded to the image's row. Rows below the
//   image's height are decoded and not delivered.
// - Height: vRes (integer part) x picFrame.bottom / 72, with a vRes of 0 (as some writers
//   leave it) taken for 72; a height below 1 is the first band's, and one row short of the
//   first band is taken for the band's height.
// - Colour tables: entry k of the file gives table entry k; entries past 2^bits are read past,
//   entries the file does not give are black. BitMaps are white on black: 0 white, 1 black.
// - Rows: PackBits stops at the decoded row's length (a packet crossing it is consumed and cut);
//   rows with rowBytes below 8 are stored unpacked. When the data runs out the row being built
//   is delivered with zeros for its missing part and the picture ends. Rows of the image that
//   no band delivered are delivered as zeros when the picture ends.
// - Input: the pixel data is read through a window that grows to any row's length; each band
//   leaves the stream right after its data. On the memory stream, whose end is unknown, the
//   window takes no more than the packet or row at hand.
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

constexpr std::int64_t kPreambleBytes = 512;
constexpr std::int32_t kWindowBytes = 4000;
constexpr std::int32_t kMaxRowBytes = 0x7FFF;
constexpr std::int32_t kMaxWidth = 0x7FFF;
constexpr std::int32_t kOneByteCountMax = 250;
constexpr std::uint16_t kPixMapFlag = 0x8000;

enum : int {
  kOpBitsRect = 0x90,
  kOpBitsRgn = 0x91,
  kOpPackBitsRect = 0x98,
  kOpPackBitsRgn = 0x99,
  kOpDirectBitsRect = 0x9A,
  kOpLongComment = 0xA1,
  kOpFirstEnding = 0xF0,
};

// Data bytes that follow each opcode below 0xF0 whose data has a fixed length.
constexpr std::uint8_t pict_opcode[kOpFirstEnding] = {
    // 0x00 nop, clip, bkPat, txFont, txFace, txMode, spExtra, pnSize, pnMode, pnPat, fillPat,
    // ovSize, origin, txSize, fgColor, bkColor
    0, 10, 8, 2, 1, 2, 4, 4, 2, 8, 8, 4, 4, 2, 4, 4,
    // 0x10 txRatio, version, pixel patterns, rgb colours, pnLocHFrac, chExtra, reserved
    8, 1, 0, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x20 line, lineFrom, shortLine, shortLineFrom, reserved, texts, font name and reserved
    8, 4, 6, 2, 0, 0, 0, 0, 5, 2, 2, 3, 2, 2, 2, 2,
    // 0x30 rectangles, sameRect
    8, 8, 8, 8, 8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x40 rounded rectangles, sameRRect
    8, 8, 8, 8, 8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x50 ovals, sameOval
    8, 8, 8, 8, 8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x60 arcs, sameArc
    12, 12, 12, 12, 12, 12, 12, 12, 4, 4, 4, 4, 4, 4, 4, 4,
    // 0x70 polygons
    10, 10, 10, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x80 regions, sameRgn
    10, 10, 10, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x90 bitmap operations (read by their own layout), reserved
    0, 0, 4, 4, 4, 4, 4, 4, 0, 0, 4, 4, 4, 4, 4, 4,
    // 0xA0 short comment, long comment (read by its size), reserved
    2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0xB0 reserved
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0xC0 reserved (0xC0 with 24 bytes)
    24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0xD0 reserved
    4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
    // 0xE0 reserved
    4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
};

// The reader's input: the stream, the absolute offset of the next unread byte, and the pixel
// data window, whose first byte sits at `base` in the stream.
struct pict_input {
  int stream;
  std::int64_t at;
  std::int64_t opcodes_start;
  bool version2;
  bool exhausted;
  std::uint8_t *window;
  std::int32_t capacity, pos, end;
  std::int64_t base;
  std::int32_t rows_done;  // rows of the current band decoded so far
};
pict_input pictin;

bool read_field(std::uint8_t *dst, std::int32_t count) {
  const std::int32_t got = img_read_mem(pictin.stream, dst, static_cast<std::uint32_t>(count));
  if (got > 0) pictin.at += got;
  return got == count;
}

void skip_bytes(std::int64_t count) {
  pictin.at += count;
  if (pictin.at > INT32_MAX) pictin.at = INT32_MAX;
  img_seek_mem(pictin.stream, static_cast<std::int32_t>(pictin.at), kSeekSet);
}

// Passes over data that starts with its own 16-bit size (a region or a polygon).
void skip_sized() {
  std::uint8_t size[2];
  if (read_field(size, 2) && get_be16(size) > 2) skip_bytes(get_be16(size) - 2);
}

// Passes over a drawing opcode's data.
void skip_opcode_data(int op) {
  std::uint8_t b[4];
  if (op == 0x01 || (op >= 0x80 && op <= 0x87)) {
    skip_sized();  // regions
  } else if (op >= 0x70 && op <= 0x77) {
    skip_sized();  // polygons
  } else if (op >= 0x28 && op <= 0x2B) {
    // Texts: a position (4, 1, 1 or 2 bytes), then a counted string.
    const int position = op == 0x28 ? 4 : op == 0x2B ? 2 : 1;
    if (read_field(b, position) && read_field(b, 1)) skip_bytes(b[0]);
  } else if (op >= 0x2C && op <= 0x2F) {
    if (read_field(b, 2)) skip_bytes(get_be16(b));  // data preceded by its length
  } else if (op == kOpLongComment) {
    if (read_field(b, 4)) skip_bytes(get_be16(b + 2));  // kind, size
  } else {
    skip_bytes(pict_opcode[op]);
  }
}

// Makes `count` unread window bytes available if the stream has them. The window grows for a
// row longer than it; a file refills it in full, the memory stream by the bytes asked for.
bool need(std::int32_t count) {
  pict_input &in = pictin;
  if (in.end - in.pos >= count) return true;
  if (in.exhausted) return false;
  const std::int32_t unread = in.end - in.pos;
  if (count > in.capacity) {
    auto *grown = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(count) + kWindowBytes));
    if (grown == nullptr) {
      in.exhausted = true;
      return false;
    }
    std::memcpy(grown, in.window + in.pos, static_cast<std::size_t>(unread));
    img_ffree(in.window);
    in.window = grown;
    in.capacity = count + kWindowBytes;
  } else {
    std::memmove(in.window, in.window + in.pos, static_cast<std::size_t>(unread));
  }
  in.base += in.pos;
  in.pos = 0;
  in.end = unread;
  const std::int32_t want = in.stream == kMemoryStream ? count - unread : in.capacity - unread;
  const std::int32_t got = img_read_mem(in.stream, in.window + unread, static_cast<std::uint32_t>(want));
  if (got > 0) in.end += got;
  if (got < want) in.exhausted = true;
  return in.end - in.pos >= count;
}

// One bitmap operation's band, as the row decoders need it.
struct pict_band {
  std::int32_t row_bytes;     // stored bytes per unpacked row
  std::int32_t decoded;       // bytes a packed row decodes to
  int count_bytes;            // size of a packed row's byte count
  int unit;                   // bytes per PackBits unit
  bool packed;
  std::int32_t width, height;
  int pixel_size;             // bits per pixel in the file
  int pack_type, planes;      // direct pixels
  std::int32_t first_row;     // the image row of the band's top row
  std::int32_t image_height;
  std::int32_t out_bytes;     // the DIB's row
  bool deliver;
  std::uint8_t *row, *out;    // decoded row; converted row of at least out_bytes
};

// PackBits: decodes one row of `b.decoded` bytes after its byte count. False when the data ran
// out; the missing part of the row is then 0.
bool unpack_row(const pict_band &b) {
  std::memset(b.row, 0, static_cast<std::size_t>(b.decoded));
  if (!need(b.count_bytes)) return false;
  pictin.pos += b.count_bytes;
  std::int32_t filled = 0;
  while (filled < b.decoded) {
    if (!need(1)) return false;
    const int n = pictin.window[pictin.pos++];
    if (n == 128) continue;
    if (n < 128) {
      const std::int32_t bytes = (n + 1) * b.unit;
      if (!need(bytes)) return false;
      const std::int32_t fit = bytes < b.decoded - filled ? bytes : b.decoded - filled;
      std::memcpy(b.row + filled, pictin.window + pictin.pos, static_cast<std::size_t>(fit));
      pictin.pos += bytes;
      filled += fit;
    } else {
      if (!need(b.unit)) return false;
      const std::uint8_t *value = pictin.window + pictin.pos;
      pictin.pos += b.unit;
      for (int k = 0; k < 257 - n && filled < b.decoded; ++k)
        for (int u = 0; u < b.unit && filled < b.decoded; ++u) b.row[filled++] = value[u];
    }
  }
  return true;
}

// One stored row of `b.row_bytes` bytes; false, with zeros for the missing part, at the end.
bool read_row(const pict_band &b) {
  std::memset(b.row, 0, static_cast<std::size_t>(b.row_bytes));
  if (need(b.row_bytes)) {
    std::memcpy(b.row, pictin.window + pictin.pos, static_cast<std::size_t>(b.row_bytes));
    pictin.pos += b.row_bytes;
    return true;
  }
  const std::int32_t have = pictin.end - pictin.pos;
  std::memcpy(b.row, pictin.window + pictin.pos, static_cast<std::size_t>(have));
  pictin.pos += have;
  return false;
}

// Indexed rows: copied, 2-bit pixels widened to 4 bits (p0 p1 p2 p3 into p0p1 and p2p3).
void convert_indexed(const pict_band &b, std::int32_t length) {
  if (b.pixel_size != 2) {
    std::memcpy(b.out, b.row, static_cast<std::size_t>(length < b.out_bytes ? length : b.out_bytes));
    return;
  }
  for (std::int32_t i = 0; i < length && 2 * i + 1 < b.out_bytes; ++i) {
    const int s = b.row[i];
    b.out[2 * i] = static_cast<std::uint8_t>(((s >> 6) << 4) | ((s >> 4) & 3));
    b.out[2 * i + 1] = static_cast<std::uint8_t>((((s >> 2) & 3) << 4) | (s & 3));
  }
}

// Direct pixels into blue, green, red.
void convert_direct(const pict_band &b, std::int32_t length) {
  std::int32_t count = b.width;
  if (3 * count > b.out_bytes) count = b.out_bytes / 3;
  std::uint8_t *o = b.out;
  if (b.pixel_size == 16) {
    // 1-5-5-5 words: red, green, blue on their top five bits.
    for (std::int32_t x = 0; x < count && 2 * x + 1 < length; ++x, o += 3) {
      const int hi = b.row[2 * x], lo = b.row[2 * x + 1];
      o[0] = static_cast<std::uint8_t>((lo * 8) & 0xF8);
      o[1] = static_cast<std::uint8_t>(((lo >> 2) & 0x38) | ((hi * 64) & 0xC0));
      o[2] = static_cast<std::uint8_t>((hi * 2) & 0xF8);
    }
  } else if (b.pack_type == 1 || b.pack_type == 2) {
    // Chunky pixels: x R G B, or R G B without the pad byte.
    const int step = b.pack_type == 1 ? 4 : 3;
    for (std::int32_t x = 0; x < count && step * x + step <= length; ++x, o += 3) {
      const std::uint8_t *p = b.row + step * x + step - 3;
      o[0] = p[2];
      o[1] = p[1];
      o[2] = p[0];
    }
  } else {
    // Planes of one component each, alpha first when there are four.
    const std::int32_t plane = length / b.planes;
    const std::uint8_t *red = b.row + (b.planes - 3) * plane;
    for (std::int32_t x = 0; x < count && x < plane; ++x, o += 3) {
      o[0] = red[2 * plane + x];
      o[1] = red[plane + x];
      o[2] = red[x];
    }
  }
}

using row_reader = bool (*)(const pict_band &);
using row_converter = void (*)(const pict_band &, std::int32_t);

// Decodes every row of a band and delivers those inside the image. False when the data ran out.
bool decode_rows(const pict_band &b, row_reader read, row_converter convert, std::int32_t length,
                 PXV_RASTER_PROC raster, void *priv) {
  for (std::int32_t r = 0; r < b.height; ++r) {
    const bool complete = read(b);
    pictin.rows_done = r + 1;
    std::memset(b.out, 0, static_cast<std::size_t>(b.out_bytes));
    convert(b, length);
    const std::int64_t image_row = std::int64_t{b.first_row} + r;
    if (b.deliver && image_row < b.image_height)
      raster(b.out, priv, static_cast<int>(image_row), b.out_bytes);
    if (!complete) return false;
  }
  return true;
}

// PackBits rows of an indexed band.
bool pict_decomp(const pict_band &b, PXV_RASTER_PROC raster, void *priv) {
  return decode_rows(b, unpack_row, convert_indexed, b.decoded, raster, priv);
}

// Unpacked rows of an indexed band.
bool pict_decomp_unpacked(const pict_band &b, PXV_RASTER_PROC raster, void *priv) {
  return decode_rows(b, read_row, convert_indexed, b.row_bytes, raster, priv);
}

// Direct pixels of a DirectBitsRect band, packed or not.
bool pict_decomp_da(const pict_band &b, PXV_RASTER_PROC raster, void *priv) {
  return b.packed ? decode_rows(b, unpack_row, convert_direct, b.decoded, raster, priv)
                  : decode_rows(b, read_row, convert_direct, b.row_bytes, raster, priv);
}

// The layout of a direct band's rows from its PixMap; false when it has none documented.
// packType 0 is the pixel size's default; 1 stores rows unpacked; 2 stores 32-bit pixels as
// R G B without their pad byte, unpacked; 3 packs 16-bit words; 4 packs component planes.
bool direct_layout(pict_band *b, int cmp_count) {
  int pack = b->pack_type;
  if (pack == 0) pack = b->pixel_size == 16 ? 3 : 4;
  b->pack_type = pack;
  b->planes = cmp_count == 4 ? 4 : 3;
  if (b->pixel_size == 16 && (pack == 1 || pack == 3)) {
    b->unit = 2;
    b->decoded = b->row_bytes;
    b->packed = pack == 3 && b->row_bytes >= 8;
    b->count_bytes = b->decoded > kOneByteCountMax ? 2 : 1;
    return true;
  }
  if (b->pixel_size != 32 || pack < 1 || pack == 3 || pack > 4) return false;
  b->unit = 1;
  if (pack == 2) {
    if (3 * b->width > kMaxRowBytes) return false;
    b->row_bytes = 3 * b->width;
  }
  // The byte count's size follows the three-plane length, whatever the planes.
  b->count_bytes = b->row_bytes * 3 / 4 > kOneByteCountMax ? 2 : 1;
  b->decoded = pack == 4 ? b->row_bytes * b->planes / 4 : b->row_bytes;
  b->packed = pack == 4 && b->row_bytes >= 8;
  // Unpacked planes (a row of one pixel) are stored without the pad byte of their rowBytes.
  if (pack == 4 && !b->packed) b->row_bytes = b->decoded;
  return true;
}

struct pict_picture {
  std::uint8_t *header;  // the header record, made at the first bitmap
  std::int32_t frame_bottom;
  std::int32_t next_row;  // where the next band starts
  int bits;
  std::int32_t height, out_bytes;
  std::uint8_t *row, *out;
};

constexpr int kBandEnds = 0;   // the picture ends here
constexpr int kBandDone = 1;   // the band was read; the picture goes on

// Reads one bitmap operation and decodes its band. Returns kBandDone, kBandEnds, or a negative
// code for the first band.
int read_bitmap(int op, pict_picture *pic, PXV_RASTER_PROC raster, void *priv,
                PXV_HEADER_PROC header_proc) {
  std::uint8_t f[46];
  const bool first = pic->header == nullptr;
  const int refuse = first ? kBadData : kBandEnds;
  if (op == kOpDirectBitsRect && !read_field(f, 4)) return refuse;  // baseAddr
  if (!read_field(f, 2)) return refuse;
  const std::uint16_t row_field = get_be16(f);
  const bool pixmap = (row_field & kPixMapFlag) != 0;
  pict_band b{};
  b.row_bytes = row_field & kMaxRowBytes;
  std::int32_t image_height = pic->frame_bottom;
  int bits = 1;
  std::uint8_t table[8 * 256] = {};
  int table_entries = 2;
  if (pixmap) {
    if (!read_field(f, 44)) return refuse;
    b.width = std::int16_t(get_be16(f + 6)) - std::int16_t(get_be16(f + 2));
    b.height = std::int16_t(get_be16(f + 4)) - std::int16_t(get_be16(f + 0));
    b.pack_type = get_be16(f + 10);
    b.pixel_size = get_be16(f + 26);
    const int cmp_count = get_be16(f + 28);
    std::int32_t vres = std::int16_t(get_be16(f + 20));
    if (vres == 0) vres = 72;
    image_height = static_cast<std::int32_t>(std::int64_t{vres} * pic->frame_bottom / 72);
    if (image_height == b.height - 1) image_height = b.height;
    if (op == kOpDirectBitsRect) {
      bits = 24;
      if (!direct_layout(&b, cmp_count)) bits = 0;
    } else {
      bits = b.pixel_size == 2 ? 4 : b.pixel_size;
      if (!read_field(f, 8)) return refuse;
      // Entries past the 256 a table can hold are read past.
      const std::int32_t entries = std::int32_t(get_be16(f + 6)) + 1;
      table_entries = entries < 256 ? entries : 256;
      if (!read_field(table, 8 * table_entries)) return refuse;
      if (entries > 256) skip_bytes(8 * std::int64_t{entries - 256});
    }
  } else {
    if (!read_field(f, 8)) return refuse;
    b.width = std::int16_t(get_be16(f + 6)) - std::int16_t(get_be16(f + 2));
    b.height = std::int16_t(get_be16(f + 4)) - std::int16_t(get_be16(f + 0));
    b.pixel_size = 1;
    // White and black, as QuickDraw paints a BitMap's 0 and 1.
    put_be16(table + 2, 0xFFFF);
    put_be16(table + 4, 0xFFFF);
    put_be16(table + 6, 0xFFFF);
  }
  if (!read_field(f, 18)) return refuse;  // srcRect, dstRect, mode
  if (op == kOpBitsRgn || op == kOpPackBitsRgn) skip_sized();  // the mask region
  if (!dib_bit_count_supported(bits) || (op == kOpDirectBitsRect) != (bits == 24) ||
      b.width < 1 || b.width > kMaxWidth || b.height < 1)
    return refuse;
  if (bits != 24) {
    b.decoded = b.row_bytes;
    b.unit = 1;
    b.count_bytes = b.row_bytes > kOneByteCountMax ? 2 : 1;
    b.packed = b.row_bytes >= 8;
  }

  if (first) {
    if (image_height < 1) image_height = b.height;
    auto *header = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
    pic->row = static_cast<std::uint8_t *>(img_fmalloc(kMaxRowBytes + 1));
    pic->out = static_cast<std::uint8_t *>(img_fmalloc(3 * (kMaxWidth + 1)));
    pictin.window = static_cast<std::uint8_t *>(img_fmalloc(kWindowBytes));
    if (header == nullptr || pic->row == nullptr || pic->out == nullptr || pictin.window == nullptr)
      return kNoMemory;
    pictin.capacity = kWindowBytes;
    std::memset(header, 0, kHeaderRecordBytes);
    pic->bits = bits;
    pic->height = image_height;
    pic->out_bytes = size_for_long(b.width, bits);
    fill_dib_header(header, b.width, image_height, bits,
                    static_cast<std::uint32_t>(pic->out_bytes) * static_cast<std::uint32_t>(image_height));
    // Table entry k from the file's entry k: the high bytes of its red, green and blue.
    const int n = bits == 24 ? 0 : (1 << bits) < table_entries ? (1 << bits) : table_entries;
    for (int k = 0; k < n; ++k) {
      std::uint8_t *e = header + kDibHeaderBytes + 4 * k;
      e[0] = table[8 * k + 6];
      e[1] = table[8 * k + 4];
      e[2] = table[8 * k + 2];
    }
    const int accepted = header_proc(header, priv);
    if (accepted < 0) return accepted;
    pic->header = header;
  }

  b.first_row = pic->next_row;
  b.image_height = pic->height;
  b.out_bytes = pic->out_bytes;
  b.deliver = bits == pic->bits;
  b.row = pic->row;
  b.out = pic->out;
  pictin.pos = pictin.end = 0;
  pictin.rows_done = 0;
  pictin.base = pictin.at;
  bool complete;
  if (op == kOpDirectBitsRect) complete = pict_decomp_da(b, raster, priv);
  else if (b.packed) complete = pict_decomp(b, raster, priv);
  else complete = pict_decomp_unpacked(b, raster, priv);
  // The next band starts below the rows decoded; the stream goes on right after the data.
  const std::int64_t next = std::int64_t{b.first_row} + pictin.rows_done;
  pic->next_row = static_cast<std::int32_t>(next < INT32_MAX ? next : INT32_MAX);
  pictin.at = pictin.base;
  skip_bytes(pictin.pos);
  return complete ? kBandDone : kBandEnds;
}

// Rows that no band delivered are delivered as zeros.
void fill_missing_rows(const pict_picture &pic, PXV_RASTER_PROC raster, void *priv) {
  if (pic.header == nullptr || pic.next_row >= pic.height) return;
  std::memset(pic.out, 0, static_cast<std::size_t>(pic.out_bytes));
  for (std::int32_t r = pic.next_row; r < pic.height; ++r) raster(pic.out, priv, r, pic.out_bytes);
}

}  // namespace

int open_pict(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header_proc,
              int stream) {
  if (position_is_page(position)) return kNoPage;
  pictin = pict_input{};
  pictin.stream = stream;
  pictin.at = std::int64_t{position} + kPreambleBytes;
  skip_bytes(0);
  std::uint8_t start[12];
  if (!read_field(start, 12)) return kBadData;
  if (start[10] == 0x11 && start[11] == 0x01) {
    pictin.version2 = false;
  } else if (get_be16(start + 10) == 0x0011) {
    std::uint8_t version[2];
    if (!read_field(version, 2) || version[0] != 0x02 || version[1] != 0xFF) return kBadData;
    skip_bytes(26);  // the header opcode and its data
    pictin.version2 = true;
  } else {
    return kBadData;
  }
  pictin.opcodes_start = pictin.at - (pictin.version2 ? 30 : 2);

  pict_picture pic{};
  pic.frame_bottom = std::int16_t(get_be16(start + 6));
  for (;;) {
    int op;
    std::uint8_t code[2];
    if (pictin.version2) {
      if ((pictin.at - pictin.opcodes_start) & 1) skip_bytes(1);
      if (!read_field(code, 2)) break;
      op = get_be16(code);
    } else {
      if (!read_field(code, 1)) break;
      op = code[0];
    }
    if (op == kOpBitsRect || op == kOpBitsRgn || op == kOpPackBitsRect || op == kOpPackBitsRgn ||
        op == kOpDirectBitsRect) {
      const int rc = read_bitmap(op, &pic, raster, priv, header_proc);
      if (rc < 0) return rc;
      if (rc == kBandEnds) break;
    } else if (op >= kOpFirstEnding) {
      if (op != 0x130 && op != 0x142) break;
    } else {
      skip_opcode_data(op);
    }
  }
  if (pic.header == nullptr) return kBadData;
  fill_missing_rows(pic, raster, priv);
  return kReaderSuccess;
}

}  // namespace pxv
