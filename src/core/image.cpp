// Loading and saving: format detection, the reader and writer dispatch, the library's own load
// callbacks (which build the DIB of slot `hdib`) and the crop-rectangle raster fetch of saving.
#include <cstring>

#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

namespace {

struct reader_entry {
  const char *key;
  reader_proc reader;  // null until the format's reader has landed: the load answers -6
  int save_type;       // what IMGLOW_get_filetype reports for the key
  bool has_pages;      // whether the reader selects pages from the position word
};

constexpr reader_entry kReaders[] = {
    {".tif", open_tiff, PXV_SAVE_TIFF, true},
    {".bmp", open_bmp, PXV_SAVE_BMP, false},
    {".pcx", open_pcx, PXV_SAVE_PCX, false},
    {".tga", open_tga, PXV_SAVE_TGA, false},
    {".gif", open_gif, PXV_SAVE_GIF, false},
    {".wpg", open_wpg, PXV_SAVE_WPG, false},
    {".wmf", open_wmf, PXV_SAVE_WMF, false},
    {".eps", open_eps, PXV_SAVE_EPS, true},
    {".dcx", open_dcx, PXV_SAVE_DCX, true},
    {".jpg", open_jpg, PXV_SAVE_JPEG, false},
    {".pct", open_pict, PXV_SAVE_PICT, false},
};

const reader_entry *find_reader(const char *key) {
  for (const reader_entry &entry : kReaders)
    if (lstrcmpiA(entry.key, key) == 0) return &entry;
  return nullptr;
}

// The writers by save type; null until the format's writer has landed (the save answers -6).
constexpr int kSaveTypes = 16;
constexpr writer_proc kWriters[kSaveTypes] = {
    save_tiff_file,  // 0 TIFF
    save_bmp_file,  // 1 BMP
    save_pcx_file,  // 2 PCX
    save_tga_file,  // 3 Targa
    save_gif_file,  // 4 GIF
    save_wpg_file,  // 5 WPG
    save_wmf_file,  // 6 WMF
    save_tiff_file_huffman,  // 7 TIFF modified Huffman
    save_tiff_file_group3,   // 8 TIFF Group 3
    save_tiff_file_lzw,      // 9 TIFF LZW
    save_tiff_file_g4,       // 10 TIFF Group 4
    save_dcx_file,  // 11 DCX
    save_bmp_comp_file,  // 12 BMP RLE
    save_jpg_file,  // 13 JPEG
    save_eps_file,  // 14 EPS
    save_pct_file,  // 15 PICT
};

// Save types whose writers add a page to a file that already holds images.
bool save_type_appends(int type) {
  return type == PXV_SAVE_TIFF || type == PXV_SAVE_TIFF_HUFFMAN || type == PXV_SAVE_TIFF_G3 ||
         type == PXV_SAVE_TIFF_LZW || type == PXV_SAVE_TIFF_G4 || type == PXV_SAVE_DCX;
}

struct name_ending {
  const char *ending;
  int type;
};

constexpr name_ending kSaveEndings[] = {
    {"tif", PXV_SAVE_TIFF}, {"bmp", PXV_SAVE_BMP},  {"pcx", PXV_SAVE_PCX}, {"tga", PXV_SAVE_TGA},
    {"gif", PXV_SAVE_GIF},  {"wpg", PXV_SAVE_WPG},  {"wmf", PXV_SAVE_WMF}, {"dcx", PXV_SAVE_DCX},
    {"jpg", PXV_SAVE_JPEG}, {"pct", PXV_SAVE_PICT}, {"eps", PXV_SAVE_EPS},
};

int save_type_from_name(const char *name) {
  int length = lstrlenA(name);
  if (length < 3) return PXV_SAVE_FROM_NAME;
  for (const name_ending &e : kSaveEndings)
    if (lstrcmpiA(name + length - 3, e.ending) == 0) return e.type;
  return PXV_SAVE_FROM_NAME;
}

// Rounds a row count up to a multiple of 4: a loaded DIB keeps room for that many rows.
std::int64_t rows_allocated(std::int32_t height) { return (std::int64_t{height} + 3) / 4 * 4; }

}  // namespace

