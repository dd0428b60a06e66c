// pxv tour: a built-in picture saved in every output type at every depth and loaded back, and
// put through every colour operation once.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "colour_ops.h"
#include "core/dib.h"
#include "options.h"
#include "save_file.h"
#include "workers.h"
#include "progress.h"
#include "pxvlib10.h"
#include "save_file.h"
#include "save_types.h"

namespace pxv_cli {

namespace {

using Pixels = std::vector<std::uint8_t>;

constexpr int kWidth = 61, kHeight = 37;  // odd, so that row padding matters
constexpr int kDepths[] = {1, 4, 8, 24};
// Group 3 facsimile rows are always this wide: the picture comes back as their left part.
constexpr int kFaxWidth = 1728;

// Bytes of one stored DIB row: whole 32-bit words.
int dib_row_bytes(int width, int bits) { return (width * bits + 31) / 32 * 4; }

// Bilevel pictures are black and white, which is what bilevel files can say; the others get
// colours that differ in every channel, so that a swapped channel shows.
void fill_colour_table(std::uint8_t *table, int bits) {
  const int n = bits == 24 ? 0 : 1 << bits;
  for (int i = 0; i < n; ++i) {
    table[4 * i + 0] = std::uint8_t(bits == 1 ? 255 * i : 255 * (i % 4) / 3);            // blue
    table[4 * i + 1] = std::uint8_t(255 * i / (n - 1));                                   // green
    table[4 * i + 2] = std::uint8_t(bits == 1 ? 255 * i : 255 - 255 * (i / 4) * 4 / n);  // red
  }
}

// Rings around the centre, stripes, and a flat band for the run-length coders.
void draw_row(std::uint8_t *row, int y, int bits) {
  for (int x = 0; x < kWidth; ++x) {
    int dx = x - kWidth / 2, dy = y - kHeight / 2;
    int ring = (dx * dx + dy * dy) / 24;
    bool flat = y > kHeight * 3 / 4;
    int v = flat ? 3 : (ring + x / 5) & 0xFF;
    switch (bits) {
      case 1: if (flat ? 0 : (ring & 1)) row[x / 8] |= std::uint8_t(0x80 >> (x % 8)); break;
      case 4: row[x / 2] |= std::uint8_t((v & 15) << (x % 2 ? 0 : 4)); break;
      case 8: row[x] = std::uint8_t(v); break;
      default:
        row[3 * x] = std::uint8_t(flat ? 40 : x * 255 / (kWidth - 1));
        row[3 * x + 1] = std::uint8_t(flat ? 90 : y * 255 / (kHeight - 1));
        row[3 * x + 2] = std::uint8_t(flat ? 200 : ring * 16);
    }
  }
}

// The tour's picture as a packed DIB: drawn in code at each bit count, with a colour table whose
// entries differ in every channel, and detail in every row.
Pixels tour_picture(int bits) {
  const int row_bytes = dib_row_bytes(kWidth, bits);
  const int table = bits == 24 ? 0 : 4 << bits;
  Pixels dib(pxv::kDibHeaderBytes + table + std::size_t(row_bytes) * kHeight, 0);
  pxv::fill_dib_header(dib.data(), kWidth, kHeight, bits, std::uint32_t(row_bytes) * kHeight);
  fill_colour_table(&dib[pxv::kDibHeaderBytes], bits);
  for (int y = 0; y < kHeight; ++y)
    draw_row(&dib[pxv::kDibHeaderBytes + table + std::size_t(kHeight - 1 - y) * row_bytes], y, bits);
  return dib;
}

// A handle's pixels as RGB, top row first, through its colour table.
Pixels handle_rgb(int handle, int *width, int *height) {
  int bits = 0;
  HGLOBAL block = IMG_bitmap_info(handle, width, height, &bits);
  Pixels rgb;
  if (block == nullptr) return rgb;
  const auto *dib = static_cast<const std::uint8_t *>(GlobalLock(block));
  std::uint32_t used = pxv::dib_clr_used(dib);
  std::uint32_t entries = used != 0 ? used : bits == 24 ? 0 : 1u << bits;
  const std::uint8_t *table = dib + pxv::kDibHeaderBytes;
  const int row_bytes = dib_row_bytes(*width, bits);
  rgb.resize(std::size_t(*width) * *height * 3);
  for (int y = 0; y < *height; ++y) {
    const std::uint8_t *row = table + 4 * entries + std::size_t(*height - 1 - y) * row_bytes;
    for (int x = 0; x < *width; ++x) {
      std::uint8_t bgr[3] = {0, 0, 0};
      if (bits == 24) {
        std::memcpy(bgr, row + 3 * x, 3);
      } else {
        std::uint32_t i = bits == 1 ? (row[x / 8] >> (7 - x % 8)) & 1
                          : bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15 : row[x];
        if (i < entries) std::memcpy(bgr, table + 4 * i, 3);
      }
      std::uint8_t *out = &rgb[(std::size_t(y) * *width + x) * 3];
      out[0] = bgr[2];
      out[1] = bgr[1];
      out[2] = bgr[0];
    }
  }
  GlobalUnlock(block);
  return rgb;
}

struct Verdict {
  std::string text;
  bool problem = false;
};

// Ghostscript's full path when a "gs" is on PATH, else empty.
std::string find_ghostscript() {
  const char *path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/gs";
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    start = end + 1;
  }
  return "";
}

// A binary PPM: "P6", width, height and maximum 255 (with # comments between them, as
// Ghostscript writes one), one whitespace byte, then the pixels.
bool read_ppm(const std::string &file, Pixels *rgb, int *width, int *height) {
  std::ifstream in(file, std::ios::binary);
  std::string magic;
  in >> magic;
  int fields[3] = {0, 0, 0};
  for (int &f : fields) {
    while (in >> std::ws && in.peek() == '#') in.ignore(1 << 20, '\n');
    in >> f;
  }
  if (!in || magic != "P6" || fields[2] != 255 || fields[0] < 1 || fields[1] < 1) return false;
  in.get();
  *width = fields[0];
  *height = fields[1];
  rgb->resize(std::size_t(*width) * *height * 3);
  return bool(in.read(reinterpret_cast<char *>(rgb->data()), std::streamsize(rgb->size())));
}

// This library reads only EPS files with a binary header and a TIFF preview, which its writer
// does not make: its files are drawn by Ghostscript instead, one device pixel per image pixel
// (the bounding box is the image's size in points, drawn at 72 dpi).
bool render_eps(const std::string &gs, const std::string &file, Pixels *rgb, int *width, int *height) {
  const std::string ppm = file + ".ppm";
  const std::string output = "-sOutputFile=" + ppm;
  const bool ran = run_quietly({gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dEPSCrop", "-r72",
                                 "-sDEVICE=ppmraw", output, file});
  const bool read = ran && read_ppm(ppm, rgb, width, height);
  std::remove(ppm.c_str());
  return read;
}

// How the file came back beside the picture that was saved.
Verdict compare(const SaveType &type, const Pixels &original, const std::string &file) {
  int w, h;
  Pixels again;
  if (type.number == PXV_SAVE_EPS) {
    static const std::string gs = find_ghostscript();
    if (gs.empty()) return {"not checked (no gs on PATH to render it)"};
    if (!render_eps(gs, file, &again, &w, &h)) return {"Ghostscript could not render it", true};
    if (w != kWidth || h != kHeight) return {"rendered at a different size", true};
    if (again == original) return {"identical (rendered by Ghostscript)"};
    return {"rendered differently by Ghostscript", true};
  }
  int back = IMG_decompress_bitmap(file.c_str());
  if (back < 0) return {std::string("load failed: ") + result_meaning(back), true};
  again = handle_rgb(back, &w, &h);
  IMG_delete_bitmap(back);
  const bool fax_width = type.number == PXV_SAVE_TIFF_G3 && w == kFaxWidth && h == kHeight;
  if (fax_width) {
    Pixels left;
    for (int y = 0; y < h; ++y)
      left.insert(left.end(), again.begin() + std::ptrdiff_t(y) * w * 3,
                  again.begin() + (std::ptrdiff_t(y) * w + kWidth) * 3);
    if (left == original) return {"identical (rows written 1728 wide)"};
  }
  if (w != kWidth || h != kHeight) return {"different size", true};
  if (again == original) return {"identical"};
  double se = 0;
  for (std::size_t i = 0; i < again.size(); ++i) se += std::pow(double(again[i]) - original[i], 2);
  char text[64];
  std::snprintf(text, sizeof text, "differs (PSNR %.1f dB)", 10 * std::log10(255.0 * 255.0 * again.size() / se));
  return {text, type.number != PXV_SAVE_JPEG};
}

long file_size(const std::string &file) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  return ec ? 0 : long(size);
}

