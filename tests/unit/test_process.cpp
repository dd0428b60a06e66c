// Image processing: the pixels each rule moves on small images, the identities every bit count
// must keep, the banded kernels beside whole-image transcriptions, and the bytes of the BMP file
// variants.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "core/bytes.h"
#include "core/image.h"
#include "core/img_util.h"
#include "process/img_proc.h"
#include "support.h"

namespace pxv_test {
namespace {

using Crop = std::array<int, 4>;

// Pixel values (indices, or blue, green, red) top row first, and the image's width and height.
struct Grid {
  int width = 0, height = 0;
  std::vector<int> values;
  bool operator==(const Grid &) const = default;
};
Grid grid(int handle) {
  const Capture c = read_handle(handle);
  Grid g{c.width(), c.height(), {}};
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x) {
      const int r = g.height - 1 - y;
      if (c.bits() == 24) g.values.insert(g.values.end(), {c.rows[r][3 * x], c.rows[r][3 * x + 1], c.rows[r][3 * x + 2]});
      else g.values.push_back(c.index(x, r));
    }
  return g;
}

// An 8- or 1-bit image of the given indices, top row first.
int indexed(int width, int height, const std::vector<int> &top_down, int bits = 8) {
  PackedDib d = make_packed_dib(width, height, bits);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t *row = d.row(height - 1 - y);
      const int v = top_down[std::size_t(y * width + x)];
      if (bits == 8) row[x] = std::uint8_t(v);
      else row[x / 8] |= std::uint8_t(v << (7 - x % 8));
    }
  return IMG_create_handle(d.bytes.data());
}

using Process = HandleTest;

// Odd sizes at every bit count, and sizes that the turns and tone operations cut into bands.
const std::array<int, 3> kSizes[] = {{13, 7, 1}, {13, 7, 4}, {13, 7, 8}, {13, 7, 24}, {600, 100, 8}, {3000, 10, 24}, {70000, 9, 1}, {2200, 30, 4}};

