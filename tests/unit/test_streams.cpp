// Streams over files and caller memory, work blocks, and the row size rule.
#include <gtest/gtest.h>

#include <cstring>

#include "core/dib.h"
#include "core/img_util.h"
#include "platform/testing.h"
#include "support.h"

using namespace pxv;

namespace {

TEST(MemoryStream, ReadsWritesSeeksAndTheBoundedForm) {
  std::uint8_t block[32] = {};
  reset_mem_io(block);
  EXPECT_EQ(img_write_mem(kMemoryStream, "0123456789", 10), 10);
  EXPECT_EQ(img_seek_mem(kMemoryStream, -4, kSeekCur), 0);
  EXPECT_EQ(img_filelength(kMemoryStream), 6) << "the length is what was written so far";
  char got[8];
  EXPECT_EQ(img_read_mem(kMemoryStream, got, 4), 4);
  EXPECT_EQ(std::memcmp(got, "6789", 4), 0);
  // The end of caller memory is unknown: a seek from the end lands at the start.
  EXPECT_EQ(img_seek_mem(kMemoryStream, -2, kSeekEnd), 0);
  EXPECT_EQ(mem_io_offset, 0u);
  reset_mem_io_bounded(block, 6);
  EXPECT_EQ(img_read_mem(kMemoryStream, got, 8), 6);
  EXPECT_EQ(img_read_mem(kMemoryStream, got, 8), 0);
  img_seek_mem(kMemoryStream, 4, kSeekSet);
  EXPECT_EQ(img_write_mem(kMemoryStream, "abcd", 4), 2);
  EXPECT_EQ(block[5], 'b');
  EXPECT_EQ(block[6], '6') << "nothing written past the bound";
}

TEST(FileStream, PassesThroughAndKeepsPositionForLength) {
  OFSTRUCT of;
  HFILE f = OpenFile(pxv_test::scratch_path("stream.bin").c_str(), &of, OF_CREATE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(img_write_mem(f, "abcdefgh", 8), 8);
  EXPECT_EQ(img_seek_mem(f, 2, kSeekSet), 2);
  EXPECT_EQ(img_filelength(f), 8);
  EXPECT_EQ(img_seek_mem(f, 0, kSeekCur), 2) << "length leaves the position alone";
  char got[8];
  EXPECT_EQ(img_read_mem(f, got, 8), 6);
  EXPECT_EQ(img_seek_mem(f, -1, kSeekSet), -1);
  _lclose(f);
}

TEST(WorkBlocks, ListOfTwentyFreedByAddressOrAll) {
  img_ffree_all();
  const std::size_t live = pxv_platform::live_blocks();
  void *blocks[kWorkBlockSlots];
  for (void *&b : blocks) ASSERT_NE(b = img_fmalloc(16), nullptr);
  EXPECT_EQ(img_fmalloc(16), nullptr) << "a full list refuses another block";
  int stranger = 0;
  img_ffree(&stranger);  // not in the list: ignored
  img_ffree(blocks[3]);
  EXPECT_EQ(img_work_blocks_in_use(), kWorkBlockSlots - 1);
  EXPECT_NE(img_fmalloc(16), nullptr) << "the freed entry is taken again";
  img_ffree_all();
  EXPECT_EQ(pxv_platform::live_blocks(), live);
  if (!pxv_test::kStandinControls) return;
  pxv_platform::fail_allocation(1);
  EXPECT_EQ(img_fmalloc(16), nullptr);
  EXPECT_EQ(img_work_blocks_in_use(), 0);
}

TEST(SizeRules, RowBytes) {
  const int rows[][3] = {{1, 1, 4}, {1, 24, 4}, {33, 1, 8}, {5, 24, 16}, {9, 4, 8}, {6, 16, 8}, {0, 8, 0}, {-1, 8, -1}};
  for (const auto &r : rows) EXPECT_EQ(size_for_long(r[0], r[1]), r[2]) << r[0] << " pixels of " << r[1] << " bits";
  EXPECT_EQ(size_for_long(0x7FFFFFFF, 24), -1) << "a row beyond 32 bits is no row";
}

}  // namespace
