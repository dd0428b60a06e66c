// The JPEG writer's files at every quality level read back close to the picture saved (the
// differential test has libjpeg read them and compares them pixel for pixel with the reader's
// arithmetic).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "support/jpeg_support.h"

using namespace pxv_test;

namespace {

// Blue, green, red per pixel, top row first; a gray pixel's index thrice.
Bytes decoded_bgr(const Capture &c) {
  Bytes out;
  for (const Bytes &row : c.rows)
    for (int x = 0; x < c.width(); ++x)
      c.bits() == 24 ? out.insert(out.end(), &row[3 * x], &row[3 * x] + 3) : out.insert(out.end(), 3, row[x]);
  return out;
}

// Peak signal-to-noise ratio of two equal-sized byte arrays, in dB (99 when equal).
double psnr(const Bytes &a, const Bytes &b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
  }
  if (sum == 0 || a.empty()) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(a.size())));
}

// A picture with smooth gradients, hard edges and fine detail, as a DIB (blue, green, red; or
// gray through a gray table); `bgr` gets its pixels top row first, gray ones thrice.
PackedDib test_picture(int w, int h, bool gray, Bytes *bgr) {
  PackedDib d = gray ? gray_dib(w, h) : make_packed_dib(w, h, 24);
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

}  // namespace

TEST(JpegWriterOracle, FilesReadBackCloseAtEveryLevel) {
  struct Size {
    int w, h;
    bool gray;
  };
  // Quality levels: 0 (finest) .. 100 (coarsest). The PSNR floors leave a margin below what the
  // library's own round trip gives. Colour loses more by design: luma weights that add up to
  // 0.976 (white comes back as 248), decoder constants that are not the encoder's inverse, and
  // 2 x 1 chroma taken by dropping every other sample, which the picture's hard edges punish.
  for (const Size s : {Size{61, 37, false}, Size{17, 9, false}, Size{47, 33, true}, Size{1, 1, false}}) {
    for (int level : {0, 5, 10, 25, 50, 100}) {
      IMGLOW_set_comp_quality(level);
      Bytes bgr;
      PackedDib d = test_picture(s.w, s.h, s.gray, &bgr);
      const Bytes f = save_jpeg(d);
      ASSERT_FALSE(f.empty());
      const Capture back = decode_jpeg(f);
      ASSERT_EQ(back.result, 0);
      const Bytes got = decoded_bgr(back);
      const double db = psnr(got, bgr);
      std::printf("[ psnr ] %dx%d %s level %3d: %.2f dB, %zu bytes\n", s.w, s.h, s.gray ? "gray" : "colour", level, db,
                  f.size());
      const double floor = s.gray ? (level == 0 ? 45.0 : level <= 10 ? 28.0 : 20.0)
                                  : (level == 0 ? 19.0 : level <= 10 ? 15.0 : 11.0);
      EXPECT_TRUE(s.w == 1 || db > floor) << s.w << "x" << s.h << " level " << level << ": " << db;
    }
  }
}
