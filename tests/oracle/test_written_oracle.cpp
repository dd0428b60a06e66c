// EPS files this library writes, which its reader cannot load, rendered by Ghostscript; appended
// pages read by peers. Every other writer, at every bit count under random tables, at random and
// at its largest sizes, is the differential test's (tests/diff).
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <tuple>

#include "support/corpus.h"
#include "support/peers.h"

namespace pxv_test {
namespace {

const std::string kMagick = "/usr/bin/convert {in} -depth 8 ppm:{out}";

// The test picture, or noise; a 1-bit image black and white, as the bilevel TIFF forms carry no
// table.
int make_image(int width, int height, int bits, bool noise) {
  PackedDib dib = make_packed_dib(width, height, bits);
  if (bits == 1) std::memcpy(&dib.bytes[40], "\0\0\0\0\xFF\xFF\xFF", 8);
  draw_test_picture(dib);
  std::uint32_t seed = 12345;
  for (int r = 0; r < height && noise; ++r)
    for (int b = 0; b < dib.row_bytes(); ++b) dib.row(r)[b] = std::uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
  return IMG_create_handle(dib.bytes.data());
}

// libtiff reads every directory and strip without an error; the only warnings allowed are about
// the DateTime and Artist texts, whose counts leave out the terminator by design.
void expect_libtiff_clean(const std::string &file, int directories) {
  std::string output;
  EXPECT_TRUE(run_peer("tiffinfo -D {in} && tiffcp -c none {in} {out}", file, file + ".plain", &output)) << output;
  std::istringstream lines(output);
  int seen = 0;
  for (std::string line; std::getline(lines, line);) {
    seen += line.find("TIFF Directory at offset") != std::string::npos;
    EXPECT_TRUE(line.find("Error") == std::string::npos &&
                (line.find("Warning") == std::string::npos || line.find("does not end in null byte") != std::string::npos))
        << file << ": " << line;
  }
  EXPECT_EQ(seen, directories) << file;
}

// One device pixel per image pixel: the bounding box is the image's size in points, drawn at
// 72 dpi (ppmtoppm drops the comment Ghostscript puts in its PPM). 1-bit images get a black-0,
// white-1 table, which is what the program draws.
TEST(WrittenFiles, EpsRenderedByGhostscript) {
  const std::string gs = "gs -q -dSAFER -dBATCH -dNOPAUSE -dEPSCrop -r72 -sDEVICE=ppmraw -sOutputFile=- {in} | ppmtoppm > {out}";
  for (int bits : {1, 4, 8, 24})
    for (auto [width, height, noise] : {std::tuple{1, 1, false}, {5, 9, false}, {47, 33, true}, {2000, 3, true}}) {
      const std::string file = scratch_path("w14_" + std::to_string(bits) + "_" + std::to_string(width) + ".eps");
      const int handle = make_image(width, height, bits, noise);
      ASSERT_EQ(IMG_save_bitmap(handle, file.c_str(), PXV_SAVE_EPS), 0);
      Rgb rendered;
      ASSERT_TRUE(peer_decode(gs, file, &rendered)) << file;
      EXPECT_EQ(pixel_difference(rendered, handle_rgb(handle)), "") << file;
      IMG_delete_bitmap(handle);
    }
}

TEST(WrittenFiles, SavingAgainAppendsPages) {
  struct Page {
    int type, bits, width, height;
  };
  // TIFF pages of three kinds; DCX pages of one kind (8 bits: the table is each page's trailer).
  const std::vector<std::vector<Page>> files = {
      {{PXV_SAVE_TIFF, 8, 30, 20}, {PXV_SAVE_TIFF_G4, 1, 45, 9}, {PXV_SAVE_TIFF_HUFFMAN, 1, 17, 5}},
      {{PXV_SAVE_DCX, 8, 40, 20}, {PXV_SAVE_DCX, 8, 48, 21}, {PXV_SAVE_DCX, 8, 56, 22}}};
  for (const auto &pages : files) {
    const std::string file = scratch_path(pages[0].type == PXV_SAVE_DCX ? "three.dcx" : "three.tif");
    std::vector<Rgb> saved;
    for (const Page &p : pages) {
      const int handle = make_image(p.width, p.height, p.bits, false);
      saved.push_back(handle_rgb(handle));
      ASSERT_EQ(IMG_save_bitmap(handle, file.c_str(), p.type), 0);
      IMG_delete_bitmap(handle);
    }
    // ImageMagick reads DCX pages; libtiff cuts TIFF pages out for Pillow, which keeps a palette
    // across pages of different kinds (and ImageMagick rounds 16-bit colour maps down).
    for (std::size_t p = 0; p < pages.size(); ++p) {
      const std::string page = file + "[" + std::to_string(p) + "]";
      Rgb back;
      if (pages[0].type == PXV_SAVE_DCX) {
        ASSERT_TRUE(peer_decode(kMagick, page, &back));
      } else {
        ASSERT_TRUE(run_peer("tiffcp -c none {in}," + std::to_string(p) + " {out}", file, file + ".page.tif"));
        ASSERT_TRUE(peer_decode(kPillow, file + ".page.tif", &back));
      }
      EXPECT_EQ(pixel_difference(back, saved[p]), "") << page;
    }
    if (pages[0].type != PXV_SAVE_DCX) expect_libtiff_clean(file, 3);
  }
}

}  // namespace
}  // namespace pxv_test
