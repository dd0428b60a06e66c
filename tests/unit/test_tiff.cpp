// The TIFF and EPS readers on hand-built files: the directory (byte orders, pages, tags and
// their defaults), the strip decoders (uncompressed, PackBits, LZW, CCITT) and the row
// conversion, each through the public low-level load with callbacks that record what arrives.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/img_util.h"
#include "platform/testing.h"
#include "support/support.h"
#include "support/tiff_corpus.h"

namespace {

using pxv_test::Bytes;

// ---- Building files -------------------------------------------------------------------------

enum : std::uint16_t { BYTE = 1, ASCII = 2, SHORT = 3, LONG = 4, RATIONAL = 5 };

// A TIFF assembled in order: header, then every strip and out-of-line value as it is added,
// then the directories, chained in the order they were begun.
class TiffFile {
 public:
  explicit TiffFile(bool big_endian) : be_(big_endian) {
    bytes_ = big_endian ? Bytes{'M', 'M', 0, 42, 0, 0, 0, 0} : Bytes{'I', 'I', 42, 0, 0, 0, 0, 0};
  }
  // Appends raw bytes (a strip, a table) and answers their offset.
  std::uint32_t blob(const Bytes &b) {
    std::uint32_t at = static_cast<std::uint32_t>(bytes_.size());
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return at;
  }
  void new_ifd() { ifds_.emplace_back(); }
  // An entry whose values are encoded by type, inside the entry when they fit in 4 bytes.
  void add(std::uint16_t tag, std::uint16_t type, std::vector<std::uint32_t> values) {
    Bytes data;
    for (std::uint32_t v : values) append(data, type, v);
    std::uint32_t count = static_cast<std::uint32_t>(type == RATIONAL ? values.size() / 2 : values.size());
    Bytes field(4, 0);
    if (data.size() <= 4) {
      std::copy(data.begin(), data.end(), field.begin());
    } else {
      put(field.data(), 4, blob(data));
    }
    if (ifds_.empty()) new_ifd();
    Bytes e(12);
    put(e.data(), 2, tag);
    put(e.data() + 2, 2, type);
    put(e.data() + 4, 4, count);
    std::copy(field.begin(), field.begin() + 4, e.begin() + 8);
    ifds_.back().push_back(e);
  }
  Bytes build() {
    Bytes out = bytes_;
    std::size_t link = 4;  // where the offset of the next directory goes
    for (const auto &ifd : ifds_) {
      put(out.data() + link, 4, static_cast<std::uint32_t>(out.size()));
      Bytes count(2);
      put(count.data(), 2, static_cast<std::uint32_t>(ifd.size()));
      out.insert(out.end(), count.begin(), count.end());
      for (const Bytes &e : ifd) out.insert(out.end(), e.begin(), e.end());
      link = out.size();
      out.insert(out.end(), 4, 0);
    }
    return out;
  }
  void put(std::uint8_t *p, int n, std::uint32_t v) const {
    for (int i = 0; i < n; ++i) p[be_ ? n - 1 - i : i] = static_cast<std::uint8_t>(v >> (8 * i));
  }

