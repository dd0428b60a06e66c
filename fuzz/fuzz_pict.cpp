// Any byte string through the PICT reader: the first three bytes are made 0 so that no earlier
// format claims it, and the byte after the 512-byte preamble and the size word is made the
// version opcode's 0x11 unless the one before it already is.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::uint8_t> input(data, data + size);
  if (input.size() < 524) input.resize(524);
  input[0] = input[1] = input[2] = 0;
  if (input[522] != 0x11) input[523] = 0x11;
  pxv_fuzz::load_bytes(input.data(), input.size());
  return 0;
}
