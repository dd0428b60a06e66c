// CCITT facsimile writers for TIFF: modified Huffman (Compression 2), Group 3 one-dimensional
// with EOL codes (Compression 3) and Group 4 (Compression 4). The whole image is one strip whose
// byte count is patched once the codes are written.
//
// Colours: in the fetched row a 1-bit is white and a 0-bit black; the file says WhiteIsZero.
// Codes are gathered most significant bit first in 16-bit units, written high byte first, each
// byte bit-reversed for the FillOrder 2 of Group 3 and Group 4.
#include <cstring>
#include <utility>

#include "core/dib.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "formats/ccitt_changes.h"
#include "formats/ccitt_codes.h"
#include "formats/tif_save.h"

namespace pxv {

namespace {

constexpr int kWhite = 0;
constexpr int kBlack = 1;
// Group 3 rows always code 1728 pixels, the width of an A4 facsimile line.
constexpr std::int32_t kGroup3Width = 1728;
// Group 4 output is written whenever a row ends with this many 16-bit units buffered.
constexpr std::int32_t kGroup4FlushUnits = 1000;
constexpr std::int32_t kBufferUnits = 5000;  // 10000 bytes, enough for rows up to ~8000 pixels

enum class fill_order { msb_first, lsb_first };

// The bit writer: 16-bit units, `free_bits` still free in the current one.
struct code_buffer {
  std::uint16_t *units = nullptr;
  std::int32_t capacity = 0;
  std::int32_t current = 0;  // buffptr
  int free_bits = 16;        // bptr

  // Units past `current` are always zero, so only those up to it need clearing.
  void clear() {
    const std::int32_t used = current < capacity ? current + 1 : capacity;
    std::memset(units, 0, static_cast<std::size_t>(used) * 2);
    current = 0;
    free_bits = 16;
  }

  // putbuff: the low `bits` bits of `code`, most significant first; a code that does not fit
  // the current unit ends it with its high part and starts the next with the rest.
  void put(std::uint32_t code, int bits) {
    if (bits <= free_bits) {
      units[current] = static_cast<std::uint16_t>(units[current] | (code << (free_bits - bits)));
      free_bits -= bits;
    } else {
      const int rest = bits - free_bits;
      units[current] = static_cast<std::uint16_t>(units[current] | (code >> rest));
      ++current;
      free_bits = 16 - rest;
      units[current] = static_cast<std::uint16_t>(code << free_bits);
    }
    if (free_bits == 0) {
      ++current;
      free_bits = 16;
    }
  }
  void put(ccitt::code_word w) { put(w.code, w.bits); }

  // puteol: the current unit closes with its free bits 0, and the next unit is four fill bits
  // and the 12-bit EOL, so that every EOL ends on a 16-bit boundary.
  void put_eol() {
    ++current;
    units[current] = ccitt::kEndOfLine.code;
    ++current;
    free_bits = 16;
  }

