// Times loads and saves through the public API: pxvbench load FILE REPEAT (from the file), or
// pxvbench save FILE TYPE REPEAT (loads FILE once, then saves it to memory REPEAT times), or
// pxvbench paint WHERE FILE REPEAT (loads FILE once, then paints it REPEAT times: print300 on a
// 1-bit A4 page at 300 dpi, screen24/screen8/screen4 into a 1920 x 1080 window at that depth).
// Prints one line: operation, megapixels per second, best seconds of one run. pxvbench floor FILE
// prints the best seconds of the floor of an uncompressed load (below). pxvbench op NAME FILE
// REPEAT times one colour or processing operation (below). pxvbench rss load FILE and pxvbench
// rss save FILE TYPE OUT measure memory (below); pxvbench pixels FILE... prints the files'
// megapixels.
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "pxvlib10.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<unsigned char> read_file(const char *name) {
  std::vector<unsigned char> bytes;
  if (FILE *f = std::fopen(name, "rb")) {
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    bytes.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
    std::fclose(f);
  }
  return bytes;
}

// A row of about a millisecond moves by half its time from one run to the next, so five runs
// do not give it a best time to trust: every timing loop runs at least `repeat` times and on
// until it has run for half a second (bench/peer.py times the peers by the same rule), and the
// best run is the one reported.
constexpr double kMinTimedSeconds = 0.5;
bool more_runs(int done, int repeat, double started) {
  return done < repeat || (done < 100000 && now() - started < kMinTimedSeconds);
}

}  // namespace

// The physical floor of a load of an uncompressed file: read the file's bytes straight into a
// buffer the size of the DIB's pixels, so that the one copy the kernel makes is the one write of
// the DIB that any loader must do. The buffer is made and touched beforehand, so only the reading
// is timed. A compressed file has no such floor (decoding is the work being measured), so
// bench/run asks for it on uncompressed rows only. Prints the best seconds of REPEAT runs.
int floor_run(const char *name, int repeat) {
  std::vector<unsigned char> file = read_file(name);
  int handle = IMG_decompress_bitmap_mem(file.data(), 0);
  if (handle < 0) return 1;
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(handle, &width, &height, &bits);
  IMG_delete_bitmap(handle);
  const std::size_t pixel_bytes = (std::size_t(width) * bits + 31) / 32 * 4 * std::size_t(height);
  std::vector<unsigned char> pixels(std::max(pixel_bytes, file.size()), 1);
  double best = 1e30;
  const double started = now();
  for (int i = 0; more_runs(i, repeat, started); ++i) {
    double t0 = now();
    FILE *f = std::fopen(name, "rb");
    if (f == nullptr) return 1;
    std::size_t got = std::fread(pixels.data(), 1, file.size(), f);
    std::fclose(f);
    double t = now() - t0;
    if (got != file.size()) return 1;
    if (t < best) best = t;
  }
  std::printf("%.6f\n", best);
  return 0;
}

