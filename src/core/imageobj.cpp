// The handle table `dis`: one pointer per slot, a null pointer marking a free slot. The table
// comes into being with the first handle, grows by one slot when no slot below its length is
// free, and is released with its last slot. Each slot's record owns the image's DIB block.
#include <cstring>

#include "core/dib.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv {

image_object **dis = nullptr;
HLOCAL dis_handle = nullptr;
int next_dib_handle = 0;
int hdib = 0;

char img_name[kImgNameBytes] = "Written by pxvlib10, the image file library";
char img_date[kImgDateBytes] = "11-24-1992";

namespace {

// Bytes of a table with room for `slots` pointers.
SIZE_T table_bytes(int slots) { return static_cast<SIZE_T>(slots) * sizeof(image_object *); }

// Takes a slot number: the lowest free one, or a new one at the end.
int take_slot() {
  if (next_dib_handle == 0) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, table_bytes(2));
    if (h == nullptr) return kNoMemory;
    auto *table = static_cast<image_object **>(LocalLock(h));
    if (table == nullptr) {
      LocalFree(h);
      return kNoMemory;
    }
    dis_handle = h;
    dis = table;
    next_dib_handle = 1;
    return 0;
  }
  for (int slot = 0; slot < next_dib_handle; ++slot)
    if (dis[slot] == nullptr) return slot;
  // The table keeps one pointer of room beyond its length; grow it to keep that true.
  LocalUnlock(dis_handle);
  HLOCAL grown = LocalReAlloc(dis_handle, table_bytes(next_dib_handle + 2),
                              LMEM_MOVEABLE | LMEM_ZEROINIT);
  if (grown != nullptr) dis_handle = grown;
  dis = static_cast<image_object **>(LocalLock(dis_handle));
  if (grown == nullptr || dis == nullptr) return kNoMemory;
  int slot = next_dib_handle;
  dis[slot] = nullptr;
  ++next_dib_handle;
  return slot;
}

// Frees a record's memory and gives its slot back; the count drops only when the last slot
// goes, and then by one slot, even when the slots below it are free too.
void release_slot(int handle) {
  image_object *image = dis[handle];
  HGLOBAL record = GlobalHandle(image);
  if (record != nullptr) {
    GlobalUnlock(record);
    GlobalFree(record);
  }
  dis[handle] = nullptr;
  if (handle != next_dib_handle - 1) return;
  if (next_dib_handle == 1) {
    LocalUnlock(dis_handle);
    LocalFree(dis_handle);
    dis_handle = nullptr;
    dis = nullptr;
    next_dib_handle = 0;
  } else {
    --next_dib_handle;
  }
}

}  // namespace

int get_next_dib() {
  if (dis == nullptr && next_dib_handle != 0) return kNoMemory;  // a table lost to a failed regrowth
  int slot = take_slot();
  if (slot < 0) return kNoMemory;
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(image_object));
  if (h == nullptr) return kNoMemory;
  auto *image = static_cast<image_object *>(GlobalLock(h));
  if (image == nullptr) {
    GlobalFree(h);
    return kNoMemory;
  }
  dis[slot] = image;
  return slot;
}

image_object *live_image(int handle) {
  if (handle < 0 || handle >= next_dib_handle || dis == nullptr) return nullptr;
  return dis[handle];
}

std::uint8_t *lock_image_dib(image_object *image) {
  if (image == nullptr || image->dib_handle == nullptr) return nullptr;
  image->dib = static_cast<std::uint8_t *>(GlobalLock(image->dib_handle));
  return image->dib;
}

void unlock_image_dib(image_object *image) {
  if (image == nullptr || image->dib == nullptr) return;
  GlobalUnlock(image->dib_handle);
  image->dib = nullptr;
}

int delete_image_object(int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kNoMemory;
  // The saved palette is a copy the tone operations make of a palette image's table; it is
  // freed with the image whenever it exists, so that no block outlives its record.
  if (image->saved_palette != nullptr || image->saved_palette_handle != nullptr) {
    GlobalUnlock(image->saved_palette_handle);
    GlobalFree(image->saved_palette_handle);
  }
  if (image->dib != nullptr) {
    GlobalUnlock(image->dib_handle);
    GlobalFree(image->dib_handle);
  }
  if (image->palette != nullptr) DeleteObject(image->palette);
  release_slot(handle);
  return kOk;
}

