// The JPEG kernels against a plain transcription of their arithmetic, the writer's exact bytes,
// and the reader's policy on bit-level edge cases and on files it does not cover.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <random>

#include "formats/jpeg_common.h"
#include "formats/jpeg_decode.h"
#include "formats/jpeg_encode.h"
#include "support/jpeg_support.h"

using namespace pxv_test;

namespace {

// ---- The plain arithmetic, transcribed from the codec's description ----

std::int16_t cosine(int x, int u) {
  static std::int16_t t[64];
  static const bool ready = (pxv::jpeg_cosine_table(t), true);
  (void)ready;
  return t[x * 8 + u];
}

// Inverse: rows then columns, 32-bit wrapping sums, the first pass kept as 16 bits, output
// limited to -127..127.
void plain_idct(const std::int16_t *x, std::int8_t *out) {
  std::int16_t temp[64];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t sum = 16384;
    for (int u = 0; u < 8; ++u) sum += std::uint32_t(x[i / 8 * 8 + u] * cosine(i % 8, u));
    temp[i] = std::int16_t(std::int32_t(sum) >> 15);
  }
  for (int i = 0; i < 64; ++i) {
    std::uint32_t sum = 16384;
    for (int u = 0; u < 8; ++u) sum += std::uint32_t(temp[u * 8 + i % 8] * cosine(i / 8, u));
    const std::int32_t s = std::int32_t(sum) >> 15;
    out[i] = std::int8_t(s < -127 ? -127 : s > 127 ? 127 : s);
  }
}

// Forward: the table with rows and columns exchanged, F[u][x] = A[x][u].
void plain_dct(const std::int8_t *s, std::int32_t *out) {
  std::int32_t temp[64];
  for (int i = 0; i < 64; ++i) {
    std::int32_t sum = 0;
    for (int x = 0; x < 8; ++x) sum += s[i / 8 * 8 + x] * cosine(x, i % 8);
    temp[i] = (sum + 16384) >> 15;
  }
  for (int i = 0; i < 64; ++i) {
    std::int32_t sum = 0;
    for (int y = 0; y < 8; ++y) sum += cosine(y, i / 8) * temp[y * 8 + i % 8];
    out[i] = (sum + 16384) >> 15;
  }
}

// A hand-built JPEG: the caller appends segments, then the entropy-coded bytes and EOI.
struct JpegBuilder {
  Bytes bytes{0xFF, 0xD8};
  void segment(std::uint8_t marker, const Bytes &body) {  // FF marker, length, body
    bytes.insert(bytes.end(), {0xFF, marker, std::uint8_t((body.size() + 2) >> 8), std::uint8_t(body.size() + 2)});
    bytes.insert(bytes.end(), body.begin(), body.end());
  }
  void dqt(int id, std::uint8_t value) {  // an 8-bit table of one value
    Bytes body(65, value);
    body[0] = std::uint8_t(id);
    segment(0xDB, body);
  }
  // SOF0 with one (id 1, sampling, table 0) or more components (tables 1).
  void sof(int width, int height, const std::vector<std::uint8_t> &samplings) {
    Bytes body{8, std::uint8_t(height >> 8), std::uint8_t(height), std::uint8_t(width >> 8), std::uint8_t(width),
               std::uint8_t(samplings.size())};
    for (std::size_t i = 0; i < samplings.size(); ++i)
      body.insert(body.end(), {std::uint8_t(i + 1), samplings[i], std::uint8_t(i == 0 ? 0 : 1)});
    segment(0xC0, body);
  }
  void dht(std::uint8_t class_id, std::vector<int> counts, const Bytes &symbols) {
    counts.resize(16);
    Bytes body{class_id};
    for (int n : counts) body.push_back(std::uint8_t(n));
    body.insert(body.end(), symbols.begin(), symbols.end());
    segment(0xC4, body);
  }
  void sos(int components) {  // selectors 1.., tables 00 / 11 / 11, Ss 0, Se 63, A 0
    Bytes body{std::uint8_t(components)};
    for (int i = 0; i < components; ++i) body.insert(body.end(), {std::uint8_t(i + 1), std::uint8_t(i == 0 ? 0x00 : 0x11)});
    body.insert(body.end(), {0, 63, 0});
    segment(0xDA, body);
  }
  const Bytes &end(const Bytes &entropy = {}) {
    bytes.insert(bytes.end(), entropy.begin(), entropy.end());
    bytes.insert(bytes.end(), {0xFF, 0xD9});
    return bytes;
  }
};