TEST_F(Process, MirrorsAndTurnsMoveWholePixels) {
  // Pixel 8 of 9 at 1 bit becomes pixel 0 (the source's padding bits do not follow), nibbles move
  // whole, and a red pixel stays red.
  struct Row {
    int width, bits;
    Bytes in, out;
  };
  for (const Row &k : {Row{9, 1, {0, 0xFF, 0xFF, 0}, {0x80, 0, 0, 0}}, Row{3, 4, {0x12, 0x30, 0, 0}, {0x32, 0x10, 0, 0}},
                       Row{2, 24, {0, 0, 255, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 255, 0, 0}}}) {
    PackedDib d = make_packed_dib(k.width, 1, k.bits);
    std::copy(k.in.begin(), k.in.end(), d.row(0));
    const int h = IMG_create_handle(d.bytes.data());
    EXPECT_TRUE(IMG_flip_bitmapx(h, nullptr, 0) == 0 && read_handle(h).rows[0] == k.out) << k.bits;
  }
  // The crop rectangle follows each mirror; the progress callback reports every row.
  int h = picture_handle(13, 5, 8);
  IMG_set_croprect(h, 1, 2, 5, 3);
  progress_calls.clear();
  ASSERT_EQ(IMG_flip_bitmapx(h, record_progress, 9) | IMG_flip_bitmapy(h, record_progress, 9), 0);
  EXPECT_EQ(crop_rect(h), (Crop{7, 0, 5, 3}));
  EXPECT_TRUE(progress_calls.size() == 10 && progress_calls[9] == (std::array<LONG, 3>{9, 5, 4}));
  // Angles other than 90, 180 and 270 only transpose, which the top-to-bottom mirror makes the
  // clockwise turn: the top row is the old left column from the bottom up.
  for (int angle : {0, 45, -90}) {
    h = indexed(3, 2, {1, 2, 3, 4, 5, 6});  // top row 1 2 3, bottom row 4 5 6
    ASSERT_TRUE(IMG_rotate_bitmap(h, angle, nullptr, 0) == 0 && IMG_flip_bitmapy(h, nullptr, 0) == 0);
    EXPECT_EQ(grid(h), (Grid{2, 3, {4, 1, 5, 2, 6, 3}})) << angle;
  }
  // Every turn and mirror at every bit count, and at sizes turned in several bands (600 x 100 in
  // bands of 32 rows; rows longer than a band's 8192 bytes at 24 and 1 bit; 2200 x 30 at 4 bits
  // ends on a band that starts mid-word): where each pixel of the result comes from.
  for (const auto [w, ht, bits] : kSizes)
    for (int op : {90, 180, 270, 0, -1}) {  // 0 mirrors left to right, -1 top to bottom
      h = picture_handle(w, ht, bits);
      const Rgb before = handle_rgb(h);
      ASSERT_EQ(op > 0 ? IMG_rotate_bitmap(h, op, nullptr, 0) : op == 0 ? IMG_flip_bitmapx(h, nullptr, 0) : IMG_flip_bitmapy(h, nullptr, 0), 0);
      const Rgb after = handle_rgb(h);
      ASSERT_EQ(after.width, op == 90 || op == 270 ? ht : w) << op;
      for (int y = 0; y < after.height; ++y)
        for (int x = 0; x < after.width; ++x) {
          const int sx = op == 90 ? y : op == 270 ? w - 1 - y : op == -1 ? x : w - 1 - x, sy = op == 90 ? ht - 1 - x : op == 270 ? x : op == 0 ? y : ht - 1 - y;
          ASSERT_TRUE(std::equal(&after.pixels[3 * std::size_t(y * after.width + x)], &after.pixels[3 * std::size_t(y * after.width + x) + 3],
                                 &before.pixels[3 * std::size_t(sy * w + sx)])) << op << " at " << w << "x" << ht << "x" << bits << ": " << x << "," << y;
        }
      IMG_delete_bitmap(h);
    }
  // The crop rectangle and the display size turn too: (x, y, w, h) -> (H - y - h, x, h, w).
  h = picture_handle(13, 7, 4);
  IMG_set_croprect(h, 2, 1, 5, 3);
  ASSERT_EQ(IMG_rotate_bitmap(h, 90, nullptr, 0), 0);
  EXPECT_EQ(crop_rect(h), (Crop{3, 2, 3, 5}));
  const pxv::image_object *image = pxv::live_image(h);
  EXPECT_TRUE(image->display_width == 3 && image->display_height == 5 && image->row_bytes == 4);
}

// Resizing to the same size and a tone change of nothing change nothing; inversion complements
// every byte of every row, padding included, and leaves the header and table alone.
TEST_F(Process, InversionAndIdentitiesAtEveryBitCount) {
  for (const auto [w, ht, bits] : kSizes) {
    const int h = picture_handle(w, ht, bits);
    Capture want = read_handle(h);
    if (w == 13) {
      ASSERT_EQ(IMG_resize_bitmap(h, 13, 7, nullptr, 0), 0);
      EXPECT_EQ(IMG_set_lut(h, 0, 0, nullptr, 0), bits == 1 ? PXV_ERR_TYPE : 0);
      EXPECT_TRUE(read_handle(h) == want) << bits;
    }
    for (Bytes &row : want.rows)
      for (std::uint8_t &v : row) v = std::uint8_t(~v);
    ASSERT_EQ(IMG_invert_bitmap(h, nullptr, 0), 0);
    EXPECT_TRUE(read_handle(h) == want) << w << "x" << ht << "x" << bits;
    IMG_delete_bitmap(h);
  }
}

