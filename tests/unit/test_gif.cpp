// The GIF reader and writer on hand-built files: descriptor search, colour tables and depths,
// codes across sub-blocks and width changes, interlaced row order, corrupt codes, and what the
// writer puts in its header, its sub-blocks and its code stream.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "core/img_util.h"
#include "platform/testing.h"
#include "support/gifpcx_support.h"
#include "support/support.h"

namespace pxv_test {
namespace {

// A code stream that names every pixel by its own value, keeping the table in step with the
// decoder (entries are added, widths grow, the table fills) without ever using an entry. Clear
// comes first and then every `clear_every` codes (0: never again).
std::vector<GifCode> root_codes(const Bytes &pixels, int min_code_size, int clear_every = 0) {
  const int clear = 1 << min_code_size;
  std::vector<GifCode> codes;
  int width = min_code_size + 1, next = clear + 2, since_clear = 0;
  codes.push_back({clear, width});
  for (std::uint8_t p : pixels) {
    if (clear_every != 0 && since_clear == clear_every) {
      codes.push_back({clear, width});
      width = min_code_size + 1;
      next = clear + 2;
      since_clear = 0;
    }
    codes.push_back({p, width});
    if (since_clear++ > 0 && next < 4096) {
      ++next;
      if (next == (1 << width) && width < 12) ++width;
    }
  }
  codes.push_back({clear + 1, width});
  return codes;
}

Bytes gif_of(int width, int height, int entries, int mcs, bool interlaced, const Bytes &pixels,
             int sub_block = 255) {
  return make_gif(width, height, entries, mcs, interlaced, pack_gif_codes(root_codes(pixels, mcs), sub_block));
}

// The rows of each interlace pass, in the order a file stores them.
std::vector<int> interlace_order(int height) {
  std::vector<int> order;
  const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int y = start[pass]; y < height; y += step[pass]) order.push_back(y);
  return order;
}

TEST(GifRead, InterlacedImagesDeliverEveryRowOnceInPassOrder) {
  for (int height = 1; height <= 9; ++height) {
    SCOPED_TRACE("height " + std::to_string(height));
    const int width = 3;
    Bytes pixels;  // the k-th row stored in the file has the value k
    for (int k = 0; k < height; ++k) pixels.insert(pixels.end(), width, std::uint8_t(k % 16));
    Capture c = capture_load(gif_of(width, height, 16, 4, true, pixels));
    ASSERT_GE(c.result, 0);
    const std::vector<int> expected = interlace_order(height);
    ASSERT_EQ(c.row_numbers, expected);
    for (int k = 0; k < height; ++k) EXPECT_EQ(c.index(0, expected[k]), k % 16);
  }
}

TEST(GifRead, CodesAcrossSubBlocksAndWidthChanges) {
  // 600 pixels at minimum code size 2 take the code width from 3 to 10 bits; one-byte
  // sub-blocks put nearly every code across a block boundary.
  const int width = 30, height = 20;
  Bytes pixels(width * height);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = std::uint8_t((i * 7 + i / 5) & 3);
  for (int sub_block : {1, 2, 7, 255}) {
    SCOPED_TRACE("sub-block " + std::to_string(sub_block));
    Capture c = capture_load(gif_of(width, height, 4, 2, false, pixels, sub_block));
    ASSERT_GE(c.result, 0);
    ASSERT_EQ(c.bits(), 4);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) ASSERT_EQ(c.index(x, y), pixels[y * width + x]) << x << "," << y;
  }
}

TEST(GifRead, StringsAndTheCodeBeingDefined) {
  // Clear 4, then 0, then 6 (the code being defined: "0" + "0"), then 6 again ("00"), EOD.
  Bytes data = pack_gif_codes({{4, 3}, {0, 3}, {6, 3}, {6, 3}, {5, 3}}, 255);
  Capture c = capture_load(make_gif(5, 1, 4, 2, false, data));
  ASSERT_GE(c.result, 0);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(c.index(x, 0), 0);
  // A code without Clear first: the decoder starts with its table of roots.
  data = pack_gif_codes({{1, 3}, {2, 3}, {6, 3}, {5, 3}}, 255);
  c = capture_load(make_gif(4, 1, 4, 2, false, data));
  ASSERT_GE(c.result, 0);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(c.index(x, 0), 1 + x % 2);
}

