// The TIFF reader on hand-built files: tag fields, the policy of the directory and of each strip
// decoder, the plane spool, the fast LZW decoder against a plain one, and large files through
// the read cache against the same files in memory.
#include <gtest/gtest.h>


#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "formats/tiff_internal.h"
#include "platform/testing.h"
#include "support/support.h"

namespace {

using pxv_test::Bytes;
using pxv_test::Capture;
using pxv_test::capture_load;

// ---- Building files -------------------------------------------------------------------------

enum : std::uint16_t { SHORT = 3, LONG = 4, RATIONAL = 5 };

// A little-endian TIFF assembled in order: header, then every strip and out-of-line value as it
// is added, then the directories, chained in the order they were begun. (Big-endian files come
// from the corpus.)
class TiffFile {
 public:
  // Appends raw bytes (a strip, an array) and answers their offset.
  std::uint32_t blob(const Bytes &b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return std::uint32_t(bytes_.size() - b.size());
  }
  void new_ifd() { ifds_.emplace_back(); }
  // An entry whose values are packed by type, inside the entry when they fit in 4 bytes.
  void add(std::uint16_t tag, std::uint16_t type, const std::vector<std::uint32_t> &values) {
    Bytes data(std::max<std::size_t>(values.size() * (type == SHORT ? 2 : 4), 4)), e(8);
    for (std::size_t i = 0; i < values.size(); ++i)
      type == SHORT ? pxv::put_le16(&data[2 * i], values[i]) : pxv::put_le32(&data[4 * i], values[i]);
    if (data.size() > 4) {
      const std::uint32_t at = blob(data);
      data.resize(4);
      pxv::put_le32(data.data(), at);
    }
    pxv::put_le16(&e[0], tag);
    pxv::put_le16(&e[2], type);
    pxv::put_le32(&e[4], std::uint32_t(type == RATIONAL ? values.size() / 2 : values.size()));
    e.insert(e.end(), data.begin(), data.end());
    if (ifds_.empty()) new_ifd();
    ifds_.back().push_back(e);
  }
  Bytes build() const {
    Bytes out = bytes_;
    std::size_t link = 4;  // where the offset of the next directory goes
    for (const auto &ifd : ifds_) {
      pxv::put_le32(&out[link], std::uint32_t(out.size()));
      out.insert(out.end(), {std::uint8_t(ifd.size()), 0});
      for (const Bytes &e : ifd) out.insert(out.end(), e.begin(), e.end());
      link = out.size();
      out.resize(out.size() + 4, 0);
    }
    return out;
  }

