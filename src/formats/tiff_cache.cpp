// The read cache of a file stream while its strips are decoded. A file written with a strip per
// row would otherwise cost four system calls per row (two seeks, the strip offset, a block of
// the strip). Two windows, so that the StripOffsets array and the strip data do not evict each
// other (see fill_window for which is refilled). A window shorter than kCacheWindowBytes ends at
// the end of the file. Reads answer what the stream itself would: the bytes at the position, as
// many as it has up to the count.
//
// The file is read into the windows rather than mapped: a window stays in the core's cache, so
// the decoders read it from there, and the kernel's copy into it costs less than mapping the
// page cache's pages a view at a time and unmapping them (a 12 MiB PackBits load took 3.5 ms
// through mapped views of 512 KiB, against 2.9-3.3 ms read).
#include <algorithm>
#include <cstring>

#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kCacheWindowBytes = 1u << 17;

// The window that holds the reader's position, or null.
tiff_cache_window *window_at_position() {
  tiff_read_cache &cache = tiffstruct.cache;
  tiff_cache_window *hit = nullptr;
  for (tiff_cache_window &w : cache.window) {
    if (w.used != 0 && cache.pos >= w.start && cache.pos - w.start <= w.size &&
        (cache.pos - w.start < w.size || w.size < kCacheWindowBytes))
      hit = &w;
  }
  return hit;
}

bool seek_stream_to_position() {
  const std::uint64_t pos = tiffstruct.cache.pos;
  return pos <= INT32_MAX && img_seek_mem(tiffstruct.stream, static_cast<std::int32_t>(pos), kSeekSet) >= 0;
}

// Refills a window from the reader's position (the stream positioned there): one that the
// reader has just read to its end, as the strip data's is when the data goes on, else the one
// used less recently.
tiff_cache_window &fill_window() {
  tiff_read_cache &cache = tiffstruct.cache;
  tiff_cache_window *passed = nullptr;
  for (tiff_cache_window &c : cache.window)
    if (c.used != 0 && c.start + c.size == cache.pos) passed = &c;
  tiff_cache_window &w = passed != nullptr                               ? *passed
                         : cache.window[0].used <= cache.window[1].used ? cache.window[0]
                                                                        : cache.window[1];
  const std::int32_t got = img_read_mem(tiffstruct.stream, w.data, kCacheWindowBytes);
  w.start = cache.pos;
  w.size = got > 0 ? static_cast<std::uint32_t>(got) : 0;
  w.used = ++cache.clock;
  return w;
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
    if (!seek_stream_to_position()) break;
    if (count - done >= kCacheWindowBytes) {
      // A read as large as a window goes straight to the caller.
      const std::int32_t got = img_read_mem(tiffstruct.stream, dst + done, count - done);
      if (got <= 0) break;
      done += static_cast<std::uint32_t>(got);
      cache.pos += static_cast<std::uint32_t>(got);
      if (static_cast<std::uint32_t>(got) < count - done) break;
      continue;
    }
    fill_window();
  }
  return static_cast<std::int32_t>(done);
}

}  // namespace

// Starts the cache at the stream's position; false when its buffer cannot be had.
bool cache_begin() {
  tiff_read_cache &cache = tiffstruct.cache;
  const int stream = tiffstruct.stream;
  cache.on = false;
  if (stream == kMemoryStream) return true;  // a memory stream is read by copying anyway
  const std::int32_t here = img_seek_mem(stream, 0, kSeekCur);
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
  tiff_read_cache &cache = tiffstruct.cache;
  if (!cache.on) return;
  cache.on = false;
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
  if (w == nullptr) {
    if (!seek_stream_to_position()) return 0;
    w = &fill_window();
  }
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