// The colour and processing operations by the names of bench/rows/color.tsv and process.tsv.
// The palette operations map to the 3-3-2 colours and dither against the 16 colours of 0, 128
// and 255, the palettes that the Pillow rows of bench/peer.py use too; contrast 40 and
// brightness -10, gamma 2.2 and sharpening amount 64 are what peer.py gives Pillow and
// ImageMagick.
struct ColourBench {
  PALETTEENTRY p332[256], p16[16];
  ColourBench() {
    for (int i = 0; i < 256; ++i)
      p332[i] = {BYTE((i >> 5) * 255 / 7), BYTE(((i >> 2) & 7) * 255 / 7), BYTE((i & 3) * 85), 0};
    for (int i = 0; i < 16; ++i) {
      const BYTE on = i < 8 ? 128 : 255;
      p16[i] = {BYTE(i & 1 ? on : 0), BYTE(i & 2 ? on : 0), BYTE(i & 4 ? on : 0), 0};
    }
  }
  int run(std::string_view name, int h, int width, int height) const {
    if (name == "gray") return IMG_color_gray(h, nullptr, 0);
    if (name == "332") return IMG_mediancut_color(h, nullptr, 0);
    if (name == "popular") return IMG_popularity_color(h, nullptr, 0);
    if (name == "remap") return IMG_map_to_palette(h, p332);
    if (name == "bayer") return IMG_bayer_mono(h, nullptr, 0);
    if (name == "halftone") return IMG_halftone_mono(h, nullptr, 0);
    if (name == "diffusion") return IMG_diffusion_mono(h, nullptr, 0);
    if (name == "color-bayer") return IMG_bayer_color(h, nullptr, 0);
    if (name == "color-diffusion") return IMG_diffusion_color(h, nullptr, 0);
    if (name == "palette") return IMG_dither_to_palette(h, p16);
    if (name == "rotate90") return IMG_rotate_bitmap(h, 90, nullptr, 0);
    if (name == "rotate180") return IMG_rotate_bitmap(h, 180, nullptr, 0);
    if (name == "flip-x") return IMG_flip_bitmapx(h, nullptr, 0);
    if (name == "flip-y") return IMG_flip_bitmapy(h, nullptr, 0);
    if (name == "resize-double") return IMG_resize_bitmap(h, 2 * width, 2 * height, nullptr, 0);
    if (name == "resize-half") return IMG_resize_bitmap(h, width / 2, height / 2, nullptr, 0);
    if (name == "set-lut") return IMG_set_lut(h, 40, -10, nullptr, 0);
    if (name == "invert") return IMG_invert_bitmap(h, nullptr, 0);
    if (name == "sharpen") return IMG_sharpen_bitmap(h, 64);
    if (name == "to8") return IMG_24_to_8(h);
    return PXV_ERR_TYPE;
  }
  // The file-to-file operations: FILE into FILE.fd.bmp, or FILE itself for an in-place one.
  bool file_op(std::string_view name, bool *in_place) const {
    *in_place = name == "gamma-fd";
    return name == "palette-fd" || name == "flip-fd" || name == "resize-fd" || *in_place;
  }
  int run_file(std::string_view name, HFILE in, HFILE out, int width, int height) const {
    if (name == "palette-fd") return IMG_dither_to_palette_fd(in, out, p16);
    if (name == "flip-fd") return IMG_flip_bitmap_fd(in, out, 0, 1);
    if (name == "resize-fd") return IMG_resize_bitmap_fd(in, out, 2 * width, 2 * height);
    if (name == "gamma-fd") return IMG_GammaCorrection(in, 2.2f);
    return PXV_ERR_TYPE;
  }
};

// Times operation NAME alone, each run on a fresh copy of the loaded image made beforehand. The
// file-to-file operations ("palette-fd", "flip-fd", ...) work on FILE (a BMP) instead, their
// reading and writing included.
int op_run(std::string_view name, const char *file_name, int repeat) {
  static const ColourBench ops;
  std::vector<unsigned char> file = read_file(file_name);
  const int loaded = IMG_decompress_bitmap_mem(file.data(), 0);
  if (loaded < 0) {
    std::fprintf(stderr, "pxvbench: %s does not load (%d)\n", file_name, loaded);
    return 1;
  }
  int width = 0, height = 0, bits = 0;
  HGLOBAL dib = IMG_bitmap_info(loaded, &width, &height, &bits);
  const void *packed = GlobalLock(dib);
  const std::string out = std::string(file_name) + ".fd.bmp";
  double best = 1e30;
  bool in_place = false;
  const bool on_file = ops.file_op(name, &in_place);
  const double started = now();
  for (int i = 0; more_runs(i, repeat, started); ++i) {
    const int copy = on_file ? 0 : IMG_create_handle(packed);
    OFSTRUCT of;
    const HFILE in = on_file ? OpenFile(file_name, &of, in_place ? OF_READWRITE : OF_READ) : HFILE_ERROR;
    const HFILE to = on_file && !in_place ? OpenFile(out.c_str(), &of, OF_CREATE) : HFILE_ERROR;
    const double t0 = now();
    const int rc = on_file ? ops.run_file(name, in, to, width, height) : copy < 0 ? copy : ops.run(name, copy, width, height);
    const double t = now() - t0;
    if (in != HFILE_ERROR) _lclose(in);
    if (to != HFILE_ERROR) _lclose(to);
    if (!on_file) IMG_delete_bitmap(copy);
    if (rc < 0) {
      std::fprintf(stderr, "pxvbench: %.*s failed (%d)\n", int(name.size()), name.data(), rc);
      return 1;
    }
    if (t < best) best = t;
  }
  GlobalUnlock(dib);
  IMG_delete_bitmap(loaded);
  std::printf("op %.2f %.6f\n", width * double(height) / best / 1e6, best);
  return 0;
}

