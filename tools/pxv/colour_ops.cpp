// The colour operations of the command line: see colour_ops.h.
#include "colour_ops.h"

#include <cstdio>
#include <cstring>

#include "core/dib.h"
#include "core/img_util.h"
#include "progress.h"

namespace pxv_cli {

namespace {

int gray(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_color_gray(h, p, u); }
int fixed_332(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_mediancut_color(h, p, u); }
int popular(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_popularity_color(h, p, u); }
int remap(int h, PXV_PROGRESS_PROC, LONG, const PALETTEENTRY *c) { return IMG_map_to_palette(h, c); }
int bayer(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_bayer_mono(h, p, u); }
int halftone(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_halftone_mono(h, p, u); }
int diffusion(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_diffusion_mono(h, p, u); }
int colour_bayer(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_bayer_color(h, p, u); }
int colour_diffusion(int h, PXV_PROGRESS_PROC p, LONG u, const PALETTEENTRY *) { return IMG_diffusion_color(h, p, u); }
int sixteen(int h, PXV_PROGRESS_PROC, LONG, const PALETTEENTRY *c) { return IMG_dither_to_palette(h, c); }

constexpr char kTrueColour[] = "24-bit";
constexpr char kAnyColour[] = "4-, 8- and 24-bit";
constexpr char kFileWord[] = " FILE";
constexpr char kPalettePrefix[] = "palette:";

// The bars of the steps that report rows. The library hands the callback the 32-bit value the
// host gave, here the step's index, never a pointer.
std::vector<Progress> step_bars;

int on_row(LONG user, LONG total, LONG row) {
  if (user < 0 || std::size_t(user) >= step_bars.size()) return 0;
  Progress &bar = step_bars[std::size_t(user)];
  bar.total = total;
  const LONG step = total > 200 ? total / 200 : 1;  // about 200 redraws, however tall the image
  if ((row + 1) % step == 0 || row + 1 == total) progress_update(&bar, int(row + 1));
  return 0;
}

}  // namespace

const ColourOp kColourOps[10] = {
    {"--gray", "256 grays (8 bits), as ImageMagick's -colorspace Gray", 8, 0, true, kAnyColour, gray},
    {"--quantize 332", "the fixed 3-3-2 palette, error-diffused (8 bits)", 8, 0, true, kAnyColour, fixed_332},
    {"--quantize popular", "the 256 most frequent colours, nearest colour (8 bits)", 8, 0, true, kTrueColour, popular},
    {"--quantize palette FILE", "the nearest of FILE's 256 colours, no dithering (8 bits);\n"
                                "                             also --remap FILE",
     8, 256, false, kTrueColour, remap},
    {"--dither bayer", "black and white, 8 x 8 Bayer ordered dither (1 bit)", 1, 0, true, kAnyColour, bayer},
    {"--dither halftone", "black and white, 8 x 8 clustered halftone dots (1 bit)", 1, 0, true, kAnyColour, halftone},
    {"--dither diffusion", "black and white, error diffusion (1 bit)", 1, 0, true, kAnyColour, diffusion},
    {"--dither color-bayer", "16 colours, Bayer ordered dither (4 bits)", 4, 0, true, kAnyColour, colour_bayer},
    {"--dither color-diffusion", "16 colours, error diffusion (4 bits)", 4, 0, true, kAnyColour, colour_diffusion},
    {"--dither palette FILE", "the 16-colour error diffusion, its error measured against\n"
                              "                             FILE's first 16 colours, which the result carries (4 bits)",
     4, 16, false, kAnyColour, sixteen},
};

constexpr char kColourNotes[] =
    "  --direct                   with --dither palette as the only operation, reads IN as an\n"
    "                             uncompressed 4-, 8- or 24-bit BMP and writes OUT as a 4-bit BMP\n"
    "                             row by row, without loading the image\n"
    "\n"
    "The popular and palette quantizers take 24-bit images; the others 4-, 8- and 24-bit ones; none\n"
    "takes a 1-bit image (result -6). A palette FILE is any image with a colour table, padded to\n"
    "the colours needed with its last colour. The 16-colour index means the same whatever the\n"
    "colours: bit 1 red, 2 green, 4 blue, 8 bright. In the 16-colour table of color-bayer and\n"
    "color-diffusion, 0 to 7 hold 128 in the channels of their bits (7 is gray 128) and 8 to 15\n"
    "hold 255 (8 is black, 15 white); with --dither palette FILE the same index picks FILE's\n"
    "colour, so FILE's colours steer only the error.\n";

std::string colour_help() {
  std::string help =
      "\n"
      "Colour operations, applied in the order given before the save (as ImageMagick's convert\n"
      "applies its own), each with the depth it leaves:\n";
  for (const ColourOp &op : kColourOps) {
    char line[256];
    std::snprintf(line, sizeof line, "  %-26s %s\n", op.option, op.what);
    help += line;
  }
  return help + kColourNotes;
}

bool parse_colour_option(const std::string &option, const std::string &value, std::vector<ColourStep> *steps) {
  std::string wanted = value.empty() ? option : option + " " + value;
  std::string file;
  if (option == "--remap") {
    wanted = std::string("--quantize palette") + kFileWord;
    file = value;
  } else if (value.rfind(kPalettePrefix, 0) == 0) {
    wanted = option + " palette" + kFileWord;
    file = value.substr(std::strlen(kPalettePrefix));
  }
  for (const ColourOp &op : kColourOps) {
    if (wanted != op.option || file.empty() != (op.palette_size == 0)) continue;
    steps->push_back({&op, file, {}});
    return true;
  }
  return false;
}

Args join_palette_files(const Args &args) {
  Args out;
  bool options_end = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    const bool takes = !options_end && (a == "--quantize" || a == "--dither");
    if (takes && i + 2 < args.size() && args[i + 1] == "palette") {
      out.push_back(a + "=" + kPalettePrefix + args[i + 2]);
      i += 2;
    } else if (!options_end && (a == "--quantize=palette" || a == "--dither=palette") && i + 1 < args.size()) {
      out.push_back(a + ":" + args[++i]);
    } else {
      options_end = options_end || a == "--";
      out.push_back(a);
    }
  }
  return out;
}

