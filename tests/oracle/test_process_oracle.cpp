// Image processing beside peer programs: enlargements against Pillow's nearest-neighbour
// sampling, and the file variants run on a BMP that ImageMagick wrote (a 124-byte info header),
// their outputs read by Pillow and ImageMagick. (Turns and mirrors are checked pixel by pixel in
// the unit tests.)
#include <gtest/gtest.h>

#include <string>

#include "peers.h"
#include "support.h"

namespace pxv_test {
namespace {

const std::string kMagick = "/usr/bin/convert {in} ppm:{out}";

using ProcessOracle = HandleTest;

// The handle's pixels as a PPM, for a peer to work on.
std::string ppm_of(int handle, const std::string &name) {
  const std::string file = scratch_path(name);
  write_ppm(file, handle_rgb(handle));
  return file;
}

// What Pillow makes of `in` enlarged to width x height by nearest neighbour.
Rgb pillow_nearest(const std::string &in, int width, int height) {
  const std::string out = in + ".pillow.ppm";
  Rgb rgb;
  EXPECT_TRUE(run_pillow("Image.open(sys.argv[1]).resize((int(sys.argv[3]), int(sys.argv[4])), Image.NEAREST).save(sys.argv[2])",
                         {in, out, std::to_string(width), std::to_string(height)}));
  EXPECT_TRUE(read_pnm(out, &rgb));
  return rgb;
}

// At 2, 4 and 8 times the steps are exact, and the peers (Pillow, ImageMagick's -sample) sample
// the same columns. (At other factors they differ by design: at 3 times the step is 85, so
// output column 3 samples column 0.)
TEST_F(ProcessOracle, EnlargementsAsPillowSamples) {
  for (int bits : {1, 8, 24})
    for (int factor : {2, 4, 8}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(factor) + " times");
      const int h = picture_handle(13, 7, bits);
      const std::string in = ppm_of(h, "small.ppm");
      ASSERT_EQ(IMG_resize_bitmap(h, 13 * factor, 7 * factor, nullptr, 0), 0);
      EXPECT_EQ(handle_rgb(h).pixels, pillow_nearest(in, 13 * factor, 7 * factor).pixels);
    }
}

TEST_F(ProcessOracle, FileVariantsOnAnImageMagickBmpReadByPeers) {
  const std::string source_ppm = ppm_of(picture_handle(13, 7, 24), "source.ppm"), in = scratch_path("magick.bmp");
  ASSERT_TRUE(run_peer("/usr/bin/convert {in} -type TrueColor BMP:{out}", source_ppm, in));
  ASSERT_EQ(read_file(in)[14], 124) << "ImageMagick's BMP carries a 124-byte info header";
  // Expected: the source turned by 180, doubled by nearest neighbour, and reduced by IMG_24_to_8.
  Rgb turned;
  ASSERT_TRUE(peer_decode("pamflip -r180 {in} > {out}", source_ppm, &turned));
  // (This library reads a 124-byte header as OS/2's, so the reduction starts from the picture.)
  const int loaded = picture_handle(13, 7, 24);
  ASSERT_EQ(IMG_24_to_8(loaded), 0);
  struct Case {
    const char *name;
    FileOp op;
    Rgb expected;
  };
  const Case cases[] = {{"flip", [](HFILE i, HFILE o) { return IMG_flip_bitmap_fd(i, o, 1, 1); }, turned},
                        {"resize", [](HFILE i, HFILE o) { return IMG_resize_bitmap_fd(i, o, 26, 14); }, pillow_nearest(source_ppm, 26, 14)},
                        {"to8", IMG_24_to_8_fd, handle_rgb(loaded)}};
  for (const Case &c : cases) {
    const std::string out = scratch_path(std::string(c.name) + ".bmp");
    ASSERT_EQ(file_to_file(in, out, c.op), 0) << c.name;
    for (const std::string &peer : {kPillow, kMagick}) {
      Rgb decoded;
      ASSERT_TRUE(peer_decode(peer, out, &decoded)) << c.name << " " << peer;
      EXPECT_TRUE(decoded == c.expected) << c.name << " " << peer;
    }
  }
}

}  // namespace
}  // namespace pxv_test
