// The pxv command line: info describes an image, convert follows its options and converts
// batches in worker processes, errors exit non-zero with the result code's meaning, failed saves
// leave outputs alone, --limit-memory bounds what a file can make it allocate.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <map>
#include <random>
#include <string>

#include "peers.h"
#include "support.h"
#include "workers.h"

using pxv_test::Bytes;
using pxv_test::operator+;

namespace {

std::string pxv(const std::string &args, bool *ok = nullptr) {
  std::string out;
  bool success = pxv_test::run(std::string(PXV_CLI) + " " + args, &out);
  if (ok != nullptr) *ok = success;
  return out;
}

// A BMP of the test picture at a bit count, in the scratch folder.
std::string picture_file(const std::string &name, int bits) {
  const int h = pxv_test::picture_handle(40, 30, bits);
  std::string file = pxv_test::save_bmp(h, name);
  IMG_delete_bitmap(h);
  return file;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The width, height and bit count of the image the library loads from a file.
std::array<int, 3> size_of(const std::string &file) {
  std::array<int, 3> size{};
  const int h = IMG_decompress_bitmap(file.c_str());
  IMG_bitmap_info(h, &size[0], &size[1], &size[2]);
  IMG_delete_bitmap(h);
  return size;
}

TEST(CliInfo, DescribesAnImageFailsClearlyAndHelpsEveryCommand) {
  std::string file = picture_file("info.bmp", 4);
  bool ok = false;
  std::string out = pxv("info " + file, &ok);
  EXPECT_TRUE(ok && has(out, "width:     40") && has(out, "bit count: 4") && has(out, "colours:   16")) << out;
  out = pxv("info " + pxv_test::scratch_path("missing.bmp"), &ok);
  EXPECT_TRUE(!ok && has(out, "cannot be opened or read (result -2)")) << out;
  bool frobnicated = true;
  pxv("info " + file + " --page 3", &ok), pxv("frobnicate", &frobnicated);
  EXPECT_TRUE(!ok && !frobnicated) << "a BMP has no page 3; no such command";
  // A 54-byte header asking for 927 MiB is refused under --limit-memory before any allocation,
  // by pxv's load, which says what the image needs, and by the library's block limit.
  const std::string huge = pxv_test::scratch_path("huge.bmp");
  pxv_test::write_file(huge, pxv_test::bmp_file_header(54, 54) + Bytes{40, 0, 0, 0, 0x50, 0x46, 0, 0, 0x50, 0x46, 0, 0, 1, 0, 24} + Bytes(25, 0));
  out = pxv("--limit-memory 64MiB convert " + huge + " " + huge + ".bmp", &ok);
  EXPECT_TRUE(!ok && has(out, "(result -1)") && has(out, "needs 927.0 MiB, above --limit-memory 64MiB")) << out;
  EXPECT_TRUE(has(pxv("--limit-memory=64m info " + huge, &ok), "(result -1)") && !ok);
  for (const char *command : {"", "info ", "convert ", "render ", "print ", "crop ", "tour "}) {
    EXPECT_TRUE(has(pxv(std::string(command) + "--help", &ok), "usage: pxv") && ok) << command;
  }
}

TEST(CliConvert, TypeByNameNumberOrEndingAndCrop) {
  std::string in = picture_file("in.bmp", 8);
  bool ok = false;
  std::string out = pxv_test::scratch_path("out.tiff");
  pxv("convert " + in + " " + out, &ok);  // "tiff" is known to the CLI, not to the library
  EXPECT_TRUE(ok && IMGLOW_get_filetype(out.c_str()) == PXV_SAVE_TIFF);
  std::string gif = pxv_test::scratch_path("out.data");
  pxv("convert " + in + " " + gif + " --type=gif", &ok);
  EXPECT_EQ(IMGLOW_get_filetype(gif.c_str()), PXV_SAVE_GIF);
  std::string rle = pxv_test::scratch_path("out.rle");
  pxv("convert " + in + " " + rle + " --type 12 --crop 5,4,10,7", &ok);
  EXPECT_EQ(size_of(rle), (std::array<int, 3>{10, 7, 8}));
  pxv("convert " + in + " " + pxv_test::scratch_path("x.unknown"), &ok);
  EXPECT_FALSE(ok) << "no type from the ending";
  std::string why = pxv("convert " + in + " " + out + " --type tiff-g4", &ok);
  EXPECT_TRUE(!ok && has(why, "(result -6)")) << "Group 4 takes bilevel images only: " << why;
}

// A refused save (a crop outside the image, a depth the type does not take), one that runs out of
// room and one into a folder that is not there leave the output as it was, or absent, for every
// type. A file size limit whose signal is ignored fails every write
// past it, as a full disk does, without the rights to mount one.
TEST(CliConvert, AFailedSaveLeavesTheOutputAsItWas) {
  const std::string dir = pxv_test::scratch_path("kept"), small = picture_file("small.bmp", 24);
  pxv_test::run("rm -rf " + dir + " && mkdir " + dir);
  pxv_test::PackedDib dib = pxv_test::make_packed_dib(300, 300, 24);
  std::generate(dib.bytes.begin() + 40, dib.bytes.end(), std::mt19937(1));  // noise: it compresses badly
  const std::string noise = pxv_test::save_bmp(IMG_create_handle(dib.bytes.data()), "noise.bmp");
  bool ok = true;
  std::string why;
  for (int type = 0; type < 16; ++type) {  // at a depth it writes: CCITT 1 bit; GIF, WPG, RLE 8
    const char *depth = type >= 7 && type <= 10 ? " --dither bayer" : type == 4 || type == 5 || type == 12 ? " --to8" : "";
    const std::string kept = dir + "/kept" + std::to_string(type), as = " -q --type " + std::to_string(type) + depth;
    pxv("convert " + small + " " + kept + as, &ok);  // a first page to add to, or any file
    const Bytes before = pxv_test::read_file(kept);
    for (const std::string &out : {kept, dir + "/absent", dir + "/no/such/folder"}) {
      pxv("convert " + small + " " + out + " --crop 100,100,10,10" + as, &ok);
      EXPECT_FALSE(ok) << type;
      // Refused: a 24-bit picture as a type that takes at most 8 bits.
      if (*depth && type != PXV_SAVE_TIFF_LZW) {
        EXPECT_TRUE(has(pxv("convert " + small + " " + out + " -q --type " + std::to_string(type), &ok), "(result -6)") && !ok) << type;
      }
      ok = pxv_test::run("trap '' XFSZ; ulimit -f 16; exec " PXV_CLI " convert " + noise + " " + out + as, &why);
      EXPECT_TRUE(!ok && has(why, out.ends_with("folder") ? "(result -8)" : "(result -10)")) << type << why;
    }
    EXPECT_TRUE(!before.empty() && pxv_test::read_file(kept) == before) << type;
  }
  pxv_test::run("ls -A " + dir, &why);
  EXPECT_EQ(std::count(why.begin(), why.end(), '\n'), 16) << "only the kept files, no temporary files:\n" << why;
}

TEST(CliConvert, BatchGoesOnPastAFailureAndSaysWhichFailed) {
  std::string a = picture_file("batch_a.bmp", 8), b = picture_file("batch_b.bmp", 24);
  std::string bad = pxv_test::scratch_path("batch_bad.gif");
  pxv_test::write_file(bad, Bytes(64, 0x20));
  std::string dir = pxv_test::scratch_path("batch_out");
  bool ok = true;
  std::string out = pxv("convert " + a + " " + bad + " " + b + " --out-dir " + dir + " -j 2 --type pcx", &ok);
  EXPECT_TRUE(!ok && has(out, "batch_bad.gif: unknown or unsupported type (result -6)") && has(out, "1 of 3 files failed")) << out;
  for (const char *name : {"/batch_a.pcx", "/batch_b.pcx"})
    EXPECT_EQ(IMGLOW_get_filetype((dir + name).c_str()), PXV_SAVE_PCX) << name;
  pxv("convert " + a + " " + b + " --out-dir " + dir + " -j 2 --type pcx", &ok);
  EXPECT_TRUE(ok);
  pxv("convert " + a + " " + b + " " + dir, &ok);
  EXPECT_FALSE(ok) << "several inputs need --out-dir";
}

// A worker that dies takes only the job it was running with it: that job finishes with the
// worker's status, the jobs the worker had been sent go to another, and every job finishes once.
TEST(CliWorkers, EveryJobFinishesOnceThoughWorkersDie) {
  for (int workers : {2, 3}) {
    std::map<int, int> status;
    pxv_cli::run_jobs(
        13, workers,
        [](int i) {
          if (i % 5 == 3) raise(SIGKILL);
          if (i == 7) _exit(42);
          return i % 4;
        },
        [&](int i, int s) { EXPECT_TRUE(status.emplace(i, s).second) << "job " << i << " finished twice"; });
    ASSERT_EQ(status.size(), 13u) << workers;
    for (auto [i, s] : status) EXPECT_EQ(s, i % 5 == 3 ? 128 + SIGKILL : i == 7 ? 42 : i % 4) << "job " << i;
  }
}

// The CLI loads through the low-level entry with callbacks of its own (for its row progress
// bar): its images must be the library's own load, byte for byte. A CMYK TIFF checks that the
// private block it hands the reader asks for all four channels.
TEST(CliConvert, LoadsAsTheLibraryDoes) {
  const std::string in = std::string(PXV_CORPUS_DIR) + "/tiff/gen_cmyk_edges_8x2_II.tif";
  const std::string out = pxv_test::scratch_path("cmyk.bmp"), ours = pxv_test::scratch_path("lib.bmp");
  bool ok = false;
  pxv("convert " + in + " " + out, &ok);
  const int h = IMG_decompress_bitmap(in.c_str());
  ASSERT_TRUE(h >= 0 && IMG_save_bitmap(h, ours.c_str(), PXV_SAVE_BMP) == 0);
  IMG_delete_bitmap(h);
  EXPECT_TRUE(ok && pxv_test::read_file(out) == pxv_test::read_file(ours));
}

// What render and print save is what the screen showed and the printer received: a 24-bit screen
// at 1:1 shows the image itself; an A4 page at 300 dpi is 2480 x 3508 whole pixels, 1-bit on a
// 2-colour printer and 24-bit on a PostScript one; Pillow reads every file written.
TEST(CliRenderPrint, SaveWhatTheDeviceShows) {
  const std::string in = picture_file("show.bmp", 24);
  const std::string shown = pxv_test::scratch_path("shown.bmp"), page = pxv_test::scratch_path("page.tif"),
                    ps = pxv_test::scratch_path("ps.bmp"), pal = pxv_test::scratch_path("pal.bmp");
  bool ok = false;
  std::string out = pxv("render " + in + " " + shown + " --depth 24", &ok);
  ASSERT_TRUE(ok) << out;
  const int a = IMG_decompress_bitmap(in.c_str()), b = IMG_decompress_bitmap(shown.c_str());
  EXPECT_TRUE(a >= 0 && b >= 0 && pxv_test::handle_rgb(a) == pxv_test::handle_rgb(b));
  IMG_delete_bitmap(a), IMG_delete_bitmap(b);
  for (const std::string &command : {"render " + in + " " + pal + " --depth 8 --size 64x48 --map lometric",
                                     "print " + in + " " + page + " --dpi 300 --colors 2 --page a4",
                                     "print " + in + " " + ps + " --dpi 100 --colors 2 --postscript --page letter"}) {
    out = pxv(command, &ok);
    EXPECT_TRUE(ok) << command << ": " << out;
  }
  const char *check =
      "for f, size, mode in zip(sys.argv[1::3], sys.argv[2::3], sys.argv[3::3]):\n"
      "    im = Image.open(f); assert '%dx%d' % im.size == size and im.mode == mode, (f, im.size, im.mode)\n";
  EXPECT_TRUE(pxv_test::run_pillow(check, {pal, "64x48", "P", page, "2480x3508", "1", ps, "850x1100", "RGB"}, &out)) << out;
  pxv("print " + in + " " + page + " --page 0x3in", &ok);
  EXPECT_FALSE(ok);
}

// The crop dialog scripted: the two drags of the documented example on a 640 x 480 image.
TEST(CliCrop, ScriptsTheDialog) {
  const int h = pxv_test::picture_handle(640, 480, 24);
  const std::string in = pxv_test::save_bmp(h, "crop_in.bmp"), out = pxv_test::scratch_path("crop_out.bmp"),
                    show = pxv_test::scratch_path("crop_show.bmp");
  IMG_delete_bitmap(h);
  bool ok = false;
  std::string said = pxv("crop " + in + " " + out + " --drag 300,225:250,200 --drag=150,130:350,250 --show " + show, &ok);
  EXPECT_TRUE(ok && has(said, "display area: 100,77,200,150\nrectangle: 160,86,480,394")) << said;
  const char *check =
      "for f, size in zip(sys.argv[1::2], sys.argv[2::2]):\n"
      "    im = Image.open(f); assert '%dx%d' % im.size == size, (f, im.size)\n";
  EXPECT_TRUE(pxv_test::run_pillow(check, {out, "480x394", show, "400x300"}, &said)) << said;
  said = pxv("crop " + in + " " + out + " --drag 1,2:3 --cancel", &ok);
  EXPECT_FALSE(ok) << said;
}

}  // namespace

// Colour operations run in the order given; a refusal names the operation, the code and what
// the operation takes; --direct writes what the handle operation and a BMP save write.
TEST(CliConvert, ColourOperationsInOrder) {
  const std::string in = picture_file("colour24.bmp", 24), palette = picture_file("colour4.bmp", 4);
  const std::string gray = pxv_test::scratch_path("gray_bayer.bmp");
  bool ok = false;
  pxv("convert " + in + " " + gray + " --gray --dither bayer", &ok);
  EXPECT_TRUE(ok && size_of(gray)[2] == 1);
  std::string out = pxv("convert " + in + " " + gray + " --dither bayer --gray", &ok);
  EXPECT_TRUE(!ok && has(out, "--gray: unknown or unsupported type (result -6)") && has(out, "--gray takes 4-, 8- and 24-bit images")) << out;
  out = pxv("convert " + palette + " " + gray + " --quantize popular", &ok);
  EXPECT_TRUE(!ok && has(out, "--quantize popular takes 24-bit images")) << out;
  const std::string direct = pxv_test::scratch_path("direct.bmp"), loaded = pxv_test::scratch_path("loaded.bmp");
  bool loaded_ok = false;
  pxv("convert " + in + " " + direct + " --dither palette " + palette + " --direct", &ok);
  pxv("convert " + in + " " + loaded + " --dither=palette " + palette, &loaded_ok);
  EXPECT_TRUE(ok && loaded_ok && pxv_test::read_file(direct) == pxv_test::read_file(loaded));
  out = pxv("convert " + palette + " " + direct + " --remap " + in, &ok);
  EXPECT_TRUE(!ok && has(out, "no colour table")) << out;
}

// Processing operations run in the order given; --contrast and --brightness are one library
// call (two calls on a palette image would each start from its first table); every file variant
// under --direct writes what the loaded path writes.
TEST(CliConvert, ProcessingInOrderAndDirect) {
  const std::string in = picture_file("proc24.bmp", 24), palette = picture_file("proc8.bmp", 8);
  const std::string out = pxv_test::scratch_path("proc_out.bmp"), direct = pxv_test::scratch_path("proc_direct.bmp");
  bool ok = false;
  pxv("convert " + in + " " + out + " --rotate 450 --resize 50%", &ok);
  EXPECT_TRUE(ok && size_of(out) == (std::array<int, 3>{15, 20, 24}));
  const int h = IMG_decompress_bitmap(palette.c_str());
  ASSERT_EQ(IMG_set_lut(h, 30, -5, nullptr, 0), 0);
  const std::string library = pxv_test::save_bmp(h, "proc_library.bmp");
  IMG_delete_bitmap(h);
  pxv("convert " + palette + " " + out + " --contrast 30 --brightness -5", &ok);
  EXPECT_TRUE(ok && pxv_test::read_file(out) == pxv_test::read_file(library));
  for (const std::string op : {"--flip x", "--resize 7x9", "--brightness -5 --contrast 30", "--gamma 2.2", "--to8"}) {
    bool loaded = false;
    pxv("convert " + in + " " + out + " " + op, &loaded);
    pxv("convert " + in + " " + direct + " " + op + " --direct", &ok);
    EXPECT_TRUE(loaded && ok && pxv_test::read_file(out) == pxv_test::read_file(direct)) << op;
  }
  std::string said = pxv("convert " + palette + " " + out + " --sharpen 16", &ok);
  EXPECT_TRUE(!ok && has(said, "--sharpen AMOUNT takes 1- and 24-bit, and gray 4- and 8-bit images")) << said;
  said = pxv("convert " + in + " " + out + " --rotate 90 --direct", &ok);
  EXPECT_TRUE(!ok && has(said, "--direct takes one operation that has a file variant")) << said;
}
