// Any byte string through the PCX reader: the first byte is made 10 (and the second kept from
// spelling a WPG signature) so that detection picks it.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_as(data, size, {0x0A, std::uint8_t(size > 1 && data[1] != 'W' ? data[1] : 5)});
  return 0;
}