const char *detect_format(int stream) {
  std::uint8_t b[10] = {};
  img_read_mem(stream, b, sizeof b);
  const std::uint32_t d = get_le32(b);
  const char *key = "";
  if (b[0] == 'M' && b[1] == 'M') key = ".tif";
  else if (b[0] == 'I' && b[1] == 'I') key = ".tif";
  else if (b[0] == 'G' && b[1] == 'I' && b[2] == 'F') key = ".gif";
  else if (b[0] == 'B' && b[1] == 'M') key = ".bmp";
  else if (d == 0xC6D3D0C5u) key = ".eps";
  else if (d == 0x3ADE68B1u) key = ".dcx";
  else if (b[0] == 0xFF && b[1] == 0xD8) key = ".jpg";
  else if (b[1] == 'W' && b[2] == 'P' && b[3] == 'C') key = ".wpg";
  else if (b[0] == 0x0A) key = ".pcx";
  // Targa is tested before the metafile: a metafile without its placeable header whose third
  // byte is 9 is taken for Targa.
  else if (b[2] == 2 || b[2] == 10 || b[2] == 3 || b[2] == 1 || b[2] == 9 || b[2] == 11)
    key = ".tga";
  else if (d == 0x9AC6CDD7u || b[0] == 1 || b[1] == 2) key = ".wmf";
  else {
    // A PICT file starts with a 512-byte preamble; its picture opcode follows the size word.
    std::uint8_t p[10] = {};
    img_seek_mem(stream, 512, kSeekCur);
    img_read_mem(stream, p, sizeof p);
    if (p[0] == 0x11 || p[1] == 0x11) key = ".pct";
  }
  img_seek_mem(stream, 0, kSeekSet);
  return key;
}

int fill_dib_struct(std::uint8_t *header, void *priv) {
  *static_cast<std::uint8_t **>(priv) = header;
  image_object *image = live_image(hdib);
  if (image == nullptr) return kNoMemory;
  image->crop_x = 0;
  image->crop_y = 0;
  image->rop = kRopSourceCopy;
  image->palette = nullptr;
  image->saved_palette_handle = nullptr;
  // A header that cannot describe a DIB of this library, or whose DIB would be absurdly large,
  // is refused before any allocation; the header callback's only failure code is -1.
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  const int bits = dib_bit_count(header);
  if (!dib_header_holdable(header)) return kNoMemory;
  const std::int32_t row_bytes = size_for_long(width, bits);
  if (row_bytes <= 0) return kNoMemory;
  const std::uint64_t table = Palette_Size(header);
  const std::uint64_t size = kDibHeaderBytes + table +
                             std::uint64_t(row_bytes) * std::uint64_t(rows_allocated(height));
  if (size > UINT32_MAX) return kNoMemory;
  image->width = width;
  image->crop_width = width;
  image->height = height;
  image->crop_height = height;
  image->row_bytes = row_bytes;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size));
  if (block == nullptr) return kNoMemory;
  auto *dib = static_cast<std::uint8_t *>(GlobalLock(block));
  if (dib == nullptr) {
    GlobalFree(block);
    return kNoMemory;
  }
  image->dib_handle = block;
  image->dib = dib;
  std::memcpy(dib, header, static_cast<std::size_t>(kDibHeaderBytes + table));
  return kReaderSuccess;
}

std::uint8_t *dib_row_address(void *priv, int row_number, int bytes) {
  const std::uint8_t *header = *static_cast<std::uint8_t **>(priv);
  image_object *image = live_image(hdib);
  if (image == nullptr || image->dib == nullptr || header == nullptr) return nullptr;
  // Readers promise rows inside the image and counts within a row; a row that breaks the
  // promise is dropped rather than written outside the DIB.
  if (row_number < 0 || row_number >= image->height || bytes <= 0 || bytes > image->row_bytes) return nullptr;
  return image->dib + kDibHeaderBytes + Palette_Size(header) +
         std::int64_t{image->height - row_number - 1} * image->row_bytes;
}

