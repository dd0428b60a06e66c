// The JPEG reader: baseline sequential, Huffman-coded, 8-bit samples, one interleaved scan of one
// component (an 8-bit gray image) or three (a 24-bit image). Marker segments up to the start of
// scan, then the entropy-coded data MCU row by MCU row through the fixed-point inverse transform
// of jpeg_common.h, and the library's own colour constants, which pair with the writer's.
//
// Malformed-input policy:
// - The search for FF D8 (start of image) looks at most kMaxSoiSearch bytes from the image's
//   offset; the segment loop follows at most kMaxSegments segments. Both stop at the end of the
//   stream; the memory stream, whose end is unknown, is held by these counts. No FF D8, a segment
//   whose marker and length cannot be read, or too many segments: -3.
// - Any two bytes where a marker is expected are taken as a marker and skipped by the length that
//   follows them (so junk between segments is skipped in length-sized steps, not byte by byte).
// - Refused with -3 before the header callback: no frame header in this file; a frame other than
//   SOF0 or SOF1 (progressive, lossless, arithmetic, hierarchical: the steps here would decode them
//   wrongly); sample precision other than 8; component counts other than 1 and 3; three
//   components whose chroma is not sampled 1 x 1 or whose luma is sampled other than 1, 2 or 4
//   across and 1 or 2 down; width or height above 32767; a scan whose component count differs
//   from the frame's or whose spectral selection is not 0..63 with no approximation (a multi-scan
//   file); a DQT of a precision other than 0 or 1 or of an identifier above 3; a DHT whose
//   class-and-identifier byte is not 00, 01, 10 or 11 or that declares more than 400 symbols; a
//   scan header longer than 16 bytes.
// - Component identifiers and scan selectors are not interpreted: the scan's components are taken
//   as the frame's, in frame order, and three components are always the library's YCbCr. Files
//   that store R, G, B (identifiers 'R', 'G', 'B', or an Adobe APP14 segment saying so) thus load
//   with shifted colours, as they always have with this library; hosts expect them to load.
// - SOF1 (extended sequential, Huffman) with 8-bit samples is decoded like SOF0: it differs from
//   baseline only in what its tables may hold, and those are checked as above.
// - A one-component frame whose component declares sampling other than 1 x 1 is decoded correctly,
//   one block per MCU, as such scans are coded.
// - Tables missing from a file are those left by the previous file, or empty ones: an empty
//   Huffman table decodes every symbol as 0 (a zero DC difference, an end of block).
// - A Huffman code that matches no symbol within 16 bits decodes as symbol 0, after the bits of
//   every length that has codes have been read.
// - The entropy-coded data ends at the EOI marker (FF D9) or at the end of the stream, whichever
//   comes first; the bit reader never reads past EOI, even on the memory stream. Past the end it
//   supplies 0-bits, so a truncated scan still delivers every row; the restart-marker search gives
//   up once it has met only padding for 16 bytes.
// - Coefficients, predictors and transform sums wrap as the 16- and 32-bit arithmetic of the codec
//   did: hostile values give odd pixels, never undefined behaviour.
#include <algorithm>
#include <array>
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/jpeg_common.h"
#include "formats/jpeg_decode.h"

