// pxv print: prints an image on a virtual printer and saves the printed page. The printer is
// described on the command line (resolution, colours, PostScript or not, page size); the image
// goes where a host would put it: fitted to the page, centred, its aspect kept, unless --rect
// says otherwise.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "cli.h"
#include "options.h"
#include "progress.h"
#include "surface.h"

namespace pxv_cli {

namespace {

const char kPrintHelp[] =
    "usage: pxv print IN OUT [--dpi N] [--colors N] [--postscript] [--page SIZE]\n"
    "                        [--rect X,Y,W,H] [--crop X,Y,W,H] [--fast] [--type TYPE]\n"
    "\n"
    "Prints IN on a virtual printer and saves the printed page as OUT. On a printer of fewer\n"
    "than four colours the image is turned into black and white by error diffusion (with the\n"
    "tone curve of 300-dpi printers); a PostScript printer receives it in colour.\n"
    "\n"
    "  --dpi N          the printer's resolution (default 300)\n"
    "  --colors N       the printer's colours: 2, 16 or 256 give 1-, 4- and 8-bit pages, more a\n"
    "                   24-bit page (default 2)\n"
    "  --postscript     the printer says it is a PostScript printer (its page is 24-bit)\n"
    "  --page SIZE      a4 (the default), letter, or WxHin / WxHmm (8.5x14in, 148x210mm)\n"
    "  --rect X,Y,W,H   where to print, in printer pixels (default: fitted, centred, aspect kept);\n"
    "                   negative W or H mirror the image\n"
    "  --crop X,Y,W,H   print only that rectangle of the image (pixels from its top-left corner)\n"
    "  --fast           hand the image to the printer's stretch call in one go (no banding, no\n"
    "                   black-and-white dithering)\n"
    "  --type TYPE      the output type (see 'pxv convert --help'); else OUT's ending\n"
    "  -q, --quiet      no progress bar\n";

constexpr double kMmPerInch = 25.4;

struct PrintSettings {
  int dpi = 300;
  int colors = 2;
  bool postscript = false;
  double page_width = 210, page_height = 297;  // in mm
  Rect crop, rect;
  bool fast = false;
  const SaveType *type = nullptr;
};

bool parse_page(const std::string &text, PrintSettings *s) {
  if (text == "a4") {
    s->page_width = 210, s->page_height = 297;
    return true;
  }
  if (text == "letter") {
    s->page_width = 8.5 * kMmPerInch, s->page_height = 11 * kMmPerInch;
    return true;
  }
  double w = 0, h = 0;
  char unit[3] = {};
  char tail = 0;
  if (std::sscanf(text.c_str(), "%lfx%lf%2[a-z]%c", &w, &h, unit, &tail) != 3 || !(w > 0) || !(h > 0))
    return false;
  const std::string u = unit;
  if (u != "in" && u != "mm") return false;
  const double scale = u == "in" ? kMmPerInch : 1.0;
  s->page_width = w * scale, s->page_height = h * scale;
  return true;
}

// A length in mm as whole printer pixels.
int pixels(double mm, int dpi) { return static_cast<int>(std::lround(mm / kMmPerInch * dpi)); }

// The image's crop fitted into the page, centred, its aspect kept.
Rect fitted(int handle, int page_width, int page_height) {
  int x = 0, y = 0, w = 0, h = 0;
  IMG_get_croprect(handle, &x, &y, &w, &h);
  Rect r;
  if (w <= 0 || h <= 0) return r;
  if (std::int64_t{w} * page_height <= std::int64_t{h} * page_width) {
    r.height = page_height;
    r.width = static_cast<int>((std::int64_t{w} * page_height + h / 2) / h);
  } else {
    r.width = page_width;
    r.height = static_cast<int>((std::int64_t{h} * page_width + w / 2) / w);
  }
  if (r.width < 1) r.width = 1;
  if (r.height < 1) r.height = 1;
  r.x = (page_width - r.width) / 2;
  r.y = (page_height - r.height) / 2;
  return r;
}

void on_rows(void *user, int rows, int page_height) {
  auto *bar = static_cast<Progress *>(user);
  bar->total = page_height;
  progress_update(bar, rows);
}

int print_page(int handle, HDC printer, const PrintSettings &s, int page_width, int page_height) {
  const Rect r = s.rect.given ? s.rect : fitted(handle, page_width, page_height);
  DOCINFOA doc = {sizeof(DOCINFOA), "pxv print", nullptr, nullptr, 0};
  if (StartDocA(printer, &doc) <= 0 || StartPage(printer) <= 0) return PXV_ERR_GDI;
  int rc = s.fast ? IMG_print_bitmap_fast(handle, printer, r.x, r.y, r.width, r.height)
                  : IMG_print_bitmap(handle, printer, r.x, r.y, r.width, r.height);
  EndPage(printer);
  return rc;
}

}  // namespace

int cmd_print(const Args &args) {
  PrintSettings s;
  CommandLine line;
  int status = parse_command_line(
      args,
      {{"--dpi", nullptr, "a resolution from 10 to 2400",
        [&](const std::string &v) { return parse_int(v, 10, &s.dpi) && s.dpi <= 2400; }},
       {"--colors", nullptr, "a number of colours of 2 or more",
        [&](const std::string &v) { return parse_int(v, 2, &s.colors); }},
       {"--postscript", nullptr, nullptr, [&](const std::string &) { return s.postscript = true; }},
       {"--page", nullptr, "a4, letter, WxHin or WxHmm",
        [&](const std::string &v) { return parse_page(v, &s); }},
       {"--rect", nullptr, "X,Y,W,H with W and H not 0",
        [&](const std::string &v) { return parse_rect(v, true, &s.rect); }},
       {"--crop", nullptr, "X,Y,W,H with W and H of 1 or more",
        [&](const std::string &v) { return parse_rect(v, false, &s.crop); }},
       {"--fast", nullptr, nullptr, [&](const std::string &) { return s.fast = true; }},
       {"--type", nullptr, "a save type number (0-15) or name",
        [&](const std::string &v) { return (s.type = save_type_from_text(v)) != nullptr; }}},
      kPrintHelp, &line);
  if (status >= 0) return status;
  if (line.operands.size() != 2) return usage_error("print needs an input and an output file");
  const std::string &in = line.operands[0], &out = line.operands[1];
  const SaveType *type = output_type(s.type, out, &status);
  if (type == nullptr) return status;
  const int page_width = pixels(s.page_width, s.dpi), page_height = pixels(s.page_height, s.dpi);
  if (page_width < 1 || page_height < 1 || page_width > 16384 || page_height > 16384)
    return usage_error("the page would be " + std::to_string(page_width) + "x" + std::to_string(page_height) +
                       " pixels; at most 16384 a side");

  int handle = load_for_output(in, s.crop, line.quiet);
  if (handle < 0) return fail(in, handle);
  Progress bar = progress_start("printing", page_height, line.quiet);
  PXV_PRINTER printer = {page_width, page_height, s.dpi,   s.dpi,   s.colors,
                         s.postscript ? "PostScript" : nullptr, 0, 0, 0, on_rows, &bar};
  HDC dc = PxvCreatePrinterDC(&printer);
  if (dc == nullptr) {
    status = fail("the printer", PXV_ERR_GDI);
  } else if (int rc = print_page(handle, dc, s, page_width, page_height); rc < 0) {
    progress_clear(&bar);
    status = fail(in, rc);
  } else {
    progress_clear(&bar);
    HBITMAP page = PxvTakePrinterPage(dc);
    status = page != nullptr ? save_bitmap_as(page, out, *type) : fail("the printed page", PXV_ERR_GDI);
    if (page != nullptr) DeleteObject(page);
  }
  progress_clear(&bar);
  if (dc != nullptr) {
    EndDoc(dc);
    DeleteDC(dc);
  }
  IMG_delete_bitmap(handle);
  return status;
}

}  // namespace pxv_cli
