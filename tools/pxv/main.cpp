// pxv: the library's first host. It works through the public API only.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <strings.h>
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
    "  convert IN OUT [...]   load IN and save it as OUT in another format\n"
    "  tour                   save a built-in image in every output type and load it back\n"
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

struct TypeName {
  const char *name;
  int type;
};

// Names for --type, and file endings the library's own three-letter rule does not know.
constexpr TypeName kTypeNames[] = {
    {"tiff", PXV_SAVE_TIFF},        {"tif", PXV_SAVE_TIFF},         {"bmp", PXV_SAVE_BMP},
    {"pcx", PXV_SAVE_PCX},          {"targa", PXV_SAVE_TGA},        {"tga", PXV_SAVE_TGA},
    {"gif", PXV_SAVE_GIF},          {"wpg", PXV_SAVE_WPG},          {"wmf", PXV_SAVE_WMF},
    {"tiff-huffman", PXV_SAVE_TIFF_HUFFMAN}, {"tiff-g3", PXV_SAVE_TIFF_G3},
    {"tiff-lzw", PXV_SAVE_TIFF_LZW}, {"tiff-g4", PXV_SAVE_TIFF_G4}, {"dcx", PXV_SAVE_DCX},
    {"bmp-rle", PXV_SAVE_BMP_RLE},  {"jpeg", PXV_SAVE_JPEG},        {"jpg", PXV_SAVE_JPEG},
    {"eps", PXV_SAVE_EPS},          {"pict", PXV_SAVE_PICT},        {"pct", PXV_SAVE_PICT},
};

const char *save_type_label(int type) {
  static const char *const labels[] = {"TIFF",         "BMP",      "PCX",     "Targa",
                                       "GIF",          "WPG",      "WMF",     "TIFF Huffman",
                                       "TIFF G3",      "TIFF LZW", "TIFF G4", "DCX",
                                       "BMP RLE",      "JPEG",     "EPS",     "PICT"};
  return type >= 0 && type < 16 ? labels[type] : "?";
}

int type_from_text(const std::string &text) {
  int n;
  if (parse_int(text.c_str(), &n)) return n >= 0 && n < 16 ? n : -2;
  for (const TypeName &t : kTypeNames)
    if (strcasecmp(t.name, text.c_str()) == 0) return t.type;
  return -2;
}

// The save type for an output name: the library's rule on the last three letters, plus the
// longer endings people use.
int type_from_file_name(const std::string &name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return PXV_SAVE_FROM_NAME;
  int t = type_from_text(name.substr(dot + 1));
  return t >= 0 && !std::isdigit(static_cast<unsigned char>(name[dot + 1])) ? t : PXV_SAVE_FROM_NAME;
}

const char kConvertHelp[] =
    "usage: pxv convert IN OUT [--type N|NAME] [--page N] [--crop X,Y,W,H] [--quality N]\n"
    "\n"
    "Loads IN (any readable format; --page picks a TIFF or DCX page) and saves it as OUT.\n"
    "The output type comes from --type (a number 0-15 or a name: tiff, bmp, pcx, targa, gif,\n"
    "wpg, wmf, tiff-huffman, tiff-g3, tiff-lzw, tiff-g4, dcx, bmp-rle, jpeg, eps, pict) or\n"
    "else from OUT's ending. TIFF and DCX outputs add a page when OUT already exists.\n"
    "--crop saves only that rectangle (pixels from the top-left corner).\n"
    "--quality sets the JPEG compression level: 0 keeps the most detail, higher levels make\n"
    "smaller files (the level scales the quantisation tables).\n";