  // Closes a partly used unit so that the next write includes it.
  void close_unit() {
    if (free_bits != 16) {
      ++current;
      free_bits = 16;
    }
  }
};

// wrtlndsk: mode 2 writes the complete units and the used bytes of the current one, so a row
// ends on a byte; mode 3 the complete units; mode 4 the complete units, keeping the current
// unit at the front for the next row.
int write_units(int stream, code_buffer &out, int mode, fill_order order, std::uint8_t *bytes) {
  std::int32_t n = 0;
  auto emit = [&](std::uint16_t unit, int count) {
    std::uint8_t hi = static_cast<std::uint8_t>(unit >> 8), lo = static_cast<std::uint8_t>(unit);
    if (order == fill_order::lsb_first) {
      hi = ccitt::kBitReversed[hi];
      lo = ccitt::kBitReversed[lo];
    }
    bytes[n++] = hi;
    if (count == 2) bytes[n++] = lo;
  };
  for (std::int32_t i = 0; i < out.current; ++i) emit(out.units[i], 2);
  const int used = 16 - out.free_bits;
  if (mode == 2 && used > 0) emit(out.units[out.current], used <= 8 ? 1 : 2);
  if (n != 0 && img_write_mem(stream, bytes, static_cast<std::uint32_t>(n)) != n) return kShortWrite;
  if (mode == 4) {
    const std::uint16_t keep = out.units[out.current];
    const int free_bits = out.free_bits;
    out.clear();
    out.units[0] = keep;
    out.free_bits = free_bits;
  } else {
    out.clear();
  }
  return kOk;
}

// A run as make-up codes of at most 2560 while it is 64 or more, then its terminating code.
void put_run(code_buffer &out, std::int32_t run, int colour) {
  while (run >= 64) {
    std::int32_t make_up = run / 64 * 64;
    if (make_up > ccitt::kMaxMakeUp) make_up = ccitt::kMaxMakeUp;
    out.put(ccitt::run_code(make_up, colour == kBlack));
    run -= make_up;
  }
  out.put(ccitt::run_code(run, colour == kBlack));
}

// Room for one row's codes at worst (a change at every pixel costs at most 7 bits in either
// coding) besides what a Group 4 row may leave buffered.
std::int32_t buffer_units(std::int32_t width) {
  std::int32_t need = kGroup4FlushUnits + width / 2 + 64;
  return need > kBufferUnits ? need : kBufferUnits;
}

// Patches the single strip's byte count and cuts a file overwritten from its start at the end
// of the codes, as every TIFF writer does.
int finish_strip(int stream) {
  const std::int32_t end = tiff_stream_position(stream);
  const int rc = tiff_patch_strip_bytes(stream, end);
  if (rc == kOk) tiff_cut_at(stream, end);
  return rc;
}

// The code buffer, the bytes written from it, and the changes of the row being coded and of the
// row before it (Group 4's reference row).
struct work_area {
  code_buffer out;
  std::uint8_t *bytes = nullptr;
  std::int32_t *changes = nullptr;
  std::int32_t *reference = nullptr;
  bool make(std::int32_t width) {
    out.capacity = buffer_units(width);
    out.units = static_cast<std::uint16_t *>(img_fmalloc(static_cast<std::size_t>(out.capacity) * 2));
    bytes = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(out.capacity) * 2));
    const std::size_t list_bytes = sizeof(std::int32_t) * (static_cast<std::size_t>(width) + 4);
    changes = static_cast<std::int32_t *>(img_fmalloc(list_bytes));
    reference = static_cast<std::int32_t *>(img_fmalloc(list_bytes));
    if (out.units == nullptr || bytes == nullptr || changes == nullptr || reference == nullptr) return false;
    std::memset(out.units, 0, static_cast<std::size_t>(out.capacity) * 2);
    return true;
  }
};

}  // namespace

int save_tiff_file_huff(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv,
                        int mode) {
  if (dib_bit_count(header) != 1) return kUnsupported;
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  const bool group3 = mode == 3;
  const std::int32_t coded = group3 ? kGroup3Width : width;
  int rc = tiff_start_file(stream, header, coded, group3 ? kTiffGroup3 : kTiffHuffman, kNoMemory);
  if (rc < 0) return rc;
  const fill_order order = group3 ? fill_order::lsb_first : fill_order::msb_first;
  std::int32_t row_size = (width + 7) / 8 + 10;
  if (group3 && row_size < kGroup3Width / 8) row_size = kGroup3Width / 8;
  const std::int32_t fetch_bytes = size_for_long(width, 1);
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_size)));
  work_area work;
  if (row == nullptr || !work.make(coded)) return kNoMemory;
  code_buffer &out = work.out;
  if (group3) out.put_eol();  // the first unit stays 16 zero bits
  for (std::int32_t i = 0; i < height && rc == kOk; ++i) {
    std::memset(row, 0xFF, static_cast<std::size_t>(row_size));
    fetch(priv, row, height - 1 - i, fetch_bytes);
    if (group3 && width < kGroup3Width) {
      // White from the image's last pixel through the fetched row's padding.
      row[width / 8] |= static_cast<std::uint8_t>(0xFF >> (width % 8));
      for (std::int32_t k = 1; k <= 3; ++k) row[width / 8 + k] = 0xFF;
    }
    // Runs end at each change and at the width; a row that starts black starts with a white run
    // of 0.
    const std::int32_t changes = find_changes(row, coded, work.changes);
    std::int32_t position = 0;
    int colour = kWhite;
    for (std::int32_t k = 0; k <= changes; ++k, colour ^= 1) {
      put_run(out, work.changes[k] - position, colour);
      position = work.changes[k];
    }
    const bool last = i == height - 1;
    if (group3 && !last) out.put_eol();
    // The last row of Group 3 is closed so that its codes are written whole; no RTC follows.
    if (group3 && last) out.close_unit();
    rc = write_units(stream, out, mode, order, work.bytes);
  }
  if (rc == kOk) rc = finish_strip(stream);
  return rc;
}