int read_palette_files(std::vector<ColourStep> *steps) {
  for (ColourStep &step : *steps) {
    if (step.op->palette_size == 0) continue;
    const int h = IMG_decompress_bitmap(step.file.c_str());
    if (h < 0) return fail(step.file, h);
    std::uint8_t header[pxv::kHeaderRecordBytes];
    const int rc = IMGLOW_get_bitmap_header(h, header);
    IMG_delete_bitmap(h);
    if (rc < 0) return fail(step.file, rc);
    std::uint32_t entries = pxv::Palette_Size(header) / 4;
    if (entries > pxv::kMaxColours) entries = pxv::kMaxColours;
    if (entries == 0) {
      std::fprintf(stderr, "pxv: %s: a true-colour image has no colour table to take colours from\n", step.file.c_str());
      return kExitFailed;
    }
    for (int i = 0; i < step.op->palette_size; ++i) {
      const std::uint8_t *e = header + pxv::kDibHeaderBytes + 4 * (std::uint32_t(i) < entries ? i : entries - 1);
      step.colours.push_back({e[2], e[1], e[0], 0});
    }
  }
  return 0;
}

int run_colour_steps(int handle, const std::vector<ColourStep> &steps, bool quiet, const ColourStep **failed) {
  step_bars.clear();
  for (const ColourStep &step : steps) step_bars.push_back(progress_start(step.op->option, 1, quiet));
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ColourStep &step = steps[i];
    const int rc = step.op->run(handle, step.op->reports_rows ? on_row : nullptr, LONG(i), step.colours.data());
    progress_clear(&step_bars[i]);
    if (rc < 0) {
      *failed = &step;
      return rc;
    }
  }
  return 0;
}

}  // namespace pxv_cli