// A surface to paint on, made once so that only the painting is timed.
struct Surface {
  HWND window = nullptr;
  HDC dc = nullptr;
  int width = 0, height = 0;
};

bool make_surface(std::string_view where, Surface *s) {
  if (where == "print300") {
    // A4 at 300 dpi: 210 x 297 mm in whole pixels, a 2-colour printer without scaling.
    PXV_PRINTER printer = {2480, 3508, 300, 300, 2, nullptr, 0, 0, 0, nullptr, nullptr};
    s->dc = PxvCreatePrinterDC(&printer);
    s->width = printer.page_width, s->height = printer.page_height;
    DOCINFOA doc = {sizeof(DOCINFOA), "pxvbench", nullptr, nullptr, 0};
    return s->dc != nullptr && StartDocA(s->dc, &doc) > 0 && StartPage(s->dc) > 0;
  }
  int depth = where == "screen24" ? 24 : where == "screen8" ? 8 : where == "screen4" ? 4 : 0;
  s->width = 1920, s->height = 1080;
  if (depth == 0 || !PxvSetScreen(s->width, s->height, depth)) return false;
  s->window = PxvCreateWindow(s->width, s->height);
  s->dc = s->window != nullptr ? GetDC(s->window) : nullptr;
  return s->dc != nullptr;
}

int paint_run(std::string_view where, int handle, int repeat, double *best) {
  Surface s;
  if (!make_surface(where, &s)) {
    std::fprintf(stderr, "pxvbench: no surface for %.*s\n", int(where.size()), where.data());
    return 1;
  }
  // A palette screen shows a colour image through the image's realised palette, as hosts do.
  if (where == "screen8") IMG_bitmap_palette(handle, s.dc);
  const double started = now();
  for (int i = 0; more_runs(i, repeat, started); ++i) {
    double t0 = now();
    int rc = where == "print300" ? IMG_print_bitmap(handle, s.dc, 0, 0, s.width, s.height)
                                 : IMG_display_bitmap(handle, s.dc, 0, 0, s.width, s.height);
    double t = now() - t0;
    if (rc < 0) {
      std::fprintf(stderr, "pxvbench: paint failed (%d)\n", rc);
      return 1;
    }
    if (t < *best) *best = t;
  }
  if (s.window != nullptr) ReleaseDC(s.window, s.dc);
  else EndDoc(s.dc), DeleteDC(s.dc);
  return 0;
}

#if !defined(_WIN32)
// The peak resident size, in KiB, of a child that does `work` and exits with its answer: from
// getrusage(RUSAGE_CHILDREN), the largest of all children so far, so callers measure the
// smaller work first. -1 when the child fails.
template <class Work>
long child_peak_kib(Work work) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) _exit(work() ? 0 : 1);
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

// Memory of one load (from the file, as hosts load) or of a load and a save to the file OUT:
// prints "rss BASE PEAK DIB", the peak resident KiB of a child that only starts, of one that
// does the work, and the DIB's bytes. PEAK - BASE is what the work added at its height.
int rss_run(bool save, const char *file, int type, const char *out) {
  const long base = child_peak_kib([] { return true; });
  long dib_bytes = 0;
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return 1;
  const long peak = child_peak_kib([&] {
    const int h = IMG_decompress_bitmap(file);
    if (h < 0) return false;
    int width = 0, height = 0, bits = 0;
    const long bytes = long(GlobalSize(IMG_bitmap_info(h, &width, &height, &bits)));
    if (save && IMG_save_bitmap(h, out, type) < 0) return false;
    return write(pipe_ends[1], &bytes, sizeof bytes) == sizeof bytes;
  });
  close(pipe_ends[1]);
  const bool told = read(pipe_ends[0], &dib_bytes, sizeof dib_bytes) == sizeof dib_bytes;
  close(pipe_ends[0]);
  if (base < 0 || peak < 0 || !told) {
    std::fprintf(stderr, "pxvbench: %s does not %s\n", file, save ? "load and save" : "load");
    return 1;
  }
  std::printf("rss %ld %ld %ld\n", base, peak, dib_bytes);
  return 0;
}
#endif