int raster_to_dib(std::uint8_t *row, void *priv, int row_number, int bytes) {
  // A count past the row is cut to the row.
  const image_object *image = live_image(hdib);
  if (image != nullptr && bytes > image->row_bytes) bytes = image->row_bytes;
  std::uint8_t *dst = dib_row_address(priv, row_number, bytes);
  if (dst != nullptr) std::memcpy(dst, row, static_cast<std::size_t>(bytes));
  return 0;
}

void create_dib_palette(std::uint8_t *header, const char *kind) {
  const int bits = dib_bit_count(header);
  std::uint8_t *table = header + kDibHeaderBytes;
  auto set = [table](int i, int red, int green, int blue) {
    table[4 * i + 0] = static_cast<std::uint8_t>(blue);
    table[4 * i + 1] = static_cast<std::uint8_t>(green);
    table[4 * i + 2] = static_cast<std::uint8_t>(red);
    table[4 * i + 3] = 0;
  };
  if (bits == 24) return;
  if (bits == 1) {
    set(0, 0, 0, 0);
    set(1, 255, 255, 255);
    return;
  }
  if (bits != 4 && bits != 8) return;  // no other table fits the header record
  if (lstrcmpiA(kind, "tiff") == 0) {
    const int n = 1 << bits;
    for (int i = 0; i < n; ++i) set(i, i * (256 / n), i * (256 / n), i * (256 / n));
    return;
  }
  if (lstrcmpiA(kind, "targa") == 0) {
    // The 3-3-2 table: red in the top three bits, green in the next three, blue in two.
    for (int i = 0; i < 256; ++i)
      set(i, ((i & 0xE0) >> 5) * 255 / 7, ((i & 0x1C) >> 2) * 255 / 7, (i & 3) * 85);
    return;
  }
  // The 16 VGA colours, with the dim half at 200 for dithering and 128 otherwise.
  const int level = lstrcmpiA(kind, "dither") == 0 ? 200 : 128;
  for (int i = 0; i < 16; ++i) {
    const int on = i < 8 ? level : 255;
    set(i, (i & 1) ? on : 0, (i & 2) ? on : 0, (i & 4) ? on : 0);
  }
}

int get_save_raster(void *context, std::uint8_t *dest, int row_number, int bytes) {
  const auto *c = static_cast<const save_context *>(context);
  if (bytes <= 0) return 0;
  // Rows outside the crop, and bytes past the end of a stored row (a 1- or 4-bit crop moved to
  // a whole byte can reach there), read as 0 instead of outside the DIB.
  std::int32_t have = 0;
  if (row_number >= 0 && row_number < c->crop_rows) {
    have = c->row_bytes - c->crop_byte_offset;
    if (have > bytes) have = bytes;
    if (have < 0) have = 0;
  }
  if (have > 0) {
    const std::uint8_t *src = c->pixel_base +
                              std::int64_t{c->crop_bottom_row + row_number} * c->row_bytes +
                              c->crop_byte_offset;
    std::memcpy(dest, src, static_cast<std::size_t>(have));
  }
  if (have < bytes) std::memset(dest + have, 0, static_cast<std::size_t>(bytes - have));
  return 0;
}

namespace {

int load_with_library_callbacks(int stream, LONG offset, int page, const void *memory) {
  hdib = get_next_dib();
  if (hdib < 0) return hdib;
  const int slot = hdib;
  std::uint8_t *header_address = nullptr;
  int rc = memory != nullptr
               ? IMGLOW_decompress_bitmap_mem(memory, page, raster_to_dib, &header_address,
                                              fill_dib_struct)
               : IMGLOW_decompress_bitmap(stream, offset, page, raster_to_dib, &header_address,
                                          fill_dib_struct);
  hdib = rc;
  // The header callback left the DIB locked; a failed load keeps its slot and DIB allocated
  // (the slot is not reused), but nothing stays locked.
  unlock_image_dib(live_image(slot));
  return rc;
}

}  // namespace