int delete_image_handle(int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kNoMemory;
  if (image->palette != nullptr) DeleteObject(image->palette);
  release_slot(handle);
  return kOk;
}

HGLOBAL new_dib_block(std::uint64_t bytes, std::uint8_t **dib) {
  *dib = nullptr;
  if (bytes == 0 || bytes > kMaxBlockBytes) return nullptr;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(bytes));
  if (block == nullptr) return nullptr;
  *dib = static_cast<std::uint8_t *>(GlobalLock(block));
  if (*dib == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  return block;
}

void free_dib_block(HGLOBAL block, std::uint8_t *dib) {
  if (block == nullptr) return;
  if (dib != nullptr) GlobalUnlock(block);
  GlobalFree(block);
}

void replace_image_dib(image_object *image, HGLOBAL block, std::uint8_t *dib) {
  GlobalUnlock(image->dib_handle);
  GlobalFree(image->dib_handle);
  image->dib_handle = block;
  image->dib = dib;
  image->width = dib_width(dib);
  image->height = dib_height(dib);
  image->row_bytes = size_for_long(image->width, dib_bit_count(dib));
  unlock_image_dib(image);
}

void get_dib_raster(const std::uint8_t *pixel_base, std::uint8_t *dst, int row, int row_bytes) {
  std::memcpy(dst, pixel_base + static_cast<std::ptrdiff_t>(row) * row_bytes,
              static_cast<std::size_t>(row_bytes));
}

void put_dib_raster(const std::uint8_t *src, std::uint8_t *pixel_base, int row, int row_bytes) {
  std::memcpy(pixel_base + static_cast<std::ptrdiff_t>(row) * row_bytes, src,
              static_cast<std::size_t>(row_bytes));
}

namespace {

// Only the 40-byte header is understood: the colour table must follow it directly.
bool packed_header_usable(const std::uint8_t *h) {
  return get_le32(h + kBiSize) == kDibHeaderBytes && dib_header_holdable(h);
}

void copy_text(char *dst, const char *src, int capacity) {
  int n = 0;
  while (n < capacity - 1 && src[n] != '\0') ++n;
  std::memcpy(dst, src, static_cast<std::size_t>(n));
  dst[n] = '\0';
}

}  // namespace

}  // namespace pxv

using namespace pxv;

extern "C" {

int PXVAPI WEP(int) { return 1; }

int PXVAPI IMG_create_handle(const void *packed_dib) {
  // A null block has no header to read.
  if (packed_dib == nullptr) return kBadData;
  const auto *src = static_cast<const std::uint8_t *>(packed_dib);
  // A header that cannot describe a DIB of this library is refused before a slot is taken.
  if (!packed_header_usable(src)) return kBadData;
  hdib = get_next_dib();
  if (hdib < 0) return hdib;
  std::uint8_t *header_address = nullptr;
  int rc = fill_dib_struct(const_cast<std::uint8_t *>(src), &header_address);
  if (rc < 0) return rc;
  image_object *image = live_image(hdib);
  const std::int32_t row_bytes = image->row_bytes;
  const std::int32_t height = image->height;
  // The caller's rows follow its header and colour table.
  const std::uint8_t *rows = src + get_le32(src + kBiSize) + Palette_Size(src);
  HGLOBAL buffer_handle = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(row_bytes) + 100);
  auto *buffer = static_cast<std::uint8_t *>(GlobalLock(buffer_handle));
  if (buffer == nullptr) {
    // Like a failed load, the slot and its DIB stay allocated, but nothing stays locked.
    GlobalFree(buffer_handle);
    unlock_image_dib(image);
    return kNoMemory;
  }
  // Source row r is stored row r; as raster row height - 1 - r it lands in the same place.
  for (std::int32_t r = 0; r < height; ++r) {
    std::memcpy(buffer, rows + static_cast<std::ptrdiff_t>(r) * row_bytes,
                static_cast<std::size_t>(row_bytes));
    raster_to_dib(buffer, &header_address, height - 1 - r, row_bytes);
  }
  GlobalUnlock(buffer_handle);
  GlobalFree(buffer_handle);
  unlock_image_dib(image);
  return hdib;
}