int main(int argc, char **argv) {
#if !defined(_WIN32)
  if (argc >= 4 && std::string_view(argv[1]) == "rss" && std::string_view(argv[2]) == "load")
    return rss_run(false, argv[3], 0, nullptr);
  if (argc >= 6 && std::string_view(argv[1]) == "rss" && std::string_view(argv[2]) == "save")
    return rss_run(true, argv[3], std::atoi(argv[4]), argv[5]);
#endif
  if (argc >= 2 && std::string_view(argv[1]) == "pixels") {
    double pixels = 0;
    for (int i = 2; i < argc; ++i) {
      const int h = IMG_decompress_bitmap(argv[i]);
      int width = 0, height = 0, bits = 0;
      if (h < 0 || IMG_bitmap_info(h, &width, &height, &bits) == nullptr) return 1;
      pixels += double(width) * height;
      IMG_delete_bitmap(h);
    }
    std::printf("%.6f\n", pixels / 1e6);
    return 0;
  }
  if (argc >= 3 && std::string_view(argv[1]) == "floor") return floor_run(argv[2], 5);
  if (argc >= 5 && std::string_view(argv[1]) == "op") return op_run(argv[2], argv[3], std::atoi(argv[4]));
  if (argc >= 5 && std::string_view(argv[1]) == "paint") {
    std::vector<unsigned char> file = read_file(argv[3]);
    int handle = IMG_decompress_bitmap_mem(file.data(), 0);
    if (handle < 0) {
      std::fprintf(stderr, "pxvbench: %s does not load (%d)\n", argv[3], handle);
      return 1;
    }
    int width = 0, height = 0, bits = 0;
    IMG_bitmap_info(handle, &width, &height, &bits);
    double best = 1e30;
    if (paint_run(argv[2], handle, std::atoi(argv[4]), &best) != 0) return 1;
    IMG_delete_bitmap(handle);
    std::printf("paint %.2f %.6f\n", width * double(height) / best / 1e6, best);
    return 0;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: pxvbench load FILE REPEAT | save FILE TYPE REPEAT | op NAME FILE REPEAT | paint WHERE FILE REPEAT | floor FILE | rss load FILE | rss save FILE TYPE OUT | pixels FILE...\n");
    return 2;
  }
  const bool save = std::string_view(argv[1]) == "save";
  const int repeat = std::atoi(argv[save ? 4 : 3]);
  std::vector<unsigned char> file = read_file(argv[2]);
  int probe = IMG_decompress_bitmap_mem(file.data(), 0);
  if (probe < 0) {
    std::fprintf(stderr, "pxvbench: %s does not load (%d)\n", argv[2], probe);
    return 1;
  }
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(probe, &width, &height, &bits);
  double best = 1e30;
  std::vector<unsigned char> out;
  // The memory stream is unbounded: room for the largest output a pixel makes (an EPS writes six
  // hexadecimal digits for a 24-bit pixel), with a megabyte for headers and line ends.
  if (save) out.resize(static_cast<std::size_t>(width) * height * 8 + (1 << 20));
  const double started = now();
  for (int i = 0; more_runs(i, repeat, started); ++i) {
    double t0 = now();
    if (save) {
      int rc = IMG_save_bitmap_mem(probe, out.data(), std::atoi(argv[3]));
      if (rc < 0) {
        std::fprintf(stderr, "pxvbench: save failed (%d)\n", rc);
        return 1;
      }
    } else {
      // A load as hosts do it: from the file, its reading included, as in the floor.
      int h = IMG_decompress_bitmap(argv[2]);
      if (h < 0) return 1;
      IMG_delete_bitmap(h);
    }
    double t = now() - t0;
    if (t < best) best = t;
  }
  IMG_delete_bitmap(probe);
  std::printf("%s %.2f %.6f\n", argv[1], width * double(height) / best / 1e6, best);
  return 0;
}
