// Any byte string through the DCX reader: the first four bytes are made the DCX value so that
// detection picks it; page 0 is read.
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::uint8_t> input(data, data + size);
  if (input.size() < 4) input.resize(4);
  const std::uint8_t magic[4] = {0xB1, 0x68, 0xDE, 0x3A};
  for (int i = 0; i < 4; ++i) input[i] = magic[i];
  pxv_fuzz::load_bytes(input.data(), input.size());
  return 0;
}