// The mirror and transposition kernels beside bit-by-bit transcriptions, on random rows at every
// bit count and sizes that end mid-byte, mid-vector and mid-tile, with rows run either way. They
// write the pixels' bytes, 0 after the last pixel, and nothing past them (0xA5 stays).
TEST_F(Process, TurnKernelsEqualPlainTranscriptions) {
  auto get = [](const std::uint8_t *row, int bits, long x) {
    unsigned v = 0;
    for (long b = x * bits; b < (x + 1) * bits; ++b) v = v << 1 | ((row[b / 8] >> (7 - b % 8)) & 1);
    return v;
  };
  auto put = [](std::uint8_t *row, int bits, long x, unsigned v) {
    for (long b = (x + 1) * bits - 1; b >= x * bits; --b, v >>= 1) row[b / 8] |= std::uint8_t((v & 1) << (7 - b % 8));
  };
  const std::map<int, void (*)(std::uint8_t *, const std::uint8_t *, std::int32_t)> mirrors = {
      {1, pxv::flip_1bit}, {4, pxv::flip_4bit}, {8, pxv::flip_8bit}, {24, pxv::flip_24bit}};
  std::mt19937 rng(5);
  for (const auto &[bits, mirror] : mirrors)
    for (const auto &[w, h] : {std::pair{1, 1}, {13, 7}, {33, 70}, {130, 67}}) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(bits));
      // Source rows without padding, so that a read past the last pixel leaves the buffer.
      const int used = (w * bits + 7) / 8, turned = (h * bits + 7) / 8;
      Bytes src(std::size_t(used) * h);
      for (std::uint8_t &b : src) b = std::uint8_t(rng());
      for (int r = 0; r < h; ++r) {
        Bytes got(used + 2, 0xA5), want = got;
        std::fill_n(want.begin(), used, 0);
        for (int x = 0; x < w; ++x) put(want.data(), bits, x, get(&src[std::size_t(r) * used], bits, w - 1 - x));
        mirror(got.data(), &src[std::size_t(r) * used], w);
        ASSERT_EQ(got, want) << "row " << r;
      }
      for (const bool up : {false, true})
        for (const bool back : {false, true}) {
          const int stride = turned + 2;
          Bytes got(std::size_t(stride) * w, 0xA5), want = got;
          for (int j = 0; j < w; ++j) {
            std::uint8_t *row = &want[std::size_t(back ? w - 1 - j : j) * stride];
            std::fill_n(row, turned, 0);
            for (int i = 0; i < h; ++i) put(row, bits, i, get(&src[std::size_t(up ? h - 1 - i : i) * used], bits, j));
          }
          pxv::transpose_pixels(&src[std::size_t(up ? h - 1 : 0) * used], up ? -used : used,
                                &got[std::size_t(back ? w - 1 : 0) * stride], back ? -stride : stride, w, h, bits);
          ASSERT_EQ(got, want) << up << back;
        }
    }
}

