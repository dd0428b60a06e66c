// The Windows export list names exactly the functions the public header declares, so that the
// cross-built DLL exports every implemented function and nothing else.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "support.h"

TEST(Exports, DefFileMatchesHeader) {
  const pxv_test::Bytes h = pxv_test::read_file(std::string(PXV_SOURCE_DIR) + "/include/pxvlib10.h");
  const pxv_test::Bytes d = pxv_test::read_file(std::string(PXV_SOURCE_DIR) + "/src/pxvlib10.def");
  const std::string header(h.begin(), h.end());
  std::set<std::string> declared, listed;
  // Every export is declared as "PXVAPI name(" (the macro's own #define aside).
  for (std::size_t at = header.find("PXVAPI "); at != std::string::npos; at = header.find("PXVAPI ", at + 1))
    if (at < 8 || header.compare(at - 8, 8, "#define ") != 0)
      declared.insert(header.substr(at + 7, header.find('(', at) - at - 7));
  std::istringstream words(std::string(d.begin(), d.end()));
  for (std::string word; words >> word && word != "EXPORTS";) {
  }
  for (std::string word; std::getline(words, word);)
    if (std::istringstream(word) >> word) listed.insert(word);
  EXPECT_EQ(declared, listed);
  EXPECT_GE(declared.size(), 22u);
}