// A one-component file with the given tables and entropy-coded bytes.
Bytes hand_built_gray(int width, int height, std::uint8_t q, const std::vector<int> &dc_counts, const Bytes &dc_symbols,
                      const std::vector<int> &ac_counts, const Bytes &ac_symbols, const Bytes &entropy) {
  JpegBuilder b;
  b.dqt(0, q);
  b.sof(width, height, {0x11});
  b.dht(0x00, dc_counts, dc_symbols);
  b.dht(0x10, ac_counts, ac_symbols);
  b.sos(1);
  return b.end(entropy);
}

}  // namespace

TEST(JpegTransform, FastTransformsMatchPlainOnRandomBlocks) {
  std::mt19937 rng(12345);
  for (int trial = 0; trial < 20000; ++trial) {
    // Inverse: DC only (any value), every coefficient (wrapping sums), the first row, or a few.
    alignas(16) std::int16_t x[64] = {};
    const int kind = trial % 5;
    if (kind == 0) x[0] = std::int16_t(rng());
    for (int i = 0; kind == 1 && i < 64; ++i) x[i] = std::int16_t(rng());
    for (int i = 0; kind == 2 && i < 8; ++i) x[i] = std::int16_t(int(rng() % 2001) - 1000);
    for (int i = 0, n = 1 + int(rng() % 12); kind > 2 && i < n; ++i)
      x[rng() % 64] = std::int16_t(int(rng() % 4001) - 2000);
    unsigned rows = 0;
    for (int i = 0; i < 64; ++i) rows |= x[i] != 0 ? 1u << (i / 8) : 0;
    std::int8_t want[64], fast[64], all_rows[64];
    plain_idct(x, want);
    pxv::jpeg_idct_rows(x, rows, fast, 8);
    pxv::jpeg_idct(x, all_rows, 8);
    ASSERT_TRUE(std::memcmp(want, fast, 64) == 0 && std::memcmp(want, all_rows, 64) == 0) << "trial " << trial;
    // Forward: random samples, a checkerboard of the extremes, or the full byte range; in a
    // strip whose row stride is wider than the block, as the writer uses.
    std::int8_t s[64], strip[8 * 24] = {};
    for (int i = 0; i < 64; ++i)
      s[i] = std::int8_t(trial % 3 == 0 ? int(rng() % 255) - 127 : trial % 3 == 1 ? ((i + i / 8) % 2 ? 127 : -127)
                                                                                  : int(rng() % 256) - 128);
    for (int r = 0; r < 8; ++r) std::memcpy(strip + r * 24 + 8, s + r * 8, 8);
    std::int32_t want_f[64], fast_f[64];
    plain_dct(s, want_f);
    pxv::jpeg_dct(strip + 8, fast_f, 24);
    ASSERT_EQ(std::memcmp(want_f, fast_f, sizeof want_f), 0) << "trial " << trial;
  }
}

