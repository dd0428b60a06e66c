// The JPEG reader and writer on hand-built files and small images: markers, tables, the exact
// header bytes, the bit-level edge cases, and the fast transforms against a plain transcription
// of the codec's arithmetic.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "core/img_util.h"
#include "formats/jpeg_common.h"
#include "support/jpeg_support.h"

using namespace pxv_test;

namespace {

// ---- The plain arithmetic, transcribed from the codec's description. ----

std::int16_t plain_table(int x, int u) {
  static std::int16_t t[64];
  static bool ready = false;
  if (!ready) pxv::jpeg_cosine_table(t);
  ready = true;
  return t[x * 8 + u];
}

// Inverse: rows then columns, 32-bit wrapping sums, first pass kept as 16 bits, output limited
// to -127..127.
void plain_idct(const std::int16_t *x, std::int8_t *out) {
  std::int16_t temp[64];
  for (int i = 0; i < 8; ++i)
    for (int c = 0; c < 8; ++c) {
      std::uint32_t sum = 16384;
      for (int u = 0; u < 8; ++u) sum += static_cast<std::uint32_t>(x[i * 8 + u] * plain_table(c, u));
      temp[i * 8 + c] = static_cast<std::int16_t>(static_cast<std::int32_t>(sum) >> 15);
    }
  for (int c = 0; c < 8; ++c)
    for (int r = 0; r < 8; ++r) {
      std::uint32_t sum = 16384;
      for (int u = 0; u < 8; ++u) sum += static_cast<std::uint32_t>(temp[u * 8 + c] * plain_table(r, u));
      std::int32_t s = static_cast<std::int32_t>(sum) >> 15;
      out[r * 8 + c] = static_cast<std::int8_t>(s < -127 ? -127 : s > 127 ? 127 : s);
    }
}

// Forward: the table with rows and columns exchanged, F[u][x] = A[x][u].
void plain_dct(const std::int8_t *s, std::int32_t *out) {
  std::int32_t temp[64];
  for (int y = 0; y < 8; ++y)
    for (int u = 0; u < 8; ++u) {
      std::int32_t sum = 0;
      for (int x = 0; x < 8; ++x) sum += s[y * 8 + x] * plain_table(x, u);
      temp[y * 8 + u] = (sum + 16384) >> 15;
    }
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v) {
      std::int32_t sum = 0;
      for (int y = 0; y < 8; ++y) sum += plain_table(y, v) * temp[y * 8 + u];
      out[v * 8 + u] = (sum + 16384) >> 15;
    }
}

// The entropy-coded bytes of a file we wrote: from after the SOS segment to before FF D9.
Bytes entropy_data(const Bytes &file) {
  std::size_t p = 2;
  while (p + 4 <= file.size()) {
    const int marker = file[p + 1], length = (file[p + 2] << 8) | file[p + 3];
    p += 2 + static_cast<std::size_t>(length);
    if (marker == 0xDA) break;
  }
  if (file.size() < p + 2) return {};
  return Bytes(file.begin() + static_cast<std::ptrdiff_t>(p), file.end() - 2);
}

PackedDib gray_dib(int width, int height) {
  PackedDib d = make_packed_dib(width, height, 8);
  for (int i = 0; i < 256; ++i) {
    std::uint8_t *e = d.bytes.data() + 40 + 4 * i;
    e[0] = e[1] = e[2] = static_cast<std::uint8_t>(i);
  }
  return d;
}

}  // namespace

// ---- Transforms ----

TEST(JpegTransform, CosineTableHasTheDocumentedRows) {
  const std::int16_t row0[8] = {11585, 16069, 15137, 13623, 11585, 9102, 6270, 3196};
  const std::int16_t row1[8] = {11585, 13623, 6270, -3196, -11585, -16069, -15137, -9102};
  for (int u = 0; u < 8; ++u) {
    EXPECT_EQ(plain_table(0, u), row0[u]);
    EXPECT_EQ(plain_table(1, u), row1[u]);
  }
}

