// Streams over files and caller memory, work blocks, and the two size rules.
#include <gtest/gtest.h>

#include <cstring>

#include "core/dib.h"
#include "core/img_util.h"
#include "platform/testing.h"
#include "support.h"

using namespace pxv;

namespace {

TEST(MemoryStream, ReadsWritesAndSeeks) {
  std::uint8_t block[32] = {};
  reset_mem_io(block);
  EXPECT_EQ(img_write_mem(kMemoryStream, "0123456789", 10), 10);
  EXPECT_EQ(img_seek_mem(kMemoryStream, -4, kSeekCur), 0);
  EXPECT_EQ(mem_io_offset, 6u);
  EXPECT_EQ(img_filelength(kMemoryStream), 6) << "the length is what was written so far";
  char got[4];
  EXPECT_EQ(img_read_mem(kMemoryStream, got, 4), 4);
  EXPECT_EQ(std::memcmp(got, "6789", 4), 0);
  EXPECT_EQ(img_seek_mem(kMemoryStream, 3, kSeekSet), 0);
  EXPECT_EQ(mem_io_offset, 3u);
  // The end of caller memory is unknown: a seek from the end lands at the start.
  EXPECT_EQ(img_seek_mem(kMemoryStream, -2, kSeekEnd), 0);
  EXPECT_EQ(mem_io_offset, 0u);
  reset_mem_io(block + 5);
  EXPECT_EQ(mem_io_offset, 0u);
  EXPECT_EQ(img_read_mem(kMemoryStream, got, 1), 1);
  EXPECT_EQ(got[0], '5');
}

TEST(MemoryStream, BoundedFormStopsAtItsLength) {
  std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  reset_mem_io_bounded(block, 6);
  std::uint8_t got[8] = {};
  EXPECT_EQ(img_read_mem(kMemoryStream, got, 8), 6);
  EXPECT_EQ(img_read_mem(kMemoryStream, got, 8), 0);
  img_seek_mem(kMemoryStream, 4, kSeekSet);
  EXPECT_EQ(img_write_mem(kMemoryStream, "abcd", 4), 2);
  EXPECT_EQ(block[5], 'b');
  EXPECT_EQ(block[6], 7) << "nothing written past the bound";
}

TEST(FileStream, PassesThroughAndKeepsPositionForLength) {
  std::string name = pxv_test::scratch_path("stream.bin");
  OFSTRUCT of;
  HFILE f = OpenFile(name.c_str(), &of, OF_CREATE);
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
  std::size_t live = pxv_platform::live_blocks();
  void *blocks[kWorkBlockSlots];
  for (void *&b : blocks) {
    b = img_fmalloc(16);
    ASSERT_NE(b, nullptr);
  }
  EXPECT_EQ(img_fmalloc(16), nullptr) << "a full list refuses another block";
  EXPECT_EQ(pxv_platform::live_blocks(), live + kWorkBlockSlots);
  int stranger = 0;
  img_ffree(&stranger);  // not in the list: ignored
  img_ffree(blocks[3]);
  EXPECT_EQ(img_work_blocks_in_use(), kWorkBlockSlots - 1);
  void *again = img_fmalloc(16);
  EXPECT_NE(again, nullptr) << "the freed entry is taken again";
  img_ffree_all();
  EXPECT_EQ(img_work_blocks_in_use(), 0);
  EXPECT_EQ(pxv_platform::live_blocks(), live);
  img_ffree_all();  // an empty list: nothing happens
  pxv_platform::fail_allocation(1);
  EXPECT_EQ(img_fmalloc(16), nullptr);
  EXPECT_EQ(img_work_blocks_in_use(), 0);
}

TEST(SizeRules, RowBytes) {
  for (int bits : {1, 4, 8, 24}) EXPECT_EQ(size_for_long(1, bits), 4) << bits;
  EXPECT_EQ(size_for_long(33, 1), 8);
  EXPECT_EQ(size_for_long(5, 24), 16);
  EXPECT_EQ(size_for_long(7, 4), 4);
  EXPECT_EQ(size_for_long(9, 4), 8);
  EXPECT_EQ(size_for_long(6, 16), 8) << "other bit counts count one byte per pixel";
  EXPECT_EQ(size_for_long(0, 8), 0);
  EXPECT_EQ(size_for_long(-1, 8), -1);
  EXPECT_EQ(size_for_long(0x7FFFFFFF, 24), -1) << "a row beyond 32 bits is no row";
}

TEST(SizeRules, PaletteSize) {
  std::uint8_t h[40] = {};
  put_le16(h + kBiBitCount, 8);
  put_le32(h + kBiClrUsed, 16);
  EXPECT_EQ(Palette_Size(h), 64u);
  put_le32(h + kBiClrUsed, 0);
  EXPECT_EQ(Palette_Size(h), 1024u);
  put_le16(h + kBiBitCount, 1);
  EXPECT_EQ(Palette_Size(h), 8u);
  put_le16(h + kBiBitCount, 4);
  EXPECT_EQ(Palette_Size(h), 64u);
  put_le16(h + kBiBitCount, 24);
  EXPECT_EQ(Palette_Size(h), 0u);
}

TEST(ByteSwap, SwapsEachWord) {
  std::uint8_t w[6] = {1, 2, 3, 4, 5, 6};
  img_byteswap(w, 2);
  EXPECT_EQ(w[0], 2);
  EXPECT_EQ(w[1], 1);
  EXPECT_EQ(w[2], 4);
  EXPECT_EQ(w[3], 3);
  EXPECT_EQ(w[4], 5) << "only the counted words";
}

}  // namespace
