// The Win32 kernel stand-in, exactly where the library and its hosts rely on it; the library's
// streams over files and caller memory, its work blocks and row size rule; and the Windows export
// list, which must name exactly the functions the public header declares so that the cross-built
// DLL exports every implemented function and nothing else.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "core/dib.h"
#include "core/img_util.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "support.h"

namespace {

using namespace pxv;

TEST(GlobalMemory, LockCountsHandleLookupAndFixedBlocks) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 100);
  auto *p = static_cast<unsigned char *>(GlobalLock(h));
  ASSERT_TRUE(p != nullptr && GlobalSize(h) == 100);
  // Cleared; a second lock sees the same address; only a block's start maps back. Two locks take
  // two unlocks (the first answers "still locked"), and a third fails.
  EXPECT_TRUE(p[99] == 0 && GlobalLock(h) == p && GlobalHandle(p) == h && GlobalHandle(p + 1) == nullptr);
  EXPECT_TRUE(GlobalUnlock(h) && !GlobalUnlock(h) && !GlobalUnlock(h) && GlobalFree(h) == nullptr);
  // A freed or invented handle is refused without touching memory.
  int dummy = 0;
  EXPECT_TRUE(GlobalLock(h) == nullptr && GlobalFree(h) == h && GlobalSize(&dummy) == 0);
  HGLOBAL fixed = GlobalAlloc(GPTR, 16);
  EXPECT_TRUE(GlobalLock(fixed) == fixed && GlobalHandle(fixed) == fixed) << "a fixed block's handle is its address";
  GlobalUnlock(fixed);
  EXPECT_EQ(GlobalFree(fixed), nullptr);
  // The stand-in keeps a freed large block for the next one of about its size, cleared when
  // asked, and not for one so much smaller that most of it would lie idle.
  if (!pxv_test::kStandinControls) return;
  constexpr SIZE_T big = 3 << 20;
  HGLOBAL first = GlobalAlloc(GMEM_FIXED, big);
  std::memset(first, 7, big);
  GlobalFree(first);
  HGLOBAL again = GlobalAlloc(GPTR, big - 100);
  EXPECT_TRUE(again == first && GlobalSize(again) == big - 100 && static_cast<unsigned char *>(again)[big - 101] == 0);
  GlobalFree(again);
  HGLOBAL smaller = GlobalAlloc(GMEM_FIXED, big / 2);
  EXPECT_NE(smaller, first);
  GlobalFree(smaller);
}

TEST(GlobalMemory, ReAllocKeepsContentAndMovesOnlyWhereAllowed) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
  std::memcpy(GlobalLock(h), "abcd", 4);
  EXPECT_EQ(GlobalReAlloc(h, 65536, 0), nullptr) << "a locked block moves only when GMEM_MOVEABLE allows it";
  ASSERT_EQ(GlobalReAlloc(h, 4096, GMEM_MOVEABLE | GMEM_ZEROINIT), h) << "a movable block keeps its handle";
  auto *p = static_cast<unsigned char *>(GlobalLock(h));
  EXPECT_TRUE(std::memcmp(p, "abcd", 4) == 0 && p[4095] == 0);
  GlobalUnlock(h);
  GlobalUnlock(h);
  EXPECT_EQ(GlobalReAlloc(h, 65536, 0), h) << "an unlocked movable block may always move";
  GlobalFree(h);
  HGLOBAL fixed = GlobalAlloc(GMEM_FIXED, 4);
  EXPECT_EQ(GlobalReAlloc(fixed, 65536, 0), nullptr) << "a fixed block moves only when allowed";
  HGLOBAL moved = GlobalReAlloc(fixed, 65536, GMEM_MOVEABLE);
  EXPECT_TRUE(moved != nullptr && GlobalFree(moved) == nullptr);
  // Local and global blocks come from one heap: either family takes the other's handles.
  HLOCAL l = LocalAlloc(LHND, 8);
  void *address = LocalLock(l);
  EXPECT_EQ(GlobalLock(l), address);
  GlobalUnlock(l);
  LocalUnlock(l);
  EXPECT_EQ(LocalReAlloc(l, 64, LMEM_MOVEABLE | LMEM_ZEROINIT), l);
  EXPECT_TRUE(LocalSize(l) == 64 && LocalFree(l) == nullptr);
}