// The crop rectangle clipped to the image, in the save context's terms. False when nothing of
// the rectangle lies inside the image.
bool build_save_context(image_object *image, int handle, const std::uint8_t *dib,
                        save_context *c, std::int32_t *crop_width, std::int32_t *crop_height) {
  const std::int64_t x0 = image->crop_x < 0 ? 0 : image->crop_x;
  const std::int64_t y0 = image->crop_y < 0 ? 0 : image->crop_y;
  std::int64_t x1 = std::int64_t{image->crop_x} + image->crop_width;
  std::int64_t y1 = std::int64_t{image->crop_y} + image->crop_height;
  if (x1 > image->width) x1 = image->width;
  if (y1 > image->height) y1 = image->height;
  if (x1 <= x0 || y1 <= y0) return false;
  const int bits = dib_bit_count(dib);
  std::int64_t byte_offset;
  switch (bits) {
    case 1: byte_offset = (x0 + 7) / 8; break;
    case 4: byte_offset = (x0 + 1) / 2; break;
    case 24: byte_offset = 3 * x0; break;
    default: byte_offset = x0; break;
  }
  c->pixel_base = const_cast<std::uint8_t *>(dib) + kDibHeaderBytes + Palette_Size(dib);
  c->handle = handle;
  c->row_bytes = image->row_bytes;
  c->crop_byte_offset = static_cast<std::int32_t>(byte_offset);
  c->crop_bottom_row = static_cast<std::int32_t>(image->height - (y1 - y0) - y0);
  c->crop_rows = static_cast<std::int32_t>(y1 - y0);
  *crop_width = static_cast<std::int32_t>(x1 - x0);
  *crop_height = static_cast<std::int32_t>(y1 - y0);
  return true;
}

namespace {

// The high-level save of a handle to a file stream (memory == null) or to caller memory.
int save_handle(int handle, int stream, void *memory, int type) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  const std::uint8_t *dib = lock_image_dib(image);
  if (dib == nullptr) return kNoMemory;
  save_context context{};
  std::int32_t crop_width = 0, crop_height = 0;
  if (!build_save_context(image, handle, dib, &context, &crop_width, &crop_height)) {
    // A crop rectangle wholly outside the image leaves nothing to write.
    unlock_image_dib(image);
    return kBadData;
  }
  HGLOBAL header_handle = GlobalAlloc(GMEM_MOVEABLE, kHeaderRecordBytes);
  auto *header = static_cast<std::uint8_t *>(GlobalLock(header_handle));
  if (header == nullptr) {
    GlobalFree(header_handle);
    unlock_image_dib(image);
    return kNoMemory;
  }
  const std::uint32_t table = Palette_Size(dib);
  std::memcpy(header, dib, kDibHeaderBytes + (table <= 1024 ? table : 1024));
  set_dib_width(header, crop_width);
  set_dib_height(header, crop_height);
  int rc = memory != nullptr
               ? IMGLOW_save_bitmap_mem(memory, header, type, get_save_raster, &context)
               : IMGLOW_save_bitmap(stream, header, type, get_save_raster, &context);
  GlobalUnlock(header_handle);
  GlobalFree(header_handle);
  unlock_image_dib(image);
  return rc;
}

}  // namespace

}  // namespace pxv

using namespace pxv;

