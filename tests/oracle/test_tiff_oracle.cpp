// The TIFF reader on files made by real programs (libtiff's tiffcp and fax2tiff, ImageMagick,
// Pillow), compared pixel for pixel, page by page, with Pillow's decode of the same file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/support.h"
#include "support/tiff_corpus.h"

namespace {

using pxv_test::Bytes;
using pxv_test::Rgb;

std::string scratch(const std::string &name) { return pxv_test::scratch_path(name); }

void write_pnm(const std::string &path, const char *magic, int width, int height, int channels,
               const Bytes &pixels) {
  const std::string head = std::string(magic) + "\n" + std::to_string(width) + " " +
                           std::to_string(height) + (channels == 0 ? "\n" : "\n255\n");
  Bytes b(head.begin(), head.end());
  b.insert(b.end(), pixels.begin(), pixels.end());
  pxv_test::write_file(path, b);
}

// The base pictures: smooth gradients with a noisy band (long and short LZW strings alike),
// odd sizes so that row padding matters.
void make_base_images() {
  const int w = 157, h = 83;
  Bytes rgb, gray;
  unsigned seed = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1103515245u + 12345u;
      const int noise = (y > 30 && y < 50) ? int(seed >> 24) : 0;
      rgb.push_back(std::uint8_t(x * 255 / w ^ noise));
      rgb.push_back(std::uint8_t(y * 3 + noise));
      rgb.push_back(std::uint8_t((x + y) * 2));
      gray.push_back(std::uint8_t(x + y * 2 + noise));
    }
  write_pnm(scratch("rgb.ppm"), "P6", w, h, 3, rgb);
  write_pnm(scratch("gray.pgm"), "P5", w, h, 1, gray);
  // Bilevel pictures: 203 x 67, and a fax-width page with long runs of both colours.
  for (int width : {203, 1728}) {
    const int height = width == 203 ? 67 : 40;
    Bytes bits;
    const int row_bytes = (width + 7) / 8;
    for (int y = 0; y < height; ++y) {
      Bytes row(row_bytes, 0);
      for (int x = 0; x < width; ++x) {
        const bool black = ((x / 7 + y / 5) % 3 == 0) || (x > width / 3 && x < width * 2 / 3 && y % 9 < 4) ||
                           (x * x + y * y) % 97 < 3;
        if (black) row[x / 8] |= std::uint8_t(0x80 >> (x % 8));  // PBM: 1 is black
      }
      bits.insert(bits.end(), row.begin(), row.end());
    }
    write_pnm(scratch("bw" + std::to_string(width) + ".pbm"), "P4", width, height, 0, bits);
  }
}

bool tools_present() {
  for (const char *tool : {"tiffcp", "fax2tiff", "pnmtotiff", "/usr/bin/convert"})
    if (!pxv_test::have_program(tool)) return false;
  return pxv_test::run(pxv_test::pillow_python() + " -c 'import PIL' 2>/dev/null");
}

class TiffOracle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!tools_present()) return;
    make_base_images();
    const std::string d = pxv_test::scratch_dir();
    ready_ = pxv_test::run("cd " + d + " && /usr/bin/convert rgb.ppm -type TrueColor -compress none rgb.tif"
                           " && /usr/bin/convert gray.pgm -compress none gray.tif"
                           " && pnmtotiff -none bw203.pbm > bw.tif 2>/dev/null"
                           " && pnmtotiff -none bw1728.pbm > fax.tif 2>/dev/null");
  }
  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "libtiff tools, ImageMagick or Pillow missing";
    // Planar files spool through plane.tmp in the current folder: keep it out of the way of
    // other test programs running at the same time.
    ASSERT_EQ(chdir(pxv_test::scratch_dir().c_str()), 0);
  }
  static bool ready_;
};
bool TiffOracle::ready_ = false;

