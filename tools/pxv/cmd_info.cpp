// pxv info: the format a file's first bytes name, and the image it holds.
#include <cstdint>
#include <cstdio>

#include "cli.h"
#include "core/dib.h"
#include "options.h"
#include "pxvlib10.h"
#include "save_types.h"

namespace pxv_cli {

namespace {

const char kInfoHelp[] =
    "usage: pxv info FILE [--page N]\n"
    "\n"
    "Names the format found from the file's first bytes (TIFF, BMP, PCX, DCX, GIF, Targa,\n"
    "JPEG, PICT, WPG, WMF, EPS) and, when the image loads, its width, height, bit count and\n"
    "number of colours. --page selects a page of a TIFF or DCX file (0 is the first).\n";

// Width, height, bit count and colours of the loaded image.
void describe(int handle) {
  std::uint8_t header[pxv::kHeaderRecordBytes];
  IMGLOW_get_bitmap_header(handle, header);
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(handle, &width, &height, &bits);
  std::printf("  width:     %d\n  height:    %d\n  bit count: %d\n", width, height, bits);
  std::uint32_t used = pxv::dib_clr_used(header);
  if (bits == 24)
    std::printf("  colours:   16777216 (true colour)\n");
  else
    std::printf("  colours:   %lu\n", used != 0 ? static_cast<unsigned long>(used) : (1ul << bits));
}

// A Windows metafile without its placeable header starts with its type (1 memory, 2 disk), a
// header size of 9 words and a version word; the 9 is where a Targa keeps its image type.
bool bare_metafile(const std::string &file) {
  std::uint8_t b[4] = {};
  OFSTRUCT of;
  HFILE fd = OpenFile(file.c_str(), &of, OF_READ);
  if (fd == HFILE_ERROR) return false;
  const UINT got = _lread(fd, b, sizeof b);
  _lclose(fd);
  return got == sizeof b && (b[0] == 1 || b[0] == 2) && b[1] == 0 && b[2] == 9 && b[3] == 0;
}

}  // namespace

int cmd_info(const Args &args) {
  int page = 0;
  CommandLine line;
  int status = parse_command_line(args,
                                  {{"--page", nullptr, "a page number of 0 or more",
                                    [&](const std::string &v) { return parse_int(v, 0, &page); }}},
                                  kInfoHelp, &line);
  if (status >= 0) return status;
  if (line.operands.size() != 1)
    return usage_error(line.operands.empty() ? "info needs a file" : "info takes one file");
  const std::string &file = line.operands[0];

  int type = IMGLOW_get_filetype(file.c_str());
  if (type < 0) return fail(file, type);
  const SaveType *detected = save_type(type);
  if (type == PXV_SAVE_TGA && bare_metafile(file))
    std::printf("%s: a metafile without placeable header, detected as Targa\n", file.c_str());
  else
    std::printf("%s: %s\n", file.c_str(), detected != nullptr ? detected->label : "unknown");

  OFSTRUCT of;
  HFILE fd = OpenFile(file.c_str(), &of, OF_READ);
  if (fd == HFILE_ERROR) return fail(file, PXV_ERR_READ);
  int handle = IMG_decompress_bitmap_fd(fd, 0, page);
  _lclose(fd);
  if (handle < 0) return fail(file, handle);
  describe(handle);
  IMG_delete_bitmap(handle);
  return 0;
}

}  // namespace pxv_cli
