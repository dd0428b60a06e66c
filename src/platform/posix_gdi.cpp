// GDI on POSIX: a software device model whose surfaces hold real pixels, so that what the
// library paints, prints and reads back can be checked pixel by pixel.
//
// The model:
// - Every object (bitmap, palette, device context) is found in a registry before use. Handles
//   are serial numbers that are never reused, so a stale or wrong-kind handle is refused (FALSE,
//   0, NULL) without touching memory. Two stock objects, the 1 x 1 monochrome bitmap of a fresh
//   memory DC and the 20-colour default palette, live in the registry too but are never freed.
// - A device is the screen (settable size and depth, 96 dpi) or a virtual printer. A memory DC
//   describes the device it was made compatible with, as on Windows; its pixels are those of the
//   bitmap selected into it.
// - A colour lands on a surface as itself (24 and 32 bits) or as the nearest value the surface
//   has, by squared RGB distance, the lowest index on ties: black or white at 1 bit, the VGA 16
//   at 4 bits, the system palette entries in use at 8 bits. Raster operations act on the stored
//   values, which on a palette surface are indices; so do the pens' binary modes (SetROP2).
// - Pens are cosmetic, one pixel wide, solid or dotted (three pixels on, three off, the pattern
//   starting afresh with every line as in Wine); a line leaves out its last pixel.
// - Coordinates go through the DC's mapping mode before anything is drawn, rounding like MulDiv;
//   mapping modes follow Wine's model of Win32 (fixed-scale modes reset the extents,
//   MM_ISOTROPIC keeps its aspect, extents other modes do not use are ignored).
// Nothing here writes to stdout or stderr.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix_gdi_model.h"
#include "platform/testing.h"
#include "platform/win32.h"

namespace {

using pxv_gdi::Surface;

constexpr int kScreenDpi = 96;
constexpr int kSystemColors = 256;
constexpr int kStaticHalf = 10;  // static colours at system entries 0..9 and 246..255
constexpr int kDriverVersion = 0x400;
constexpr std::size_t kMaxTechnology = 31;  // what escape 20 may write, without its NUL
constexpr int kMaxScaleShift = 16;
constexpr int kMaxDpi = 100000;
// Mapped coordinates beyond this are refused by the drawing calls. No surface comes near it,
// and it keeps the centre-sampling products ((2d + 1) * |source extent|) within 64 bits.
constexpr std::int64_t kMaxDeviceCoord = std::int64_t{1} << 29;
constexpr DWORD kMaxDibHeader = 124;  // the largest Windows DIB header (BITMAPV5HEADER)
constexpr std::uintptr_t kFirstGdiHandle = 0x10000;  // even: window handles are odd

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb &) const = default;
};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};

// The 16 colours of a 4-bit device in the standard Windows VGA order: the dim colours, light
// grey, dark grey, then the bright ones.
constexpr Rgb kVgaColors[16] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

