// The strips of a page: where each lies, which rows it holds, and one iterator that every
// decoder runs on, the uncompressed and PackBits decoders here, CCITT (tiff_huf.cpp) and LZW
// (tiff_lzw.cpp) in their own files.
//
// Malformed-input policy:
// - Strips are located from StripOffsets: a strip past the entry's count, or whose array element
//   cannot be read, ends the decoding; a strip whose offset lies at or past the end of a file is
//   skipped (its rows are not delivered). RowsPerStrip 0 is taken as one strip.
// - Strip data is not measured by StripByteCounts. Where the stream ends inside a row, the rest
//   of the row is 0; a row for which the stream has no byte at all is not delivered, and the
//   rest of its strip is skipped.
// - PackBits: a run or copy that passes the end of the row is consumed whole, and what does not
//   fit the row is dropped. The no-op control byte 128 is skipped.
// - CCITT compression on a page of more than 1 bit per pixel decodes no rows (as an unknown
//   compression does): the codes describe bilevel rows only.
// - Rows wider than the 10000-byte read block are read one at a time (the block grows to a row).
// - Planar pages whose samples are not 8 bits decode no rows (see tiff_planar.cpp).
#include <cstring>

#include "core/bytes.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kNoneBlockBytes = 10000;
constexpr std::uint32_t kPackBitsBlockBytes = 20000;

// Rows per strip as the decoders use it: one strip for the default, for any value not below
// the image length, and for 0.
std::uint32_t rows_per_strip() {
  const std::uint32_t rps = tiffstruct.tags.rows_per_strip;
  const std::uint32_t length = tiffstruct.tags.image_length;
  return (rps == 0 || rps >= length) ? length : rps;
}

enum class strip_state { ready, empty, missing };

strip_state locate_strip(std::uint32_t strip) {
  const tiff_reader &r = tiffstruct;
  const tiff_entry &e = r.strip_offsets_tag;
  if (strip >= e.count) return strip_state::missing;
  std::uint32_t offset;
  if (e.type == kTypeLong && e.count == 1) {
    offset = e.value;
  } else if (e.type == kTypeShort && e.count <= 2) {
    offset = e.shorts[strip];
  } else {
    // An array of SHORT or LONG offsets, element `strip`.
    const int element = e.type == kTypeShort ? 2 : 4;
    const std::uint64_t at = std::uint64_t{e.value} + std::uint64_t{strip} * element;
    std::uint8_t b[4] = {};
    if (at + r.tiff_offset + element > r.stream_length || !seek_tiff(at) ||
        tiff_read(b, static_cast<std::uint32_t>(element)) != element)
      return strip_state::missing;
    offset = element == 2 ? tiff_get16(b) : tiff_get32(b);
  }
  if (std::uint64_t{offset} + r.tiff_offset >= r.stream_length || !seek_tiff(offset))
    return strip_state::empty;
  return strip_state::ready;
}

// A window on the stream for the uncompressed and PackBits decoders: bytes are consumed from
// `pos`. With the read cache on, the window is lent the cache's bytes, which are then decoded
// where they lie; only where a row's bytes straddle two cache windows are they copied together
// into `buf`, the unread ones first and the stream's behind them.
struct strip_window {
  std::uint8_t *buf;
  const std::uint8_t *data;  // buf, or bytes lent by the cache
  std::uint32_t capacity;    // of buf
  std::uint32_t pos;
  std::uint32_t end;
  bool at_eof;
  // Bytes a read into buf asks for: about what the strip's rows take. Strips are often a row or
  // two, much smaller than the window, and the bytes behind them would be copied for nothing.
  std::uint32_t budget;
};

void window_restart(strip_window &w, std::uint32_t budget) {
  w.data = w.buf;
  w.pos = 0;
  w.end = 0;
  w.at_eof = false;
  w.budget = budget;
}

// Makes up to `need` bytes (at most the capacity) available at `pos`; answers how many are.
std::uint32_t window_ensure(strip_window &w, std::uint32_t need) {
  if (w.end - w.pos < need && !w.at_eof) {
    if (w.pos == w.end) {
      const std::uint8_t *lent;
      const std::uint32_t n = tiff_borrow(&lent);
      if (n != 0) {
        w.data = lent;
        w.pos = 0;
        w.end = n;
        if (n >= need) return need;
      }
    }
    std::memmove(w.buf, w.data + w.pos, w.end - w.pos);
    w.data = w.buf;
    w.end -= w.pos;
    w.pos = 0;
    const std::uint32_t missing = need - w.end;
    std::uint32_t want = w.capacity - w.end;
    if (want > w.budget) want = w.budget > missing ? w.budget : missing;
    const std::int32_t got = tiff_read(w.buf + w.end, want);
    const std::uint32_t n = got > 0 ? static_cast<std::uint32_t>(got) : 0;
    w.end += n;
    if (n < want) w.at_eof = true;
  }
  const std::uint32_t have = w.end - w.pos;
  return have < need ? have : need;
}

