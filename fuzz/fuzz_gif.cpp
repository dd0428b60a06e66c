// Any byte string through the GIF reader: the first three bytes are made "GIF" so that
// detection picks it.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_as(data, size, {'G', 'I', 'F'});
  return 0;
}