 private:
  void append(Bytes &data, std::uint16_t type, std::uint32_t v) const {
    const int n = type == SHORT ? 2 : (type == LONG || type == RATIONAL) ? 4 : 1;
    data.resize(data.size() + n);
    put(data.data() + data.size() - n, n, v);
  }
  bool be_;
  Bytes bytes_;
  std::vector<std::vector<Bytes>> ifds_;
};

// The usual directory of a one-strip image.
void simple_ifd(TiffFile &t, int width, int height, int bits, int samples, int compression,
                int photometric, std::uint32_t strip) {
  t.add(256, SHORT, {std::uint32_t(width)});     // ImageWidth
  t.add(257, SHORT, {std::uint32_t(height)});    // ImageLength
  t.add(258, SHORT, {std::uint32_t(bits)});      // BitsPerSample
  t.add(259, SHORT, {std::uint32_t(compression)});  // Compression
  t.add(262, SHORT, {std::uint32_t(photometric)});  // PhotometricInterpretation
  t.add(273, LONG, {strip});                     // StripOffsets: one strip
  t.add(277, SHORT, {std::uint32_t(samples)});   // SamplesPerPixel
}

// ---- Loading with recording callbacks --------------------------------------------------------

// What a load delivered. The channel mask comes first: the reader takes it from the first byte
// of the private block.
struct Capture {
  std::uint8_t mask = 0x0F;
  int header_calls = 0;
  Bytes header;
  std::map<int, Bytes> rows;
  int deliveries = 0;
};

int capture_header(unsigned char *h, void *priv) {
  auto *c = static_cast<Capture *>(priv);
  ++c->header_calls;
  c->header.assign(h, h + 40 + 1024);
  return 1;
}

int capture_row(unsigned char *row, void *priv, int index, int bytes) {
  auto *c = static_cast<Capture *>(priv);
  ++c->deliveries;
  c->rows[index].assign(row, row + bytes);
  return 0;
}

int load(const Bytes &file, Capture *c, int page = 0) {
  const std::string path = pxv_test::scratch_path("unit.tif");
  pxv_test::write_file(path, file);
  OFSTRUCT of;
  HFILE f = OpenFile(path.c_str(), &of, OF_READ);
  int rc = IMGLOW_decompress_bitmap(f, 0, page, capture_row, c, capture_header);
  _lclose(f);
  return rc;
}

std::int32_t header32(const Capture &c, int at) { return std::int32_t(pxv::get_le32(&c.header[at])); }
int bit_count(const Capture &c) { return pxv::get_le16(&c.header[14]); }
Bytes prefix(const Bytes &b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

// ---- Header and directory --------------------------------------------------------------------

// A 3 x 2 gray image, one uncompressed strip, in either byte order.
Bytes gray3x2(bool big_endian) {
  TiffFile t(big_endian);
  simple_ifd(t, 3, 2, 8, 1, 1, 1, t.blob({10, 20, 30, 40, 50, 60}));
  return t.build();
}
const Bytes kLittleEndian = gray3x2(false), kBigEndian = gray3x2(true);

TEST(TiffHeader, ByteOrderTwinsReadTheSame) {
  for (const Bytes *file : {&kLittleEndian, &kBigEndian}) {
    Capture c;
    ASSERT_GE(load(*file, &c), 0);
    EXPECT_EQ(c.header_calls, 1);
    EXPECT_EQ(header32(c, 4), 3);
    EXPECT_EQ(header32(c, 8), 2);
    EXPECT_EQ(bit_count(c), 8);
    EXPECT_EQ(header32(c, 20), 8) << "biSizeImage: 4 bytes a row, 2 rows";
    ASSERT_EQ(c.rows.size(), 2u);
    EXPECT_EQ(prefix(c.rows[0], 3), (Bytes{10, 20, 30}));
    EXPECT_EQ(prefix(c.rows[1], 3), (Bytes{40, 50, 60}));
    EXPECT_EQ(c.rows[0].size(), 4u) << "rows are handed over padded to 4 bytes";
    EXPECT_EQ(c.header[40 + 4 * 255], 255) << "8-bit gray ramp";
  }
}

// Strip offsets in every form the reader locates: LONG and SHORT arrays, two SHORTs inside the
// entry; big- and little-endian. Three rows of 2 gray pixels, one row a strip.
TEST(TiffHeader, StripOffsetFormsAndOrders) {
  for (bool be : {false, true}) {
    for (int form = 0; form < 3; ++form) {
      SCOPED_TRACE(std::string(be ? "MM" : "II") + " form " + std::to_string(form));
      TiffFile t(be);
      const int rows = form == 2 ? 2 : 3;
      std::vector<std::uint32_t> offsets;
      for (int r = 0; r < rows; ++r)
        offsets.push_back(t.blob({std::uint8_t(10 * r + 1), std::uint8_t(10 * r + 2)}));
      t.add(256, SHORT, {2});                    // ImageWidth
      t.add(257, LONG, {std::uint32_t(rows)});   // ImageLength as LONG
      t.add(258, SHORT, {8});                    // BitsPerSample
      t.add(262, SHORT, {1});                    // BlackIsZero
      t.add(273, form == 0 ? LONG : SHORT, offsets);  // StripOffsets: array, or 2 SHORTs inline
      t.add(278, SHORT, {1});                    // RowsPerStrip 1
      Capture c;
      ASSERT_GE(load(t.build(), &c), 0);
      ASSERT_EQ(int(c.rows.size()), rows);
      for (int r = 0; r < rows; ++r)
        EXPECT_EQ(prefix(c.rows[r], 2), (Bytes{std::uint8_t(10 * r + 1), std::uint8_t(10 * r + 2)}));
    }
  }
}

Bytes three_pages(bool loop_back = false) {
  TiffFile t(false);
  for (int page = 0; page < 3; ++page) {
    t.new_ifd();
    const std::uint32_t strip = t.blob({std::uint8_t(page * 50), 0, 0, 0});
    simple_ifd(t, 1 + page, 1, 8, 1, 1, 1, strip);  // width tells the pages apart
  }
  Bytes f = t.build();
  if (loop_back) {
    // Point the third directory's next offset back at the first: a chain that loops.
    const std::uint32_t first = pxv::get_le32(&f[4]);
    pxv::put_le32(&f[f.size() - 4], first);
  }
  return f;
}

TEST(TiffPages, PageSelectorWalksTheChainAndALoopEndsIt) {
  for (bool loop : {false, true}) {
    const Bytes f = three_pages(loop);
    Capture c2, c3;
    ASSERT_GE(load(f, &c2, 2), 0);
    EXPECT_EQ(header32(c2, 4), 3) << "page 2 is the third directory";
    EXPECT_EQ(c2.rows[0][0], 100);
    EXPECT_EQ(load(f, &c3, loop ? 5 : 3), PXV_ERR_PAGE) << "a loop ends the chain at the revisit";
    EXPECT_EQ(c3.header_calls, 0);
  }
}

// ---- Tags and their defaults -----------------------------------------------------------------

TEST(TiffTags, FirstValuesDefaultsAndResolution) {
  TiffFile t(true);
  const std::uint32_t strip = t.blob({1, 2, 3, 4, 5, 6, 7, 8, 9});
  t.add(256, LONG, {3});            // ImageWidth LONG
  t.add(257, SHORT, {1});           // ImageLength
  t.add(258, SHORT, {8, 8, 8});     // BitsPerSample: three values at an offset, first counts
  t.add(262, SHORT, {2});           // RGB
  t.add(273, LONG, {strip});        // StripOffsets
  t.add(277, SHORT, {3});           // SamplesPerPixel
  t.add(282, RATIONAL, {100, 1});   // XResolution 100/1
  t.add(283, RATIONAL, {300, 2});   // YResolution 300/2
  t.add(296, SHORT, {3});           // ResolutionUnit: centimetre
  Capture c;
  ASSERT_GE(load(t.build(), &c), 0);
  EXPECT_EQ(bit_count(c), 24);
  EXPECT_EQ(header32(c, 24), 256) << "100 × 2.567";
  EXPECT_EQ(header32(c, 28), 385) << "150 × 2.567";
  EXPECT_EQ(prefix(c.rows[0], 9), (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7})) << "RGB to BGR";
}

TEST(TiffTags, UnsupportedCompressionOrCcittBeyondOneBitDeliverNoRows) {
  // Compression 6 on gray; Group 4 data on a page that claims 24 bits per pixel (no row is read
  // past the bilevel row buffer).
  for (auto [bits, compression] : {std::pair{8, 6}, {24, 4}}) {
    TiffFile t(false);
    simple_ifd(t, 40, 3, bits, 1, compression, 1, t.blob(Bytes(16, 7)));
    Capture c;
    EXPECT_GE(load(t.build(), &c), 0);
    EXPECT_EQ(c.header_calls, 1);
    EXPECT_EQ(c.deliveries, 0);
  }
}

TEST(TiffTags, AbsurdOrEmptyDimensionsAreRefused) {
  for (std::uint32_t width : {0u, 0x7FFFFFFFu}) {
    TiffFile t(false);
    t.add(256, LONG, {width});       // ImageWidth
    t.add(257, LONG, {100000});      // ImageLength
    t.add(258, SHORT, {8});
    t.add(273, LONG, {8});
    Capture c;
    EXPECT_EQ(load(t.build(), &c), PXV_ERR_DATA);
    EXPECT_EQ(c.header_calls, 0);
  }
  Capture c;
  EXPECT_EQ(load(Bytes{'I', 'I', 42, 0, 8}, &c), PXV_ERR_NO_MEMORY) << "short header";
}

// ---- Row conversion --------------------------------------------------------------------------

TEST(TiffRows, WhiteIsZeroAtEachDepth) {
  struct Case { int bits, samples; Bytes in, out; };
  const Case cases[] = {
      {1, 1, {0x0F}, {0xF0}},              // XOR 0xFF
      {4, 1, {0x1E}, {0xE1}},              // each half complemented
      {8, 1, {0, 200}, {255, 55}},         // 255 - v
      {8, 3, {0, 1, 2}, {253, 254, 255}},  // 255 - v, then RGB to BGR
  };
  for (const Case &k : cases) {
    TiffFile t(false);
    const int width = int(k.in.size()) * 8 / (k.bits * k.samples);
    simple_ifd(t, width, 1, k.bits, k.samples, 1, 0, t.blob(k.in));
    Capture c;
    ASSERT_GE(load(t.build(), &c), 0);
    EXPECT_EQ(prefix(c.rows[0], k.out.size()), k.out) << k.bits << " bits";
  }
}

TEST(TiffRows, CmykThroughTheChannelMask) {
  // C, M, Y, K per pixel: pure black ink; then cyan 100 with black 50.
  TiffFile t(false);
  simple_ifd(t, 2, 1, 8, 4, 1, 5, t.blob({0, 0, 0, 255, 100, 0, 0, 50}));
  const Bytes f = t.build();
  Capture all;
  ASSERT_GE(load(f, &all), 0);
  EXPECT_EQ(bit_count(all), 24);
  EXPECT_EQ(all.rows[0].size(), 8u) << "two 24-bit pixels padded to 8 bytes";
  EXPECT_EQ(prefix(all.rows[0], 6), (Bytes{0, 0, 0, 205, 205, 105}));
  Capture no_black;
  no_black.mask = 0x07;
  ASSERT_GE(load(f, &no_black), 0);
  EXPECT_EQ(prefix(no_black.rows[0], 6), (Bytes{255, 255, 255, 255, 255, 155}));

  const std::string path = pxv_test::scratch_path("cmyk.tif");
  pxv_test::write_file(path, Bytes{'I', 'I'});
  EXPECT_EQ(IMG_IsTiffCmyk(path.c_str()), -1) << "unreadable header";
}

TEST(TiffRows, FourSamplesNotCmykDropTheExtraSample) {
  TiffFile t(false);
  simple_ifd(t, 2, 1, 8, 4, 1, 2, t.blob({1, 2, 3, 99, 4, 5, 6, 99}));
  Capture c;
  ASSERT_GE(load(t.build(), &c), 0);
  EXPECT_EQ(bit_count(c), 24);
  EXPECT_EQ(c.rows[0], (Bytes{3, 2, 1, 6, 5, 4, 0, 0}));
}

TEST(TiffRows, PlanarRgbIsRebuiltFromThePlanes) {
  // Three planes of a 5 x 2 image, one strip per plane: R plane, G plane, B plane.
  TiffFile t(true);
  std::vector<std::uint32_t> offsets;
  for (int k = 0; k < 3; ++k) {
    Bytes plane;
    for (int i = 0; i < 10; ++i) plane.push_back(std::uint8_t(100 * k + i));
    offsets.push_back(t.blob(plane));
  }
  t.add(256, SHORT, {5});
  t.add(257, SHORT, {2});
  t.add(258, SHORT, {8, 8, 8});
  t.add(262, SHORT, {2});
  t.add(273, LONG, offsets);
  t.add(277, SHORT, {3});
  t.add(284, SHORT, {2});  // PlanarConfiguration: separate planes
  const Bytes f = t.build();
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(pxv_test::scratch_dir().c_str()), 0);  // plane.tmp goes here
  Capture c;
  const int rc = load(f, &c);
  EXPECT_FALSE(pxv_test::file_exists("plane.tmp")) << "the spool is deleted";
  // A folder in the spool's place: it cannot be created.
  ASSERT_EQ(mkdir("plane.tmp", 0700), 0);
  Capture blocked;
  EXPECT_EQ(load(f, &blocked), PXV_ERR_CREATE);
  rmdir("plane.tmp");
  ASSERT_EQ(chdir(here), 0);
  ASSERT_GE(rc, 0);
  EXPECT_EQ(c.deliveries, 2) << "each row once";
  EXPECT_EQ(prefix(c.rows[1], 6), (Bytes{205, 105, 5, 206, 106, 6}));
}