struct Step {
  int rc = 0;  // the save's result
  std::string line;
  bool problem = false;
  bool listed = false;  // the type table says the type writes this depth
};

// One type at one depth: save, load back, compare.
Step tour_step(const SaveType &type, int bits, const std::string &file) {
  Step step;
  Pixels picture = tour_picture(bits);
  int handle = IMG_create_handle(picture.data());
  if (handle < 0) return {handle, "cannot make the picture: " + std::string(result_meaning(handle)), true};
  int w, h;
  Pixels original = handle_rgb(handle, &w, &h);
  std::remove(file.c_str());  // a type that adds pages must start a new file
  step.rc = save_replacing(handle, file, type);
  IMG_delete_bitmap(handle);
  Verdict v;
  if (step.rc < 0)
    v = {std::string("save failed: ") + result_meaning(step.rc), true};
  else
    v = compare(type, original, file);
  char line[160];
  std::snprintf(line, sizeof line, "%-13s %4d %8s  %s", type.label, bits,
                step.rc < 0 ? "-" : std::to_string(file_size(file)).c_str(), v.text.c_str());
  step.line = line;
  step.problem = v.problem;
  return step;
}

const char kTourHelp[] =
    "usage: pxv tour [--keep DIR] [--quiet]\n"
    "\n"
    "Draws a built-in picture at 1, 4, 8 and 24 bits, saves it in every output type the\n"
    "library writes, loads each file back and reports its size and whether the pixels came\n"
    "back identical (or, for JPEG, how close). EPS files, which the library does not read\n"
    "back, are drawn by Ghostscript when gs is on PATH, else marked not checked. Then runs\n"
    "every image operation of 'pxv convert' once on the 24-bit picture and reports the\n"
    "depth and colours of each result.\n"
    "--keep leaves the files in DIR.\n";

