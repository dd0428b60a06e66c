// Times loads and saves through the public API: pxvbench load FILE REPEAT (from the file), or
// pxvbench save FILE TYPE REPEAT (loads FILE once, then saves it to memory REPEAT times).
// Prints one line: operation, megapixels per second, best seconds of one run.
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "pxvlib10.h"

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

}  // namespace

// The physical floor of a load: read the file's bytes and copy the image's pixel bytes once.
// Both buffers are made and touched beforehand, so only the reading and the copy are timed.
// Prints the best seconds of REPEAT runs.
int floor_run(const char *name, std::size_t pixel_bytes, int repeat) {
  std::vector<unsigned char> file = read_file(name);
  std::vector<unsigned char> pixels(pixel_bytes, 1);
  double best = 1e30;
  for (int i = 0; i < repeat; ++i) {
    double t0 = now();
    FILE *f = std::fopen(name, "rb");
    if (f == nullptr) return 1;
    std::size_t got = std::fread(file.data(), 1, file.size(), f);
    std::fclose(f);
    std::memcpy(pixels.data(), file.data(), std::min(pixel_bytes, got));
    double t = now() - t0;
    if (t < best) best = t;
  }
  std::printf("%.6f\n", best + (pixels[pixel_bytes / 2] == 0xFF ? 1e-12 : 0));
  return 0;
}

int main(int argc, char **argv) {
  if (argc >= 4 && std::string_view(argv[1]) == "floor")
    return floor_run(argv[2], std::strtoull(argv[3], nullptr, 10), 5);
  if (argc < 4) {
    std::fprintf(stderr, "usage: pxvbench load FILE REPEAT | save FILE TYPE REPEAT | floor FILE BYTES\n");
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
