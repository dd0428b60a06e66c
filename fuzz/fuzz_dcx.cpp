// Any byte string through the DCX reader: the first four bytes are made the DCX value so that
// detection picks it; page 0 is read.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_as(data, size, {0xB1, 0x68, 0xDE, 0x3A});
  return 0;
}