TEST_F(Process, ResizingSamplesNearestFromTheBottomLeft) {
  EXPECT_TRUE(pxv::resize_step(10, 3) == 853 && pxv::resize_step(1 << 30, 1) == std::uint64_t(1) << 38) << "the product does not wrap";
  // The 24-bit scaler moves pixels as words: beside plain sampling, on rows sized exactly so
  // that a word read or written past either row's end is caught.
  std::mt19937 rng(9);
  for (int trial = 0; trial < 400; ++trial) {
    const int from = 1 + int(rng() % 70), to = 1 + int(rng() % (trial < 20 ? 20000 : 300));
    Bytes src(std::size_t(3) * from), got(std::size_t(3) * to), want(got.size());
    for (std::uint8_t &b : src) b = std::uint8_t(rng());
    const std::uint64_t step = pxv::resize_step(from, to);
    for (int i = 0; i < to; ++i) std::copy_n(&src[3 * (i * step >> 8)], 3, &want[3 * std::size_t(i)]);
    pxv::scale_24raster(src.data(), got.data(), step, to);
    ASSERT_EQ(got, want) << from << " to " << to;
  }
  using Row = std::vector<int>;
  for (auto [in, out] : {std::pair<Row, Row>{{7, 8, 9}, {7, 7, 8, 8, 9, 9}}, {{7, 8, 9, 10}, {7, 9}},
                         {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 3, 6}}}) {
    const int h = indexed(int(in.size()), 1, in);
    ASSERT_EQ(IMG_resize_bitmap(h, int(out.size()), 1, nullptr, 0), 0);
    EXPECT_EQ(grid(h).values, out);
  }
  int h = indexed(5, 1, {1, 0, 1, 1, 0}, 1);
  ASSERT_EQ(IMG_resize_bitmap(h, 16, 1, nullptr, 0), 0);
  EXPECT_EQ(read_handle(h).rows[0], (Bytes{0xF1, 0xF8, 0, 0})) << "packed from the top bit, padding 0";
  // 1 x 1 is the first pixel of the first stored row; the crop becomes the whole image and the
  // display size the new size; a saved palette stays.
  h = indexed(3, 2, {1, 2, 3, 4, 5, 6});
  IMG_set_croprect(h, 1, 1, 1, 1);
  ASSERT_EQ(IMG_set_lut(h, 10, 0, nullptr, 0), 0);
  pxv::image_object *image = pxv::live_image(h);
  HGLOBAL saved = image->saved_palette_handle;
  progress_calls.clear();
  ASSERT_EQ(IMG_resize_bitmap(h, 1, 1, record_progress, 3), 0);
  EXPECT_TRUE(grid(h).values == std::vector<int>{4} && crop_rect(h) == (Crop{0, 0, 1, 1}));
  EXPECT_TRUE(image->display_width == 1 && image->display_height == 1 && image->saved_palette_handle == saved);
  EXPECT_EQ(progress_calls, (std::vector<std::array<LONG, 3>>{{3, 1, 0}}));
  EXPECT_EQ((std::vector<int>{IMG_resize_bitmap(h, 0, 5, nullptr, 0), IMG_resize_bitmap(h, 5, -1, nullptr, 0), IMG_resize_bitmap(h + 1, 5, 5, nullptr, 0)}),
            (std::vector<int>{PXV_ERR_TYPE, PXV_ERR_TYPE, PXV_ERR_HANDLE}));
}

// The whole-word tone kernel beside its table at every contrast and brightness where it switches
// between arithmetic and table, and at random ones.
TEST(ProcessKernels, ToneMatchesItsTableOnRandomRows) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> all(256 + 37);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = std::uint8_t(i * 7 + 3);
  std::vector<std::pair<int, int>> settings = {{-129, 0}, {-128, -32767}, {32639, 0}, {32640, 0},
                                               {1, 32768}, {1, 32769}, {-1, -32768}, {-1, -32769}, {INT_MIN, INT_MAX}};
  for (int i = 0; i < 200; ++i) settings.push_back({int(rng() % 700) - 200, int(rng() % 700) - 350});
  for (auto [c, b] : settings) {
    std::uint8_t t[256];
    pxv::build_tone_table(t, c, b);
    std::vector<std::uint8_t> got = all, want = all;
    for (auto &v : want) v = t[v];
    pxv::map_tones(got.data(), got.size(), c, b);
    ASSERT_EQ(got, want) << c << ", " << b;
  }
}