TEST(JpegTransform, FastInverseMatchesPlainOnRandomBlocks) {
  std::mt19937 rng(12345);
  for (int trial = 0; trial < 20000; ++trial) {
    alignas(16) std::int16_t x[64] = {};
    const int kind = trial % 5;
    if (kind == 0) {
      x[0] = static_cast<std::int16_t>(rng());  // DC only, any value
    } else if (kind == 1) {
      for (int i = 0; i < 64; ++i) x[i] = static_cast<std::int16_t>(rng());  // wrapping sums
    } else if (kind == 2) {
      for (int i = 0; i < 8; ++i) x[i] = static_cast<std::int16_t>(static_cast<int>(rng() % 2001) - 1000);
    } else {
      const int n = 1 + static_cast<int>(rng() % 12);
      for (int i = 0; i < n; ++i) x[rng() % 64] = static_cast<std::int16_t>(static_cast<int>(rng() % 4001) - 2000);
    }
    unsigned rows = 0;
    for (int i = 0; i < 64; ++i)
      if (x[i] != 0) rows |= 1u << (i / 8);
    std::int8_t want[64], fast[64], all_rows[64];
    plain_idct(x, want);
    pxv::jpeg_idct_rows(x, rows, fast, 8);
    pxv::jpeg_idct(x, all_rows, 8);
    ASSERT_EQ(std::memcmp(want, fast, 64), 0) << "trial " << trial;
    ASSERT_EQ(std::memcmp(want, all_rows, 64), 0) << "trial " << trial;
  }
}

TEST(JpegTransform, FastForwardMatchesPlainOnRandomBlocks) {
  std::mt19937 rng(777);
  for (int trial = 0; trial < 20000; ++trial) {
    std::int8_t s[64];
    const int kind = trial % 3;
    for (int i = 0; i < 64; ++i)
      s[i] = static_cast<std::int8_t>(kind == 0 ? static_cast<int>(rng() % 255) - 127
                                      : kind == 1 ? ((i + i / 8) % 2 ? 127 : -127)
                                                  : static_cast<int>(rng() % 256) - 128);
    // A strip row stride wider than the block, as the writer uses.
    std::int8_t strip[8 * 24] = {};
    for (int r = 0; r < 8; ++r) std::memcpy(strip + r * 24 + 8, s + r * 8, 8);
    std::int32_t want[64], fast[64];
    plain_dct(s, want);
    pxv::jpeg_dct(strip + 8, fast, 24);
    ASSERT_EQ(std::memcmp(want, fast, sizeof want), 0) << "trial " << trial;
  }
}

// ---- Writer: header bytes and tables ----