namespace pxv {

namespace {

constexpr std::uint32_t kMaxSoiSearch = 65536;
constexpr int kMaxSegments = 4096;
constexpr int kMaxHuffSymbols = 400;
constexpr int kScanHeaderBytes = 16;
constexpr int kInputBlockBytes = 4300;
constexpr int kWindowBytes = 4000;
constexpr int kRefillMargin = 10;
constexpr int kMaxPastEndBytes = 16;
constexpr std::int32_t kMaxDimension = 32767;
// Look-up widths: 10 and 11 bits decoded 2-3% faster than 9 and 10 on camera-like pictures
// (more coefficients, and more pairs of them, fit whole); the pair tables then take 16 KiB each.
constexpr int kFastBits = 10;
constexpr int kPairBits = 11;
constexpr unsigned kAcBit = 0x100;
constexpr unsigned kWideBit = 0x200;

// Markers (ITU-T T.81 Table B.1).
constexpr std::uint16_t kSoi = 0xFFD8;
constexpr std::uint16_t kSof0 = 0xFFC0;
constexpr std::uint16_t kSof1 = 0xFFC1;
constexpr std::uint16_t kDht = 0xFFC4;
constexpr std::uint16_t kDqt = 0xFFDB;
constexpr std::uint16_t kDri = 0xFFDD;
constexpr std::uint16_t kSos = 0xFFDA;
constexpr std::uint8_t kEoiByte = 0xD9;

// Frame types other than the two this reader decodes: SOF2..SOF15 except DHT (C4), JPG (C8)
// and DAC (CC), which share the range.
bool is_other_frame(std::uint16_t marker) {
  return marker >= 0xFFC2 && marker <= 0xFFCF && marker != kDht && marker != 0xFFC8 &&
         marker != 0xFFCC;
}

struct huff_table {
  std::uint8_t counts[16];                   // codes of length 1 .. 16
  std::uint16_t symbols[kMaxHuffSymbols];    // in file order
};

// A table's codes of up to kFastBits bits, looked up by the next kFastBits bits of data. Most
// coefficients of a photo take fewer bits than that with their extra bits included, so an entry
// also holds the whole coefficient where it fits: one look-up then replaces the symbol's and the
// value's reads.
struct huff_entry {
  std::int16_t value;   // the coefficient, when `lengths` has a total
  std::uint8_t symbol;  // run (high nibble) and size (low nibble)
  std::uint8_t lengths;  // code length (low nibble; 0: a longer code), code + extra bits (high
                         // nibble; 0: they do not fit)
};

// Canonical decoding (T.81 F.2.2.3) by limits: with `code` the next l bits of data, the first
// length l whose codes include it (code < limit[l]) gives symbol number code + offset[l]. This
// is the documented length-by-length decoding in closed form, so it agrees with it for any
// counts a file may carry, over-full ones included.
struct huff_lookup {
  huff_entry fast[1 << kFastBits];
  std::uint32_t limit[17];
  std::int32_t offset[17];
  const huff_table *table;
  int last_length;  // the longest length that has codes: what a failed decode reads
};

// An AC table's codes looked up by the next kPairBits bits, for the block loop: the first
// coefficient (code and extra bits) as in huff_entry, and where the bits left over hold a whole
// second symbol with its extra bits, that one too. Grain and texture give long runs of small
// coefficients with short codes, two of which often fit.
struct pair_entry {
  std::int16_t value;   // the first coefficient
  std::int16_t value2;  // the second one
  std::uint8_t symbol;  // the first symbol (0: end of block)
  std::uint8_t length;  // code and extra bits of the first; 0: they do not fit
  std::uint8_t length2;  // code and extra bits of both; 0: no second symbol fits
  std::uint8_t run2;     // the second symbol's run, or kPairEndOfBlock
};
constexpr std::uint8_t kPairEndOfBlock = 0xFF;

struct jpg_component {
  std::int16_t pred;
  std::int8_t *strip;
  int stride;  // between the strip's rows
  const std::uint16_t *quant;
  std::int16_t h;
  std::int16_t v;
  const huff_lookup *dc_table;
  const huff_lookup *ac_table;
  const pair_entry *ac_pairs;
};

// The bit reader. `window` holds up to 4000 entropy-coded bytes; `word` holds the next bits
// left-aligned in 64 bits (`count` of them). Bytes come out of the window with the stuffing of
// T.81 F.1.2.3 removed: FF 00 gives FF; FF followed by anything else gives both bytes as data,
// which is how restart markers reach the restart search.
struct bit_reader {
  int stream;
  std::uint8_t *window;
  int next;          // next unread byte of the window
  int valid;         // bytes of the window that hold data
  bool ended;        // EOI seen or the stream exhausted: the window holds all that is left
  bool last_was_ff;  // the last byte read from the stream was FF (an EOI may straddle two reads)
  int past_end;      // padding bytes supplied after the end of the data
  std::uint64_t word;
  int count;
};

// The reader's state.
struct jpeg_decoder {
  // Kept from one call to the next on purpose: a later file that lacks a table (or a frame
  // header) decodes with what the previous file left here.
  struct {
    std::uint8_t frame[15];      // the frame header as read, height and width little-endian
    std::int16_t geometry[8];    // width, height, then the sampling h and v of each component
    std::uint16_t quant[4][64];  // zig-zag order
    huff_table dc[2], ac[2];
  } kept;
  // Cleared at the start of every call.
  struct {
    std::uint16_t restart_interval;  // MCUs between restart markers; 0: none
    std::uint8_t scan[kScanHeaderBytes];
    huff_lookup dc_lookup[2], ac_lookup[2];
    pair_entry ac_pairs[2][1 << kPairBits];
    jpg_component component[3];  // Y, Cb, Cr, each with its strip of 8 x v sample rows
    bit_reader in;
  } call;
};
jpeg_decoder jpgdec;

// The inverse transform's matrix, built once.
const jpeg_kernel idct_kernel = [] {
  std::int16_t a[64];
  jpeg_cosine_table(a);
  jpeg_kernel k;
  jpeg_kernel_init(k, a);
  return k;
}();

// The bit reader by its short name.
constexpr bit_reader &in = jpgdec.call.in;

// Reads up to `want` bytes of entropy-coded data behind the window's valid bytes, stopping after
// an EOI marker. On the memory stream, whose end is unknown, bytes are taken one at a time so that
// nothing past EOI is ever touched; a file is read in one piece and cut at EOI.
void read_input(int want) {
  std::uint8_t *dst = in.window + in.valid;
  int got = 0;
  if (in.stream == kMemoryStream) {
    // Two bytes at a time are safe while the last byte read is not FF: an EOI can then end at
    // the second byte at the earliest.
    while (got < want) {
      const int n = (in.last_was_ff || want - got < 2) ? 1 : 2;
      const std::int32_t r = img_read_mem(in.stream, dst + got, static_cast<std::uint32_t>(n));
      for (int i = 0; i < (r > 0 ? r : 0); ++i) {
        const std::uint8_t b = dst[got++];
        if (in.last_was_ff && b == kEoiByte) {
          in.ended = true;
          break;
        }
        in.last_was_ff = b == 0xFF;
      }
      if (in.ended) break;
      if (r != n) {
        in.ended = true;
        break;
      }
    }
  } else {
    const std::int32_t n = img_read_mem(in.stream, dst, static_cast<std::uint32_t>(want));
    got = n > 0 ? n : 0;
    // EOI is looked for from each FF on (and from an FF that ended the previous read).
    bool eoi = got > 0 && in.last_was_ff && dst[0] == kEoiByte;
    if (eoi) got = 1;
    for (auto *p = static_cast<std::uint8_t *>(std::memchr(dst, 0xFF, static_cast<std::size_t>(got)));
         p != nullptr && !eoi;
         p = static_cast<std::uint8_t *>(std::memchr(p + 1, 0xFF, static_cast<std::size_t>(dst + got - p - 1)))) {
      if (p + 1 < dst + got && p[1] == kEoiByte) {
        got = static_cast<int>(p + 2 - dst);
        eoi = true;
      }
    }
    if (got > 0) in.last_was_ff = dst[got - 1] == 0xFF;
    if (eoi || got < want) in.ended = true;
  }
  in.valid += got;
}

// When fewer than kRefillMargin bytes are left in the window, moves them to its start and
// reads behind them up to the window's 4000 bytes.
void refill_window() {
  const int left = in.valid - in.next;
  std::memmove(in.window, in.window + in.next, static_cast<std::size_t>(left));
  in.next = 0;
  in.valid = left;
  read_input(kWindowBytes - left);
}

inline std::uint64_t get_be64(const std::uint8_t *p) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
#else
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
#endif
}

// Tops `word` (`count` bits) up to at least 57 bits from the window's next 8 bytes when none of
// them is FF: they need no unstuffing and go in at once. False, touching nothing, otherwise.
inline bool fill_from_window(std::uint64_t &word, int &count) {
  if (in.valid - in.next < 8) return false;
  const std::uint64_t next8 = get_be64(in.window + in.next);
  const std::uint64_t inverted = ~next8;  // an FF byte reads as a zero byte here
  if (((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) != 0) return false;
  const int bytes = (64 - count) >> 3;
  const int bits = 8 * bytes;
  word |= (next8 >> (64 - bits)) << (64 - bits - count);
  in.next += bytes;
  count += bits;
  return true;
}

// Tops the bit word up to at least 57 bits: 8 bytes at once where fill_from_window can,
// otherwise byte by byte.
void fill_bits() {
  if (in.valid - in.next < kRefillMargin && !in.ended) refill_window();
  if (fill_from_window(in.word, in.count)) return;
  while (in.count <= 56) {
    if (in.valid - in.next < kRefillMargin && !in.ended) refill_window();
    std::uint32_t b = 0;
    if (in.next < in.valid) {
      b = in.window[in.next++];
      if (b == 0xFF && in.next < in.valid && in.window[in.next] == 0x00) ++in.next;
    } else if (in.past_end < kMaxPastEndBytes * 2) {
      ++in.past_end;
    }
    in.word |= static_cast<std::uint64_t>(b) << (56 - in.count);
    in.count += 8;
  }
}

// The next n bits (0 to 16) as an unsigned value; the caller has filled at least n bits.
inline std::uint32_t take_bits(int n) {
  if (n == 0) return 0;
  const auto v = static_cast<std::uint32_t>(in.word >> (64 - n));
  in.word <<= n;
  in.count -= n;
  return v;
}

std::uint32_t jpeg_getbits(int n) {
  if (in.count < n) fill_bits();
  return take_bits(n);
}

// The value of `s` extra bits (T.81 F.2.2.1, EXTEND).
inline std::int32_t extend(std::uint32_t b, int s) {
  if (s == 0) return 0;
  return (b & (1u << (s - 1))) ? static_cast<std::int32_t>(b)
                               : static_cast<std::int32_t>(b) + 1 - (1 << s);
}

void build_lookup(huff_lookup &look, const huff_table &t) {
  look.table = &t;
  look.last_length = 0;
  std::uint32_t code = 0;  // the first code of length l
  std::int32_t first = 0;  // symbols of shorter codes
  for (int l = 1; l <= 16; ++l) {
    const int c = t.counts[l - 1];
    look.limit[l] = code + static_cast<std::uint32_t>(c);
    look.offset[l] = first - static_cast<std::int32_t>(code);
    if (c != 0) look.last_length = l;
    first += c;
    code = (code + static_cast<std::uint32_t>(c)) << 1;
  }
  for (std::uint32_t p = 0; p < (1u << kFastBits); ++p) {
    huff_entry &e = look.fast[p];
    e = {};
    for (int l = 1; l <= kFastBits; ++l) {
      const std::uint32_t code_l = p >> (kFastBits - l);
      if (code_l >= look.limit[l]) continue;
      const int symbol = t.symbols[static_cast<std::int32_t>(code_l) + look.offset[l]] & 0xFF;
      const int s = symbol & 15;
      e.symbol = static_cast<std::uint8_t>(symbol);
      e.lengths = static_cast<std::uint8_t>(l);
      if (l + s <= kFastBits) {
        const std::uint32_t extra = (p >> (kFastBits - l - s)) & ((1u << s) - 1);
        e.value = static_cast<std::int16_t>(extend(extra, s));
        e.lengths = static_cast<std::uint8_t>(l | ((l + s) << 4));
      }
      break;
    }
  }
}

// Built from the table's kFastBits look-up, which gives the first code of any bits: read with
// the bits after the first coefficient, it gives the second, if that one is short enough to
// lie within the kPairBits.
void build_pairs(pair_entry *pairs, const huff_lookup &look) {
  constexpr std::uint32_t kMask = (1u << kPairBits) - 1;
  for (std::uint32_t p = 0; p <= kMask; ++p) {
    pair_entry &e = pairs[p];
    e = {};
    const huff_entry &f = look.fast[p >> (kPairBits - kFastBits)];
    const int l = f.lengths & 15, s = f.symbol & 15;
    if (l == 0 || l + s > kPairBits) continue;
    const int used = l + s;
    e.symbol = f.symbol;
    e.length = static_cast<std::uint8_t>(used);
    e.value = static_cast<std::int16_t>(extend((p >> (kPairBits - used)) & ((1u << s) - 1), s));
    if (f.symbol == 0) continue;
    const std::uint32_t rest = (p << used) & kMask;
    const huff_entry &g = look.fast[rest >> (kPairBits - kFastBits)];
    const int l2 = g.lengths & 15, s2 = g.symbol & 15;
    if (l2 == 0 || used + l2 + s2 > kPairBits) continue;
    e.length2 = static_cast<std::uint8_t>(used + l2 + s2);
    e.run2 = g.symbol == 0 ? kPairEndOfBlock : static_cast<std::uint8_t>(g.symbol >> 4);
    e.value2 = static_cast<std::int16_t>(extend((rest >> (kPairBits - l2 - s2)) & ((1u << s2) - 1), s2));
  }
}

// A symbol whose code is longer than kFastBits bits, or that matches no code: symbol 0, after
// the bits of every length that has codes. `bits`: the next 16 bits of data. Gives the symbol and
// the code's length.
int decode_long_symbol(const huff_lookup &look, std::uint32_t bits, int *length) {
  for (int l = kFastBits + 1; l <= 16; ++l) {
    const std::uint32_t code = bits >> (16 - l);
    if (code < look.limit[l]) {
      *length = l;
      return look.table->symbols[static_cast<std::int32_t>(code) + look.offset[l]] & 0xFF;
    }
  }
  *length = look.last_length;
  return 0;
}

// The bit word while a block is decoded: a copy of the reader's, so that it stays in registers
// rather than going through memory at every code.
struct bit_cursor {
  std::uint64_t word;
  int count;

  // At least 32 bits: a 16-bit code and 15 extra bits at most.
  void ensure32() {
    if (count >= 32) return;
    // Most refills find the window well stocked and free of FF bytes: done here, in registers.
    if (in.valid - in.next >= kRefillMargin && fill_from_window(word, count)) return;
    in.word = word;
    in.count = count;
    fill_bits();
    word = in.word;
    count = in.count;
  }
  void drop(int n) {
    word <<= n;
    count -= n;
  }
  std::uint32_t take(int n) {
    if (n == 0) return 0;
    const auto v = static_cast<std::uint32_t>(word >> (64 - n));
    word <<= n;
    count -= n;
    return v;
  }
  // One Huffman symbol and its extra bits: returns the value, and the symbol (run and size) in
  // `symbol`.
  std::int32_t coefficient(const huff_lookup &look, int *symbol) {
    ensure32();
    const huff_entry e = look.fast[word >> (64 - kFastBits)];
    if (e.lengths >= 16) {
      take(e.lengths >> 4);
      *symbol = e.symbol;
      return e.value;
    }
    int length = e.lengths;
    const int sym =
        length != 0 ? e.symbol : decode_long_symbol(look, static_cast<std::uint32_t>(word >> 48), &length);
    take(length);
    *symbol = sym;
    const int s = sym & 15;
    return extend(take(s), s);
  }
};

// Decodes one block into `x` (natural order, dequantised, 16-bit wrapping products); returns a
// mask of the coefficient rows that may hold a non-zero value (bit i for row i), with kAcBit set
// when a coefficient other than the DC term was decoded and kWideBit when one in columns 4..7 was.
unsigned decode_block(jpg_component &c, std::int16_t *x) {
  // For zig-zag position k (past the DC term), the bits it sets in the mask.
  static constexpr auto block_bits = [] {
    std::array<std::uint16_t, 64> bits{};
    for (int k = 1; k < 64; ++k)
      bits[k] = static_cast<std::uint16_t>((1u << (zig_zag[k] >> 3)) | kAcBit | ((zig_zag[k] & 7) >= 4 ? kWideBit : 0));
    return bits;
  }();
  std::memset(x, 0, 64 * sizeof *x);
  // Locals, so that the refill call does not make the compiler reload them at every code.
  const huff_lookup &ac = *c.ac_table;
  const std::uint16_t *const quant = c.quant;
  bit_cursor bits{in.word, in.count};
  int symbol = 0;
  c.pred = static_cast<std::int16_t>(c.pred + bits.coefficient(*c.dc_table, &symbol));
  x[0] = static_cast<std::int16_t>(c.pred * quant[0]);
  unsigned rows = 1;
  const pair_entry *const pairs = c.ac_pairs;
  // k: the next zig-zag position. A run past the end lands on position 63, and a coefficient
  // there ends the block without reading what follows (its end of block included).
  for (int k = 1;;) {
    bits.ensure32();
    const pair_entry e = pairs[bits.word >> (64 - kPairBits)];
    if (e.length2 != 0) {
      const int first = k + (e.symbol >> 4);
      if (e.run2 == kPairEndOfBlock) {
        if (first < 63) {
          bits.drop(e.length2);
          x[zig_zag[first]] = static_cast<std::int16_t>(static_cast<std::int32_t>(quant[first]) * e.value);
          rows |= block_bits[first];
          break;
        }
      } else if (first + 1 + e.run2 <= 63) {
        const int second = first + 1 + e.run2;
        bits.drop(e.length2);
        x[zig_zag[first]] = static_cast<std::int16_t>(static_cast<std::int32_t>(quant[first]) * e.value);
        x[zig_zag[second]] = static_cast<std::int16_t>(static_cast<std::int32_t>(quant[second]) * e.value2);
        rows |= block_bits[first] | block_bits[second];
        k = second + 1;
        if (k > 63) break;
        continue;
      }
    }
    std::int32_t value = e.value;
    if (e.length != 0) {
      bits.drop(e.length);
      symbol = e.symbol;
    } else {
      value = bits.coefficient(ac, &symbol);
    }
    // Size 0 has value 0 and any other size a non-zero value: run 0, size 0 is the end of block.
    if (symbol == 0) break;
    k = std::min(k + (symbol >> 4), 63);
    x[zig_zag[k]] = static_cast<std::int16_t>(static_cast<std::int32_t>(quant[k]) * value);
    rows |= block_bits[k];
    if (++k > 63) break;
  }
  in.word = bits.word;
  in.count = bits.count;
  return rows;
}

// The transform of a block that holds only its DC term: the first column of the table is one
// value (C(0) * 32768), so every first-pass value is the same and so is every output.
void idct_dc_only(std::int16_t dc, std::int8_t *out, int stride) {
  const std::int16_t m0 = idct_kernel.m[0];
  const auto t = static_cast<std::int16_t>(jpeg_round15(static_cast<std::uint32_t>(dc * m0)));
  const std::int8_t s = clamp_sample(jpeg_round15(static_cast<std::uint32_t>(m0 * t)));
  for (int r = 0; r < 8; ++r) std::memset(out + r * stride, static_cast<std::uint8_t>(s), 8);
}

// Reads the restart marker after an interval: 16 bits, then one bit at a time until the 16-bit
// window reads FFDx. Fill bits and the marker are consumed; EOI (FFD9) also ends the search,
// which happens when the last MCU of the image completes an interval.
void skip_restart_marker() {
  std::uint32_t value = jpeg_getbits(16);
  while ((value & 0xFFF0) != 0xFFD0) {
    if (in.past_end >= kMaxPastEndBytes) return;
    value = ((value << 1) | jpeg_getbits(1)) & 0xFFFF;
  }
}

#if defined(__SSE2__)
// The high 8 bytes of v to an address of any alignment: movhps, which has no alignment rule
// (the compilers' movhpd intrinsic is a double store, which wants 8-byte alignment).
inline void store_high8(void *to, __m128i v) {
  _mm_storeh_pi(static_cast<__m64 *>(to), _mm_castsi128_ps(v));
}

// The second pass by halves. The table is symmetric, A[7 - r][u] = (-1)^u A[r][u] (the cosine
// is), so with E the sum over even u and O over odd u, output row r is E + O and row 7 - r is
// E - O: four rows of sums give all eight. For output row r < 4 and group g, the pairs of
// table entries that meet first-pass rows (4g, 4g + 2) and (4g + 1, 4g + 3).
// The first pass takes its outputs by even and odd column: for input pair p, (A[c][2p],
// A[c][2p + 1]) for c = 0, 2, 4, 6 in `even_columns` and c = 1, 3, 5, 7 in `odd_columns`, so
// that the two halves of its 32-bit sums interleave straight into natural column order.
struct idct_halves {
  __m128i even[4][2], odd[4][2];
  __m128i even_columns[4], odd_columns[4];
};

const idct_halves idct_halves_table = [] {
  idct_halves h;
  auto pair = [](std::int16_t a, std::int16_t b) {
    return static_cast<int>(static_cast<std::uint16_t>(a) |
                            (static_cast<std::uint32_t>(static_cast<std::uint16_t>(b)) << 16));
  };
  const std::int16_t *m = idct_kernel.m;
  for (int r = 0; r < 4; ++r)
    for (int g = 0; g < 2; ++g) {
      h.even[r][g] = _mm_set1_epi32(pair(m[r * 8 + 4 * g], m[r * 8 + 4 * g + 2]));
      h.odd[r][g] = _mm_set1_epi32(pair(m[r * 8 + 4 * g + 1], m[r * 8 + 4 * g + 3]));
    }
  for (int p = 0; p < 4; ++p) {
    auto column = [&](int c) { return pair(m[c * 8 + 2 * p], m[c * 8 + 2 * p + 1]); };
    h.even_columns[p] = _mm_setr_epi32(column(0), column(2), column(4), column(6));
    h.odd_columns[p] = _mm_setr_epi32(column(1), column(3), column(5), column(7));
  }
  return h;
}();

// The first pass over the marked rows, using the first `Pairs` pairs of columns (the others are
// zero in every marked row). A value kept as 16 bits after the shift by 15 is bits 15..30 of the
// sum: shifted left by one, the high half of its 32-bit lane, which a mask or a shift puts in
// place beside its neighbour's.
template <int Pairs>
void idct_first_pass(const std::int16_t *coef, unsigned rows, __m128i t[8]) {
  const idct_halves &k = idct_halves_table;
  const __m128i bias = _mm_set1_epi32(16384), high = _mm_set1_epi32(static_cast<int>(0xFFFF0000u));
  for (unsigned m = rows; m != 0; m &= m - 1) {
    const int i = __builtin_ctz(m);
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef + 8 * i));
    __m128i even = _mm_add_epi32(bias, _mm_madd_epi16(_mm_shuffle_epi32(in, 0x00), k.even_columns[0]));
    __m128i odd = _mm_add_epi32(bias, _mm_madd_epi16(_mm_shuffle_epi32(in, 0x00), k.odd_columns[0]));
    even = _mm_add_epi32(even, _mm_madd_epi16(_mm_shuffle_epi32(in, 0x55), k.even_columns[1]));
    odd = _mm_add_epi32(odd, _mm_madd_epi16(_mm_shuffle_epi32(in, 0x55), k.odd_columns[1]));
    if constexpr (Pairs == 4) {
      even = _mm_add_epi32(even, _mm_madd_epi16(_mm_shuffle_epi32(in, 0xAA), k.even_columns[2]));
      odd = _mm_add_epi32(odd, _mm_madd_epi16(_mm_shuffle_epi32(in, 0xAA), k.odd_columns[2]));
      even = _mm_add_epi32(even, _mm_madd_epi16(_mm_shuffle_epi32(in, 0xFF), k.even_columns[3]));
      odd = _mm_add_epi32(odd, _mm_madd_epi16(_mm_shuffle_epi32(in, 0xFF), k.odd_columns[3]));
    }
    t[i] = _mm_or_si128(_mm_srli_epi32(_mm_slli_epi32(even, 1), 16), _mm_and_si128(_mm_slli_epi32(odd, 1), high));
  }
}

