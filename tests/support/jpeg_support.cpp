#include "jpeg_support.h"

#include <cmath>
#include <cstring>

#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "support/peers.h"

namespace pxv_test {

namespace {

int collect_header(unsigned char *header, void *priv) {
  auto *d = static_cast<Decoded *>(priv);
  d->header.assign(header, header + 1064);
  d->width = static_cast<int>(header[4] | (header[5] << 8) | (header[6] << 16) | (header[7] << 24));
  d->height = static_cast<int>(header[8] | (header[9] << 8) | (header[10] << 16) | (header[11] << 24));
  d->bits = header[14];
  if (d->height > 0 && d->height < (1 << 16)) {
    d->rows.assign(static_cast<std::size_t>(d->height), Bytes());
    d->deliveries.assign(static_cast<std::size_t>(d->height), 0);
  }
  return 1;
}

int collect_row(unsigned char *row, void *priv, int number, int bytes) {
  auto *d = static_cast<Decoded *>(priv);
  if (number >= 0 && number < static_cast<int>(d->rows.size())) {
    d->rows[static_cast<std::size_t>(number)].assign(row, row + bytes);
    ++d->deliveries[static_cast<std::size_t>(number)];
  }
  return 0;
}

struct FetchContext {
  PackedDib *dib;
};

int fetch_row(void *priv, unsigned char *dest, int row, int bytes) {
  auto *c = static_cast<FetchContext *>(priv);
  std::memcpy(dest, c->dib->row(row), static_cast<std::size_t>(bytes));
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

void Decoded::pixel(int x, int y, std::uint8_t bgr[3]) const {
  const Bytes &row = rows[static_cast<std::size_t>(y)];
  if (bits == 24) {
    for (int i = 0; i < 3; ++i) bgr[i] = row[static_cast<std::size_t>(3 * x + i)];
  } else {
    bgr[0] = bgr[1] = bgr[2] = row[static_cast<std::size_t>(x)];
  }
}

Decoded decode_jpeg(const Bytes &bytes, std::uint32_t offset, bool bounded) {
  Decoded d;
  if (bounded)
    pxv::reset_mem_io_bounded(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  else
    pxv::reset_mem_io(bytes.data());
  d.result = pxv::open_jpg(offset, collect_row, &d, collect_header, pxv::kMemoryStream);
  pxv::img_ffree_all();
  return d;
}

Bytes save_jpeg(PackedDib &dib, int *result) {
  const std::string path = scratch_path("save.jpg");
  OFSTRUCT of;
  HFILE file = OpenFile(path.c_str(), &of, OF_CREATE);
  FetchContext context{&dib};
  Bytes header(dib.bytes.begin(), dib.bytes.begin() + 40 + dib.table_bytes());
  header.resize(1064);
  int rc = IMGLOW_save_bitmap(file, header.data(), PXV_SAVE_JPEG, fetch_row, &context);
  _lclose(file);
  if (result != nullptr) *result = rc;
  if (rc < 0) return {};
  return read_file(path);
}

void JpegBuilder::segment(std::uint8_t marker, const Bytes &body) {
  const std::size_t length = body.size() + 2;
  bytes.insert(bytes.end(), {0xFF, marker, static_cast<std::uint8_t>(length >> 8),
                             static_cast<std::uint8_t>(length)});
  bytes.insert(bytes.end(), body.begin(), body.end());
}

void JpegBuilder::dqt(int id, std::uint8_t value) {
  Bytes body(65, value);
  body[0] = static_cast<std::uint8_t>(id);
  segment(0xDB, body);
}

void JpegBuilder::sof(int width, int height, const std::vector<std::uint8_t> &samplings,
                      std::uint8_t marker, int precision) {
  Bytes body{static_cast<std::uint8_t>(precision), static_cast<std::uint8_t>(height >> 8),
             static_cast<std::uint8_t>(height), static_cast<std::uint8_t>(width >> 8),
             static_cast<std::uint8_t>(width), static_cast<std::uint8_t>(samplings.size())};
  for (std::size_t i = 0; i < samplings.size(); ++i)
    body.insert(body.end(), {static_cast<std::uint8_t>(i + 1), samplings[i], static_cast<std::uint8_t>(i == 0 ? 0 : 1)});
  segment(marker, body);
}

void JpegBuilder::dht(std::uint8_t class_id, const std::vector<int> &counts, const Bytes &symbols) {
  Bytes body{class_id};
  for (int i = 0; i < 16; ++i)
    body.push_back(static_cast<std::uint8_t>(i < static_cast<int>(counts.size()) ? counts[static_cast<std::size_t>(i)] : 0));
  body.insert(body.end(), symbols.begin(), symbols.end());
  segment(0xC4, body);
}

void JpegBuilder::sos(int components) {
  Bytes body{static_cast<std::uint8_t>(components)};
  for (int i = 0; i < components; ++i)
    body.insert(body.end(), {static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(i == 0 ? 0x00 : 0x11)});
  body.insert(body.end(), {0, 63, 0});
  segment(0xDA, body);
}

void JpegBuilder::data(const Bytes &entropy) { bytes.insert(bytes.end(), entropy.begin(), entropy.end()); }

void JpegBuilder::eoi() { bytes.insert(bytes.end(), {0xFF, 0xD9}); }

double psnr(const Bytes &a, const Bytes &b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
  }
  if (sum == 0 || a.empty()) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(a.size())));
}

}  // namespace pxv_test