// Runs first in the program: the tables are process-wide and the quality tests replace them.
TEST(JpegWriter, HeaderSegmentsByteForByteWithAnnexKTables) {
  PackedDib d = make_packed_dib(17, 3, 24);
  draw_test_picture(d);
  int rc = 0;
  const Bytes f = save_jpeg(d, &rc);
  ASSERT_EQ(rc, 0);
  const Bytes head{0xFF, 0xD8,                                            // SOI
                   0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 0,        // APP0, JFIF 1.00
                   1, 0, 96, 0, 96, 0, 0,                                 // 96 dpi, no thumbnail
                   0xFF, 0xDB, 0, 132, 0x00};                             // DQT, table 0
  ASSERT_GT(f.size(), 600u);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 25), head);
  // Table K.1 in zig-zag order starts 16 11 12 14 12 10; K.2 starts 17 18 18 24 21 24.
  EXPECT_EQ(Bytes(f.begin() + 25, f.begin() + 31), (Bytes{16, 11, 12, 14, 12, 10}));
  EXPECT_EQ(f[25 + 63], 99);
  EXPECT_EQ(f[89], 0x01);
  EXPECT_EQ(Bytes(f.begin() + 90, f.begin() + 96), (Bytes{17, 18, 18, 24, 21, 24}));
  const Bytes sof{0xFF, 0xC0, 0, 17, 8, 0, 3, 0, 17, 3, 1, 0x21, 0, 2, 0x11, 1, 3, 0x11, 1};
  EXPECT_EQ(Bytes(f.begin() + 154, f.begin() + 173), sof);
  // DHT: DC 0 (K.3), AC 0 (K.5), DC 1 (K.4), AC 1 (K.6).
  std::size_t p = 173;
  const std::pair<int, int> dht[4] = {{0x00, 31}, {0x10, 181}, {0x01, 31}, {0x11, 181}};
  for (auto [id, length] : dht) {
    EXPECT_EQ(f[p], 0xFF);
    EXPECT_EQ(f[p + 1], 0xC4);
    EXPECT_EQ((f[p + 2] << 8) | f[p + 3], length);
    EXPECT_EQ(f[p + 4], id);
    p += 2 + static_cast<std::size_t>(length);
  }
  EXPECT_EQ(Bytes(f.begin() + 178, f.begin() + 194), (Bytes{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(f[206 + 5 + 16 + 161], 0xFA);  // the last AC luminance symbol
  const Bytes sos{0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
  EXPECT_EQ(Bytes(f.begin() + static_cast<std::ptrdiff_t>(p), f.begin() + static_cast<std::ptrdiff_t>(p) + 14), sos);
  EXPECT_EQ(f[f.size() - 2], 0xFF);
  EXPECT_EQ(f[f.size() - 1], 0xD9);
}

TEST(JpegWriter, GrayImageHasOneComponentAndOnlyLuminanceTables) {
  PackedDib d = gray_dib(20, 9);
  draw_test_picture(d);
  const Bytes f = save_jpeg(d);
  ASSERT_FALSE(f.empty());
  const Bytes sof{0xFF, 0xC0, 0, 11, 8, 0, 9, 0, 20, 1, 1, 0x11, 0};
  EXPECT_EQ(Bytes(f.begin() + 154, f.begin() + 167), sof);
  EXPECT_EQ(f[167 + 4], 0x00);
  EXPECT_EQ(f[167 + 33 + 4], 0x10);
  const std::size_t sos = 167 + 33 + 183;
  EXPECT_EQ(Bytes(f.begin() + sos, f.begin() + sos + 10), (Bytes{0xFF, 0xDA, 0, 8, 1, 1, 0x00, 0, 63, 0}));
}

TEST(JpegWriter, OneAndFourBitImagesAreRefused) {
  for (int bits : {1, 4}) {
    PackedDib d = make_packed_dib(16, 16, bits);
    int rc = 0;
    EXPECT_TRUE(save_jpeg(d, &rc).empty());
    EXPECT_EQ(rc, PXV_ERR_TYPE);
  }
}

TEST(JpegWriter, ConstantBlockCodesDcAndEndOfBlockThenFlushesWithZeroBits) {
  IMGLOW_set_comp_quality(0);
  PackedDib d = gray_dib(8, 8);
  std::memset(d.row(0), 128, static_cast<std::size_t>(d.row_bytes()) * 8);
  // Sample 0 everywhere: DC size 0 (code 00), end of block (1010): 001010, padded with 0-bits
  // to one 16-bit unit.
  EXPECT_EQ(entropy_data(save_jpeg(d)), (Bytes{0x28, 0x00}));
}

TEST(JpegWriter, EveryFfInTheEntropyDataIsStuffedIncludingTheFinalFlush) {
  std::mt19937 rng(99);
  int final_ff = 0;
  for (int trial = 0; trial < 400; ++trial) {
    IMGLOW_set_comp_quality(static_cast<int>(rng() % 60));
    PackedDib d = gray_dib(8 + 8 * static_cast<int>(rng() % 2), 8);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < d.width; ++x) d.row(y)[x] = static_cast<std::uint8_t>(rng() % 256);
    const Bytes e = entropy_data(save_jpeg(d));
    ASSERT_GE(e.size(), 2u);
    for (std::size_t i = 0; i < e.size(); ++i)
      if (e[i] == 0xFF) {
        ASSERT_LT(i + 1, e.size());
        ASSERT_EQ(e[i + 1], 0x00);
      }
    // The data ends with the final flush's unit: hi [00] lo [00]. An FF there is stuffed too.
    std::size_t lo = e.size() - 1;
    bool ff = false;
    if (e[lo] == 0x00 && lo >= 1 && e[lo - 1] == 0xFF) {
      ff = true;
      --lo;
    }
    const std::size_t hi = lo - 1;
    if (e[hi] == 0x00 && hi >= 1 && e[hi - 1] == 0xFF) ff = true;
    final_ff += ff;
  }
  EXPECT_GT(final_ff, 0) << "no trial put an FF into the final flush";
}

TEST(JpegWriter, QualityLevelsZeroAndHundredGiveTheDocumentedTables) {
  PackedDib d = gray_dib(8, 8);
  IMGLOW_set_comp_quality(0);
  Bytes f = save_jpeg(d);
  EXPECT_EQ(Bytes(f.begin() + 25, f.begin() + 89), Bytes(64, 1));
  EXPECT_EQ(Bytes(f.begin() + 90, f.begin() + 154), Bytes(64, 1));
  EXPECT_EQ(IMGLOW_set_comp_quality(100), 0);
  f = save_jpeg(d);
  // Zig-zag positions 0, 1, 2 are [0][0], [0][1], [1][0]; the rest are 255 in both tables.
  Bytes level100(64, 255);
  level100[0] = 101, level100[1] = level100[2] = 201;
  EXPECT_EQ(Bytes(f.begin() + 25, f.begin() + 89), level100);
  EXPECT_EQ(Bytes(f.begin() + 90, f.begin() + 154), level100);
  // Levels above 100 are 100; level 10: luma 11 .. 151, chroma 21 .. 255.
  IMGLOW_set_comp_quality(1000);
  EXPECT_EQ(save_jpeg(d), f);
  IMGLOW_set_comp_quality(10);
  f = save_jpeg(d);
  EXPECT_EQ((Bytes{f[25], f[25 + 63], f[90], f[90 + 63]}), (Bytes{11, 151, 21, 255}));
  // A negative level is taken as 0.
  IMGLOW_set_comp_quality(-5);
  f = save_jpeg(d);
  EXPECT_EQ(f[25 + 63], 1);
}

TEST(JpegWriter, PaletteImageWithOneColouredEntryIsExpandedThroughThePalette) {
  IMGLOW_set_comp_quality(0);
  PackedDib d = gray_dib(16, 8);
  d.bytes[40 + 4 * 200 + 2] = 255;  // entry 200: blue 200, green 200, red 255
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) d.row(y)[x] = x < 8 ? 200 : 30;
  const Bytes f = save_jpeg(d);
  EXPECT_EQ(f[154 + 9], 3);  // three components
  const Decoded back = decode_jpeg(f);
  ASSERT_EQ(back.result, 0);
  ASSERT_EQ(back.bits, 24);
  std::uint8_t left[3], right[3];
  back.pixel(2, 3, left);
  back.pixel(13, 3, right);
  EXPECT_NEAR(left[2], 255, 12);
  EXPECT_NEAR(left[0], 200, 12);
  EXPECT_NEAR(right[0], 30, 12);
  EXPECT_NEAR(right[2], 30, 12);
}

TEST(JpegWriter, FlatColoursRoundTripThroughTheLibrarysOwnArithmetic) {
  // A flat 16 x 8 image at level 0: one DC term per block, no rounding by quantisation, so the
  // decoded pixel is exactly the forward colour transform, both transforms and the decoder's
  // colour constants applied in turn.
  IMGLOW_set_comp_quality(0);
  auto clamp = [](int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; };
  auto through_blocks = [&](int sample) {
    std::int8_t s[64];
    std::memset(s, sample, 64);
    std::int32_t c[64];
    plain_dct(s, c);
    std::int16_t x[64] = {};
    for (int i = 0; i < 64; ++i) x[i] = static_cast<std::int16_t>(c[i]);
    std::int8_t out[64];
    plain_idct(x, out);
    return static_cast<int>(out[0]);
  };
  const int colours[][3] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {12, 200, 99}, {250, 128, 3}};
  for (const auto &bgr : colours) {
    PackedDib d = make_packed_dib(16, 8, 24);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x)
        for (int i = 0; i < 3; ++i) d.row(y)[3 * x + i] = static_cast<std::uint8_t>(bgr[i]);
    const Decoded back = decode_jpeg(save_jpeg(d));
    ASSERT_EQ(back.result, 0);
    const int b = bgr[0], g = bgr[1], r = bgr[2];
    const int y = through_blocks(clamp(((299 * r) >> 10) + ((587 * g) >> 10) + ((114 * b) >> 10) - 128, -127, 127)) + 128;
    const int u = through_blocks(clamp(((-148 * r) >> 10) + ((-289 * g) >> 10) + ((437 * b) >> 10), -127, 127));
    const int v = through_blocks(clamp(((615 * r) >> 10) + ((-515 * g) >> 10) + ((-100 * b) >> 10), -127, 127));
    const int want[3] = {clamp(y + ((1984 * u) >> 10), 0, 255),
                         clamp(y - ((386 * u) >> 10) - ((567 * v) >> 10), 0, 255),
                         clamp(y + ((1113 * v) >> 10), 0, 255)};
    for (int py : {0, 7})
      for (int px : {0, 9, 15}) {
        std::uint8_t got[3];
        back.pixel(px, py, got);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i], want[i]) << b << "," << g << "," << r << " channel " << i;
      }
  }
}