// `Groups` 1 when first-pass rows 4..7 are zero (they add nothing), else 2.
template <int Groups>
void idct_columns(const __m128i t[8], std::int8_t *out, int stride) {
  const idct_halves &k = idct_halves_table;
  const __m128i bias = _mm_set1_epi32(16384), bottom = _mm_set1_epi16(-127);
  __m128i even_lo[Groups], even_hi[Groups], odd_lo[Groups], odd_hi[Groups];
  for (int g = 0; g < Groups; ++g) {
    even_lo[g] = _mm_unpacklo_epi16(t[4 * g], t[4 * g + 2]);
    even_hi[g] = _mm_unpackhi_epi16(t[4 * g], t[4 * g + 2]);
    odd_lo[g] = _mm_unpacklo_epi16(t[4 * g + 1], t[4 * g + 3]);
    odd_hi[g] = _mm_unpackhi_epi16(t[4 * g + 1], t[4 * g + 3]);
  }
  for (int r = 0; r < 4; ++r) {
    __m128i e_lo = bias, e_hi = bias, o_lo = _mm_setzero_si128(), o_hi = _mm_setzero_si128();
    for (int g = 0; g < Groups; ++g) {
      e_lo = _mm_add_epi32(e_lo, _mm_madd_epi16(even_lo[g], k.even[r][g]));
      e_hi = _mm_add_epi32(e_hi, _mm_madd_epi16(even_hi[g], k.even[r][g]));
      o_lo = _mm_add_epi32(o_lo, _mm_madd_epi16(odd_lo[g], k.odd[r][g]));
      o_hi = _mm_add_epi32(o_hi, _mm_madd_epi16(odd_hi[g], k.odd[r][g]));
    }
    const __m128i top = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(e_lo, o_lo), 15),
                                        _mm_srai_epi32(_mm_add_epi32(e_hi, o_hi), 15));
    const __m128i bottom_row = _mm_packs_epi32(_mm_srai_epi32(_mm_sub_epi32(e_lo, o_lo), 15),
                                               _mm_srai_epi32(_mm_sub_epi32(e_hi, o_hi), 15));
    // The saturating pack to bytes is the upper limit of 127; the lower one is -127.
    const __m128i bytes = _mm_packs_epi16(_mm_max_epi16(top, bottom), _mm_max_epi16(bottom_row, bottom));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + r * stride), bytes);
    store_high8(out + (7 - r) * stride, bytes);
  }
}
#endif