struct Tally {
  int written = 0, problems = 0;
  std::vector<std::string> files;
  std::string unavailable;
};

// Every depth of one type; prints its lines. A depth the library refuses is no problem unless
// the type table lists it, and a depth written that the table does not list is one (convert
// trusts the table); a type refused at every depth is not in this build.
void tour_type(const SaveType &type, const std::string &dir, Progress *bar, int *step, Tally *t) {
  std::vector<Step> steps;
  bool any = false;
  for (int bits : kDepths) {
    char name[64];
    std::snprintf(name, sizeof name, "/tour-%02d-%d.%s", type.number, bits, type.endings[0]);
    steps.push_back(tour_step(type, bits, dir + name));
    steps.back().listed = writes_depth(type, bits);
    if (steps.back().rc >= 0) t->files.push_back(dir + name);
    any = any || steps.back().rc != PXV_ERR_TYPE;
    progress_update(bar, ++*step);
  }
  if (!any) {
    t->unavailable += std::string(" ") + type.label;
    return;
  }
  progress_clear(bar);
  for (Step &s : steps) {
    if (s.rc == PXV_ERR_TYPE && !s.listed) continue;  // not written at this bit count
    const bool written = s.rc >= 0;
    if (written != s.listed)
      s.line += written ? " (the type table does not list this depth)" : " (the type table lists this depth)";
    t->written += written;
    t->problems += s.problem || written != s.listed;
    std::printf("%s\n", s.line.c_str());
  }
}

// The colours of the picture at 4 or 8 bits, as a host palette for the palette operations.
std::vector<PALETTEENTRY> tour_palette(int bits) {
  const Pixels dib = tour_picture(bits);
  std::vector<PALETTEENTRY> colours;
  for (int i = 0; i < 1 << bits; ++i) {
    const std::uint8_t *e = &dib[pxv::kDibHeaderBytes + 4 * i];
    colours.push_back({e[2], e[1], e[0], 0});
  }
  return colours;
}

int distinct_colours(const Pixels &rgb) {
  std::vector<bool> seen(1 << 24);
  int n = 0;
  for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
    const std::size_t c = std::size_t(rgb[i]) << 16 | std::size_t(rgb[i + 1]) << 8 | rgb[i + 2];
    n += !seen[c];
    seen[c] = true;
  }
  return n;
}

// The file-to-file dither of the picture saved as a BMP: the same pixels as the handle
// operation's `expected`, or a problem.
Verdict tour_direct(const std::string &dir, const std::vector<PALETTEENTRY> &colours, const Pixels &expected) {
  const std::string in = dir + "/tour-colour-in.bmp", out = dir + "/tour-colour-direct.bmp";
  Pixels picture = tour_picture(24);
  const int h = IMG_create_handle(picture.data());
  int rc = h < 0 ? h : IMG_save_bitmap(h, in.c_str(), PXV_SAVE_BMP);
  if (h >= 0) IMG_delete_bitmap(h);
  OFSTRUCT of;
  HFILE fin = OpenFile(in.c_str(), &of, OF_READ), fout = OpenFile(out.c_str(), &of, OF_CREATE);
  if (rc >= 0) rc = fin == HFILE_ERROR || fout == HFILE_ERROR ? PXV_ERR_CREATE : IMG_dither_to_palette_fd(fin, fout, colours.data());
  if (fin != HFILE_ERROR) _lclose(fin);
  if (fout != HFILE_ERROR) _lclose(fout);
  std::remove(in.c_str());
  if (rc < 0) return {std::string("failed: ") + result_meaning(rc), true};
  const int back = IMG_decompress_bitmap(out.c_str());
  if (back < 0) return {std::string("load failed: ") + result_meaning(back), true};
  int w, ht;
  const bool same = handle_rgb(back, &w, &ht) == expected;
  IMG_delete_bitmap(back);
  return same ? Verdict{"the pixels of --dither palette"} : Verdict{"differs from --dither palette", true};
}