int cmd_convert(const std::vector<std::string> &args) {
  std::vector<std::string> files;
  int type = PXV_SAVE_FROM_NAME, page = 0;
  bool crop = false, quality_given = false;
  int rect[4] = {0, 0, 0, 0};
  int quality = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--help" || a == "-h") {
      std::fputs(kConvertHelp, stdout);
      return 0;
    } else if (a == "--type") {
      if (!has_value || (type = type_from_text(args[i + 1])) < 0)
        return usage_error("--type needs a save type number (0-15) or name");
      ++i;
    } else if (a == "--page") {
      if (!has_value || !parse_int(args[i + 1].c_str(), &page) || page < 0)
        return usage_error("--page needs a page number of 0 or more");
      ++i;
    } else if (a == "--crop") {
      if (!has_value || std::sscanf(args[i + 1].c_str(), "%d,%d,%d,%d", &rect[0], &rect[1],
                                    &rect[2], &rect[3]) != 4)
        return usage_error("--crop needs X,Y,W,H");
      crop = true;
      ++i;
    } else if (a == "--quality") {
      if (!has_value || !parse_int(args[i + 1].c_str(), &quality) || quality < 0)
        return usage_error("--quality needs a compression level of 0 or more");
      quality_given = true;
      ++i;
    } else if (!a.empty() && a[0] == '-') {
      return usage_error(("unknown option " + a).c_str());
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) return usage_error("convert needs an input and an output file");
  if (type == PXV_SAVE_FROM_NAME) type = type_from_file_name(files[1]);
  if (type == PXV_SAVE_FROM_NAME) return usage_error("cannot tell the output type: give --type");

  OFSTRUCT of;
  HFILE fd = OpenFile(files[0].c_str(), &of, OF_READ);
  if (fd == HFILE_ERROR) return fail(files[0].c_str(), PXV_ERR_READ);
  int handle = IMG_decompress_bitmap_fd(fd, 0, page);
  _lclose(fd);
  if (handle < 0) return fail(files[0].c_str(), handle);
  if (crop) IMG_set_croprect(handle, rect[0], rect[1], rect[2], rect[3]);
  if (quality_given) IMGLOW_set_comp_quality(quality);
  int rc = IMG_save_bitmap(handle, files[1].c_str(), type);
  IMG_delete_bitmap(handle);
  if (rc < 0) return fail(files[1].c_str(), rc);
  return 0;
}

// Bytes of one stored DIB row: pixels to bytes by bit count, padded to a multiple of 4. The
// CLI works through the public API only, so it keeps its own copy of the rule.
int dib_row_bytes(int width, int bits) {
  int bytes = bits == 1 ? (width + 7) / 8 : bits == 4 ? (width + 1) / 2 : bits == 24 ? width * 3 : width;
  return (bytes + 3) / 4 * 4;
}

// The tour's picture: drawn in code at each bit count, with an odd width so that row padding
// matters, a colour table whose entries differ in every channel, and detail in every row.
std::vector<std::uint8_t> tour_picture(int width, int height, int bits) {
  int row_bytes = dib_row_bytes(width, bits);
  int table = bits == 24 ? 0 : 4 << bits;
  std::vector<std::uint8_t> dib(40 + table + std::size_t(row_bytes) * height, 0);
  auto put32 = [&](int at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) dib[at + i] = std::uint8_t(v >> (8 * i));
  };
  put32(0, 40);
  put32(4, std::uint32_t(width));
  put32(8, std::uint32_t(height));
  dib[12] = 1;
  dib[14] = std::uint8_t(bits);
  put32(20, std::uint32_t(row_bytes * height));
  // Bilevel pictures are black and white, which is what bilevel files can say; the others get
  // colours that differ in every channel, so that a swapped channel shows.
  for (int i = 0; i < table / 4; ++i) {
    int n = table / 4;
    dib[40 + 4 * i + 0] = std::uint8_t(bits == 1 ? 255 * i : 255 * (i % 4) / 3);            // blue
    dib[40 + 4 * i + 1] = std::uint8_t(255 * i / (n - 1));                                   // green
    dib[40 + 4 * i + 2] = std::uint8_t(bits == 1 ? 255 * i : 255 - 255 * (i / 4) * 4 / n);  // red
  }
  for (int y = 0; y < height; ++y) {
    std::uint8_t *row = &dib[40 + table + std::size_t(height - 1 - y) * row_bytes];
    for (int x = 0; x < width; ++x) {
      // Rings around the centre, stripes, and a flat band for the run-length coders.
      int dx = x - width / 2, dy = y - height / 2;
      int ring = (dx * dx + dy * dy) / 24;
      bool flat = y > height * 3 / 4;
      int v = flat ? 3 : (ring + x / 5) & 0xFF;
      switch (bits) {
        case 1: if (flat ? 0 : (ring & 1)) row[x / 8] |= std::uint8_t(0x80 >> (x % 8)); break;
        case 4: row[x / 2] |= std::uint8_t((v & 15) << (x % 2 ? 0 : 4)); break;
        case 8: row[x] = std::uint8_t(v); break;
        default:
          row[3 * x] = std::uint8_t(flat ? 40 : x * 255 / (width - 1));
          row[3 * x + 1] = std::uint8_t(flat ? 90 : y * 255 / (height - 1));
          row[3 * x + 2] = std::uint8_t(flat ? 200 : ring * 16);
      }
    }
  }
  return dib;
}