#if defined(__SSE2__)
// The transform of a block with coefficients beyond its DC term: `rows` marks the coefficient
// rows that may be non-zero, `wide` says whether columns 4..7 of those rows may be.
void idct_sse2(const std::int16_t *coef, unsigned rows, bool wide, std::int8_t *out, int stride) {
  __m128i t[8];
  for (unsigned m = ~rows & 0xFF; m != 0; m &= m - 1) t[__builtin_ctz(m)] = _mm_setzero_si128();
  if (wide)
    idct_first_pass<4>(coef, rows, t);
  else
    idct_first_pass<2>(coef, rows, t);
  if (rows == 1) {
    // Only the first row: A[r][0] is one value for every r, so every output row is the same.
    const __m128i first = _mm_set1_epi32(idct_kernel.m[0]), bias = _mm_set1_epi32(16384);
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(t[0], _mm_setzero_si128()), first);
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(t[0], _mm_setzero_si128()), first);
    const __m128i v = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, bias), 15),
                                      _mm_srai_epi32(_mm_add_epi32(hi, bias), 15));
    const __m128i clamped = _mm_max_epi16(v, _mm_set1_epi16(-127));
    const __m128i bytes = _mm_packs_epi16(clamped, clamped);
    for (int r = 0; r < 8; ++r) _mm_storel_epi64(reinterpret_cast<__m128i *>(out + r * stride), bytes);
  } else if (rows >= 0x10) {
    idct_columns<2>(t, out, stride);
  } else {
    idct_columns<1>(t, out, stride);
  }
}
#endif

}  // namespace

