// TIFF files we write, read by libtiff's tools and by Pillow.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "support.h"

using pxv_test::Bytes;
using pxv_test::Rgb;

namespace {

// 1-bit images get a black-and-white table: the bilevel TIFF forms carry no colour table.
int make_image(int width, int height, int bits, bool noise = false) {
  auto dib = pxv_test::make_packed_dib(width, height, bits);
  if (bits == 1) {
    std::memset(&dib.bytes[40], 0, 8);
    std::memset(&dib.bytes[44], 255, 3);
  }
  if (noise) {
    std::uint32_t seed = 12345;
    for (int r = 0; r < height; ++r)
      for (int b = 0; b < dib.row_bytes(); ++b) {
        seed = seed * 1103515245u + 12345u;
        dib.row(r)[b] = static_cast<std::uint8_t>(seed >> 16);
      }
  } else {
    pxv_test::draw_test_picture(dib);
  }
  return IMG_create_handle(dib.bytes.data());
}

// Pillow's decode of one page as RGB.
bool pillow_rgb(const std::string &file, int page, Rgb *out) {
  std::string ppm = file + ".ppm";
  std::string cmd = pxv_test::pillow_python() +
                    " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                    "im.seek(int(sys.argv[2])); im.convert('RGB').save(sys.argv[3], 'PPM')\" '" +
                    file + "' " + std::to_string(page) + " '" + ppm + "'";
  std::string output;
  if (!pxv_test::run(cmd, &output)) {
    ADD_FAILURE() << output;
    return false;
  }
  return pxv_test::read_pnm(ppm, out);
}

// libtiff reads every directory without an error; the only warnings allowed are the two about
// the DateTime and Artist texts, whose counts leave out the terminator by design.
void expect_libtiff_clean(const std::string &file, int directories) {
  std::string output;
  EXPECT_TRUE(pxv_test::run("tiffinfo -D '" + file + "'", &output)) << output;
  std::istringstream lines(output);
  std::string line;
  int seen = 0;
  while (std::getline(lines, line)) {
    if (line.find("TIFF Directory at offset") != std::string::npos) ++seen;
    bool problem = line.find("Error") != std::string::npos ||
                   (line.find("Warning") != std::string::npos &&
                    line.find("does not end in null byte") == std::string::npos);
    EXPECT_FALSE(problem) << file << ": " << line;
  }
  EXPECT_EQ(seen, directories) << output;
  // tiffcp decodes every strip of every page.
  EXPECT_TRUE(pxv_test::run("tiffcp -c none '" + file + "' '" + file + ".plain.tif'", &output))
      << output;
}

struct Case {
  int type, bits, width, height;
  bool noise;
};

class TiffWritten : public ::testing::TestWithParam<Case> {};

TEST_P(TiffWritten, ReadBackByLibtiffAndPillow) {
  if (!pxv_test::have_program("tiffinfo")) GTEST_SKIP() << "libtiff tools missing";
  const Case c = GetParam();
  int h = make_image(c.width, c.height, c.bits, c.noise);
  ASSERT_GE(h, 0);
  Rgb original = pxv_test::handle_rgb(h);
  std::string file = pxv_test::scratch_path("w" + std::to_string(c.type) + "_" + std::to_string(c.bits) +
                                            "_" + std::to_string(c.width) + "x" +
                                            std::to_string(c.height) + ".tif");
  std::remove(file.c_str());
  ASSERT_EQ(IMG_save_bitmap(h, file.c_str(), c.type), 0);
  IMG_delete_bitmap(h);
  expect_libtiff_clean(file, 1);
  Rgb back;
  ASSERT_TRUE(pillow_rgb(file, 0, &back));
  if (c.type == PXV_SAVE_TIFF_G3) {
    // Group 3 rows are 1728 pixels: the image, then white.
    ASSERT_EQ(back.width, 1728);
    ASSERT_EQ(back.height, original.height);
    for (int y = 0; y < back.height; ++y)
      for (int x = 0; x < 1728; ++x)
        for (int k = 0; k < 3; ++k) {
          std::uint8_t want = x < original.width ? original.pixels[(y * original.width + x) * 3 + k] : 255;
          ASSERT_EQ(back.pixels[(y * 1728 + x) * 3 + k], want) << x << "," << y;
        }
    return;
  }
  ASSERT_EQ(back.width, original.width);
  ASSERT_EQ(back.height, original.height);
  EXPECT_TRUE(back.pixels == original.pixels);
}

std::vector<Case> cases() {
  std::vector<Case> out;
  const int sizes[][2] = {{1, 1}, {47, 33}, {8, 3}, {200, 3}, {1, 40}, {641, 17}};
  for (int type : {PXV_SAVE_TIFF, PXV_SAVE_TIFF_LZW})
    for (int bits : {1, 4, 8, 24})
      for (auto &s : sizes) out.push_back({type, bits, s[0], s[1], false});
  for (int type : {PXV_SAVE_TIFF_HUFFMAN, PXV_SAVE_TIFF_G3, PXV_SAVE_TIFF_G4})
    for (auto &s : sizes) out.push_back({type, 1, s[0], s[1], false});
  // Noise: runs of every length in CCITT, a Clear after code 4079 in every LZW strip.
  for (int type : {PXV_SAVE_TIFF_HUFFMAN, PXV_SAVE_TIFF_G4, PXV_SAVE_TIFF_LZW})
    out.push_back({type, 1, 2000, 30, true});
  out.push_back({PXV_SAVE_TIFF_G3, 1, 1900, 5, true});
  out.push_back({PXV_SAVE_TIFF_LZW, 8, 300, 400, true});  // many strips of 33 rows
  out.push_back({PXV_SAVE_TIFF_LZW, 24, 3000, 4, false});  // one 9000-byte row per strip
  out.push_back({PXV_SAVE_TIFF_LZW, 24, 4000, 3, true});   // rows longer than a strip
  out.push_back({PXV_SAVE_TIFF_LZW, 8, 1000, 100, false});
  return out;
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
  const Case &c = info.param;
  return "type" + std::to_string(c.type) + "_" + std::to_string(c.bits) + "bit_" +
         std::to_string(c.width) + "x" + std::to_string(c.height) + (c.noise ? "_noise" : "");
}

INSTANTIATE_TEST_SUITE_P(Oracle, TiffWritten, ::testing::ValuesIn(cases()), case_name);

TEST(TiffPages, SavingAgainAppendsPages) {
  if (!pxv_test::have_program("tiffinfo")) GTEST_SKIP() << "libtiff tools missing";
  std::string file = pxv_test::scratch_path("three_pages.tif");
  std::remove(file.c_str());
  const Case pages[] = {{PXV_SAVE_TIFF, 8, 30, 20, false},
                        {PXV_SAVE_TIFF_G4, 1, 45, 9, false},
                        {PXV_SAVE_TIFF_HUFFMAN, 1, 17, 5, false}};
  std::vector<Rgb> originals;
  for (const Case &c : pages) {
    int h = make_image(c.width, c.height, c.bits);
    originals.push_back(pxv_test::handle_rgb(h));
    ASSERT_EQ(IMG_save_bitmap(h, file.c_str(), c.type), 0);
    IMG_delete_bitmap(h);
  }
  expect_libtiff_clean(file, 3);
  for (int page = 0; page < 3; ++page) {
    // libtiff cuts each page out (Pillow keeps a palette across pages of different kinds).
    std::string single = file + ".page" + std::to_string(page) + ".tif", output;
    ASSERT_TRUE(pxv_test::run("tiffcp -c none '" + file + "," + std::to_string(page) + "' '" +
                                  single + "'", &output)) << output;
    Rgb back;
    ASSERT_TRUE(pillow_rgb(single, 0, &back));
    EXPECT_EQ(back.width, originals[page].width);
    EXPECT_TRUE(back.pixels == originals[page].pixels) << "page " << page;
  }
}

}  // namespace
