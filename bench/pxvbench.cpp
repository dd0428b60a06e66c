// Times loads and saves through the public API: pxvbench load FILE REPEAT, or
// pxvbench save FILE TYPE REPEAT (loads FILE once, then saves it to memory REPEAT times).
// Prints one line: operation, megapixels per second, best seconds of one run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pxvlib10.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<unsigned char> read_file(const char *name) {
  std::vector<unsigned char> bytes;
  if (FILE *f = std::fopen(name, "rb")) {
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return bytes;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: pxvbench load FILE REPEAT | save FILE TYPE REPEAT\n");
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
  if (save) out.resize(static_cast<std::size_t>(width) * height * 4 + (1 << 20));
  for (int i = 0; i < repeat; ++i) {
    double t0 = now();
    if (save) {
      int rc = IMG_save_bitmap_mem(probe, out.data(), std::atoi(argv[3]));
      if (rc < 0) {
        std::fprintf(stderr, "pxvbench: save failed (%d)\n", rc);
        return 1;
      }
    } else {
      int h = IMG_decompress_bitmap_mem(file.data(), 0);
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