// The inverse transform of jpeg_common.h into an 8 x 8 area of a strip. `rows` marks the
// coefficient rows that may be non-zero; the others are taken as zero. Most blocks of a photo
// hold a few low-frequency coefficients only, so the sums skip the pairs of columns (first pass)
// and the rows (second pass) that are zero: 32-bit sums wrap the same whatever terms are left
// out when those are zero.
void jpeg_idct_rows(const std::int16_t *coef, unsigned rows, std::int8_t *out, int stride) {
  if (rows == 0 || (rows == 1 && std::all_of(coef + 1, coef + 8, [](std::int16_t v) { return v == 0; })))
    return idct_dc_only(coef[0], out, stride);
#if defined(__SSE2__)
  __m128i any = _mm_setzero_si128();
  for (unsigned m = rows; m != 0; m &= m - 1)
    any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef + 8 * __builtin_ctz(m))));
  idct_sse2(coef, rows, _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_unpackhi_epi64(any, any), _mm_setzero_si128())) != 0xFFFF,
            out, stride);
#else
  const jpeg_kernel &k = idct_kernel;
  std::int16_t t[64] = {};
  for (int i = 0; i < 8; ++i) {
    if (!(rows & (1u << i))) continue;
    for (int c = 0; c < 8; ++c) {
      std::uint32_t sum = 0;
      for (int u = 0; u < 8; ++u) sum += static_cast<std::uint32_t>(coef[i * 8 + u] * k.m[c * 8 + u]);
      t[i * 8 + c] = static_cast<std::int16_t>(jpeg_round15(sum));
    }
  }
  const int last_row = 31 - __builtin_clz(rows);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      std::uint32_t sum = 0;
      for (int u = 0; u <= last_row; ++u) sum += static_cast<std::uint32_t>(k.m[r * 8 + u] * t[u * 8 + c]);
      out[r * stride + c] = clamp_sample(jpeg_round15(sum));
    }
#endif
}

void jpeg_idct(const std::int16_t *coef, std::int8_t *out, int stride) {
  jpeg_idct_rows(coef, 0xFF, out, stride);
}