TEST(GifRead, ImpossibleCodeKeepsTheRowsSoFarAndTheLoadSucceeds) {
  // Width 1, height 3: Clear, 1 (row 0), then 7 where the next free code is 6.
  Bytes data = pack_gif_codes({{4, 3}, {1, 3}, {7, 3}, {0, 3}, {5, 3}}, 255);
  Capture c = capture_load(make_gif(1, 3, 4, 2, false, data));
  EXPECT_EQ(c.header_calls, 1);
  EXPECT_GE(c.result, 0);
  EXPECT_EQ(c.row_numbers, (std::vector<int>{0}));
  EXPECT_EQ(c.index(0, 0), 1);
  // Data that ends without End-of-Data (and without its terminator) keeps its rows too.
  Bytes cut = pack_gif_codes({{4, 3}, {1, 3}}, 255);
  cut.pop_back();
  c = capture_load(make_gif(1, 3, 4, 2, false, cut));
  EXPECT_GE(c.result, 0);
  EXPECT_EQ(c.row_numbers, (std::vector<int>{0}));
  // Through the library's callbacks the load answers a handle.
  const int h = load_bytes_as_file(make_gif(1, 3, 4, 2, false, data));
  EXPECT_GE(h, 0);
  IMG_delete_bitmap(h);
}

TEST(GifRead, ExtensionsAreSkippedAndTheSearchEndsWithTheStream) {
  Bytes pixels = {1, 0, 1, 0, 0, 1};
  Bytes plain = gif_of(3, 2, 2, 2, false, pixels);
  const std::size_t after_table = 13 + 6;
  // Comment (two sub-blocks), graphic control and an empty comment, plus a stray byte.
  const Bytes ext = {0x21, 0xFE, 3, 'a', 'b', 'c', 2, 'd', 'e', 0, 0x21, 0xF9, 4, 0, 0, 0, 0, 0,
                     0x21, 0xFE, 0, 0x00};
  Bytes with_ext = plain;
  with_ext.insert(with_ext.begin() + after_table, ext.begin(), ext.end());
  Capture a = capture_load(plain), b = capture_load(with_ext);
  ASSERT_GE(a.result, 0);
  ASSERT_GE(b.result, 0);
  EXPECT_EQ(a.rows, b.rows);
  EXPECT_EQ(a.header, b.header);

  // The same from memory: the search uses the library's stream functions.
  const int h = IMG_decompress_bitmap_mem(with_ext.data(), 0);
  ASSERT_GE(h, 0);
  EXPECT_EQ(read_handle(h).rows[1][0] >> 5, 0b101);  // top row 1 0 1
  IMG_delete_bitmap(h);

  // No descriptor: header only, an extension that runs off the end, or just stray bytes.
  Bytes header_only(plain.begin(), plain.begin() + after_table);
  EXPECT_EQ(load_bytes_as_file(header_only), -1);
  Bytes runaway = header_only;
  runaway.insert(runaway.end(), {0x21, 0xFE, 200, 'x'});
  EXPECT_EQ(load_bytes_as_file(runaway), -1);
  Bytes stray = header_only;
  stray.insert(stray.end(), 600, 0x3B);
  EXPECT_EQ(load_bytes_as_file(stray), -1);
}