// ---- Reader ----

namespace {

// A one-component 8 x 8 (or wider) file with the given tables and entropy-coded bytes.
Bytes hand_built_gray(int width, std::uint8_t q, const std::vector<int> &dc_counts, const Bytes &dc_symbols,
                      const std::vector<int> &ac_counts, const Bytes &ac_symbols, const Bytes &entropy) {
  JpegBuilder b;
  b.dqt(0, q);
  b.sof(width, 8, {0x11});
  b.dht(0x00, dc_counts, dc_symbols);
  b.dht(0x10, ac_counts, ac_symbols);
  b.sos(1);
  b.data(entropy);
  b.eoi();
  return b.bytes;
}

}  // namespace

TEST(JpegReader, RunPastPosition63WritesAtPosition63) {
  // DC: one code "0" for size 0. AC: "0" = run 15 size 1. Four such symbols with value bit 1
  // put +1 at zig-zag positions 16, 32, 48 and (clamped) 63, which ends the block.
  const Bytes f = hand_built_gray(8, 1, {1}, {0x00}, {1}, {0xF1}, {0x2A, 0x80});
  const Decoded d = decode_jpeg(f);
  ASSERT_EQ(d.result, 0);
  std::int16_t x[64] = {};
  for (int k : {16, 32, 48, 63}) x[pxv::zig_zag[k]] = 1;
  std::int8_t want[64];
  plain_idct(x, want);
  for (int y = 0; y < 8; ++y)
    for (int i = 0; i < 8; ++i) EXPECT_EQ(d.rows[y][i], want[y * 8 + i] + 128) << y << "," << i;
}

