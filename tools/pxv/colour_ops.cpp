// The image operations of the command line: see colour_ops.h.
#include "colour_ops.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/dib.h"
#include "core/img_util.h"
#include "options.h"
#include "progress.h"

namespace pxv_cli {

namespace {

using Step = ColourStep;
using Proc = PXV_PROGRESS_PROC;

int gray(int *h, const Step &, Proc p, LONG u) { return IMG_color_gray(*h, p, u); }
int fixed_332(int *h, const Step &, Proc p, LONG u) { return IMG_mediancut_color(*h, p, u); }
int popular(int *h, const Step &, Proc p, LONG u) { return IMG_popularity_color(*h, p, u); }
int remap(int *h, const Step &s, Proc, LONG) { return IMG_map_to_palette(*h, s.colours.data()); }
int bayer(int *h, const Step &, Proc p, LONG u) { return IMG_bayer_mono(*h, p, u); }
int halftone(int *h, const Step &, Proc p, LONG u) { return IMG_halftone_mono(*h, p, u); }
int diffusion(int *h, const Step &, Proc p, LONG u) { return IMG_diffusion_mono(*h, p, u); }
int colour_bayer(int *h, const Step &, Proc p, LONG u) { return IMG_bayer_color(*h, p, u); }
int colour_diffusion(int *h, const Step &, Proc p, LONG u) { return IMG_diffusion_color(*h, p, u); }
int sixteen(int *h, const Step &s, Proc, LONG) { return IMG_dither_to_palette(*h, s.colours.data()); }
int sixteen_file(const Step &s, HFILE in, HFILE out) { return IMG_dither_to_palette_fd(in, out, s.colours.data()); }

// Processing. Values are checked as they are read, so that the library sees only what it takes.
constexpr int kQuarterTurn = 90, kFullTurn = 360;
constexpr int kContrast = 0, kBrightness = 1;

bool parse_whole(const std::string &v, int *value) { return parse_int(v, INT_MIN, value); }

// Turns clockwise, as ImageMagick's -rotate: any multiple of 90, kept as 0, 90, 180 or 270.
bool parse_rotate(const std::string &v, Step *s) {
  int degrees = 0;
  if (!parse_whole(v, &degrees) || degrees % kQuarterTurn != 0) return false;
  s->values[0] = (degrees % kFullTurn + kFullTurn) % kFullTurn;
  return true;
}
int rotate(int *h, const Step &s, Proc p, LONG u) {
  // A whole turn changes nothing; the library would take 0 for a transposition.
  return s.values[0] == 0 ? 0 : IMG_rotate_bitmap(*h, s.values[0], p, u);
}

int flop(int *h, const Step &, Proc p, LONG u) { return IMG_flip_bitmapx(*h, p, u); }
int flip(int *h, const Step &, Proc p, LONG u) { return IMG_flip_bitmapy(*h, p, u); }
int flop_file(const Step &, HFILE in, HFILE out) { return IMG_flip_bitmap_fd(in, out, 1, 0); }
int flip_file(const Step &, HFILE in, HFILE out) { return IMG_flip_bitmap_fd(in, out, 0, 1); }

// WxH, or N% of each side (rounded, at least 1 pixel), as ImageMagick's geometry.
bool parse_resize(const std::string &v, Step *s) {
  const std::size_t x = v.find('x');
  if (!v.empty() && v.back() == '%') {
    s->percent = true;
    return parse_int(v.substr(0, v.size() - 1), 1, &s->values[0]);
  }
  return x != std::string::npos && parse_int(v.substr(0, x), 1, &s->values[0]) && parse_int(v.substr(x + 1), 1, &s->values[1]);
}
int scaled(int size, int percent) {
  const long long n = (static_cast<long long>(size) * percent + 50) / 100;
  return n < 1 ? 1 : n > INT_MAX ? INT_MAX : static_cast<int>(n);
}
void new_size(const Step &s, int width, int height, int *w, int *h) {
  *w = s.percent ? scaled(width, s.values[0]) : s.values[0];
  *h = s.percent ? scaled(height, s.values[0]) : s.values[1];
}
int resize(int *h, const Step &s, Proc p, LONG u) {
  int width = 0, height = 0, bits = 0, w, ht;
  IMG_bitmap_info(*h, &width, &height, &bits);
  new_size(s, width, height, &w, &ht);
  return IMG_resize_bitmap(*h, w, ht, p, u);
}
// A percentage of a file's size needs its width and height: the info header's, read here.
int resize_file(const Step &s, HFILE in, HFILE out) {
  std::uint8_t head[26] = {};
  _llseek(in, 0, 0);
  if (_lread(in, head, sizeof head) != sizeof head) return 0;  // the library says the same
  int w, h;
  new_size(s, pxv::dib_width(head + 14), pxv::dib_height(head + 14), &w, &h);
  return IMG_resize_bitmap_fd(in, out, w, h);
}

bool parse_contrast(const std::string &v, Step *s) { s->given = 1u << kContrast; return parse_whole(v, &s->values[kContrast]); }
bool parse_brightness(const std::string &v, Step *s) { s->given = 1u << kBrightness; return parse_whole(v, &s->values[kBrightness]); }
int tone(int *h, const Step &s, Proc p, LONG u) { return IMG_set_lut(*h, s.values[kContrast], s.values[kBrightness], p, u); }
int tone_file(const Step &s, HFILE, HFILE file) { return IMG_set_lut_fd(file, s.values[kContrast], s.values[kBrightness]); }

bool parse_gamma(const std::string &v, Step *s) {
  char *end = nullptr;
  s->real = std::strtof(v.c_str(), &end);
  return !v.empty() && *end == '\0' && std::isfinite(s->real) && s->real > 0;
}
int gamma_file(const Step &s, HFILE, HFILE file) { return IMG_GammaCorrection(file, s.real); }
// The library corrects the gamma of BMP files only: the image is saved as one, corrected and
// loaded again under a new handle.
int gamma(int *h, const Step &s, Proc, LONG) {
  char name[] = "/tmp/pxv-gamma-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return PXV_ERR_CREATE;
  close(fd);
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(*h, &width, &height, &bits);
  IMG_set_croprect(*h, 0, 0, width, height);  // the whole image goes through the file
  int rc = IMG_save_bitmap(*h, name, PXV_SAVE_BMP);
  OFSTRUCT of;
  const HFILE file = rc < 0 ? HFILE_ERROR : OpenFile(name, &of, OF_READWRITE);
  if (rc >= 0) rc = file == HFILE_ERROR ? PXV_ERR_READ : IMG_GammaCorrection(file, s.real);
  if (file != HFILE_ERROR) _lclose(file);
  const int back = rc < 0 ? rc : IMG_decompress_bitmap(name);
  unlink(name);
  if (back < 0) return back;
  IMG_delete_bitmap(*h);
  *h = back;
  return 0;
}

int invert(int *h, const Step &, Proc p, LONG u) { return IMG_invert_bitmap(*h, p, u); }
bool parse_amount(const std::string &v, Step *s) { return parse_whole(v, &s->values[0]); }
int sharpen(int *h, const Step &s, Proc, LONG) { return IMG_sharpen_bitmap(*h, s.values[0]); }
int to8(int *h, const Step &, Proc, LONG) { return IMG_24_to_8(*h); }
int to8_file(const Step &, HFILE in, HFILE out) { return IMG_24_to_8_fd(in, out); }

constexpr char kTrueColour[] = "24-bit";
constexpr char kAnyColour[] = "4-, 8- and 24-bit";
constexpr char kAnyDepth[] = "1-, 4-, 8- and 24-bit";
constexpr char kGrayOrMono[] = "1- and 24-bit, and gray 4- and 8-bit";
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

const ColourOp kColourOps[kImageOpCount] = {
    {"--gray", "256 grays (8 bits), as ImageMagick's -colorspace Gray", 8, 0, true, kAnyColour, nullptr, nullptr, gray, nullptr, false},
    {"--quantize 332", "the fixed 3-3-2 palette, error-diffused (8 bits)", 8, 0, true, kAnyColour, nullptr, nullptr, fixed_332, nullptr, false},
    {"--quantize popular", "the 256 most frequent colours, nearest colour (8 bits)", 8, 0, true, kTrueColour, nullptr, nullptr, popular, nullptr, false},
    {"--quantize palette FILE", "the nearest of FILE's 256 colours, no dithering (8 bits);\n"
                                "                             also --remap FILE",
     8, 256, false, kTrueColour, nullptr, nullptr, remap, nullptr, false},
    {"--dither bayer", "black and white, 8 x 8 Bayer ordered dither (1 bit)", 1, 0, true, kAnyColour, nullptr, nullptr, bayer, nullptr, false},
    {"--dither halftone", "black and white, 8 x 8 clustered halftone dots (1 bit)", 1, 0, true, kAnyColour, nullptr, nullptr, halftone, nullptr, false},
    {"--dither diffusion", "black and white, error diffusion (1 bit)", 1, 0, true, kAnyColour, nullptr, nullptr, diffusion, nullptr, false},
    {"--dither color-bayer", "16 colours, Bayer ordered dither (4 bits)", 4, 0, true, kAnyColour, nullptr, nullptr, colour_bayer, nullptr, false},
    {"--dither color-diffusion", "16 colours, error diffusion (4 bits)", 4, 0, true, kAnyColour, nullptr, nullptr, colour_diffusion, nullptr, false},
    {"--dither palette FILE", "the 16-colour error diffusion, its error measured against\n"
                              "                             FILE's first 16 colours, which the result carries (4 bits)",
     4, 16, false, kAnyColour, nullptr, nullptr, sixteen, sixteen_file, false},
    {"--rotate DEGREES", "turn clockwise by a multiple of 90, as ImageMagick's -rotate", 0, 0, true, kAnyDepth,
     parse_rotate, "90", rotate, nullptr, false},
    {"--flip x", "mirror left to right, as ImageMagick's -flop", 0, 0, true, kAnyDepth, nullptr, nullptr, flop, flop_file, false},
    {"--flip y", "mirror top to bottom, as ImageMagick's -flip", 0, 0, true, kAnyDepth, nullptr, nullptr, flip, flip_file, false},
    {"--resize WxH|N%", "nearest neighbour to exactly W x H pixels, or N% of each side,\n"
                        "                             as ImageMagick's -sample",
     0, 0, true, kAnyDepth, parse_resize, "150%", resize, resize_file, false},
    {"--contrast C", "stretch (C > 0) or flatten (C < 0) the values about 128 by\n"
                     "                             (256 + 2C) / 256; -128 makes every value 128",
     0, 0, true, kAnyColour, parse_contrast, "40", tone, tone_file, true},
    {"--brightness B", "add 2B to every value; with --contrast next to it, one operation", 0, 0, true, kAnyColour,
     parse_brightness, "-10", tone, tone_file, true},
    {"--gamma G", "gamma correction by G (above 0; 2.2 lightens), through a\n"
                  "                             temporary BMP file",
     0, 0, false, kAnyColour,
     parse_gamma, "2.2", gamma, gamma_file, true},
    {"--invert", "invert pixel values, as ImageMagick's -negate; a palette image\n"
                 "                             keeps its table and gets the colours of the\n"
                 "                             mirrored indices",
     0, 0, true, kAnyDepth, nullptr, nullptr, invert, nullptr, false},
    {"--sharpen AMOUNT", "sharpen; AMOUNT counts in steps of 16, from 16 (gentle) to\n"
                         "                             128 (strong)",
     0, 0, false,
     kGrayOrMono, parse_amount, "64", sharpen, nullptr, false},
    {"--to8", "the 3-3-2 palette without dithering (8 bits)", 8, 0, false, kTrueColour, nullptr, nullptr, to8, to8_file, false},
};

constexpr char kColourNotes[] =
    "  --direct                   with one operation that has a file variant (--dither palette,\n"
    "                             --flip, --resize, --contrast and --brightness, --gamma, --to8),\n"
    "                             reads IN as an uncompressed, bottom-up BMP and writes OUT as a BMP\n"
    "                             row by row, without loading the image (contrast, brightness and\n"
    "                             gamma are applied to a copy of IN: BMP files of 4, 8 or 24 bits\n"
    "                             with a 40-byte header)\n"
    "\n"
    "The popular and palette quantizers and --to8 take 24-bit images; the other colour operations\n"
    "4-, 8- and 24-bit ones; none takes a 1-bit image (result -6), nor do --contrast,\n"
    "--brightness and --gamma. --sharpen takes 1- and 24-bit images and palette images whose\n"
    "table is gray. The other operations keep the depth and the colour table. A palette FILE is\n"
    "any image with a colour table, padded to the colours needed with its last colour. The\n"
    "16-colour index means the same whatever the colours: bit 1 red, 2 green, 4 blue, 8 bright.\n"
    "In the 16-colour table of color-bayer and color-diffusion, 0 to 7 hold 128 in the channels of\n"
    "their bits (7 is gray 128) and 8 to 15 hold 255 (8 is black, 15 white); with --dither palette\n"
    "FILE the same index picks FILE's colour, so FILE's colours steer only the error.\n";

std::string colour_help() {
  std::string help =
      "\n"
      "Image operations, applied in the order given before the save (as ImageMagick's convert\n"
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
    if (op.parse != nullptr) {
      const std::string name(op.option, std::strcspn(op.option, " "));
      if (name != option) continue;
      ColourStep step{&op, "", {}};
      if (!op.parse(value, &step)) return false;
      // Values the step before it left to this one (a brightness beside a contrast) join it.
      ColourStep *last = steps->empty() ? nullptr : &steps->back();
      if (last != nullptr && last->op->run == op.run && (last->given & step.given) == 0 && step.given != 0) {
        for (int i = 0; i < 2; ++i)
          if (step.given & (1u << i)) last->values[i] = step.values[i];
        last->given |= step.given;
      } else {
        steps->push_back(step);
      }
      return true;
    }
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

int run_colour_steps(int *handle, const std::vector<ColourStep> &steps, bool quiet, const ColourStep **failed) {
  step_bars.clear();
  for (const ColourStep &step : steps) step_bars.push_back(progress_start(step.op->option, 1, quiet));
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ColourStep &step = steps[i];
    const int rc = step.op->run(handle, step, step.op->reports_rows ? on_row : nullptr, LONG(i));
    progress_clear(&step_bars[i]);
    if (rc < 0) {
      *failed = &step;
      return rc;
    }
  }
  return 0;
}

}  // namespace pxv_cli
