// Any byte string as an EPS file: the binary header and the TIFF preview it points to.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_bytes(data, size);
  return 0;
}