// A handle's pixels as RGB, top row first, through its colour table.
std::vector<std::uint8_t> handle_rgb(int handle, int *width, int *height) {
  int bits = 0;
  HGLOBAL block = IMG_bitmap_info(handle, width, height, &bits);
  std::vector<std::uint8_t> rgb;
  if (block == nullptr) return rgb;
  const auto *dib = static_cast<const std::uint8_t *>(GlobalLock(block));
  std::uint32_t used = dib[32] | (dib[33] << 8) | (dib[34] << 16) | (std::uint32_t(dib[35]) << 24);
  std::uint32_t entries = used != 0 ? used : bits == 24 ? 0 : 1u << bits;
  int row_bytes = dib_row_bytes(*width, bits);
  const std::uint8_t *pixels = dib + 40 + 4 * entries;
  rgb.resize(std::size_t(*width) * *height * 3);
  for (int y = 0; y < *height; ++y) {
    const std::uint8_t *row = pixels + std::size_t(*height - 1 - y) * row_bytes;
    for (int x = 0; x < *width; ++x) {
      std::uint8_t bgr[3] = {0, 0, 0};
      if (bits == 24) {
        std::memcpy(bgr, row + 3 * x, 3);
      } else {
        std::uint32_t i = bits == 1 ? (row[x / 8] >> (7 - x % 8)) & 1
                          : bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15 : row[x];
        if (i < entries) std::memcpy(bgr, dib + 40 + 4 * i, 3);
      }
      std::uint8_t *out = &rgb[(std::size_t(y) * *width + x) * 3];
      out[0] = bgr[2];
      out[1] = bgr[1];
      out[2] = bgr[0];
    }
  }
  GlobalUnlock(block);
  return rgb;
}

const char kTourHelp[] =
    "usage: pxv tour [--keep DIR]\n"
    "\n"
    "Draws a built-in picture at 1, 4, 8 and 24 bits, saves it in every output type the\n"
    "library writes, loads each file back and reports its size and whether the pixels came\n"
    "back identical (or, for JPEG, how close). --keep leaves the files in DIR.\n";