// ---- PackBits --------------------------------------------------------------------------------

TEST(TiffPackBits, NoOpAndLongestRun) {
  // Rows of 130. Row 0: 0x80 (no-op), 0x81 7 (128 copies of 7), 0x01 1 2 (copy two bytes).
  // Row 1: 0x81 9 (128 copies), 0x03 1 2 3 4 (a copy of four bytes of which two fit: the other
  // two are consumed and dropped). Row 2: 0x00 5 (one byte), then the data ends.
  Bytes strip = {0x80, 0x81, 7, 0x01, 1, 2};
  strip.insert(strip.end(), {0x81, 9, 0x03, 1, 2, 3, 4});  // 128 + 4 bytes: 2 dropped
  strip.insert(strip.end(), {0x00, 5});                   // row 2 begins after the whole copy
  TiffFile t(false);
  simple_ifd(t, 130, 3, 8, 1, 32773, 1, t.blob(strip));
  Capture c;
  ASSERT_GE(load(t.build(), &c), 0);
  for (auto [row, v] : {std::pair{0, 7}, {1, 9}}) {
    Bytes want(128, std::uint8_t(v));
    want.insert(want.end(), {1, 2});
    EXPECT_EQ(prefix(c.rows[row], 130), want);
  }
  EXPECT_EQ(c.rows[2][0], 5);
  EXPECT_EQ(c.rows[2][1], 0) << "the data ended: the rest of the row is 0";
}

