// pxv: the library's first host. It works through the public API only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pxvlib10.h"

namespace {

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

// The usual name of each save type, as `info` reports a detected format.
const char *type_name(int type) {
  static const char *const names[] = {"TIFF", "BMP",  "PCX",  "Targa", "GIF",  "WPG",
                                      "WMF",  "TIFF", "TIFF", "TIFF",  "TIFF", "DCX",
                                      "BMP",  "JPEG", "EPS",  "PICT"};
  return type >= 0 && type < 16 ? names[type] : "unknown";
}

int fail(const char *what, int code) {
  std::fprintf(stderr, "pxv: %s: %s (result %d)\n", what, result_meaning(code), code);
  return 1;
}

int usage_error(const char *message) {
  std::fprintf(stderr, "pxv: %s\nTry 'pxv --help'.\n", message);
  return 2;
}

bool parse_int(const char *text, int *value) {
  char *end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < -2147483647L || v > 2147483647L) return false;
  *value = static_cast<int>(v);
  return true;
}

const char kMainHelp[] =
    "usage: pxv COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  info FILE [--page N]   name the file's format and describe the image it holds\n"
    "\n"
    "'pxv COMMAND --help' describes one command.\n";

const char kInfoHelp[] =
    "usage: pxv info FILE [--page N]\n"
    "\n"
    "Names the format found from the file's first bytes (TIFF, BMP, PCX, DCX, GIF, Targa,\n"
    "JPEG, PICT, WPG, WMF, EPS) and, when the image loads, its width, height, bit count and\n"
    "number of colours. --page selects a page of a TIFF or DCX file (0 is the first).\n";

int cmd_info(const std::vector<std::string> &args) {
  std::string file;
  int page = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kInfoHelp, stdout);
      return 0;
    } else if (args[i] == "--page") {
      if (i + 1 >= args.size() || !parse_int(args[i + 1].c_str(), &page) || page < 0)
        return usage_error("--page needs a page number of 0 or more");
      ++i;
    } else if (file.empty()) {
      file = args[i];
    } else {
      return usage_error("info takes one file");
    }
  }
  if (file.empty()) return usage_error("info needs a file");

  int type = IMGLOW_get_filetype(file.c_str());
  if (type < 0) return fail(file.c_str(), type);
  std::printf("%s: %s\n", file.c_str(), type_name(type));

  OFSTRUCT of;
  HFILE fd = OpenFile(file.c_str(), &of, OF_READ);
  if (fd == HFILE_ERROR) return fail(file.c_str(), PXV_ERR_READ);
  int handle = IMG_decompress_bitmap_fd(fd, 0, page);
  _lclose(fd);
  if (handle < 0) return fail(file.c_str(), handle);

  unsigned char header[1064];
  IMGLOW_get_bitmap_header(handle, header);
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(handle, &width, &height, &bits);
  unsigned long used = static_cast<unsigned long>(header[32]) | (header[33] << 8) |
                       (header[34] << 16) | (static_cast<unsigned long>(header[35]) << 24);
  std::printf("  width:     %d\n  height:    %d\n  bit count: %d\n", width, height, bits);
  if (bits == 24)
    std::printf("  colours:   16777216 (true colour)\n");
  else
    std::printf("  colours:   %lu\n", used != 0 ? used : (1ul << bits));
  IMG_delete_bitmap(handle);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs(kMainHelp, stderr);
    return 2;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kMainHelp, stdout);
    return 0;
  }
  if (command == "info") return cmd_info(args);
  return usage_error(("unknown command '" + command + "'").c_str());
}