// Pillow's decode of one page, as RGB; CMYK pages converted with this library's formula.
bool pillow_reference(const std::string &file, int page, Rgb *out) {
  const std::string ppm = file + ".ref" + std::to_string(page) + ".ppm";
  const std::string script =
      "from PIL import Image\n"
      "im = Image.open('" + file + "'); im.seek(" + std::to_string(page) + ")\n"
      "if im.mode == 'CMYK':\n"
      "    px = [tuple(max(0, 255 - (s[i] + s[3])) for i in range(3)) for s in im.getdata()]\n"
      "    rgb = Image.new('RGB', im.size); rgb.putdata(px); im = rgb\n"
      "im.convert('RGB').save('" + ppm + "')\n";
  const std::string py = file + ".py";
  pxv_test::write_file(py, Bytes(script.begin(), script.end()));
  return pxv_test::run(pxv_test::pillow_python() + " " + py) && pxv_test::read_pnm(ppm, out);
}

int pillow_pages(const std::string &file) {
  std::string out;
  const std::string cmd = pxv_test::pillow_python() +
                          " -c \"from PIL import Image; print(Image.open('" + file + "').n_frames)\"";
  if (!pxv_test::run(cmd, &out)) return 0;
  return std::atoi(out.c_str());
}

// Loads every page of a file and compares it with Pillow's decode. `gray4` compares 4-bit gray
// by index: this library's 4-bit ramp is i × 16, Pillow's i × 17.
void expect_like_pillow(const std::string &file, bool gray4 = false) {
  const int pages = pillow_pages(file);
  ASSERT_GT(pages, 0) << file;
  for (int page = 0; page < pages; ++page) {
    SCOPED_TRACE(file + " page " + std::to_string(page));
    Rgb want;
    ASSERT_TRUE(pillow_reference(file, page, &want));
    const int handle = pxv_test::load_page(file, page);
    ASSERT_GE(handle, 0);
    Rgb got = pxv_test::handle_rgb(handle);
    IMG_delete_bitmap(handle);
    if (gray4)
      for (std::uint8_t &v : want.pixels) v = std::uint8_t(v / 17 * 16);
    ASSERT_EQ(got.width, want.width);
    ASSERT_EQ(got.height, want.height);
    const std::size_t first = pxv_test::first_difference(got, want);
    EXPECT_EQ(first, std::string::npos) << "pixel " << first / 3 % want.width << ","
                                        << first / 3 / want.width;
  }
  // Past the last page: missing.
  EXPECT_EQ(pxv_test::load_page(file, pages), PXV_ERR_PAGE);
  pxv_test::release_all_slots();
}

// Runs a shell command in the scratch folder.
void sh(const std::string &command) {
  ASSERT_TRUE(pxv_test::run("cd " + pxv_test::scratch_dir() + " && " + command)) << command;
}

TEST_F(TiffOracle, TiffcpColourAndGray) {
  const char *variants[] = {
      "-c none",          "-c none -B -r 7",    "-c packbits -L -r 5",  "-c packbits -B",
      "-c lzw",           "-c lzw -B -r 1",     "-c lzw:2 -L",          "-c lzw:2 -B -r 20",
      "-c none -p separate", "-c lzw -p separate -B", "-c lzw:2 -p separate -r 9",
      "-c packbits -p separate -B",
  };
  int n = 0;
  for (const char *v : variants) {
    for (const char *src : {"rgb.tif", "gray.tif"}) {
      const std::string out = "tcp" + std::to_string(n++) + ".tif";
      sh(std::string("tiffcp ") + v + " " + src + " " + out);
      expect_like_pillow(scratch(out));
    }
  }
}

TEST_F(TiffOracle, TiffcpBilevel) {
  const char *variants[] = {
      "-c none",          "-c packbits -B",   "-c g3:1d",          "-c g3:1d:fill -B -r 16",
      "-c g3:1d -f lsb2msb -r 9", "-c g4",    "-c g4 -B -r 10",    "-c g4 -f lsb2msb",
  };
  int n = 0;
  for (const char *v : variants) {
    for (const char *src : {"bw.tif", "fax.tif"}) {
      const std::string out = "bw" + std::to_string(n++) + ".tif";
      sh(std::string("tiffcp ") + v + " " + src + " " + out);
      expect_like_pillow(scratch(out));
    }
  }
}