// ---- LZW -------------------------------------------------------------------------------------

// Packs codes most significant bit first, each with its stated width.
Bytes pack_codes(const std::vector<std::pair<int, int>> &codes) {
  Bytes out;
  std::uint64_t acc = 0;
  int bits = 0;
  for (auto [code, width] : codes) {
    acc = (acc << width) | std::uint64_t(code);
    bits += width;
    while (bits >= 8) {
      out.push_back(std::uint8_t(acc >> (bits - 8)));
      bits -= 8;
    }
  }
  if (bits > 0) out.push_back(std::uint8_t(acc << (8 - bits)));
  return out;
}

Bytes lzw_file(int width, int height, const std::vector<Bytes> &strips, int rows_per_strip = 0) {
  TiffFile t(false);
  std::vector<std::uint32_t> offsets;
  for (const Bytes &s : strips) offsets.push_back(t.blob(s));
  t.add(256, SHORT, {std::uint32_t(width)});
  t.add(257, SHORT, {std::uint32_t(height)});
  t.add(258, SHORT, {8});
  t.add(259, SHORT, {5});  // LZW
  t.add(262, SHORT, {1});
  t.add(273, LONG, offsets);
  if (rows_per_strip != 0) t.add(278, SHORT, {std::uint32_t(rows_per_strip)});
  return t.build();
}

