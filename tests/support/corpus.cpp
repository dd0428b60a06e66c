#include "corpus.h"

#include <sstream>

#include "core/image.h"
#include "platform/win32.h"

namespace pxv_test {

std::string corpus_path(const std::string &relative) { return std::string(PXV_CORPUS_DIR) + "/" + relative; }

int load_page(const std::string &path, int page) {
  const int before = pxv::next_dib_handle;
  int h;
  if (page == 0) {
    h = IMG_decompress_bitmap(path.c_str());
  } else {
    OFSTRUCT of;
    HFILE f = OpenFile(path.c_str(), &of, OF_READ);
    if (f == HFILE_ERROR) return PXV_ERR_READ;
    h = IMG_decompress_bitmap_fd(f, 0, page);
    _lclose(f);
  }
  if (h < 0)
    for (int slot = pxv::next_dib_handle - 1; slot >= before; --slot) IMG_delete_bitmap(slot);
  return h;
}

std::string pixel_difference(const Rgb &ours, const Rgb &reference) {
  if (ours.width != reference.width || ours.height != reference.height)
    return "size " + std::to_string(ours.width) + "x" + std::to_string(ours.height) + " vs " +
           std::to_string(reference.width) + "x" + std::to_string(reference.height);
  for (std::size_t i = 0; i < ours.pixels.size(); ++i) {
    if (ours.pixels[i] != reference.pixels[i]) {
      const std::size_t p = i / 3;
      std::ostringstream s;
      s << "pixel (" << p % ours.width << "," << p / ours.width << ") channel " << i % 3 << ": "
        << int(ours.pixels[i]) << " vs " << int(reference.pixels[i]);
      return s.str();
    }
  }
  return "";
}

}  // namespace pxv_test
