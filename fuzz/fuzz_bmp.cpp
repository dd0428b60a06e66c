// Any byte string through the BMP reader: the first two bytes become the "BM" signature so
// that every input reaches open_bmp rather than another format's reader.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_fuzz::load_as(data, size, {'B', 'M'});
  return 0;
}