Bytes joined_rows(const Capture &c, int width) {
  Bytes all;
  for (const auto &[index, row] : c.rows) all.insert(all.end(), row.begin(), row.begin() + width);
  return all;
}

TEST(TiffLzw, KwKwKAndStringsAcrossRows) {
  // Clear, A, B, 258 (AB), 260 = the next free code (KwKwK: ABA), A, B, EOI: "ABABABAAB".
  const Bytes strip = pack_codes({{256, 9}, {'A', 9}, {'B', 9}, {258, 9}, {260, 9}, {'A', 9},
                                  {'B', 9}, {257, 9}});
  Capture c;
  // Rows of 3: code 260 writes bytes 4 to 6, across the end of row 1.
  ASSERT_GE(load(lzw_file(3, 3, {strip}), &c), 0);
  ASSERT_EQ(c.rows.size(), 3u);
  EXPECT_EQ(prefix(c.rows[0], 3), (Bytes{'A', 'B', 'A'}));
  EXPECT_EQ(prefix(c.rows[1], 3), (Bytes{'B', 'A', 'B'}));
  EXPECT_EQ(prefix(c.rows[2], 3), (Bytes{'A', 'A', 'B'}));
}

// Code widths growing one code early, the full table at 12 bits and Clears at every width are
// compared with a plain decoder on random streams in test_tiff_speed_kernels.cpp.