TEST(GifRead, DepthAndPaletteFollowTheTableSize) {
  const struct {
    int entries, bits;
  } cases[] = {{2, 1}, {4, 4}, {8, 4}, {16, 4}, {32, 8}, {256, 8}};
  for (const auto &k : cases) {
    SCOPED_TRACE(k.entries);
    int mcs = 2;
    while ((1 << mcs) < k.entries) ++mcs;
    Bytes pixels = {0, std::uint8_t(k.entries - 1), 1, 0};
    Capture c = capture_load(gif_of(4, 1, k.entries, mcs, false, pixels));
    ASSERT_GE(c.result, 0);
    EXPECT_EQ(c.bits(), k.bits);
    EXPECT_EQ(c.index(1, 0), k.entries - 1);
    // Entry i is red i*16, green 255 - i*16, blue i; stored blue, green, red, 0.
    const int i = k.entries - 1;
    EXPECT_EQ(Bytes(&c.header[40 + 4 * i], &c.header[44 + 4 * i]),
              (Bytes{std::uint8_t(i), std::uint8_t(255 - i * 16), std::uint8_t(i * 16), 0}));
    // Entries past the table (8 to 15 of an 8-entry table) are black.
    if (k.entries == 8) EXPECT_EQ(c.header[40 + 4 * 9 + 2], 0);
  }
}

TEST(GifRead, LocalTableReplacesTheGlobalOne) {
  Bytes g = gif_of(2, 1, 4, 2, false, {0, 1});
  // Give the descriptor a 2-entry local table: (10,20,30) and (40,50,60).
  const std::size_t flags_at = 13 + 12 + 9;
  g[flags_at] = 0x80;
  const Bytes local = {10, 20, 30, 40, 50, 60};
  g.insert(g.begin() + flags_at + 1, local.begin(), local.end());
  Capture c = capture_load(g);
  ASSERT_GE(c.result, 0);
  EXPECT_EQ(c.bits(), 1);
  EXPECT_EQ(Bytes(c.header.begin() + 40, c.header.begin() + 48), (Bytes{30, 20, 10, 0, 60, 50, 40, 0}));
}

TEST(GifRead, ImpossibleHeadersAreRefusedBeforeTheHeaderCallback) {
  for (int mcs : {0, 9, 11}) {
    Bytes g = gif_of(2, 1, 4, 2, false, {0, 1});
    g[13 + 12 + 10] = std::uint8_t(mcs);
    Capture c = capture_load(g);
    EXPECT_EQ(c.result, -3) << mcs;
    EXPECT_EQ(c.header_calls, 0);
  }
  Bytes zero_width = gif_of(2, 1, 4, 2, false, {0, 1});
  zero_width[13 + 12 + 5] = 0;
  EXPECT_EQ(capture_load(zero_width).result, -3);
}

// Reads the codes of the first image of a GIF the way a decoder does, tracking table and width.
struct CodeTrace {
  std::vector<int> codes;
  std::vector<int> widths;
  std::vector<int> next_at;  // the decoder's next free code when each code was read
  std::vector<int> sub_block_sizes;
};
CodeTrace trace_codes(const Bytes &gif) {
  CodeTrace t;
  std::size_t p = 13 + ((gif[10] & 0x80) ? 3u << ((gif[10] & 7) + 1) : 0);
  EXPECT_EQ(gif[p], ',');
  const int mcs = gif[p + 10];
  p += 11;
  Bytes data;
  while (gif[p] != 0) {
    t.sub_block_sizes.push_back(gif[p]);
    data.insert(data.end(), gif.begin() + p + 1, gif.begin() + p + 1 + gif[p]);
    p += 1 + gif[p];
  }
  const int clear = 1 << mcs;
  int width = mcs + 1, next = clear + 2;
  bool first = true;
  std::size_t bit = 0;
  while (bit + width <= data.size() * 8) {
    int code = 0;
    for (int k = 0; k < width; ++k, ++bit) code |= ((data[bit / 8] >> (bit % 8)) & 1) << k;
    t.codes.push_back(code);
    t.widths.push_back(width);
    t.next_at.push_back(next);
    if (code == clear + 1) break;
    if (code == clear) {
      width = mcs + 1;
      next = clear + 2;
      first = true;
      continue;
    }
    if (!first && next < 4096) {
      ++next;
      if (next == (1 << width) && width < 12) ++width;
    }
    first = false;
  }
  return t;
}

Bytes save_to_memory(int handle, int type, std::size_t room = 1 << 22) {
  Bytes out(room, 0);
  EXPECT_EQ(IMG_save_bitmap_mem(handle, out.data(), type), 0);
  return out;
}

int handle_of(PackedDib &dib) {
  const int h = IMG_create_handle(dib.bytes.data());
  EXPECT_GE(h, 0);
  return h;
}