namespace {

// Reads every table of one DQT segment; 1 on success, 0 for a table this reader cannot hold.
int jpeg_get_quant_table(int stream, int length) {
  int remaining = length - 2;
  while (remaining >= 1) {
    std::uint8_t pq = 0;
    if (img_read_mem(stream, &pq, 1) != 1) return 0;
    const int precision = pq >> 4, id = pq & 15;
    if (id > 3 || precision > 1) return 0;
    std::uint16_t *table = jpgdec.kept.quant[id];
    std::uint8_t raw[128] = {};
    const int bytes = precision == 0 ? 64 : 128;
    img_read_mem(stream, raw, static_cast<std::uint32_t>(bytes));
    for (int k = 0; k < 64; ++k) table[k] = precision == 0 ? raw[k] : get_be16(raw + 2 * k);
    remaining -= bytes + 1;
  }
  return 1;
}

// Reads every table of one DHT segment; 1 on success, 0 for a table this reader cannot hold.
int jpeg_get_huff_table(int stream, int length) {
  int remaining = length - 2;
  while (remaining > 0) {
    std::uint8_t tc = 0;
    if (img_read_mem(stream, &tc, 1) != 1) return 0;
    if ((tc & 0xEE) != 0) return 0;
    huff_table *t = (tc & 0x10) ? &jpgdec.kept.ac[tc & 1] : &jpgdec.kept.dc[tc & 1];
    std::uint8_t counts[16] = {};
    if (img_read_mem(stream, counts, 16) != 16) return 0;
    int total = 0;
    for (std::uint8_t c : counts) total += c;
    if (total > kMaxHuffSymbols) return 0;
    std::uint8_t symbols[kMaxHuffSymbols] = {};
    img_read_mem(stream, symbols, static_cast<std::uint32_t>(total));
    std::memcpy(t->counts, counts, 16);
    for (int i = 0; i < total; ++i) t->symbols[i] = symbols[i];
    remaining -= total + 17;
  }
  return 1;
}

// Fills the three component records from the scan header and the frame.
void jpg_set_component_params() {
  auto &k = jpgdec.kept;
  auto &call = jpgdec.call;
  for (int i = 0; i < 3; ++i) {
    jpg_component &c = call.component[i];
    const std::uint8_t tables = call.scan[2 + 2 * i];
    c.pred = 0;
    c.quant = k.quant[k.frame[6 + 3 * i + 2] == 0 ? 0 : 1];
    c.h = k.geometry[2 + 2 * i];
    c.v = k.geometry[3 + 2 * i];
    c.dc_table = &call.dc_lookup[(tables >> 4) == 0 ? 0 : 1];
    c.ac_table = &call.ac_lookup[(tables & 15) == 0 ? 0 : 1];
    c.ac_pairs = call.ac_pairs[(tables & 15) == 0 ? 0 : 1];
  }
}

#if !defined(__SSE2__)
// Colour products of the library's YCbCr (not JFIF's), each shifted by 10 on its own, by the
// signed chroma sample's byte.
struct colour_tables {
  std::int16_t cb_blue[256], cb_green[256], cr_green[256], cr_red[256];
  colour_tables() {
    for (int i = 0; i < 256; ++i) {
      const int s = static_cast<std::int8_t>(i);
      cb_blue[i] = static_cast<std::int16_t>((1984 * s) >> 10);
      cb_green[i] = static_cast<std::int16_t>((386 * s) >> 10);
      cr_green[i] = static_cast<std::int16_t>((567 * s) >> 10);
      cr_red[i] = static_cast<std::int16_t>((1113 * s) >> 10);
    }
  }
};
const colour_tables colours;

inline std::uint8_t clamp_byte(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
#else
// (s * c) >> 10 for signed samples s, as (s * 64 * c) >> 16: the high half of a 16-bit product
// is that floor exactly, and s * 64 stays within 16 bits.
inline __m128i colour_term(__m128i s64, int c) { return _mm_mulhi_epi16(s64, _mm_set1_epi16(static_cast<short>(c))); }

// 64 times the signed samples in the low 8 bytes of v, as 16-bit values.
inline __m128i times64_lo(__m128i v) { return _mm_srai_epi16(_mm_unpacklo_epi8(_mm_setzero_si128(), v), 2); }

// The chroma terms of pixels i .. i + 15 (blue, both green terms together, red; pixels 0..7 in
// [0], 8..15 in [1]), chroma sample (i + j) >> shift serving pixel i + j. Each chroma sample's
// terms are worked out once and then spread over its pixels.
template <int Shift>
void chroma_terms(const std::int8_t *cb, const std::int8_t *cr, int i, __m128i blue[2], __m128i green[2],
                  __m128i red[2]) {
  if constexpr (Shift == 0) {
    const __m128i b8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cb + i));
    const __m128i r8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cr + i));
    for (int h = 0; h < 2; ++h) {
      const __m128i b64 = times64_lo(h == 0 ? b8 : _mm_srli_si128(b8, 8));
      const __m128i r64 = times64_lo(h == 0 ? r8 : _mm_srli_si128(r8, 8));
      blue[h] = colour_term(b64, 1984);
      green[h] = _mm_add_epi16(colour_term(b64, 386), colour_term(r64, 567));
      red[h] = colour_term(r64, 1113);
    }
  } else {
    __m128i b8, r8;
    if constexpr (Shift == 1) {
      b8 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(cb + (i >> 1)));
      r8 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(cr + (i >> 1)));
    } else {
      std::int32_t four_b, four_r;
      std::memcpy(&four_b, cb + (i >> 2), 4);
      std::memcpy(&four_r, cr + (i >> 2), 4);
      b8 = _mm_cvtsi32_si128(four_b);
      r8 = _mm_cvtsi32_si128(four_r);
    }
    const __m128i b64 = times64_lo(b8), r64 = times64_lo(r8);
    const __m128i terms[3] = {colour_term(b64, 1984), _mm_add_epi16(colour_term(b64, 386), colour_term(r64, 567)),
                              colour_term(r64, 1113)};
    __m128i *const out[3] = {blue, green, red};
    for (int t = 0; t < 3; ++t) {
      if constexpr (Shift == 1) {
        out[t][0] = _mm_unpacklo_epi16(terms[t], terms[t]);
        out[t][1] = _mm_unpackhi_epi16(terms[t], terms[t]);
      } else {
        const __m128i twice = _mm_unpacklo_epi16(terms[t], terms[t]);
        out[t][0] = _mm_unpacklo_epi32(twice, twice);
        out[t][1] = _mm_unpackhi_epi32(twice, twice);
      }
    }
  }
}

