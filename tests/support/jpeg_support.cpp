#include "jpeg_support.h"

#include <cstring>

#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "support/peers.h"

namespace pxv_test {

namespace {

int fetch_row(void *dib, unsigned char *dest, int row, int bytes) {
  std::memcpy(dest, static_cast<PackedDib *>(dib)->row(row), static_cast<std::size_t>(bytes));
  return 0;
}

}  // namespace

static constexpr const char *kHelperSource = R"(
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

bool libjpeg_planes(const std::string &jpeg, Rgb *planes) {
  static const std::string helper = [] {
    const std::string src = scratch_path("planes.c"), exe = scratch_path("planes");
    write_file(src, Bytes(kHelperSource, kHelperSource + std::strlen(kHelperSource)));
    return run("cc -O1 -o " + exe + " " + src + " -ljpeg") ? exe : "";
  }();
  return !helper.empty() && peer_decode(helper + " {in} {out}", jpeg, planes);
}

static int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// Luma below 1 and chroma below -127 are what the library's inverse transform cannot produce.
Bytes planes_to_bgr(const Rgb &p, bool gray) {
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

Capture decode_jpeg(const Bytes &bytes, std::uint32_t offset, bool bounded) {
  Capture d;
  read_memory(pxv::open_jpg, bytes, &d, offset, bounded);
  return d;
}

Bytes save_jpeg(PackedDib &dib) {
  const std::string path = scratch_path("save.jpg");
  HFILE file = open_file(path, OF_CREATE);
  Bytes header(dib.bytes.begin(), dib.bytes.begin() + 40 + dib.table_bytes());
  header.resize(1064);
  int rc = IMGLOW_save_bitmap(file, header.data(), PXV_SAVE_JPEG, fetch_row, &dib);
  _lclose(file);
  if (rc < 0) return {};
  return read_file(path);
}

}  // namespace pxv_test
