// PCX files made by ImageMagick, netpbm and Pillow load to the pixels those tools decode; PCX
// and DCX files this library writes are read back by Pillow and ImageMagick to the pixels of the
// image saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/gifpcx_support.h"
#include "support/support.h"

namespace pxv_test {
namespace {

constexpr const char *kPillowToPpm = "Image.open(src).convert('RGB').save(dst)";
constexpr const char *kImToPpm = "/usr/bin/convert {in} -depth 8 ppm:{out}";

class PcxOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch_path("base.ppm");
    write_test_ppm(base_, 61, 37);
  }
  void expect_loads_as(const std::string &file, const Rgb &reference, int bits) {
    const int h = load_page(file);
    ASSERT_GE(h, 0) << file;
    EXPECT_EQ(read_handle(h).bits, bits);
    EXPECT_EQ(pixel_difference(handle_rgb(h), reference), "") << file;
    IMG_delete_bitmap(h);
  }
  Rgb pillow_decode(const std::string &file) {
    Rgb ref;
    EXPECT_TRUE(pillow(kPillowToPpm, file, scratch_path("pil.ppm")));
    EXPECT_TRUE(read_pnm(scratch_path("pil.ppm"), &ref));
    return ref;
  }
  std::string base_;
};

TEST_F(PcxOracle, ImageMagickFiles) {
  struct Case {
    const char *options;
    int bits;
    bool pillow_ref;  // ImageMagick shows 1-bit PCX inverted: Pillow decodes those
  };
  // (ImageMagick 6 writes its bilevel images as 24-bit PCX, so it has no 1-bit case here.)
  for (const Case &k : {Case{"", 24, false}, Case{"-colors 200 -type Palette", 8, false}}) {
    SCOPED_TRACE(k.options);
    const std::string pcx = scratch_path("im.pcx");
    ASSERT_TRUE(run("/usr/bin/convert " + base_ + " " + k.options + " " + pcx));
    Rgb ref;
    if (k.pillow_ref)
      ref = pillow_decode(pcx);
    else
      ASSERT_TRUE(peer_decode(kImToPpm, pcx, &ref));
    expect_loads_as(pcx, ref, k.bits);
  }
}

TEST_F(PcxOracle, NetpbmFiles) {
  if (!have_program("ppmtopcx") || !have_program("pcxtoppm")) GTEST_SKIP() << "netpbm missing";
  struct Case {
    int colours;
    const char *options;
    int bits;
  };
  for (const Case &k : {Case{0, "-24bit", 24}, Case{200, "-8bit", 8}, Case{8, "-planes 3", 4},
                        Case{16, "-planes 4", 4}, Case{16, "-packed", 4}, Case{2, "", 1}}) {
    SCOPED_TRACE(k.options);
    const std::string pcx = scratch_path("pbm.pcx");
    const std::string quant = k.colours ? "pnmquant " + std::to_string(k.colours) + " " + base_ : "cat " + base_;
    ASSERT_TRUE(run("(" + quant + " | ppmtopcx " + k.options + " > " + pcx + ") 2>/dev/null"));
    Rgb ref;
    ASSERT_TRUE(peer_decode("pcxtoppm {in} > {out}", pcx, &ref));
    expect_loads_as(pcx, ref, k.bits);
  }
}

TEST_F(PcxOracle, PillowFiles) {
  struct Case {
    const char *conversion;
    int bits;
  };
  for (const Case &k : {Case{"convert('1')", 1}, Case{"convert('L')", 8},
                        Case{"convert('P', palette=Image.ADAPTIVE, colors=100)", 8}, Case{"convert('RGB')", 24}}) {
    SCOPED_TRACE(k.conversion);
    const std::string pcx = scratch_path("pil.pcx");
    ASSERT_TRUE(pillow(std::string("Image.open(src).") + k.conversion + ".save(dst)", base_, pcx));
    expect_loads_as(pcx, pillow_decode(pcx), k.bits);
  }
}

TEST_F(PcxOracle, WrittenFilesReadByPillowAndImageMagick) {
  for (int bits : {1, 4, 8, 24})
    for (auto [w, h] : {std::pair{61, 37}, {64, 16}, {1, 1}}) {
      SCOPED_TRACE(std::to_string(bits) + " bits " + std::to_string(w) + "x" + std::to_string(h));
      PackedDib dib = make_packed_dib(w, h, bits);
      draw_test_picture(dib);
      if (bits == 1) {
        // Pillow reads 1-bit PCX as black and white whatever the header's colours say.
        const std::uint8_t black_white[8] = {0, 0, 0, 0, 255, 255, 255, 0};
        std::copy(black_white, black_white + 8, dib.bytes.begin() + 40);
      }
      const int handle = IMG_create_handle(dib.bytes.data());
      const Rgb ours = handle_rgb(handle);
      const std::string pcx = scratch_path("ours.pcx");
      ASSERT_EQ(IMG_save_bitmap(handle, pcx.c_str(), PXV_SAVE_PCX), 0);
      IMG_delete_bitmap(handle);
      // Pillow assembles the planes of a 4-bit file wrongly when its plane lines hold padding
      // bits and knows 24-bit files of version 5 only (these are version 3); ImageMagick shows
      // 1-bit files inverted: each is asked only what it reads right.
      if ((bits != 4 || w % 8 == 0) && bits != 24) EXPECT_EQ(pixel_difference(pillow_decode(pcx), ours), "") << "Pillow";
      if (bits != 1) {
        Rgb by_im;
        ASSERT_TRUE(peer_decode(kImToPpm, pcx, &by_im));
        EXPECT_EQ(pixel_difference(by_im, ours), "") << "ImageMagick";
      }
    }
}

TEST_F(PcxOracle, DcxSavedThreeTimesHoldsThreePages) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  const std::string dir = scratch_path("dcx");
  ASSERT_TRUE(run("mkdir -p " + dir));
  ASSERT_EQ(chdir(dir.c_str()), 0);
  std::vector<Rgb> pages;
  for (int page = 0; page < 3; ++page) {
    PackedDib dib = make_packed_dib(40 + 8 * page, 20 + page, 8);
    draw_test_picture(dib);
    const int handle = IMG_create_handle(dib.bytes.data());
    pages.push_back(handle_rgb(handle));
    ASSERT_EQ(IMG_save_bitmap(handle, "three.dcx", PXV_SAVE_DCX), 0);
    IMG_delete_bitmap(handle);
  }
  const std::string dcx = dir + "/three.dcx";
  std::string count;
  ASSERT_TRUE(pillow("open(dst, 'w').write(str(Image.open(src).n_frames))", dcx, scratch_path("count.txt")));
  const Bytes frames = read_file(scratch_path("count.txt"));
  EXPECT_EQ(std::string(frames.begin(), frames.end()), "3");
  // Pillow 9.4 counts the pages but mis-colours DCX pages: ImageMagick checks their pixels.
  for (int page = 0; page < 3; ++page) {
    SCOPED_TRACE(page);
    Rgb by_im;
    ASSERT_TRUE(peer_decode("/usr/bin/convert '{in}[" + std::to_string(page) + "]' -depth 8 ppm:{out}", dcx, &by_im));
    EXPECT_EQ(pixel_difference(by_im, pages[page]), "") << "ImageMagick";
  }
  EXPECT_EQ(chdir(old), 0);
}

}  // namespace
}  // namespace pxv_test