TEST(GifWrite, HeaderTableAndFirstCodeByBitCount) {
  for (int bits : {4, 8}) {
    SCOPED_TRACE(bits);
    PackedDib dib = make_packed_dib(5, 3, bits);
    draw_test_picture(dib);
    const int h = handle_of(dib);
    Bytes g = save_to_memory(h, PXV_SAVE_GIF);
    IMG_delete_bitmap(h);
    EXPECT_EQ(Bytes(g.begin(), g.begin() + 6), (Bytes{'G', 'I', 'F', '8', '7', 'a'}));
    EXPECT_EQ(Bytes(g.begin() + 6, g.begin() + 11), (Bytes{5, 0, 3, 0, std::uint8_t(bits == 4 ? 0x83 : 0x87)}));
    const std::size_t table = 3u << bits;
    // Palette entry 1 as red, green, blue.
    EXPECT_EQ(g[13 + 3 + 0], dib.bytes[40 + 4 + 2]);
    EXPECT_EQ(g[13 + 3 + 2], dib.bytes[40 + 4 + 0]);
    const std::size_t d = 13 + table;
    EXPECT_EQ(g[d], ',');
    EXPECT_EQ(g[d + 9], bits - 1);
    EXPECT_EQ(g[d + 10], bits);
    CodeTrace t = trace_codes(g);
    EXPECT_EQ(t.codes.front(), 1 << bits);
    EXPECT_EQ(t.widths.front(), bits + 1);
    EXPECT_EQ(t.codes.back(), (1 << bits) + 1);
    // The image ends with the block terminator and the trailer.
    std::size_t end = d + 11;
    while (g[end] != 0) end += 1 + g[end];
    EXPECT_EQ(g[end + 1], 0x3B);
  }
}

TEST(GifWrite, OneAndTwentyFourBitsAreRefused) {
  for (int bits : {1, 24}) {
    PackedDib dib = make_packed_dib(4, 4, bits);
    const int h = handle_of(dib);
    Bytes out(4096, 0xAA);
    EXPECT_EQ(IMG_save_bitmap_mem(h, out.data(), PXV_SAVE_GIF), -6);
    EXPECT_EQ(out[0], 0xAA);
    IMG_delete_bitmap(h);
  }
}

// Pixels of written files at awkward sizes are checked by Pillow and giflib reading them back.

TEST(GifWrite, ClearAfterCode4080AndSubBlocksOf253Or254) {
  // Noise fills the table many times over; a uniform image reaches 4080 only after some eight
  // million pixels, so it is written once at that size as well.
  struct Case {
    int w, h;
    bool noise;
  };
  for (const Case &k : {Case{400, 300, true}, Case{4096, 2048, false}}) {
    SCOPED_TRACE(k.noise ? "noise" : "uniform");
    PackedDib dib = make_packed_dib(k.w, k.h, 8);
    std::mt19937 rng(3);
    for (int y = 0; y < k.h; ++y)
      for (int x = 0; x < k.w; ++x) dib.row(y)[x] = k.noise ? std::uint8_t(rng() % 200) : 17;
    const int h = handle_of(dib);
    Bytes g = save_to_memory(h, PXV_SAVE_GIF, std::size_t(k.w) * k.h * 2 + 4096);
    CodeTrace t = trace_codes(g);
    int clears = 0;
    for (std::size_t i = 1; i < t.codes.size(); ++i) {
      if (t.codes[i] != 256) continue;
      ++clears;
      EXPECT_EQ(t.next_at[i], 4080) << "Clear at code " << i;
      EXPECT_EQ(t.widths[i], 12);
      EXPECT_EQ(t.widths[i + 1], 9);
    }
    EXPECT_GE(clears, 1);
    for (std::size_t i = 0; i + 1 < t.sub_block_sizes.size(); ++i)
      ASSERT_TRUE(t.sub_block_sizes[i] == 253 || t.sub_block_sizes[i] == 254) << t.sub_block_sizes[i];
    IMG_delete_bitmap(h);
  }
}

}  // namespace
}  // namespace pxv_test
