// The clipboard's bitmap written to a BMP file: a packed DIB (CF_DIB) when the clipboard has one,
// else a device-dependent bitmap (CF_BITMAP) read row by row through GDI. No image handle is
// made; the host loads the file like any other.
//
// What is written, and what is refused:
// - The file is an uncompressed BMP with a 40-byte info header: the bits start at 54 + the
//   colour table, and the file size is height x row bytes + that offset.
// - A packed DIB's header and table are written as they stand, 108- and 124-byte headers cut to
//   their first 40 bytes (biSize 40). 16- and 32-bit DIBs, BI_RGB or BI_BITFIELDS, become 24-bit
//   files; so do 16- and 32-bit device bitmaps.
// - Refused with -5, before any file is made: a header size other than 40, 108 or 124, biWidth
//   or biHeight below 1 (top-down DIBs included), a bit count other than 1, 4, 8, 16, 24, 32,
//   compression (other than BI_BITFIELDS at 16 and 32 bits), biClrUsed beyond 2^bits (256 above
//   8 bits), a header, table or rows that run past the block's size, a file past 4 GiB.
// - Every block, the device context and the clipboard block's lock are had before the file is
//   created, so a refusal or a failed allocation leaves no file (and an existing one as it was).
//   Writes are not checked: a short write still answers 1.
#include <cstring>
#include <initializer_list>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"
#include "platform/win32.h"