TEST_F(Process, ContrastBrightnessAndGamma) {
  auto tone = [](int c, int b, std::vector<int> in) {
    std::uint8_t t[256];
    pxv::build_tone_table(t, c, b);
    for (int &v : in) v = t[v];
    return in;
  };
  const std::vector<int> levels = {0, 64, 100, 128, 192, 200, 255};
  // Contrast below -128 acts as -128: every value 128 + 2b.
  for (auto [c, b, out] : {std::tuple<int, int, std::vector<int>>{64, 0, {0, 32, 86, 128, 224, 236, 255}},
                           {-64, 0, {64, 96, 114, 128, 160, 164, 191}}, {-128, 5, std::vector<int>(7, 138)},
                           {-100000, 5, std::vector<int>(7, 138)}, {0, 128, std::vector<int>(7, 255)},
                           {0, -64, {0, 0, 0, 0, 64, 72, 127}}})
    EXPECT_EQ(tone(c, b, levels), out) << c << ", " << b;
  for (int extreme : {INT_MIN, INT_MAX}) tone(extreme, extreme, {0, 255});  // defined, under UBSan
  std::uint8_t g[256];
  pxv::build_gamma_table(g, 2.2f);
  EXPECT_TRUE(g[1] == 21 && g[128] == 186);
  for (float gamma : {0.01f, 1.0f, 2.2f, 50.0f}) {
    pxv::build_gamma_table(g, gamma);
    EXPECT_TRUE(g[0] == 0 && g[255] == 255) << gamma;
  }

  // Palette images start from the table saved by the first call: two calls are one. 24-bit
  // images compound. The saved table goes when the image changes depth, and comes again.
  const int once = picture_handle(9, 3, 8), twice = picture_handle(9, 3, 8), deep = picture_handle(9, 3, 24);
  progress_calls.clear();
  ASSERT_EQ(IMG_set_lut(once, 64, 0, record_progress, 4), 0);
  EXPECT_TRUE(progress_calls.size() == 256 && progress_calls[255] == (std::array<LONG, 3>{4, 256, 255}));
  for (int i = 0; i < 2; ++i) ASSERT_EQ(IMG_set_lut(twice, 64, 0, nullptr, 0), 0);
  EXPECT_EQ(read_handle(once).header, read_handle(twice).header);
  const std::uint8_t first = read_handle(deep).rows[0][4];
  for (int i = 0; i < 2; ++i) ASSERT_EQ(IMG_set_lut(deep, 64, 0, nullptr, 0), 0);
  EXPECT_EQ(read_handle(deep).rows[0][4], tone(64, 0, tone(64, 0, {first}))[0]);
  EXPECT_TRUE(IMG_mediancut_color(once, nullptr, 0) == 0 && pxv::live_image(once)->saved_palette_handle == nullptr);
  const Bytes table332 = read_handle(once).header;
  ASSERT_EQ(IMG_set_lut(once, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(Bytes(pxv::live_image(once)->saved_palette, pxv::live_image(once)->saved_palette + 1024), part(table332, 40, 1024));
  EXPECT_EQ(IMG_set_lut(picture_handle(9, 3, 1), 64, 0, nullptr, 0), PXV_ERR_TYPE);
}

// The sharpening kernel over a whole image at once, as the library's comment states it.
Grid sharpen_plainly(const Grid &g, int channels, int weight) {
  Grid out = g;
  auto at = [&](int x, int y, int c) {
    x = std::clamp(x, 0, g.width - 1), y = std::clamp(y, 0, g.height - 1);
    return g.values[std::size_t((y * g.width + x) * channels + c)];
  };
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x)
      for (int c = 0; c < channels; ++c) {
        int sum = -at(x, y, c);
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) sum += at(x + dx, y + dy, c);
        const int v = at(x, y, c);
        out.values[std::size_t((y * g.width + x) * channels + c)] = std::clamp(v + (8 * v - sum) / weight, 0, 255);
      }
  return out;
}

