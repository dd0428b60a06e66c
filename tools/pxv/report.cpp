// How pxv says what went wrong: every failure names the library's result code and its meaning.
#include <cstdio>

#include "cli.h"
#include "pxvlib10.h"

namespace pxv_cli {

const char *result_meaning(int code) {
  switch (code) {
    case PXV_ERR_NO_MEMORY: return "out of memory, or the image data could not be decoded";
    case PXV_ERR_READ: return "the file cannot be opened or read";
    case PXV_ERR_DATA: return "the data is not of the expected kind or is corrupt";
    case PXV_ERR_GDI: return "clipboard or GDI bitmap failure";
    case PXV_ERR_TYPE: return "unknown or unsupported type";
    case PXV_ERR_HANDLE: return "invalid image handle";
    case PXV_ERR_CREATE: return "the output or temporary file cannot be created";
    case PXV_ERR_PAGE: return "the requested page does not exist";
    case PXV_ERR_SHORT_WRITE: return "a write was cut short";
    default: return "unknown result code";
  }
}

MemoryLimit memory_limit;

int fail(const std::string &what, int code) {
  std::fprintf(stderr, "pxv: %s: %s (result %d)\n", what.c_str(), result_meaning(code), code);
  MemoryLimit &m = memory_limit;
  if (code == PXV_ERR_NO_MEMORY && m.refused_image > m.bytes && m.bytes != 0)
    std::fprintf(stderr, "pxv: the image needs %.1f MiB, above --limit-memory %s\n",
                 double(m.refused_image) / (1 << 20), m.as_given.c_str());
  else if (code == PXV_ERR_NO_MEMORY && m.bytes != 0)
    std::fprintf(stderr, "pxv: (blocks of memory above --limit-memory %s are refused)\n", m.as_given.c_str());
  m.refused_image = 0;  // said once, for the file it was refused for
  return kExitFailed;
}

int usage_error(const std::string &message) {
  std::fprintf(stderr, "pxv: %s\nTry 'pxv --help'.\n", message.c_str());
  return kExitUsage;
}

}  // namespace pxv_cli
