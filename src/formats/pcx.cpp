// The PCX reader: run-length coded scan lines of one to four planes, the colour table from the
// header or from the 256-colour trailer, delivered as a 1-, 4-, 8- or 24-bit DIB.
//
// Malformed-input policy:
// - A header shorter than 128 bytes gives -2. A request for a page other than the first gives
//   the no-page code: the file holds one image.
// - Plane layouts other than one 1-, 4- or 8-bit plane, three or four 1-bit planes (four 4-bit
//   planes are read as four 1-bit ones) and three 8-bit planes give -3 before the header
//   callback: no other layout has a DIB to go into. So do an empty or negative width or height,
//   and a bytes-per-line value too small to hold the width, which would leave part of every row
//   without pixels, or one more than 64 bytes above what the width needs (decoding work would
//   no longer be bounded by the image's size). Padding within that is read and not delivered.
// - Runs: a run that crosses the end of a scan line is cut there and its rest discarded; the
//   next line starts with the next byte of the file. A run of count 0 writes nothing.
// - Truncated data is not detected: the input buffer's unread part reads as 0, so the rows past
//   the end of the data come out as pixel value 0.
// - Oversize dimensions are the header callback's to refuse (the library's refuses a DIB it
//   cannot allocate with -1); every buffer here is sized from the header, up to a few hundred
//   kilobytes at most.
// - The 256-colour trailer is the last 768 bytes of the stream, whatever the byte before them.
//   A file shorter than that keeps a black table. On the memory stream, which has no known end,
//   the seek from the end lands at the stream's start (the documented behaviour of memory
//   streams), so the table comes from the first 768 bytes.
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/pcx.h"