namespace pxv {

namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kBitsOffset = kFileHeaderBytes + kDibHeaderBytes;  // 54
constexpr std::uint32_t kV4HeaderBytes = 108;
constexpr std::uint32_t kV5HeaderBytes = 124;
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kMaskOffset = 40;  // the red, green, blue masks, in every header size
constexpr std::uint32_t kRowSlack = 10;
// A device bitmap's header block: the info header, 256 table entries and 4 bytes to spare.
constexpr std::uint32_t kDeviceHeaderBytes = kHeaderRecordBytes + 4;
constexpr int kWritten = 1;
// A file that cannot be created answers -1, like a block that cannot be had, not -8.
constexpr int kFileFailed = kNoMemory;

// One colour channel of a direct-colour pixel: the mask's bits shifted down and scaled to
// 0..255 as value x 255 / (the mask's largest value), the rule Pillow reads 5-bit fields by.
struct channel {
  std::uint32_t mask;
  int shift;
};

channel make_channel(std::uint32_t mask) {
  int shift = 0;
  while (mask != 0 && ((mask >> shift) & 1u) == 0) ++shift;
  return {mask, shift};
}

std::uint8_t channel_value(const channel &c, std::uint32_t pixel) {
  if (c.mask == 0) return 0;
  const std::uint64_t top = c.mask >> c.shift;
  return static_cast<std::uint8_t>(((pixel & c.mask) >> c.shift) * std::uint64_t{255} / top);
}

// A locked movable block of the write.
struct work_block {
  HGLOBAL handle;
  std::uint8_t *data;
};

bool take_block(work_block *b, std::size_t bytes) {
  b->handle = GlobalAlloc(GHND, bytes);
  b->data = b->handle != nullptr ? static_cast<std::uint8_t *>(GlobalLock(b->handle)) : nullptr;
  return b->data != nullptr;
}

void give_block(work_block *b) {
  if (b->handle == nullptr) return;
  if (b->data != nullptr) GlobalUnlock(b->handle);
  GlobalFree(b->handle);
  *b = {};
}

// The write in progress: what it needs, had before the file is created (see the top).
struct clip_write {
  std::uint8_t header[kDibHeaderBytes];  // the info header as written
  std::uint32_t table_bytes;             // the colour table as written
  std::int32_t width, height, row_bytes;
  work_block row;
  // From a packed DIB: the locked clipboard block, its table and rows.
  HGLOBAL block;
  const std::uint8_t *table;
  const std::uint8_t *rows;
  std::uint64_t source_row_bytes;
  int source_bits;
  channel red, green, blue;  // for 16 and 32 bits
  // From a device bitmap: the header block GDI reads through, and the active window's context.
  work_block device_header;
  HWND window;
  HDC dc;
};

clip_write clipwrite;

void release_clip_write() {
  clip_write &w = clipwrite;
  give_block(&w.row);
  give_block(&w.device_header);
  if (w.block != nullptr) GlobalUnlock(w.block);
  if (w.dc != nullptr) ReleaseDC(w.window, w.dc);
  w = clip_write{};
}

// The output's size and header fields; false when the file would pass 4 GiB.
bool plan_output(std::int32_t width, std::int32_t height, int bits, std::uint32_t table_bytes) {
  clip_write &w = clipwrite;
  w.width = width;
  w.height = height;
  w.row_bytes = size_for_long(width, bits);
  w.table_bytes = table_bytes;
  if (w.row_bytes < 0) return false;
  const std::uint64_t file_bytes =
      std::uint64_t(w.row_bytes) * std::uint64_t(height) + kBitsOffset + table_bytes;
  return file_bytes <= UINT32_MAX;
}

int prepare_dib(HGLOBAL block) {
  clip_write &w = clipwrite;
  const std::uint64_t size = GlobalSize(block);
  const auto *dib = static_cast<const std::uint8_t *>(GlobalLock(block));
  if (dib == nullptr) return kNoMemory;
  w.block = block;
  if (size < kDibHeaderBytes) return kGdiError;
  const std::uint32_t header_bytes = get_le32(dib + kBiSize);
  if (header_bytes != kDibHeaderBytes && header_bytes != kV4HeaderBytes &&
      header_bytes != kV5HeaderBytes)
    return kGdiError;
  const std::int32_t width = dib_width(dib), height = dib_height(dib);
  const int bits = dib_bit_count(dib);
  const std::uint32_t compression = get_le32(dib + kBiCompression);
  const bool direct = bits == 16 || bits == 32;
  if (width < 1 || height < 1 || (!dib_bit_count_supported(bits) && !direct)) return kGdiError;
  if (compression != kBiRgb && !(direct && compression == kBiBitfields)) return kGdiError;
  const std::uint32_t most = bits <= 8 ? 1u << bits : kMaxColours;
  const std::uint32_t used = dib_clr_used(dib);
  if (used > most) return kGdiError;
  // The rows follow the header, the masks of a 40-byte BI_BITFIELDS header, and the table.
  const std::uint32_t entries = used != 0 ? used : bits <= 8 ? 1u << bits : 0;
  const bool masks_follow = compression == kBiBitfields && header_bytes == kDibHeaderBytes;
  const std::uint64_t table_at = header_bytes + (masks_follow ? 12u : 0u);
  const std::uint64_t rows_at = table_at + 4u * std::uint64_t{entries};
  w.source_row_bytes = (std::uint64_t(width) * std::uint64_t(bits) + 31) / 32 * 4;
  if (table_at > size || rows_at + w.source_row_bytes * std::uint64_t(height) > size)
    return kGdiError;
  w.table = dib + table_at;
  w.rows = dib + rows_at;
  w.source_bits = bits;
  std::memcpy(w.header, dib, kDibHeaderBytes);
  put_le32(w.header + kBiSize, kDibHeaderBytes);
  if (!plan_output(width, height, direct ? 24 : bits, direct ? 0 : 4 * entries)) return kGdiError;
  if (direct) {
    put_le16(w.header + kBiBitCount, 24);
    put_le32(w.header + kBiCompression, kBiRgb);
    put_le32(w.header + kBiSizeImage, std::uint32_t(w.row_bytes) * std::uint32_t(height));
    put_le32(w.header + kBiClrUsed, 0);
    put_le32(w.header + kBiClrImportant, 0);
    // BI_RGB is 5-5-5 at 16 bits and 8-8-8 at 32.
    const bool fields = compression == kBiBitfields;
    const std::uint32_t rgb16[3] = {0x7C00, 0x03E0, 0x001F};
    const std::uint32_t rgb32[3] = {0xFF0000, 0x00FF00, 0x0000FF};
    std::uint32_t masks[3];
    for (int i = 0; i < 3; ++i)
      masks[i] = fields ? get_le32(dib + kMaskOffset + 4 * i) : bits == 16 ? rgb16[i] : rgb32[i];
    w.red = make_channel(masks[0]);
    w.green = make_channel(masks[1]);
    w.blue = make_channel(masks[2]);
  }
  return take_block(&w.row, std::size_t(w.row_bytes) + kRowSlack) ? kOk : kNoMemory;
}

int prepare_hbitmap(HBITMAP bitmap) {
  clip_write &w = clipwrite;
  BITMAP description{};
  if (bitmap == nullptr || GetObjectA(bitmap, sizeof description, &description) == 0)
    return kGdiError;
  const int bits = dib_bits_for_device(description.bmPlanes * description.bmBitsPixel);
  if (bits == 0 || description.bmWidth < 1 || description.bmHeight < 1) return kGdiError;
  if (!plan_output(description.bmWidth, description.bmHeight, bits, bits <= 8 ? 4u << bits : 0))
    return kGdiError;
  if (!take_block(&w.device_header, kDeviceHeaderBytes)) return kNoMemory;
  fill_dib_header(w.device_header.data, w.width, w.height, bits,
                  std::uint32_t(w.row_bytes) * std::uint32_t(w.height));
  std::memcpy(w.header, w.device_header.data, kDibHeaderBytes);
  // One row at a time: the block is sized from the row.
  if (!take_block(&w.row, std::size_t(w.row_bytes) + kRowSlack)) return kNoMemory;
  w.window = GetActiveWindow();
  w.dc = GetDC(w.window);
  return w.dc != nullptr ? kOk : kNoMemory;
}

void write_bytes(HFILE file, const void *bytes, std::uint32_t count) {
  _lwrite(file, static_cast<const char *>(bytes), count);
}

void write_file_header(HFILE file) {
  const clip_write &w = clipwrite;
  const std::uint32_t offset = kBitsOffset + w.table_bytes;
  std::uint8_t h[kFileHeaderBytes] = {'B', 'M'};
  put_le32(h + 2, std::uint32_t(w.height) * std::uint32_t(w.row_bytes) + offset);
  put_le32(h + 10, offset);  // the two reserved words stay 0
  write_bytes(file, h, kFileHeaderBytes);
}

// One 16- or 32-bit source row as blue, green, red.
void convert_direct_row(const std::uint8_t *in, std::uint8_t *out) {
  const clip_write &w = clipwrite;
  const int bytes = w.source_bits / 8;
  for (std::int32_t x = 0; x < w.width; ++x, in += bytes, out += 3) {
    const std::uint32_t pixel = bytes == 2 ? get_le16(in) : get_le32(in);
    out[0] = channel_value(w.blue, pixel);
    out[1] = channel_value(w.green, pixel);
    out[2] = channel_value(w.red, pixel);
  }
}

}  // namespace

