// CCITT decoding of TIFF strips: Compression 2 (modified Huffman, rows byte-aligned),
// 3 (Group 3, one-dimensional, EOL codes) and 4 (Group 4, two-dimensional). Group 3
// two-dimensional coding (T4Options bit 0) is not decoded: Compression 3 is read as 1-D.
//
// Decoded rows are 1 bit per pixel, most significant bit first, 1 = white: a row starts white
// and black runs are cleared into it. The container swaps PhotometricInterpretation for these
// compressions so that the usual white-is-zero fax needs no inversion.
//
// Malformed-input policy:
// - A bit sequence that is no code of the current colour is skipped one bit at a time until a
//   code is found (Group 3 resynchronisation); in Group 4 a sequence that is no mode, EOFB
//   included, ends the strip after the row being decoded is handed on.
// - Runs that pass the end of the row are clipped to the width; a vertical mode that would put
//   a changing element left of the current position, or past the width, is clamped there.
// - When the stream ends, the bits beyond it read as 0; the strip ends as soon as a code needs
//   them (the row being decoded is handed on if it has any code in it).
// - The changing-element lists hold 2 × width + 8 entries; a row that would need more ends the
//   strip like a bad mode.
#include <array>
#include <cstring>

#include "core/img_util.h"
#include "formats/ccitt_codes.h"
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

constexpr std::uint32_t kEol = 4095;          // what a lookup answers for EOL
constexpr std::uint32_t kEndOfData = 0xFFFF;  // what a lookup answers when the data has ended
constexpr std::uint32_t kMakeUpLimit = 64;
constexpr int kMaxCodeLength = 13;
constexpr std::uint32_t kBlockBytes = 10000;

enum colour : int { kWhite = 0, kBlack = 1 };

// The run-length codes of one colour (ccitt_codes.h), looked up by the next 13 bits: each cell
// holds the length of the code those bits start with (high 4 bits) and its run or kEol (low 12
// bits), or 0 when no code starts with them. A code of n bits fills the 2^(13 - n) cells that
// begin with it; the codes of a colour are prefix-free, so no two codes claim a cell.
struct run_lookup {
  std::array<std::uint16_t, 1u << kMaxCodeLength> cell;
  bool prefix_free;
};

constexpr void add_code(run_lookup &t, ccitt::code_word w, std::uint32_t value) {
  const int spare = kMaxCodeLength - w.bits;
  const std::uint32_t first = std::uint32_t{w.code} << spare;
  for (std::uint32_t i = 0; i < (1u << spare); ++i) {
    if (t.cell[first + i] != 0) t.prefix_free = false;
    t.cell[first + i] = static_cast<std::uint16_t>(w.bits << 12 | value);
  }
}

constexpr run_lookup make_run_lookup(bool black) {
  run_lookup t{{}, true};
  for (int run = 0; run < 64; ++run) add_code(t, ccitt::run_code(run, black), static_cast<std::uint32_t>(run));
  for (int run = 64; run <= ccitt::kMaxMakeUp; run += 64)
    add_code(t, ccitt::run_code(run, black), static_cast<std::uint32_t>(run));
  add_code(t, ccitt::kEndOfLine, kEol);
  return t;
}
constexpr run_lookup kWhiteRuns = make_run_lookup(false);
constexpr run_lookup kBlackRuns = make_run_lookup(true);
static_assert(kWhiteRuns.prefix_free && kBlackRuns.prefix_free, "a cell claimed by two codes");

// The two-dimensional modes (ccitt_codes.h), looked up by the next 7 bits.
enum g4_mode : std::uint8_t {
  kNoMode = 0, kPass = 1, kV0 = 2, kHorizontal = 3, kVR1 = 4, kVR2 = 5, kVR3 = 6,
  kVL1 = 7, kVL2 = 8, kVL3 = 9,
};
struct mode_cell {
  g4_mode mode;
  std::uint8_t bits;  // of the mode's code
};

