// BMP files written by ImageMagick, netpbm and Pillow load pixel-identical to those tools' own
// decodes; every BMP this library writes is read back pixel-identical by Pillow or netpbm and
// by the library's own reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/corpus.h"

namespace {

using pxv_test::Bytes;
using pxv_test::Rgb;
using pxv_test::run;
using pxv_test::scratch_path;

struct Size {
  int width, height;
};
// Odd widths where the 4-byte row padding matters, one-pixel images, heights 1 to 9, and a
// width past 255 so that runs and absolute runs split.
const std::vector<Size> kSizes = {{47, 33}, {1, 1}, {2, 1}, {5, 9}, {3, 2}, {13, 8},
                                  {61, 4},  {33, 5}, {1, 7}, {7, 6}, {300, 3}};

std::string size_name(const Size &s) {
  return std::to_string(s.width) + "x" + std::to_string(s.height);
}

// A picture with smooth areas (runs) and busy ones (absolute runs), as a binary PPM.
std::string write_picture(const Size &s) {
  const std::string path = scratch_path("in_" + size_name(s) + ".ppm");
  std::string head = "P6\n" + std::to_string(s.width) + " " + std::to_string(s.height) + "\n255\n";
  Bytes bytes(head.begin(), head.end());
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const bool flat = (x / 9 + y / 3) % 2 == 0;
      bytes.push_back(std::uint8_t(flat ? 200 : x * 37 + y * 11));
      bytes.push_back(std::uint8_t(flat ? 40 : (x * y * 5) ^ 0x5A));
      bytes.push_back(std::uint8_t(flat ? 90 : y * 29 + x));
    }
  pxv_test::write_file(path, bytes);
  return path;
}

std::string substitute(std::string command, const std::string &in, const std::string &out,
                       const std::string &ref) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"IN", in}, {"OUT", out}, {"REF", ref}}) {
    for (std::size_t at; (at = command.find("{" + key + "}")) != std::string::npos;)
      command.replace(at, key.size() + 2, "'" + value + "'");
  }
  return "(" + command + ")";  // so that run()'s 2>&1 does not land in a redirected output
}

const std::string kPillowToPpm =
    "/usr/bin/python3 -c \"import sys; from PIL import Image; "
    "Image.open(sys.argv[1]).convert('RGB').save(sys.argv[2], format='PPM')\" {OUT} {REF}";
const std::string kMagickToPpm = "/usr/bin/convert {OUT} -depth 8 ppm:{REF}";
const std::string kNetpbmToPpm = "bmptopnm {OUT} | ppmtoppm > {REF}";

struct Maker {
  const char *name;
  const char *make;  // writes {OUT} from {IN}
  const std::string *decode;  // the same tool's decode of {OUT} into {REF}
};

const std::vector<Maker> &makers() {
  static const std::vector<Maker> m = {
      {"magick24", "/usr/bin/convert {IN} -type TrueColor BMP3:{OUT}", &kMagickToPpm},
      {"magick8", "/usr/bin/convert {IN} -colors 200 -type Palette BMP3:{OUT}", &kMagickToPpm},
      {"magick4", "/usr/bin/convert {IN} -colors 12 -type Palette BMP3:{OUT}", &kMagickToPpm},
      {"magick1", "/usr/bin/convert {IN} -monochrome BMP3:{OUT}", &kMagickToPpm},
      // ImageMagick codes the padding pixels of each row too, and its own decoder then carries
      // them into the next row; Pillow decodes these files as they are meant.
      {"magick_rle8", "/usr/bin/convert {IN} -colors 200 -type Palette -compress RLE BMP3:{OUT}",
       &kPillowToPpm},
      {"magick_os2_8", "/usr/bin/convert {IN} -colors 200 -type Palette BMP2:{OUT}", &kMagickToPpm},
      {"magick_os2_24", "/usr/bin/convert {IN} -type TrueColor BMP2:{OUT}", &kMagickToPpm},
      {"netpbm24", "ppmtobmp -windows -bpp 24 {IN} > {OUT}", &kNetpbmToPpm},
      {"netpbm8", "pnmquant 200 {IN} | ppmtobmp -windows -bpp 8 > {OUT}", &kNetpbmToPpm},
      {"netpbm4", "pnmquant 16 {IN} | ppmtobmp -windows -bpp 4 > {OUT}", &kNetpbmToPpm},
      {"netpbm1", "ppmtopgm {IN} | pgmtopbm -threshold | ppmtobmp -windows > {OUT}", &kNetpbmToPpm},
      {"netpbm_os2_8", "pnmquant 200 {IN} | ppmtobmp -os2 -bpp 8 > {OUT}", &kNetpbmToPpm},
      {"netpbm_os2_4", "pnmquant 16 {IN} | ppmtobmp -os2 -bpp 4 > {OUT}", &kNetpbmToPpm},
      {"netpbm_os2_1", "ppmtopgm {IN} | pgmtopbm -threshold | ppmtobmp -os2 > {OUT}", &kNetpbmToPpm},
      {"pillow_rgb", "/usr/bin/python3 -c \"import sys; from PIL import Image; "
                     "Image.open(sys.argv[1]).save(sys.argv[2], format='BMP')\" {IN} {OUT}",
       &kPillowToPpm},
      {"pillow_p", "/usr/bin/python3 -c \"import sys; from PIL import Image; "
                   "Image.open(sys.argv[1]).quantize(100).save(sys.argv[2], format='BMP')\" {IN} {OUT}",
       &kPillowToPpm},
      {"pillow_l", "/usr/bin/python3 -c \"import sys; from PIL import Image; "
                   "Image.open(sys.argv[1]).convert('L').save(sys.argv[2], format='BMP')\" {IN} {OUT}",
       &kPillowToPpm},
      {"pillow_1", "/usr/bin/python3 -c \"import sys; from PIL import Image; "
                   "Image.open(sys.argv[1]).convert('1').save(sys.argv[2], format='BMP')\" {IN} {OUT}",
       &kPillowToPpm},
  };
  return m;
}

