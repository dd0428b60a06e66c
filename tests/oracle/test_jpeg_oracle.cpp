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
#include "support/peers.h"

using namespace pxv_test;

namespace {

constexpr const char *kHelperSource = R"(
#include <stdio.h>
#include <stdlib.h>
#include <jpeglib.h>
/* Writes the decoded component planes as a PPM (Y, Cb, Cr) or PGM, without colour conversion and
   with chroma replicated. */
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
  fprintf(out, "P%d\n%u %u\n255\n", d.output_components == 3 ? 6 : 5, d.output_width, d.output_height);
  JSAMPROW row = malloc(d.output_width * d.output_components);
  while (d.output_scanline < d.output_height) {
    jpeg_read_scanlines(&d, &row, 1);
    fwrite(row, d.output_components, d.output_width, out);
  }
  jpeg_finish_decompress(&d);
  return fclose(out);
}
)";

// libjpeg's planes of a file (gray ones widened to three equal samples); false when no compiler
// or libjpeg headers are at hand.
bool decode_planes(const std::string &jpeg, Rgb *planes) {
  static const std::string helper = [] {
    const std::string src = scratch_path("planes.c"), exe = scratch_path("planes");
    write_file(src, Bytes(kHelperSource, kHelperSource + std::strlen(kHelperSource)));
    return run("cc -O1 -o " + exe + " " + src + " -ljpeg") ? exe : "";
  }();
  return !helper.empty() && peer_decode(helper + " {in} {out}", jpeg, planes);
}

int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// The library's colour constants applied to libjpeg's planes: blue, green, red per pixel (or
// the gray value thrice). Luma below 1 and chroma below -127 are what the library's inverse
// transform cannot produce.
Bytes expected_bgr(const Rgb &p, bool gray) {
  Bytes out;
  for (std::size_t i = 0; i < p.pixels.size(); i += 3) {
    const int y = clamp(p.pixels[i], 1, 255);
    const int cb = gray ? 0 : clamp(p.pixels[i + 1] - 128, -127, 127), cr = gray ? 0 : clamp(p.pixels[i + 2] - 128, -127, 127);
    out.push_back(std::uint8_t(clamp(y + ((1984 * cb) >> 10), 0, 255)));
    out.push_back(std::uint8_t(clamp(y - ((386 * cb) >> 10) - ((567 * cr) >> 10), 0, 255)));
    out.push_back(std::uint8_t(clamp(y + ((1113 * cr) >> 10), 0, 255)));
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

// The largest and the mean difference of two byte arrays.
std::pair<int, double> error(const Bytes &a, const Bytes &b) {
  int max = 0;
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    max = std::max(max, std::abs(a[i] - b[i]));
    sum += std::abs(a[i] - b[i]);
  }
  return {max, a.empty() ? 0 : sum / double(a.size())};
}

// A picture with smooth gradients, hard edges and fine detail, as a DIB (blue, green, red; or
// gray through a gray table); `bgr` gets its pixels top row first, gray ones thrice.
PackedDib test_picture(int w, int h, bool gray, Bytes *bgr) {
  PackedDib d = make_packed_dib(w, h, gray ? 8 : 24);
  for (int i = 0; gray && i < 256; ++i) std::memset(&d.bytes[40 + 4 * i], i, 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool box = (x / 9 + y / 7) % 3 == 0;
      const int r = box ? 230 : x * 255 / std::max(w - 1, 1), g = y * 255 / std::max(h - 1, 1);
      const int b = box ? 20 : int(128 + 100 * std::sin(x * 0.3 + y * 0.2));
      std::uint8_t *px = d.row(h - 1 - y) + (gray ? x : 3 * x);
      if (gray) {
        *px = std::uint8_t((r * 3 + g * 5 + b * 2) / 10);
        bgr->insert(bgr->end(), 3, *px);
      } else {
        px[0] = std::uint8_t(b), px[1] = std::uint8_t(g), px[2] = std::uint8_t(r);
        bgr->insert(bgr->end(), px, px + 3);
      }
    }
  return d;
}

struct CjpegCase {
  const char *name;
  int width, height;
  const char *options;
};

class JpegFromCjpeg : public ::testing::TestWithParam<CjpegCase> {};

}  // namespace

