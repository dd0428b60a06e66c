// Differential test: random valid images of random sizes, written by the peer programs
// (generate.py) and by this library's own writers, are loaded by this library and compared with
// the pixels their writer was given, or for JPEG what this library's documented arithmetic
// makes of libjpeg's coefficients (jpeg_reference.c). Our own files are also read by a peer that
// reads that kind of file right. Crash fuzzing cannot see a wrong pixel; this can.
//
// One round makes PXV_DIFF_COUNT images (default 2000) from the seed PXV_DIFF_SEED (default 1).
// PXV_DIFF_MINUTES > 0 makes it a soak: rounds with the seeds SEED, SEED + 1, ... until then.
// A failing file is copied, with the pixels it should give, into PXV_DIFF_KEEP (default: the
// system's temporary folder) and named by its seed and image number.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "support/corpus.h"
#include "support/peers.h"

namespace pxv_test {
namespace {

namespace fs = std::filesystem;

long setting(const char *name, long fallback) {
  const char *v = std::getenv(name);
  return v && *v ? std::atol(v) : fallback;
}

struct Case {
  std::string format, file, variant;
  int page = 0;
  Rgb want;  // the pixels written; for JPEG what the reader's arithmetic gives
  bool jpeg = false;
};

// Peer decoders: shell commands over {in} and {out}, Pillow, and ImageMagick (many files a run).
const std::string kBmptopnm = "bmptopnm {in} | ppmtoppm > {out}", kGiftopnm = "giftopnm {in} | ppmtoppm > {out}",
                  kTgatoppm = "tgatoppm {in} > {out}", kMagick = "/usr/bin/convert {files}",
                  kMagickOriented = "/usr/bin/convert {files} -auto-orient";
// libwmf renders a metafile at its units per inch: one pixel per image pixel.
const std::string kMagickWmf = "/usr/bin/convert -density 1000 {files}";

// This library's writers and the peers that read their files right. Pillow 9.4 misreads RLE4
// BMP; for PCX it reads 1-bit files as black and white whatever their table, assembles 4-bit
// planes wrongly when plane lines hold padding bits and knows 24-bit files of version 5 only
// (ours are version 3), and ImageMagick shows 1-bit PCX inverted.
struct Writer {
  int type, bits;
  const char *ext;
  std::vector<std::string> peers;
};
const Writer kWriters[] = {
    {PXV_SAVE_BMP, 1, "bmp", {kPillow}},          {PXV_SAVE_BMP, 4, "bmp", {kPillow}},
    {PXV_SAVE_BMP, 8, "bmp", {kPillow}},          {PXV_SAVE_BMP, 24, "bmp", {kPillow, kBmptopnm}},
    {PXV_SAVE_BMP_RLE, 4, "bmp", {kBmptopnm}},    {PXV_SAVE_BMP_RLE, 8, "bmp", {kPillow, kBmptopnm}},
    {PXV_SAVE_GIF, 4, "gif", {kPillow, kGiftopnm}}, {PXV_SAVE_GIF, 8, "gif", {kPillow, kGiftopnm}},
    {PXV_SAVE_PCX, 1, "pcx", {kPillow}},          {PXV_SAVE_PCX, 4, "pcx", {kMagick}},
    {PXV_SAVE_PCX, 8, "pcx", {kPillow, kMagick}}, {PXV_SAVE_PCX, 24, "pcx", {kMagick}},
    {PXV_SAVE_DCX, 8, "dcx", {kMagick}},          {PXV_SAVE_DCX, 24, "dcx", {kMagick}},
    {PXV_SAVE_TIFF, 1, "tif", {kPillow}},         {PXV_SAVE_TIFF, 4, "tif", {kPillow}},
    {PXV_SAVE_TIFF, 8, "tif", {kPillow}},         {PXV_SAVE_TIFF, 24, "tif", {kPillow}},
    {PXV_SAVE_TIFF_LZW, 1, "tif", {kPillow}},     {PXV_SAVE_TIFF_LZW, 4, "tif", {kPillow}},
    {PXV_SAVE_TIFF_LZW, 8, "tif", {kPillow}},     {PXV_SAVE_TIFF_LZW, 24, "tif", {kPillow}},
    {PXV_SAVE_TIFF_HUFFMAN, 1, "tif", {kPillow}}, {PXV_SAVE_TIFF_G3, 1, "tif", {kPillow}},
    {PXV_SAVE_TIFF_G4, 1, "tif", {kPillow}},      {PXV_SAVE_TGA, 8, "tga", {kPillow, kTgatoppm, kMagickOriented}},
    {PXV_SAVE_TGA, 24, "tga", {kPillow, kTgatoppm, kMagickOriented}},
    {PXV_SAVE_PICT, 1, "pct", {kMagick}},         {PXV_SAVE_PICT, 4, "pct", {kMagick}},
    {PXV_SAVE_PICT, 8, "pct", {kMagick}},         {PXV_SAVE_PICT, 24, "pct", {kMagick}},
    {PXV_SAVE_WPG, 1, "wpg", {kMagick}},          {PXV_SAVE_WPG, 4, "wpg", {kMagick}},
    {PXV_SAVE_WPG, 8, "wpg", {kMagick}},          {PXV_SAVE_WMF, 1, "wmf", {kMagickWmf}},
    {PXV_SAVE_WMF, 4, "wmf", {kMagickWmf}},       {PXV_SAVE_WMF, 8, "wmf", {kMagickWmf}},
    {PXV_SAVE_WMF, 24, "wmf", {kMagickWmf}},      {PXV_SAVE_JPEG, 8, "jpg", {}},
    {PXV_SAVE_JPEG, 24, "jpg", {}},
};

// The generator's sizes: a third at most 9 x 9, the others up to 300 x 300, most of them small.
int random_side(std::mt19937 &rng, bool tiny) {
  const double u = std::uniform_real_distribution<>(0, 1)(rng);
  return tiny ? 1 + int(rng() % 9) : 1 + int(299 * u * u);
}

// A random picture under a random table (gray for half the 8-bit JPEG and Targa images, black
// and white where a bilevel form or a peer knows no other), as noise or runs of bytes.
int random_handle(std::mt19937 &rng, const Writer &w, int width, int height) {
  PackedDib dib = make_packed_dib(width, height, w.bits);
  const bool gray = (w.type == PXV_SAVE_JPEG || w.type == PXV_SAVE_TGA) && rng() % 2;
  const bool black_white = w.bits == 1 && w.type != PXV_SAVE_BMP;
  for (int i = 0; i < dib.table_bytes(); ++i)
    dib.bytes[40 + i] = i % 4 == 3 ? 0 : black_white ? (i < 4 ? 0 : 255) : gray ? std::uint8_t(i / 4) : std::uint8_t(rng());
  const bool noise = rng() % 5 < 2;
  const int mean = 1 << (rng() % 7);
  for (int r = 0; r < height; ++r)
    for (int b = 0, left = 0, value = 0; b < dib.row_bytes(); ++b, --left) {
      if (left <= 0) value = int(rng()), left = noise ? 1 : 1 + int(rng() % (2 * mean));
      dib.row(r)[b] = std::uint8_t(value);
    }
  return IMG_create_handle(dib.bytes.data());
}

// Files of this library's writers, their peer decodes compared in batches below.
std::vector<Case> write_ours(std::mt19937 &rng, int count, std::map<std::string, std::vector<std::size_t>> *by_peer,
                             std::size_t first) {
  std::vector<Case> cases;
  for (int i = 0; i < count; ++i) {
    const Writer &w = kWriters[rng() % std::size(kWriters)];
    const bool tiny = rng() % 3 == 0;
    const int width = random_side(rng, tiny), height = random_side(rng, tiny), handle = random_handle(rng, w, width, height);
    Case c{std::string("ours-") + w.ext, "ours" + std::to_string(i) + "." + w.ext,
           "type " + std::to_string(w.type) + " " + std::to_string(w.bits) + " bits", 0, handle_rgb(handle), w.type == PXV_SAVE_JPEG};
    if (c.jpeg) IMGLOW_set_comp_quality(int(rng() % 101));
    EXPECT_EQ(IMG_save_bitmap(handle, c.file.c_str(), w.type), 0) << c.file;
    IMG_delete_bitmap(handle);
    if (w.type == PXV_SAVE_TIFF_G3) {  // Group 3 rows are 1728 pixels: the image, then white
      Rgb wide{1728, height, Bytes(std::size_t(1728) * height * 3, 255)};
      for (int y = 0; y < height; ++y)
        std::copy_n(&c.want.pixels[std::size_t(y) * width * 3], std::min(width, 1728) * 3, &wide.pixels[std::size_t(y) * 1728 * 3]);
      c.want = wide;
    }
    // ImageMagick gives a packed PICT row of more than 200 bytes a 2-byte count (QuickDraw, as
    // this library, from 251 on), and sizes 24-bit rows by 3 x width, so that it reads a row of
    // two pixels (rowBytes 8) as unpacked.
    const int row = w.bits == 24 ? 3 * width : (width * w.bits + 7) / 8;
    const bool misread = w.type == PXV_SAVE_PICT && ((row > 200 && row <= 250) || (w.bits == 24 && width == 2));
    for (const std::string &peer : w.peers)
      if (!misread) (*by_peer)[peer].push_back(first + cases.size());
    cases.push_back(c);
  }
  return cases;
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

// The largest difference of one channel, or -1 for different sizes.
int max_error(const Rgb &a, const Rgb &b) {
  if (a.width != b.width || a.height != b.height) return -1;
  int most = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) most = std::max(most, std::abs(a.pixels[i] - b.pixels[i]));
  return most;
}

// What this library's JPEG reader must give for each file: jpeg_reference.c, built once, runs
// libjpeg's entropy decoding and this reader's own arithmetic (one run for all the files).
bool jpeg_references(std::vector<Case> &cases) {
  static const std::string helper = [] {
    const std::string exe = scratch_path("jpeg_reference");
    return run("cc -O2 -o " + exe + " " PXV_DIFF_DIR "/jpeg_reference.c -ljpeg -lm") ? exe : "";
  }();
  std::string command = helper;
  for (std::size_t i = 0; i < cases.size(); ++i)
    if (cases[i].jpeg) command += " " + cases[i].file + " ref" + std::to_string(i) + ".ppm";
  std::string log;
  if (helper.empty() || !run(command, &log)) return ADD_FAILURE() << "jpeg_reference: " << log, false;
  for (std::size_t i = 0; i < cases.size(); ++i)
    if (cases[i].jpeg && !read_pnm("ref" + std::to_string(i) + ".ppm", &cases[i].want)) return false;
  return true;
}

struct Round {
  int images = 0, failures = 0;
  std::map<std::string, int> per_format;
};

void keep_failure(long seed, std::size_t index, const Case &c, const std::string &why, Round *round) {
  const fs::path keep = std::getenv("PXV_DIFF_KEEP") ? std::getenv("PXV_DIFF_KEEP") : fs::temp_directory_path().string();
  const std::string stem = "diff_" + std::to_string(seed) + "_" + std::to_string(index) + "_";
  std::error_code ec;
  fs::create_directories(keep, ec);
  fs::copy_file(c.file, keep / (stem + c.file), fs::copy_options::overwrite_existing, ec);
  write_ppm((keep / (stem + "want.ppm")).string(), c.want);
  ++round->failures;
  ADD_FAILURE() << "seed " << seed << " image " << index << " (" << c.format << ", " << c.variant << ", page " << c.page
                << "): " << why << "; kept as " << (keep / (stem + c.file)).string();
}

Round run_round(long seed, int count) {
  Round round;
  const std::string dir = scratch_path("round" + std::to_string(seed));
  fs::create_directories(dir);
  EXPECT_EQ(chdir(dir.c_str()), 0);  // the planar TIFF reader spools through plane.tmp here
  std::string log;
  const int from_peers = count * 3 / 4;
  if (!run(kPython + " " PXV_DIFF_DIR "/generate.py " + std::to_string(seed) + " " + std::to_string(from_peers), &log)) {
    ADD_FAILURE() << "the generator failed for seed " << seed << ":\n" << log;
    return round;
  }
  std::vector<Case> cases;
  std::ifstream list("cases.txt");
  for (std::string line; std::getline(list, line);) {
    std::istringstream fields(line);
    Case c;
    std::string ref;
    fields >> c.format >> c.file >> c.page >> ref >> std::ws;
    std::getline(fields, c.variant);
    c.jpeg = ref == "jpeg";
    EXPECT_TRUE(c.jpeg || read_pnm(ref, &c.want)) << ref;
    cases.push_back(c);
  }
  std::mt19937 rng{std::uint32_t(seed)};
  std::map<std::string, std::vector<std::size_t>> by_peer;
  const std::vector<Case> ours = write_ours(rng, count - from_peers, &by_peer, cases.size());
  cases.insert(cases.end(), ours.begin(), ours.end());
  if (!jpeg_references(cases)) return round;

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case &c = cases[i];
    ++round.images, ++round.per_format[c.format];
    const int handle = load_page(c.file, c.page);
    if (handle < 0) {
      keep_failure(seed, i, c, "load result " + std::to_string(handle), &round);
      continue;
    }
    const std::string why = pixel_difference(handle_rgb(handle), c.want);
    IMG_delete_bitmap(handle);
    if (!why.empty()) keep_failure(seed, i, c, why, &round);
  }
  for (const auto &[peer, indices] : by_peer) {
    std::vector<std::string> files;
    for (std::size_t i : indices) files.push_back(cases[i].file);
    std::vector<Rgb> decoded;
    const bool batch = decode_all(peer, files, &decoded);
    for (std::size_t k = 0; k < indices.size(); ++k) {
      const Case &c = cases[indices[k]];
      std::vector<Rgb> one;  // a failed run is repeated file by file, to name the file
      if (!batch && !decode_all(peer, {c.file}, &one)) {
        keep_failure(seed, indices[k], c, "not read by " + peer, &round);
        continue;
      }
      // ImageMagick divides PICT table components (our levels x 256) by 257: one level lower.
      const int error = max_error(batch ? decoded[k] : one[0], c.want);
      if (error != 0 && !(c.file.ends_with(".pct") && error == 1))
        keep_failure(seed, indices[k], c, "read by " + peer + ": " + pixel_difference(batch ? decoded[k] : one[0], c.want), &round);
    }
  }
  EXPECT_EQ(chdir(scratch_dir().c_str()), 0);
  fs::remove_all(dir);
  return round;
}

TEST(Differential, RandomImagesLoadAsTheirWriterWasGiven) {
  const long seed = setting("PXV_DIFF_SEED", 1), minutes = setting("PXV_DIFF_MINUTES", 0);
  const int count = int(setting("PXV_DIFF_COUNT", 2000));
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(minutes);
  Round total;
  long s = seed;
  do {
    const Round round = run_round(s, count);
    std::printf("[ diff ] seed %ld: %d images, %d failed\n", s++, round.images, round.failures);
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