 private:
  Bytes bytes_{'I', 'I', 42, 0, 0, 0, 0, 0};
  std::vector<std::vector<Bytes>> ifds_;
};

// The usual directory: size, samples, compression, photometric and the strip offsets.
void simple_ifd(TiffFile &t, int width, int height, int bits, int samples, int compression,
                int photometric, const std::vector<std::uint32_t> &strips) {
  t.add(256, LONG, {std::uint32_t(width)});        // ImageWidth
  t.add(257, LONG, {std::uint32_t(height)});       // ImageLength
  t.add(258, SHORT, {std::uint32_t(bits)});        // BitsPerSample
  t.add(259, SHORT, {std::uint32_t(compression)});  // Compression
  t.add(262, SHORT, {std::uint32_t(photometric)});  // PhotometricInterpretation
  t.add(273, LONG, strips);                        // StripOffsets
  t.add(277, SHORT, {std::uint32_t(samples)});     // SamplesPerPixel
}

// A file of one strip: these bytes, or (at != 0) whatever the file holds at that offset.
Bytes one_strip_file(int width, int height, int bits, int samples, int compression, int photometric,
                     const Bytes &strip, std::uint32_t at = 0) {
  TiffFile t;
  simple_ifd(t, width, height, bits, samples, compression, photometric, {at != 0 ? at : t.blob(strip)});
  return t.build();
}

int header32(const pxv_test::Capture &c, int at) { return int(pxv::get_le32(&c.header[at])); }

// ---- Directory -------------------------------------------------------------------------------

// Resolution in centimetres, BitsPerSample as three values behind the directory (the first
// counts), ImageWidth as LONG. Tags 282 and 283 are X and YResolution, 296 the unit.
TEST(TiffDirectory, HeaderFieldsFromTheTags) {
  TiffFile t;
  const std::uint32_t strip = t.blob({1, 2, 3, 4, 5, 6, 7, 8, 9});
  for (auto [tag, type, values] : {std::tuple{256, LONG, std::vector<std::uint32_t>{3}}, {257, SHORT, {1}},
                                   {258, SHORT, {8, 8, 8}}, {262, SHORT, {2}}, {273, LONG, {strip}}, {277, SHORT, {3}},
                                   {282, RATIONAL, {100, 1}}, {283, RATIONAL, {300, 2}}, {296, SHORT, {3}}})
    t.add(std::uint16_t(tag), type, values);
  const Capture c = capture_load(t.build());
  ASSERT_GE(c.result, 0);
  // Width, height, bit count, biSizeImage (rows padded to 12 bytes), then 100 and 150 × 2.567.
  EXPECT_EQ((std::vector<int>{header32(c, 4), header32(c, 8), pxv::get_le16(&c.header[14]), header32(c, 20),
                              header32(c, 24), header32(c, 28)}),
            (std::vector<int>{3, 1, 24, 12, 256, 385}));
}

TEST(TiffDirectory, UnreadablePagesDeliverNoRowsAndImpossibleSizesAreRefused) {
  // Group 4 data on a page that claims 24 bits per pixel: no row is read past the bilevel row
  // buffer. (Unknown compressions deliver no rows either: a corpus file.)
  const Capture g4 = capture_load(one_strip_file(40, 3, 24, 1, 4, 1, Bytes(16, 7)));
  EXPECT_TRUE(g4.result >= 0 && g4.header_calls == 1 && g4.row_numbers.empty());
  for (int width : {0, 0x7FFFFFFF}) {
    const Capture c = capture_load(one_strip_file(width, 100000, 8, 1, 1, 1, {}));
    EXPECT_TRUE(c.result == PXV_ERR_DATA && c.header_calls == 0) << width;
  }
  EXPECT_EQ(capture_load(Bytes{'I', 'I', 42, 0, 8}).result, PXV_ERR_NO_MEMORY) << "short header";
}

TEST(TiffRows, CmykThroughTheChannelMask) {
  // C, M, Y, K per pixel: pure black ink; then cyan 100 with black 50. Without the black
  // channel only cyan shows. (All four channels: the differential test's CMYK files.)
  const Capture no_black = capture_load(one_strip_file(2, 1, 8, 4, 1, 5, {0, 0, 0, 255, 100, 0, 0, 50}), 0, 0x07);
  EXPECT_TRUE(no_black.result >= 0 && pxv_test::part(no_black.rows[0], 0, 6) == (Bytes{255, 255, 255, 255, 255, 155}));
  const std::string path = pxv_test::scratch_path("cmyk.tif");
  pxv_test::write_file(path, Bytes{'I', 'I'});
  EXPECT_EQ(IMG_IsTiffCmyk(path.c_str()), -1) << "unreadable header";
}

TEST(TiffRows, PlanarRgbThroughTheSpool) {
  // Three planes of a 5 x 2 image, one strip each: R, G, B. The spool, plane.tmp, goes in the
  // current folder: work in the scratch folder.
  TiffFile t;
  std::vector<std::uint32_t> offsets;
  for (int k = 0; k < 3; ++k) {
    Bytes plane(10);
    std::iota(plane.begin(), plane.end(), std::uint8_t(100 * k));
    offsets.push_back(t.blob(plane));
  }
  TiffFile missing = t;
  simple_ifd(t, 5, 2, 8, 3, 1, 2, offsets);
  t.add(284, SHORT, {2});  // PlanarConfiguration: separate planes
  const Bytes f = t.build();
  const Capture c = capture_load(f);  // in the test program's scratch folder, where plane.tmp goes
  EXPECT_TRUE(c.result >= 0 && !pxv_test::file_exists("plane.tmp")) << "the spool is deleted";
  EXPECT_EQ(c.row_numbers, (std::vector<int>{0, 1})) << "each row once";
  EXPECT_EQ(pxv_test::part(c.rows[1], 0, 6), (Bytes{205, 105, 5, 206, 106, 6}));
  // Every allocation failing in turn answers -1, and the dispatcher frees what is left; where
  // the planes cannot be kept in memory they go through the spool file, to the same rows.
  int result = pxv_test::kStandinControls ? -1 : 0;
  for (unsigned n = 1; n < 40 && result < 0; ++n) {
    pxv_platform::fail_allocation(n);
    const Capture failed = capture_load(f);
    result = failed.result;
    pxv_platform::fail_allocation(0);
    EXPECT_TRUE(result >= 0 || result == PXV_ERR_NO_MEMORY) << result;
    if (result >= 0) {
      EXPECT_EQ(failed.rows, c.rows);
    }
    EXPECT_EQ(pxv::img_work_blocks_in_use(), 0);
  }
  // A plane whose strip lies past the end of the file reads as 0.
  simple_ifd(missing, 5, 2, 8, 3, 1, 2, {offsets[0], 1u << 20, offsets[2]});
  missing.add(284, SHORT, {2});
  EXPECT_EQ(pxv_test::part(capture_load(missing.build()).rows[1], 0, 6), (Bytes{205, 0, 5, 206, 0, 6}));
  EXPECT_GE(result, 0) << "a load with no failed allocation succeeds";
  ASSERT_TRUE(std::filesystem::create_directory("plane.tmp"));
  EXPECT_EQ(capture_load(f).result, PXV_ERR_CREATE) << "a folder in the spool's place";
  std::filesystem::remove("plane.tmp");
}

// PackBits of one row as a writer might make it: runs of a byte, copies, now and then a no-op.
Bytes packbits_row(const Bytes &row, std::mt19937 &rng) {
  Bytes out;
  for (std::size_t i = 0, n = 1; i < row.size(); i += n, n = 1) {
    while (i + n < row.size() && n < 128 && row[i + n] == row[i]) ++n;
    if (rng() % 8 == 0) out.push_back(128);
    if (n < 2) n = std::min<std::size_t>(row.size() - i, 1 + rng() % 128);
    out.push_back(std::uint8_t(n < 2 || row[i + 1] != row[i] ? n - 1 : 257 - n));
    out.insert(out.end(), row.begin() + std::ptrdiff_t(i), row.begin() + std::ptrdiff_t(out.back() < 128 ? i + n : i + 1));
  }
  return out;
}

TEST(TiffRows, FastKernelsMatchThePlainRowConversion) {
  // Random rows, runs among them, as gray or RGB, chunky or planar, uncompressed or PackBits, with
  // or without the predictor, against the conversion written out: white-is-zero, the predictor's
  // running sums by sample, RGB to BGR, zero padding.
  std::mt19937 rng(7);
  for (int trial = 0; trial < 240; ++trial) {
    pxv::tiff_allow_ssse3(trial < 120);  // the RGB swap's SSSE3 words, then its SSE2 ones
    const int samples = trial % 3 == 0 ? 1 : 3, width = 1 + int(rng() % 90), height = 1 + int(rng() % 4);
    const bool planar = samples == 3 && trial % 4 == 1, packbits = trial % 2 == 0, predictor = rng() % 2;
    const int photometric = samples == 3 ? 2 : int(rng() % 2), row_bytes = width * samples, planes = planar ? 3 : 1;
    Bytes stored(std::size_t(row_bytes) * height);
    for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = i > 0 && rng() % 2 ? stored[i - 1] : std::uint8_t(rng());
    TiffFile t;
    std::vector<std::uint32_t> offsets;
    for (int k = 0; k < planes; ++k)
      for (int y = 0; y < height; ++y) {
        Bytes row;
        for (int x = k; x < row_bytes; x += planes) row.push_back(stored[std::size_t(y * row_bytes + x)]);
        offsets.push_back(t.blob(packbits ? packbits_row(row, rng) : row));
      }
    simple_ifd(t, width, height, 8, samples, packbits ? 32773 : 1, photometric, offsets);
    t.add(278, LONG, {1});  // RowsPerStrip
    if (planar) t.add(284, SHORT, {2});
    if (predictor) t.add(317, SHORT, {2});
    const Bytes file = t.build();
    const Capture c = capture_load(file);
    ASSERT_EQ(int(c.rows.size()), height);
    // The library's own load builds its rows in place in the DIB: the same rows, bottom up.
    // (A memory image has no known end: the reader's blocks may run past the file.)
    Bytes padded = file;
    padded.resize(file.size() + 65536);
    const int handle = IMG_decompress_bitmap_mem(padded.data(), 0);
    std::vector<Bytes> in_dib = pxv_test::read_handle(handle).rows;
    IMG_delete_bitmap(handle);
    ASSERT_EQ(std::vector<Bytes>(in_dib.rbegin(), in_dib.rend()), c.rows) << "trial " << trial;
    for (int y = 0; y < height; ++y) {
      Bytes row(stored.begin() + y * row_bytes, stored.begin() + (y + 1) * row_bytes);
      for (std::uint8_t &v : row) v = photometric == 0 ? std::uint8_t(255 - v) : v;
      for (int i = samples; predictor && i < row_bytes; ++i) row[i] = std::uint8_t(row[i] + row[i - samples]);
      for (int x = 0; samples == 3 && x < width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
      row.resize(std::size_t(row_bytes + 3) / 4 * 4, 0);
      ASSERT_EQ(c.rows[y], row) << "trial " << trial << ", row " << y;
    }
  }
  pxv::tiff_allow_ssse3(true);
}

// ---- Strip decoders ----------------------------------------------------------------------------

TEST(TiffPackBits, CopyPastTheRowAndEndOfData) {
  // Rows of 3. Row 0: a copy of four bytes of which three fit: the fourth is consumed and
  // dropped. Row 1: one byte, then the data ends and the rest of the row is 0.
  const Capture c = capture_load(one_strip_file(3, 2, 8, 1, 32773, 1, {0x03, 1, 2, 3, 4, 0x00, 5}));
  ASSERT_GE(c.result, 0);
  EXPECT_TRUE(pxv_test::part(c.rows[0], 0, 3) == (Bytes{1, 2, 3}) && pxv_test::part(c.rows[1], 0, 3) == (Bytes{5, 0, 0}));
}

// Bits written as text, most significant first; the last byte padded with 0.
Bytes bit_string(const std::string &text) {
  Bytes out((text.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '1') out[i / 8] |= std::uint8_t(0x80 >> (i % 8));
  return out;
}

// Pixels of a 1-bit row as text: 1 white, 0 black.
std::string row_text(const Bytes &row, int width) {
  std::string s;
  for (int x = 0; x < width; ++x) s += (row[x / 8] >> (7 - x % 8)) & 1 ? '1' : '0';
  return s;
}

TEST(TiffCcitt, EdgeCasesOfTheCodeStream) {
  // Width, rows, compression, the bits; rows delivered and the first row (1 white, 0 black).
  for (auto [width, height, compression, bits, deliveries, row0] : {
           // White 0, black 1984 (extended make-up) + 16, white 64 (make-up) + 36.
           std::tuple{2100, 1, 2, "00110101" "000000010010" "0000010111" "11011" "00010101", 1,
                      std::string(2000, '0') + std::string(100, '1')},
           // White 3, black 13: the run stops at the row's end.
           {8, 1, 2, "1000" "00000100", 1, "11100000"},
           // Group 4, four rows declared: V0 (all white), then EOFB. The row being decoded is
           // handed on and the strip ends there.
           {8, 4, 4, "1" "000000000001" "000000000001", 2, "11111111"}}) {
    const Capture c = capture_load(one_strip_file(width, height, 1, 1, compression, 0, bit_string(bits)));
    ASSERT_GE(c.result, 0);
    EXPECT_EQ(int(c.row_numbers.size()), deliveries) << width << " " << bits;
    EXPECT_EQ(row_text(c.rows[0], width), row0) << width << " " << bits;
  }
}

TEST(TiffCcitt, ZeroBitsEndAtTheEndOfTheData) {
  // Zero bits match no code of either colour: the decoder skips them bit by bit and stops at the
  // end of the stream instead of looping. The strip is the last thing in the file.
  const std::uint32_t end = std::uint32_t(one_strip_file(64, 1000, 1, 1, 3, 0, {}).size());
  Bytes f = one_strip_file(64, 1000, 1, 1, 3, 0, {}, end);
  ASSERT_EQ(f.size(), end);
  f.resize(end + 300, 0);
  const Capture c = capture_load(f);
  EXPECT_TRUE(c.result >= 0 && c.row_numbers.empty());
}

// ---- The fast LZW decoder against a plain one --------------------------------------------------

// Decodes 8-bit gray LZW strips as documented, keeping strings whole: codes MSB first, 9 to 12 bits,
// wider when the next free code reaches 511, 1023, 2047; a strip ends at EOI, an impossible code,
// the file's end or the image's last row; table and previous code carry over, the width does not,
// and a root is still awaited after a Clear at the end of a strip.
std::vector<Bytes> plain_lzw(const Bytes &file, const std::vector<std::uint32_t> &offsets, int width,
                             int height) {
  std::vector<Bytes> rows(static_cast<std::size_t>(height));
  std::vector<Bytes> table(4096);
  for (int i = 0; i < 256; ++i) table[i] = Bytes{std::uint8_t(i)};
  std::uint32_t n = 258, limit = 512;
  int prev = -1, row = 0;
  for (std::size_t s = 0; s < offsets.size() && row < height; ++s) {
    std::uint64_t pos = 8 * std::uint64_t{offsets[s]};
    std::uint32_t bits = 9;
    Bytes pending;
    auto get = [&]() -> long {
      if (pos + bits > 8 * std::uint64_t{file.size()}) return -1;
      long code = 0;
      for (std::uint32_t i = 0; i < bits; ++i, ++pos) code = (code << 1) | ((file[pos / 8] >> (7 - pos % 8)) & 1);
      return code;
    };
    auto emit = [&](const Bytes &str) {  // false once the image has all its rows
      pending.insert(pending.end(), str.begin(), str.end());
      for (; pending.size() >= std::size_t(width); pending.erase(pending.begin(), pending.begin() + width))
        if (row < height) rows[row++].assign(pending.begin(), pending.begin() + width);
      return row < height;
    };
    for (long code = get(); code >= 0 && code != 257; code = get()) {
      if (code == 256 || prev < 0) {
        for (; code == 256; code = get()) bits = 9, limit = 512, n = 258, prev = -1;
        if (code < 0 || code > 255) break;  // only a root can follow
        prev = int(code);
        if (!emit(table[code])) break;
        continue;
      }
      if (code > long(n)) break;  // impossible: the strip ends
      Bytes str = code < long(n) ? table[code] : table[prev];
      if (code == long(n)) str.push_back(table[prev][0]);
      if (n < 4096) {
        table[n] = table[prev];
        table[n++].push_back(str[0]);
        if (n == limit - 1 && bits < 12) ++bits, limit *= 2;
      }
      prev = int(code);
      if (!emit(str)) break;
    }
  }
  return rows;
}

// Random codes at the widths the decoder reads them: mostly roots and known strings, some KwKwK
// codes, Clears, rarely an impossible code or no EOI; table state carries over as in the decoder.
struct CodeWriter {
  explicit CodeWriter(std::mt19937 &random, bool impossible = true) : rng(random), impossible_codes(impossible) {}
  std::mt19937 &rng;
  bool impossible_codes, started = false;
  // Long strings only: KwKwK codes and the latest entry, now and then an early entry, no Clear.
  bool growing = false;
  std::uint32_t n = 258, limit = 512, bits = 9;
  Bytes out;
  std::uint64_t acc = 0;
  int acc_bits = 0;

  void put(std::uint32_t code) {
    acc = (acc << bits) | code;
    for (acc_bits += int(bits); acc_bits >= 8; acc_bits -= 8) out.push_back(std::uint8_t(acc >> (acc_bits - 8)));
  }
  // One strip of `count` codes; it stops early after an impossible code.
  Bytes strip(int count, bool eoi, std::uint32_t long_strings) {
    bits = 9;  // the decoder starts every strip at 9 bits
    out.clear();
    for (int j = 0; j < count; ++j) {
      const std::uint32_t r = rng() % 1000, top = (1u << bits) - 1;
      if (!started || (r < 3 && !growing)) {
        put(256);
        bits = 9, limit = 512, n = 258, started = true;
        put(rng() % 256);
        continue;
      }
      if (r < 5 && n < top && impossible_codes) {
        put(n + 1 + rng() % (top - n));  // above the next free code
        eoi = false;
        break;
      }
      if (growing && n > 258) put(r < 20 ? 258 + rng() % (n - 258) : r < 520 && n < 4096 ? n : n - 1);
      else if (r < 60 && n < 4096) put(n);  // KwKwK
      else if (r < 60 + long_strings && n > 258) put(n - 1 - rng() % std::min(n - 258, 64u));  // recent, long
      else put(r < 600 && n > 258 ? 258 + rng() % (n - 258) : rng() % 256);
      if (n < 4096 && ++n == limit - 1 && bits < 12) ++bits, limit *= 2;
    }
    if (eoi) put(257);
    if (acc_bits > 0) out.push_back(std::uint8_t(acc << (8 - acc_bits)));
    acc_bits = 0;
    return out;
  }
};

TEST(TiffLzwKernel, MatchesThePlainDecoderOnRandomStreams) {
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 300; ++trial) {
    // Some trials run long enough to fill the table and go on at 12 bits; some have one strip of
    // over 10000 bytes without an impossible code, whose codes straddle the end of the decoder's
    // first input block; two write megabytes of long strings without a Clear, so that strings
    // made early are named after they have left the decoder's window of recent output.
    const bool window = trial < 2, long_strip = trial % 29 == 0 || window;
    const int width = window ? 1000 : long_strip ? 37 : 1 + int(rng() % 64);
    const int height = window ? 6000 : long_strip ? 1000 : 1 + int(rng() % 80);
    const int rows_per_strip = long_strip ? height : 1 + int(rng() % std::uint32_t(height));
    const int codes = window ? 3500 : long_strip ? 10000 : trial % 5 == 0 ? 5000 : 1 + int(rng() % 400);
    const std::uint32_t long_strings = long_strip ? 0 : rng() % 200;
    CodeWriter w(rng, !long_strip);
    w.growing = window;
    std::vector<Bytes> strips;
    for (int s = 0; s < (height + rows_per_strip - 1) / rows_per_strip; ++s) {
      strips.push_back(w.strip(codes, rng() % 8 != 0, long_strings));
      // Now and then the strip's data stops short (the decoder reads on into what follows).
      if (!long_strip && rng() % 10 == 0 && !strips.back().empty()) strips.back().resize(rng() % strips.back().size());
    }
    ASSERT_TRUE(!long_strip || window || strips[0].size() > 10000) << "trial " << trial << ": " << strips[0].size();
    // An 8-bit gray file of these strips, every row compared with the plain decoder's.
    TiffFile t;
    std::vector<std::uint32_t> offsets;
    for (const Bytes &s : strips) offsets.push_back(t.blob(s));
    simple_ifd(t, width, height, 8, 1, 5, 1, offsets);
    t.add(278, LONG, {std::uint32_t(rows_per_strip)});
    const Bytes f = t.build();
    Capture c = capture_load(f);
    for (Bytes &row : c.rows) row.resize(row.empty() ? 0 : std::size_t(width));
    ASSERT_EQ(c.rows, plain_lzw(f, offsets, width, height)) << "trial " << trial;
  }
}

// ---- Large files through the read cache -------------------------------------------------------

// A file of many cache windows loads alike from the file, from memory, and into the DIB (whose
// rows are stored past the cache at this size): RGB strips of a row each, decoded where the
// windows lie (uncompressed, PackBits) or read through them (LZW), some lying past the end of
// the file and the last cut short by it.
TEST(TiffCache, FileMemoryAndDibLoadsAgree) {
  std::mt19937 rng(7);
  for (const int compression : {1, 32773, 5}) {
    pxv::tiff_allow_ssse3(compression != 1);  // uncompressed rows take the SSE2 swap
    const int width = 700, height = 1500;
    TiffFile t;
    CodeWriter lzw(rng, false);
    std::vector<std::uint32_t> offsets;
    for (int y = 0; y < height; ++y) {
      Bytes strip = compression == 5 ? lzw.strip(1500, true, 0) : Bytes(1500 + rng() % 1200);
      if (compression != 5) for (std::uint8_t &b : strip) b = std::uint8_t(rng());
      offsets.push_back(y % 97 == 5 ? std::uint32_t(1) << 30 : t.blob(strip));
    }
    const std::uint32_t offsets_at = t.blob({});
    simple_ifd(t, width, height, 8, 3, compression, 2, offsets);
    t.add(278, LONG, {1});  // RowsPerStrip
    Bytes f = t.build();
    pxv::put_le32(&f[offsets_at + 4 * (height - 1)], std::uint32_t(f.size() - 10));
    const Capture file = capture_load(f);
    ASSERT_GE(file.result, 0);
    Capture memory;
    ASSERT_GE(pxv_test::read_memory(pxv::open_tiff, f, &memory), 0);
    EXPECT_TRUE(memory.rows == file.rows && memory.row_numbers == file.row_numbers) << compression;
    const int handle = IMG_decompress_bitmap(pxv_test::scratch_path("capture.bin").c_str());
    const Capture dib = pxv_test::read_handle(handle);
    IMG_delete_bitmap(handle);
    for (const int y : file.row_numbers) ASSERT_EQ(dib.rows[std::size_t(height - 1 - y)], file.rows[std::size_t(y)]) << y;
  }
  pxv::tiff_allow_ssse3(true);
}

}  // namespace
