// The read cache of a file stream while its strips are decoded. A file written with a strip per
// row would otherwise cost four system calls per row (two seeks, the strip offset, a block of
// the strip). Two windows, so that the StripOffsets array and the strip data do not evict each
// other (see fill_window for which one is replaced). Reads answer what the stream itself would:
// the bytes at the position, as many as it has up to the count.
//
// A window is a mapped view of the file where the file can be mapped: the decoders then read
// the page cache's own pages, and no copy of the file passes through the kernel into a buffer
// of ours, which for an image of quick strips costs as much as decoding them. Views are 512 KiB
// (smaller ones cost more in mapping calls than they save; reads of a few bytes take 128 KiB),
// start at a multiple of the 64 KiB granularity Windows places them at, never reach past the
// file's length, and the one replaced is unmapped, so a load keeps at most two of them resident.
// Where mapping is refused (a pipe, an empty file, no address space left) or fails midway,
// windows are read into buffers instead, with the same bytes in the end.
//
// On POSIX a mapped file that another process truncates while it is read raises SIGBUS on the
// pages past its new end; libtiff's mapped reads take the same risk, and Windows forbids
// truncating a file while a view of it exists.
#include <algorithm>
#include <cstring>

#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kCacheWindowBytes = 1u << 17;
constexpr std::uint32_t kViewBytes = 1u << 19;
constexpr std::uint64_t kViewGranularity = 1u << 16;
// Reads shorter than this (the elements of StripOffsets) get a view of two granules, which holds
// 64 KiB past the position at least: the strip data's large view is not worth its pages there.
constexpr std::uint32_t kSmallRead = 16;

// The window that holds the reader's position, or null. A window holds its end too when the
// file ends there, so that reads at the end find it and answer nothing.
tiff_cache_window *window_at_position() {
  tiff_read_cache &cache = tiffstruct.cache;
  tiff_cache_window *hit = nullptr;
  for (tiff_cache_window &w : cache.window) {
    if (cache.pos >= w.start && cache.pos - w.start <= w.size && (cache.pos - w.start < w.size || w.ends_file))
      hit = &w;
  }
  return hit;
}

bool seek_stream_to_position() {
  const std::uint64_t pos = tiffstruct.cache.pos;
  return pos <= INT32_MAX && img_seek_mem(tiffstruct.stream, static_cast<std::int32_t>(pos), kSeekSet) >= 0;
}

void release_view(tiff_cache_window &w) {
  if (w.mapped) UnmapViewOfFile(w.data);
  w.mapped = false;
  w.data = w.buffer;
  w.size = 0;
  w.ends_file = false;
}

void stop_mapping() {
  tiff_read_cache &cache = tiffstruct.cache;
  if (cache.mapping == nullptr) return;
  CloseHandle(cache.mapping);
  cache.mapping = nullptr;
}

// Maps the view that holds the reader's position into `w`, for a read of `want` bytes; false
// when the view cannot be had. At or past the end of the file the window is empty and ends the
// file.
bool map_window(tiff_cache_window &w, std::uint32_t want) {
  tiff_read_cache &cache = tiffstruct.cache;
  if (cache.pos >= cache.length) {
    w.start = cache.pos;
    w.ends_file = true;
    return true;
  }
  const std::uint64_t base = cache.pos & ~(kViewGranularity - 1);
  const std::uint64_t most = want < kSmallRead ? 2 * kViewGranularity : kViewBytes;
  const auto bytes = static_cast<std::uint32_t>(std::min(most, cache.length - base));
  const void *view = MapViewOfFile(cache.mapping, FILE_MAP_READ, static_cast<DWORD>(base >> 32),
                                   static_cast<DWORD>(base), bytes);
  if (view == nullptr) return false;
  w.data = static_cast<const std::uint8_t *>(view);
  w.mapped = true;
  w.start = base;
  w.size = bytes;
  w.ends_file = base + bytes == cache.length;
  return true;
}

// Reads the window from the reader's position; false when the stream cannot be placed there.
bool read_window(tiff_cache_window &w) {
  if (!seek_stream_to_position()) return false;
  const std::int32_t got = img_read_mem(tiffstruct.stream, w.buffer, kCacheWindowBytes);
  w.start = tiffstruct.cache.pos;
  w.size = got > 0 ? static_cast<std::uint32_t>(got) : 0;
  w.ends_file = w.size < kCacheWindowBytes;
  return true;
}

