// The read cache of a file stream while its strips are decoded. A file written with a strip per
// row would otherwise cost four system calls per row (two seeks, the strip offset, a block of
// the strip). Two windows, so that the StripOffsets array and the strip data do not evict each
// other; the one used less recently is refilled. A window shorter than kCacheWindowBytes ends at
// the end of the file. Reads answer what the stream itself would: the bytes at the position, as
// many as it has up to the count.
#include <algorithm>
#include <cstring>

#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kCacheWindowBytes = 1u << 17;

std::int32_t cached_read(std::uint8_t *dst, std::uint32_t count) {
  tiff_read_cache &cache = tiffstruct.cache;
  const int stream = tiffstruct.stream;
  std::uint32_t done = 0;
  while (done < count) {
    tiff_cache_window *hit = nullptr;
    for (tiff_cache_window &w : cache.window) {
      if (w.data != nullptr && cache.pos >= w.start && cache.pos - w.start <= w.size &&
          (cache.pos - w.start < w.size || w.size < kCacheWindowBytes))
        hit = &w;
    }
    if (hit != nullptr) {
      const std::uint32_t at = static_cast<std::uint32_t>(cache.pos - hit->start);
      if (at == hit->size) break;  // the end of the file
      const std::uint32_t n = std::min(count - done, hit->size - at);
      std::memcpy(dst + done, hit->data + at, n);
      hit->used = ++cache.clock;
      done += n;
      cache.pos += n;
      continue;
    }
    if (cache.pos > INT32_MAX || img_seek_mem(stream, static_cast<std::int32_t>(cache.pos), kSeekSet) < 0)
      break;
    if (count - done >= kCacheWindowBytes) {
      // A read as large as a window goes straight to the caller.
      const std::int32_t got = img_read_mem(stream, dst + done, count - done);
      if (got <= 0) break;
      done += static_cast<std::uint32_t>(got);
      cache.pos += static_cast<std::uint32_t>(got);
      if (static_cast<std::uint32_t>(got) < count - done) break;
      continue;
    }
    tiff_cache_window &w = cache.window[0].used <= cache.window[1].used ? cache.window[0] : cache.window[1];
    const std::int32_t got = img_read_mem(stream, w.data, kCacheWindowBytes);
    w.start = cache.pos;
    w.size = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    w.used = ++cache.clock;
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

std::int32_t tiff_read(void *dst, std::uint32_t count) {
  if (tiffstruct.cache.on) return cached_read(static_cast<std::uint8_t *>(dst), count);
  return img_read_mem(tiffstruct.stream, dst, count);
}

}  // namespace pxv
