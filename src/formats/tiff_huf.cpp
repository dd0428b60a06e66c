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
#include "formats/tiff_internal.h"

namespace pxv {

namespace {

// A code as the standard prints it, most significant bit first, and the run it stands for.
struct ccitt_code {
  const char *bits;
  std::uint16_t run;
};

// ITU-T T.4, Table 2: terminating codes, white runs 0 to 63.
constexpr ccitt_code kWhiteTerminating[] = {
    {"00110101", 0},  {"000111", 1},    {"0111", 2},      {"1000", 3},      {"1011", 4},
    {"1100", 5},      {"1110", 6},      {"1111", 7},      {"10011", 8},     {"10100", 9},
    {"00111", 10},    {"01000", 11},    {"001000", 12},   {"000011", 13},   {"110100", 14},
    {"110101", 15},   {"101010", 16},   {"101011", 17},   {"0100111", 18},  {"0001100", 19},
    {"0001000", 20},  {"0010111", 21},  {"0000011", 22},  {"0000100", 23},  {"0101000", 24},
    {"0101011", 25},  {"0010011", 26},  {"0100100", 27},  {"0011000", 28},  {"00000010", 29},
    {"00000011", 30}, {"00011010", 31}, {"00011011", 32}, {"00010010", 33}, {"00010011", 34},
    {"00010100", 35}, {"00010101", 36}, {"00010110", 37}, {"00010111", 38}, {"00101000", 39},
    {"00101001", 40}, {"00101010", 41}, {"00101011", 42}, {"00101100", 43}, {"00101101", 44},
    {"00000100", 45}, {"00000101", 46}, {"00001010", 47}, {"00001011", 48}, {"01010010", 49},
    {"01010011", 50}, {"01010100", 51}, {"01010101", 52}, {"00100100", 53}, {"00100101", 54},
    {"01011000", 55}, {"01011001", 56}, {"01011010", 57}, {"01011011", 58}, {"01001010", 59},
    {"01001011", 60}, {"00110010", 61}, {"00110011", 62}, {"00110100", 63},
};

// ITU-T T.4, Table 3: make-up codes, white runs 64 to 1728.
constexpr ccitt_code kWhiteMakeUp[] = {
    {"11011", 64},      {"10010", 128},     {"010111", 192},    {"0110111", 256},
    {"00110110", 320},  {"00110111", 384},  {"01100100", 448},  {"01100101", 512},
    {"01101000", 576},  {"01100111", 640},  {"011001100", 704}, {"011001101", 768},
    {"011010010", 832}, {"011010011", 896}, {"011010100", 960}, {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280},
    {"011011010", 1344}, {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536},
    {"010011010", 1600}, {"011000", 1664},    {"010011011", 1728},
};

// ITU-T T.4, Table 2: terminating codes, black runs 0 to 63.
constexpr ccitt_code kBlackTerminating[] = {
    {"0000110111", 0},    {"010", 1},           {"11", 2},            {"10", 3},
    {"011", 4},           {"0011", 5},          {"0010", 6},          {"00011", 7},
    {"000101", 8},        {"000100", 9},        {"0000100", 10},      {"0000101", 11},
    {"0000111", 12},      {"00000100", 13},     {"00000111", 14},     {"000011000", 15},
    {"0000010111", 16},   {"0000011000", 17},   {"0000001000", 18},   {"00001100111", 19},
    {"00001101000", 20},  {"00001101100", 21},  {"00000110111", 22},  {"00000101000", 23},
    {"00000010111", 24},  {"00000011000", 25},  {"000011001010", 26}, {"000011001011", 27},
    {"000011001100", 28}, {"000011001101", 29}, {"000001101000", 30}, {"000001101001", 31},
    {"000001101010", 32}, {"000001101011", 33}, {"000011010010", 34}, {"000011010011", 35},
    {"000011010100", 36}, {"000011010101", 37}, {"000011010110", 38}, {"000011010111", 39},
    {"000001101100", 40}, {"000001101101", 41}, {"000011011010", 42}, {"000011011011", 43},
    {"000001010100", 44}, {"000001010101", 45}, {"000001010110", 46}, {"000001010111", 47},
    {"000001100100", 48}, {"000001100101", 49}, {"000001010010", 50}, {"000001010011", 51},
    {"000000100100", 52}, {"000000110111", 53}, {"000000111000", 54}, {"000000100111", 55},
    {"000000101000", 56}, {"000001011000", 57}, {"000001011001", 58}, {"000000101011", 59},
    {"000000101100", 60}, {"000001011010", 61}, {"000001100110", 62}, {"000001100111", 63},
};

// ITU-T T.4, Table 3: make-up codes, black runs 64 to 1728.
constexpr ccitt_code kBlackMakeUp[] = {
    {"0000001111", 64},     {"000011001000", 128},  {"000011001001", 192},
    {"000001011011", 256},  {"000000110011", 320},  {"000000110100", 384},
    {"000000110101", 448},  {"0000001101100", 512}, {"0000001101101", 576},
    {"0000001001010", 640}, {"0000001001011", 704}, {"0000001001100", 768},
    {"0000001001101", 832}, {"0000001110010", 896}, {"0000001110011", 960},
    {"0000001110100", 1024}, {"0000001110101", 1088}, {"0000001110110", 1152},
    {"0000001110111", 1216}, {"0000001010010", 1280}, {"0000001010011", 1344},
    {"0000001010100", 1408}, {"0000001010101", 1472}, {"0000001011010", 1536},
    {"0000001011011", 1600}, {"0000001100100", 1664}, {"0000001100101", 1728},
};

// ITU-T T.4, Table 3 (continued): extended make-up codes 1792 to 2560, the same for both
// colours.
constexpr ccitt_code kExtendedMakeUp[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},
    {"000000010010", 1984}, {"000000010011", 2048}, {"000000010100", 2112},
    {"000000010101", 2176}, {"000000010110", 2240}, {"000000010111", 2304},
    {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

constexpr std::uint32_t kEol = 4095;          // what a lookup answers for EOL
constexpr std::uint32_t kEndOfData = 0xFFFF;  // what a lookup answers when the data has ended
constexpr std::uint32_t kCellPresent = 0x1000;  // set in every code's cell, so run 0 is not empty
constexpr std::uint32_t kEolCell = 0x1FFF;
constexpr std::uint32_t kMakeUpLimit = 64;

// Code lengths that occur, per colour, shortest first.
constexpr int kWhiteLengths[] = {4, 5, 6, 7, 8, 9, 11, 12};
constexpr int kBlackLengths[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
constexpr int kMaxCodeLength = 13;

enum colour : int { kWhite = 0, kBlack = 1 };

// ITU-T T.6, Table 1: the two-dimensional mode codes, looked up by the next 7 bits.
enum g4_mode : std::uint8_t {
  kNoMode = 0, kPass = 1, kV0 = 2, kHorizontal = 3, kVR1 = 4, kVR2 = 5, kVR3 = 6,
  kVL1 = 7, kVL2 = 8, kVL3 = 9,
};

constexpr std::array<std::uint8_t, 128> make_g4_mcode() {
  std::array<std::uint8_t, 128> t{};
  for (int i = 0; i < 128; ++i) {
    std::uint8_t m = kNoMode;
    if (i & 0x40) m = kV0;                 // 1
    else if ((i >> 4) == 0x3) m = kVR1;    // 011
    else if ((i >> 4) == 0x2) m = kVL1;    // 010
    else if ((i >> 4) == 0x1) m = kHorizontal;  // 001
    else if ((i >> 3) == 0x1) m = kPass;   // 0001
    else if ((i >> 1) == 0x3) m = kVR2;    // 000011
    else if ((i >> 1) == 0x2) m = kVL2;    // 000010
    else if (i == 0x3) m = kVR3;           // 0000011
    else if (i == 0x2) m = kVL3;           // 0000010
    t[static_cast<std::size_t>(i)] = m;
  }
  return t;
}
constexpr std::array<std::uint8_t, 128> g4_mcode = make_g4_mcode();
// Bits each mode consumes, by mode.
constexpr int kModeBits[] = {0, 4, 1, 3, 3, 6, 7, 3, 6, 7};
// The offset b1 + d of each vertical mode.
constexpr int kModeOffset[] = {0, 0, 0, 0, 1, 2, 3, -1, -2, -3};

// The code tables: for each colour and code length n, 2^n cells indexed by the next n bits.
std::uint32_t *rmptr = nullptr;
std::uint32_t *code_table[2][kMaxCodeLength + 1];

std::uint8_t tiff_rvrsa[256];

// Bit reader: bytes from the input buffer (refilled from the stream 10000 at a time) pass
// through tiff_rvrsa into a 64-bit window, most significant bit first.
struct bit_reader {
  std::uint8_t *buf;
  std::uint32_t pos;
  std::uint32_t end;
  bool at_eof;
  std::uint64_t window;
  int window_bits;  // bits in the window, real or padding
  int real_bits;    // of which came from the stream
  std::uint64_t consumed;
};
bit_reader br;

constexpr std::uint32_t kBlockBytes = 10000;

void tiff_rvrsbyt(bool reverse) {
  for (int v = 0; v < 256; ++v) {
    int r = v;
    if (reverse) {
      r = 0;
      for (int i = 0; i < 8; ++i)
        if (v & (1 << i)) r |= 1 << (7 - i);
    }
    tiff_rvrsa[v] = static_cast<std::uint8_t>(r);
  }
}

void reader_start(std::uint8_t *input, std::uint32_t fill_order) {
  tiff_rvrsbyt(fill_order == 2);
  br = bit_reader{};
  br.buf = input;
}

void refill() {
  while (br.window_bits <= 56) {
    if (br.pos == br.end && !br.at_eof) {
      const std::int32_t got = tiff_read(br.buf, kBlockBytes);
      br.pos = 0;
      br.end = got > 0 ? static_cast<std::uint32_t>(got) : 0;
      if (br.end == 0) br.at_eof = true;
    }
    if (br.pos < br.end) {
      br.window |= std::uint64_t{tiff_rvrsa[br.buf[br.pos++]]} << (56 - br.window_bits);
      br.real_bits += 8;
    }
    br.window_bits += 8;  // past the end of the data, zero bits
  }
}

void consume(int n) {
  br.window <<= n;
  br.window_bits -= n;
  br.real_bits = br.real_bits > n ? br.real_bits - n : 0;
  br.consumed += static_cast<std::uint64_t>(n);
  refill();
}

bool exhausted() { return br.at_eof && br.pos == br.end && br.real_bits == 0; }

std::uint32_t peek(int n) { return static_cast<std::uint32_t>(br.window >> (64 - n)); }

void byte_align() {
  const int skip = static_cast<int>((8 - br.consumed % 8) % 8);
  if (skip != 0) consume(skip);
}

// The next run length of a colour (0 to 2560), kEol, or kEndOfData.
std::uint32_t getmcode(int c) {
  const int *lengths = c == kWhite ? kWhiteLengths : kBlackLengths;
  const int count = c == kWhite ? static_cast<int>(std::size(kWhiteLengths))
                                : static_cast<int>(std::size(kBlackLengths));
  while (!exhausted()) {
    for (int i = 0; i < count; ++i) {
      const int n = lengths[i];
      const std::uint32_t cell = code_table[c][n][peek(n)];
      if (cell != 0) {
        consume(n);
        return cell & 0xFFF;
      }
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

void add_codes(const ccitt_code *codes, std::size_t n, int c) {
  for (std::size_t i = 0; i < n; ++i) {
    const int length = static_cast<int>(std::strlen(codes[i].bits));
    std::uint32_t index = 0;
    for (int b = 0; b < length; ++b) index = (index << 1) | (codes[i].bits[b] == '1');
    code_table[c][length][index] = kCellPresent | codes[i].run;
  }
}

// ITU-T T.4, section 4.1.2: EOL, 000000000001, in both colours' tables.
void add_eol(int c) { code_table[c][12][1] = kEolCell; }

}  // namespace

int initxlate() {
  std::size_t cells = 0;
  for (int n : kWhiteLengths) cells += std::size_t{1} << n;
  for (int n : kBlackLengths) cells += std::size_t{1} << n;
  rmptr = static_cast<std::uint32_t *>(img_fmalloc(cells * sizeof(std::uint32_t)));
  if (rmptr == nullptr) return -1;
  std::memset(rmptr, 0, cells * sizeof(std::uint32_t));
  std::memset(code_table, 0, sizeof code_table);
  std::uint32_t *next = rmptr;
  for (int n : kWhiteLengths) {
    code_table[kWhite][n] = next;
    next += std::size_t{1} << n;
  }
  for (int n : kBlackLengths) {
    code_table[kBlack][n] = next;
    next += std::size_t{1} << n;
  }
  add_codes(kWhiteTerminating, std::size(kWhiteTerminating), kWhite);
  add_codes(kWhiteMakeUp, std::size(kWhiteMakeUp), kWhite);
  add_codes(kExtendedMakeUp, std::size(kExtendedMakeUp), kWhite);
  add_eol(kWhite);
  add_codes(kBlackTerminating, std::size(kBlackTerminating), kBlack);
  add_codes(kBlackMakeUp, std::size(kBlackMakeUp), kBlack);
  add_codes(kExtendedMakeUp, std::size(kExtendedMakeUp), kBlack);
  add_eol(kBlack);
  return 0;
}

void done_g3() {
  img_ffree(rmptr);
  rmptr = nullptr;
}

int decode_g3_huff_strip(std::uint8_t *input, std::uint32_t rows, std::uint32_t first_row,
                         std::uint32_t width, std::uint32_t compression, std::uint32_t fill_order) {
  const std::int32_t row_bytes = size_for_long(static_cast<std::int32_t>(width), 1);
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_bytes) + 500));
  if (row == nullptr) return -1;
  reader_start(input, fill_order);
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
  img_ffree(row);
  return 1;
}

int decode_g4_huff_strip(std::uint8_t *input, std::uint32_t rows, std::uint32_t first_row,
                         std::uint32_t width, std::uint32_t fill_order) {
  const std::int32_t row_bytes = size_for_long(static_cast<std::int32_t>(width), 1);
  const std::size_t capacity = 2 * std::size_t{width} + 8;
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_bytes) + 200));
  auto *ref = static_cast<std::uint32_t *>(img_fmalloc(capacity * sizeof(std::uint32_t)));
  auto *cur = static_cast<std::uint32_t *>(img_fmalloc(capacity * sizeof(std::uint32_t)));
  if (row == nullptr || ref == nullptr || cur == nullptr) {
    img_ffree(cur);
    img_ffree(ref);
    img_ffree(row);
    return -1;
  }
  reader_start(input, fill_order);
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
      const std::uint8_t mode = g4_mcode[peek(7)];
      if (mode == kNoMode || n + 6 > capacity) {
        bad = true;
        break;
      }
      consume(kModeBits[mode]);
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
  img_ffree(cur);
  img_ffree(ref);
  img_ffree(row);
  return 1;
}

}  // namespace pxv
