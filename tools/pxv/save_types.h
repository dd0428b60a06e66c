// The library's save types as the command line knows them: one row per type.
#pragma once

#include <string>

namespace pxv_cli {

// Bit counts as flags, for the depths a type writes.
enum Depth : unsigned { kBits1 = 1, kBits4 = 2, kBits8 = 4, kBits24 = 8, kAllBits = 15 };

struct SaveType {
  int number;              // the library's type number
  const char *name;        // what --type accepts besides the number: "tiff-lzw"
  const char *label;       // how reports print it: "TIFF LZW"
  const char *endings[3];  // file endings, the one given to new output names first
  unsigned depths;         // the bit counts its writer takes (Depth flags)
  bool appends_pages;      // saving to an existing file adds a page to it
};

// The type with this number, or nullptr.
const SaveType *save_type(int number);
// The type named by --type: a number, a name or a file ending, in any case; nullptr if none.
const SaveType *save_type_from_text(const std::string &text);
// The type a file name's ending asks for (names count as endings: "a.tiff-lzw"); nullptr if none.
const SaveType *save_type_from_file_name(const std::string &file_name);
bool writes_depth(const SaveType &type, int bits);
// "1, 4 and 8 bits": the depths a type writes, for messages.
std::string depth_list(const SaveType &type);
// The --type values, one line per type, for the help of the commands that save.
std::string save_type_help();

// Every save type, in number order.
extern const SaveType kSaveTypes[16];

}  // namespace pxv_cli
