// Any byte string through the BMP reader: the first two bytes become the "BM" signature so
// that every input reaches open_bmp rather than another format's reader.
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  if (bytes.size() < 2) bytes.resize(2);
  bytes[0] = 'B';
  bytes[1] = 'M';
  pxv_fuzz::load_bytes(bytes.data(), bytes.size());
  return 0;
}
