// GIF files made by ImageMagick, Pillow and netpbm load to the pixels those tools decode; GIF
// files this library writes are read back by Pillow and giflib to the pixels of the image saved.
#include <gtest/gtest.h>

#include "support/gifpcx_support.h"
#include "support/support.h"

namespace pxv_test {
namespace {

constexpr const char *kPillowToPpm = "Image.open(src).convert('RGB').save(dst)";

class GifOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch_path("base.ppm");
    write_test_ppm(base_, 61, 37);
  }
  void expect_loads_as(const std::string &gif, const Rgb &reference) {
    const int h = load_page(gif);
    ASSERT_GE(h, 0) << gif;
    EXPECT_EQ(pixel_difference(handle_rgb(h), reference), "") << gif;
    IMG_delete_bitmap(h);
  }
  std::string base_;
};

TEST_F(GifOracle, ImageMagickFiles) {
  if (!have_program("/usr/bin/convert")) GTEST_SKIP() << "ImageMagick missing";
  for (int colours : {2, 8, 16, 32, 256})
    for (const char *interlace : {"None", "GIF"}) {
      SCOPED_TRACE(std::to_string(colours) + " colours, interlace " + interlace);
      const std::string gif = scratch_path("im.gif");
      ASSERT_TRUE(run("/usr/bin/convert " + base_ + " -colors " + std::to_string(colours) + " -interlace " +
                      interlace + " -comment 'a comment' " + gif));
      Rgb ref;
      ASSERT_TRUE(peer_decode("/usr/bin/convert {in} ppm:{out}", gif, &ref));
      expect_loads_as(gif, ref);
    }
}

TEST_F(GifOracle, PillowFiles) {
  for (int colours : {2, 16, 256})
    for (bool interlace : {false, true}) {
      SCOPED_TRACE(std::to_string(colours) + " colours" + (interlace ? ", interlaced" : ""));
      const std::string gif = scratch_path("pil.gif");
      ASSERT_TRUE(pillow("Image.open(src).convert('P', palette=Image.ADAPTIVE, colors=" + std::to_string(colours) +
                             ").save(dst, interlace=" + (interlace ? "True" : "False") +
                             ", optimize=False, comment=b'made by Pillow', transparency=1)",
                         base_, gif));
      Rgb ref;
      ASSERT_TRUE(pillow(kPillowToPpm, gif, scratch_path("ref.ppm")));
      ASSERT_TRUE(read_pnm(scratch_path("ref.ppm"), &ref));
      expect_loads_as(gif, ref);
    }
}

TEST_F(GifOracle, NetpbmFilesAtEveryMinimumCodeSize) {
  if (!have_program("pamtogif") || !have_program("pnmquant")) GTEST_SKIP() << "netpbm missing";
  // 4 to 256 colours give minimum code sizes 2 to 8; -transparent adds a graphic control block.
  for (int colours : {4, 8, 16, 32, 64, 128, 256})
    for (const char *options : {"", "-interlace -comment hello -transparent =#000000"}) {
      SCOPED_TRACE(std::to_string(colours) + " colours " + options);
      const std::string gif = scratch_path("pbm.gif");
      ASSERT_TRUE(run("(pnmquant " + std::to_string(colours) + " " + base_ + " | pamtogif " + options + " > " + gif +
                      ") 2>/dev/null"));
      Bytes g = read_file(gif);
      std::size_t p = 13 + ((g[10] & 0x80) ? 3u << ((g[10] & 7) + 1) : 0);
      while (g[p] == 0x21) {
        p += 2;
        while (g[p] != 0) p += 1 + g[p];
        ++p;
      }
      int mcs = 2;
      while ((1 << mcs) < colours) ++mcs;
      EXPECT_EQ(g[p + 10], mcs);
      Rgb ref;
      ASSERT_TRUE(peer_decode("giftopnm {in} > {out}", gif, &ref));
      expect_loads_as(gif, ref);
    }
}

TEST_F(GifOracle, WrittenFilesReadByPillowAndGiflib) {
  for (int bits : {4, 8})
    for (auto [w, h] : {std::pair{61, 37}, {1, 1}, {640, 480}}) {
      SCOPED_TRACE(std::to_string(bits) + " bits " + std::to_string(w) + "x" + std::to_string(h));
      PackedDib dib = make_packed_dib(w, h, bits);
      draw_test_picture(dib);
      const int handle = IMG_create_handle(dib.bytes.data());
      ASSERT_GE(handle, 0);
      const Rgb ours = handle_rgb(handle);
      const std::string gif = scratch_path("ours.gif");
      ASSERT_EQ(IMG_save_bitmap(handle, gif.c_str(), PXV_SAVE_GIF), 0);
      IMG_delete_bitmap(handle);

      Rgb by_pillow;
      ASSERT_TRUE(pillow(kPillowToPpm, gif, scratch_path("pil.ppm")));
      ASSERT_TRUE(read_pnm(scratch_path("pil.ppm"), &by_pillow));
      EXPECT_EQ(pixel_difference(by_pillow, ours), "") << "Pillow";

      if (!have_program("gif2rgb")) continue;
      const std::string rgb = scratch_path("giflib.rgb");
      ASSERT_TRUE(run("gif2rgb -1 -o " + rgb + " " + gif + " 2>/dev/null"));
      Rgb by_giflib{w, h, read_file(rgb)};
      EXPECT_EQ(pixel_difference(by_giflib, ours), "") << "giflib";
    }
}

}  // namespace
}  // namespace pxv_test
