// JPEG files through the public load: the reader of baseline JPEG.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_bytes(data, size);
  return 0;
}