TEST(JpegReader, UnmatchedCodeIsSymbolZeroAfterReadingEveryCodedLength) {
  // DC: "0" size 0, "1" size 1. AC: only "00" (end of block). Block 1: DC "0", AC "11" matches
  // nothing: two bits read, symbol 0 ends the block. Block 2: DC "1" + "1" (+1), AC "00".
  const Bytes f = hand_built_gray(16, 64, {2}, {0x00, 0x01}, {0, 1}, {0x00}, {0x78, 0x00});
  const Decoded d = decode_jpeg(f);
  ASSERT_EQ(d.result, 0);
  // DC 64: (64 * 11585 + 16384) >> 15 = 23, (23 * 11585 + 16384) >> 15 = 8.
  for (int y = 0; y < 8; ++y) {
    EXPECT_EQ(d.rows[y][0], 128);
    EXPECT_EQ(d.rows[y][15], 136);
  }
}

TEST(JpegReader, BlackDecodesToOneAndRowsAreDeliveredOnceEach) {
  IMGLOW_set_comp_quality(0);
  PackedDib black = gray_dib(13, 11);
  const Decoded d = decode_jpeg(save_jpeg(black));
  ASSERT_EQ(d.result, 0);
  ASSERT_EQ(d.bits, 8);
  EXPECT_EQ(d.height, 11);
  for (int y = 0; y < 11; ++y) {
    EXPECT_EQ(d.deliveries[y], 1);
    EXPECT_EQ(d.rows[y].size(), 16u);
    for (int x = 0; x < 13; ++x) EXPECT_EQ(d.rows[y][x], 1);
  }
  EXPECT_EQ(Bytes(&d.header[40 + 4 * 77], &d.header[44 + 4 * 77]), (Bytes{77, 77, 77, 0})) << "gray table";
}

TEST(JpegReader, GarbageBeforeStartOfImageIsSkippedAndAMissingOneRefused) {
  PackedDib d = gray_dib(8, 8);
  draw_test_picture(d);
  const Bytes good = save_jpeg(d);
  Bytes prefixed{'j', 'u', 'n', 'k', 0xFF, 0x00, 0xFF};
  prefixed.insert(prefixed.end(), good.begin(), good.end());
  const Decoded a = decode_jpeg(good), b = decode_jpeg(prefixed);
  ASSERT_EQ(b.result, 0);
  EXPECT_EQ(a.rows, b.rows);
  // The position word's offset is where the search starts.
  EXPECT_EQ(decode_jpeg(prefixed, 4).result, 0);
  // No FF D8 at all: refused at the end of the data, and on the memory stream without a known
  // end, after a bounded search that stays inside these 70000 bytes.
  EXPECT_EQ(decode_jpeg(Bytes(100, 0xFF)).result, PXV_ERR_DATA);
  EXPECT_EQ(decode_jpeg(Bytes(70000, 0x00), 0, false).result, PXV_ERR_DATA);
}