int PXVAPI IMG_create_handle_nocopy(HGLOBAL packed_dib) {
  auto *h = static_cast<std::uint8_t *>(GlobalLock(packed_dib));
  if (h == nullptr) return kNoMemory;
  // The block becomes the image's DIB as it stands, so it must hold what its header says.
  SIZE_T have = GlobalSize(packed_dib);
  bool usable = have >= kDibHeaderBytes && packed_header_usable(h);
  if (usable) {
    std::int32_t row_bytes = size_for_long(dib_width(h), dib_bit_count(h));
    std::uint64_t need = kDibHeaderBytes + std::uint64_t{Palette_Size(h)} +
                         std::uint64_t(row_bytes) * std::uint64_t(dib_height(h));
    usable = row_bytes > 0 && need <= have;
  }
  if (!usable) {
    GlobalUnlock(packed_dib);
    return kBadData;
  }
  hdib = get_next_dib();
  if (hdib < 0) {
    GlobalUnlock(packed_dib);
    return hdib;
  }
  image_object *image = live_image(hdib);
  image->crop_x = 0;
  image->crop_y = 0;
  image->crop_width = dib_width(h);
  image->crop_height = dib_height(h);
  image->rop = kRopSourceCopy;
  image->saved_palette_handle = nullptr;
  image->palette = nullptr;
  image->width = dib_width(h);
  image->height = dib_height(h);
  image->row_bytes = size_for_long(image->width, dib_bit_count(h));
  image->dib_handle = packed_dib;
  image->dib = nullptr;
  GlobalUnlock(packed_dib);
  return hdib;
}

HGLOBAL PXVAPI IMG_bitmap_handle(int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr) return reinterpret_cast<HGLOBAL>(static_cast<std::intptr_t>(kBadHandle));
  HGLOBAL dib = image->dib_handle;
  delete_image_handle(handle);
  return dib;
}

int PXVAPI IMG_delete_bitmap(int handle) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  lock_image_dib(image);
  return delete_image_object(handle);
}

HGLOBAL PXVAPI IMG_bitmap_info(int handle, int *width, int *height, int *bit_count) {
  image_object *image = live_image(handle);
  const std::uint8_t *h = lock_image_dib(image);
  if (h == nullptr) return nullptr;
  if (width != nullptr) *width = dib_width(h);
  if (height != nullptr) *height = dib_height(h);
  if (bit_count != nullptr) *bit_count = dib_bit_count(h);
  unlock_image_dib(image);
  return image->dib_handle;
}

int PXVAPI IMG_get_croprect(int handle, int *x, int *y, int *width, int *height) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  if (x != nullptr) *x = image->crop_x;
  if (y != nullptr) *y = image->crop_y;
  if (width != nullptr) *width = image->crop_width;
  if (height != nullptr) *height = image->crop_height;
  return kOk;
}

int PXVAPI IMG_set_croprect(int handle, int x, int y, int width, int height) {
  image_object *image = live_image(handle);
  if (image == nullptr) return kBadHandle;
  // Stored as given: a rectangle outside the image is clipped where it is used.
  image->crop_x = x;
  image->crop_y = y;
  image->crop_width = width;
  image->crop_height = height;
  return kOk;
}

int PXVAPI IMGLOW_get_bitmap_name(char *name, char *date) {
  if (name != nullptr) copy_text(name, img_name, kImgNameBytes);
  if (date != nullptr) copy_text(date, img_date, kImgDateBytes);
  return kOk;
}

int PXVAPI IMGLOW_set_bitmap_name(const char *name, const char *date) {
  // Longer strings are cut to what the buffers hold (199 and 39 characters and a terminator).
  if (name != nullptr) copy_text(img_name, name, kImgNameBytes);
  if (date != nullptr) copy_text(img_date, date, kImgDateBytes);
  return kOk;
}

}  // extern "C"