constexpr std::array<mode_cell, 128> make_mode_lookup() {
  std::array<mode_cell, 128> t{};
  auto add = [&t](ccitt::code_word w, g4_mode m) {
    for (int i = 0; i < (1 << (7 - w.bits)); ++i) t[static_cast<std::size_t>((w.code << (7 - w.bits)) + i)] = {m, w.bits};
  };
  add(ccitt::kPass, kPass);
  add(ccitt::kHorizontal, kHorizontal);
  add(ccitt::kVertical0, kV0);
  for (int k = 0; k < 3; ++k) {
    add(ccitt::kVerticalRight[k], static_cast<g4_mode>(kVR1 + k));
    add(ccitt::kVerticalLeft[k], static_cast<g4_mode>(kVL1 + k));
  }
  return t;
}
constexpr std::array<mode_cell, 128> kModes = make_mode_lookup();
// The offset b1 + d of each vertical mode.
constexpr int kModeOffset[] = {0, 0, 0, 0, 1, 2, 3, -1, -2, -3};

// Bytes as they come (FillOrder 1), or each byte's bits reversed (FillOrder 2).
constexpr std::array<std::uint8_t, 256> make_byte_order(bool reverse) {
  std::array<std::uint8_t, 256> t{};
  for (int v = 0; v < 256; ++v) {
    int r = v;
    if (reverse) {
      r = 0;
      for (int i = 0; i < 8; ++i)
        if (v & (1 << i)) r |= 1 << (7 - i);
    }
    t[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(r);
  }
  return t;
}
constexpr std::array<std::uint8_t, 256> kSameOrder = make_byte_order(false);
constexpr std::array<std::uint8_t, 256> kReversedOrder = make_byte_order(true);

// Bit reader: bytes from the input buffer (refilled from the stream 10000 at a time) pass
// through the fill order's table into a 64-bit window, most significant bit first.
struct bit_reader {
  const std::uint8_t *order;
  std::uint8_t *buf;
  std::uint32_t pos;
  std::uint32_t end;
  bool at_eof;
  std::uint64_t window;
  int window_bits;  // bits in the window, real or padding
  int real_bits;    // of which came from the stream
  std::uint64_t consumed;
};

// The decoder's state: the bit reader, started afresh in every strip, and the buffers of the
// page, allocated once by ccitt_begin.
struct ccitt_decoder {
  bit_reader br;
  std::uint8_t *input;      // kBlockBytes of the stream
  std::uint8_t *row;        // the row being built, with slack
  std::uint32_t *lines[2];  // Group 4: the changing elements of the reference and coding lines
  std::size_t line_capacity;
};
ccitt_decoder tiff_fax;

void reader_start(std::uint32_t fill_order) {
  tiff_fax.br = bit_reader{};
  tiff_fax.br.order = fill_order == 2 ? kReversedOrder.data() : kSameOrder.data();
  tiff_fax.br.buf = tiff_fax.input;
}

// Keeps at least 32 bits in the window: four bytes at once while the block has them, byte by
// byte at its end, where a new block is read or, past the stream's end, zero bits are added.
void refill() {
  bit_reader &b = tiff_fax.br;
  if (b.end - b.pos >= 4 && b.window_bits <= 32) {
    const std::uint8_t *p = b.buf + b.pos;
    const std::uint32_t word = std::uint32_t{b.order[p[0]]} << 24 | std::uint32_t{b.order[p[1]]} << 16 |
                               std::uint32_t{b.order[p[2]]} << 8 | b.order[p[3]];
    b.window |= std::uint64_t{word} << (32 - b.window_bits);
    b.window_bits += 32;
    b.real_bits += 32;
    b.pos += 4;
    return;
  }
  while (tiff_fax.br.window_bits <= 56) {
    if (tiff_fax.br.pos == tiff_fax.br.end && !tiff_fax.br.at_eof) {
      const std::int32_t got = tiff_read(tiff_fax.br.buf, kBlockBytes);
      tiff_fax.br.pos = 0;
      tiff_fax.br.end = got > 0 ? static_cast<std::uint32_t>(got) : 0;
      if (tiff_fax.br.end == 0) tiff_fax.br.at_eof = true;
    }
    if (tiff_fax.br.pos < tiff_fax.br.end) {
      tiff_fax.br.window |= std::uint64_t{tiff_fax.br.order[tiff_fax.br.buf[tiff_fax.br.pos++]]} << (56 - tiff_fax.br.window_bits);
      tiff_fax.br.real_bits += 8;
    }
    tiff_fax.br.window_bits += 8;  // past the end of the data, zero bits
  }
}

// Codes are at most 13 bits and modes 7: a window of 32 bits or more holds the next one.
inline void consume(int n) {
  bit_reader &b = tiff_fax.br;
  b.window <<= n;
  b.window_bits -= n;
  b.real_bits = b.real_bits > n ? b.real_bits - n : 0;
  b.consumed += static_cast<std::uint64_t>(n);
  if (b.window_bits < 32) refill();
}

bool exhausted() { return tiff_fax.br.real_bits == 0 && tiff_fax.br.at_eof && tiff_fax.br.pos == tiff_fax.br.end; }

std::uint32_t peek(int n) { return static_cast<std::uint32_t>(tiff_fax.br.window >> (64 - n)); }

void byte_align() {
  const int skip = static_cast<int>((8 - tiff_fax.br.consumed % 8) % 8);
  if (skip != 0) consume(skip);
}

// The next run length of a colour (0 to 2560), kEol, or kEndOfData.
std::uint32_t getmcode(int c) {
  const std::uint16_t *cells = c == kWhite ? kWhiteRuns.cell.data() : kBlackRuns.cell.data();
  while (!exhausted()) {
    const std::uint16_t cell = cells[peek(kMaxCodeLength)];
    if (cell != 0) {
      consume(cell >> 12);
      return cell & 0xFFFu;
    }
    consume(1);  // no code starts here: resynchronise one bit further
  }
  return kEndOfData;
}

// A run with its make-up codes: make-up values (64 and up) are followed by another code of the
// same colour. Capped far above any width so that a stream of make-up codes cannot overflow.
std::uint32_t read_run(int c) {
  std::uint32_t code = getmcode(c);
  if (code == kEndOfData) return kEndOfData;
  std::uint32_t run = code;
  while (code >= kMakeUpLimit) {
    code = getmcode(c);
    if (code == kEndOfData) return kEndOfData;
    run += code;
    if (run > (1u << 30)) run = 1u << 30;
  }
  return run;
}

// Clears pixels [from, to) of a 1-bit row to black.
void clear_run(std::uint8_t *row, std::uint32_t from, std::uint32_t to) {
  if (from >= to) return;
  // Whole masks for the first and last byte, a fill for the bytes between: runs are mostly
  // short, and a bit at a time costs more than the two masks.
  const std::uint32_t first = from >> 3, last = (to - 1) >> 3;
  const auto head = static_cast<std::uint8_t>(0xFFu >> (from & 7));
  const auto tail = static_cast<std::uint8_t>(0xFFu << (7 - ((to - 1) & 7)));
  if (first == last) {
    row[first] &= static_cast<std::uint8_t>(~(head & tail));
    return;
  }
  row[first] &= static_cast<std::uint8_t>(~head);
  if (last > first + 1) std::memset(row + first + 1, 0, last - first - 1);
  row[last] &= static_cast<std::uint8_t>(~tail);
}

}  // namespace