// Refills a window so that it holds the reader's position, for a read of `want` bytes; null
// when the stream cannot be read there. The window replaced is one that the reader has just read
// to its end (it is done with, and unmapping it before the next is mapped keeps one view of the
// strip data resident, not two), else the one used less recently. A view that cannot be mapped
// ends mapping for the rest of the load: the windows are read from then on.
tiff_cache_window *fill_window(std::uint32_t want) {
  tiff_read_cache &cache = tiffstruct.cache;
  tiff_cache_window *passed = nullptr;
  for (tiff_cache_window &c : cache.window)
    if (c.size != 0 && c.start + c.size == cache.pos) passed = &c;
  tiff_cache_window &w = passed != nullptr                               ? *passed
                         : cache.window[0].used <= cache.window[1].used ? cache.window[0]
                                                                        : cache.window[1];
  release_view(w);
  if (cache.mapping != nullptr && !map_window(w, want)) stop_mapping();
  if (cache.mapping == nullptr && !read_window(w)) return nullptr;
  w.used = ++cache.clock;
  return &w;
}

std::int32_t cached_read(std::uint8_t *dst, std::uint32_t count) {
  tiff_read_cache &cache = tiffstruct.cache;
  std::uint32_t done = 0;
  while (done < count) {
    if (tiff_cache_window *hit = window_at_position()) {
      const std::uint32_t at = static_cast<std::uint32_t>(cache.pos - hit->start);
      if (at == hit->size) break;  // the end of the file
      const std::uint32_t n = std::min(count - done, hit->size - at);
      std::memcpy(dst + done, hit->data + at, n);
      hit->used = ++cache.clock;
      done += n;
      cache.pos += n;
      continue;
    }
    if (cache.mapping == nullptr && count - done >= kCacheWindowBytes) {
      // A read as large as a window goes straight to the caller.
      if (!seek_stream_to_position()) break;
      const std::int32_t got = img_read_mem(tiffstruct.stream, dst + done, count - done);
      if (got <= 0) break;
      done += static_cast<std::uint32_t>(got);
      cache.pos += static_cast<std::uint32_t>(got);
      if (static_cast<std::uint32_t>(got) < count - done) break;
      continue;
    }
    if (fill_window(count - done) == nullptr) break;
  }
  return static_cast<std::int32_t>(done);
}

}  // namespace

// Starts the cache at the stream's position, mapping the file where it can; false when its
// buffer cannot be had.
bool cache_begin() {
  tiff_read_cache &cache = tiffstruct.cache;
  const int stream = tiffstruct.stream;
  cache.on = false;
  if (stream == kMemoryStream) return true;  // a memory stream is read by copying anyway
  const std::int32_t here = img_seek_mem(stream, 0, kSeekCur);
  if (here < 0) return true;  // reads go to the stream as they come
  // Taken even where the file is mapped, so that a view refused midway can fall back to reads.
  auto *data = static_cast<std::uint8_t *>(img_fmalloc(2 * kCacheWindowBytes));
  if (data == nullptr) return false;
  cache.on = true;
  cache.pos = static_cast<std::uint64_t>(here);
  cache.clock = 0;
  for (int i = 0; i < 2; ++i) {
    cache.window[i] = tiff_cache_window{};
    cache.window[i].buffer = data + i * kCacheWindowBytes;
    cache.window[i].data = cache.window[i].buffer;
  }
  cache.length = tiffstruct.stream_length;
  // An HFILE holds the file's HANDLE on Windows, and the descriptor in the stand-in.
  cache.mapping = cache.length == UINT32_MAX
                      ? nullptr
                      : CreateFileMappingA(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(stream)),
                                           nullptr, PAGE_READONLY, 0, 0, nullptr);
  return true;
}

void cache_end() {
  tiff_read_cache &cache = tiffstruct.cache;
  if (!cache.on) return;
  cache.on = false;
  for (tiff_cache_window &w : cache.window) release_view(w);
  stop_mapping();
  // Leave the stream where the reader's position is, as reads without the cache would have.
  if (cache.pos <= INT32_MAX)
    img_seek_mem(tiffstruct.stream, static_cast<std::int32_t>(cache.pos), kSeekSet);
}

bool seek_tiff(std::uint64_t offset) {
  const std::uint64_t absolute = offset + tiffstruct.tiff_offset;
  if (absolute > INT32_MAX) return false;
  if (tiffstruct.cache.on) {
    tiffstruct.cache.pos = absolute;
    return true;
  }
  return img_seek_mem(tiffstruct.stream, static_cast<std::int32_t>(absolute), kSeekSet) >= 0;
}

std::uint32_t tiff_borrow(const std::uint8_t **data) {
  tiff_read_cache &cache = tiffstruct.cache;
  if (!cache.on) return 0;
  tiff_cache_window *w = window_at_position();
  if (w == nullptr) w = fill_window(UINT32_MAX);
  if (w == nullptr) return 0;
  const std::uint32_t at = static_cast<std::uint32_t>(cache.pos - w->start);
  *data = w->data + at;
  // The window is now the one used last, so the next refill takes the other.
  w->used = ++cache.clock;
  cache.pos += w->size - at;
  return w->size - at;
}

std::int32_t tiff_read(void *dst, std::uint32_t count) {
  if (tiffstruct.cache.on) return cached_read(static_cast<std::uint8_t *>(dst), count);
  return img_read_mem(tiffstruct.stream, dst, count);
}

}  // namespace pxv