namespace pxv {

namespace {

// Set when a 2-colour table whose colours are swapped (light, then black) has been replaced by
// black and white: every 1-bit line is then inverted so that the picture keeps its look.
int invertflag = 0;

constexpr int kInputBytes = 10000;
constexpr int kTrailerBytes = 768;
constexpr std::uint8_t kRunFlags = 0xC0;
constexpr std::uint8_t kRunCount = 0x3F;
// Writers pad plane lines to an even or a 4-byte count; a line much longer than its pixels would
// only make a tiny image cost as much work as a huge one, and is refused.
constexpr int kMaxLinePadding = 64;

// The run-length decoder's input: a buffer filled from the stream in blocks of up to 10000
// bytes. The memory stream has no known end, so there a block is never larger than the data
// still to come must be: every input byte yields at most 63 values, so a complete image still
// holds at least (values still wanted) / 63 bytes, and reading that many cannot leave it.
struct pcx_input {
  int stream;
  std::uint8_t *buf;
  int next;
  int have;
  std::uint64_t values_wanted;  // values the rows still to be finished take
  bool ended;                   // a read came back short: every byte from here on reads as 0
};

void fill_input(pcx_input *in) {
  std::uint64_t want = kInputBytes;
  if (in->stream == kMemoryStream) {
    want = (in->values_wanted + kRunCount - 1) / kRunCount;
    if (want < 1) want = 1;
    if (want > kInputBytes) want = kInputBytes;
  }
  std::int32_t got = img_read_mem(in->stream, in->buf, static_cast<std::uint32_t>(want));
  if (got < 0) got = 0;
  if (static_cast<std::uint64_t>(got) < want) in->ended = true;
  std::memset(in->buf + got, 0, static_cast<std::size_t>(want - static_cast<std::uint64_t>(got)));
  in->next = 0;
  in->have = static_cast<int>(want);
}

std::uint8_t next_byte(pcx_input *in) {
  if (in->next == in->have) fill_input(in);
  return in->buf[in->next++];
}

// Collects one scan line of `total` bytes; a run that crosses its end is cut there.
void read_scan_line(pcx_input *in, std::uint8_t *line, int total) {
  int filled = 0;
  const std::uint64_t wanted_at_start = in->values_wanted;
  while (filled < total) {
    // Past the end of a cut-off file the rest of the line is zeros (a 0 byte is the value 0):
    // set at once, since a 128-byte header can ask for a gigabyte of them.
    if (in->ended && in->next == in->have) {
      std::memset(line + filled, 0, static_cast<std::size_t>(total - filled));
      break;
    }
    in->values_wanted = wanted_at_start - static_cast<std::uint64_t>(filled);
    const std::uint8_t b = next_byte(in);
    if ((b & kRunFlags) == kRunFlags) {
      int count = b & kRunCount;
      const std::uint8_t value = next_byte(in);
      if (count > total - filled) count = total - filled;
      std::memset(line + filled, value, static_cast<std::size_t>(count));
      filled += count;
    } else {
      line[filled++] = b;
    }
  }
  in->values_wanted = wanted_at_start - static_cast<std::uint64_t>(total);
}

// The bytes one plane needs for `width` pixels of `bits` bits.
std::int64_t plane_bytes_needed(std::int64_t width, int bits) { return (width * bits + 7) / 8; }

}  // namespace

// Plane merging: each plane bit becomes one bit value of a 4-bit pixel; two pixels per output
// byte, the first in the high half. Plane 0 writes the bytes outright, the others OR into them.
void pcx_fill_red(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line) {
  for (int i = 0; i < bytes_per_line; ++i) {
    const std::uint8_t b = plane[i];
    for (int k = 0; k < 4; ++k) {
      const int pair = (b >> (6 - 2 * k)) & 3;
      out[4 * i + k] = static_cast<std::uint8_t>(((pair >> 1) << 4) | (pair & 1));
    }
  }
}

namespace {

void fill_plane_bit(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line, int value) {
  for (int i = 0; i < bytes_per_line; ++i) {
    const std::uint8_t b = plane[i];
    for (int k = 0; k < 4; ++k) {
      const int pair = (b >> (6 - 2 * k)) & 3;
      out[4 * i + k] |= static_cast<std::uint8_t>((((pair >> 1) << 4) | (pair & 1)) * value);
    }
  }
}

}  // namespace

void pcx_fill_green(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line) {
  fill_plane_bit(plane, out, bytes_per_line, 2);
}
void pcx_fill_blue(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line) {
  fill_plane_bit(plane, out, bytes_per_line, 4);
}
void pcx_fill_inten(const std::uint8_t *plane, std::uint8_t *out, int bytes_per_line) {
  fill_plane_bit(plane, out, bytes_per_line, 8);
}

void create_pcx_palette(const std::uint8_t *pcx_header, const std::uint8_t *rgb,
                        std::uint8_t *header) {
  const int depth = dib_bit_count(header);
  if (depth == 24) return;
  if (get_le16(pcx_header + kPcxPaletteInfo) == 2) {
    create_dib_palette(header, "tiff");
    return;
  }
  const int version = pcx_header[kPcxVersion];
  if (version == 3 || version == 0) {
    create_dib_palette(header, "pcx");
    return;
  }
  std::uint8_t *table = header + kDibHeaderBytes;
  const int entries = 1 << depth;
  for (int i = 0; i < entries; ++i) {
    table[4 * i + 0] = rgb[3 * i + 2];
    table[4 * i + 1] = rgb[3 * i + 1];
    table[4 * i + 2] = rgb[3 * i + 0];
    table[4 * i + 3] = 0;
  }
  if (depth != 1) return;
  auto black = [table](int i) { return table[4 * i] == 0 && table[4 * i + 1] == 0 && table[4 * i + 2] == 0; };
  const bool all_lit0 = table[0] != 0 && table[1] != 0 && table[2] != 0;
  if (black(1) && all_lit0) {
    invertflag = 1;
    create_dib_palette(header, "pcx");
  } else if (black(0) && black(1)) {
    create_dib_palette(header, "pcx");
  }
}

int pcx_decomp(int stream, int y_min, int y_max, int bytes_per_line, int planes, int depth,
               const std::uint8_t *header, PXV_RASTER_PROC raster, void *priv) {
  const int width = dib_width(header);
  const int height = static_cast<std::int16_t>(y_max - y_min + 1);
  const std::int32_t r = size_for_long(width, depth);
  if (height <= 0 || r <= 0 || bytes_per_line <= 0) return kNoMemory;
  // The output line holds a merged or interleaved line whatever the padding of the planes.
  const std::size_t out_bytes =
      static_cast<std::size_t>(r > 4 * bytes_per_line ? r : 4 * bytes_per_line) + 100;
  const std::size_t scan_bytes = 4 * static_cast<std::size_t>(bytes_per_line) + 300;
  auto *out = static_cast<std::uint8_t *>(img_fmalloc(out_bytes));
  auto *scan = static_cast<std::uint8_t *>(img_fmalloc(scan_bytes));
  auto *input = static_cast<std::uint8_t *>(img_fmalloc(kInputBytes));
  if (out == nullptr || scan == nullptr || input == nullptr) return kNoMemory;
  std::memset(out, 0, out_bytes);
  std::memset(scan, 0, scan_bytes);
  const int total = bytes_per_line * planes;
  pcx_input in{stream, input, 0, 0, static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(total), false};

  const std::uint8_t *plane0 = scan;
  const std::uint8_t *plane1 = planes > 1 ? scan + bytes_per_line : scan;
  const std::uint8_t *plane2 = planes > 2 ? scan + 2 * bytes_per_line : scan;
  const std::uint8_t *plane3 = planes > 3 ? scan + 3 * bytes_per_line : scan;
  for (int y = 0; y < height; ++y) {
    read_scan_line(&in, scan, total);
    const std::uint8_t *row = scan;
    if (depth == 4 && planes > 1) {
      pcx_fill_red(plane0, out, bytes_per_line);
      pcx_fill_green(plane1, out, bytes_per_line);
      pcx_fill_blue(plane2, out, bytes_per_line);
      if (planes == 4) pcx_fill_inten(plane3, out, bytes_per_line);
      row = out;
    } else if (depth == 1) {
      if (invertflag)
        for (int i = 0; i < total; ++i) scan[i] ^= 0xFF;
    } else if (depth == 24) {
      for (int x = 0; x < bytes_per_line; ++x) {
        out[3 * x + 0] = plane2[x];
        out[3 * x + 1] = plane1[x];
        out[3 * x + 2] = plane0[x];
      }
      row = out;
    }
    raster(const_cast<std::uint8_t *>(row), priv, y, r);
  }
  return kReaderSuccess;
}

int open_pcx(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header_proc,
             int stream) {
  invertflag = 0;
  // A PCX file holds one image: a page request never reaches a seek to the flagged value.
  if (position_is_page(position)) return kNoPage;
  std::uint8_t pcx[kPcxHeaderBytes];
  img_seek_mem(stream, static_cast<std::int32_t>(position), kSeekSet);
  if (img_read_mem(stream, pcx, kPcxHeaderBytes) != kPcxHeaderBytes) return kReadError;

  int bits = pcx[kPcxBitsPerPixel];
  const int planes = pcx[kPcxPlanes];
  // Four planes of 4 bits are EGA files whose writers meant four 1-bit planes.
  if (planes == 4 && bits == 4) bits = 1;
  const int depth = (planes == 3 && bits == 1) ? 4 : bits * planes;
  const bool layout_known = (planes == 1 && (bits == 1 || bits == 4 || bits == 8)) ||
                            ((planes == 3 || planes == 4) && bits == 1) ||
                            (planes == 3 && bits == 8);
  const int width = static_cast<std::int16_t>(get_le16(pcx + kPcxXMax) - get_le16(pcx + kPcxXMin) + 1);
  const int height = static_cast<std::int16_t>(get_le16(pcx + kPcxYMax) - get_le16(pcx + kPcxYMin) + 1);
  const int bytes_per_line = get_le16(pcx + kPcxBytesPerLine);
  const std::int64_t needed = plane_bytes_needed(width, bits);
  if (!layout_known || width <= 0 || height <= 0 || bytes_per_line < needed ||
      bytes_per_line > needed + kMaxLinePadding)
    return kBadData;

  auto *header = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (header == nullptr) return kNoMemory;
  std::memset(header, 0, kHeaderRecordBytes);
  fill_dib_header(header, width, height, depth,
                  static_cast<std::uint32_t>(height) * static_cast<std::uint32_t>(size_for_long(width, depth)));

  if (depth <= 4) {
    create_pcx_palette(pcx, pcx + kPcxColourTable, header);
  } else if (depth == 8) {
    std::uint8_t trailer[kTrailerBytes] = {};
    if (img_seek_mem(stream, -kTrailerBytes, kSeekEnd) >= 0) img_read_mem(stream, trailer, kTrailerBytes);
    put_le16(pcx + kPcxPaletteInfo, 0);
    create_pcx_palette(pcx, trailer, header);
  }

  img_seek_mem(stream, static_cast<std::int32_t>(position + kPcxHeaderBytes), kSeekSet);
  const int accepted = header_proc(header, priv);
  if (accepted < 0) return accepted;
  const int rc = pcx_decomp(stream, get_le16(pcx + kPcxYMin), get_le16(pcx + kPcxYMax), bytes_per_line,
                            planes, depth, header, raster, priv);
  return rc < 0 ? rc : kReaderSuccess;
}

}  // namespace pxv
