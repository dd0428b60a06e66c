// Any byte string through the GIF reader: the first three bytes are made "GIF" so that
// detection picks it.
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::uint8_t> input(data, data + size);
  if (input.size() < 3) input.resize(3);
  input[0] = 'G';
  input[1] = 'I';
  input[2] = 'F';
  pxv_fuzz::load_bytes(input.data(), input.size());
  return 0;
}