TEST(Files, OpenModesReadWriteSeek) {
  const std::string name = pxv_test::scratch_path("files.bin");
  OFSTRUCT of;
  EXPECT_TRUE(OpenFile(name.c_str(), &of, OF_EXIST) == HFILE_ERROR && OpenFile(name.c_str(), &of, OF_READ) == HFILE_ERROR);
  HFILE f = OpenFile(name.c_str(), &of, OF_CREATE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_TRUE(_lwrite(f, "0123456789", 10) == 10 && _llseek(f, -4, 2) == 6);
  char buffer[16] = {};
  EXPECT_TRUE(_lread(f, buffer, 16) == 4u && std::string(buffer) == "6789") << "short at the end of the file";
  EXPECT_TRUE(_llseek(f, 5, 0) == 5 && _lwrite(f, "", 0) == 0u) << "a write of nothing cuts the file here";
  EXPECT_TRUE(_llseek(f, 0, 2) == 5 && _lclose(f) == 0);
  f = OpenFile(name.c_str(), &of, OF_READ);
  EXPECT_EQ(_lwrite(f, "x", 1), static_cast<UINT>(HFILE_ERROR)) << "read-only handle";
  _lclose(f);
  f = OpenFile(name.c_str(), &of, OF_READWRITE);
  EXPECT_EQ(_lwrite(f, "AB", 2), 2u);
  // The library's streams pass a file handle through; its length leaves the position alone.
  EXPECT_TRUE(img_filelength(f) == 5 && img_read_mem(f, buffer, 8) == 3 && img_seek_mem(f, -1, kSeekSet) == -1);
  _lclose(f);
  EXPECT_EQ(pxv_test::read_file(name), (pxv_test::Bytes{'A', 'B', '2', '3', '4'}));
  f = OpenFile(name.c_str(), &of, OF_CREATE);
  EXPECT_EQ(_llseek(f, 0, 2), 0) << "OF_CREATE empties an existing file";
  _lclose(f);
  EXPECT_TRUE(OpenFile(name.c_str(), &of, OF_DELETE) == 1 && !pxv_test::file_exists(name));
  EXPECT_EQ(OpenFile(pxv_test::scratch_dir().c_str(), &of, OF_READ), HFILE_ERROR) << "a folder is not a file";
}

TEST(Strings, WsprintfConversionsAndItsLimit) {
  char out[2048];
  EXPECT_EQ(wsprintfA(out, "%d|%u|%ld|%s|%x|%%", -5, 4000000000u, static_cast<LONG>(-70000), "ab", 0xBEEFu), 30);
  EXPECT_STREQ(out, "-5|4000000000|-70000|ab|beef|%");
  wsprintfA(out, "%04d|%-4d|%5s|%X|%08lx|%c|%05d", 7, 3, "x", 255u, static_cast<DWORD>(0x1234), 'q', -42);
  EXPECT_STREQ(out, "0007|3   |    x|FF|00001234|q|-0042");
  // Output stops at 1023 characters and a terminator, and then answers the buffer's 1024, as on
  // Win32.
  EXPECT_TRUE(wsprintfA(out, "%s", std::string(1500, 'z').c_str()) == 1024 && std::strlen(out) == 1023);
  EXPECT_EQ(lstrcmpiA(".TIF", ".tif"), 0);
}

TEST(MemoryStream, ReadsWritesSeeksAndTheBoundedForm) {
  std::uint8_t block[32] = {};
  reset_mem_io(block);
  // The length is what was written so far.
  EXPECT_TRUE(img_write_mem(kMemoryStream, "0123456789", 10) == 10 && img_seek_mem(kMemoryStream, -4, kSeekCur) == 0 && img_filelength(kMemoryStream) == 6);
  char got[8];
  EXPECT_TRUE(img_read_mem(kMemoryStream, got, 4) == 4 && std::memcmp(got, "6789", 4) == 0);
  // The end of caller memory is unknown: a seek from the end lands at the start.
  EXPECT_TRUE(img_seek_mem(kMemoryStream, -2, kSeekEnd) == 0 && mem_io_offset == 0);
  reset_mem_io_bounded(block, 6);
  EXPECT_TRUE(img_read_mem(kMemoryStream, got, 8) == 6 && img_read_mem(kMemoryStream, got, 8) == 0);
  img_seek_mem(kMemoryStream, 4, kSeekSet);
  EXPECT_EQ(img_write_mem(kMemoryStream, "abcd", 4), 2);
  EXPECT_TRUE(block[5] == 'b' && block[6] == '6') << "nothing written past the bound";
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
  EXPECT_TRUE(img_fmalloc(16) == nullptr && img_work_blocks_in_use() == 0);
}

TEST(SizeRules, RowBytes) {
  const int rows[][3] = {{1, 1, 4}, {1, 24, 4}, {33, 1, 8}, {5, 24, 16}, {9, 4, 8}, {6, 16, 8}, {0, 8, 0}, {-1, 8, -1}};
  for (const auto &r : rows) EXPECT_EQ(size_for_long(r[0], r[1]), r[2]) << r[0] << " pixels of " << r[1] << " bits";
  EXPECT_EQ(size_for_long(0x7FFFFFFF, 24), -1) << "a row beyond 32 bits is no row";
}

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
  EXPECT_TRUE(declared == listed && declared.size() >= 22);
}

}  // namespace
