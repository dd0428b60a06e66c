// pxv render: shows an image in a window of the software screen and saves what the window shows.
// It is what a host's paint handler does: the screen at a chosen depth, the image's palette
// realised on a palette screen, the host's mapping mode in force while the library paints.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "options.h"
#include "surface.h"

namespace pxv_cli {

namespace {

const char kRenderHelp[] =
    "usage: pxv render IN OUT [--size WxH] [--depth 24|8|4] [--crop X,Y,W,H] [--rect X,Y,W,H]\n"
    "                         [--map MODE] [--ddb] [--type TYPE]\n"
    "\n"
    "Paints IN into a window of the software screen, as a host's paint handler does, and saves\n"
    "the window's client area as OUT (read back through a device bitmap, so OUT holds what the\n"
    "screen shows: 24-bit on a 24-bit screen, palette indices and their colours on the others).\n"
    "\n"
    "  --size WxH       the window's client area in pixels (default: the image's size)\n"
    "  --depth D        the screen's depth: 24, 8 (256-colour palette screen: the image's palette\n"
    "                   is realised first; 24-bit images show in 3-3-2 colours) or 4 (the 16 VGA\n"
    "                   colours; colour images are ordered-dithered)\n"
    "  --crop X,Y,W,H   show only that rectangle of the image (pixels from its top-left corner)\n"
    "  --rect X,Y,W,H   where to paint, in the mapping mode's logical units (default: the whole\n"
    "                   client area); negative W or H mirror the image\n"
    "  --map MODE       the mapping mode in force while painting: text (one unit per pixel, the\n"
    "                   default), lometric (0.1 mm), himetric (0.01 mm), loenglish (0.01 inch),\n"
    "                   hienglish (0.001 inch), twips (1/1440 inch), isotropic or anisotropic\n"
    "                   (the client area is 1000 x 1000 units; isotropic keeps units square)\n"
    "  --ddb            go through a device bitmap: IMG_dib_to_ddb at the rectangle's size in\n"
    "                   pixels, then IMG_display_ddb at its corner (text mapping only)\n"
    "  --type TYPE      the output type (see 'pxv convert --help'); else OUT's ending\n"
    "  -q, --quiet      no progress bar\n";

struct MapMode {
  const char *name;
  int mode;
};

constexpr MapMode kMapModes[] = {
    {"text", MM_TEXT},           {"lometric", MM_LOMETRIC},   {"himetric", MM_HIMETRIC},
    {"loenglish", MM_LOENGLISH}, {"hienglish", MM_HIENGLISH}, {"twips", MM_TWIPS},
    {"isotropic", MM_ISOTROPIC}, {"anisotropic", MM_ANISOTROPIC},
};

// Units of the client area in the scalable modes.
constexpr int kScalableUnits = 1000;

struct RenderSettings {
  int width = 0, height = 0;  // 0: the image's size
  int depth = 24;
  Rect crop, rect;
  int map = MM_TEXT;
  bool ddb = false;
  const SaveType *type = nullptr;
};

void set_mapping(HDC dc, int mode, int width, int height) {
  SetMapMode(dc, mode);
  if (mode == MM_ISOTROPIC || mode == MM_ANISOTROPIC) {
    SetWindowExtEx(dc, kScalableUnits, kScalableUnits, nullptr);
    SetViewportExtEx(dc, width, height, nullptr);
  }
}

// The rectangle to paint: the one given, or the client area in logical units.
Rect paint_rect(HDC dc, const Rect &given, int width, int height) {
  if (given.given) return given;
  POINT corners[2] = {{0, 0}, {width, height}};
  DPtoLP(dc, corners, 2);
  Rect r;
  r.x = corners[0].x;
  r.y = corners[0].y;
  r.width = corners[1].x - corners[0].x;
  r.height = corners[1].y - corners[0].y;
  return r;
}

int paint(int handle, HDC dc, const RenderSettings &s, int width, int height) {
  if (s.depth == 8) IMG_bitmap_palette(handle, dc);
  set_mapping(dc, s.map, width, height);
  const Rect r = paint_rect(dc, s.rect, width, height);
  int rc = 0;
  if (s.ddb) {
    HBITMAP ddb = IMG_dib_to_ddb(handle, r.width < 0 ? -r.width : r.width, r.height < 0 ? -r.height : r.height);
    if (PXV_DDB_FAILED(ddb)) return static_cast<int>(reinterpret_cast<intptr_t>(ddb));
    if (ddb == nullptr) return PXV_ERR_GDI;
    rc = IMG_display_ddb(ddb, dc, r.x, r.y);
    DeleteObject(ddb);
  } else {
    rc = IMG_display_bitmap(handle, dc, r.x, r.y, r.width, r.height);
  }
  // Back to pixels for the copy of the client area.
  SetMapMode(dc, MM_TEXT);
  SetWindowOrgEx(dc, 0, 0, nullptr);
  SetViewportOrgEx(dc, 0, 0, nullptr);
  return rc;
}

}  // namespace

int cmd_render(const Args &args) {
  RenderSettings s;
  CommandLine line;
  int status = parse_command_line(
      args,
      {{"--size", nullptr, "WxH, both 1 or more",
        [&](const std::string &v) { return parse_size(v, &s.width, &s.height); }},
       {"--depth", nullptr, "24, 8 or 4",
        [&](const std::string &v) { return parse_int(v, 4, &s.depth) && (s.depth == 24 || s.depth == 8 || s.depth == 4); }},
       {"--crop", nullptr, "X,Y,W,H with W and H of 1 or more",
        [&](const std::string &v) { return parse_rect(v, false, &s.crop); }},
       {"--rect", nullptr, "X,Y,W,H with W and H not 0",
        [&](const std::string &v) { return parse_rect(v, true, &s.rect); }},
       {"--map", nullptr, "a mapping mode: text, lometric, himetric, loenglish, hienglish, twips, isotropic or anisotropic",
        [&](const std::string &v) {
          for (const MapMode &m : kMapModes)
            if (v == m.name) return (s.map = m.mode), true;
          return false;
        }},
       {"--ddb", nullptr, nullptr, [&](const std::string &) { return s.ddb = true; }},
       {"--type", nullptr, "a save type number (0-15) or name",
        [&](const std::string &v) { return (s.type = save_type_from_text(v)) != nullptr; }}},
      kRenderHelp, &line);
  if (status >= 0) return status;
  if (line.operands.size() != 2) return usage_error("render needs an input and an output file");
  if (s.ddb && s.map != MM_TEXT) return usage_error("--ddb draws in pixels: it takes no --map");
  const std::string &in = line.operands[0], &out = line.operands[1];
  const SaveType *type = output_type(s.type, out, &status);
  if (type == nullptr) return status;

  int handle = load_for_output(in, s.crop, line.quiet);
  if (handle < 0) return fail(in, handle);
  int width = s.width, height = s.height, bits = 0;
  if (width == 0) IMG_bitmap_info(handle, &width, &height, &bits);
  if (!PxvSetScreen(width, height, s.depth)) {
    IMG_delete_bitmap(handle);
    return usage_error("the screen cannot be " + std::to_string(width) + "x" + std::to_string(height) +
                       " (at most 16384 pixels a side)");
  }
  HWND window = PxvCreateWindow(width, height);
  HDC dc = window != nullptr ? GetDC(window) : nullptr;
  if (dc == nullptr) {
    status = fail("the window", PXV_ERR_GDI);
  } else if (int rc = paint(handle, dc, s, width, height); rc < 0) {
    status = fail(in, rc);
  } else {
    status = save_client_area(dc, width, height, out, *type);
  }
  if (dc != nullptr) ReleaseDC(window, dc);
  if (window != nullptr) PxvDestroyWindow(window);
  IMG_delete_bitmap(handle);
  return status;
}

}  // namespace pxv_cli