// Every image operation once on the 24-bit picture: the depth it leaves and the colours it uses;
// the palette operations take the colours of the picture at their depth, the others the value
// the table gives them. With --keep each result is saved as a BMP.
void tour_colour(const std::string &dir, bool keep, Progress *bar, int *step, Tally *t) {
  std::printf("\n%-26s %4s %8s  %s\n", "image operation", "bits", "colours", "result");
  const std::vector<PALETTEENTRY> colours[] = {tour_palette(8), tour_palette(4)};
  Pixels sixteen;
  for (std::size_t i = 0; i < std::size(kColourOps); ++i) {
    const ColourOp &op = kColourOps[i];
    ColourStep order{&op, "", colours[op.palette_size == 16]};
    if (op.parse != nullptr) op.parse(op.example, &order);
    Pixels picture = tour_picture(24);
    int h = IMG_create_handle(picture.data());
    const int rc = h < 0 ? h : op.run(&h, order, nullptr, 0);
    int w = 0, ht = 0, bits = 0;
    Pixels result;
    if (rc >= 0) {
      IMG_bitmap_info(h, &w, &ht, &bits);
      result = handle_rgb(h, &w, &ht);
      char name[32];
      std::snprintf(name, sizeof name, "/colour-%02zu.bmp", i);
      if (keep) save_replacing(h, dir + name, *save_type(PXV_SAVE_BMP));
    }
    if (h >= 0) IMG_delete_bitmap(h);
    if (op.palette_size == 16) sixteen = result;
    const bool problem = rc < 0 || bits != (op.bits != 0 ? op.bits : 24);
    // The option as the tour gave it: "--rotate 90".
    const std::string given = op.parse == nullptr ? op.option : std::string(op.option, std::strcspn(op.option, " ")) + " " + op.example;
    std::printf("%-26s %4d %8d  %s\n", given.c_str(), bits, rc < 0 ? 0 : distinct_colours(result),
                rc < 0 ? result_meaning(rc) : problem ? "not the depth it should leave" : "done");
    t->problems += problem;
    progress_update(bar, ++*step);
  }
  const Verdict direct = tour_direct(dir, colours[1], sixteen);
  std::printf("%-26s %4d %8s  %s\n", "--dither palette --direct", 4, "-", direct.text.c_str());
  t->problems += direct.problem;
  if (keep) t->files.push_back(dir + "/tour-colour-direct.bmp");
  else std::remove((dir + "/tour-colour-direct.bmp").c_str());
  progress_update(bar, ++*step);
}

}  // namespace

int cmd_tour(const Args &args) {
  std::string keep;
  CommandLine line;
  int status = parse_command_line(
      args, {{"--keep", nullptr, "a folder", [&](const std::string &v) { keep = v; return !v.empty(); }}},
      kTourHelp, &line);
  if (status >= 0) return status;
  if (!line.operands.empty()) return usage_error("unknown tour argument " + line.operands[0]);
  std::string dir = keep;
  std::error_code ec;
  if (!dir.empty()) std::filesystem::create_directory(dir, ec);  // an existing folder is used as it is
  if (dir.empty()) dir = make_temporary_folder("pxv-tour-");
  if (dir.empty()) return fail("tour", PXV_ERR_CREATE);

  std::printf("pxv tour: a %d x %d picture at 1, 4, 8 and 24 bits, saved and loaded back\n\n",
              kWidth, kHeight);
  std::printf("%-13s %4s %8s  %s\n", "type", "bits", "bytes", "loaded back");
  const int steps = int(std::size(kSaveTypes) * std::size(kDepths) + std::size(kColourOps) + 1);
  Progress bar = progress_start("tour", steps, line.quiet);
  Tally t;
  int step = 0;
  for (const SaveType &type : kSaveTypes) tour_type(type, dir, &bar, &step, &t);
  progress_clear(&bar);
  tour_colour(dir, !keep.empty(), &bar, &step, &t);
  progress_clear(&bar);
  if (!t.unavailable.empty()) std::printf("\nnot written by this build:%s\n", t.unavailable.c_str());
  std::printf("\n%d files written, %d problems%s%s\n", t.written, t.problems,
              keep.empty() ? "" : "; files kept in ", keep.c_str());
  if (keep.empty()) {
    for (const std::string &f : t.files) std::remove(f.c_str());
    std::filesystem::remove(dir, ec);
  }
  return t.problems == 0 ? 0 : kExitFailed;
}

}  // namespace pxv_cli
