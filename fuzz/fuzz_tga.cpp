// Any byte string through the Targa reader: an image type byte that detection does not take for
// Targa is made one that it does, and an ID length that another format's signature starts with
// (0x0A is PCX) is cleared.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static constexpr std::uint8_t kTypes[] = {1, 2, 3, 9, 10, 11};
  std::uint8_t id = size > 0 ? data[0] : 0;
  if (id == 'M' || id == 'I' || id == 'G' || id == 'B' || id == 0xC5 || id == 0xB1 || id == 0xFF || id == 0x0A)
    id = 0;
  std::uint8_t type = size > 2 ? data[2] : 2;
  if (std::find(std::begin(kTypes), std::end(kTypes), type) == std::end(kTypes)) type = kTypes[type % 6];
  pxv_fuzz::load_as(data, size, {id, std::uint8_t(size > 1 ? data[1] : 0), type});
  return 0;
}
