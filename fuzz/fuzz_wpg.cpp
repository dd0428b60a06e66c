// Any byte string through the WPG reader: the first four bytes are made the file signature.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_as(data, size, {0xFF, 'W', 'P', 'C'});
  return 0;
}