int ccitt_begin(std::uint32_t width, std::uint32_t compression) {
  ccitt_decoder &d = tiff_fax;
  const std::int32_t row_bytes = size_for_long(static_cast<std::int32_t>(width), 1);
  d.input = static_cast<std::uint8_t *>(img_fmalloc(kBlockBytes));
  d.row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_bytes) + 500));
  if (d.input == nullptr || d.row == nullptr) return -1;
  if (compression != kCompressionG4) return 0;
  d.line_capacity = 2 * std::size_t{width} + 8;
  for (std::uint32_t *&line : d.lines) {
    line = static_cast<std::uint32_t *>(img_fmalloc(d.line_capacity * sizeof(std::uint32_t)));
    if (line == nullptr) return -1;
  }
  return 0;
}

void decode_g3_huff_strip(std::uint32_t rows, std::uint32_t first_row, std::uint32_t width,
                          std::uint32_t compression, std::uint32_t fill_order) {
  const std::int32_t row_bytes = size_for_long(static_cast<std::int32_t>(width), 1);
  std::uint8_t *const row = tiff_fax.row;
  reader_start(fill_order);
  refill();
  for (std::uint32_t i = 0; i < rows; ++i) {
    std::memset(row, 0xFF, static_cast<std::size_t>(row_bytes));
    std::uint32_t a0 = 0;
    int c = kWhite;
    bool any = false, ended = false;
    while (a0 < width) {
      const std::uint32_t code = getmcode(c);
      if (code == kEndOfData) {
        ended = true;
        break;
      }
      any = true;
      if (code == kEol) continue;  // EOLs between rows (and fill before them) are skipped
      std::uint32_t run = code;
      std::uint32_t more = code;
      while (more >= kMakeUpLimit) {
        more = getmcode(c);
        if (more == kEndOfData) {
          ended = true;
          break;
        }
        run += more;
        if (run > (1u << 30)) run = 1u << 30;
      }
      const std::uint32_t end = width - a0 < run ? width : a0 + run;
      if (c == kBlack) clear_run(row, a0, end);
      a0 = end;
      if (ended) break;
      c ^= 1;
    }
    if (ended && !any) break;
    if (compression == 2) byte_align();
    if (!tiff_raster_to_dib(row, first_row + i) || ended) break;
  }
}

