// The EPS writer's text: the 1-bit program and its rows as stored, the 8-bit table and program,
// and a row longer than wsprintfA writes kept on one line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support.h"

namespace pxv_test {
namespace {

std::string saved_text(int handle) {
  const Bytes out = save_mem(handle, PXV_SAVE_EPS);
  return std::string(out.begin(), std::find(out.begin(), out.end(), 0xAA));
}

TEST(EpsWrite, OneBitProgramAndRows) {
  PackedDib dib = make_packed_dib(10, 2, 1);
  dib.row(1)[0] = 0xA5, dib.row(1)[1] = 0xC0;  // the top row comes first, its bits as stored
  dib.row(0)[0] = 0x01, dib.row(0)[1] = 0x7F;
  const int h = IMG_create_handle(dib.bytes.data());
  EXPECT_EQ(saved_text(h),
            "%!PS-Adobe-2.0 - EPSF 2.0\r\n%%Creator: Pictovane\r\n%%BoundingBox: 0 0 10 2\r\n"
            "%%EndComments\r\ngsave\r\n/picstr 2 string def\r\n0 0 translate\r\n10 2 scale\r\n"
            "10 2 1 [10 0 0 -2 0 2] {currentfile picstr readhexstring pop} image\r\n"
            "A5C0\r\n017F\r\ngrestore\r\nshowpage\r\n");
  IMG_delete_bitmap(h);
}

TEST(EpsWrite, EightBitTableProgramAndLongRows) {
  const int h = picture_handle(600, 2, 8);
  const std::string text = saved_text(h);
  EXPECT_EQ(text.rfind("%!PS-Adobe-3.0 EPSF-3.0\r\n", 0), 0u);
  const std::size_t open = text.find("/pal <\r\n"), close = text.find("> def\r\n/rgbstr 1800 string def\r\n");
  ASSERT_NE(close, std::string::npos);
  const std::string table = text.substr(open + 8, close - open - 8);
  EXPECT_EQ(table.size(), 16u * (16 * 7 + 1));  // 16 lines of 16 "RRGGBB" entries
  EXPECT_NE(text.find("600 2 8 [600 0 0 -2 0 2] {read8_24} false 3 colorimage\r\n"), std::string::npos);
  // Each row of 1200 digits stands on one line.
  const std::size_t rows = text.find("colorimage\r\n") + 12;
  EXPECT_TRUE(text.find("\r\n", rows) == rows + 1200 && text.substr(rows + 2 * 1202 - 2) == "\r\ngrestore\r\nshowpage\r\n");
  // No binary header: this library's own loader refuses the file.
  const std::string file = scratch_path("eight.eps");
  EXPECT_TRUE(IMG_save_bitmap(h, file.c_str(), PXV_SAVE_EPS) == 0 && IMG_decompress_bitmap(file.c_str()) == PXV_ERR_TYPE);
  IMG_delete_bitmap(h);
}

}  // namespace
}  // namespace pxv_test
