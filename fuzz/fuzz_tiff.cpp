// Any byte string as a TIFF file: the header, the directory chain and every strip decoder. The
// file is also loaded at a later page (chosen by its last byte), which walks the chain further.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_bytes(data, size);
  if (size == 0) return 0;
  OFSTRUCT of;
  HFILE file = OpenFile(pxv_fuzz::scratch_file(), &of, OF_READ);
  if (file == HFILE_ERROR) return 0;
  int handle = IMG_decompress_bitmap_fd(file, 0, 1 + data[size - 1] % 3);
  _lclose(file);
  if (handle >= 0) {
    int width = 0, height = 0, bits = 0;
    HGLOBAL dib = IMG_bitmap_info(handle, &width, &height, &bits);
    if (dib == nullptr) std::abort();
  }
  for (int h = pxv::next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
  return 0;
}
