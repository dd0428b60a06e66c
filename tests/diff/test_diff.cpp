// Random valid images of random sizes, written by the peer programs (generate.py) and by this
// library's writers, loaded by this library and compared with the pixels their writer was given
// (for JPEG, what the reader's documented arithmetic makes of libjpeg's coefficients); our own
// files are also read by the peers that read them right. A round makes PXV_DIFF_COUNT images
// (2000) from the seed PXV_DIFF_SEED (1); PXV_DIFF_MINUTES > 0 runs rounds with the seeds SEED,
// SEED + 1, ... until then. Failing files go to PXV_DIFF_KEEP (the system's temporary folder)
// with the pixels they should give, named by seed and image number.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "support/corpus.h"
#include "support/jpeg_support.h"
#include "support/peers.h"

namespace pxv_test {
namespace {

namespace fs = std::filesystem;

struct Case {
  std::string format, file, variant;
  int page = 0;
  Rgb want;
  bool jpeg = false;               // `want` still to be made from the file
  std::vector<std::string> peers;  // that read the file to `want` as well
};

// Peer decoders: shell commands over {in} and {out}, Pillow, and ImageMagick (many files a run;
// libwmf renders a metafile at its units per inch, so 1000 gives one pixel per image pixel).
const std::string kBmptopnm = "bmptopnm {in} | ppmtoppm > {out}", kGiftopnm = "giftopnm {in} | ppmtoppm > {out}",
                  kTgatoppm = "tgatoppm {in} > {out}", kMagick = "/usr/bin/convert {files}",
                  kMagickTga = "/usr/bin/convert {files} -auto-orient", kMagickWmf = "/usr/bin/convert -density 1000 {files}";

// This library's writers by bit count, and the peers that read their files right. Pillow 9.4
// misreads RLE4 BMP; for PCX it reads 1-bit files as black and white whatever their table,
// assembles 4-bit planes wrongly when plane lines hold padding bits and knows 24-bit files of
// version 5 only (ours are version 3), and ImageMagick shows 1-bit PCX inverted. libtiff (so
// Pillow) fails on some modified-Huffman strips that are byte for byte what its own encoder writes.
struct Writer {
  int type;
  const char *ext;
  std::vector<int> bits;
  std::vector<std::string> peers;
};
const Writer kWriters[] = {
    {PXV_SAVE_BMP, "bmp", {1, 4, 8}, {kPillow}},      {PXV_SAVE_BMP, "bmp", {24}, {kPillow, kBmptopnm}},
    {PXV_SAVE_BMP_RLE, "bmp", {4}, {kBmptopnm}},      {PXV_SAVE_BMP_RLE, "bmp", {8}, {kPillow, kBmptopnm}},
    {PXV_SAVE_GIF, "gif", {4, 8}, {kPillow, kGiftopnm}}, {PXV_SAVE_PCX, "pcx", {1}, {kPillow}},
    {PXV_SAVE_PCX, "pcx", {4, 24}, {kMagick}},        {PXV_SAVE_PCX, "pcx", {8}, {kPillow, kMagick}},
    {PXV_SAVE_DCX, "dcx", {8, 24}, {kMagick}},        {PXV_SAVE_TIFF, "tif", {1, 4, 8, 24}, {kPillow}},
    {PXV_SAVE_TIFF_LZW, "tif", {1, 4, 8, 24}, {kPillow}}, {PXV_SAVE_TIFF_HUFFMAN, "tif", {1}, {}},
    {PXV_SAVE_TIFF_G3, "tif", {1}, {kPillow}},        {PXV_SAVE_TIFF_G4, "tif", {1}, {kPillow}},
    {PXV_SAVE_TGA, "tga", {8, 24}, {kPillow, kTgatoppm, kMagickTga}}, {PXV_SAVE_PICT, "pct", {1, 4, 8, 24}, {kMagick}},
    {PXV_SAVE_WPG, "wpg", {1, 4, 8}, {kMagick}},      {PXV_SAVE_WMF, "wmf", {1, 4, 8, 24}, {kMagickWmf}},
    {PXV_SAVE_JPEG, "jpg", {8, 24}, {}},
};

// Besides the random sizes, in every round: CCITT runs of every length, LZW strips past code 4079
// (a Clear), rows longer than a strip, a GIF whose code table fills up, and the widest rows that
// PICT (rowBytes below 0x4000), WPG (4095 pixels) and Targa take.
struct Large {
  int type, bits, width, height;
};
const Large kLarge[] = {
    {PXV_SAVE_TIFF_HUFFMAN, 1, 2000, 30}, {PXV_SAVE_TIFF_G4, 1, 2000, 30}, {PXV_SAVE_TIFF_G3, 1, 1900, 5},
    {PXV_SAVE_TIFF_LZW, 1, 2000, 30},     {PXV_SAVE_TIFF_LZW, 8, 300, 400}, {PXV_SAVE_TIFF_LZW, 24, 4000, 3},
    {PXV_SAVE_TIFF_LZW, 8, 1000, 100},    {PXV_SAVE_GIF, 8, 640, 480},      {PXV_SAVE_PICT, 1, 32767, 2},
    {PXV_SAVE_PICT, 4, 32764, 2},         {PXV_SAVE_PICT, 8, 16382, 2},     {PXV_SAVE_PICT, 24, 4095, 2},
    {PXV_SAVE_TGA, 8, 8000, 3},           {PXV_SAVE_TGA, 24, 8000, 3},      {PXV_SAVE_WPG, 1, 4095, 3},
    {PXV_SAVE_WPG, 4, 4095, 3},           {PXV_SAVE_WPG, 8, 4095, 3},       {PXV_SAVE_WMF, 8, 8000, 3},
};

// The generator's sizes: a third at most 9 x 9, the others up to 300 x 300, most of them small.
int random_side(std::mt19937 &rng, bool tiny) {
  const double u = std::uniform_real_distribution<>(0, 1)(rng);
  return tiny ? 1 + int(rng() % 9) : 1 + int(299 * u * u);
}

// One file of a writer (random, or the large one given): a random picture under a random table
// (gray for half the JPEG and Targa images, black and white where a bilevel form or a peer knows
// no other), noise or runs of bytes.
Case write_ours(std::mt19937 &rng, int i, const Large *large = nullptr) {
  const Writer *w = &kWriters[rng() % std::size(kWriters)];
  for (const Writer &k : kWriters)
    if (large && k.type == large->type && std::ranges::count(k.bits, large->bits)) w = &k;
  const int bits = large ? large->bits : w->bits[rng() % w->bits.size()];
  const bool tiny = rng() % 3 == 0, gray = (w->type == PXV_SAVE_JPEG || w->type == PXV_SAVE_TGA) && rng() % 2;
  const int width = large ? large->width : random_side(rng, tiny), height = large ? large->height : random_side(rng, tiny);
  PackedDib dib = make_packed_dib(width, height, bits);
  for (int k = 0; k < dib.table_bytes(); ++k)
    dib.bytes[40 + k] = k % 4 == 3 ? 0 : bits == 1 && w->type != PXV_SAVE_BMP ? (k < 4 ? 0 : 255) : gray ? k / 4 : rng();
  const int mean = rng() % 5 < 2 ? 0 : 1 << (rng() % 7);
  for (int r = 0; r < height; ++r)
    for (int b = 0, left = 0, value = 0; b < dib.row_bytes(); ++b, --left) {
      if (left <= 0) value = int(rng()), left = 1 + (mean ? int(rng() % (2 * mean)) : 0);
      dib.row(r)[b] = std::uint8_t(value);
    }
  const int handle = IMG_create_handle(dib.bytes.data());
  Case c{std::string("ours-") + w->ext, "ours" + std::to_string(i) + "." + w->ext,
         "type " + std::to_string(w->type) + ", " + std::to_string(bits) + " bits", 0, handle_rgb(handle), w->type == PXV_SAVE_JPEG, w->peers};
  if (c.jpeg) IMGLOW_set_comp_quality(int(rng() % 101));
  EXPECT_EQ(IMG_save_bitmap(handle, c.file.c_str(), w->type), 0) << c.file;
  IMG_delete_bitmap(handle);
  if (w->type == PXV_SAVE_TGA) {  // the image type: gray 3, colour-mapped 1, true colour 2
    EXPECT_EQ(read_file(c.file)[2], bits == 24 ? 2 : gray ? 3 : 1) << c.file;
  }
  if (w->type == PXV_SAVE_TIFF_G3) {  // Group 3 rows are 1728 pixels: the image, then white
    Rgb wide{1728, height, Bytes(std::size_t(1728) * height * 3, 255)};
    for (int y = 0; y < height; ++y)
      std::copy_n(&c.want.pixels[std::size_t(y) * width * 3], std::min(width, 1728) * 3, &wide.pixels[std::size_t(y) * 1728 * 3]);
    c.want = wide;
  }
  // ImageMagick gives a packed PICT row of more than 200 bytes a 2-byte count (QuickDraw, as this
  // library, from 251 on), sizes 24-bit rows by 3 x width, so that it reads a row of two pixels
  // (rowBytes 8) as unpacked, and its policy refuses widths over 16000.
  const int row = bits == 24 ? 3 * width : (width * bits + 7) / 8;
  if (w->type == PXV_SAVE_PICT && ((row > 200 && row <= 250) || (bits == 24 && width == 2) || width > 16000)) c.peers.clear();
  return c;
}

// A peer's decodes of many files; ImageMagick reads them all in one run.
bool decode_all(std::string peer, const std::vector<std::string> &files, std::vector<Rgb> *out) {
  const std::size_t at = peer.find("{files}");
  if (at == std::string::npos) return peer_decode_all(peer, files, out);
  std::string names;
  for (const std::string &f : files) names += " " + f;
  if (!run(peer.replace(at, 7, names) + " -depth 8 +adjoin ppm:peer_%04d.ppm")) return false;
  out->assign(files.size(), Rgb());
  char name[32];
  for (std::size_t i = 0; i < files.size(); ++i)
    if (std::snprintf(name, sizeof name, "peer_%04zu.ppm", i), !read_pnm(name, &(*out)[i])) return false;
  return true;
}

struct Tally {
  int images = 0, failures = 0;
  std::map<std::string, int> per_format;
};

void fail(long seed, std::size_t index, const Case &c, const std::string &why, Tally *tally) {
  const fs::path keep = std::getenv("PXV_DIFF_KEEP") ? std::getenv("PXV_DIFF_KEEP") : fs::temp_directory_path().string();
  const std::string stem = "diff_" + std::to_string(seed) + "_" + std::to_string(index) + "_";
  std::error_code ec;
  fs::create_directories(keep, ec);
  fs::copy_file(c.file, keep / (stem + c.file), fs::copy_options::overwrite_existing, ec);
  write_ppm((keep / (stem + "want.ppm")).string(), c.want);
  ++tally->failures;
  ADD_FAILURE() << "seed " << seed << " image " << index << " (" << c.format << ", " << c.variant << ", page " << c.page
                << "): " << why << "; kept as " << (keep / (stem + c.file)).string();
}

Tally run_round(long seed, int count) {
  Tally tally;
  const std::string dir = scratch_path("round" + std::to_string(seed));
  fs::create_directories(dir);
  EXPECT_EQ(chdir(dir.c_str()), 0);  // the planar TIFF reader spools through plane.tmp here
  std::string log;
  const int from_peers = count * 3 / 4;
  if (!run(kPython + " " PXV_DIFF_DIR "/generate.py " + std::to_string(seed) + " " + std::to_string(from_peers), &log))
    return ADD_FAILURE() << "the generator failed for seed " << seed << ":\n" << log, tally;
  std::vector<Case> cases;
  std::ifstream list("cases.txt");
  for (std::string line, ref; std::getline(list, line);) {
    std::istringstream fields(line);
    Case &c = cases.emplace_back();
    fields >> c.format >> c.file >> c.page >> ref >> std::ws;
    std::getline(fields, c.variant);
    c.jpeg = ref == "jpeg";
    EXPECT_TRUE(c.jpeg || read_pnm(ref, &c.want)) << ref;
  }
  std::mt19937 rng{std::uint32_t(seed)};
  for (int i = from_peers; i < count; ++i) cases.push_back(write_ours(rng, i - from_peers));
  for (const Large &large : kLarge) cases.push_back(write_ours(rng, int(cases.size()), &large));

  std::vector<std::string> jpegs;
  std::vector<Rgb> references;
  for (const Case &c : cases)
    if (c.jpeg) jpegs.push_back(c.file);
  if (!jpeg_reference_all(jpegs, &references)) return ADD_FAILURE() << "no JPEG reference", tally;
  std::map<std::string, std::vector<std::size_t>> by_peer;
  for (std::size_t i = 0, j = 0; i < cases.size(); ++i) {
    Case &c = cases[i];
    if (c.jpeg) c.want = references[j++];
    for (const std::string &peer : c.peers) by_peer[peer].push_back(i);
    ++tally.images, ++tally.per_format[c.format];
    const int handle = load_page(c.file, c.page);
    const std::string why = handle < 0 ? "load result " + std::to_string(handle) : pixel_difference(handle_rgb(handle), c.want);
    if (!why.empty()) fail(seed, i, c, why, &tally);
    if (handle >= 0) IMG_delete_bitmap(handle);
  }
  for (const auto &[peer, indices] : by_peer) {
    std::vector<std::string> files;
    for (std::size_t i : indices) files.push_back(cases[i].file);
    std::vector<Rgb> batch, one;  // a failed run is repeated file by file, to name the file
    const bool whole = decode_all(peer, files, &batch);
    for (std::size_t k = 0; k < indices.size(); ++k) {
      const Case &c = cases[indices[k]];
      if (!whole && !decode_all(peer, {c.file}, &one)) {
        fail(seed, indices[k], c, "not read by " + peer, &tally);
        continue;
      }
      Rgb got = whole ? batch[k] : one[0];
      // ImageMagick divides PICT table components (our levels x 256) by 257: one level lower.
      for (std::size_t b = 0; c.file.ends_with(".pct") && b < got.pixels.size() && b < c.want.pixels.size(); ++b)
        got.pixels[b] += got.pixels[b] + 1 == c.want.pixels[b];
      const std::string why = pixel_difference(got, c.want);
      if (!why.empty()) fail(seed, indices[k], c, "read by " + peer + ": " + why, &tally);
    }
  }
  EXPECT_EQ(chdir(scratch_dir().c_str()), 0);
  fs::remove_all(dir);
  return tally;
}

TEST(Differential, RandomImagesLoadAsTheirWriterWasGiven) {
  const auto setting = [](const char *name, long fallback) { return std::getenv(name) ? std::atol(std::getenv(name)) : fallback; };
  const long seed = setting("PXV_DIFF_SEED", 1), count = setting("PXV_DIFF_COUNT", 2000);
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(setting("PXV_DIFF_MINUTES", 0));
  Tally total;
  long s = seed;
  do {
    const Tally round = run_round(s, int(count));
    std::printf("[ diff ] seed %ld: %d images, %d failed\n", s++, round.images, round.failures);
    std::fflush(stdout);
    total.images += round.images, total.failures += round.failures;
    for (const auto &[format, n] : round.per_format) total.per_format[format] += n;
  } while (std::chrono::steady_clock::now() < end);
  std::printf("[ diff ] seeds %ld to %ld: %d images, %d failed;", seed, s - 1, total.images, total.failures);
  for (const auto &[format, n] : total.per_format) std::printf(" %s %d", format.c_str(), n);
  std::printf("\n");
  EXPECT_GE(total.images, count);
}

}  // namespace
}  // namespace pxv_test