int save_tiff_file_g4(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  if (dib_bit_count(header) != 1) return kUnsupported;
  const std::int32_t width = dib_width(header);
  const std::int32_t height = dib_height(header);
  int rc = tiff_start_file(stream, header, width, kTiffGroup4, kShortWrite);
  if (rc < 0) return rc;
  const std::int32_t fetch_bytes = size_for_long(width, 1);
  const std::size_t row_size = static_cast<std::size_t>(fetch_bytes) + 30;
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(row_size));
  work_area work;
  if (row == nullptr || !work.make(width)) return kNoMemory;
  std::memset(row, 0xFF, row_size);  // the bytes past the fetched row that find_changes reads
  code_buffer &out = work.out;
  // The first row is coded against an imaginary all-white row, which has no changes. The change
  // lists stop at the width, which keeps the row's padding bits out of the coding.
  work.reference[0] = work.reference[1] = work.reference[2] = width;
  for (std::int32_t i = 0; i < height && rc == kOk; ++i) {
    fetch(priv, row, height - 1 - i, fetch_bytes);
    find_changes(row, width, work.changes);
    const std::int32_t *a = work.changes, *b = work.reference;
    // a0 starts on the imaginary white pixel before the row. a[ia] and b[ib] are the first
    // changes right of a0 on the coding and the reference row; both only move right.
    std::int32_t a0 = -1, ia = 0, ib = 0;
    int colour = kWhite;
    while (a0 < width) {
      while (a[ia] <= a0) ++ia;
      while (b[ib] <= a0) ++ib;
      const std::int32_t a1 = a[ia], a2 = a[ia + 1];
      // b1: the first change on the reference row right of a0 to the colour opposite a0's. Changes
      // alternate, the first (index 0) to black: b1 has an even index when a0 is white.
      const std::int32_t k = ib + ((ib & 1) != colour);
      const std::int32_t b1 = b[k], b2 = b[k + 1];
      if (b2 < a1) {
        out.put(ccitt::kPass);
        a0 = b2;
      } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
        const std::int32_t d = a1 - b1;
        out.put(d == 0 ? ccitt::kVertical0 : d > 0 ? ccitt::kVerticalRight[d - 1]
                                                   : ccitt::kVerticalLeft[-d - 1]);
        a0 = a1;
        colour ^= 1;
      } else {
        out.put(ccitt::kHorizontal);
        put_run(out, a1 - (a0 < 0 ? 0 : a0), colour);
        put_run(out, a2 - a1, colour ^ 1);
        a0 = a2;
      }
    }
    if (out.current >= kGroup4FlushUnits) rc = write_units(stream, out, 4, fill_order::lsb_first, work.bytes);
    std::swap(work.changes, work.reference);
  }
  if (rc == kOk) {
    // Four EOLs, twice the end-of-facsimile block: the last unit, never written whole, can
    // only cut the fourth.
    for (int k = 0; k < 4; ++k) out.put(ccitt::kEndOfLine);
    rc = write_units(stream, out, 4, fill_order::lsb_first, work.bytes);
  }
  if (rc == kOk) rc = finish_strip(stream);
  return rc;
}

int save_tiff_file_huffman(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  return save_tiff_file_huff(stream, header, fetch, priv, 2);
}

int save_tiff_file_group3(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  return save_tiff_file_huff(stream, header, fetch, priv, 3);
}

}  // namespace pxv