extern "C" {

int PXVAPI IMG_decompress_bitmap(const char *file_name) {
  if (file_name == nullptr || file_name[0] == '\0') return hdib = kReadError;
  OFSTRUCT of;
  HFILE file = OpenFile(file_name, &of, OF_READ);
  if (file == HFILE_ERROR) return hdib = kReadError;
  int rc = IMG_decompress_bitmap_fd(file, 0, 0);
  _lclose(file);
  return rc;
}

int PXVAPI IMG_decompress_bitmap_fd(HFILE file, LONG offset, int page) {
  return load_with_library_callbacks(file, offset, page, nullptr);
}

int PXVAPI IMG_decompress_bitmap_mem(const void *image, int page) {
  if (image == nullptr) return hdib = kReadError;
  return load_with_library_callbacks(kMemoryStream, 0, page, image);
}

int PXVAPI IMGLOW_decompress_bitmap_mem(const void *image, int page, PXV_RASTER_PROC raster,
                                        void *priv, PXV_HEADER_PROC header) {
  if (image == nullptr) return hdib = kReadError;
  reset_mem_io(image);
  hdib = IMGLOW_decompress_bitmap(kMemoryStream, 0, page, raster, priv, header);
  return hdib;
}

int PXVAPI IMGLOW_decompress_bitmap(HFILE stream, LONG offset, int page, PXV_RASTER_PROC raster,
                                    void *priv, PXV_HEADER_PROC header) {
  if (raster == nullptr || header == nullptr) return kUnsupported;
  img_seek_mem(stream, offset, kSeekSet);
  const std::uint32_t position =
      page != 0 ? (static_cast<std::uint32_t>(page) | kPageFlag) : static_cast<std::uint32_t>(offset);
  const reader_entry *entry = find_reader(detect_format(stream));
  if (entry == nullptr || entry->reader == nullptr) {
    img_ffree_all();
    return kUnsupported;
  }
  // Formats that hold one image have no page 1 or later; refusing the request keeps a host
  // that walks pages until a failure from looping on the same image.
  if (page != 0 && !entry->has_pages) {
    img_ffree_all();
    return kNoPage;
  }
  int rc = entry->reader(position, raster, priv, header, stream);
  img_ffree_all();
  return rc < 0 ? rc : hdib;
}

int PXVAPI IMGLOW_get_filetype(const char *file_name) {
  if (file_name == nullptr || file_name[0] == '\0') return kReadError;
  OFSTRUCT of;
  HFILE file = OpenFile(file_name, &of, OF_READ);
  if (file == HFILE_ERROR) return kReadError;
  const reader_entry *entry = find_reader(detect_format(file));
  _lclose(file);
  return entry == nullptr ? kUnsupported : entry->save_type;
}

int PXVAPI IMGLOW_get_bitmap_header(int handle, void *buffer) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  const std::uint8_t *dib = lock_image_dib(image);
  if (dib == nullptr) return kNoMemory;
  std::uint32_t table = Palette_Size(dib);
  if (table > 1024) table = 1024;
  std::memcpy(buffer, dib, kDibHeaderBytes + table);
  unlock_image_dib(image);
  return kOk;
}

int PXVAPI IMG_save_bitmap(int handle, const char *file_name, int type) {
  if (live_image(handle) == nullptr) return kBadHandle;
  if (file_name == nullptr || file_name[0] == '\0') return kCreateError;
  if (type == PXV_SAVE_FROM_NAME) type = save_type_from_name(file_name);
  OFSTRUCT of;
  HFILE file;
  if (save_type_appends(type) && OpenFile(file_name, &of, OF_EXIST) != HFILE_ERROR)
    file = OpenFile(file_name, &of, OF_READWRITE);
  else
    file = OpenFile(file_name, &of, OF_CREATE);
  if (file == HFILE_ERROR) return kCreateError;
  int rc = IMG_save_bitmap_fd(handle, file, type);
  _lclose(file);
  return rc;
}

int PXVAPI IMG_save_bitmap_fd(int handle, HFILE file, int type) {
  return save_handle(handle, file, nullptr, type);
}

int PXVAPI IMG_save_bitmap_mem(int handle, void *output, int type) {
  if (live_image(handle) == nullptr) return kBadHandle;
  if (output == nullptr) return kCreateError;
  return save_handle(handle, kMemoryStream, output, type);
}

int PXVAPI IMGLOW_save_bitmap(HFILE stream, unsigned char *header, int type, PXV_FETCH_PROC fetch,
                              void *priv) {
  writer_proc writer = (type >= 0 && type < kSaveTypes) ? kWriters[type] : nullptr;
  // Writers trust the header's geometry; one that no DIB of this library can have is refused
  // here, for every writer at once.
  if (writer != nullptr &&
      (header == nullptr || fetch == nullptr || !dib_header_holdable(header)))
    writer = nullptr;
  if (writer == nullptr) {
    img_ffree_all();
    return kUnsupported;
  }
  int rc = img_finish_page(stream, writer(stream, header, fetch, priv));
  img_ffree_all();
  return rc;
}

int PXVAPI IMGLOW_save_bitmap_mem(void *output, unsigned char *header, int type,
                                  PXV_FETCH_PROC fetch, void *priv) {
  if (output == nullptr) return kCreateError;
  reset_mem_io(output);
  int rc = IMGLOW_save_bitmap(kMemoryStream, header, type, fetch, priv);
  return rc < 0 ? rc : kOk;
}

}  // extern "C"