// Sixteen pixels at a time; writes up to 50 bytes from out + 3 * i on.
template <int Shift>
void convert_colour_sse2(std::uint8_t *out, const std::int8_t *luma, const std::int8_t *cb,
                         const std::int8_t *cr, int width) {
  const __m128i zero = _mm_setzero_si128(), flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i low = _mm_set1_epi16(0x00FF), high = _mm_set1_epi16(static_cast<short>(0xFF00));
  for (int i = 0; i < width; i += 16) {
    const __m128i y = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(luma + i)), flip);
    __m128i blue[2], green[2], red[2];
    chroma_terms<Shift>(cb, cr, i, blue, green, red);
    const __m128i y_lo = _mm_unpacklo_epi8(y, zero), y_hi = _mm_unpackhi_epi8(y, zero);
    // Saturating packs are the limits to 0 .. 255.
    const __m128i b = _mm_packus_epi16(_mm_add_epi16(y_lo, blue[0]), _mm_add_epi16(y_hi, blue[1]));
    const __m128i g = _mm_packus_epi16(_mm_sub_epi16(y_lo, green[0]), _mm_sub_epi16(y_hi, green[1]));
    const __m128i r = _mm_packus_epi16(_mm_add_epi16(y_lo, red[0]), _mm_add_epi16(y_hi, red[1]));
    // Two pixels are three 16-bit words: (b, g) of the even pixel, (r, b) across the two, (g, r)
    // of the odd one. Each pair goes into a 64-bit lane and out with an 8-byte store, 6 bytes
    // apart: each store's last 2 bytes are overwritten by the next.
    const __m128i bg = _mm_or_si128(_mm_and_si128(b, low), _mm_slli_epi16(g, 8));
    const __m128i rb = _mm_or_si128(_mm_and_si128(r, low), _mm_and_si128(b, high));
    const __m128i gr = _mm_or_si128(_mm_srli_epi16(g, 8), _mm_and_si128(r, high));
    const __m128i bgrb_lo = _mm_unpacklo_epi16(bg, rb), bgrb_hi = _mm_unpackhi_epi16(bg, rb);
    const __m128i gr_lo = _mm_unpacklo_epi16(gr, zero), gr_hi = _mm_unpackhi_epi16(gr, zero);
    const __m128i lanes[4] = {_mm_unpacklo_epi32(bgrb_lo, gr_lo), _mm_unpackhi_epi32(bgrb_lo, gr_lo),
                              _mm_unpacklo_epi32(bgrb_hi, gr_hi), _mm_unpackhi_epi32(bgrb_hi, gr_hi)};
    std::uint8_t *o = out + 3 * i;
    for (int l = 0; l < 4; ++l) {
      _mm_storel_epi64(reinterpret_cast<__m128i *>(o + 12 * l), lanes[l]);
      store_high8(o + 12 * l + 6, lanes[l]);
    }
  }
}
#endif

}  // namespace

