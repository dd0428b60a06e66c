// The JPEG reader against libjpeg-turbo on files that cjpeg made, and the writer's files read by
// djpeg, Pillow and our own reader.
//
// How colour files are compared: the library converts YCbCr with its own constants, not JFIF's,
// so an RGB decode by a JFIF decoder differs by design. A small helper, compiled here against
// libjpeg, asks libjpeg for the decoded YCbCr planes themselves (out_color_space JCS_YCbCr, so no
// colour conversion) with do_fancy_upsampling off (so chroma is replicated, as this library
// widens it) and the accurate integer IDCT; the library's constants are then applied to those
// planes. What remains is the difference of the two inverse transforms, a level or two per
// sample, which the colour constants may double. Pillow's draft('YCbCr') gives the planes too, but
// with fancy (interpolated) chroma upsampling, which differs at every chroma edge.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "support/jpeg_support.h"

using namespace pxv_test;

namespace {

constexpr const char *kHelperSource = R"(
#include <stdio.h>
#include <stdlib.h>
#include <jpeglib.h>
/* Writes "w h n" and then the n decoded component planes, interleaved per pixel, without colour
   conversion and with chroma replicated. */
int main(int argc, char **argv) {
  struct jpeg_decompress_struct d; struct jpeg_error_mgr e;
  FILE *in = fopen(argv[1], "rb"), *out = fopen(argv[2], "wb");
  if (!in || !out) return 1;
  d.err = jpeg_std_error(&e);
  jpeg_create_decompress(&d);
  jpeg_stdio_src(&d, in);
  jpeg_read_header(&d, TRUE);
  d.out_color_space = d.num_components == 3 ? JCS_YCbCr : JCS_GRAYSCALE;
  d.do_fancy_upsampling = FALSE;
  d.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&d);
  fprintf(out, "%u %u %d\n", d.output_width, d.output_height, d.output_components);
  JSAMPROW row = malloc(d.output_width * d.output_components);
  while (d.output_scanline < d.output_height) {
    jpeg_read_scanlines(&d, &row, 1);
    fwrite(row, d.output_components, d.output_width, out);
  }
  jpeg_finish_decompress(&d);
  fclose(out);
  return 0;
}
)";

// The compiled helper, or "" when no compiler or libjpeg headers are at hand.
const std::string &helper() {
  static std::string path;
  static bool tried = false;
  if (!tried) {
    tried = true;
    const std::string src = scratch_path("planes.c"), exe = scratch_path("planes");
    write_file(src, Bytes(kHelperSource, kHelperSource + std::strlen(kHelperSource)));
    if (run("cc -O1 -o " + exe + " " + src + " -ljpeg 2>/dev/null")) path = exe;
  }
  return path;
}

struct Planes {
  int width = 0, height = 0, components = 0;
  Bytes samples;
};

bool decode_planes(const std::string &jpeg, Planes *p) {
  const std::string out = scratch_path("planes.out");
  if (helper().empty() || !run(helper() + " " + jpeg + " " + out)) return false;
  const Bytes b = read_file(out);
  int consumed = 0;
  if (std::sscanf(reinterpret_cast<const char *>(b.data()), "%d %d %d\n%n", &p->width, &p->height,
                  &p->components, &consumed) != 3)
    return false;
  p->samples.assign(b.begin() + consumed, b.end());
  return p->samples.size() == static_cast<std::size_t>(p->width) * p->height * p->components;
}

int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// The library's colour constants applied to libjpeg's planes: blue, green, red per pixel (or
// the gray value thrice). Luma below 1 and chroma below -127 are what the library's inverse
// transform cannot produce.
Bytes expected_bgr(const Planes &p) {
  Bytes out;
  const std::size_t n = static_cast<std::size_t>(p.width) * p.height;
  for (std::size_t i = 0; i < n; ++i) {
    if (p.components == 1) {
      const auto g = static_cast<std::uint8_t>(clamp(p.samples[i], 1, 255));
      out.insert(out.end(), {g, g, g});
      continue;
    }
    const int y = clamp(p.samples[3 * i], 1, 255);
    const int cb = clamp(p.samples[3 * i + 1] - 128, -127, 127), cr = clamp(p.samples[3 * i + 2] - 128, -127, 127);
    out.push_back(static_cast<std::uint8_t>(clamp(y + ((1984 * cb) >> 10), 0, 255)));
    out.push_back(static_cast<std::uint8_t>(clamp(y - ((386 * cb) >> 10) - ((567 * cr) >> 10), 0, 255)));
    out.push_back(static_cast<std::uint8_t>(clamp(y + ((1113 * cr) >> 10), 0, 255)));
  }
  return out;
}

Bytes decoded_bgr(const Decoded &d) {
  Bytes out;
  for (int y = 0; y < d.height; ++y)
    for (int x = 0; x < d.width; ++x) {
      std::uint8_t bgr[3];
      d.pixel(x, y, bgr);
      out.insert(out.end(), bgr, bgr + 3);
    }
  return out;
}