TEST(JpegReader, SegmentsThatRunOutOrNeverEndAreRefused) {
  PackedDib d = gray_dib(8, 8);
  const Bytes good = save_jpeg(d);
  // Cut inside the headers: the next marker cannot be read.
  for (std::size_t cut : {2u, 5u, 100u, 300u})
    EXPECT_EQ(decode_jpeg(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut))).result, PXV_ERR_DATA) << cut;
  // An endless chain of empty comment segments on the memory stream without a known end.
  Bytes chain{0xFF, 0xD8};
  for (int i = 0; i < 5000; ++i) chain.insert(chain.end(), {0xFF, 0xFE, 0x00, 0x02});
  EXPECT_EQ(decode_jpeg(chain, 0, false).result, PXV_ERR_DATA);
}

TEST(JpegReader, FramesTheDecoderDoesNotCoverAreRefused) {
  auto file = [](auto &&frame) {
    JpegBuilder b;
    b.dqt(0, 1);
    b.dqt(1, 1);
    frame(b);
    b.dht(0x00, {1}, {0x00});
    b.dht(0x10, {1}, {0x00});
    b.dht(0x01, {1}, {0x00});
    b.dht(0x11, {1}, {0x00});
    return b;
  };
  auto finish = [](JpegBuilder b, int components) {
    b.sos(components);
    b.data(Bytes(64, 0x00));
    b.eoi();
    return decode_jpeg(b.bytes).result;
  };
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x22, 0x11, 0x11}); }), 3), 0);
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x11}, 0xC1); }), 1), 0);  // SOF1, 8 bits
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x22, 0x11, 0x11}, 0xC2); }), 3), PXV_ERR_DATA);
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x11}, 0xC0, 12); }), 1), PXV_ERR_DATA);
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x11, 0x11}); }), 2), PXV_ERR_DATA);
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x11, 0x11, 0x11, 0x11}); }), 4), PXV_ERR_DATA);
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x22, 0x21, 0x11}); }), 3), PXV_ERR_DATA);
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x31, 0x11, 0x11}); }), 3), PXV_ERR_DATA);
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(40000, 16, {0x11}); }), 1), PXV_ERR_DATA);
  // A scan of one component in a three-component frame (a multi-scan file).
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x11, 0x11, 0x11}); }), 1), PXV_ERR_DATA);
  // No frame header at all.
  EXPECT_EQ(finish(file([](JpegBuilder &) {}), 1), PXV_ERR_DATA);
  // A one-component frame declaring 2 x 2 is decoded one block per MCU: 4 blocks for 16 x 16.
  EXPECT_EQ(finish(file([](JpegBuilder &b) { b.sof(16, 16, {0x22}); }), 1), 0);
}

TEST(JpegReader, TablesTheDecoderCannotHoldAreRefused) {
  auto with = [](const Bytes &segment) {
    JpegBuilder b;
    b.bytes.insert(b.bytes.end(), segment.begin(), segment.end());
    b.sof(8, 8, {0x11});
    b.sos(1);
    b.eoi();
    return decode_jpeg(b.bytes).result;
  };
  Bytes dqt{0xFF, 0xDB, 0, 67, 0x20};  // precision 2
  dqt.resize(69, 1);
  EXPECT_EQ(with(dqt), PXV_ERR_DATA);
  dqt[4] = 0x04;  // identifier 4
  EXPECT_EQ(with(dqt), PXV_ERR_DATA);
  Bytes dqt16{0xFF, 0xDB, 0, 131, 0x10};  // precision 1: 16-bit entries, accepted
  dqt16.resize(133, 0);
  EXPECT_NE(with(dqt16), PXV_ERR_DATA);
  Bytes dht{0xFF, 0xC4, 0, 19, 0x02};  // class 0, identifier 2
  dht.resize(21, 0);
  EXPECT_EQ(with(dht), PXV_ERR_DATA);
  Bytes big{0xFF, 0xC4, 0x01, 0xA3, 0x10};  // 16 x 26 = 416 symbols
  for (int i = 0; i < 16; ++i) big.push_back(26);
  big.resize(4 + 0x1A3 - 2 + 2, 0);
  EXPECT_EQ(with(big), PXV_ERR_DATA);
}