// Writes the BMP of the packed DIB that prepare_dib took in.
int get_dib_clip_bitmap(HGLOBAL block, HFILE file) {
  const clip_write &w = clipwrite;
  write_file_header(file);
  write_bytes(file, w.header, kDibHeaderBytes);
  write_bytes(file, w.table, w.table_bytes);
  std::uint8_t *row = w.row.data;
  for (std::int32_t r = 0; r < w.height; ++r) {
    const std::uint8_t *source = w.rows + std::uint64_t(r) * w.source_row_bytes;
    if (w.source_bits == 16 || w.source_bits == 32)
      convert_direct_row(source, row);
    else
      std::memcpy(row, source, std::size_t(w.row_bytes));
    write_bytes(file, row, std::uint32_t(w.row_bytes));
  }
  return kWritten;
}

// Writes the BMP of the device bitmap that prepare_hbitmap described, one GetDIBits row at a
// time.
int get_clip_hbitmap(HBITMAP bitmap, HFILE file) {
  const clip_write &w = clipwrite;
  std::uint8_t *header = w.device_header.data;
  write_file_header(file);
  const int bits = dib_bit_count(header);
  if (bits <= 8) {
    // The table is the first 2^bits entries of the system palette, whatever colours the bitmap
    // showed; written before GDI reads any row. A device without a system palette (deeper than
    // 8 bits) gives no entries, and the table stays as the zeroed block was made: all black.
    PALETTEENTRY system[kMaxColours];
    const UINT got = GetSystemPaletteEntries(w.dc, 0, 1u << bits, system);
    std::uint8_t *table = header + kDibHeaderBytes;
    for (UINT i = 0; i < got && i < (1u << bits); ++i) {
      table[4 * i + 0] = system[i].peBlue;
      table[4 * i + 1] = system[i].peGreen;
      table[4 * i + 2] = system[i].peRed;
      table[4 * i + 3] = 0;
    }
  }
  write_bytes(file, header, kDibHeaderBytes + w.table_bytes);
  for (std::int32_t r = 0; r < w.height; ++r) {
    // A row GDI cannot convert is written as zeros, not as the one before it.
    std::memset(w.row.data, 0, std::size_t(w.row_bytes));
    GetDIBits(w.dc, bitmap, UINT(r), 1, w.row.data, reinterpret_cast<BITMAPINFO *>(header),
              DIB_RGB_COLORS);
    write_bytes(file, w.row.data, std::uint32_t(w.row_bytes));
  }
  return kWritten;
}

// Checks and takes what the write needs, creates the file and writes it: 1, or -5 for a
// clipboard bitmap that is refused, -1 when a block or the file cannot be had.
int open_clp(const char *file_name, HANDLE data, UINT format) {
  clipwrite = clip_write{};
  int rc = format == CF_DIB ? prepare_dib(data) : prepare_hbitmap(static_cast<HBITMAP>(data));
  if (rc == kOk) {
    OFSTRUCT of;
    const HFILE file = file_name != nullptr ? OpenFile(file_name, &of, OF_CREATE) : HFILE_ERROR;
    if (file == HFILE_ERROR) {
      rc = kFileFailed;
    } else {
      rc = format == CF_DIB ? get_dib_clip_bitmap(data, file)
                            : get_clip_hbitmap(static_cast<HBITMAP>(data), file);
      _lclose(file);
    }
  }
  release_clip_write();
  return rc;
}

}  // namespace pxv

using namespace pxv;

extern "C" {

int PXVAPI IMG_save_clipboard(const char *file_name, HWND window) {
  if (!OpenClipboard(window)) return kGdiError;
  int rc = kGdiError;
  // The DIB is preferred: it carries its own colours.
  for (UINT format : {UINT{CF_DIB}, UINT{CF_BITMAP}}) {
    if (!IsClipboardFormatAvailable(format)) continue;
    HANDLE data = GetClipboardData(format);
    if (data != nullptr) rc = open_clp(file_name, data, format);
    break;
  }
  CloseClipboard();
  return rc;
}

}  // extern "C"