TEST(TiffLzw, CodesAcrossTenThousandByteBlocks) {
  // 9-bit roots with a Clear every 200 codes, 20000 of them: codes straddle byte 10000 (bit
  // 80000) and 20000, read from the bytes carried over at a block's end.
  std::vector<std::pair<int, int>> codes;
  Bytes want;
  for (int j = 0; j < 20000; ++j) {
    if (j % 200 == 0) codes.push_back({256, 9});
    const int v = (j * 13 + 5) & 0xFF;
    codes.push_back({v, 9});
    want.push_back(std::uint8_t(v));
  }
  codes.push_back({257, 9});
  const Bytes strip = pack_codes(codes);
  ASSERT_GT(strip.size(), 20000u);
  Capture c;
  ASSERT_GE(load(lzw_file(100, 200, {strip}), &c), 0);
  EXPECT_EQ(joined_rows(c, 100), want);
}

TEST(TiffLzw, ImpossibleCodeEndsOnlyItsStrip) {
  // Strip 0: Clear, A, B, then 300 with 259 the next free code. Strip 1: Clear, C, D, EOI.
  const Bytes bad = pack_codes({{256, 9}, {'A', 9}, {'B', 9}, {300, 9}, {'X', 9}, {257, 9}});
  const Bytes good = pack_codes({{256, 9}, {'C', 9}, {'D', 9}, {257, 9}});
  Capture c;
  ASSERT_GE(load(lzw_file(2, 2, {bad, good}, 1), &c), 0);
  ASSERT_EQ(c.rows.size(), 2u);
  EXPECT_EQ(prefix(c.rows[0], 2), (Bytes{'A', 'B'}));
  EXPECT_EQ(prefix(c.rows[1], 2), (Bytes{'C', 'D'}));
}

// ---- CCITT -----------------------------------------------------------------------------------

// Bits written as text, most significant first; the last byte padded with 0.
Bytes bits(const std::string &text) {
  Bytes out((text.size() + 7) / 8, 0);
  std::size_t i = 0;
  for (char ch : text) {
    if (ch != '0' && ch != '1') continue;
    if (ch == '1') out[i / 8] |= std::uint8_t(0x80 >> (i % 8));
    ++i;
  }
  out.resize((i + 7) / 8);
  return out;
}

Bytes reversed_bits(Bytes b) {
  for (std::uint8_t &v : b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
      if (v & (1 << i)) r |= std::uint8_t(0x80 >> i);
    v = r;
  }
  return b;
}

Bytes fax_file(int width, int height, int compression, const Bytes &strip, int fill_order = 1,
               int photometric = 0) {
  TiffFile t(false);
  simple_ifd(t, width, height, 1, 1, compression, photometric, t.blob(strip));
  if (fill_order != 1) t.add(266, SHORT, {std::uint32_t(fill_order)});
  return t.build();
}