struct Error {
  int max = 0;
  double mean = 0;
};

Error compare(const Bytes &a, const Bytes &b) {
  Error e;
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int d = std::abs(a[i] - b[i]);
    e.max = std::max(e.max, d);
    sum += d;
  }
  e.mean = a.empty() ? 0 : sum / static_cast<double>(a.size());
  return e;
}

// A picture with smooth gradients, hard edges and fine detail; RGB, top row first.
Bytes test_picture(int w, int h) {
  Bytes rgb;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool box = (x / 9 + y / 7) % 3 == 0;
      rgb.push_back(static_cast<std::uint8_t>(box ? 230 : x * 255 / std::max(w - 1, 1)));
      rgb.push_back(static_cast<std::uint8_t>(y * 255 / std::max(h - 1, 1)));
      rgb.push_back(static_cast<std::uint8_t>(box ? 20 : (128 + 100 * std::sin(x * 0.3 + y * 0.2))));
    }
  return rgb;
}

void write_pnm(const std::string &path, int w, int h, const Bytes &rgb, bool gray) {
  std::string head = std::string(gray ? "P5" : "P6") + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  Bytes b(head.begin(), head.end());
  for (std::size_t i = 0; i < rgb.size(); i += 3) {
    if (gray)
      b.push_back(static_cast<std::uint8_t>((rgb[i] * 3 + rgb[i + 1] * 5 + rgb[i + 2] * 2) / 10));
    else
      b.insert(b.end(), rgb.begin() + static_cast<std::ptrdiff_t>(i), rgb.begin() + static_cast<std::ptrdiff_t>(i) + 3);
  }
  write_file(path, b);
}

struct CjpegCase {
  const char *name;
  int width, height;
  const char *options;
  bool gray;
};

class JpegFromCjpeg : public ::testing::TestWithParam<CjpegCase> {};

}  // namespace