TEST_F(Process, SharpeningInBandsIsTheKernelOverTheWholeImage) {
  for (auto [m, w8, w4] : {std::array<int, 3>{16, 15, 8}, {64, 9, 5}, {79, 9, 5}, {128, 1, 1}, {15, 17, 9}, {144, -1, 0}, {-16, -8173, -4086}}) {
    EXPECT_EQ(pxv::sharpen_weight(m, 24), w8) << m;
    EXPECT_EQ(pxv::sharpen_weight(m, 4), w4) << m;
  }
  // 24 bits, 2000 wide: bands of 3 rows, 4 of them and a short one; 4000 wide, rows too long
  // for the 32 KB rule, one row a band; a one-row image.
  for (auto [width, height] : {std::array<int, 2>{2000, 13}, {4000, 4}, {17, 1}}) {
    const int h = picture_handle(width, height, 24);
    const Grid expected = sharpen_plainly(grid(h), 3, 9);
    ASSERT_EQ(IMG_sharpen_bitmap(h, 64), 0);
    EXPECT_TRUE(grid(h) == expected) << width;
  }
  // A gray ramp table: levels are the indices, and every level has its index.
  PackedDib gray = gray_dib(23, 9, 8);
  draw_test_picture(gray);
  int h = IMG_create_handle(gray.bytes.data());
  Grid expected = sharpen_plainly(grid(h), 1, 15);
  ASSERT_EQ(IMG_sharpen_bitmap(h, 16), 0);
  EXPECT_TRUE(grid(h) == expected);
  gray.bytes[40 + 4 * 200 + 1] = 1;  // one entry not gray
  h = IMG_create_handle(gray.bytes.data());
  const Capture before = read_handle(h);
  EXPECT_TRUE(IMG_sharpen_bitmap(h, 16) == PXV_ERR_TYPE && read_handle(h).rows == before.rows);
  // 1 bit: 0 and 255, thresholded at 128.
  h = picture_handle(19, 6, 1);
  expected = grid(h);
  for (int &v : expected.values) v *= 255;
  expected = sharpen_plainly(expected, 1, 1);
  for (int &v : expected.values) v = v >= 128 ? 1 : 0;
  ASSERT_EQ(IMG_sharpen_bitmap(h, 128), 0);
  EXPECT_TRUE(grid(h) == expected);
  // Flat images change nothing; nor does the weight 0 of a 4-bit amount of 144.
  for (int bits : {1, 4, 8, 24}) {
    PackedDib flat = gray_dib(7, 5, bits);
    if (bits == 4) draw_test_picture(flat);
    const int hf = IMG_create_handle(flat.bytes.data());
    ASSERT_EQ(IMG_sharpen_bitmap(hf, bits == 4 ? 144 : 200), 0);
    EXPECT_TRUE(read_handle(hf).rows == read_handle(IMG_create_handle(flat.bytes.data())).rows) << bits;
  }
}

TEST_F(Process, To8TruncatesToThe332Palette) {
  PackedDib d = make_packed_dib(6, 1, 24);
  const std::uint8_t bgr[6][3] = {{255, 255, 255}, {0, 0, 0}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {200, 150, 100}};
  for (int x = 0; x < 6; ++x) std::copy_n(bgr[x], 3, d.row(0) + 3 * x);
  const int h = IMG_create_handle(d.bytes.data());
  ASSERT_EQ(IMG_24_to_8(h), 0);
  const Capture c = read_handle(h);
  EXPECT_TRUE(c.rows[0] == (Bytes{255, 0, 224, 28, 3, 115, 0, 0}) && pxv::get_le32(&c.header[32]) == 0);
  EXPECT_TRUE(part(c.header, 40 + 4 * 224, 4) == (Bytes{0, 0, 255, 0}) && part(c.header, 40 + 4 * 146, 4) == (Bytes{170, 145, 145, 0}));
  for (int bits : {1, 4, 8}) EXPECT_EQ(IMG_24_to_8(picture_handle(3, 3, bits)), PXV_ERR_TYPE);
}

// ---------------------------------------------------------------------------------------------
// BMP files.

// Runs an in-place file operation on a copy of `file`; answers its result and the bytes.
int in_place(const std::string &file, const std::function<int(HFILE)> &op, Bytes *after) {
  const std::string copy = file + ".rw";
  write_file(copy, read_file(file));
  const HFILE f = open_file(copy, OF_READWRITE);
  const int rc = op(f);
  _lclose(f);
  *after = read_file(copy);
  return rc;
}

