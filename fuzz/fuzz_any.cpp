// Any byte string through format detection and whichever reader it picks.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_bytes(data, size);
  return 0;
}