TEST_P(JpegFromCjpeg, DecodesToTheLibrarysArithmeticOverLibjpegsPlanes) {
  Rgb planes;
  if (!have_program("cjpeg")) GTEST_SKIP() << "cjpeg missing";
  const CjpegCase &c = GetParam();
  const bool gray = std::strstr(c.options, "-grayscale") != nullptr;
  const std::string jpg = scratch_path(std::string(c.name) + ".jpg");
  Bytes bgr;
  test_picture(c.width, c.height, false, &bgr);
  Rgb rgb{c.width, c.height, bgr};
  for (std::size_t i = 0; i < bgr.size(); i += 3) std::swap(rgb.pixels[i], rgb.pixels[i + 2]);
  write_ppm(jpg + ".ppm", rgb);
  ASSERT_TRUE(run(std::string("cjpeg ") + c.options + " -outfile " + jpg + " " + jpg + ".ppm"));
  Bytes file = read_file(jpg);
  // APP and COM segments right after SOI: an EXIF-like APP1, a comment, an APP13.
  const Bytes extra{0xFF, 0xE1, 0, 8, 'E', 'x', 'i', 'f', 0, 0, 0xFF, 0xFE, 0, 5, 'h', 'i', '!', 0xFF, 0xED, 0, 2};
  file.insert(file.begin() + 2, extra.begin(), extra.end());
  write_file(jpg, file);

  const Decoded decoded = decode_jpeg(file);
  ASSERT_EQ(decoded.result, 0);
  ASSERT_EQ(decoded.width, c.width);
  ASSERT_EQ(decoded.height, c.height);
  ASSERT_EQ(decoded.bits, gray ? 8 : 24);
  ASSERT_TRUE(decode_planes(jpg, &planes));
  // The two inverse transforms differ by a level or two; the colour constants scale a chroma
  // difference by up to 2.
  const auto [max, mean] = error(decoded_bgr(decoded), expected_bgr(planes, gray));
  EXPECT_LE(max, gray ? 2 : 6);
  EXPECT_LT(mean, 0.6);
  Rgb by_djpeg;
  if (gray && peer_decode("djpeg -pnm -outfile {out} {in}", jpg, &by_djpeg))
    EXPECT_LE(error(decoded_bgr(decoded), by_djpeg.pixels).first, 2) << "djpeg's own gray decode";
}

INSTANTIATE_TEST_SUITE_P(
    Files, JpegFromCjpeg,
    ::testing::Values(
        CjpegCase{"gray", 61, 37, "-grayscale -quality 90"}, CjpegCase{"gray_restart", 45, 20, "-grayscale -restart 1B"},
        CjpegCase{"h1v1", 61, 37, "-sample 1x1 -quality 90"}, CjpegCase{"h2v1", 61, 37, "-sample 2x1"},
        CjpegCase{"h2v2", 61, 37, "-sample 2x2"}, CjpegCase{"h2v2_odd", 17, 13, "-sample 2x2 -quality 95"},
        CjpegCase{"h2v2_restart_row", 61, 37, "-sample 2x2 -restart 1"},
        CjpegCase{"h2v1_restart_3", 61, 37, "-sample 2x1 -restart 3B"},
        CjpegCase{"h2v2_restart_ends_at_eoi", 32, 32, "-sample 2x2 -restart 2B"},
        CjpegCase{"h1v1_q100", 33, 9, "-sample 1x1 -quality 100"},
        CjpegCase{"h2v2_optimized", 100, 75, "-sample 2x2 -optimize"}, CjpegCase{"pixel", 1, 1, "-sample 2x2"}),
    [](const ::testing::TestParamInfo<CjpegCase> &info) { return std::string(info.param.name); });

TEST(JpegWriterOracle, FilesAreValidJfifForDjpegAndPillowAndReadBackClose) {
  struct Size {
    int w, h;
    bool gray;
  };
  // Quality levels: 0 (finest) .. 100 (coarsest). The PSNR floors leave a margin below what the
  // library's own round trip gives. Colour loses more by design: luma weights that add up to
  // 0.976 (white comes back as 248), decoder constants that are not the encoder's inverse, and
  // 2 x 1 chroma taken by dropping every other sample, which the picture's hard edges punish.
  std::vector<std::string> files;
  std::vector<Rgb> sizes;
  for (const Size s : {Size{61, 37, false}, Size{17, 9, false}, Size{47, 33, true}, Size{1, 1, false}}) {
    for (int level : {0, 5, 10, 25, 50, 100}) {
      IMGLOW_set_comp_quality(level);
      Bytes bgr;
      PackedDib d = test_picture(s.w, s.h, s.gray, &bgr);
      const Bytes f = save_jpeg(d);
      ASSERT_FALSE(f.empty());
      files.push_back(scratch_path("ours" + std::to_string(files.size()) + ".jpg"));
      sizes.push_back({s.w, s.h, {}});
      write_file(files.back(), f);
      const Decoded back = decode_jpeg(f);
      ASSERT_EQ(back.result, 0);
      const Bytes got = decoded_bgr(back);
      const double db = psnr(got, bgr);
      std::printf("[ psnr ] %dx%d %s level %3d: %.2f dB, %zu bytes\n", s.w, s.h, s.gray ? "gray" : "colour", level, db,
                  f.size());
      const double floor = s.gray ? (level == 0 ? 45.0 : level <= 10 ? 28.0 : 20.0)
                                  : (level == 0 ? 19.0 : level <= 10 ? 15.0 : 11.0);
      if (s.w > 1) EXPECT_GT(db, floor) << s.w << "x" << s.h << " level " << level;
      // libjpeg parses the same coefficients: its planes under the library's constants match.
      Rgb planes;
      if (decode_planes(files.back(), &planes)) EXPECT_LE(error(got, expected_bgr(planes, s.gray)).first, s.gray ? 2 : 6);
    }
  }
  for (const std::string &reader : {std::string("djpeg -pnm -outfile {out} {in}"), kPillow}) {
    std::vector<Rgb> decoded;
    ASSERT_TRUE(peer_decode_all(reader, files, &decoded)) << reader;
    for (std::size_t i = 0; i < files.size(); ++i)
      EXPECT_TRUE(decoded[i].width == sizes[i].width && decoded[i].height == sizes[i].height) << files[i] << " " << reader;
  }
}