// Pixels of a 1-bit row as text: 1 white, 0 black.
std::string row_text(const Bytes &row, int width) {
  std::string s;
  for (int x = 0; x < width; ++x) s += (row[x / 8] >> (7 - x % 8)) & 1 ? '1' : '0';
  return s;
}

TEST(TiffCcitt, MakeUpCodesOfBothColours) {
  // Modified Huffman, each row byte-aligned. Row 0: white 1728 (make-up) + white 0.
  // Row 1: white 0, black 1664 (make-up) + black 54, white 10.
  // Row 2 (of 2100): white 0, black 1984 (extended make-up) + 16, white 64 (make-up) + 36.
  const std::string row0 = "010011011" "00110101";
  const std::string row1 = "00110101" "0000001100100" "000000111000" "00111";
  Bytes strip = bits(row0);
  Bytes b1 = bits(row1);
  strip.insert(strip.end(), b1.begin(), b1.end());
  Capture c;
  ASSERT_GE(load(fax_file(1728, 2, 2, strip), &c), 0);
  EXPECT_EQ(row_text(c.rows[0], 1728), std::string(1728, '1'));
  EXPECT_EQ(row_text(c.rows[1], 1728), std::string(1718, '0') + std::string(10, '1'));

  const Bytes wide = bits("00110101" "000000010010" "0000010111" "11011" "00010101");
  Capture w;
  ASSERT_GE(load(fax_file(2100, 1, 2, wide), &w), 0);
  EXPECT_EQ(row_text(w.rows[0], 2100), std::string(2000, '0') + std::string(100, '1'));
}

TEST(TiffCcitt, AlignmentEolsAndFillOrder) {
  // Width 8. Row 0: white 3, black 2, white 3 (10 bits); row 1: white 8.
  const std::string row0 = "1000" "11" "1000";
  const std::string row1 = "10011";
  // Compression 2: row 1 starts on the next byte.
  const Bytes aligned = bits(row0 + "000000" + row1);
  // Compression 3: no alignment; EOLs (with fill zeros before one) are skipped.
  const Bytes packed = bits("000000000001" + row0 + "0000" "000000000001" + row1);
  for (int fill_order : {1, 2}) {
    for (int compression : {2, 3}) {
      SCOPED_TRACE("compression " + std::to_string(compression) + " fill order " +
                   std::to_string(fill_order));
      Bytes strip = compression == 2 ? aligned : packed;
      if (fill_order == 2) strip = reversed_bits(strip);
      Capture c;
      ASSERT_GE(load(fax_file(8, 2, compression, strip, fill_order), &c), 0);
      EXPECT_EQ(row_text(c.rows[0], 8), "11100111");
      EXPECT_EQ(row_text(c.rows[1], 8), "11111111");
    }
  }
  // The same rows without padding, followed at bit 16 by a black row (white 0, black 8):
  // Compression 3 reads row 1 where row 0 ends, Compression 2 on the next byte.
  const Bytes unaligned = bits(row0 + row1 + "0" + "00110101" "000101");
  Capture g3, mh;
  ASSERT_GE(load(fax_file(8, 2, 3, unaligned), &g3), 0);
  EXPECT_EQ(row_text(g3.rows[1], 8), "11111111");
  ASSERT_GE(load(fax_file(8, 2, 2, unaligned), &mh), 0);
  EXPECT_EQ(row_text(mh.rows[1], 8), "00000000");
}

TEST(TiffCcitt, PhotometricBlackIsZeroInverts) {
  Capture c;
  ASSERT_GE(load(fax_file(8, 1, 2, bits("1000" "11" "1000"), 1, 1), &c), 0);
  EXPECT_EQ(row_text(c.rows[0], 8), "00011000");
}

TEST(TiffCcitt, RunsPastTheWidthAreClipped) {
  // Width 8: white 3, black 13: the black run stops at the row's end.
  Capture c;
  ASSERT_GE(load(fax_file(8, 1, 2, bits("1000" "00000100")), &c), 0);
  EXPECT_EQ(row_text(c.rows[0], 8), "11100000");
}