TEST_F(TiffOracle, Fax2tiff) {
  // Raw Group 3 data: the strip of a one-strip file, cut out with Pillow's tag reading.
  sh("tiffcp -c g3:1d -r 100000 fax.tif one.tif");
  sh(pxv_test::pillow_python() +
     " -c \"from PIL import Image; im = Image.open('one.tif'); o = im.tag_v2[273][0]; "
     "n = im.tag_v2[279][0]; open('fax.g3', 'wb').write(open('one.tif', 'rb').read()[o:o + n])\"");
  // 1-D output with EOL alignment and LSB-first bytes (FillOrder 2), then MSB-first, then G4.
  sh("fax2tiff -M -1 -X 1728 -5 -o f1.tif fax.g3");
  sh("fax2tiff -M -1 -X 1728 -5 -p -m -c -o f2.tif fax.g3");
  sh("fax2tiff -M -1 -X 1728 -8 -o f3.tif fax.g3");
  for (const char *f : {"f1.tif", "f2.tif", "f3.tif"}) expect_like_pillow(scratch(f));
}

TEST_F(TiffOracle, ImageMagickFiles) {
  sh("/usr/bin/convert rgb.ppm -colors 200 -type Palette im_pal8.tif");
  sh("/usr/bin/convert rgb.ppm -colors 12 -type Palette -depth 4 im_pal4.tif");
  sh("/usr/bin/convert gray.pgm -depth 8 im_gray8.tif");
  sh("/usr/bin/convert rgb.ppm -compress lzw im_rgb_lzw.tif");
  sh("/usr/bin/convert rgb.ppm -compress RLE im_rgb_packbits.tif");
  sh("/usr/bin/convert rgb.ppm -colorspace CMYK im_cmyk.tif");
  sh("/usr/bin/convert bw203.pbm -compress Group4 im_g4.tif");
  sh("/usr/bin/convert bw1728.pbm -compress Fax im_fax.tif");
  sh("/usr/bin/convert rgb.ppm gray.pgm bw203.pbm -compress lzw im_multi.tif");
  for (const char *f : {"im_pal8.tif", "im_pal4.tif", "im_gray8.tif", "im_rgb_lzw.tif",
                        "im_rgb_packbits.tif", "im_cmyk.tif", "im_g4.tif", "im_fax.tif",
                        "im_multi.tif"})
    expect_like_pillow(scratch(f));
  sh("/usr/bin/convert gray.pgm -depth 4 im_gray4.tif");
  expect_like_pillow(scratch("im_gray4.tif"), true);
  // IMG_IsTiffCmyk tells the CMYK file from the others.
  EXPECT_EQ(IMG_IsTiffCmyk(scratch("im_cmyk.tif").c_str()), 1);
  EXPECT_EQ(IMG_IsTiffCmyk(scratch("im_rgb_lzw.tif").c_str()), 0);
}

TEST_F(TiffOracle, PillowFiles) {
  sh(pxv_test::pillow_python() +
     " -c \"from PIL import Image; "
     "Image.open('rgb.ppm').save('pil_lzw.tif', compression='tiff_lzw'); "
     "Image.open('gray.pgm').save('pil_pack.tif', compression='packbits'); "
     "Image.open('bw203.pbm').save('pil_g4.tif', compression='group4'); "
     "Image.open('bw1728.pbm').save('pil_g3.tif', compression='group3'); "
     "Image.open('rgb.ppm').convert('P').save('pil_pal.tif'); "
     "a = Image.open('rgb.ppm'); a.save('pil_multi.tif', save_all=True, "
     "append_images=[Image.open('gray.pgm'), Image.open('bw203.pbm')], compression='tiff_lzw')\"");
  for (const char *f : {"pil_lzw.tif", "pil_pack.tif", "pil_g4.tif", "pil_g3.tif", "pil_pal.tif",
                        "pil_multi.tif"})
    expect_like_pillow(scratch(f));
}

}  // namespace
