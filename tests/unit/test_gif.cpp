// The GIF reader's delivery order, depth and policy on corrupt codes and missing descriptors, and
// what the writer puts in its header.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/support.h"

namespace pxv_test {
namespace {

// A GIF built by hand: screen, table, image descriptor and LZW codes packed least significant
// bit first into sub-blocks of 255 bytes.
struct GifCode {
  int code;
  int width;
};
Bytes pack_gif_codes(const std::vector<GifCode> &codes) {
  Bytes packed, out;
  std::uint32_t acc = 0;
  int have = 0;
  for (const GifCode &c : codes)
    for (acc |= std::uint32_t(c.code) << have, have += c.width; have >= 8; acc >>= 8, have -= 8) packed.push_back(std::uint8_t(acc));
  if (have > 0) packed.push_back(std::uint8_t(acc));
  for (std::size_t i = 0; i < packed.size(); i += 255) {
    const std::size_t n = std::min<std::size_t>(packed.size() - i, 255);
    out.push_back(std::uint8_t(n));
    out.insert(out.end(), packed.begin() + std::ptrdiff_t(i), packed.begin() + std::ptrdiff_t(i + n));
  }
  out.push_back(0);
  return out;
}

Bytes make_gif(int width, int height, int table_entries, int min_code_size, bool interlaced,
               const Bytes &data_sub_blocks) {
  int size_bits = 0;
  while ((2 << size_bits) < table_entries) ++size_bits;
  Bytes g = {'G', 'I', 'F', '8', '9', 'a',
             std::uint8_t(width), std::uint8_t(width >> 8), std::uint8_t(height), std::uint8_t(height >> 8),
             std::uint8_t(0x80 | size_bits), 0, 0};
  // Entry i is (i*16, 255 - i*16, i): each index has its own colour.
  for (int i = 0; i < (2 << size_bits); ++i) g.insert(g.end(), {std::uint8_t(i * 16), std::uint8_t(255 - i * 16), std::uint8_t(i)});
  Bytes d = {',', 0, 0, 0, 0, std::uint8_t(width), std::uint8_t(width >> 8), std::uint8_t(height),
             std::uint8_t(height >> 8), std::uint8_t(interlaced ? 0x40 : 0), std::uint8_t(min_code_size)};
  g.insert(g.end(), d.begin(), d.end());
  g.insert(g.end(), data_sub_blocks.begin(), data_sub_blocks.end());
  g.push_back(';');
  return g;
}

// A code stream that names every pixel by its own value, keeping the table in step with the
// decoder (entries are added, widths grow) without ever using an entry.
Bytes gif_of(int width, int height, int entries, int mcs, bool interlaced, const Bytes &pixels) {
  const int clear = 1 << mcs;
  int code_width = mcs + 1, next = clear + 2;
  std::vector<GifCode> codes{{clear, code_width}};
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    codes.push_back({pixels[i], code_width});
    if (i > 0 && next < 4096 && ++next == (1 << code_width) && code_width < 12) ++code_width;
  }
  codes.push_back({clear + 1, code_width});
  return make_gif(width, height, entries, mcs, interlaced, pack_gif_codes(codes));
}

TEST(GifRead, DepthFollowsTheTableSize) {
  for (auto [entries, bits] : {std::pair{2, 1}, {4, 4}, {8, 4}, {16, 4}, {32, 8}, {256, 8}}) {
    int mcs = 2;
    while ((1 << mcs) < entries) ++mcs;
    Capture c = capture_load(gif_of(4, 1, entries, mcs, false, {0, std::uint8_t(entries - 1), 1, 0}));
    ASSERT_GE(c.result, 0);
    EXPECT_TRUE(c.bits() == bits && c.index(1, 0) == entries - 1) << entries;
  }
}

TEST(GifRead, CutDataKeepsItsRowsAndBadHeadersAreRefused) {
  // (Impossible codes and a start without Clear: the random streams below.)
  // Data that ends without End-of-Data (and without its terminator) keeps its rows too.
  Bytes cut = pack_gif_codes({{4, 3}, {1, 3}});
  cut.pop_back();
  Capture c = capture_load(make_gif(1, 3, 4, 2, false, cut));
  EXPECT_TRUE(c.result >= 0 && c.row_numbers == (std::vector<int>{0}));
  const Bytes plain = gif_of(2, 1, 4, 2, false, {0, 1});
  const std::size_t descriptor = 13 + 12;
  // Minimum code sizes 0, 9 and 11, and width 0: refused before the header callback.
  for (auto [at, value] : {std::pair{10, 0}, {10, 9}, {10, 11}, {5, 0}}) {
    Bytes g = plain;
    g[descriptor + std::size_t(at)] = std::uint8_t(value);
    c = capture_load(g);
    EXPECT_TRUE(c.result == -3 && c.header_calls == 0) << at << ": " << value;
  }
  // No descriptor: header only, an extension that runs off the end, or just stray bytes.
  const Bytes header_only(plain.begin(), plain.begin() + descriptor);
  for (const Bytes &tail : {Bytes{}, Bytes{0x21, 0xFE, 200, 'x'}, Bytes(600, 0x3B)}) {
    Bytes g = header_only;
    g.insert(g.end(), tail.begin(), tail.end());
    EXPECT_EQ(capture_load(g).result, -1) << tail.size();
  }
}

TEST(GifRead, RandomCodeStreamsMatchAPlainDecoder) {
  // Codes drawn at random from those valid at each point (roots, table codes, the code being
  // defined, now and then a Clear; in some trials none, so the table fills), decoded alongside
  // with whole strings; the stream ends with End-of-Data, an impossible code or no end code.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const int mcs = 2 + int(rng() % 7), clear = 1 << mcs, width = 1 + int(rng() % 70), height = 1 + int(rng() % 50);
    std::vector<Bytes> table(4096);
    for (int i = 0; i < clear; ++i) table[i] = Bytes{std::uint8_t(i)};
    std::vector<GifCode> codes;
    Bytes pixels;
    int code_width = mcs + 1, next = clear + 2, prev = -1;
    for (int j = 0, count = 1 + int(rng() % 6000); j < count; ++j) {
      const std::uint32_t r = rng() % 1000;
      if (prev < 0 || r < (trial % 3 ? 2u : 0u)) {
        if (prev >= 0) codes.push_back({clear, code_width}), code_width = mcs + 1, next = clear + 2;
        prev = int(rng() % std::uint32_t(clear));
        codes.push_back({prev, code_width});
        pixels.push_back(std::uint8_t(prev));
        continue;
      }
      int c = r < 50 && next < 4096 ? next : int(rng() % std::uint32_t(clear));
      if (r >= 50 && r < 600 && next > clear + 2) c = clear + 2 + int(rng() % std::uint32_t(next - clear - 2));
      codes.push_back({c, code_width});
      Bytes str = table[c == next ? prev : c];
      if (c == next) str.push_back(str[0]);
      if (next < 4096) {
        table[next] = table[prev];
        table[next].push_back(str[0]);
        if (++next == (1 << code_width) && code_width < 12) ++code_width;
      }
      pixels.insert(pixels.end(), str.begin(), str.end());
      prev = c;
    }
    if (trial % 3 == 0) codes.push_back({clear + 1, code_width});
    if (trial % 3 == 1 && next + 1 < (1 << code_width)) codes.push_back({next + 1, code_width});
    const Capture c = capture_load(make_gif(width, height, clear, mcs, false, pack_gif_codes(codes)));
    ASSERT_GE(c.result, 0);
    const int rows = std::min(height, int(pixels.size()) / width);
    ASSERT_EQ(int(c.row_numbers.size()), rows) << "trial " << trial;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < width; ++x)
        ASSERT_EQ(c.index(x, y), pixels[std::size_t(y * width + x)]) << "trial " << trial << " at " << x << "," << y;
  }
}