// The strips in file order. A chunky image has ceil(length / rows per strip) strips; a planar
// one has that many per plane, plane after plane, and its rows are numbered plane after plane
// too (row k × length + i is row i of plane k).
struct strip_plan {
  std::uint32_t per_plane;
  std::uint32_t rps;
  std::uint64_t strips;
};

strip_plan plan_strips() {
  strip_plan p;
  p.rps = rows_per_strip();
  p.per_plane = (tiffstruct.tags.image_length - 1) / p.rps + 1;
  p.strips = std::uint64_t{p.per_plane} * tiffstruct.rows.planes;
  return p;
}

// First row and row count of strip s.
void strip_rows(const strip_plan &p, std::uint64_t s, std::uint32_t *first, std::uint32_t *rows) {
  const std::uint32_t length = tiffstruct.tags.image_length;
  const std::uint32_t plane = static_cast<std::uint32_t>(s / p.per_plane);
  const std::uint32_t start = static_cast<std::uint32_t>(s % p.per_plane) * p.rps;
  *first = plane * length + start;
  *rows = length - start < p.rps ? length - start : p.rps;
}

// Calls decode_strip(first row, rows) for every strip in file order, the stream positioned at
// the strip's first byte; a strip that is missing ends the page, one that lies past the end of
// the file is skipped, and a decoder answering false ends the page.
template <typename StripDecoder>
void for_each_strip(StripDecoder decode_strip) {
  const strip_plan p = plan_strips();
  for (std::uint64_t s = 0; s < p.strips; ++s) {
    const strip_state state = locate_strip(static_cast<std::uint32_t>(s));
    if (state == strip_state::missing) break;
    if (state == strip_state::empty) continue;
    std::uint32_t first, rows;
    strip_rows(p, s, &first, &rows);
    if (!decode_strip(first, rows)) break;
  }
}

// Decodes every strip through a window of `block_bytes` with a row decoder that answers the
// decoded row, built in `row` (`row_slack` bytes past one decoded row may be written) or lying in
// the window, or null when the stream had nothing for it. A read into the window asks for about
// `row_input` bytes for each row of the strip.
template <typename RowDecoder>
int decode_strips(std::uint32_t block_bytes, std::uint64_t row_input, std::uint32_t row_slack,
                  RowDecoder decode_row) {
  strip_window w{};
  w.capacity = block_bytes;
  w.buf = static_cast<std::uint8_t *>(img_fmalloc(w.capacity));
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(std::uint64_t{tiffstruct.rows.decode_bytes} + row_slack));
  if (w.buf == nullptr || row == nullptr) return kNoMemory;
  for_each_strip([&](std::uint32_t first, std::uint32_t rows) {
    const std::uint64_t budget = row_input * rows;
    window_restart(w, budget < w.capacity ? static_cast<std::uint32_t>(budget) : w.capacity);
    for (std::uint32_t i = 0; i < rows; ++i) {
      const std::uint8_t *decoded = decode_row(w, row);
      if (decoded == nullptr) break;
      tiff_raster_to_dib(decoded, first + i);
    }
    return true;
  });
  return 0;
}

int tiff_decomp_none() {
  const std::uint32_t r = tiffstruct.rows.decode_bytes;
  return decode_strips(r > kNoneBlockBytes ? r : kNoneBlockBytes, r, 0,
                       [r](strip_window &win, std::uint8_t *out) -> const std::uint8_t * {
    const std::uint32_t have = window_ensure(win, r);
    if (have == 0) return nullptr;
    const std::uint8_t *in = win.data + win.pos;
    win.pos += have;
    if (have == r) return in;  // delivered from where it lies
    std::memcpy(out, in, have);
    std::memset(out + have, 0, r - have);
    return out;
  });
}

// Copies and runs are written in whole 16-byte words: up to a word less one past their end, or
// past the row's end, into bytes that later ones overwrite or that lie past the decoded row.
constexpr std::uint32_t kPackBitsSlack = 128;

// n is at least 1.
inline void copy_words(std::uint8_t *dst, const std::uint8_t *src, std::uint32_t n) {
  std::uint32_t k = 0;
  do {
    std::memcpy(dst + k, src + k, 16);
    k += 16;
  } while (k < n);
}

