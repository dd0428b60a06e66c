#include "core/img_util.h"

#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/image.h"

namespace pxv {

const std::uint8_t *mem_io_ptr = nullptr;
std::uint32_t mem_io_offset = 0;

namespace {

// UINT32_MAX stands for "no known end", the memory stream's documented form.
constexpr std::uint32_t kUnknownLength = UINT32_MAX;
std::uint32_t mem_io_length = kUnknownLength;

void *ptr_array[kWorkBlockSlots];

// How many of `count` bytes the memory stream can move from its current offset.
std::uint32_t mem_io_room(std::uint32_t count) {
  if (mem_io_length == kUnknownLength) return count;
  if (mem_io_offset >= mem_io_length) return 0;
  std::uint32_t left = mem_io_length - mem_io_offset;
  return count < left ? count : left;
}

}  // namespace

void reset_mem_io(const void *block) {
  mem_io_ptr = static_cast<const std::uint8_t *>(block);
  mem_io_offset = 0;
  mem_io_length = kUnknownLength;
}

void reset_mem_io_bounded(const void *block, std::uint32_t length) {
  reset_mem_io(block);
  mem_io_length = length;
}

std::int32_t img_read_mem(int stream, void *dst, std::uint32_t count) {
  if (stream != kMemoryStream)
    return static_cast<std::int32_t>(_lread(stream, dst, count));
  std::uint32_t n = mem_io_room(count);
  if (n != 0) std::memcpy(dst, mem_io_ptr + mem_io_offset, n);
  mem_io_offset += n;
  return static_cast<std::int32_t>(n);
}

std::int32_t img_write_mem(int stream, const void *src, std::uint32_t count) {
  if (stream != kMemoryStream)
    return static_cast<std::int32_t>(_lwrite(stream, static_cast<const char *>(src), count));
  std::uint32_t n = mem_io_room(count);
  // The memory stream writes into the caller's block, which the caller gave us to fill.
  if (n != 0) std::memcpy(const_cast<std::uint8_t *>(mem_io_ptr) + mem_io_offset, src, n);
  mem_io_offset += n;
  return static_cast<std::int32_t>(n);
}

std::int32_t img_seek_mem(int stream, std::int32_t offset, int origin) {
  if (stream != kMemoryStream) return _llseek(stream, offset, origin);
  // The end of caller memory is unknown, so a seek from the end lands at the start.
  if (origin == kSeekSet)
    mem_io_offset = static_cast<std::uint32_t>(offset);
  else if (origin == kSeekCur)
    mem_io_offset += static_cast<std::uint32_t>(offset);
  else
    mem_io_offset = 0;
  return 0;
}

std::int32_t img_filelength(int stream) {
  // On the memory stream the current offset is the end of what has been written.
  if (stream == kMemoryStream) return static_cast<std::int32_t>(mem_io_offset);
  LONG here = _llseek(stream, 0, kSeekCur);
  if (here < 0) return -1;
  LONG end = _llseek(stream, 0, kSeekEnd);
  _llseek(stream, here, kSeekSet);
  return end;
}

namespace {

struct page_link {
  bool noted = false;
  int stream = 0;
  std::int32_t old_end = 0;
  std::int32_t at = 0;
  std::uint8_t value[4] = {};
};
page_link pending_link;

}  // namespace

void img_note_page_link(int stream, std::int32_t old_end, std::int32_t link_at, std::uint32_t link) {
  pending_link = {true, stream, old_end, link_at, {}};
  put_le32(pending_link.value, link);
}

int img_finish_page(int stream, int rc) {
  const page_link link = pending_link;
  pending_link.noted = false;
  if (!link.noted || link.stream != stream) return rc;
  if (rc >= 0) {
    const std::int32_t end = img_seek_mem(stream, 0, kSeekCur);
    img_seek_mem(stream, link.at, kSeekSet);
    if (img_write_all(stream, link.value, 4)) {
      img_seek_mem(stream, end, kSeekSet);  // the stream ends where the page does, as before
      return rc;
    }
    rc = kShortWrite;
  }
  // The memory stream has no end to cut: its caller sees the result and ignores the bytes.
  if (stream != kMemoryStream) {
    img_seek_mem(stream, link.old_end, kSeekSet);
    img_write_mem(stream, "", 0);  // a write of no bytes ends a file at its position
  }
  return rc;
}

void *img_fmalloc(std::size_t bytes) {
  int slot = 0;
  while (slot < kWorkBlockSlots && ptr_array[slot] != nullptr) ++slot;
  // A full list cannot record another block, so the allocation fails as if memory had run out.
  if (slot == kWorkBlockSlots) return nullptr;
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (h == nullptr) return nullptr;
  void *p = GlobalLock(h);
  if (p == nullptr) {
    GlobalFree(h);
    return nullptr;
  }
  ptr_array[slot] = p;
  return p;
}

void *take_work_block(std::uint64_t bytes) {
  if (bytes == 0 || bytes > kMaxBlockBytes) return nullptr;
  return img_fmalloc(static_cast<std::size_t>(bytes));
}

namespace {

void release_work_block(int slot) {
  HGLOBAL h = GlobalHandle(ptr_array[slot]);
  if (h != nullptr) {
    GlobalUnlock(h);
    GlobalFree(h);
  }
  ptr_array[slot] = nullptr;
}

}  // namespace

void img_ffree(void *block) {
  if (block == nullptr) return;
  for (int slot = 0; slot < kWorkBlockSlots; ++slot) {
    if (ptr_array[slot] == block) {
      release_work_block(slot);
      return;
    }
  }
}

void img_ffree_all() {
  for (int slot = kWorkBlockSlots - 1; slot >= 0; --slot)
    if (ptr_array[slot] != nullptr) release_work_block(slot);
}

int img_work_blocks_in_use() {
  int n = 0;
  for (void *p : ptr_array) n += p != nullptr;
  return n;
}

void img_byteswap(void *words, int count) {
  auto *p = static_cast<std::uint8_t *>(words);
  for (int i = 0; i < count; ++i, p += 2) {
    std::uint8_t t = p[0];
    p[0] = p[1];
    p[1] = t;
  }
}

std::int32_t size_for_long(std::int32_t width, int bit_count) {
  if (width < 0) return -1;
  std::int64_t w = width;
  std::int64_t bytes;
  switch (bit_count) {
    case 1: bytes = (w + 7) / 8; break;
    case 4: bytes = (w + 1) / 2; break;
    case 24: bytes = w * 3; break;
    default: bytes = w; break;
  }
  bytes = (bytes + 3) / 4 * 4;
  return bytes > INT32_MAX ? -1 : static_cast<std::int32_t>(bytes);
}

std::uint32_t Palette_Size(const void *header) {
  const auto *h = static_cast<const std::uint8_t *>(header);
  std::uint32_t used = dib_clr_used(h);
  if (used != 0) return used * 4;
  int bits = dib_bit_count(h);
  if (bits == 24) return 0;
  // Only 1, 4 and 8 bits have tables; a wider count would ask for more than 32 bits of size.
  if (bits > 16) return 0;
  return 4u << bits;
}

}  // namespace pxv