void expect_same(const Rgb &ours, const Rgb &ref) { EXPECT_EQ(pxv_test::pixel_difference(ours, ref), ""); }

TEST(BmpOracle, FilesFromPeerToolsLoadAsTheToolsDecodeThem) {
  const std::vector<Size> sizes = {{47, 33}, {1, 1}, {2, 1}, {5, 9}, {61, 4}, {1, 7}, {300, 3}};
  for (const Size &s : sizes) {
    const std::string in = write_picture(s);
    for (const Maker &m : makers()) {
      SCOPED_TRACE(std::string(m.name) + " " + size_name(s));
      const std::string out = scratch_path(std::string(m.name) + "_" + size_name(s) + ".bmp");
      const std::string ref = out + ".ppm";
      std::string log;
      ASSERT_TRUE(run(substitute(m.make, in, out, ref), &log)) << log;
      ASSERT_TRUE(run(substitute(*m.decode, in, out, ref), &log)) << log;
      Rgb theirs;
      ASSERT_TRUE(pxv_test::read_pnm(ref, &theirs));
      const int handle = IMG_decompress_bitmap(out.c_str());
      ASSERT_GE(handle, 0);
      expect_same(pxv_test::handle_rgb(handle), theirs);
      IMG_delete_bitmap(handle);
    }
  }
}

TEST(BmpOracle, WrittenFilesReadBackByPeersAndByUs) {
  struct Reader {
    const char *name;
    const std::string *decode;
  };
  const Reader pillow{"pillow", &kPillowToPpm}, netpbm{"bmptopnm", &kNetpbmToPpm};
  for (const Size &s : kSizes) {
    for (int bits : {1, 4, 8, 24}) {
      pxv_test::PackedDib dib = pxv_test::make_packed_dib(s.width, s.height, bits);
      pxv_test::draw_test_picture(dib);
      const int handle = IMG_create_handle(dib.bytes.data());
      ASSERT_GE(handle, 0);
      const Rgb expected = pxv_test::handle_rgb(handle);
      for (int type : {PXV_SAVE_BMP, PXV_SAVE_BMP_RLE}) {
        if (type == PXV_SAVE_BMP_RLE && (bits == 1 || bits == 24)) continue;
        // Pillow 9.4 misreads RLE4; netpbm reads it.
        std::vector<Reader> readers = {type == PXV_SAVE_BMP_RLE && bits == 4 ? netpbm : pillow};
        if (type == PXV_SAVE_BMP_RLE && bits == 8) readers.push_back(netpbm);
        const std::string out = scratch_path("ours_" + std::to_string(bits) + "_" + std::to_string(type) + "_" +
                                             size_name(s) + ".bmp");
        SCOPED_TRACE(out);
        ASSERT_EQ(IMG_save_bitmap(handle, out.c_str(), type), 0);
        for (const Reader &r : readers) {
          SCOPED_TRACE(r.name);
          const std::string ref = out + "." + r.name + ".ppm";
          std::string log;
          ASSERT_TRUE(run(substitute(*r.decode, "", out, ref), &log)) << log;
          Rgb theirs;
          ASSERT_TRUE(pxv_test::read_pnm(ref, &theirs));
          expect_same(expected, theirs);
        }
        const int back = IMG_decompress_bitmap(out.c_str());
        ASSERT_GE(back, 0);
        expect_same(pxv_test::handle_rgb(back), expected);
        IMG_delete_bitmap(back);
      }
      IMG_delete_bitmap(handle);
    }
  }
}

}  // namespace