int cmd_tour(const std::vector<std::string> &args) {
  std::string keep;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kTourHelp, stdout);
      return 0;
    } else if (args[i] == "--keep" && i + 1 < args.size()) {
      keep = args[++i];
    } else {
      return usage_error(("unknown tour argument " + args[i]).c_str());
    }
  }
  std::string dir = keep;
  if (!dir.empty()) mkdir(dir.c_str(), 0755);  // an existing folder is used as it is
  if (dir.empty()) {
    char pattern[] = "/tmp/pxv-tour-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return fail("tour", PXV_ERR_CREATE);
    dir = pattern;
  }
  const int width = 61, height = 37;
  static const char *const endings[] = {"tif", "bmp", "pcx", "tga", "gif", "wpg", "wmf", "tif",
                                        "tif", "tif", "tif", "dcx", "bmp", "jpg", "eps", "pct"};
  std::printf("pxv tour: a %d x %d picture at 1, 4, 8 and 24 bits, saved and loaded back\n\n",
              width, height);
  std::printf("%-13s %4s %8s  %s\n", "type", "bits", "bytes", "loaded back");
  int failures = 0, written = 0;
  std::vector<int> unavailable;
  for (int type = 0; type < 16; ++type) {
    bool any = false;
    std::vector<std::string> lines;
    for (int bits : {1, 4, 8, 24}) {
      std::vector<std::uint8_t> picture = tour_picture(width, height, bits);
      int handle = IMG_create_handle(picture.data());
      if (handle < 0) return fail("tour", handle);
      int w0, h0;
      std::vector<std::uint8_t> original = handle_rgb(handle, &w0, &h0);
      char name[64];
      std::snprintf(name, sizeof name, "/tour-%02d-%d.%s", type, bits, endings[type]);
      std::string file = dir + name;
      std::remove(file.c_str());
      int rc = IMG_save_bitmap(handle, file.c_str(), type);
      IMG_delete_bitmap(handle);
      char line[160];
      if (rc == PXV_ERR_TYPE) {
        std::remove(file.c_str());
        continue;  // this type is not written at this bit count
      }
      any = true;
      if (rc < 0) {
        std::snprintf(line, sizeof line, "%-13s %4d %8s  save failed: %s", save_type_label(type),
                      bits, "-", result_meaning(rc));
        lines.push_back(line);
        ++failures;
        continue;
      }
      ++written;
      FILE *f = std::fopen(file.c_str(), "rb");
      long bytes = 0;
      if (f != nullptr) {
        std::fseek(f, 0, SEEK_END);
        bytes = std::ftell(f);
        std::fclose(f);
      }
      int back = IMG_decompress_bitmap(file.c_str());
      std::string verdict;
      if (back < 0) {
        verdict = std::string("load failed: ") + result_meaning(back);
        ++failures;
      } else {
        int w1, h1;
        std::vector<std::uint8_t> again = handle_rgb(back, &w1, &h1);
        IMG_delete_bitmap(back);
        // Group 3 facsimile rows are always 1728 pixels: the picture is their left part.
        const bool fax_width = type == PXV_SAVE_TIFF_G3 && w1 == 1728 && h1 == h0 && w0 < w1;
        if (fax_width) {
          std::vector<std::uint8_t> left;
          for (int y = 0; y < h1; ++y)
            left.insert(left.end(), again.begin() + std::ptrdiff_t(y) * w1 * 3,
                        again.begin() + (std::ptrdiff_t(y) * w1 + w0) * 3);
          again.swap(left);
        }
        if (fax_width && again == original) {
          verdict = "identical (rows written 1728 wide)";
        } else if (w1 != w0 || h1 != h0) {
          verdict = "different size";
          ++failures;
        } else if (again == original) {
          verdict = "identical";
        } else {
          double se = 0;
          for (std::size_t i = 0; i < again.size(); ++i) {
            double d = double(again[i]) - original[i];
            se += d * d;
          }
          double mse = se / again.size();
          char text[64];
          std::snprintf(text, sizeof text, "differs (PSNR %.1f dB)", 10 * std::log10(255.0 * 255.0 / mse));
          verdict = text;
          if (type != PXV_SAVE_JPEG) ++failures;
        }
      }
      std::snprintf(line, sizeof line, "%-13s %4d %8ld  %s", save_type_label(type), bits, bytes,
                    verdict.c_str());
      lines.push_back(line);
    }
    if (!any) unavailable.push_back(type);
    for (const std::string &l : lines) std::printf("%s\n", l.c_str());
  }
  if (!unavailable.empty()) {
    std::printf("\nnot written by this build:");
    for (int t : unavailable) std::printf(" %s", save_type_label(t));
    std::printf("\n");
  }
  std::printf("\n%d files written, %d problems%s%s\n", written, failures,
              keep.empty() ? "" : "; files kept in ", keep.c_str());
  if (keep.empty()) {
    for (int type = 0; type < 16; ++type)
      for (int bits : {1, 4, 8, 24}) {
        char name[64];
        std::snprintf(name, sizeof name, "/tour-%02d-%d.%s", type, bits, endings[type]);
        std::remove((dir + name).c_str());
      }
    rmdir(dir.c_str());
  }
  return failures == 0 ? 0 : 1;
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
  if (command == "convert") return cmd_convert(args);
  if (command == "tour") return cmd_tour(args);
  return usage_error(("unknown command '" + command + "'").c_str());
}
