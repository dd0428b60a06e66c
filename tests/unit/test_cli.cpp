// The pxv command line: info names every format, convert follows its options, errors exit
// non-zero with the result code's meaning.
#include <gtest/gtest.h>

#include <string>

#include "support.h"

using pxv_test::Bytes;

namespace {

std::string pxv(const std::string &args, bool *ok = nullptr) {
  std::string out;
  bool success = pxv_test::run(std::string(PXV_CLI) + " " + args, &out);
  if (ok != nullptr) *ok = success;
  return out;
}

TEST(CliInfo, NamesEveryDetectedFormat) {
  struct Case {
    Bytes bytes;
    const char *name;
  } cases[] = {
      {{'I', 'I', 42, 0}, "TIFF"},  {{'M', 'M', 0, 42}, "TIFF"},        {{'B', 'M'}, "BMP"},
      {{0x0A, 5, 1, 8}, "PCX"},     {{0xB1, 0x68, 0xDE, 0x3A}, "DCX"},  {{'G', 'I', 'F'}, "GIF"},
      {{0, 0, 2}, "Targa"},         {{0xFF, 0xD8, 0xFF}, "JPEG"},       {{0xFF, 'W', 'P', 'C'}, "WPG"},
      {{0xD7, 0xCD, 0xC6, 0x9A}, "WMF"}, {{0xC5, 0xD0, 0xD3, 0xC6}, "EPS"},
  };
  std::string file = pxv_test::scratch_path("probe.bin");
  for (const Case &c : cases) {
    Bytes bytes = c.bytes;
    bytes.resize(16, 0x20);
    pxv_test::write_file(file, bytes);
    std::string out = pxv("info " + file);
    EXPECT_NE(out.find(std::string(": ") + c.name + "\n"), std::string::npos) << c.name << ": " << out;
  }
  Bytes pict(600, 0);
  pict[523] = 0x11;
  pxv_test::write_file(file, pict);
  EXPECT_NE(pxv("info " + file).find(": PICT"), std::string::npos);
}

TEST(CliInfo, DescribesALoadableImageAndFailsClearly) {
  auto dib = pxv_test::make_packed_dib(21, 9, 4);
  int h = IMG_create_handle(dib.bytes.data());
  std::string file = pxv_test::scratch_path("info.bmp");
  ASSERT_EQ(IMG_save_bitmap(h, file.c_str(), PXV_SAVE_BMP), 0);
  IMG_delete_bitmap(h);
  bool ok = false;
  std::string out = pxv("info " + file, &ok);
  EXPECT_TRUE(ok) << out;
  EXPECT_NE(out.find("width:     21"), std::string::npos) << out;
  EXPECT_NE(out.find("height:    9"), std::string::npos) << out;
  EXPECT_NE(out.find("bit count: 4"), std::string::npos) << out;
  EXPECT_NE(out.find("colours:   16"), std::string::npos) << out;

  out = pxv("info " + pxv_test::scratch_path("missing.bmp"), &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(out.find("cannot be opened"), std::string::npos) << out;
  EXPECT_NE(out.find("-2"), std::string::npos) << out;
  std::string junk = pxv_test::scratch_path("junk.bin");
  pxv_test::write_file(junk, Bytes(700, 0x20));
  out = pxv("info " + junk, &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(out.find("unknown or unsupported type (result -6)"), std::string::npos) << out;
  out = pxv("info " + file + " --page 3", &ok);
  EXPECT_FALSE(ok) << "a BMP has no page 3";
  pxv("frobnicate", &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(pxv("--help", &ok).find("convert"), std::string::npos);
  EXPECT_TRUE(ok);
  EXPECT_NE(pxv("convert --help", &ok).find("--crop"), std::string::npos);
}

TEST(CliConvert, TypeByNameNumberOrEndingAndCrop) {
  auto dib = pxv_test::make_packed_dib(40, 30, 8);
  pxv_test::draw_test_picture(dib);
  int h = IMG_create_handle(dib.bytes.data());
  std::string in = pxv_test::scratch_path("in.bmp");
  ASSERT_EQ(IMG_save_bitmap(h, in.c_str(), PXV_SAVE_BMP), 0);
  IMG_delete_bitmap(h);
  bool ok = false;
  std::string out = pxv_test::scratch_path("out.tiff");
  pxv("convert " + in + " " + out, &ok);  // "tiff" is known to the CLI, not to the library
  EXPECT_TRUE(ok);
  EXPECT_EQ(IMGLOW_get_filetype(out.c_str()), PXV_SAVE_TIFF);
  std::string gif = pxv_test::scratch_path("out.data");
  pxv("convert " + in + " " + gif + " --type gif", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(IMGLOW_get_filetype(gif.c_str()), PXV_SAVE_GIF);
  std::string rle = pxv_test::scratch_path("out.rle");
  pxv("convert " + in + " " + rle + " --type 12 --crop 5,4,10,7", &ok);
  EXPECT_TRUE(ok);
  int back = IMG_decompress_bitmap(rle.c_str());
  int w = 0, ht = 0, bits = 0;
  IMG_bitmap_info(back, &w, &ht, &bits);
  EXPECT_EQ(w, 10);
  EXPECT_EQ(ht, 7);
  IMG_delete_bitmap(back);
  std::string jpg = pxv_test::scratch_path("q.jpg");
  pxv("convert " + in + " " + jpg + " --quality 60", &ok);
  EXPECT_TRUE(ok);
  std::string fine = pxv_test::scratch_path("fine.jpg");
  pxv("convert " + in + " " + fine + " --quality 0", &ok);
  EXPECT_LT(pxv_test::read_file(jpg).size(), pxv_test::read_file(fine).size());
  pxv("convert " + in + " " + pxv_test::scratch_path("x.unknown"), &ok);
  EXPECT_FALSE(ok) << "no type from the ending";
  std::string why = pxv("convert " + in + " " + gif + " --type 1x", &ok);
  EXPECT_FALSE(ok);
  std::string bw = pxv_test::scratch_path("bw.tif");
  why = pxv("convert " + in + " " + bw + " --type tiff-g4", &ok);
  EXPECT_FALSE(ok) << "Group 4 takes bilevel images only";
  EXPECT_NE(why.find("-6"), std::string::npos) << why;
}

}  // namespace
