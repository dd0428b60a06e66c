// The EPS writer: a plain-text Encapsulated PostScript file (no binary header, no preview) that
// draws the image with one line of hexadecimal digits per row, top row first. Every line ends
// with CR LF.
//
// - 1-bit images go to the `image` operator with their bits as stored: a 1 bit prints white,
//   a 0 bit black, whatever the colour table says.
// - 8-bit images go to `colorimage` through a small program that looks each byte up in a
//   256-entry table held in the PostScript itself.
// - 4-bit images take the 8-bit program: each pixel is widened to a byte, under a 16-entry
//   table. The program looks up one entry per byte, so packed nibbles would not draw.
// - 24-bit images skip table and program: their rows go to `colorimage` as red, green, blue.
//
// Write results are not checked: the writer answers 0, or -1 when a buffer cannot be had.
#include <cstring>
#include <utility>

#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

// The colour header and program, in order.
const char *const postscript_3_init[] = {
    "%!PS-Adobe-3.0 EPSF-3.0",
    "/pal <",
    "> def",
    "/rgbstr %d string def",
    "/read_raw {currentfile picstr readhexstring pop} def",
    "/read8_24 {",
    "  read_raw",
    "  /rgb_ndx 0 def",
    "  {",
    "     3 mul pal exch 3 getinterval rgbstr exch rgb_ndx exch putinterval",
    "     /rgb_ndx rgb_ndx 3 add def",
    "  } forall rgbstr",
    "} def",
    "%d %d %d [%d 0 0 %d 0 %d] {read8_24} false 3 colorimage",
};
enum { kInitFirstLine, kPalOpen, kPalClose, kRgbstr, kProgramFirst, kProgramLast = 12, kColorImage };

const char *const postscript_lineheader[] = {
    "%!PS-Adobe-2.0 - EPSF 2.0",
    "gsave",
    "/picstr %d string def",
    "0 0 translate",
    "%d %d scale",
    "%d %d %d [%d 0 0 %d 0 %d] {currentfile picstr readhexstring pop} image",
};
enum { kLineFirstLine, kGsave, kPicstr, kTranslate, kScale, kImage };

// The creator and end-of-comments lines are written as they stand, the bounding box through
// wsprintfA: each begins with two percent signs in the file.
const char *const postscript_bounding_box[] = {
    "%%Creator: Pictovane",
    "%%%%BoundingBox: 0 0 %d %d",
    "%%EndComments",
};
const char postscript_restore[] = "grestore";
const char postscript_formfeed[] = "showpage";
const char hex[] = "0123456789ABCDEF";

// 24-bit rows need no table: they are read straight into picstr.
const char kColorImage24[] =
    "%d %d 8 [%d 0 0 %d 0 %d] {currentfile picstr readhexstring pop} false 3 colorimage";

const char kLineEnd[] = "\r\n";
constexpr int kEntriesPerLine = 16;

void write_line(int stream, const char *text) {
  img_write_mem(stream, text, static_cast<std::uint32_t>(std::strlen(text)));
  img_write_mem(stream, kLineEnd, 2);
}

// A line with numbers in it; the longest expands to well under wsprintfA's 1024 bytes.
template <typename... Args>
void write_format(int stream, const char *format, Args... values) {
  char line[1024];
  wsprintfA(line, format, static_cast<int>(values)...);
  write_line(stream, line);
}

// The colour table as six-digit red, green, blue entries, 16 to a line. Entries the save
// header does not hold are black.
void write_palette(int stream, const std::uint8_t *header, int entries) {
  const std::uint32_t have = Palette_Size(header) / 4;
  char line[kEntriesPerLine * 7];
  int n = 0;
  for (int k = 0; k < entries; ++k) {
    const std::uint8_t *e = header + kDibHeaderBytes + 4 * k;
    const bool given = static_cast<std::uint32_t>(k) < have;
    for (int c = 2; c >= 0; --c) {
      const std::uint8_t v = given ? e[c] : 0;
      line[n++] = hex[v >> 4];
      line[n++] = hex[v & 15];
    }
    if (k % kEntriesPerLine == kEntriesPerLine - 1 || k == entries - 1) {
      img_write_mem(stream, line, static_cast<std::uint32_t>(n));
      img_write_mem(stream, kLineEnd, 2);
      n = 0;
    } else {
      line[n++] = ' ';
    }
  }
}

