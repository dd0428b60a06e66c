// Colour reduction and dithering: what every operation refuses and what its frame leaves behind,
// the values each rule gives on plain images, the diffusions and the nearest-colour search set
// beside plain transcriptions on random images, and the bytes of the BMP-to-BMP variant.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>
#include <vector>

#include "color/dither.h"
#include "core/bytes.h"
#include "core/image.h"
#include "core/img_util.h"
#include "output/color_raster.h"
#include "platform/testing.h"
#include "support.h"

namespace pxv_test {
namespace {

// Entry i differs in every channel, and entries 5 and 9 share their top nibbles.
std::array<PALETTEENTRY, 256> host_palette() {
  std::array<PALETTEENTRY, 256> p{};
  for (int i = 0; i < 256; ++i)
    p[i] = {std::uint8_t(i * 37), std::uint8_t(255 - i * 11), std::uint8_t(i * 91 + 7), 0};
  p[5] = {0x41, 0x82, 0xC3, 0};
  p[9] = {0x4E, 0x8D, 0xCF, 0};
  return p;
}
const std::array<PALETTEENTRY, 256> kHost = host_palette();

struct Op {
  const char *name;
  bool palette_sources;  // takes 4 and 8 bits besides 24
  int bits;              // of the result
  bool reports;          // takes a progress callback
  std::function<int(int, PXV_PROGRESS_PROC, LONG)> run;
};

const std::vector<Op> kOps = {
    {"mediancut", true, 8, true, IMG_mediancut_color},
    {"popularity", false, 8, true, IMG_popularity_color},
    {"gray", true, 8, true, IMG_color_gray},
    {"map", false, 8, false, [](int h, PXV_PROGRESS_PROC, LONG) { return IMG_map_to_palette(h, kHost.data()); }},
    {"bayer_mono", true, 1, true, IMG_bayer_mono},
    {"halftone_mono", true, 1, true, IMG_halftone_mono},
    {"diffusion_mono", true, 1, true, IMG_diffusion_mono},
    {"bayer_color", true, 4, true, IMG_bayer_color},
    {"diffusion_color", true, 4, true, IMG_diffusion_color},
    {"dither_to_palette", true, 4, false, [](int h, PXV_PROGRESS_PROC, LONG) { return IMG_dither_to_palette(h, kHost.data()); }},
};

// A 24-bit handle of one colour.
int solid(int width, int height, int red, int green, int blue) {
  PackedDib d = make_packed_dib(width, height, 24);
  for (int r = 0; r < height; ++r)
    for (int x = 0; x < width; ++x)
      d.row(r)[3 * x] = std::uint8_t(blue), d.row(r)[3 * x + 1] = std::uint8_t(green), d.row(r)[3 * x + 2] = std::uint8_t(red);
  return IMG_create_handle(d.bytes.data());
}

// Random pixels (and for palette images random indices into make_packed_dib's table).
int noise(int width, int height, int bits, std::uint32_t seed) {
  PackedDib d = make_packed_dib(width, height, bits);
  for (int r = 0; r < height; ++r)
    for (int b = 0; b < d.row_bytes(); ++b) d.row(r)[b] = std::uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
  return IMG_create_handle(d.bytes.data());
}

// Colour-table entry i of a result as (red, green, blue).
std::array<int, 3> entry(const Capture &c, int i) { return {c.header[40 + 4 * i + 2], c.header[40 + 4 * i + 1], c.header[40 + 4 * i]}; }

// Runs an operation that is expected to refuse, and checks that nothing changed.
void expect_refused(const Op &op, int handle, int code) {
  const Capture before = read_handle(handle);
  EXPECT_EQ(op.run(handle, record_progress, 0), code) << op.name;
  EXPECT_TRUE(read_handle(handle) == before) << op.name;
}

using Color = HandleTest;

TEST_F(Color, RefusalsLeaveTheImageAsItWas) {
  for (const Op &op : kOps) {
    expect_refused(op, picture_handle(9, 4, 1), PXV_ERR_TYPE);
    for (int bits : {4, 8})
      if (!op.palette_sources) expect_refused(op, picture_handle(9, 4, bits), PXV_ERR_TYPE);
    EXPECT_EQ(op.run(77, nullptr, 0), PXV_ERR_HANDLE) << op.name;
  }
  const int live = picture_handle(9, 4, 24);
  EXPECT_EQ((std::vector<int>{IMG_map_to_palette(live, nullptr), IMG_dither_to_palette(live, nullptr), IMG_map_to_palette(live + 5, nullptr),
                              IMG_dither_to_palette_fd(HFILE_ERROR, HFILE_ERROR, nullptr)}),
            (std::vector<int>{PXV_ERR_TYPE, PXV_ERR_TYPE, PXV_ERR_HANDLE, PXV_ERR_TYPE}));
}

TEST_F(Color, TheFrameReplacesTheDibAndKeepsTheRest) {
  for (const Op &op : kOps) {
    SCOPED_TRACE(op.name);
    const int h = picture_handle(13, 5, op.palette_sources ? 8 : 24);
    IMG_set_croprect(h, 1, 2, 5, 3);
    // A saved palette, as the tone operations leave one: it goes with the old colours.
    const std::size_t blocks = pxv_platform::live_blocks();
    pxv::image_object *image = pxv::live_image(h);
    image->saved_palette_handle = GlobalAlloc(GMEM_MOVEABLE, 1024);
    image->saved_palette = static_cast<std::uint8_t *>(GlobalLock(image->saved_palette_handle));
    const Capture before = read_handle(h);
    progress_calls.clear();
    ASSERT_EQ(op.run(h, record_progress, 77), 0);
    EXPECT_TRUE(pxv_platform::live_blocks() == blocks && pxv::img_work_blocks_in_use() == 0);
    EXPECT_TRUE(image->saved_palette_handle == nullptr && image->saved_palette == nullptr && image->dib == nullptr);
    const Capture c = read_handle(h);
    const int row_bytes = pxv::size_for_long(13, op.bits);
    EXPECT_EQ(image->row_bytes, row_bytes);
    // The old header (size, planes, resolution) with the new bit count and image size, and no
    // counts of colours.
    Bytes head = with_field(with_field(part(before.header, 0, 40), 14, 2, op.bits), 20, 4, row_bytes * 5);
    std::fill_n(&head[32], 8, 0);
    EXPECT_TRUE(part(c.header, 0, 40) == head && c.header.size() == 40u + (4u << op.bits));
    if (op.bits == 1) {
      EXPECT_EQ(part(c.header, 40, 8), (Bytes{0, 0, 0, 0, 255, 255, 255, 0}));
    }
    EXPECT_EQ(crop_rect(h), (std::array<int, 4>{1, 2, 5, 3}));
    std::vector<std::array<LONG, 3>> expected;
    for (int r = 0; r < 5 && op.reports; ++r) expected.push_back({77, 5, r});
    EXPECT_EQ(progress_calls, expected);
    // Every row and its padding: the padding bits and nibbles after the last pixel stay 0.
    for (int r = 0; r < 5; ++r)
      for (int bit = 13 * op.bits; bit < row_bytes * 8; ++bit) EXPECT_EQ((c.rows[r][bit / 8] >> (7 - bit % 8)) & 1, 0) << r;
  }
}

TEST_F(Color, GrayAndThe332Palette) {
  // Gray: the intensity (38 red + 75 green + 14 blue) / 128, not lowered, under a gray ramp;
  // 253 for white. Palette sources go through their tables.
  for (int bits : {4, 8, 24}) {
    const int h = noise(37, 5, bits, 7 + bits);
    const Rgb before = handle_rgb(h);
    ASSERT_EQ(IMG_color_gray(h, nullptr, 0), 0);
    const Rgb after = handle_rgb(h);
    for (std::size_t i = 0; i < after.pixels.size(); i += 3) {
      const int gray = (38 * before.pixels[i] + 75 * before.pixels[i + 1] + 14 * before.pixels[i + 2]) >> 7;
      ASSERT_TRUE(after.pixels[i] == gray && after.pixels[i + 2] == gray) << bits << " bits, pixel " << i / 3;
    }
  }
  const int h = solid(3, 2, 255, 255, 255);
  EXPECT_TRUE(IMG_color_gray(h, nullptr, 0) == 0 && read_handle(h).index(2, 1) == 253);
  // The 3-3-2 table: red 3 bits, green 3, blue 2, each spread over 0..255. (The indices are the
  // diffusion's, set beside a plain one below.) One row: the look-ahead row repeats it, and one
  // row comes out.
  const int one = solid(5, 1, 128, 128, 128);
  ASSERT_EQ(IMG_mediancut_color(one, nullptr, 0), 0);
  const Capture c = read_handle(one);
  EXPECT_EQ((std::vector<std::array<int, 3>>{entry(c, 224), entry(c, 3), entry(c, 0x4A)}),
            (std::vector<std::array<int, 3>>{{255, 0, 0}, {0, 0, 255}, {72, 72, 170}}));
  EXPECT_TRUE(c.rows.size() == 1 && c.index(0, 0) == 146 && c.index(1, 0) == 109);
}

TEST_F(Color, PopularityAndHostPalettes) {
  const int one = solid(6, 4, 10, 200, 30), black = solid(6, 4, 0, 0, 0);
  ASSERT_TRUE(IMG_popularity_color(one, nullptr, 0) == 0 && IMG_popularity_color(black, nullptr, 0) == 0);
  Capture c = read_handle(one);
  EXPECT_TRUE(entry(c, 0) == (std::array<int, 3>{0, 0, 0}) && entry(c, 1) == (std::array<int, 3>{0, 192, 16}));
  for (int i = 2; i < 256; ++i) EXPECT_EQ(entry(c, i), (std::array<int, 3>{240, 240, 240})) << i;
  EXPECT_EQ(c.index(5, 3), 1);
  c = read_handle(black);
  EXPECT_TRUE(entry(c, 1) == (std::array<int, 3>{0, 0, 0}) && c.index(2, 2) == 0);
  // (Ties, the higher key first, come up all over the random image of the plain transcription.)

  // Entries 5 and 9 share their nibbles: the first wins, and the table keeps the low bits.
  const int a = solid(4, 2, 0x47, 0x88, 0xC0);
  ASSERT_EQ(IMG_map_to_palette(a, kHost.data()), 0);
  c = read_handle(a);
  EXPECT_EQ(c.index(3, 1), 5);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(entry(c, i), (std::array<int, 3>{kHost[i].peRed, kHost[i].peGreen, kHost[i].peBlue}));
}

TEST_F(Color, OrderedDithersAndThresholds) {
  using Matrix = const std::uint8_t (*)[8];
  struct Case {
    int (*run)(int, PXV_PROGRESS_PROC, LONG);
    Matrix matrix;
    int gray, white_per_block;
  };
  // A pixel is white exactly where its threshold (table row x mod 8, column r mod 8) is below
  // its gray: gray 4 meets the two 4s of the Bayer table, gray 1 the one 0 of the halftone.
  for (const Case &k : {Case{IMG_bayer_mono, pxv::bayer_matrix, 128, 32}, Case{IMG_bayer_mono, pxv::bayer_matrix, 4, 0},
                        Case{IMG_bayer_mono, pxv::bayer_matrix, 5, 2}, Case{IMG_bayer_mono, pxv::bayer_matrix, 255, 64},
                        Case{IMG_halftone_mono, pxv::halftone_matrix, 1, 1}, Case{IMG_halftone_mono, pxv::halftone_matrix, 128, 32}}) {
    const int h = solid(16, 16, k.gray, k.gray, k.gray);
    ASSERT_EQ(k.run(h, nullptr, 0), 0);
    const Capture c = read_handle(h);
    int white = 0;
    for (int r = 0; r < 16; ++r)
      for (int x = 0; x < 16; ++x) {
        EXPECT_EQ(c.index(x, r), k.matrix[x % 8][r % 8] < k.gray ? 1 : 0) << k.gray << " at " << x << "," << r;
        white += c.index(x, r);
      }
    EXPECT_EQ(white, 4 * k.white_per_block) << k.gray;
  }
  // 16 colours: white is 15 where the threshold is below 173 (the lowered luminance 213 must
  // pass threshold + 40), else 7; (200, 0, 0) is red where the threshold is below 200.
  const int white = solid(8, 8, 255, 255, 255), red = solid(8, 8, 200, 0, 0);
  ASSERT_TRUE(IMG_bayer_color(white, nullptr, 0) == 0 && IMG_bayer_color(red, nullptr, 0) == 0);
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 8; ++x)
      EXPECT_TRUE(read_handle(white).index(x, r) == (pxv::bayer_matrix[x][r] < 173 ? 15 : 7) && read_handle(red).index(x, r) == (pxv::bayer_matrix[x][r] < 200 ? 1 : 0)) << x << "," << r;
  const Capture t = read_handle(white);
  for (int i = 0, on = 128; i < 16; ++i, on = i < 8 ? 128 : 255) EXPECT_EQ(entry(t, i), (std::array<int, 3>{i & 1 ? on : 0, i & 2 ? on : 0, i & 4 ? on : 0})) << i;
}

// ---------------------------------------------------------------------------------------------
// Plain transcriptions: the whole image in one array, each pixel's error spread to the pixels
// that exist; the library's margins must never show.

struct Tap {
  int dx, dy;
  int (*part)(int);
};
const std::vector<Tap> kBurkes = {{1, 0, [](int e) { return e >> 2; }},  {2, 0, [](int e) { return e >> 3; }},
                                  {-2, 1, [](int e) { return e >> 4; }}, {-1, 1, [](int e) { return e >> 3; }},
                                  {0, 1, [](int e) { return e >> 2; }},  {1, 1, [](int e) { return e >> 3; }},
                                  {2, 1, [](int e) { return e >> 4; }}};
const std::vector<Tap> kStucki = {
    {1, 0, [](int e) { return 8 * e / 42; }}, {2, 0, [](int e) { return 4 * e / 42; }}, {-2, 1, [](int e) { return e / 21; }},
    {-1, 1, [](int e) { return 4 * e / 42; }}, {0, 1, [](int e) { return 8 * e / 42; }}, {1, 1, [](int e) { return 4 * e / 42; }},
    {2, 1, [](int e) { return e / 21; }},     {-2, 2, [](int e) { return e / 42; }},    {-1, 2, [](int e) { return e / 21; }},
    {0, 2, [](int e) { return 4 * e / 42; }}, {1, 2, [](int e) { return e / 21; }},     {2, 2, [](int e) { return e / 42; }}};

// Channels per pixel (blue, green, red; or one gray) in stored row order.
using Plane = std::vector<std::vector<int>>;
// `pick` quantises a pixel: its index, and the colour it stands for into `level`.
using Pick = std::function<int(const int *channels, int *level)>;

std::vector<std::vector<int>> diffuse(Plane px, int width, int channels, const std::vector<Tap> &taps, bool serpentine, const Pick &pick) {
  std::vector<std::vector<int>> out(px.size(), std::vector<int>(width));
  for (std::size_t r = 0; r < px.size(); ++r) {
    const bool back = serpentine && r % 2 == 1;
    for (int i = 0; i < width; ++i) {
      const int x = back ? width - 1 - i : i;
      int level[3];
      out[r][x] = pick(&px[r][x * channels], level);
      for (int c = 0; c < channels; ++c) {
        const int e = px[r][x * channels + c] - level[c];
        for (const Tap &t : taps) {
          const int tx = x + (back ? -t.dx : t.dx);
          const std::size_t ty = r + t.dy;
          if (tx >= 0 && tx < width && ty < px.size()) px[ty][tx * channels + c] += t.part(e);
        }
      }
    }
  }
  return out;
}

// A handle's pixels as blue, green, red (or gray) per pixel, stored rows first.
Plane plane(int handle, bool gray) {
  const Rgb rgb = handle_rgb(handle);
  Plane p(rgb.height);
  for (int r = 0; r < rgb.height; ++r)
    for (int x = 0; x < rgb.width; ++x) {
      const std::uint8_t *q = &rgb.pixels[(std::size_t(rgb.height - 1 - r) * rgb.width + x) * 3];
      if (gray) p[r].push_back((30 * q[0] + 59 * q[1] + 11 * q[2]) / 100);
      else p[r].insert(p[r].end(), {q[2], q[1], q[0]});
    }
  return p;
}

int nearest(const std::uint32_t *keys, std::uint32_t key) {
  int best = 1 << 30, index = 0;
  for (int i = 0; i < 256; ++i) {
    const int d[3] = {int(key >> 8) - int(keys[i] >> 8), int((key >> 4) & 15) - int((keys[i] >> 4) & 15), int(key & 15) - int(keys[i] & 15)};
    const int dist = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    if (dist < best) best = dist, index = i;
  }
  return index;
}

TEST_F(Color, DiffusionsAndNearestColoursEqualPlainTranscriptions) {
  const Pick p332 = [](const int *c, int *level) {
    auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
    const int i = (clamp(c[2]) & 0xE0) | ((clamp(c[1]) & 0xE0) >> 3) | (clamp(c[0]) >> 6);
    level[0] = (i & 3) * 85, level[1] = ((i >> 2) & 7) * 255 / 7, level[2] = (i >> 5) * 255 / 7;
    return i;
  };
  const Pick p16 = [](const int *c, int *level) {
    const int i = (c[0] > 180 ? 4 : 0) + (c[1] > 180 ? 2 : 0) + (c[2] > 180 ? 1 : 0) + (c[0] > 220 || c[1] > 220 || c[2] > 220 ? 8 : 0);
    for (int k = 0; k < 3; ++k) level[k] = (i & (4 >> k)) ? (i < 8 ? 128 : 255) : 0;
    return i;
  };
  const Pick mono = [](const int *c, int *level) { return (*level = c[0] > 127 ? 255 : 0) ? 1 : 0; };
  for (int bits : {4, 8, 24}) {
    SCOPED_TRACE(bits);
    const int width = 37, height = 11;
    const int source = noise(width, height, bits, 99 + bits);
    const Plane colours = plane(source, false), grays = plane(source, true);
    const std::vector<std::vector<int>> expected[] = {diffuse(colours, width, 3, kBurkes, true, p332),
                                                      diffuse(colours, width, 3, kBurkes, false, p16),
                                                      diffuse(grays, width, 1, kStucki, true, mono)};
    int index = 0;
    for (auto run : {IMG_mediancut_color, IMG_diffusion_color, IMG_diffusion_mono}) {
      const int h = noise(width, height, bits, 99 + bits);
      ASSERT_EQ(run(h, nullptr, 0), 0);
      const Capture c = read_handle(h);
      for (int r = 0; r < height; ++r)
        for (int x = 0; x < width; ++x) ASSERT_EQ(c.index(x, r), expected[index][r][x]) << "kernel " << index << " at " << x << "," << r;
      ++index;
    }
  }
  // Popularity: the histogram, the selection and the nearest entry, plainly.
  const int h = noise(37, 11, 24, 3);
  const Plane colours = plane(h, false);
  std::vector<std::uint32_t> counts(4096), keys(256, 0);
  for (const auto &row : colours)
    for (std::size_t x = 0; x < row.size(); x += 3) ++counts[pxv::colour_key(row[x + 2], row[x + 1], row[x])];
  for (int i = 1; i < 256; ++i) {
    int best = 0;
    for (int k = 0; k < 4096; ++k) best = counts[k] >= counts[best] ? k : best;
    keys[i] = std::uint32_t(best);
    counts[best] = 0;
  }
  // And a host palette on a coarse grid, which repeats colours and rarely holds a pixel's own.
  PALETTEENTRY host[256];
  std::vector<std::uint32_t> host_keys(256);
  for (int i = 0; i < 256; ++i) {
    host[i] = {BYTE(i * 7 % 6 * 51), BYTE(i * 11 % 5 * 60), BYTE(i * 13 % 7 * 40), 0};
    host_keys[i] = pxv::colour_key(host[i].peRed, host[i].peGreen, host[i].peBlue);
  }
  const int mapped = noise(37, 11, 24, 3);
  ASSERT_TRUE(IMG_popularity_color(h, nullptr, 0) == 0 && IMG_map_to_palette(mapped, host) == 0);
  const Capture c = read_handle(h), m = read_handle(mapped);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(pxv::colour_key(c.header[42 + 4 * i], c.header[41 + 4 * i], c.header[40 + 4 * i]), keys[i]);
  for (int r = 0; r < 11; ++r)
    for (int x = 0; x < 37; ++x) {
      const std::uint32_t key = pxv::colour_key(colours[r][3 * x + 2], colours[r][3 * x + 1], colours[r][3 * x]);
      ASSERT_EQ(c.index(x, r), nearest(keys.data(), key));
      ASSERT_EQ(m.index(x, r), nearest(host_keys.data(), key));
    }
}

// The mono diffusion's row kernel beside the plain row the printer keeps, on random values in the
// range a diffusion meets and far past it, both ways, at widths that end mid-byte and mid-chunk:
// the same bits, and the same three rows, margins included.
TEST_F(Color, MonoDiffusionKernelEqualsThePlainRow) {
  std::mt19937 rng(11);
  for (const int width : {1, 9, 300, 517})
    for (const int spread : {512, 1 << 21})
      for (int row = 0; row < 2; ++row) {
        const int length = width + 4;
        std::vector<std::int32_t> fast(3 * length + 2), plain;
        for (std::int32_t &v : fast) v = std::int32_t(rng() % unsigned(spread)) - spread / 4;
        plain = fast;
        Bytes fast_bits((width + 7) / 8), plain_bits(fast_bits.size());
        pxv::dither_raster(fast_bits.data(), fast.data() + 2, length, row);
        std::int32_t *now = plain.data() + 2;
        pxv::diffuse_stucki_row(plain_bits.data(), now, now + length, now + 2 * length, width, row);
        ASSERT_TRUE(fast_bits == plain_bits && fast == plain) << width << " " << spread << " " << row;
      }
}

// ---------------------------------------------------------------------------------------------
// BMP file to BMP file.

// Dithers file `in` into a fresh `out`; answers the result, and the output's bytes in `written`.
int dither_file(const std::string &in, Bytes *written) {
  return file_to_file(in, in + ".out.bmp", [](HFILE fin, HFILE fout) { return IMG_dither_to_palette_fd(fin, fout, kHost.data()); }, written);
}

TEST_F(Color, FileToFileWritesTheHandleOperationsPixels) {
  const int h = noise(3, 5, 24, 11);
  const std::string in = save_bmp(h, "fd24.bmp");
  const Bytes source = read_file(in);
  Bytes out;
  ASSERT_TRUE(dither_file(in, &out) == 0 && IMG_dither_to_palette(h, kHost.data()) == 0);
  // The input's info header with 4 bits, its size, and no counts of colours, as the handle has it.
  EXPECT_EQ(out, bmp_file_header(118 + 5 * 4, 118) + read_handle(h).packed());

  // A truncated file dithers as if its missing rows were zeros.
  Bytes cut(source.begin(), source.end() - 20), padded = cut;
  padded.resize(source.size(), 0);
  write_file(scratch_path("cut.bmp"), cut);
  write_file(scratch_path("padded.bmp"), padded);
  Bytes from_cut, from_padded;
  EXPECT_TRUE(dither_file(scratch_path("cut.bmp"), &from_cut) == 0 && dither_file(scratch_path("padded.bmp"), &from_padded) == 0 && from_cut == from_padded);
}

}  // namespace
}  // namespace pxv_test