Bytes save_gif(PackedDib &dib, std::size_t room = 1 << 16, int expect = 0) {
  const int h = IMG_create_handle(dib.bytes.data());
  const Bytes out = save_mem(h, PXV_SAVE_GIF, room, expect);
  IMG_delete_bitmap(h);
  return out;
}

TEST(GifWrite, HeaderAndDescriptorByBitCount) {
  for (int bits : {4, 8}) {
    PackedDib dib = make_packed_dib(5, 3, bits);
    draw_test_picture(dib);
    const Bytes g = save_gif(dib);
    EXPECT_EQ(Bytes(g.begin(), g.begin() + 11),
              (Bytes{'G', 'I', 'F', '8', '7', 'a', 5, 0, 3, 0, std::uint8_t(bits == 4 ? 0x83 : 0x87)}));
    // The descriptor's flags and minimum code size behind the global table.
    const std::size_t d = 13 + (3u << bits);
    EXPECT_EQ((Bytes{g[d], g[d + 9], g[d + 10]}), (Bytes{',', std::uint8_t(bits - 1), std::uint8_t(bits)}));
  }
  for (int bits : {1, 24}) {
    PackedDib dib = make_packed_dib(4, 4, bits);
    EXPECT_EQ(save_gif(dib, 4096, PXV_ERR_TYPE)[0], 0xAA) << bits << " bits are refused, nothing written";
  }
}

}  // namespace
}  // namespace pxv_test