// The 20 static colours of a 256-colour palette device: system entries 0..9, then 246..255.
constexpr Rgb kStaticColors[2 * kStaticHalf] = {
    {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
    {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
    {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
    {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};

// A direct-mapped memory of recent nearest-colour answers: a 24-bit picture drawn on a palette
// surface asks for the same few colours again and again.
struct ColorCache {
  static constexpr std::uint32_t kValid = 1u << 24;
  std::array<std::uint32_t, 4096> keys{};  // colour | kValid; 0 = empty
  std::array<std::uint8_t, 4096> values{};
};

std::uint32_t pack(Rgb c) { return c.b | (std::uint32_t{c.g} << 8) | (std::uint32_t{c.r} << 16); }
Rgb unpack(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v)};
}

int distance(Rgb a, Rgb b) {
  const int r = a.r - b.r, g = a.g - b.g, bl = a.b - b.b;
  return r * r + g * g + bl * bl;
}

// The nearest of `count` table colours (only those marked in use, when `in_use` is given), the
// lowest index on ties; 0 when none is usable.
int nearest_index(const Rgb *table, const bool *in_use, int count, Rgb c) {
  int best = 0, best_distance = -1;
  for (int i = 0; i < count; ++i) {
    if (in_use != nullptr && !in_use[i]) continue;
    const int d = distance(table[i], c);
    if (best_distance < 0 || d < best_distance) {
      best = i;
      best_distance = d;
      if (d == 0) break;
    }
  }
  return best;
}

int nearest_cached(ColorCache &cache, const Rgb *table, const bool *in_use, int count, Rgb c) {
  const std::uint32_t key = pack(c) | ColorCache::kValid;
  // A multiplicative hash: the colours of a regular table (3-3-2 steps, say) do not collide.
  const std::uint32_t slot = (key * 0x9E3779B1u) >> 20;
  if (cache.keys[slot] != key) {
    cache.keys[slot] = key;
    cache.values[slot] = static_cast<std::uint8_t>(nearest_index(table, in_use, count, c));
  }
  return cache.values[slot];
}

// ---------------------------------------------------------------------------------------------
// The screen and its system palette.

struct ScreenState {
  int width = 1024;
  int height = 768;
  int depth = 24;
  Rgb system[kSystemColors];
  bool in_use[kSystemColors];
  // Bumped when realised entries are freed (a foreground realisation, a new screen): a
  // palette's mapping from an older epoch no longer holds.
  std::uint64_t epoch = 1;
  ColorCache nearest;  // answers for the current entries; cleared whenever an entry changes
  std::uint64_t changes = 0;  // counts those clearings
  Surface surface;     // the pixels behind GetDC(NULL), made on first use
};

// Forgets the nearest-colour answers, which an entry taken or freed may have changed.
void system_palette_changed(ScreenState &s) {
  s.nearest = ColorCache{};
  ++s.changes;
}

void reset_system_palette(ScreenState &s) {
  for (int i = 0; i < kSystemColors; ++i) {
    s.system[i] = kBlack;
    s.in_use[i] = false;
  }
  for (int i = 0; i < kStaticHalf; ++i) {
    s.system[i] = kStaticColors[i];
    s.system[kSystemColors - kStaticHalf + i] = kStaticColors[kStaticHalf + i];
    s.in_use[i] = s.in_use[kSystemColors - kStaticHalf + i] = true;
  }
  ++s.epoch;
  system_palette_changed(s);
}

ScreenState &screen() {
  static ScreenState *state = [] {
    auto *s = new ScreenState;
    reset_system_palette(*s);
    return s;
  }();
  return *state;
}

int nearest_system(Rgb c) {
  ScreenState &s = screen();
  return nearest_cached(s.nearest, s.system, s.in_use, kSystemColors, c);
}

// ---------------------------------------------------------------------------------------------
// Surface values and colours.

std::uint32_t value_mask(int bits) { return bits >= 24 ? 0xFFFFFFu : (1u << bits) - 1; }

Rgb value_color(int bits, std::uint32_t v) {
  switch (bits) {
    case 1: return v & 1 ? kWhite : kBlack;
    case 4: return kVgaColors[v & 15];
    case 8: return screen().system[v & 255];
    default: return unpack(v);
  }
}

std::uint32_t color_value(int bits, Rgb c) {
  switch (bits) {
    case 1: return distance(c, kWhite) < distance(c, kBlack) ? 1 : 0;
    case 4: return static_cast<std::uint32_t>(nearest_index(kVgaColors, nullptr, 16, c));
    case 8: return static_cast<std::uint32_t>(nearest_system(c));
    default: return pack(c);
  }
}

std::uint32_t pixel_get(const Surface &s, int x, int y) {
  const std::uint8_t *row = s.pixels.data() + static_cast<std::size_t>(y) * s.stride;
  switch (s.bits) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 4: return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15u;
    case 8: return row[x];
    default: {
      const std::uint8_t *p = row + static_cast<std::size_t>(x) * (s.bits / 8);
      return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
    }
  }
}

void pixel_set(Surface &s, int x, int y, std::uint32_t v) {
  std::uint8_t *row = s.pixels.data() + static_cast<std::size_t>(y) * s.stride;
  switch (s.bits) {
    case 1: {
      const int shift = 7 - (x & 7);
      row[x >> 3] = static_cast<std::uint8_t>((row[x >> 3] & ~(1u << shift)) | ((v & 1u) << shift));
      break;
    }
    case 4: {
      const int shift = (x & 1) ? 0 : 4;
      row[x >> 1] =
          static_cast<std::uint8_t>((row[x >> 1] & ~(15u << shift)) | ((v & 15u) << shift));
      break;
    }
    case 8: row[x] = static_cast<std::uint8_t>(v); break;
    default: {
      std::uint8_t *p = row + static_cast<std::size_t>(x) * (s.bits / 8);
      p[0] = static_cast<std::uint8_t>(v);
      p[1] = static_cast<std::uint8_t>(v >> 8);
      p[2] = static_cast<std::uint8_t>(v >> 16);
    }
  }
}

// Bytes of a surface's pixels, or 0 for a size or depth the model refuses.
std::size_t surface_bytes(int width, int height, int bits, std::size_t *stride) {
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return 0;
  if (width < 1 || height < 1 || width > pxv_gdi::kMaxSurfaceSide ||
      height > pxv_gdi::kMaxSurfaceSide)
    return 0;
  const std::size_t row =
      (static_cast<std::size_t>(width) * static_cast<std::size_t>(bits) + 15) / 16 * 2;
  const std::size_t bytes = row * static_cast<std::size_t>(height);
  if (bytes > pxv_platform::block_limit()) return 0;
  if (stride != nullptr) *stride = row;
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// The objects and their registry.

struct Bitmap {
  Surface surface;
  HDC selected_in = nullptr;  // the memory DC holding it: a bitmap is in one DC at most
};

struct Palette {
  std::vector<PALETTEENTRY> entries;
  // The system entry of each logical entry as its last realisation on a palette device left
  // it; it holds while `epoch` equals the screen's.
  std::vector<std::uint8_t> to_system;
  std::uint64_t epoch = 0;
};

// A printer as its host described it. Memory DCs made compatible with the printer share it, so
// that they keep describing the device after the printer's own DC is gone.
struct PrinterDevice {
  PXV_PRINTER desc{};  // desc.technology is not kept: the copy below is
  std::string technology;
  bool has_technology = false;
  int page_bits = 24;
};

struct Mapping {
  int mode = MM_TEXT;
  POINT window_org{0, 0};
  SIZE window_ext{1, 1};
  POINT viewport_org{0, 0};
  SIZE viewport_ext{1, 1};
};

struct Pen {
  int style = PS_SOLID;
  COLORREF color = 0;
};

enum class DcKind { kMemory, kWindow, kScreen, kPrinter };

struct Dc {
  DcKind kind = DcKind::kMemory;
  std::shared_ptr<const PrinterDevice> printer;  // the device: this printer, or null for the screen
  HBITMAP bitmap = nullptr;                      // memory DC: the selected bitmap
  HWND window = nullptr;                         // window DC
  HPALETTE palette = nullptr;
  bool palette_background = false;
  HPEN pen = nullptr;
  int rop2 = R2_COPYPEN;
  int bk_mode = OPAQUE;
  COLORREF bk_color = RGB(255, 255, 255);
  POINT position{0, 0};  // where the next LineTo starts, in logical units
  Mapping map;
  // Printer DC: the current page lives from StartPage to the next StartPage or DeleteDC.
  Surface page;
  bool page_open = false;  // between StartPage and EndPage
  bool doc_open = false;
  int jobs = 0;
  int rows_painted = 0;  // the lowest page row painted since StartPage, + 1
};

template <class T>
using Table = std::unordered_map<std::uintptr_t, std::unique_ptr<T>>;

struct GdiState {
  Table<Bitmap> bitmaps;
  Table<Palette> palettes;
  Table<Dc> dcs;
  Table<Pen> pens;
  std::uintptr_t next_handle = kFirstGdiHandle;
  HBITMAP stock_bitmap = nullptr;
  HPALETTE stock_palette = nullptr;
  HPEN stock_pens[3] = {};  // WHITE_PEN, BLACK_PEN, NULL_PEN
  unsigned fail_countdown = 0;
};

template <class T>
HANDLE add_object(GdiState &g, Table<T> &table, std::unique_ptr<T> object) {
  const std::uintptr_t handle = g.next_handle;
  g.next_handle += 2;
  table[handle] = std::move(object);
  return reinterpret_cast<HANDLE>(handle);
}

// Never destroyed, like the kernel layer's blocks: objects a host still holds at exit stay
// reachable.
GdiState &gdi() {
  static GdiState *state = [] {
    auto *g = new GdiState;
    auto bitmap = std::make_unique<Bitmap>();
    pxv_gdi::surface_make(bitmap->surface, 1, 1, 1, false);
    g->stock_bitmap = add_object(*g, g->bitmaps, std::move(bitmap));
    auto palette = std::make_unique<Palette>();
    for (const Rgb &c : kStaticColors) palette->entries.push_back({c.r, c.g, c.b, 0});
    g->stock_palette = add_object(*g, g->palettes, std::move(palette));
    const Pen stock_pens[] = {{PS_SOLID, RGB(255, 255, 255)}, {PS_SOLID, 0}, {PS_NULL, 0}};
    for (int i = 0; i < 3; ++i)
      g->stock_pens[i] = add_object(*g, g->pens, std::make_unique<Pen>(stock_pens[i]));
    return g;
  }();
  return *state;
}

template <class T>
T *find_in(Table<T> &table, const void *handle) {
  auto it = table.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == table.end() ? nullptr : it->second.get();
}

Bitmap *find_bitmap(const void *h) { return find_in(gdi().bitmaps, h); }
Palette *find_palette(const void *h) { return find_in(gdi().palettes, h); }
Dc *find_dc(const void *h) { return find_in(gdi().dcs, h); }
Pen *find_pen(const void *h) { return find_in(gdi().pens, h); }

constexpr std::size_t kStockObjects = 5;  // the bitmap, the palette and three pens
bool is_stock(const void *h) {
  const GdiState &g = gdi();
  return h == g.stock_bitmap || h == g.stock_palette ||
         std::find(std::begin(g.stock_pens), std::end(g.stock_pens), h) != std::end(g.stock_pens);
}

std::unique_ptr<Dc> new_dc(DcKind kind, std::shared_ptr<const PrinterDevice> printer) {
  auto dc = std::make_unique<Dc>();
  dc->kind = kind;
  dc->printer = std::move(printer);
  dc->bitmap = gdi().stock_bitmap;
  dc->palette = gdi().stock_palette;
  dc->pen = gdi().stock_pens[1];
  return dc;
}

Surface *screen_surface() {
  ScreenState &s = screen();
  if (s.surface.pixels.empty() &&
      !pxv_gdi::surface_make(s.surface, s.width, s.height, s.depth, true))
    return nullptr;
  return &s.surface;
}

// The pixels a DC draws on; null when it has none (a printer before its first page).
Surface *dc_surface(Dc &dc) {
  switch (dc.kind) {
    case DcKind::kMemory: {
      Bitmap *b = find_bitmap(dc.bitmap);
      return b == nullptr ? nullptr : &b->surface;
    }
    case DcKind::kWindow: return pxv_gdi::window_surface(dc.window);
    case DcKind::kScreen: return screen_surface();
    case DcKind::kPrinter: return dc.page.pixels.empty() ? nullptr : &dc.page;
  }
  return nullptr;
}

// The depth of a bitmap compatible with the DC: that of the surface in it (a fresh memory DC
// holds the 1-bit stock bitmap, as on Windows), the screen's for window and screen DCs.
int compatible_bits(const Dc &dc) {
  switch (dc.kind) {
    case DcKind::kMemory: {
      Bitmap *b = find_bitmap(dc.bitmap);
      return b == nullptr ? 1 : b->surface.bits;
    }
    case DcKind::kPrinter: return dc.printer->page_bits;
    default: return screen().depth;
  }
}

bool palette_device(const Dc &dc) { return dc.printer == nullptr && screen().depth == 8; }

// ---------------------------------------------------------------------------------------------
// Device capabilities.

// MulDiv: a * b / c rounded to the nearest, halves away from zero; computed in 64 bits, a
// product beyond them saturates (the callers clamp or refuse such values anyway).
std::int64_t mul_div(std::int64_t a, std::int64_t b, std::int64_t c) {
  if (c < 0) {
    a = -a;
    c = -c;
  }
  std::int64_t p;
  if (__builtin_mul_overflow(a, b, &p)) return (a < 0) != (b < 0) ? INT64_MIN / 4 : INT64_MAX / 4;
  std::int64_t q = p / c;
  const std::int64_t r = p % c;
  if (2 * (r < 0 ? -r : r) >= c) q += p < 0 ? -1 : 1;
  return q;
}

int clamp32(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

struct DeviceCaps {
  int technology, width, height, dpi_x, dpi_y, bits, colors;
};

DeviceCaps device_caps(const Dc &dc) {
  if (dc.printer != nullptr) {
    const PXV_PRINTER &p = dc.printer->desc;
    return {DT_RASPRINTER,
            p.page_width,
            p.page_height,
            p.dpi_x,
            p.dpi_y,
            dc.printer->page_bits,
            p.colors <= 256 ? p.colors : -1};
  }
  const ScreenState &s = screen();
  const int colors = s.depth == 8 ? 2 * kStaticHalf : s.depth == 4 ? 16 : -1;
  return {DT_RASDISPLAY, s.width, s.height, kScreenDpi, kScreenDpi, s.depth, colors};
}

// The device's size in millimetres, as HORZSIZE and VERTSIZE report it; never 0, since the
// metric mapping modes divide by it.
int millimetres(int pixels, int dpi) {
  return static_cast<int>(std::max<std::int64_t>(1, mul_div(pixels, 254, std::int64_t{dpi} * 10)));
}

// ---------------------------------------------------------------------------------------------
// Mapping.

std::int64_t map_x(const Mapping &m, std::int64_t x) {
  return mul_div(x - m.window_org.x, m.viewport_ext.cx, m.window_ext.cx) + m.viewport_org.x;
}
std::int64_t map_y(const Mapping &m, std::int64_t y) {
  return mul_div(y - m.window_org.y, m.viewport_ext.cy, m.window_ext.cy) + m.viewport_org.y;
}

// Keeps one logical unit the same size on both axes, shrinking the viewport extent of the axis
// that would make it larger: Wine's MAPPING_FixIsotropic, arithmetic included.
void fix_isotropic(Dc &dc) {
  const DeviceCaps caps = device_caps(dc);
  Mapping &m = dc.map;
  const double size_x = millimetres(caps.width, caps.dpi_x);
  const double size_y = millimetres(caps.height, caps.dpi_y);
  const double xdim =
      std::fabs(double(m.viewport_ext.cx) * size_x / (double(caps.width) * m.window_ext.cx));
  const double ydim =
      std::fabs(double(m.viewport_ext.cy) * size_y / (double(caps.height) * m.window_ext.cy));
  if (xdim > ydim) {
    const int least = m.viewport_ext.cx >= 0 ? 1 : -1;
    m.viewport_ext.cx =
        clamp32(static_cast<std::int64_t>(std::floor(m.viewport_ext.cx * ydim / xdim + 0.5)));
    if (m.viewport_ext.cx == 0) m.viewport_ext.cx = least;
  } else {
    const int least = m.viewport_ext.cy >= 0 ? 1 : -1;
    m.viewport_ext.cy =
        clamp32(static_cast<std::int64_t>(std::floor(m.viewport_ext.cy * xdim / ydim + 0.5)));
    if (m.viewport_ext.cy == 0) m.viewport_ext.cy = least;
  }
}

bool scalable(int mode) { return mode == MM_ISOTROPIC || mode == MM_ANISOTROPIC; }

template <class T>
BOOL get_mapping(HDC dc, T Mapping::*field, T *out) {
  Dc *d = find_dc(dc);
  if (d == nullptr || out == nullptr) return FALSE;
  *out = d->map.*field;
  return TRUE;
}

BOOL set_origin(HDC dc, POINT Mapping::*field, int x, int y, LPPOINT old) {
  Dc *d = find_dc(dc);
  if (d == nullptr) return FALSE;
  if (old != nullptr) *old = d->map.*field;
  d->map.*field = {x, y};
  return TRUE;
}

// The extents count only in the scalable modes: elsewhere the call reports the old extent and
// succeeds without changing it, as in Win32.
BOOL set_extent(HDC dc, SIZE Mapping::*field, int x, int y, LPSIZE old) {
  Dc *d = find_dc(dc);
  if (d == nullptr) return FALSE;
  if (old != nullptr) *old = d->map.*field;
  if (!scalable(d->map.mode)) return TRUE;
  if (x == 0 || y == 0) return FALSE;
  d->map.*field = {x, y};
  if (d->map.mode == MM_ISOTROPIC) fix_isotropic(*d);
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Drawing.

// A rectangle in device pixels with the signed extents the mapping gave it.
struct DeviceRect {
  std::int64_t x, y, width, height;
};

bool map_rect(const Dc &dc, int x, int y, int width, int height, DeviceRect *out) {
  const std::int64_t x0 = map_x(dc.map, x), y0 = map_y(dc.map, y);
  const std::int64_t x1 = map_x(dc.map, std::int64_t{x} + width);
  const std::int64_t y1 = map_y(dc.map, std::int64_t{y} + height);
  for (std::int64_t v : {x0, y0, x1, y1})
    if (v < -kMaxDeviceCoord || v > kMaxDeviceCoord) return false;
  *out = {x0, y0, x1 - x0, y1 - y0};
  return true;
}

// The first pixel of a span: o .. o + e - 1 for a positive extent e, o + e + 1 .. o for a
// negative one (Win32's rule for mirrored rectangles).
std::int64_t span_start(std::int64_t origin, std::int64_t extent) {
  return extent >= 0 ? origin : origin + extent + 1;
}

// Which source pixel each visible destination pixel takes, along one axis: destination pixels
// first .. first + source.size() - 1, source[i] -1 where the sampled pixel lies outside the
// source. Destination pixel d of a span of n takes source pixel floor((2d + 1) * m / (2n)) of
// a source span of m: centre sampling, so 1:1 is the identity and a reduction keeps the middle
// pixel of each group. Mirrored spans count the source from its far end.
struct AxisMap {
  int first = 0;
  std::vector<int> source;
  bool one_to_one = false;  // equal unmirrored spans: each pixel takes the next source pixel
};

void axis_map(std::int64_t dst_start, std::int64_t dst_count, std::int64_t src_start,
              std::int64_t src_count, bool mirror, int dst_limit, std::int64_t src_limit,
              AxisMap *out) {
  out->source.clear();
  out->one_to_one = dst_count == src_count && !mirror;
  const std::int64_t lo = std::max<std::int64_t>(dst_start, 0);
  const std::int64_t hi = std::min<std::int64_t>(dst_start + dst_count, dst_limit);
  if (dst_count <= 0 || src_count <= 0 || lo >= hi) return;
  out->first = static_cast<int>(lo);
  out->source.resize(static_cast<std::size_t>(hi - lo));
  const auto n = static_cast<std::uint64_t>(dst_count), m = static_cast<std::uint64_t>(src_count);
  // (2d + 1) * m = s * 2n + rest, stepped from pixel to pixel instead of divided anew: each
  // step adds 2m, that is step_s whole source pixels and step_rest.
  const std::uint64_t first = (2 * static_cast<std::uint64_t>(lo - dst_start) + 1) * m;
  std::uint64_t s = first / (2 * n), rest = first % (2 * n);
  const std::uint64_t step_s = 2 * m / (2 * n), step_rest = 2 * m % (2 * n);
  for (std::int64_t p = lo; p < hi; ++p) {
    const std::uint64_t sampled = mirror ? m - 1 - s : s;
    s += step_s;
    rest += step_rest;
    if (rest >= 2 * n) {
      rest -= 2 * n;
      ++s;
    }
    const std::int64_t at = src_start + static_cast<std::int64_t>(sampled);
    out->source[static_cast<std::size_t>(p - lo)] =
        at >= 0 && at < src_limit ? static_cast<int>(at) : -1;
  }
}

enum class Rop { kCopy, kAnd, kPaint, kInvert, kNotCopy };

bool source_rop(DWORD code, Rop *rop) {
  switch (code) {
    case SRCCOPY: *rop = Rop::kCopy; return true;
    case SRCAND: *rop = Rop::kAnd; return true;
    case SRCPAINT: *rop = Rop::kPaint; return true;
    case SRCINVERT: *rop = Rop::kInvert; return true;
    case NOTSRCCOPY: *rop = Rop::kNotCopy; return true;
    default: return false;
  }
}

std::uint32_t apply_rop(Rop rop, std::uint32_t dst, std::uint32_t src, std::uint32_t mask) {
  switch (rop) {
    case Rop::kCopy: return src;
    case Rop::kAnd: return dst & src;
    case Rop::kPaint: return dst | src;
    case Rop::kInvert: return dst ^ src;
    case Rop::kNotCopy: return ~src & mask;
  }
  return src;
}

// Puts fetch(source x, source y) on every mapped pixel through the raster operation.
template <class Fetch>
void blit(Surface &dst, const AxisMap &xs, const AxisMap &ys, Rop rop, Fetch fetch) {
  const std::uint32_t mask = value_mask(dst.bits);
  for (std::size_t i = 0; i < ys.source.size(); ++i) {
    const int sy = ys.source[i];
    if (sy < 0) continue;
    const int y = ys.first + static_cast<int>(i);
    for (std::size_t j = 0; j < xs.source.size(); ++j) {
      const int sx = xs.source[j];
      if (sx < 0) continue;
      const int x = xs.first + static_cast<int>(j);
      const std::uint32_t old = rop == Rop::kCopy ? 0 : pixel_get(dst, x, y);
      pixel_set(dst, x, y, apply_rop(rop, old, fetch(sx, sy), mask) & mask);
    }
  }
}

// After drawing on a printer page: tells the host how far down the page the drawing reached.
// Called last, since the host's callback may call back into GDI.
void report_rows(Dc &dc, const AxisMap &ys) {
  if (dc.kind != DcKind::kPrinter || ys.source.empty()) return;
  const int bottom = ys.first + static_cast<int>(ys.source.size());
  if (bottom <= dc.rows_painted) return;
  dc.rows_painted = bottom;
  const PXV_PRINTER &p = dc.printer->desc;
  if (p.rows_painted != nullptr) p.rows_painted(p.user, bottom, p.page_height);
}

// Fills the mapped rectangle with a fixed value through the raster operation (PatBlt and the
// BitBlt codes that take no source).
BOOL fill_rect(Dc &dc, int x, int y, int width, int height, DWORD code) {
  Surface *surface = dc_surface(dc);
  DeviceRect r;
  if (surface == nullptr || !map_rect(dc, x, y, width, height, &r)) return FALSE;
  Rop rop = Rop::kCopy;
  std::uint32_t value;
  switch (code) {
    case BLACKNESS: value = color_value(surface->bits, kBlack); break;
    case WHITENESS: value = color_value(surface->bits, kWhite); break;
    case DSTINVERT:
      rop = Rop::kInvert;
      value = value_mask(surface->bits);
      break;
    default: return FALSE;
  }
  const std::int64_t w = r.width < 0 ? -r.width : r.width, h = r.height < 0 ? -r.height : r.height;
  AxisMap xs, ys;
  axis_map(span_start(r.x, r.width), w, 0, w, false, surface->width, w, &xs);
  axis_map(span_start(r.y, r.height), h, 0, h, false, surface->height, h, &ys);
  blit(*surface, xs, ys, rop, [value](int, int) { return value; });
  report_rows(dc, ys);
  return TRUE;
}

// The 16 binary raster operations on stored values: mode - 1 is a truth table whose bit
// (2 * pen bit + destination bit) gives each result bit (R2_COPYPEN 13: 1100, R2_NOTXORPEN 10:
// 1001).
std::uint32_t apply_rop2(int mode, std::uint32_t pen, std::uint32_t dst, std::uint32_t mask) {
  const unsigned table = static_cast<unsigned>(mode - 1);
  std::uint32_t r = 0;
  if (table & 1u) r |= ~pen & ~dst;
  if (table & 2u) r |= ~pen & dst;
  if (table & 4u) r |= pen & ~dst;
  if (table & 8u) r |= pen & dst;
  return r & mask;
}

Rgb colorref_rgb(COLORREF c) {
  return {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
          static_cast<std::uint8_t>(c >> 16)};
}

// A DC's drawing setting: the one a set replaces, or `refused` for a handle that is no DC.
template <class T>
T exchange_setting(HDC dc, T Dc::*field, T value, T refused) {
  Dc *d = find_dc(dc);
  return d == nullptr ? refused : std::exchange(d->*field, value);
}
template <class T>
T get_setting(HDC dc, T Dc::*field, T refused) {
  Dc *d = find_dc(dc);
  return d == nullptr ? refused : d->*field;
}

// Cosmetic dots: three pixels on, three off.
constexpr std::int64_t kDotRun = 3;

// a * b / c rounded half away from zero, for |a * b| well within 64 bits and c > 0.
std::int64_t round_div(std::int64_t a, std::int64_t b, std::int64_t c) {
  const std::int64_t p = a * b;
  return p >= 0 ? (2 * p + c) / (2 * c) : -((-2 * p + c) / (2 * c));
}

// Draws the line from device point (x0, y0) towards (x1, y1), its last pixel left out, with
// the DC's pen through its binary mode. Pixel i of the n steps lies at i along the major axis
// and i * minor / n (rounded) along the other, so only the steps that land on the surface are
// visited: a line far longer than the surface costs no more than one across it.
void draw_line(Dc &dc, Surface &s, std::int64_t x0, std::int64_t y0, std::int64_t x1,
               std::int64_t y1) {
  const Pen *pen = find_pen(dc.pen);
  if (pen == nullptr || pen->style == PS_NULL) return;
  const std::int64_t dx = x1 - x0, dy = y1 - y0;
  const bool x_major = std::abs(dx) >= std::abs(dy);
  const std::int64_t n = x_major ? std::abs(dx) : std::abs(dy);
  if (n == 0) return;
  const std::int64_t major0 = x_major ? x0 : y0, minor0 = x_major ? y0 : x0;
  const std::int64_t step = (x_major ? dx : dy) > 0 ? 1 : -1, minor_delta = x_major ? dy : dx;
  const std::int64_t major_limit = x_major ? s.width : s.height;
  const std::int64_t minor_limit = x_major ? s.height : s.width;
  const std::int64_t first =
      std::max<std::int64_t>(0, step > 0 ? -major0 : major0 - major_limit + 1);
  const std::int64_t end = std::min<std::int64_t>(n, step > 0 ? major_limit - major0 : major0 + 1);
  const std::uint32_t mask = value_mask(s.bits);
  const std::uint32_t ink = color_value(s.bits, colorref_rgb(pen->color));
  const std::uint32_t gap = color_value(s.bits, colorref_rgb(dc.bk_color));
  for (std::int64_t i = first; i < end; ++i) {
    const std::int64_t minor = minor0 + round_div(i, minor_delta, n);
    if (minor < 0 || minor >= minor_limit) continue;
    const bool on = pen->style != PS_DOT || (i / kDotRun) % 2 == 0;
    // Opaque mode draws the gaps between dots in the background colour, through the same mode.
    if (!on && dc.bk_mode == TRANSPARENT) continue;
    const int x = static_cast<int>(x_major ? major0 + step * i : minor);
    const int y = static_cast<int>(x_major ? minor : major0 + step * i);
    pixel_set(s, x, y, apply_rop2(dc.rop2, on ? ink : gap, pixel_get(s, x, y), mask));
  }
}

// A caller's packed DIB as StretchDIBits reads it.
struct DibSource {
  int width = 0, height = 0, bits = 0;
  std::size_t stride = 0;
  const std::uint8_t *pixels = nullptr;
  std::array<std::uint32_t, 256> values{};  // the surface value of each colour-table entry
};

// The surface value of each entry of a DIB's colour table of `full` entries, `used` of them
// given; indices beyond those draw black. A paint in bands hands over the same table band after
// band, and on a palette screen each of its colours is a search, so the last answer is kept
// while the table, the depth and the system palette stay the same.
void table_values(const std::uint8_t *table, std::uint32_t full, std::uint32_t used,
                  int surface_bits, std::array<std::uint32_t, 256> *values) {
  static struct {
    std::uint32_t full = 0, used = 0;
    int surface_bits = 0;
    std::uint64_t changes = 0;
    std::array<std::uint8_t, 1024> table{};
    std::array<std::uint32_t, 256> values{};
  } last;
  const std::uint64_t changes = screen().changes;
  if (last.full == full && last.used == used && last.surface_bits == surface_bits &&
      last.changes == changes && std::memcmp(last.table.data(), table, 4 * used) == 0) {
    *values = last.values;
    return;
  }
  for (std::uint32_t i = 0; i < full; ++i) {
    const Rgb c = i < used ? Rgb{table[4 * i + 2], table[4 * i + 1], table[4 * i]} : kBlack;
    (*values)[i] = color_value(surface_bits, c);
  }
  last.full = full;
  last.used = used;
  last.surface_bits = surface_bits;
  last.changes = changes;
  std::memcpy(last.table.data(), table, 4 * used);
  last.values = *values;
}

bool dib_source(const BITMAPINFO *info, const void *bits, int surface_bits, DibSource *out) {
  const BITMAPINFOHEADER &h = info->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biSize > kMaxDibHeader || h.biPlanes != 1 ||
      h.biCompression != BI_RGB)
    return false;
  if (h.biBitCount != 1 && h.biBitCount != 4 && h.biBitCount != 8 && h.biBitCount != 24)
    return false;
  // Top-down DIBs (negative height) are not supported: nothing in this library makes them.
  if (h.biWidth < 1 || h.biHeight < 1) return false;
  out->width = h.biWidth;
  out->height = h.biHeight;
  out->bits = h.biBitCount;
  out->stride = (static_cast<std::size_t>(h.biWidth) * h.biBitCount + 31) / 32 * 4;
  // No caller holds more than 2^40 bytes, nor more than the address space (2^32 on 32-bit
  // hosts): this keeps every row offset within the size type.
  const std::uint64_t most = std::min<std::uint64_t>(std::uint64_t{1} << 40, SIZE_MAX);
  if (out->stride > most / static_cast<std::uint64_t>(h.biHeight)) return false;
  out->pixels = static_cast<const std::uint8_t *>(bits);
  if (out->bits <= 8) {
    const std::uint32_t full = 1u << out->bits;
    const std::uint32_t used = h.biClrUsed != 0 && h.biClrUsed < full ? h.biClrUsed : full;
    const auto *table = reinterpret_cast<const std::uint8_t *>(info) + h.biSize;
    table_values(table, full, used, surface_bits, &out->values);
  }
  return true;
}

// The surface value of DIB pixel x of the row `row` counted from the top.
std::uint32_t dib_value(const DibSource &dib, int surface_bits, int x, int row) {
  const std::uint8_t *p = dib.pixels + static_cast<std::size_t>(dib.height - 1 - row) * dib.stride;
  switch (dib.bits) {
    case 1: return dib.values[(p[x >> 3] >> (7 - (x & 7))) & 1];
    case 4: return dib.values[(p[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
    case 8: return dib.values[p[x]];
    default: {
      const std::uint8_t *q = p + static_cast<std::size_t>(x) * 3;
      const Rgb c{q[2], q[1], q[0]};
      return surface_bits >= 24 ? pack(c) : color_value(surface_bits, c);
    }
  }
}

// StretchDIBits on whole rows, for the surfaces that store a pixel in whole bits of its own
// bytes (1, 4, 8 and 24 bits; a 32-bit surface keeps the per-pixel path, which leaves each
// pixel's fourth byte as it is). The per-pixel path asks dib_value and pixel_set for every
// destination pixel; a paint of a large picture repeats the same few decisions millions of
// times. Here each distinct source row is sampled once into the surface's own packing, and the
// packed row is merged into every destination row it lands on, a plain copy under SRCCOPY. A
// source row that already is the destination's packing (same depth, identity colours, a 1:1
// run at the same bit phase: the library's bands, which it resamples itself) is merged straight
// from the DIB. The result is pixel for pixel that of the per-pixel path.
bool row_stretch_enabled = true;

// The destination pixels of a map that take a source pixel form one run, since the sampled
// source pixel moves monotonically along the span; [begin, end) within map.source.
struct Run {
  std::size_t begin = 0, end = 0;
};

Run visible_run(const AxisMap &m) {
  Run r{0, m.source.size()};
  while (r.begin < r.end && m.source[r.begin] < 0) ++r.begin;
  while (r.end > r.begin && m.source[r.end - 1] < 0) --r.end;
  return r;
}

// Surface values of source pixels sx[0 .. count) of DIB row `row` (counted from the top).
void sample_dib_row(const DibSource &dib, int surface_bits, const int *sx, std::size_t count,
                    int row, std::uint32_t *out) {
  const std::uint8_t *p = dib.pixels + static_cast<std::size_t>(dib.height - 1 - row) * dib.stride;
  const std::uint32_t *values = dib.values.data();
  switch (dib.bits) {
    case 1:
      for (std::size_t j = 0; j < count; ++j)
        out[j] = values[(p[sx[j] >> 3] >> (7 - (sx[j] & 7))) & 1];
      return;
    case 4:
      for (std::size_t j = 0; j < count; ++j)
        out[j] = values[(p[sx[j] >> 1] >> ((sx[j] & 1) ? 0 : 4)) & 15];
      return;
    case 8:
      for (std::size_t j = 0; j < count; ++j) out[j] = values[p[sx[j]]];
      return;
    default:
      break;
  }
  if (surface_bits >= 24) {
    for (std::size_t j = 0; j < count; ++j) {
      const std::uint8_t *q = p + static_cast<std::size_t>(sx[j]) * 3;
      out[j] = q[0] | (std::uint32_t{q[1]} << 8) | (std::uint32_t{q[2]} << 16);
    }
    return;
  }
  // Matching a colour costs a search: neighbours of one colour share the answer.
  std::uint32_t last_colour = 0, last_value = color_value(surface_bits, kBlack);
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint8_t *q = p + static_cast<std::size_t>(sx[j]) * 3;
    const std::uint32_t colour = q[0] | (std::uint32_t{q[1]} << 8) | (std::uint32_t{q[2]} << 16);
    if (colour != last_colour) {
      last_colour = colour;
      last_value = color_value(surface_bits, unpack(colour));
    }
    out[j] = last_value;
  }
}

// Packs values as a surface row of `bits` stores them, the first at bit phase `phase` (pixels
// into its byte) of out[0]; bits outside the values are zero.
void pack_values(const std::uint32_t *v, std::size_t count, int bits, int phase,
                 std::uint8_t *out) {
  switch (bits) {
    case 1:
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t x = j + static_cast<std::size_t>(phase);
        out[x >> 3] = static_cast<std::uint8_t>(out[x >> 3] | ((v[j] & 1u) << (7 - (x & 7))));
      }
      return;
    case 4:
      for (std::size_t j = 0; j < count; ++j) {
        const std::size_t x = j + static_cast<std::size_t>(phase);
        out[x >> 1] = static_cast<std::uint8_t>(out[x >> 1] | ((v[j] & 15u) << ((x & 1) ? 0 : 4)));
      }
      return;
    case 8:
      for (std::size_t j = 0; j < count; ++j) out[j] = static_cast<std::uint8_t>(v[j]);
      return;
    default:
      for (std::size_t j = 0; j < count; ++j, out += 3) {
        out[0] = static_cast<std::uint8_t>(v[j]);
        out[1] = static_cast<std::uint8_t>(v[j] >> 8);
        out[2] = static_cast<std::uint8_t>(v[j] >> 16);
      }
  }
}

// A packed row onto `bytes` bytes of a surface row through the raster operation; of the first
// and last byte only the bits of `first_mask` and `last_mask` change. Every operation works bit
// by bit on stored values, so bytes can be combined whole.
void merge_row(std::uint8_t *dst, const std::uint8_t *src, std::size_t bytes,
               std::uint8_t first_mask, std::uint8_t last_mask, Rop rop) {
  auto combine = [rop](std::uint8_t d, std::uint8_t s) {
    return static_cast<std::uint8_t>(apply_rop(rop, d, s, 0xFF));
  };
  auto masked = [&](std::size_t k, std::uint8_t mask) {
    dst[k] = static_cast<std::uint8_t>((dst[k] & ~mask) | (combine(dst[k], src[k]) & mask));
  };
  if (bytes == 1) {
    masked(0, first_mask & last_mask);
    return;
  }
  masked(0, first_mask);
  const std::size_t middle = bytes - 2;
  if (rop == Rop::kCopy) {
    std::memcpy(dst + 1, src + 1, middle);
  } else {
    for (std::size_t k = 1; k <= middle; ++k) dst[k] = combine(dst[k], src[k]);
  }
  masked(bytes - 1, last_mask);
}

// True when the DIB's values are its pixels' own bits on this surface.
bool values_are_identity(const DibSource &dib, int surface_bits) {
  if (dib.bits == 24) return surface_bits == 24;
  if (dib.bits != surface_bits) return false;
  for (std::uint32_t i = 0; i < (1u << dib.bits); ++i)
    if (dib.values[i] != i) return false;
  return true;
}

// The row path's answer to a StretchDIBits whose maps are made; false (nothing drawn) when it
// does not take this surface, so that the per-pixel path draws instead.
bool stretch_rows(Surface &dst, const AxisMap &xs, const AxisMap &ys, Rop rop,
                  const DibSource &dib) {
  const int bits = dst.bits;
  if (!row_stretch_enabled || bits == 32) return false;
  const Run run = visible_run(xs);
  if (run.begin == run.end) return true;
  const std::size_t count = run.end - run.begin;
  const int *sx = xs.source.data() + run.begin;
  const std::size_t x0 = static_cast<std::size_t>(xs.first) + run.begin;
  const std::size_t bit0 = x0 * static_cast<std::size_t>(bits);
  const std::size_t bit_end = bit0 + count * static_cast<std::size_t>(bits);
  const std::size_t first_byte = bit0 / 8, bytes = (bit_end + 7) / 8 - first_byte;
  const auto first_mask = static_cast<std::uint8_t>(0xFFu >> (bit0 % 8));
  const auto last_mask = static_cast<std::uint8_t>(0xFFu << ((8 - bit_end % 8) % 8));
  const std::size_t source_bit0 = static_cast<std::size_t>(sx[0]) * static_cast<std::size_t>(dib.bits);
  bool direct = values_are_identity(dib, bits) && source_bit0 % 8 == bit0 % 8;
  for (std::size_t j = 1; direct && !xs.one_to_one && j < count; ++j) direct = sx[j] == sx[j - 1] + 1;
  const bool bytes_to_bytes = dib.bits == 8 && bits == 8;
  std::array<std::uint8_t, 256> byte_values{};
  for (std::size_t i = 0; bytes_to_bytes && i < byte_values.size(); ++i)
    byte_values[i] = static_cast<std::uint8_t>(dib.values[i]);
  std::vector<std::uint32_t> values;
  std::vector<std::uint8_t> packed;
  if (!direct) {
    values.resize(bytes_to_bytes ? 0 : count);
    packed.resize(bytes);
  }
  int sampled = -1;
  const std::uint8_t *src = nullptr;
  for (std::size_t i = 0; i < ys.source.size(); ++i) {
    const int sy = ys.source[i];
    if (sy < 0) continue;
    if (direct) {
      src = dib.pixels + static_cast<std::size_t>(dib.height - 1 - sy) * dib.stride +
            source_bit0 / 8;
    } else if (sy != sampled) {
      if (bytes_to_bytes) {
        // A palette picture on a palette screen: one table look-up a pixel.
        const std::uint8_t *p = dib.pixels + static_cast<std::size_t>(dib.height - 1 - sy) * dib.stride;
        for (std::size_t j = 0; j < count; ++j) packed[j] = byte_values[p[sx[j]]];
      } else {
        sample_dib_row(dib, bits, sx, count, sy, values.data());
        std::fill(packed.begin(), packed.end(), 0);
        pack_values(values.data(), count, bits,
                    static_cast<int>((bit0 % 8) / static_cast<std::size_t>(bits)), packed.data());
      }
      sampled = sy;
      src = packed.data();
    }
    std::uint8_t *row = dst.pixels.data() + static_cast<std::size_t>(ys.first + static_cast<int>(i)) * dst.stride;
    merge_row(row + first_byte, src, bytes, first_mask, last_mask, rop);
  }
  return true;
}

// How GetDIBits turns a bitmap's values into DIB indices at 8 bits: the colour table it
// reports, and the index of each source colour or (from an 8-bit bitmap) system index.
struct DibReader {
  std::vector<Rgb> table;
  bool logical = false;                          // the table is the DC's logical palette
  std::array<int, kSystemColors> from_system{};  // 8-bit bitmap: system index -> DIB index
  ColorCache cache;
};

void reader_for_8_bits(const Dc &dc, const Surface &bitmap, DibReader *r) {
  Palette *p = dc.palette == gdi().stock_palette ? nullptr : find_palette(dc.palette);
  const ScreenState &s = screen();
  r->table.assign(kSystemColors, kBlack);
  if (p == nullptr) {
    // No palette of its own: the system palette, the values themselves.
    std::copy(s.system, s.system + kSystemColors, r->table.begin());
    for (int i = 0; i < kSystemColors; ++i) r->from_system[i] = i;
    return;
  }
  r->logical = true;
  const int count = static_cast<int>(std::min<std::size_t>(p->entries.size(), kSystemColors));
  for (int i = 0; i < count; ++i)
    r->table[i] = {p->entries[i].peRed, p->entries[i].peGreen, p->entries[i].peBlue};
  if (bitmap.bits != 8) return;
  // A system index reads as the lowest logical entry realised onto it; one that no entry
  // took (or any, when the palette's realisation no longer holds) as the nearest entry.
  r->from_system.fill(-1);
  if (p->epoch == s.epoch)
    for (int i = count - 1; i >= 0; --i) r->from_system[p->to_system[i]] = i;
  for (int v = 0; v < kSystemColors; ++v)
    if (r->from_system[v] < 0)
      r->from_system[v] = nearest_index(r->table.data(), nullptr, count, s.system[v]);
}

std::uint32_t read_value(DibReader &r, int out_bits, const Surface &bitmap, std::uint32_t v) {
  if (out_bits == 8) {
    if (bitmap.bits == 8) return static_cast<std::uint32_t>(r.from_system[v & 255]);
    const Rgb c = value_color(bitmap.bits, v);
    if (!r.logical) return color_value(8, c);
    return static_cast<std::uint32_t>(
        nearest_cached(r.cache, r.table.data(), nullptr, static_cast<int>(r.table.size()), c));
  }
  if (out_bits == bitmap.bits || (out_bits >= 24 && bitmap.bits >= 24)) return v;
  return color_value(out_bits, value_color(bitmap.bits, v));
}

void put_dib_value(std::uint8_t *row, int bits, int x, std::uint32_t v) {
  switch (bits) {
    case 1:
      row[x >> 3] = static_cast<std::uint8_t>(row[x >> 3] | ((v & 1u) << (7 - (x & 7))));
      break;
    case 4:
      row[x >> 1] = static_cast<std::uint8_t>(row[x >> 1] | ((v & 15u) << ((x & 1) ? 0 : 4)));
      break;
    case 8: row[x] = static_cast<std::uint8_t>(v); break;
    default: {
      std::uint8_t *p = row + static_cast<std::size_t>(x) * 3;
      p[0] = static_cast<std::uint8_t>(v);
      p[1] = static_cast<std::uint8_t>(v >> 8);
      p[2] = static_cast<std::uint8_t>(v >> 16);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Printers.

int page_bits_for(const PXV_PRINTER &p, bool postscript) {
  // PostScript devices take colour whatever they report.
  if (postscript || p.colors > 256) return 24;
  if (p.colors <= 2) return 1;
  return p.colors <= 16 ? 4 : 8;
}

bool escape_supported(const PrinterDevice &p, int escape) {
  return escape == QUERYESCSUPPORT || (escape == GETSCALINGFACTOR && p.desc.has_scaling) ||
         (escape == GETTECHNOLOGY && p.has_technology);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The model's shared pieces (posix_gdi_model.h).

namespace pxv_gdi {

bool surface_make(Surface &s, int width, int height, int bits, bool white) {
  s = Surface{};
  std::size_t stride = 0;
  const std::size_t bytes = surface_bytes(width, height, bits, &stride);
  if (bytes == 0) return false;
  try {
    // White is every value bit set at 1, 4 (VGA 15), 8 (static entry 255) and 24 bits.
    s.pixels.assign(bytes, white ? 0xFF : 0x00);
  } catch (const std::bad_alloc &) {
    return false;
  }
  s.width = width;
  s.height = height;
  s.bits = bits;
  s.stride = stride;
  if (white && bits == 32)
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        s.pixels[y * stride + 4 * static_cast<std::size_t>(x) + 3] = 0;
  return true;
}

int screen_depth() { return screen().depth; }

bool creation_refused() {
  GdiState &g = gdi();
  return g.fail_countdown != 0 && --g.fail_countdown == 0;
}

HDC window_dc_create(HWND window) {
  if (creation_refused()) return nullptr;
  auto dc = new_dc(window == nullptr ? DcKind::kScreen : DcKind::kWindow, nullptr);
  dc->window = window;
  return add_object(gdi(), gdi().dcs, std::move(dc));
}

bool window_dc_release(HDC dc) {
  Dc *d = find_dc(dc);
  if (d == nullptr || (d->kind != DcKind::kWindow && d->kind != DcKind::kScreen)) return false;
  gdi().dcs.erase(reinterpret_cast<std::uintptr_t>(dc));
  return true;
}

void window_dcs_release(HWND window) {
  std::erase_if(gdi().dcs, [window](const auto &entry) {
    return entry.second->kind == DcKind::kWindow && entry.second->window == window;
  });
}

}  // namespace pxv_gdi

namespace pxv_platform {

std::size_t live_gdi_objects() {
  const GdiState &g = gdi();
  return g.bitmaps.size() + g.palettes.size() + g.dcs.size() + g.pens.size() - kStockObjects;
}

void fail_gdi_creation(unsigned n) { gdi().fail_countdown = n; }

void set_row_stretch(bool on) { row_stretch_enabled = on; }

}  // namespace pxv_platform

extern "C" {

// ---------------------------------------------------------------------------------------------
// Objects.

HPALETTE WINAPI CreatePalette(const LOGPALETTE *palette) {
  // Version 0x300 is the only one GDI knows; 0 entries or more than 1024 are refused.
  if (palette == nullptr || palette->palVersion != 0x300 || palette->palNumEntries == 0 ||
      palette->palNumEntries > 1024)
    return nullptr;
  if (pxv_gdi::creation_refused()) return nullptr;
  auto p = std::make_unique<Palette>();
  p->entries.assign(palette->palPalEntry, palette->palPalEntry + palette->palNumEntries);
  return add_object(gdi(), gdi().palettes, std::move(p));
}

UINT WINAPI GetPaletteEntries(HPALETTE palette, UINT start, UINT count, PALETTEENTRY *entries) {
  Palette *p = find_palette(palette);
  if (p == nullptr) return 0;
  const auto &all = p->entries;
  if (entries == nullptr) return static_cast<UINT>(all.size());
  if (start >= all.size()) return 0;
  UINT n = static_cast<UINT>(all.size()) - start;
  if (count < n) n = count;
  std::memcpy(entries, all.data() + start, n * sizeof(PALETTEENTRY));
  return n;
}

HBITMAP WINAPI CreateBitmap(int width, int height, UINT planes, UINT bits, const void *data) {
  if (planes != 1 || width < 0 || height < 0) return nullptr;
  // A zero size gives the stock 1 x 1 monochrome bitmap, as on Windows.
  if (width == 0 || height == 0) return gdi().stock_bitmap;
  if (surface_bytes(width, height, static_cast<int>(bits), nullptr) == 0) return nullptr;
  if (pxv_gdi::creation_refused()) return nullptr;
  auto b = std::make_unique<Bitmap>();
  if (!pxv_gdi::surface_make(b->surface, width, height, static_cast<int>(bits), false))
    return nullptr;
  // The initial bits are in the device-dependent layout: top-down rows of whole 16-bit words.
  if (data != nullptr) std::memcpy(b->surface.pixels.data(), data, b->surface.pixels.size());
  return add_object(gdi(), gdi().bitmaps, std::move(b));
}

HBITMAP WINAPI CreateCompatibleBitmap(HDC dc, int width, int height) {
  Dc *d = find_dc(dc);
  if (d == nullptr || width < 0 || height < 0) return nullptr;
  if (width == 0 || height == 0) return gdi().stock_bitmap;
  const int bits = compatible_bits(*d);
  if (surface_bytes(width, height, bits, nullptr) == 0) return nullptr;
  if (pxv_gdi::creation_refused()) return nullptr;
  auto b = std::make_unique<Bitmap>();
  if (!pxv_gdi::surface_make(b->surface, width, height, bits, false)) return nullptr;
  return add_object(gdi(), gdi().bitmaps, std::move(b));
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  GdiState &g = gdi();
  if (is_stock(object)) return TRUE;  // deleting a stock object is harmless and does nothing
  if (Bitmap *b = find_bitmap(object)) {
    // A selected bitmap leaves its DC on the stock bitmap.
    if (Dc *d = find_dc(b->selected_in)) d->bitmap = g.stock_bitmap;
    g.bitmaps.erase(reinterpret_cast<std::uintptr_t>(object));
    return TRUE;
  }
  if (find_palette(object) != nullptr) {
    for (auto &entry : g.dcs)
      if (entry.second->palette == object) {
        entry.second->palette = g.stock_palette;
        entry.second->palette_background = false;
      }
    g.palettes.erase(reinterpret_cast<std::uintptr_t>(object));
    return TRUE;
  }
  if (find_pen(object) != nullptr) {
    // A DC still holding the pen draws with the black stock pen from now on.
    for (auto &entry : g.dcs)
      if (entry.second->pen == object) entry.second->pen = g.stock_pens[1];
    g.pens.erase(reinterpret_cast<std::uintptr_t>(object));
    return TRUE;
  }
  return FALSE;
}

int WINAPI GetObjectA(HANDLE object, int bytes, LPVOID out) {
  if (Bitmap *b = find_bitmap(object)) {
    if (out == nullptr) return sizeof(BITMAP);
    if (bytes < static_cast<int>(sizeof(BITMAP))) return 0;
    BITMAP bm{};
    bm.bmWidth = b->surface.width;
    bm.bmHeight = b->surface.height;
    bm.bmWidthBytes = static_cast<LONG>(b->surface.stride);
    bm.bmPlanes = 1;
    bm.bmBitsPixel = static_cast<WORD>(b->surface.bits);
    std::memcpy(out, &bm, sizeof bm);
    return sizeof(BITMAP);
  }
  if (Palette *p = find_palette(object)) {
    // A palette describes itself by its entry count.
    if (out == nullptr) return sizeof(WORD);
    if (bytes < static_cast<int>(sizeof(WORD))) return 0;
    const auto count = static_cast<WORD>(p->entries.size());
    std::memcpy(out, &count, sizeof count);
    return sizeof(WORD);
  }
  return 0;
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
  Dc *d = find_dc(dc);
  if (d != nullptr && find_pen(object) != nullptr) {
    HGDIOBJ previous = d->pen;
    d->pen = object;
    return previous;
  }
  Bitmap *b = find_bitmap(object);
  // Pens go into any DC; bitmaps only into memory DCs (palettes have SelectPalette), and a
  // bitmap already in another DC is refused.
  if (d == nullptr || b == nullptr || d->kind != DcKind::kMemory) return nullptr;
  const bool stock = object == gdi().stock_bitmap;
  if (!stock && b->selected_in != nullptr && b->selected_in != dc) return nullptr;
  HGDIOBJ previous = d->bitmap;
  if (Bitmap *old = find_bitmap(previous); old != nullptr && previous != gdi().stock_bitmap)
    old->selected_in = nullptr;
  d->bitmap = object;
  if (!stock) b->selected_in = dc;
  return previous;
}

HPEN WINAPI CreatePen(int style, int width, COLORREF color) {
  // Cosmetic pens only: wider ones, and the dashed styles, are beyond this model.
  if ((style != PS_SOLID && style != PS_DOT && style != PS_NULL) || width < 0 || width > 1)
    return nullptr;
  if (pxv_gdi::creation_refused()) return nullptr;
  return add_object(gdi(), gdi().pens, std::make_unique<Pen>(Pen{style, color & 0xFFFFFFu}));
}

HGDIOBJ WINAPI GetStockObject(int which) {
  // The stock pens; brushes, fonts and the rest are not modelled.
  if (which < WHITE_PEN || which > NULL_PEN) return nullptr;
  return gdi().stock_pens[which - WHITE_PEN];
}

// ---------------------------------------------------------------------------------------------
// Device contexts.

HDC WINAPI CreateCompatibleDC(HDC dc) {
  std::shared_ptr<const PrinterDevice> printer;
  if (dc != nullptr) {
    Dc *d = find_dc(dc);
    if (d == nullptr) return nullptr;
    printer = d->printer;
  }
  if (pxv_gdi::creation_refused()) return nullptr;
  return add_object(gdi(), gdi().dcs, new_dc(DcKind::kMemory, std::move(printer)));
}

BOOL WINAPI DeleteDC(HDC dc) {
  Dc *d = find_dc(dc);
  // Window and screen DCs end with ReleaseDC.
  if (d == nullptr || d->kind == DcKind::kWindow || d->kind == DcKind::kScreen) return FALSE;
  if (Bitmap *b = find_bitmap(d->bitmap); b != nullptr && d->bitmap != gdi().stock_bitmap)
    b->selected_in = nullptr;
  gdi().dcs.erase(reinterpret_cast<std::uintptr_t>(dc));
  return TRUE;
}

int WINAPI GetDeviceCaps(HDC dc, int index) {
  Dc *d = find_dc(dc);
  if (d == nullptr) return 0;
  const DeviceCaps caps = device_caps(*d);
  const bool palette = palette_device(*d);
  switch (index) {
    case DRIVERVERSION: return kDriverVersion;
    case TECHNOLOGY: return caps.technology;
    case HORZSIZE: return millimetres(caps.width, caps.dpi_x);
    case VERTSIZE: return millimetres(caps.height, caps.dpi_y);
    case HORZRES: return caps.width;
    case VERTRES: return caps.height;
    case BITSPIXEL: return caps.bits;
    case PLANES: return 1;
    case NUMCOLORS: return caps.colors;
    case RASTERCAPS:
      return RC_BITBLT | RC_BITMAP64 | RC_DI_BITMAP | RC_DIBTODEV | RC_STRETCHBLT | RC_STRETCHDIB |
             (palette ? RC_PALETTE : 0);
    case LOGPIXELSX: return caps.dpi_x;
    case LOGPIXELSY: return caps.dpi_y;
    case SIZEPALETTE: return palette ? kSystemColors : 0;
    case NUMRESERVED: return palette ? 2 * kStaticHalf : 0;
    case COLORRES: return palette ? 18 : 0;  // six bits per gun, as VGA DACs have
    default: return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Palettes.

HPALETTE WINAPI SelectPalette(HDC dc, HPALETTE palette, BOOL background) {
  Dc *d = find_dc(dc);
  if (d == nullptr || find_palette(palette) == nullptr) return nullptr;
  HPALETTE previous = d->palette;
  d->palette = palette;
  d->palette_background = background != FALSE;
  return previous;
}

UINT WINAPI RealizePalette(HDC dc) {
  Dc *d = find_dc(dc);
  if (d == nullptr) return GDI_ERROR;
  // Only a palette device has a system palette to realise into; the default palette is the
  // static colours, always there.
  if (!palette_device(*d) || d->palette == gdi().stock_palette) return 0;
  Palette *p = find_palette(d->palette);
  if (p == nullptr) return GDI_ERROR;
  ScreenState &s = screen();
  if (!d->palette_background) {
    // A foreground palette takes over every non-static entry.
    for (int i = kStaticHalf; i < kSystemColors - kStaticHalf; ++i) {
      s.system[i] = kBlack;
      s.in_use[i] = false;
    }
    ++s.epoch;
    system_palette_changed(s);
  }
  p->to_system.resize(p->entries.size());
  for (std::size_t i = 0; i < p->entries.size(); ++i) {
    const Rgb c{p->entries[i].peRed, p->entries[i].peGreen, p->entries[i].peBlue};
    // An exact match (a static colour, or one placed before) is shared; else the lowest free
    // entry is taken; with none left the nearest entry in use stands in.
    int at = -1;
    for (int k = 0; k < kSystemColors && at < 0; ++k)
      if (s.in_use[k] && s.system[k] == c) at = k;
    for (int k = kStaticHalf; k < kSystemColors - kStaticHalf && at < 0; ++k)
      if (!s.in_use[k]) {
        s.system[k] = c;
        s.in_use[k] = true;
        system_palette_changed(s);
        at = k;
      }
    if (at < 0) at = nearest_system(c);
    p->to_system[i] = static_cast<std::uint8_t>(at);
  }
  p->epoch = s.epoch;
  return static_cast<UINT>(p->entries.size());
}

UINT WINAPI GetSystemPaletteEntries(HDC dc, UINT start, UINT count, PALETTEENTRY *entries) {
  Dc *d = find_dc(dc);
  if (d == nullptr || !palette_device(*d)) return 0;
  if (entries == nullptr) return kSystemColors;
  if (start >= static_cast<UINT>(kSystemColors)) return 0;
  const UINT n = std::min<UINT>(count, kSystemColors - start);
  const ScreenState &s = screen();
  for (UINT i = 0; i < n; ++i) {
    const Rgb c = s.system[start + i];
    entries[i] = {c.r, c.g, c.b, 0};
  }
  return n;
}

// ---------------------------------------------------------------------------------------------
// Coordinate mapping.

int WINAPI SetMapMode(HDC dc, int mode) {
  Dc *d = find_dc(dc);
  if (d == nullptr || mode < MM_TEXT || mode > MM_ANISOTROPIC) return 0;
  Mapping &m = d->map;
  const int previous = m.mode;
  // Staying in a scalable mode keeps the extents the host set.
  if (mode == previous && scalable(mode)) return previous;
  const DeviceCaps caps = device_caps(*d);
  const int size_x = millimetres(caps.width, caps.dpi_x);
  const int size_y = millimetres(caps.height, caps.dpi_y);
  // The fixed-scale modes put so many logical units on the device's size in millimetres, y
  // growing upward; MM_ISOTROPIC starts out as MM_LOMETRIC. English units per inch become
  // units per millimetre through MulDiv(10 * units per inch, size, 254), as Wine computes them.
  const auto metric = [&](int per_mm) { m.window_ext = {size_x * per_mm, size_y * per_mm}; };
  const auto english = [&](int per_inch) {
    m.window_ext = {clamp32(mul_div(10 * per_inch, size_x, 254)),
                    clamp32(mul_div(10 * per_inch, size_y, 254))};
  };
  switch (mode) {
    case MM_TEXT: m.window_ext = m.viewport_ext = {1, 1}; break;
    case MM_LOMETRIC:
    case MM_ISOTROPIC: metric(10); break;
    case MM_HIMETRIC: metric(100); break;
    case MM_LOENGLISH: english(100); break;
    case MM_HIENGLISH: english(1000); break;
    case MM_TWIPS: english(1440); break;
    default: break;  // MM_ANISOTROPIC keeps whatever extents there are
  }
  if (mode != MM_TEXT && mode != MM_ANISOTROPIC) m.viewport_ext = {caps.width, -caps.height};
  m.mode = mode;
  return previous;
}

int WINAPI GetMapMode(HDC dc) {
  Dc *d = find_dc(dc);
  return d == nullptr ? 0 : d->map.mode;
}

BOOL WINAPI SetWindowOrgEx(HDC dc, int x, int y, LPPOINT old) {
  return set_origin(dc, &Mapping::window_org, x, y, old);
}
BOOL WINAPI GetWindowOrgEx(HDC dc, LPPOINT out) {
  return get_mapping(dc, &Mapping::window_org, out);
}
BOOL WINAPI SetViewportOrgEx(HDC dc, int x, int y, LPPOINT old) {
  return set_origin(dc, &Mapping::viewport_org, x, y, old);
}
BOOL WINAPI GetViewportOrgEx(HDC dc, LPPOINT out) {
  return get_mapping(dc, &Mapping::viewport_org, out);
}
BOOL WINAPI SetWindowExtEx(HDC dc, int x, int y, LPSIZE old) {
  return set_extent(dc, &Mapping::window_ext, x, y, old);
}
BOOL WINAPI GetWindowExtEx(HDC dc, LPSIZE out) {
  return get_mapping(dc, &Mapping::window_ext, out);
}
BOOL WINAPI SetViewportExtEx(HDC dc, int x, int y, LPSIZE old) {
  return set_extent(dc, &Mapping::viewport_ext, x, y, old);
}
BOOL WINAPI GetViewportExtEx(HDC dc, LPSIZE out) {
  return get_mapping(dc, &Mapping::viewport_ext, out);
}

BOOL WINAPI LPtoDP(HDC dc, LPPOINT points, int count) {
  Dc *d = find_dc(dc);
  if (d == nullptr || points == nullptr || count < 0) return FALSE;
  for (int i = 0; i < count; ++i)
    points[i] = {clamp32(map_x(d->map, points[i].x)), clamp32(map_y(d->map, points[i].y))};
  return TRUE;
}

BOOL WINAPI DPtoLP(HDC dc, LPPOINT points, int count) {
  Dc *d = find_dc(dc);
  if (d == nullptr || points == nullptr || count < 0) return FALSE;
  const Mapping &m = d->map;
  for (int i = 0; i < count; ++i)
    points[i] = {clamp32(mul_div(points[i].x - std::int64_t{m.viewport_org.x}, m.window_ext.cx,
                                 m.viewport_ext.cx) +
                         m.window_org.x),
                 clamp32(mul_div(points[i].y - std::int64_t{m.viewport_org.y}, m.window_ext.cy,
                                 m.viewport_ext.cy) +
                         m.window_org.y)};
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Drawing.

int WINAPI StretchDIBits(HDC dc, int x, int y, int width, int height, int src_x, int src_y,
                         int src_width, int src_height, const void *bits, const BITMAPINFO *info,
                         UINT usage, DWORD rop_code) {
  Dc *d = find_dc(dc);
  Rop rop;
  if (d == nullptr || bits == nullptr || info == nullptr || usage != DIB_RGB_COLORS ||
      !source_rop(rop_code, &rop) || src_width == 0 || src_height == 0)
    return 0;
  Surface *surface = dc_surface(*d);
  DibSource dib;
  DeviceRect r;
  if (surface == nullptr || !dib_source(info, bits, surface->bits, &dib) ||
      !map_rect(*d, x, y, width, height, &r))
    return 0;
  const std::int64_t sw = src_width < 0 ? -std::int64_t{src_width} : src_width;
  const std::int64_t sh = src_height < 0 ? -std::int64_t{src_height} : src_height;
  // A paint in bands asks for the same columns band after band: the last map is kept.
  static AxisMap xs;
  static std::array<std::int64_t, 7> xs_made_for{};
  const std::array<std::int64_t, 7> x_key = {span_start(r.x, r.width), std::abs(r.width),
                                             span_start(src_x, src_width), sw,
                                             (r.width < 0) != (src_width < 0), surface->width,
                                             dib.width};
  if (x_key != xs_made_for || xs.source.empty()) {
    axis_map(x_key[0], x_key[1], x_key[2], x_key[3], x_key[4] != 0, surface->width, dib.width, &xs);
    xs_made_for = x_key;
  }
  AxisMap ys;
  // src_y counts from the DIB's bottom row; counted from the top, as the destination is, the
  // source span starts at height - (its bottom row + its rows).
  const std::int64_t src_top = dib.height - (span_start(src_y, src_height) + sh);
  axis_map(span_start(r.y, r.height), std::abs(r.height), src_top, sh,
           (r.height < 0) != (src_height < 0), surface->height, dib.height, &ys);
  const int surface_bits = surface->bits;
  if (!stretch_rows(*surface, xs, ys, rop, dib))
    blit(*surface, xs, ys, rop, [&](int sx, int sy) { return dib_value(dib, surface_bits, sx, sy); });
  report_rows(*d, ys);
  return clamp32(sh);
}

BOOL WINAPI BitBlt(HDC dc, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                   DWORD rop_code) {
  Dc *d = find_dc(dc);
  if (d == nullptr) return FALSE;
  if (rop_code == BLACKNESS || rop_code == WHITENESS || rop_code == DSTINVERT)
    return fill_rect(*d, x, y, width, height, rop_code);
  Dc *s = find_dc(src);
  Rop rop;
  if (s == nullptr || !source_rop(rop_code, &rop)) return FALSE;
  Surface *to = dc_surface(*d);
  Surface *from = dc_surface(*s);
  DeviceRect dr, sr;
  if (to == nullptr || from == nullptr || !map_rect(*d, x, y, width, height, &dr) ||
      !map_rect(*s, src_x, src_y, width, height, &sr))
    return FALSE;
  // Copying within one surface reads a snapshot, so that overlapping areas move whole.
  Surface snapshot;
  if (from == to) {
    try {
      snapshot = *from;
    } catch (const std::bad_alloc &) {
      return FALSE;
    }
    from = &snapshot;
  }
  AxisMap xs, ys;
  axis_map(span_start(dr.x, dr.width), std::abs(dr.width), span_start(sr.x, sr.width),
           std::abs(sr.width), (dr.width < 0) != (sr.width < 0), to->width, from->width, &xs);
  axis_map(span_start(dr.y, dr.height), std::abs(dr.height), span_start(sr.y, sr.height),
           std::abs(sr.height), (dr.height < 0) != (sr.height < 0), to->height, from->height, &ys);
  // Values mean the same on both sides at equal depths (8-bit ones index the one system
  // palette) and between 24 and 32 bits; elsewhere they go through their colour.
  const bool same = from->bits == to->bits || (from->bits >= 24 && to->bits >= 24);
  const Surface &source = *from;
  const int to_bits = to->bits;
  blit(*to, xs, ys, rop, [&](int sx, int sy) {
    const std::uint32_t v = pixel_get(source, sx, sy);
    return same ? v : color_value(to_bits, value_color(source.bits, v));
  });
  report_rows(*d, ys);
  return TRUE;
}

int WINAPI SetROP2(HDC dc, int mode) {
  if (mode < R2_BLACK || mode > R2_WHITE) return 0;
  return exchange_setting(dc, &Dc::rop2, mode, 0);
}
int WINAPI GetROP2(HDC dc) { return get_setting(dc, &Dc::rop2, 0); }

int WINAPI SetBkMode(HDC dc, int mode) {
  if (mode != TRANSPARENT && mode != OPAQUE) return 0;
  return exchange_setting(dc, &Dc::bk_mode, mode, 0);
}
int WINAPI GetBkMode(HDC dc) { return get_setting(dc, &Dc::bk_mode, 0); }

COLORREF WINAPI SetBkColor(HDC dc, COLORREF color) {
  return exchange_setting(dc, &Dc::bk_color, color & 0xFFFFFFu, COLORREF{CLR_INVALID});
}
COLORREF WINAPI GetBkColor(HDC dc) { return get_setting(dc, &Dc::bk_color, COLORREF{CLR_INVALID}); }

BOOL WINAPI MoveToEx(HDC dc, int x, int y, LPPOINT old) {
  Dc *d = find_dc(dc);
  if (d == nullptr) return FALSE;
  if (old != nullptr) *old = d->position;
  d->position = {x, y};
  return TRUE;
}

BOOL WINAPI LineTo(HDC dc, int x, int y) {
  Dc *d = find_dc(dc);
  if (d == nullptr) return FALSE;
  const POINT from = d->position;
  d->position = {x, y};
  Surface *surface = dc_surface(*d);
  const std::int64_t x0 = map_x(d->map, from.x), y0 = map_y(d->map, from.y);
  const std::int64_t x1 = map_x(d->map, x), y1 = map_y(d->map, y);
  for (std::int64_t v : {x0, y0, x1, y1})
    if (v < -kMaxDeviceCoord || v > kMaxDeviceCoord) return FALSE;
  if (surface != nullptr) draw_line(*d, *surface, x0, y0, x1, y1);
  return TRUE;
}

BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop) {
  Dc *d = find_dc(dc);
  return d == nullptr ? FALSE : fill_rect(*d, x, y, width, height, rop);
}

int WINAPI GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info,
                     UINT usage) {
  Dc *d = find_dc(dc);
  Bitmap *b = find_bitmap(bitmap);
  if (d == nullptr || b == nullptr || info == nullptr || usage != DIB_RGB_COLORS) return 0;
  BITMAPINFOHEADER &h = info->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER)) return 0;
  const Surface &s = b->surface;
  if (h.biBitCount == 0) {
    // A bit count of 0 asks for the bitmap's own description only.
    if (bits != nullptr) return 0;
    h.biWidth = s.width;
    h.biHeight = s.height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(s.bits);
    h.biCompression = BI_RGB;
    h.biSizeImage =
        static_cast<DWORD>((static_cast<std::size_t>(s.width) * s.bits + 31) / 32 * 4 * s.height);
    return 1;
  }
  const int out_bits = h.biBitCount;
  if ((out_bits != 1 && out_bits != 4 && out_bits != 8 && out_bits != 24) ||
      h.biCompression != BI_RGB || h.biWidth < 1 || h.biHeight < 1 ||
      h.biWidth > pxv_gdi::kMaxSurfaceSide || h.biHeight > pxv_gdi::kMaxSurfaceSide)
    return 0;
  const std::size_t stride = (static_cast<std::size_t>(h.biWidth) * out_bits + 31) / 32 * 4;
  h.biSizeImage = static_cast<DWORD>(stride * static_cast<std::size_t>(h.biHeight));

  DibReader reader;
  if (out_bits == 8) {
    reader_for_8_bits(*d, s, &reader);
  } else if (out_bits == 4) {
    reader.table.assign(kVgaColors, kVgaColors + 16);
  } else if (out_bits == 1) {
    reader.table = {kBlack, kWhite};
  }
  if (out_bits <= 8) {
    const std::size_t full = std::size_t{1} << out_bits;
    const std::size_t count = h.biClrUsed != 0 && h.biClrUsed < full ? h.biClrUsed : full;
    RGBQUAD *table = info->bmiColors;
    for (std::size_t i = 0; i < count; ++i) {
      const Rgb c = reader.table[i];
      table[i] = {c.b, c.g, c.r, 0};
    }
  }
  if (bits == nullptr) return 1;

  // Scan line 0 is the bitmap's bottom row, as in a bottom-up DIB.
  const std::int64_t rows = std::min<std::int64_t>(s.height, h.biHeight);
  if (start >= rows) return 0;
  const int n = static_cast<int>(std::min<std::int64_t>(lines, rows - start));
  const int width = std::min(s.width, static_cast<int>(h.biWidth));
  auto *out = static_cast<std::uint8_t *>(bits);
  for (int r = 0; r < n; ++r) {
    std::uint8_t *row = out + static_cast<std::size_t>(r) * stride;
    std::memset(row, 0, stride);
    const int y = s.height - 1 - static_cast<int>(start) - r;
    for (int x = 0; x < width; ++x)
      put_dib_value(row, out_bits, x, read_value(reader, out_bits, s, pixel_get(s, x, y)));
  }
  return n;
}

// ---------------------------------------------------------------------------------------------
// Printing.

int WINAPI Escape(HDC dc, int escape, int in_bytes, LPCSTR in, LPVOID out) {
  Dc *d = find_dc(dc);
  if (d == nullptr || d->kind != DcKind::kPrinter) return 0;
  const PrinterDevice &p = *d->printer;
  switch (escape) {
    case QUERYESCSUPPORT: {
      // The escape asked about is an int, or a 16-bit value from Win16-era callers.
      if (in == nullptr || in_bytes < 2) return 0;
      int asked;
      if (in_bytes >= static_cast<int>(sizeof(int))) {
        std::memcpy(&asked, in, sizeof asked);
      } else {
        std::int16_t narrow;
        std::memcpy(&narrow, in, sizeof narrow);
        asked = narrow;
      }
      return escape_supported(p, asked) ? 1 : 0;
    }
    case GETSCALINGFACTOR: {
      if (!p.desc.has_scaling || out == nullptr) return 0;
      const POINT factors{p.desc.scale_x, p.desc.scale_y};
      std::memcpy(out, &factors, sizeof factors);
      return 1;
    }
    case GETTECHNOLOGY:
      if (!p.has_technology || out == nullptr) return 0;
      std::memcpy(out, p.technology.c_str(), p.technology.size() + 1);
      return 1;
    default: return 0;
  }
}

int WINAPI StartDocA(HDC dc, const DOCINFOA *info) {
  Dc *d = find_dc(dc);
  if (d == nullptr || d->kind != DcKind::kPrinter || info == nullptr) return SP_ERROR;
  d->doc_open = true;
  return ++d->jobs;
}

int WINAPI StartPage(HDC dc) {
  Dc *d = find_dc(dc);
  if (d == nullptr || d->kind != DcKind::kPrinter) return SP_ERROR;
  // A new white page replaces the last one; if it cannot be made the last one stays.
  Surface page;
  const PXV_PRINTER &p = d->printer->desc;
  if (!pxv_gdi::surface_make(page, p.page_width, p.page_height, d->printer->page_bits, true))
    return SP_ERROR;
  d->page = std::move(page);
  d->page_open = true;
  d->rows_painted = 0;
  return 1;
}

int WINAPI EndPage(HDC dc) {
  Dc *d = find_dc(dc);
  if (d == nullptr || d->kind != DcKind::kPrinter || !d->page_open) return SP_ERROR;
  d->page_open = false;
  return 1;
}

int WINAPI EndDoc(HDC dc) {
  Dc *d = find_dc(dc);
  if (d == nullptr || d->kind != DcKind::kPrinter || !d->doc_open) return SP_ERROR;
  d->doc_open = false;
  d->page_open = false;
  return 1;
}

HDC PxvCreatePrinterDC(const PXV_PRINTER *printer) {
  if (printer == nullptr) return nullptr;
  const PXV_PRINTER &p = *printer;
  if (p.dpi_x < 1 || p.dpi_y < 1 || p.dpi_x > kMaxDpi || p.dpi_y > kMaxDpi || p.colors < 2)
    return nullptr;
  if (p.has_scaling &&
      (p.scale_x < 0 || p.scale_y < 0 || p.scale_x > kMaxScaleShift || p.scale_y > kMaxScaleShift))
    return nullptr;
  auto device = std::make_shared<PrinterDevice>();
  device->desc = p;
  device->desc.technology = nullptr;
  if (p.technology != nullptr) {
    const std::size_t length = strnlen(p.technology, kMaxTechnology + 1);
    if (length > kMaxTechnology) return nullptr;
    device->technology.assign(p.technology, length);
    device->has_technology = true;
  }
  device->page_bits = page_bits_for(
      p, device->has_technology && lstrcmpiA(device->technology.c_str(), "PostScript") == 0);
  if (surface_bytes(p.page_width, p.page_height, device->page_bits, nullptr) == 0) return nullptr;
  if (pxv_gdi::creation_refused()) return nullptr;
  return add_object(gdi(), gdi().dcs, new_dc(DcKind::kPrinter, std::move(device)));
}

HBITMAP PxvTakePrinterPage(HDC printer) {
  Dc *d = find_dc(printer);
  if (d == nullptr || d->kind != DcKind::kPrinter || d->page.pixels.empty()) return nullptr;
  auto b = std::make_unique<Bitmap>();
  try {
    b->surface = d->page;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return add_object(gdi(), gdi().bitmaps, std::move(b));
}

// ---------------------------------------------------------------------------------------------
// The screen.

BOOL PxvSetScreen(int width, int height, int depth) {
  if ((depth != 24 && depth != 8 && depth != 4) || width < 1 || height < 1 ||
      width > pxv_gdi::kMaxSurfaceSide || height > pxv_gdi::kMaxSurfaceSide)
    return FALSE;
  ScreenState &s = screen();
  s.width = width;
  s.height = height;
  s.depth = depth;
  s.surface = Surface{};  // made again, at the new size, when next drawn on
  reset_system_palette(s);
  return TRUE;
}

}  // extern "C"