// The fill word is made in a register: most runs are a few bytes, and one word does them.
inline void fill_words(std::uint8_t *dst, std::uint8_t v, std::uint32_t n) {
  const std::uint64_t half = 0x0101010101010101u * v;
  std::uint32_t k = 0;
  do {
    std::memcpy(dst + k, &half, 8);
    std::memcpy(dst + k + 8, &half, 8);
    k += 16;
  } while (k < n);
}

int tiff_decomp_pack() {
  const std::uint32_t r = tiffstruct.rows.decode_bytes;
  // A row takes its bytes and a control byte for every 128 of them at most, plus a run or copy
  // that passes its end.
  return decode_strips(kPackBitsBlockBytes, r + r / 128 + 130, kPackBitsSlack,
                       [r](strip_window &win, std::uint8_t *out) -> const std::uint8_t * {
    // The longest control, a copy of 128 bytes and its control byte, plus a word's overread.
    constexpr std::uint32_t kWholeControl = 129 + 16;
    std::uint32_t produced = 0;
    bool any = false;
    while (produced < r) {
      // While the window holds any control whole, and its output (at most 128 bytes, within the
      // slack) cannot overrun the row buffer, a control takes no further test.
      if (win.end - win.pos >= kWholeControl) {
        any = true;
        const std::uint8_t *in = win.data;
        std::uint32_t pos = win.pos;
        const std::uint32_t stop = win.end - kWholeControl;
        do {
          const std::uint32_t n = in[pos++];
          if (n < 128) {
            copy_words(out + produced, in + pos, n + 1);
            produced += n + 1;
            pos += n + 1;
          } else if (n > 128) {
            fill_words(out + produced, in[pos++], 257 - n);
            produced += 257 - n;
          }
        } while (produced < r && pos <= stop);
        win.pos = pos;
        continue;
      }
      if (window_ensure(win, 1) == 0) break;
      any = true;
      const std::uint32_t n = win.data[win.pos++];
      if (n < 128) {
        // Copy the next n + 1 bytes.
        const std::uint32_t have = window_ensure(win, n + 1);
        const std::uint32_t keep = have < r - produced ? have : r - produced;
        std::memcpy(out + produced, win.data + win.pos, keep);
        produced += keep;
        win.pos += have;
      } else if (n > 128) {
        // Repeat the next byte 257 - n times.
        if (window_ensure(win, 1) == 0) break;
        const std::uint8_t v = win.data[win.pos++];
        const std::uint32_t run = 257 - n;
        const std::uint32_t keep = run < r - produced ? run : r - produced;
        std::memset(out + produced, v, keep);
        produced += keep;
      }
      // n = 128 is a no-op.
    }
    if (!any) return nullptr;
    if (produced < r) std::memset(out + produced, 0, r - produced);
    return out;
  });
}

int tiff_decomp_g3() {
  if (ccitt_begin(tiffstruct.tags.image_width, tiffstruct.tags.compression) < 0) return kNoMemory;
  for_each_strip([](std::uint32_t first, std::uint32_t rows) {
    const tiff_fields &t = tiffstruct.tags;
    if (t.compression == kCompressionG4)
      decode_g4_huff_strip(rows, first, t.image_width, t.fill_order);
    else
      decode_g3_huff_strip(rows, first, t.image_width, t.compression, t.fill_order);
    return true;
  });
  return 0;
}

int tiff_decomp_lzw() {
  if (lzw_begin(tiffstruct.rows.decode_bytes) < 0) return kNoMemory;
  // The LZW decoder does not count rows per strip: a strip ends at its EOI, and the rows of
  // the next strip continue from there. An impossible code ends its strip only.
  std::uint32_t index = 0;
  for_each_strip([&index](std::uint32_t, std::uint32_t) {
    decode_lzw_strip(&index);
    return index < tiffstruct.rows.virtual_rows;
  });
  return 0;
}

}  // namespace

int tiff_decompress() {
  // Only 8-bit planes are rebuilt into rows; other planar pages have nothing to deliver.
  if (tiffstruct.rows.planar && tiffstruct.tags.bits_per_sample != 8) return 0;
  switch (tiffstruct.tags.compression) {
    case kCompressionNone: return tiff_decomp_none();
    case kCompressionPackBits: return tiff_decomp_pack();
    case kCompressionHuffman:
    case kCompressionG3:
    case kCompressionG4:
      // CCITT codes bilevel rows only; other depths are not decoded, like an unknown scheme.
      return tiff_bits_per_pixel() == 1 ? tiff_decomp_g3() : 0;
    case kCompressionLzw: return tiff_decomp_lzw();
    default: return 0;  // nothing this library decodes: no rows, and success
  }
}

}  // namespace pxv