void decode_g4_huff_strip(std::uint32_t rows, std::uint32_t first_row, std::uint32_t width,
                          std::uint32_t fill_order) {
  const std::int32_t row_bytes = size_for_long(static_cast<std::int32_t>(width), 1);
  const std::size_t capacity = tiff_fax.line_capacity;
  std::uint8_t *const row = tiff_fax.row;
  std::uint32_t *ref = tiff_fax.lines[0];
  std::uint32_t *cur = tiff_fax.lines[1];
  reader_start(fill_order);
  refill();
  // The reference line of the strip's first row is all white.
  ref[0] = ref[1] = width;
  ref[2] = ref[3] = width + 1;
  const std::int64_t w = width;
  for (std::uint32_t i = 0; i < rows; ++i) {
    std::size_t n = 0;
    std::int64_t a0 = -1;  // before the first pixel
    int c = kWhite;
    std::size_t bi = 0;
    bool bad = false;
    while (a0 < w) {
      // b1: the first changing element of the reference line right of a0 whose colour is the
      // opposite of a0's (even entries start black runs, odd ones white runs).
      while (bi > 0 && std::int64_t{ref[bi - 1]} > a0) --bi;
      while (std::int64_t{ref[bi]} <= a0) ++bi;
      if ((bi & 1) != static_cast<std::size_t>(c)) ++bi;
      const std::int64_t b1 = ref[bi];
      const std::int64_t b2 = ref[bi + 1];
      const mode_cell m = kModes[peek(7)];
      const g4_mode mode = m.mode;
      if (mode == kNoMode || n + 6 > capacity) {
        bad = true;
        break;
      }
      consume(m.bits);
      if (mode == kPass) {
        a0 = b2;
      } else if (mode == kHorizontal) {
        const std::uint32_t run1 = read_run(c);
        const std::uint32_t run2 = run1 == kEndOfData ? kEndOfData : read_run(c ^ 1);
        if (run2 == kEndOfData) {
          bad = true;
          break;
        }
        const std::int64_t start = a0 < 0 ? 0 : a0;
        const std::int64_t a1 = start + run1 < w ? start + run1 : w;
        const std::int64_t a2 = a1 + run2 < w ? a1 + run2 : w;
        cur[n++] = static_cast<std::uint32_t>(a1);
        cur[n++] = static_cast<std::uint32_t>(a2);
        a0 = a2;
      } else {
        std::int64_t a1 = b1 + kModeOffset[mode];
        const std::int64_t low = a0 < 0 ? 0 : a0;
        if (a1 < low) a1 = low;
        if (a1 > w) a1 = w;
        cur[n++] = static_cast<std::uint32_t>(a1);
        a0 = a1;
        c ^= 1;
      }
    }
    cur[n] = cur[n + 1] = width;
    cur[n + 2] = cur[n + 3] = width + 1;
    std::memset(row, 0xFF, static_cast<std::size_t>(row_bytes));
    for (std::size_t j = 0; j + 1 < n + 2 && cur[j] < width; j += 2)
      clear_run(row, cur[j], cur[j + 1] < width ? cur[j + 1] : width);
    if (!tiff_raster_to_dib(row, first_row + i) || bad) break;
    std::uint32_t *t = ref;
    ref = cur;
    cur = t;
  }
}

}  // namespace pxv
