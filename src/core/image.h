// The image core: handle table, image records, the reader and writer contracts, and the load
// and save dispatchers' internal pieces.
#pragma once

#include <cstdint>

#include "pxvlib10.h"
#include "platform/win32.h"

namespace pxv {

// Result codes, by name.
enum Result : int {
  kOk = PXV_OK,
  kNoMemory = PXV_ERR_NO_MEMORY,
  kReadError = PXV_ERR_READ,
  kBadData = PXV_ERR_DATA,
  kGdiError = PXV_ERR_GDI,
  kUnsupported = PXV_ERR_TYPE,
  kBadHandle = PXV_ERR_HANDLE,
  kCreateError = PXV_ERR_CREATE,
  kNoPage = PXV_ERR_PAGE,
  kShortWrite = PXV_ERR_SHORT_WRITE,
};

// A reader's success result (the JPEG reader answers 0, which the dispatcher treats alike).
constexpr int kReaderSuccess = 1;

// The raster operation that copies the source: what a new image is drawn with.
constexpr std::uint32_t kRopSourceCopy = 0xCC0020;

// The record behind each handle. Address and handle fields are pointer-sized; every other field
// keeps the 32-bit width the record gives it.
struct image_object {
  std::int32_t display_x;
  std::int32_t display_y;
  std::int32_t display_width;
  std::int32_t display_height;
  std::int32_t crop_x;
  std::int32_t crop_y;
  std::int32_t crop_width;
  std::int32_t crop_height;
  HGLOBAL saved_palette_handle;
  HGLOBAL dib_handle;
  std::uint32_t rop;
  HPALETTE palette;
  std::uint8_t *saved_palette;
  std::uint8_t *dib;
  std::int32_t width;
  std::int32_t height;
  std::int32_t row_bytes;
  std::int32_t dither_row;
};

// The handle table and the current handle.
extern image_object **dis;
extern HLOCAL dis_handle;
extern int next_dib_handle;
extern int hdib;

// Library texts that every TIFF written carries as Artist and DateTime.
constexpr int kImgNameBytes = 200;
constexpr int kImgDateBytes = 40;
extern char img_name[kImgNameBytes];
extern char img_date[kImgDateBytes];

int get_next_dib();
int delete_image_object(int handle);
int delete_image_handle(int handle);
// The record of a live slot, or null for a negative, out-of-range or free one. Every use of a
// host-given handle goes through here, so an invalid handle never reaches memory.
image_object *live_image(int handle);
// Locks a live image's DIB into its record; null when the handle or the block is bad.
std::uint8_t *lock_image_dib(image_object *image);
void unlock_image_dib(image_object *image);

// A new DIB block of `bytes`, locked at `*dib`; its handle, or null when it cannot be had (sizes
// past kMaxBlockBytes included). free_dib_block gives back one that was not put under a handle.
HGLOBAL new_dib_block(std::uint64_t bytes, std::uint8_t **dib);
void free_dib_block(HGLOBAL block, std::uint8_t *dib);
// Puts a complete new DIB, locked at `dib`, under the image in place of its old one, which is
// unlocked and freed; width, height and row bytes follow the new header, and the new DIB is
// unlocked. The crop and display rectangles and a saved palette are the caller's to change.
void replace_image_dib(image_object *image, HGLOBAL block, std::uint8_t *dib);

void get_dib_raster(const std::uint8_t *pixel_base, std::uint8_t *dst, int row, int row_bytes);
void put_dib_raster(const std::uint8_t *src, std::uint8_t *pixel_base, int row, int row_bytes);

// The reader contract: position word, raster callback, private block, header callback, stream.
using reader_proc = int (*)(std::uint32_t position, PXV_RASTER_PROC raster, void *priv,
                            PXV_HEADER_PROC header, int stream);
// The writer contract: stream, save header, raster-fetch callback, private block.
using writer_proc = int (*)(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);

// Position word: both top bits set means "page in the low 16 bits", else a byte offset.
constexpr std::uint32_t kPageFlag = 0xC0000000u;
inline bool position_is_page(std::uint32_t position) {
  return (position & kPageFlag) == kPageFlag;
}
inline int position_page(std::uint32_t position) { return static_cast<int>(position & 0xFFFFu); }

// The library's own load callbacks.
int fill_dib_struct(std::uint8_t *header, void *priv);
int raster_to_dib(std::uint8_t *row, void *priv, int row_number, int bytes);
// Where raster_to_dib would put `bytes` bytes of row `row_number`, or null where it would drop
// the row: a reader on the library's own load path may build the row there in place.
std::uint8_t *dib_row_address(void *priv, int row_number, int bytes);
void create_dib_palette(std::uint8_t *header, const char *kind);

// Format detection: the dispatcher's key (".tif", ".bmp", ...) or "" when nothing matches.
// Leaves the stream at absolute offset 0.
const char *detect_format(int stream);

// The high-level save's private block: five words as the writers' fetch expects them, followed
// by the number of rows the crop holds so that no fetch can leave the DIB.
struct save_context {
  std::uint8_t *pixel_base;
  std::int32_t handle;
  std::int32_t row_bytes;
  std::int32_t crop_byte_offset;
  std::int32_t crop_bottom_row;
  std::int32_t crop_rows;
};

// Fills the save context of a locked image from its crop rectangle, clipped to the image, and
// gives the clipped width and height; false when no part of the rectangle lies in the image.
bool build_save_context(image_object *image, int handle, const std::uint8_t *dib,
                        save_context *context, std::int32_t *crop_width,
                        std::int32_t *crop_height);

int get_save_raster(void *context, std::uint8_t *dest, int row_number, int bytes);

}  // namespace pxv