FileOp flip_fd(int across, int down) {
  return [=](HFILE i, HFILE o) { return IMG_flip_bitmap_fd(i, o, across, down); };
}
FileOp resize_fd(int width, int height) {
  return [=](HFILE i, HFILE o) { return IMG_resize_bitmap_fd(i, o, width, height); };
}
// Runs a file-to-file operation from `in` into a fresh scratch file.
int run_fd(const std::string &in, const FileOp &op, Bytes *written) {
  return file_to_file(in, scratch_path("fd_out.bmp"), op, written);
}

TEST_F(Process, FileVariantsWriteWhatTheHandleOperationsMake) {
  Bytes written, after;
  for (int bits : {1, 4, 8, 24}) {
    SCOPED_TRACE(bits);
    const int h = picture_handle(13, 7, bits);
    const std::string in = save_bmp(h, "in.bmp");
    const Bytes source = read_file(in);
    // Flags of 0 or 2, and the same size, copy the file; both flags 1 turn it by 180.
    for (const FileOp &same : {flip_fd(0, 0), flip_fd(2, 2), resize_fd(13, 7)}) {
      ASSERT_EQ(run_fd(in, same, &written), 0);
      EXPECT_EQ(written, source);
    }
    ASSERT_EQ(run_fd(in, flip_fd(1, 1), &written), 0);
    ASSERT_EQ(IMG_rotate_bitmap(h, 180, nullptr, 0), 0);
    EXPECT_EQ(written, read_file(save_bmp(h, "turned.bmp")));
    // In place: a gamma of 1 changes nothing; contrast changes what the handle operation does.
    ASSERT_EQ(in_place(in, [](HFILE f) { return IMG_GammaCorrection(f, 1.0f); }, &after), bits == 1 ? PXV_ERR_TYPE : 0);
    EXPECT_EQ(after, source);
    if (bits == 1) continue;
    ASSERT_EQ(in_place(in, [](HFILE f) { return IMG_set_lut_fd(f, 40, -10); }, &after), 0);
    const int loaded = IMG_decompress_bitmap(in.c_str());
    ASSERT_EQ(IMG_set_lut(loaded, 40, -10, nullptr, 0), 0);
    EXPECT_EQ(after, read_file(save_bmp(loaded, "lut.bmp")));
  }
  // 24 to 8: width 5 makes rows of 8 bytes from offset 1078; the file is the handle operation's.
  const int h = picture_handle(5, 3, 24);
  ASSERT_EQ(run_fd(save_bmp(h, "in5.bmp"), IMG_24_to_8_fd, &written), 0);
  ASSERT_EQ(IMG_24_to_8(h), 0);
  EXPECT_EQ(written, read_file(save_bmp(h, "to8.bmp")));
  EXPECT_TRUE(pxv::get_le32(&written[10]) == 1078 && written.size() == 1078u + 3 * 8);
}