// The widening of each chroma sample over 2^shift columns is done on the way, in registers.
void jpeg_convert_row(std::uint8_t *out, const std::int8_t *luma, const std::int8_t *cb,
                      const std::int8_t *cr, int width, int shift) {
  if (cb == nullptr) {
    for (int i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(luma[i] + 128);
    return;
  }
#if defined(__SSE2__)
  if (shift == 0) return convert_colour_sse2<0>(out, luma, cb, cr, width);
  if (shift == 1) return convert_colour_sse2<1>(out, luma, cb, cr, width);
  return convert_colour_sse2<2>(out, luma, cb, cr, width);
#else
  for (int i = 0; i < width; ++i) {
    const int y = luma[i] + 128;
    const auto b = static_cast<std::uint8_t>(cb[i >> shift]), r = static_cast<std::uint8_t>(cr[i >> shift]);
    out[3 * i] = clamp_byte(y + colours.cb_blue[b]);
    out[3 * i + 1] = clamp_byte(y - colours.cb_green[b] - colours.cr_green[r]);
    out[3 * i + 2] = clamp_byte(y + colours.cr_red[r]);
  }
#endif
}

namespace {

// Decodes the scan and delivers every row; 0, or -1 when a buffer cannot be had.
int jpeg_decompress_scan(int stream, int width, int height, int components,
                         PXV_RASTER_PROC raster, void *priv) {
  auto &call = jpgdec.call;
  jpg_component *const c3 = call.component;  // Y, Cb, Cr
  const int h1 = jpgdec.kept.geometry[2], v1 = jpgdec.kept.geometry[3];
  const int shift = h1 == 4 ? 2 : h1 == 2 ? 1 : 0;
  const int mcu_width = 8 * h1;
  const int padded = (width + mcu_width - 1) / mcu_width * mcu_width;
  // Each chroma block goes beside the previous one rather than at its MCU's first column, so
  // that sample i >> shift of a chroma row serves pixel i and the widening is left to the colour
  // conversion.
  for (int i = 0; i < 3; ++i) {
    c3[i].stride = i == 0 ? padded : padded >> shift;
    const std::size_t strip_bytes =
        static_cast<std::size_t>(i == 0 ? 8 * v1 : 8) * static_cast<std::size_t>(c3[i].stride) + kRowSlack;
    c3[i].strip = static_cast<std::int8_t *>(img_fmalloc(strip_bytes));
    // The conversion reads a little past what the blocks fill: keep those bytes defined.
    if (c3[i].strip != nullptr) std::memset(c3[i].strip, 0, strip_bytes);
  }
  const std::int32_t row_bytes = size_for_long(width, components == 3 ? 24 : 8);
  auto *row = static_cast<std::uint8_t *>(img_fmalloc(static_cast<std::size_t>(row_bytes) + kRowSlack));
  in.window = static_cast<std::uint8_t *>(img_fmalloc(kInputBlockBytes));
  if (c3[0].strip == nullptr || c3[1].strip == nullptr || c3[2].strip == nullptr || row == nullptr ||
      in.window == nullptr)
    return kNoMemory;
  in.stream = stream;
  read_input(kWindowBytes);

  for (int i = 0; i < 2; ++i) {
    build_lookup(call.dc_lookup[i], jpgdec.kept.dc[i]);
    build_lookup(call.ac_lookup[i], jpgdec.kept.ac[i]);
    build_pairs(call.ac_pairs[i], call.ac_lookup[i]);
  }
  jpg_set_component_params();

  const int pixel_bytes = components == 3 ? 3 : 1;
  alignas(16) std::int16_t coef[64];
  int delivered = 0, since_restart = 0;
  while (delivered < height) {
    for (int m = 0; m < padded; m += mcu_width) {
      for (int ci = 0; ci < components; ++ci) {
        jpg_component &c = c3[ci];
        std::int8_t *const at = c.strip + (m >> shift) * c.h;
        for (int bv = 0; bv < c.v; ++bv)
          for (int bh = 0; bh < c.h; ++bh) {
            const unsigned rows = decode_block(c, coef);
            std::int8_t *const block = at + 8 * bv * c.stride + 8 * bh;
            if (rows & kAcBit)
#if defined(__SSE2__)
              idct_sse2(coef, rows & 0xFF, (rows & kWideBit) != 0, block, c.stride);
#else
              jpeg_idct_rows(coef, rows & 0xFF, block, c.stride);
#endif
            else
              idct_dc_only(coef[0], block, c.stride);
          }
      }
      ++since_restart;
      if (call.restart_interval != 0 && since_restart >= call.restart_interval) {
        skip_restart_marker();
        since_restart = 0;
        c3[0].pred = c3[1].pred = c3[2].pred = 0;
      }
    }
    for (int r = 0; r < 8 * v1 && delivered < height; ++r) {
      const int chroma_row = r / v1;
      const std::int8_t *const luma = c3[0].strip + r * c3[0].stride;
      const std::int8_t *const cb = components == 3 ? c3[1].strip + chroma_row * c3[1].stride : nullptr;
      const std::int8_t *const cr = c3[2].strip + chroma_row * c3[2].stride;
      // On the library's own load path the row is converted where it goes in the DIB rather
      // than converted and copied (a twelfth of a 12-MPixel load was that copy). The conversion
      // writes up to 50 bytes from its last 16 pixels on, which past the row's end would reach
      // the row above: the last 1 to 16 pixels are converted aside and copied in.
      std::uint8_t *const dst = raster == raster_to_dib ? dib_row_address(priv, delivered, row_bytes) : nullptr;
      if (dst != nullptr) {
        const int head = (width - 1) / 16 * 16;
        if (head > 0) jpeg_convert_row(dst, luma, cb, cr, head, shift);
        jpeg_convert_row(row, luma + head, cb != nullptr ? cb + (head >> shift) : nullptr, cr + (head >> shift),
                         width - head, shift);
        std::memcpy(dst + pixel_bytes * head, row, static_cast<std::size_t>(pixel_bytes * (width - head)));
        std::memset(dst + pixel_bytes * width, 0, static_cast<std::size_t>(row_bytes - pixel_bytes * width));
      } else {
        jpeg_convert_row(row, luma, cb, cr, width, shift);
        // The row's padding goes to the DIB too: keep it zero.
        std::memset(row + pixel_bytes * width, 0, static_cast<std::size_t>(row_bytes - pixel_bytes * width));
        raster(row, priv, delivered, row_bytes);
      }
      ++delivered;
    }
  }
  return kOk;
}

// Checks the frame and scan against what the steps above decode correctly (see the policy).
bool frame_is_supported(int components) {
  const std::uint8_t *frame = jpgdec.kept.frame, *scan = jpgdec.call.scan;
  const std::int16_t *geometry = jpgdec.kept.geometry;
  if (frame[0] != 8) return false;
  if (components != 1 && components != 3) return false;
  // Dimensions above 32767 read as negative 16-bit values; 0 is passed on as it stands (a height
  // of 0 delivers no row, and a width of 0 is the header callback's to judge).
  if (geometry[0] < 0 || geometry[1] < 0) return false;
  const int ns = scan[0];
  if (ns != components) return false;
  const int ss = scan[1 + 2 * ns], se = scan[2 + 2 * ns], a = scan[3 + 2 * ns];
  if (ss != 0 || se != 63 || a != 0) return false;
  if (components == 3) {
    const int h1 = geometry[2], v1 = geometry[3];
    if (h1 != 1 && h1 != 2 && h1 != 4) return false;
    if (v1 != 1 && v1 != 2) return false;
    for (int i = 1; i < 3; ++i)
      if (geometry[2 + 2 * i] != 1 || geometry[3 + 2 * i] != 1) return false;
  }
  return true;
}

}  // namespace

int open_jpg(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream) {
  jpgdec.call = {};
  if (position_is_page(position)) return kNoPage;
  // 1. Find FF D8, skipping anything before it one byte at a time.
  std::int32_t pos = static_cast<std::int32_t>(position);
  std::uint8_t pair[4] = {};
  for (std::uint32_t skipped = 0;; ++skipped, ++pos) {
    if (skipped >= kMaxSoiSearch) return kBadData;
    img_seek_mem(stream, pos, kSeekSet);
    if (img_read_mem(stream, pair, 2) != 2) return kBadData;
    if (get_be16(pair) == kSoi) break;
  }
  pos += 2;

  // 2. The segments up to the start of scan.
  auto &frame = jpgdec.kept.frame;
  std::int16_t *geometry = jpgdec.kept.geometry;
  bool have_frame = false, other_frame = false;
  std::int32_t sos_length = 0;
  for (int segments = 0;; ++segments) {
    if (segments >= kMaxSegments) return kBadData;
    img_seek_mem(stream, pos, kSeekSet);
    if (img_read_mem(stream, pair, 4) != 4) return kBadData;
    const std::uint16_t marker = get_be16(pair);
    const int length = get_be16(pair + 2);
    pos += length + 2;
    if (marker == kSos) {
      sos_length = length;
      break;
    }
    if (marker == kSof0 || marker == kSof1) {
      const std::int32_t n = img_read_mem(stream, frame, sizeof frame);
      // The frame header is read as 15 bytes whatever its length; the bytes it declares must
      // be there.
      if (n < 6 || n < 6 + 3 * frame[5]) return kBadData;
      img_byteswap(frame + 1, 2);
      const std::int16_t height = static_cast<std::int16_t>(frame[1] | (frame[2] << 8));
      const std::int16_t width = static_cast<std::int16_t>(frame[3] | (frame[4] << 8));
      geometry[0] = width;
      geometry[1] = height;
      for (int i = 0; i < 3; ++i) {
        geometry[2 + 2 * i] = static_cast<std::int16_t>(frame[7 + 3 * i] >> 4);
        geometry[3 + 2 * i] = static_cast<std::int16_t>(frame[7 + 3 * i] & 15);
      }
      have_frame = true;
    } else if (is_other_frame(marker)) {
      other_frame = true;
    } else if (marker == kDqt) {
      if (jpeg_get_quant_table(stream, length) == 0) return kBadData;
    } else if (marker == kDht) {
      if (jpeg_get_huff_table(stream, length) == 0) return kBadData;
    } else if (marker == kDri) {
      if (img_read_mem(stream, pair, 2) != 2) return kBadData;
      jpgdec.call.restart_interval = get_be16(pair);
    }
  }

  // The scan header, right after the SOS length field.
  const std::int32_t scan_bytes = sos_length - 2;
  if (scan_bytes < 1 || scan_bytes > kScanHeaderBytes) return kBadData;
  if (img_read_mem(stream, jpgdec.call.scan, static_cast<std::uint32_t>(scan_bytes)) != scan_bytes)
    return kBadData;
  if (!have_frame || other_frame) return kBadData;
  const int components = frame[5];
  if (!frame_is_supported(components)) return kBadData;
  if (components == 1) {
    // One component is coded one block per MCU whatever sampling it declares.
    geometry[2] = geometry[3] = 1;
  }
  const std::int32_t width = geometry[0], height = geometry[1];
  if (width > kMaxDimension || height > kMaxDimension) return kBadData;

  // 4. The header record.
  auto *record = static_cast<std::uint8_t *>(img_fmalloc(kHeaderRecordBytes));
  if (record == nullptr) return kNoMemory;
  std::memset(record, 0, kHeaderRecordBytes);
  const int bits = components == 3 ? 24 : 8;
  fill_dib_header(record, width, height, bits,
                  static_cast<std::uint32_t>(size_for_long(width, bits)) * static_cast<std::uint32_t>(height));
  if (bits == 8)
    for (int i = 0; i < 256; ++i) {
      std::uint8_t *e = record + kDibHeaderBytes + 4 * i;
      e[0] = e[1] = e[2] = static_cast<std::uint8_t>(i);
    }

  // 5. Report the image.
  const int rc = header(record, priv);
  if (rc < 0) return rc;
  // 6. The scan.
  img_seek_mem(stream, pos, kSeekSet);
  return jpeg_decompress_scan(stream, width, height, components, raster, priv);
}

}  // namespace pxv