TEST(TiffCcitt, BadModeEndsTheStripWithoutError) {
  // Declares 4 rows; one row (V0: all white), then EOFB: the row being decoded is handed on
  // and the strip ends there.
  Capture c;
  ASSERT_GE(load(fax_file(8, 4, 4, bits("1" "000000000001" "000000000001")), &c), 0);
  EXPECT_EQ(c.deliveries, 2);
  EXPECT_EQ(row_text(c.rows[0], 8), "11111111");
}

TEST(TiffCcitt, GarbageEndsWithinTheData) {
  // Zero bits match no code of either colour: the decoder skips them bit by bit and stops at
  // the end of the stream instead of looping.
  // The strip is the last thing in the file, so nothing but zeros follows it.
  const std::size_t size = fax_file(64, 1000, 3, {}).size();
  TiffFile t(false);
  simple_ifd(t, 64, 1000, 1, 1, 3, 0, std::uint32_t(size));
  Bytes f = t.build();
  ASSERT_EQ(f.size(), size);
  f.resize(size + 300, 0);
  Capture c;
  EXPECT_GE(load(f, &c), 0);
  EXPECT_EQ(c.deliveries, 0);
}

// ---- Memory failures --------------------------------------------------------------------------

TEST(TiffMemory, EveryAllocationFailureOfAPlanarLoadAnswersMinusOne) {
  // The plane spool's allocations; the other decoders are covered by the fault-injection test.
  TiffFile planar(false);
  std::vector<std::uint32_t> offsets;
  for (int k = 0; k < 3; ++k) offsets.push_back(planar.blob({1, 2}));
  simple_ifd(planar, 2, 1, 8, 3, 1, 2, 0);
  planar.add(273, LONG, offsets);
  planar.add(284, SHORT, {2});
  const Bytes file = planar.build();
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(pxv_test::scratch_dir().c_str()), 0);
  bool succeeded = false;
  for (unsigned n = 1; n < 40 && !succeeded; ++n) {
    Capture c;
    pxv_platform::fail_allocation(n);
    const int rc = load(file, &c);
    pxv_platform::fail_allocation(0);
    EXPECT_TRUE(rc >= 0 || rc == PXV_ERR_NO_MEMORY) << rc;
    EXPECT_EQ(pxv::img_work_blocks_in_use(), 0) << "the dispatcher frees what is left";
    succeeded = rc >= 0;
  }
  EXPECT_TRUE(succeeded);
  ASSERT_EQ(chdir(here), 0);
}

// ---- EPS -------------------------------------------------------------------------------------

Bytes eps_around(const Bytes &tiff, std::uint32_t tiff_offset) {
  Bytes f(32, 0);
  pxv::put_le32(&f[0], 0xC6D3D0C5u);  // magic
  pxv::put_le32(&f[4], 32);           // PostScript offset
  pxv::put_le32(&f[8], 0);            // PostScript length
  pxv::put_le32(&f[20], tiff_offset); // TIFF preview offset
  pxv::put_le32(&f[24], std::uint32_t(tiff.size()));
  f.insert(f.end(), tiff.begin(), tiff.end());
  return f;
}

TEST(Eps, PreviewLoadsAndBadOffsetsFail) {
  Capture c;
  ASSERT_GE(load(eps_around(kBigEndian, 32), &c), 0);
  EXPECT_EQ(prefix(c.rows[1], 3), (Bytes{40, 50, 60}));
  Capture past;
  EXPECT_EQ(load(eps_around(kBigEndian, 5000), &past), PXV_ERR_NO_MEMORY)
      << "the TIFF reader's code for a header it cannot read";
  Capture page1;
  EXPECT_EQ(load(eps_around(kBigEndian, 32), &page1, 1), PXV_ERR_PAGE) << "one page only";
  Bytes broken = eps_around(kBigEndian, 32);
  broken[3] = 0;  // no magic: not detected as EPS at all
  Capture none;
  EXPECT_EQ(load(broken, &none), PXV_ERR_TYPE);
}

}  // namespace
