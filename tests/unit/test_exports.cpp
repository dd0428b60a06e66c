// The Windows export list names exactly the functions the public header declares, so that the
// cross-built DLL exports every implemented function and nothing else.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "support.h"

namespace {

std::string text_of(const std::string &path) {
  pxv_test::Bytes b = pxv_test::read_file(path);
  return std::string(b.begin(), b.end());
}

TEST(Exports, DefFileMatchesHeader) {
  std::string header = text_of(std::string(PXV_SOURCE_DIR) + "/include/pxvlib10.h");
  std::string def = text_of(std::string(PXV_SOURCE_DIR) + "/src/pxvlib10.def");
  ASSERT_FALSE(header.empty());
  ASSERT_FALSE(def.empty());
  std::set<std::string> declared, listed;
  // Every export is declared as "PXVAPI name(".
  for (std::size_t at = header.find("PXVAPI "); at != std::string::npos;
       at = header.find("PXVAPI ", at + 1)) {
    if (at >= 8 && header.compare(at - 8, 8, "#define ") == 0) continue;
    std::size_t begin = at + 7, end = header.find('(', begin);
    if (end == std::string::npos) break;
    declared.insert(header.substr(begin, end - begin));
  }
  std::istringstream lines(def);
  std::string line;
  bool in_exports = false;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    if (word == "EXPORTS") in_exports = true;
    else if (in_exports) listed.insert(word);
  }
  EXPECT_EQ(declared, listed);
  EXPECT_GE(declared.size(), 22u);
}

}  // namespace