// Spreads a row of 4-bit pixels to one byte each, in place: pixel i lands at byte i, which lies
// at or past the byte i / 2 it comes from, so going from the right end reads every byte first.
void widen_nibbles(std::uint8_t *row, std::int32_t width) {
  for (std::int32_t i = width - 1; i >= 0; --i)
    row[i] = static_cast<std::uint8_t>(i % 2 == 0 ? row[i / 2] >> 4 : row[i / 2] & 15);
}

// Blue, green, red as the DIB stores them to red, green, blue.
void swap_red_blue(std::uint8_t *row, std::int32_t width) {
  for (std::int32_t i = 0; i < width; ++i) std::swap(row[3 * i], row[3 * i + 2]);
}

}  // namespace

// Bytes of one row in the file's data: no padding.
std::int32_t eps_size_for_long(std::int32_t width, int bits) {
  switch (bits) {
    case 1: return static_cast<std::int32_t>((std::int64_t{width} + 7) / 8);
    case 4: return static_cast<std::int32_t>((std::int64_t{width} + 1) / 2);
    case 24: {
      const std::int64_t bytes = std::int64_t{width} * 3;
      return bytes > INT32_MAX ? -1 : static_cast<std::int32_t>(bytes);
    }
    default: return width;
  }
}

// The row's bytes as upper-case hexadecimal, high nibble first, written without a line break.
// Written directly, not through wsprintfA, which stops at 1024 bytes.
void save_eps_raster(int stream, const std::uint8_t *bytes, char *hex_buffer, std::int32_t pixels,
                     int bits) {
  const std::int32_t count = eps_size_for_long(pixels, bits);
  for (std::int32_t i = 0; i < count; ++i) {
    hex_buffer[2 * i] = hex[bytes[i] >> 4];
    hex_buffer[2 * i + 1] = hex[bytes[i] & 15];
  }
  img_write_mem(stream, hex_buffer, 2 * static_cast<std::uint32_t>(count));
}

int save_eps_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  const int bits = dib_bit_count(header);
  // Bit count of the rows as the file holds them: 4-bit pixels are widened to bytes.
  const int data_bits = bits == 4 ? 8 : bits;
  const std::int32_t stored = size_for_long(width, bits);
  const std::int32_t data_bytes = eps_size_for_long(width, data_bits);
  // A row too long for a 32-bit count cannot be buffered: the writer's one failure.
  if (stored < 0 || data_bytes < 0) return kNoMemory;

  write_line(stream, bits == 1 ? postscript_lineheader[kLineFirstLine]
                               : postscript_3_init[kInitFirstLine]);
  write_line(stream, postscript_bounding_box[0]);
  write_format(stream, postscript_bounding_box[1], width, height);
  write_line(stream, postscript_bounding_box[2]);
  write_line(stream, postscript_lineheader[kGsave]);
  write_format(stream, postscript_lineheader[kPicstr], data_bytes);
  write_line(stream, postscript_lineheader[kTranslate]);
  write_format(stream, postscript_lineheader[kScale], width, height);

  const std::size_t buffer_bytes =
      static_cast<std::size_t>(stored > data_bytes ? stored : data_bytes);
  auto *hex_buffer = static_cast<char *>(img_fmalloc(2 * buffer_bytes + 100));
  if (hex_buffer == nullptr) return kNoMemory;

  if (bits == 1) {
    write_format(stream, postscript_lineheader[kImage], width, height, 1, width, -height, height);
  } else if (bits == 24) {
    write_format(stream, kColorImage24, width, height, width, -height, height);
  } else {
    write_line(stream, postscript_3_init[kPalOpen]);
    write_palette(stream, header, 1 << bits);
    write_line(stream, postscript_3_init[kPalClose]);
    write_format(stream, postscript_3_init[kRgbstr], 3 * std::int64_t{data_bytes});
    for (int i = kProgramFirst; i <= kProgramLast; ++i) write_line(stream, postscript_3_init[i]);
    write_format(stream, postscript_3_init[kColorImage], width, height, data_bits, width, -height,
                 height);
  }

  auto *row = static_cast<std::uint8_t *>(img_fmalloc(buffer_bytes + 100));
  if (row == nullptr) return kNoMemory;
  for (std::int32_t r = height - 1; r >= 0; --r) {
    fetch(priv, row, r, stored);
    if (bits == 4) widen_nibbles(row, width);
    if (bits == 24) swap_red_blue(row, width);
    save_eps_raster(stream, row, hex_buffer, width, data_bits);
    img_write_mem(stream, kLineEnd, 2);
  }
  write_line(stream, postscript_restore);
  write_line(stream, postscript_formfeed);
  return kOk;
}

}  // namespace pxv