TEST_P(JpegFromCjpeg, DecodesToTheLibrarysArithmeticOverLibjpegsPlanes) {
  if (!have_program("cjpeg") || helper().empty()) GTEST_SKIP() << "cjpeg or libjpeg headers missing";
  const CjpegCase &c = GetParam();
  const std::string pnm = scratch_path(std::string(c.name) + (c.gray ? ".pgm" : ".ppm"));
  const std::string jpg = scratch_path(std::string(c.name) + ".jpg");
  write_pnm(pnm, c.width, c.height, test_picture(c.width, c.height), c.gray);
  ASSERT_TRUE(run(std::string("cjpeg ") + c.options + " -outfile " + jpg + " " + pnm));
  Bytes file = read_file(jpg);
  // APP and COM segments right after SOI: an EXIF-like APP1, a comment, an APP13.
  const Bytes extra{0xFF, 0xE1, 0, 8, 'E', 'x', 'i', 'f', 0, 0, 0xFF, 0xFE, 0, 5, 'h', 'i', '!',
                    0xFF, 0xED, 0, 2};
  file.insert(file.begin() + 2, extra.begin(), extra.end());
  write_file(jpg, file);

  const Decoded d = decode_jpeg(file);
  ASSERT_EQ(d.result, 0);
  ASSERT_EQ(d.width, c.width);
  ASSERT_EQ(d.height, c.height);
  ASSERT_EQ(d.bits, c.gray ? 8 : 24);
  Planes p;
  ASSERT_TRUE(decode_planes(jpg, &p));
  const Error e = compare(decoded_bgr(d), expected_bgr(p));
  RecordProperty("max_error", e.max);
  // The two inverse transforms differ by a level or two; the colour constants scale a chroma
  // difference by up to 2.
  EXPECT_LE(e.max, c.gray ? 2 : 6) << c.name;
  EXPECT_LT(e.mean, 0.6) << c.name;

  if (c.gray) {
    // And against djpeg's own gray decode.
    const std::string pgm = scratch_path(std::string(c.name) + ".out.pgm");
    ASSERT_TRUE(run("djpeg -pnm -outfile " + pgm + " " + jpg));
    Rgb ref;
    ASSERT_TRUE(read_pnm(pgm, &ref));
    const Error g = compare(decoded_bgr(d), ref.pixels);
    EXPECT_LE(g.max, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, JpegFromCjpeg,
    ::testing::Values(CjpegCase{"gray", 61, 37, "-grayscale -quality 90", true},
                      CjpegCase{"gray_restart", 45, 20, "-grayscale -restart 1B", true},
                      CjpegCase{"h1v1", 61, 37, "-sample 1x1 -quality 90", false},
                      CjpegCase{"h2v1", 61, 37, "-sample 2x1", false},
                      CjpegCase{"h2v2", 61, 37, "-sample 2x2", false},
                      CjpegCase{"h2v2_odd", 17, 13, "-sample 2x2 -quality 95", false},
                      CjpegCase{"h2v2_restart_row", 61, 37, "-sample 2x2 -restart 1", false},
                      CjpegCase{"h2v1_restart_3", 61, 37, "-sample 2x1 -restart 3B", false},
                      CjpegCase{"h2v2_restart_ends_at_eoi", 32, 32, "-sample 2x2 -restart 2B", false},
                      CjpegCase{"h1v1_q100", 33, 9, "-sample 1x1 -quality 100", false},
                      CjpegCase{"h2v2_optimized", 100, 75, "-sample 2x2 -optimize", false},
                      CjpegCase{"pixel", 1, 1, "-sample 2x2", false}),
    [](const ::testing::TestParamInfo<CjpegCase> &info) { return std::string(info.param.name); });

namespace {

// An image to save: 24-bit or gray 8-bit, the test picture in DIB layout.
PackedDib picture_dib(int w, int h, bool gray) {
  PackedDib d = make_packed_dib(w, h, gray ? 8 : 24);
  if (gray)
    for (int i = 0; i < 256; ++i) d.bytes[40 + 4 * i] = d.bytes[41 + 4 * i] = d.bytes[42 + 4 * i] = static_cast<std::uint8_t>(i);
  const Bytes rgb = test_picture(w, h);
  for (int y = 0; y < h; ++y) {
    std::uint8_t *row = d.row(h - 1 - y);
    for (int x = 0; x < w; ++x) {
      const std::uint8_t *p = rgb.data() + 3 * (static_cast<std::size_t>(y) * w + x);
      if (gray) {
        row[x] = static_cast<std::uint8_t>((p[0] * 3 + p[1] * 5 + p[2] * 2) / 10);
      } else {
        row[3 * x] = p[2];
        row[3 * x + 1] = p[1];
        row[3 * x + 2] = p[0];
      }
    }
  }
  return d;
}

Bytes dib_bgr(PackedDib &d) {
  Bytes out;
  for (int y = 0; y < d.height; ++y)
    for (int x = 0; x < d.width; ++x) {
      const std::uint8_t *row = d.row(d.height - 1 - y);
      if (d.bits == 8)
        out.insert(out.end(), {row[x], row[x], row[x]});
      else
        out.insert(out.end(), row + 3 * x, row + 3 * x + 3);
    }
  return out;
}

}  // namespace

TEST(JpegWriterOracle, FilesAreValidJfifForDjpegAndPillowAndReadBackClose) {
  if (!have_program("djpeg")) GTEST_SKIP() << "djpeg missing";
  struct Size {
    int w, h;
    bool gray;
  };
  // Quality levels: 0 (finest) .. 100 (coarsest). The PSNR floors leave a margin below what the
  // library's own round trip gives. Colour loses more by design: luma weights that add up to
  // 0.976 (white comes back as 248), decoder constants that are not the encoder's inverse, and
  // 2 x 1 chroma taken by dropping every other sample, which the picture's hard edges punish.
  const int levels[] = {0, 5, 10, 25, 50, 100};
  for (const Size s : {Size{61, 37, false}, Size{17, 9, false}, Size{47, 33, true}, Size{1, 1, false}}) {
    for (int level : levels) {
      IMGLOW_set_comp_quality(level);
      PackedDib d = picture_dib(s.w, s.h, s.gray);
      const Bytes f = save_jpeg(d);
      ASSERT_FALSE(f.empty());
      const std::string jpg = scratch_path("ours.jpg"), out = scratch_path("ours.pnm");
      write_file(jpg, f);
      ASSERT_TRUE(run("djpeg -pnm -outfile " + out + " " + jpg)) << s.w << "x" << s.h << " level " << level;
      Rgb ref;
      ASSERT_TRUE(read_pnm(out, &ref));
      EXPECT_EQ(ref.width, s.w);
      EXPECT_EQ(ref.height, s.h);
      ASSERT_TRUE(run(pillow_python() + " -c \"from PIL import Image; im = Image.open('" + jpg +
                      "'); im.load(); assert im.size == (" + std::to_string(s.w) + ", " + std::to_string(s.h) +
                      "), im.size\""));
      const Decoded back = decode_jpeg(f);
      ASSERT_EQ(back.result, 0);
      const Bytes got = decoded_bgr(back);
      const double db = psnr(got, dib_bgr(d));
      std::printf("[ psnr ] %dx%d %s level %3d: %.2f dB, %zu bytes\n", s.w, s.h, s.gray ? "gray" : "colour", level, db,
                  f.size());
      const double floor = s.gray ? (level == 0 ? 45.0 : level <= 10 ? 28.0 : 20.0)
                                  : (level == 0 ? 19.0 : level <= 10 ? 15.0 : 11.0);
      if (s.w > 1) EXPECT_GT(db, floor) << s.w << "x" << s.h << " level " << level;
      // libjpeg parses the same coefficients: its planes under the library's constants match.
      Planes p;
      if (decode_planes(jpg, &p)) {
        const Error e = compare(got, expected_bgr(p));
        EXPECT_LE(e.max, s.gray ? 2 : 6) << s.w << "x" << s.h << " level " << level;
      }
    }
  }
}
