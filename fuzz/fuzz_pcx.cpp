// Any byte string through the PCX reader: the first byte is made 10 (and the second kept from
// spelling a WPG signature) so that detection picks it.
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::uint8_t> input(data, data + size);
  if (input.size() < 2) input.resize(2);
  input[0] = 0x0A;
  if (input[1] == 'W') input[1] = 5;
  pxv_fuzz::load_bytes(input.data(), input.size());
  return 0;
}