// The colour and processing file variants share one reading of the headers.
TEST_F(Process, FileVariantsRefuseBeforeWriting) {
  static const PALETTEENTRY host[16] = {};
  const FileOp dither = [](HFILE i, HFILE o) { return IMG_dither_to_palette_fd(i, o, host); };
  const std::string in = save_bmp(picture_handle(6, 4, 8), "fd8.bmp"), bad = scratch_path("bad.bmp");
  const Bytes good = read_file(in);
  Bytes written, dithered, after;
  struct Case {
    int at, bytes;
    std::uint32_t value;
    int flip, tone;  // the results of the mirror (any header size), the tone and dither variants (40 only)
  };
  // Field offsets in the file: data offset 10, biSize 14, width 18, height 22, bit count 28,
  // compression 30, colours used 46.
  for (const Case &k : {Case{14, 4, 108, PXV_ERR_DATA, PXV_ERR_TYPE}, Case{14, 4, 12, PXV_ERR_TYPE, PXV_ERR_TYPE}, Case{30, 4, 1, PXV_ERR_TYPE, PXV_ERR_TYPE},
                        Case{22, 4, 0xFFFFFFFCu, PXV_ERR_TYPE, PXV_ERR_TYPE}, Case{28, 2, 16, PXV_ERR_TYPE, PXV_ERR_TYPE}, Case{10, 4, 1077, PXV_ERR_DATA, PXV_ERR_DATA},
                        Case{10, 4, 54, PXV_ERR_DATA, PXV_ERR_DATA}, Case{18, 4, 0, PXV_ERR_DATA, PXV_ERR_DATA}, Case{46, 4, 257, PXV_ERR_DATA, PXV_ERR_DATA},
                        Case{18, 4, 0x7FFFFFFF, PXV_ERR_DATA, PXV_ERR_DATA}, Case{10, 4, 0x10000000, 0, 0}}) {
    const Bytes b = with_field(good, k.at, k.bytes, k.value);
    write_file(bad, b);
    EXPECT_EQ(run_fd(bad, flip_fd(1, 0), &written), k.flip) << k.at;
    EXPECT_EQ(in_place(bad, [](HFILE f) { return IMG_set_lut_fd(f, 30, 0); }, &after), k.tone) << k.at;
    EXPECT_EQ(run_fd(bad, dither, &dithered), k.tone) << k.at;
    EXPECT_TRUE(written.empty() && dithered.empty() && after == b) << k.at;
  }
  write_file(bad, with_field(good, 28, 2, 1));
  EXPECT_EQ(run_fd(bad, dither, &dithered), PXV_ERR_TYPE) << "1 bit";
  // Headers cut short answer 0, a size below 1 and a gamma not above 0 answer -6: nothing written.
  for (std::size_t n : {10, 30, 50, 300}) {
    write_file(bad, part(good, 0, n));
    EXPECT_EQ(run_fd(bad, resize_fd(3, 3), &written), 0) << n;
    EXPECT_EQ(run_fd(bad, dither, &dithered), 0) << n;
    EXPECT_TRUE(written.empty() && dithered.empty()) << n;
  }
  EXPECT_EQ(run_fd(in, resize_fd(0, 3), &written), PXV_ERR_TYPE);
  for (float gamma : {0.0f, -1.0f, NAN, INFINITY})
    EXPECT_TRUE(in_place(in, [gamma](HFILE f) { return IMG_GammaCorrection(f, gamma); }, &after) == PXV_ERR_TYPE && after == good);
  // A gap between the table and the data: a mirror copies it, a resize writes zeros there and
  // works the file size and biSizeImage out again.
  Bytes gap = good;
  gap.insert(gap.begin() + 1078, 6, 0xEE);
  pxv::put_le32(&gap[10], 1084);
  pxv::put_le32(&gap[2], 0);
  pxv::put_le32(&gap[34], 0);
  write_file(bad, gap);
  ASSERT_EQ(run_fd(bad, flip_fd(0, 0), &written), 0);
  EXPECT_EQ(written, gap);
  ASSERT_EQ(run_fd(bad, resize_fd(6, 4), &written), 0);
  std::fill_n(gap.begin() + 1078, 6, 0);
  pxv::put_le32(&gap[2], 1084 + 32);
  pxv::put_le32(&gap[34], 32);
  EXPECT_EQ(written, gap);
  // A truncated file: rows in place are written back only as far as they were read.
  const Bytes deep = read_file(save_bmp(picture_handle(6, 4, 24), "fd24.bmp"));
  write_file(bad, part(deep, 0, deep.size() - 5));
  ASSERT_EQ(in_place(bad, [](HFILE f) { return IMG_GammaCorrection(f, 2.0f); }, &after), 0);
  EXPECT_EQ(after.size(), deep.size() - 5);
}

}  // namespace
}  // namespace pxv_test
