// The save-type table and its look-ups.
#include "save_types.h"

#include <strings.h>

#include <cctype>
#include <cstdio>

#include "options.h"
#include "pxvlib10.h"

namespace pxv_cli {

const SaveType kSaveTypes[16] = {
    {PXV_SAVE_TIFF, "tiff", "TIFF", {"tif", "tiff"}, kAllBits, true},
    {PXV_SAVE_BMP, "bmp", "BMP", {"bmp", "dib"}, kAllBits, false},
    {PXV_SAVE_PCX, "pcx", "PCX", {"pcx"}, kAllBits, false},
    {PXV_SAVE_TGA, "targa", "Targa", {"tga"}, kBits8 | kBits24, false},
    {PXV_SAVE_GIF, "gif", "GIF", {"gif"}, kBits4 | kBits8, false},
    {PXV_SAVE_WPG, "wpg", "WPG", {"wpg"}, kBits1 | kBits4 | kBits8, false},
    {PXV_SAVE_WMF, "wmf", "WMF", {"wmf"}, kAllBits, false},
    {PXV_SAVE_TIFF_HUFFMAN, "tiff-huffman", "TIFF Huffman", {"tif", "tiff"}, kBits1, true},
    {PXV_SAVE_TIFF_G3, "tiff-g3", "TIFF G3", {"tif", "tiff"}, kBits1, true},
    {PXV_SAVE_TIFF_LZW, "tiff-lzw", "TIFF LZW", {"tif", "tiff"}, kAllBits, false},  // writes a new file
    {PXV_SAVE_TIFF_G4, "tiff-g4", "TIFF G4", {"tif", "tiff"}, kBits1, true},
    {PXV_SAVE_DCX, "dcx", "DCX", {"dcx"}, kAllBits, true},
    {PXV_SAVE_BMP_RLE, "bmp-rle", "BMP RLE", {"bmp", "rle"}, kBits4 | kBits8, false},
    {PXV_SAVE_JPEG, "jpeg", "JPEG", {"jpg", "jpeg", "jpe"}, kBits8 | kBits24, false},
    {PXV_SAVE_EPS, "eps", "EPS", {"eps"}, kAllBits, false},
    {PXV_SAVE_PICT, "pict", "PICT", {"pct", "pict"}, kAllBits, false},
};

namespace {

bool same(const char *a, const std::string &b) { return a != nullptr && strcasecmp(a, b.c_str()) == 0; }

// The first type, in number order, whose name or one of whose endings is `word`.
const SaveType *by_word(const std::string &word) {
  for (const SaveType &t : kSaveTypes) {
    if (same(t.name, word)) return &t;
    for (const char *e : t.endings)
      if (same(e, word)) return &t;
  }
  return nullptr;
}

}  // namespace

const SaveType *save_type(int number) {
  return number >= 0 && number < int(std::size(kSaveTypes)) ? &kSaveTypes[number] : nullptr;
}

const SaveType *save_type_from_text(const std::string &text) {
  int n;
  if (parse_int(text, 0, &n)) return save_type(n);
  return by_word(text);
}

const SaveType *save_type_from_file_name(const std::string &file_name) {
  std::size_t dot = file_name.rfind('.');
  if (dot == std::string::npos || file_name.find('/', dot) != std::string::npos) return nullptr;
  return by_word(file_name.substr(dot + 1));
}

bool writes_depth(const SaveType &type, int bits) {
  unsigned flag = bits == 1 ? kBits1 : bits == 4 ? kBits4 : bits == 8 ? kBits8 : bits == 24 ? kBits24 : 0u;
  return (type.depths & flag) != 0;
}

std::string depth_list(const SaveType &type) {
  std::string list;
  const int all[] = {1, 4, 8, 24};
  int left = 0;
  for (int bits : all) left += writes_depth(type, bits);
  for (int bits : all) {
    if (!writes_depth(type, bits)) continue;
    list += std::to_string(bits);
    --left;
    list += left > 1 ? ", " : left == 1 ? " and " : "";
  }
  return list + (list == "1" ? " bit" : " bits");
}

std::string save_type_help() {
  std::string help;
  for (const SaveType &t : kSaveTypes) {
    char line[128];
    int n = std::snprintf(line, sizeof line, "  %2d %-13s .%-5s %-20s %s", t.number, t.name,
                          t.endings[0], depth_list(t).c_str(), t.appends_pages ? "adds pages" : "");
    while (n > 0 && line[n - 1] == ' ') --n;
    help.append(line, std::size_t(n)) += '\n';
  }
  return help;
}

}  // namespace pxv_cli