TEST(JpegReader, UnboundedMemoryReadStopsAtEoiAndTruncatedDataDeliversEveryRow) {
  IMGLOW_set_comp_quality(0);
  PackedDib d = make_packed_dib(40, 30, 24);
  draw_test_picture(d);
  Bytes f = save_jpeg(d);
  ASSERT_GT(f.size(), 1000u);
  // The vector holds exactly the file: a read past FF D9 would leave it (and the sanitizer
  // would say so). The result equals the bounded read.
  const Decoded a = decode_jpeg(f), b = decode_jpeg(f, 0, false);
  ASSERT_EQ(b.result, 0);
  EXPECT_EQ(a.rows, b.rows);
  f.resize(f.size() - 200);  // no EOI, half the scan gone
  const Decoded cut = decode_jpeg(f);
  ASSERT_EQ(cut.result, 0);
  for (int c : cut.deliveries) EXPECT_EQ(c, 1);
}

TEST(JpegReader, ComponentIdentifiersAndAdobeSegmentsDoNotChangeTheDecode) {
  // Three components are always taken as the library's YCbCr in frame order: the identifiers,
  // the scan's selectors and an Adobe segment saying "no transform" are not interpreted.
  PackedDib d = make_packed_dib(24, 16, 24);
  draw_test_picture(d);
  const Bytes f = save_jpeg(d);
  const std::size_t frame_ids = 164, scan_selectors = 610;
  ASSERT_EQ(f[frame_ids - 10 + 1], 0xC0);
  ASSERT_EQ(f[scan_selectors - 5 + 1], 0xDA);
  const Decoded plain = decode_jpeg(f);
  ASSERT_EQ(plain.result, 0);

  Bytes rgb = f;
  for (int i = 0; i < 3; ++i) {
    rgb[frame_ids + 3 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>("RGB"[i]);
    rgb[scan_selectors + 2 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>("RGB"[i]);
  }
  Bytes adobe = f;
  const Bytes app14{0xFF, 0xEE, 0, 14, 'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 0};
  adobe.insert(adobe.begin() + 2, app14.begin(), app14.end());

  for (const Bytes *variant : {&rgb, &adobe}) {
    const Decoded v = decode_jpeg(*variant);
    ASSERT_EQ(v.result, 0);
    EXPECT_EQ(v.rows, plain.rows);
  }
}

TEST(JpegReader, ZeroDimensionsAreReportedNotRefused) {
  // A frame of height 0 (the height would follow in a DNL segment) or width 0 is reported to the
  // header callback as it stands; with height 0 no row is delivered.
  auto gray = [](int width, int height) {
    JpegBuilder b;
    b.dqt(0, 1);
    b.sof(width, height, {0x11});
    b.dht(0x00, {1}, {0x00});
    b.dht(0x10, {1}, {0x00});
    b.sos(1);
    b.data(Bytes(8, 0x00));
    b.eoi();
    return decode_jpeg(b.bytes);
  };
  const Decoded flat = gray(16, 0), thin = gray(0, 8);
  EXPECT_EQ(flat.result, 0);
  EXPECT_TRUE(flat.rows.empty());
  EXPECT_NE(thin.result, PXV_ERR_DATA);
  ASSERT_EQ(thin.header.size(), 1064u);
  EXPECT_EQ((std::vector<int>{flat.width, flat.height, thin.width, thin.height}), (std::vector<int>{16, 0, 0, 8}));
}

TEST(JpegWriter, RowsBelowTheImageRepeatThePreviousMcuRowsContent) {
  // A 12-row image ends inside its second MCU row: buffer rows 4 to 7 keep image rows 4 to 7, so
  // the scan equals that of a 16-row image whose rows 12 to 15 repeat rows 4 to 7.
  IMGLOW_set_comp_quality(5);
  PackedDib short_one = make_packed_dib(24, 12, 24), tall = make_packed_dib(24, 16, 24);
  draw_test_picture(short_one);
  auto top = [](PackedDib &d, int y) { return d.row(d.height - 1 - y); };
  const auto bytes = static_cast<std::size_t>(short_one.row_bytes());
  for (int y = 0; y < 16; ++y) std::memcpy(top(tall, y), top(short_one, y < 12 ? y : y - 8), bytes);
  const Bytes a = save_jpeg(short_one), b = save_jpeg(tall);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(entropy_data(a), entropy_data(b));
}