TEST(JpegTransform, ColourConversionMatchesPlainOnRandomRows) {
  std::mt19937 rng(777);
  auto clamp = [](int v) { return std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
  for (int trial = 0; trial < 600; ++trial) {
    const int width = 1 + int(rng() % 70), shift = trial % 3;
    // Every sample byte, -128 included (the transform never gives it, a kernel must not care).
    std::vector<std::int8_t> luma(width + pxv::kRowSlack), cb(luma.size()), cr(luma.size());
    for (auto *v : {&luma, &cb, &cr})
      for (auto &b : *v) b = std::int8_t(rng());
    Bytes out(3 * width + pxv::kRowSlack), gray(width + pxv::kRowSlack);
    pxv::jpeg_convert_row(out.data(), luma.data(), cb.data(), cr.data(), width, shift);
    pxv::jpeg_convert_row(gray.data(), luma.data(), nullptr, nullptr, width, 0);
    for (int i = 0; i < width; ++i) {
      const int y = luma[i] + 128, b = cb[i >> shift], r = cr[i >> shift];
      const Bytes want{clamp(y + (1984 * b >> 10)), clamp(y - (386 * b >> 10) - (567 * r >> 10)), clamp(y + (1113 * r >> 10))};
      ASSERT_EQ(part(out, 3 * std::size_t(i), 3), want) << "trial " << trial << ", pixel " << i;
      ASSERT_EQ(gray[i], std::uint8_t(y)) << "trial " << trial << ", pixel " << i;
    }
  }
}

// The Huffman decoding, bit reader and block loop against the documented steps on random
// tables (over-full and sparse ones among them) and random entropy-coded bytes: codes length by
// length, an unmatched code read through every coded length as symbol 0, runs clamped at 63,
// FF 00 unstuffed, FF with another byte kept as data, 0-bits past EOI.
TEST(JpegTransform, HuffmanDecodingMatchesPlainOnRandomTablesAndData) {
  std::mt19937 rng(4242);
  for (int trial = 0; trial < 300; ++trial) {
    auto random_table = [&](std::vector<int> &counts, Bytes &symbols) {
      counts.assign(16, 0);
      for (int n = 1 + int(rng() % 40); n > 0; --n) ++counts[rng() % (trial % 2 ? 16 : 9)];
      for (int c : counts) symbols.resize(symbols.size() + std::size_t(c));
      for (auto &s : symbols) s = std::uint8_t(rng() % 3 == 0 ? rng() & 0x0F : rng());
    };
    std::vector<int> dc_counts, ac_counts;
    Bytes dc_symbols, ac_symbols, entropy(16 + rng() % 400);
    random_table(dc_counts, dc_symbols);
    random_table(ac_counts, ac_symbols);
    for (std::size_t i = 0; i < entropy.size(); ++i) {
      entropy[i] = std::uint8_t(rng() % 4 == 0 ? 0xFF : rng());
      if (i > 0 && entropy[i - 1] == 0xFF && entropy[i] == 0xD9) entropy[i] = 0;  // no EOI inside
    }
    const int width = 8 * (1 + int(rng() % 6)), height = 8 * (1 + int(rng() % 3));
    const std::uint8_t q = std::uint8_t(1 + rng() % 255);
    const Capture got =
        decode_jpeg(hand_built_gray(width, height, q, dc_counts, dc_symbols, ac_counts, ac_symbols, entropy));
    ASSERT_EQ(got.result, 0);
    // The plain decoder.
    Bytes data;
    for (std::size_t i = 0; i < entropy.size(); ++i) {
      data.push_back(entropy[i]);
      if (entropy[i] == 0xFF && i + 1 < entropy.size() && entropy[i + 1] == 0x00) ++i;
    }
    data.insert(data.end(), {0xFF, 0xD9});
    std::size_t bit = 0;
    auto get = [&](int n) {
      std::uint32_t v = 0;
      for (int i = 0; i < n; ++i, ++bit) v = v << 1 | (bit / 8 < data.size() ? data[bit / 8] >> (7 - bit % 8) & 1 : 0);
      return v;
    };
    auto decode = [&](const std::vector<int> &counts, const Bytes &symbols, int *run) {
      std::uint32_t code = 0;
      int first = 0, last = 0, symbol = 0;
      for (int l = 1; l <= 16; ++l) {
        if (counts[l - 1] == 0) continue;
        code = code << (l - last) | get(l - last);
        if (code < std::uint32_t(counts[l - 1])) {
          symbol = symbols[std::size_t(first) + code];
          break;
        }
        code -= std::uint32_t(counts[l - 1]), first += counts[l - 1], last = l;
      }
      const int s = symbol & 15;
      const std::uint32_t b = get(s);
      *run = symbol >> 4;
      return s == 0 ? 0 : (b >> (s - 1)) ? int(b) : int(b) + 1 - (1 << s);
    };
    std::int16_t pred = 0;
    for (int block = 0; block < width / 8 * (height / 8); ++block) {
      std::int16_t x[64] = {};
      int run = 0;
      pred = std::int16_t(pred + decode(dc_counts, dc_symbols, &run));
      x[0] = std::int16_t(pred * q);
      for (int k = 1; k < 64; ++k) {
        const int value = decode(ac_counts, ac_symbols, &run);
        if (run == 0 && value == 0) break;
        k = std::min(k + run, 63);
        x[pxv::zig_zag[k]] = std::int16_t(q * value);
      }
      std::int8_t want[64];
      plain_idct(x, want);
      for (int i = 0; i < 64; ++i)
        ASSERT_EQ(got.rows[std::size_t(block / (width / 8) * 8 + i / 8)][std::size_t(block % (width / 8) * 8 + i % 8)],
                  std::uint8_t(want[i] + 128))
            << "trial " << trial << ", block " << block << ", sample " << i;
    }
  }
}

// ---- Writer ----

// Runs first in the program: the tables are process-wide and the quality tests replace them.
TEST(JpegWriter, HeaderSegmentsByteForByteWithAnnexKTables) {
  PackedDib d = make_packed_dib(17, 3, 24);
  draw_test_picture(d);
  const Bytes f = save_jpeg(d);
  ASSERT_GT(f.size(), 600u);
  EXPECT_EQ(part(f, 0, 25), (Bytes{0xFF, 0xD8,                                      // SOI
                                  0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 0,  // APP0, JFIF 1.00
                                  1, 0, 96, 0, 96, 0, 0,                           // 96 dpi, no thumbnail
                                  0xFF, 0xDB, 0, 132, 0x00}));                     // DQT, table 0
  // Table K.1 in zig-zag order starts 16 11 12 14 12 10 and ends 99; K.2 starts 17 18 18 24 21 24.
  EXPECT_TRUE(part(f, 25, 6) == (Bytes{16, 11, 12, 14, 12, 10}) && f[25 + 63] == 99 && part(f, 89, 7) == (Bytes{0x01, 17, 18, 18, 24, 21, 24}));
  EXPECT_EQ(part(f, 154, 19), (Bytes{0xFF, 0xC0, 0, 17, 8, 0, 3, 0, 17, 3, 1, 0x21, 0, 2, 0x11, 1, 3, 0x11, 1}));
  // DHT: DC 0 (K.3), AC 0 (K.5), DC 1 (K.4), AC 1 (K.6); then SOS and, at the end, EOI.
  std::size_t p = 173;
  for (auto [id, length] : {std::pair{0x00, 31}, {0x10, 181}, {0x01, 31}, {0x11, 181}}) {
    EXPECT_EQ(part(f, p, 5), (Bytes{0xFF, 0xC4, 0, std::uint8_t(length), std::uint8_t(id)}));
    p += 2 + std::size_t(length);
  }
  EXPECT_EQ(part(f, 178, 16), (Bytes{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(f[206 + 5 + 16 + 161], 0xFA);  // the last AC luminance symbol
  EXPECT_TRUE(part(f, p, 14) == (Bytes{0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0}) && part(f, f.size() - 2, 2) == (Bytes{0xFF, 0xD9}));
  // Gray: one component and only the luminance tables.
  PackedDib g = gray_dib(20, 9);
  draw_test_picture(g);
  const Bytes gray = save_jpeg(g);
  ASSERT_FALSE(gray.empty());
  EXPECT_EQ(part(gray, 154, 13), (Bytes{0xFF, 0xC0, 0, 11, 8, 0, 9, 0, 20, 1, 1, 0x11, 0}));
  EXPECT_EQ((Bytes{gray[167 + 4], gray[167 + 33 + 4]}), (Bytes{0x00, 0x10}));
  EXPECT_EQ(part(gray, 167 + 33 + 183, 10), (Bytes{0xFF, 0xDA, 0, 8, 1, 1, 0x00, 0, 63, 0}));
}

TEST(JpegWriter, QualityLevelsGiveTheDocumentedTables) {
  PackedDib d = gray_dib(8, 8);
  auto tables = [&](int level) {
    IMGLOW_set_comp_quality(level);
    const Bytes f = save_jpeg(d);
    return std::pair{part(f, 25, 64), part(f, 90, 64)};
  };
  EXPECT_EQ(tables(0), std::pair(Bytes(64, 1), Bytes(64, 1)));
  // Zig-zag positions 0, 1, 2 are [0][0], [0][1], [1][0]; the rest are 255 in both tables.
  Bytes level100(64, 255);
  level100[0] = 101, level100[1] = level100[2] = 201;
  EXPECT_EQ(tables(100), std::pair(level100, level100));
  EXPECT_EQ(tables(1000), std::pair(level100, level100)) << "levels above 100 are 100";
  const auto ten = tables(10);  // luma 11 .. 151, chroma 21 .. 255
  EXPECT_EQ((Bytes{ten.first[0], ten.first[63], ten.second[0], ten.second[63]}), (Bytes{11, 151, 21, 255}));
  EXPECT_EQ(tables(-5).first[63], 1) << "a negative level is taken as 0";
}

// The writer's kernels against their arithmetic written out plainly: the colour transform with
// its clamps, the transform with truncating division, and block coding through a bit writer that
// leaves in 16-bit units with 0xFF stuffing.
TEST(JpegWriter, FastKernelsMatchPlainArithmetic) {
  std::mt19937 rng(99);
  auto clamp127 = [](int s) { return std::int8_t(s < -127 ? -127 : s > 127 ? 127 : s); };
  for (int trial = 0; trial < 200; ++trial) {  // rows of 48 pixels: random, or 0 and 255 only
    std::uint8_t bgr[48 * 3];
    for (auto &b : bgr) b = std::uint8_t(trial % 2 ? rng() : rng() % 2 * 255);
    std::int8_t y[48], u[24], v[24], gray[40];
    pxv::jpeg_colour_row(bgr, y, u, v, 48);
    pxv::jpeg_gray_row(bgr, gray, 40);
    for (int i = 0; i < 48; ++i) {
      const int b = bgr[3 * i], g = bgr[3 * i + 1], r = bgr[3 * i + 2];
      ASSERT_EQ(y[i], clamp127(((299 * r) >> 10) + ((587 * g) >> 10) + ((114 * b) >> 10) - 128)) << i;
      if (i < 40) {
        ASSERT_EQ(gray[i], clamp127(bgr[i] - 128)) << i;
      }
      if (i % 2) continue;
      ASSERT_EQ(u[i / 2], clamp127(((-148 * r) >> 10) + ((-289 * g) >> 10) + ((437 * b) >> 10))) << i;
      ASSERT_EQ(v[i / 2], clamp127(((615 * r) >> 10) + ((-515 * g) >> 10) + ((-100 * b) >> 10))) << i;
    }
  }
  for (int trial = 0; trial < 3000; ++trial) {  // blocks as in the transform test; tables 1 .. 255
    std::int8_t s[64];
    for (int i = 0; i < 64; ++i)
      s[i] = std::int8_t(trial % 3 == 0 ? int(rng() % 255) - 127 : trial % 3 == 1 ? ((i + i / 8) % 2 ? 127 : -127) : int(rng()));
    std::uint8_t table[64];
    for (auto &t : table) t = std::uint8_t(trial % 4 == 0 ? 1 : trial % 4 == 1 ? 255 : 1 + rng() % 255);
    pxv::jpeg_quantiser q;
    pxv::jpeg_quantiser_init(q, table);
    std::int32_t dct[64];
    std::int16_t fast[64];
    plain_dct(s, dct);
    pxv::jpeg_dct_quantise(s, 8, q, fast);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(fast[i], dct[i] / table[i]) << "trial " << trial << " at " << i;
  }
  for (int trial = 0; trial < 300; ++trial) {
    // Random code tables (some symbols without a code; every code all ones in some, to stuff
    // often) and blocks from empty to full, values up to 12 bits, long zero runs.
    pxv::jpeg_huff_code dc[16], ac[256];
    for (auto *t : {dc, ac})
      for (int i = 0, length; i < (t == dc ? 16 : 256); ++i)
        length = int(rng() % 17), t[i] = {std::uint8_t(length), std::uint16_t((trial % 3 ? rng() : ~0u) % (1u << length))};
    std::string bits;  // the plain coder's output, one character a bit
    auto encode = [&](int run, int value, const pxv::jpeg_huff_code *t) {
      const int size = value == 0 ? 0 : 32 - __builtin_clz(unsigned(std::abs(value)));
      const pxv::jpeg_huff_code c = t[(run * 16 + size) & 0xFF];
      for (int i = c.length - 1; i >= 0; --i) bits += char('0' + (c.code >> i & 1));
      for (int i = size - 1; i >= 0; --i) bits += char('0' + ((value < 0 ? value - 1 : value) >> i & 1));
    };
    std::vector<std::uint8_t> want, fast(64 * 64 * 8);
    pxv::jpeg_bit_writer out{fast.data(), 0, 0, 0};
    std::int16_t pred = 0, plain_pred = 0;
    for (int n = 0; n < 64; ++n) {
      alignas(16) std::int16_t block[64] = {};
      for (int i = 0, count = n == 0 ? 0 : n == 1 ? 64 : int(rng() % 12); i < count; ++i)
        block[n == 1 ? i : rng() % 64] = std::int16_t((int(rng() % 4095) - 2047) >> rng() % 11);
      block[63] = n % 5 == 0;
      pxv::jpeg_code_block(out, pred, block, dc, ac);
      encode(0, block[0] - plain_pred, dc);
      plain_pred = block[0];
      int last = 63, run = 0;
      while (last > 0 && block[pxv::zig_zag[last]] == 0) --last;
      for (int k = 1; k <= last; ++k) {
        const int value = block[pxv::zig_zag[k]];
        if (value == 0 && run < 15)
          ++run;
        else
          encode(run, value, ac), run = 0;
      }
      if (last < 63) encode(0, 0, ac);
    }
    pxv::jpeg_flush_bits(out);
    bits.resize((bits.size() + 15) / 16 * 16, '0');  // whole 16-bit units, padded with 0-bits
    for (std::size_t i = 0; i < bits.size(); i += 8) {
      want.push_back(std::uint8_t(std::stoi(bits.substr(i, 8), nullptr, 2)));
      if (want.back() == 0xFF) want.push_back(0);
    }
    ASSERT_EQ(std::vector<std::uint8_t>(fast.begin(), fast.begin() + out.length), want) << "trial " << trial;
  }
}

// ---- Reader ----

TEST(JpegReader, StartOfImageSearchAndSegmentsThatRunOut) {
  PackedDib d = gray_dib(8, 8);
  draw_test_picture(d);
  const Bytes good = save_jpeg(d);
  Bytes prefixed{'j', 'u', 'n', 'k', 0xFF, 0x00, 0xFF};
  prefixed.insert(prefixed.end(), good.begin(), good.end());
  const Capture b = decode_jpeg(prefixed);
  EXPECT_TRUE(b.result == 0 && b.rows == decode_jpeg(good).rows) << "junk before SOI is skipped";
  EXPECT_EQ(decode_jpeg(prefixed, 4).result, 0) << "the search starts at the position word's offset";
  // No FF D8 at all: refused at the end of the data, and on the memory stream without a known
  // end, after a bounded search that stays inside these 70000 bytes.
  EXPECT_TRUE(decode_jpeg(Bytes(100, 0xFF)).result == PXV_ERR_DATA && decode_jpeg(Bytes(70000, 0x00), 0, false).result == PXV_ERR_DATA);
  // An endless chain of empty comment segments on the memory stream without a known end.
  Bytes chain{0xFF, 0xD8};
  for (int i = 0; i < 5000; ++i) chain.insert(chain.end(), {0xFF, 0xFE, 0x00, 0x02});
  EXPECT_EQ(decode_jpeg(chain, 0, false).result, PXV_ERR_DATA);
}

TEST(JpegReader, FramesAndTablesTheDecoderDoesNotCover) {
  // (Progressive, 12-bit, arithmetic, four-component and SOF1 files, and one component declared
  // 2 x 2, are in the corpus.)
  // Width (0: no frame header), samplings, components in the scan (one of three: a file of
  // several scans), result. The first is the ordinary case the others depart from.
  using Samplings = std::vector<std::uint8_t>;
  for (auto [width, samplings, scan, result] :
       {std::tuple{16, Samplings{0x22, 0x11, 0x11}, 3, 0}, {16, {0x11, 0x11}, 2, PXV_ERR_DATA},
        {16, {0x22, 0x21, 0x11}, 3, PXV_ERR_DATA}, {16, {0x31, 0x11, 0x11}, 3, PXV_ERR_DATA},
        {40000, {0x11}, 1, PXV_ERR_DATA}, {16, {0x11, 0x11, 0x11}, 1, PXV_ERR_DATA}, {0, {}, 1, PXV_ERR_DATA}}) {
    JpegBuilder b;
    b.dqt(0, 1);
    b.dqt(1, 1);
    if (width != 0) b.sof(width, 16, samplings);
    for (std::uint8_t table : {0x00, 0x10, 0x01, 0x11}) b.dht(table, {1}, {0x00});
    b.sos(scan);
    EXPECT_EQ(decode_jpeg(b.end(Bytes(64, 0x00))).result, result) << width << ", " << samplings.size() << " components";
  }
  auto with = [](Bytes segment, std::size_t size, std::uint8_t fill = 0) {
    segment.resize(size, fill);
    JpegBuilder b;
    b.bytes.insert(b.bytes.end(), segment.begin(), segment.end());
    b.sof(8, 8, {0x11});
    b.sos(1);
    return decode_jpeg(b.end()).result;
  };
  // DQT precision 2, DQT identifier 4, DHT identifier 2, a DHT of 16 x 26 = 416 symbols.
  Bytes big{0xFF, 0xC4, 0x01, 0xA3, 0x10};
  big.insert(big.end(), 16, 26);
  EXPECT_EQ((std::vector<int>{with({0xFF, 0xDB, 0, 67, 0x20}, 69, 1), with({0xFF, 0xDB, 0, 67, 0x04}, 69, 1), with({0xFF, 0xC4, 0, 19, 0x02}, 21), with(big, 4 + 0x1A3)}),
            std::vector<int>(4, PXV_ERR_DATA));
}

TEST(JpegReader, UnboundedMemoryReadStopsAtEoiAndTruncatedDataDeliversEveryRow) {
  IMGLOW_set_comp_quality(0);
  PackedDib d = make_packed_dib(41, 30, 24);
  draw_test_picture(d);
  Bytes f = save_jpeg(d);
  // The vector holds exactly the file: a read past FF D9 would leave it (and the sanitizer
  // would say so). The result equals the bounded read, and the library's own load, which
  // converts rows in the DIB (41 pixels: a 9-pixel tail, one byte of padding), gives the same.
  const Capture b = decode_jpeg(f, 0, false);
  ASSERT_EQ(b.result, 0);
  EXPECT_EQ(decode_jpeg(f).rows, b.rows);
  const int handle = IMG_decompress_bitmap_mem(f.data(), 0);
  const Capture dib = pxv_test::read_handle(handle);
  IMG_delete_bitmap(handle);
  EXPECT_EQ(std::vector<Bytes>(dib.rows.rbegin(), dib.rows.rend()), b.rows);
  f.erase(f.end() - 200, f.end());  // no EOI, half the scan gone
  const Capture cut = decode_jpeg(f);
  std::vector<int> each_row(30);
  std::iota(each_row.begin(), each_row.end(), 0);
  EXPECT_TRUE(cut.result == 0 && cut.row_numbers == each_row) << "every row once";
}

TEST(JpegReader, ZeroDimensionsAreReportedNotRefused) {
  // A frame of height 0 (the height would follow in a DNL segment) or width 0 is reported to the
  // header callback as it stands; with height 0 no row is delivered.
  auto gray = [](int width, int height) {
    return decode_jpeg(hand_built_gray(width, height, 1, {1}, {0x00}, {1}, {0x00}, Bytes(8, 0x00)));
  };
  const Capture flat = gray(16, 0), thin = gray(0, 8);
  EXPECT_TRUE(flat.result == 0 && flat.rows.empty() && thin.result != PXV_ERR_DATA);
  ASSERT_EQ(thin.header.size(), 1064u);
  EXPECT_EQ((std::vector<int>{flat.width(), flat.height(), thin.width(), thin.height()}), (std::vector<int>{16, 0, 0, 8}));
}
