// The Win32 kernel stand-in: exactly what the library and its hosts rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32.h"
#include "support.h"

namespace {

TEST(GlobalMemory, LockCountsHandleLookupAndFixedBlocks) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 100);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalSize(h), 100u);
  auto *p = static_cast<unsigned char *>(GlobalLock(h));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[99], 0) << "GMEM_ZEROINIT must clear";
  EXPECT_EQ(GlobalLock(h), p) << "a second lock sees the same address";
  EXPECT_EQ(GlobalHandle(p), h);
  EXPECT_EQ(GlobalHandle(p + 1), nullptr) << "only a block's start maps back";
  EXPECT_TRUE(GlobalUnlock(h)) << "still locked once";
  EXPECT_FALSE(GlobalUnlock(h)) << "now unlocked";
  EXPECT_FALSE(GlobalUnlock(h)) << "unlocking an unlocked block fails";
  EXPECT_EQ(GlobalFree(h), nullptr);
  // A freed or invented handle is refused without touching memory.
  EXPECT_EQ(GlobalLock(h), nullptr);
  EXPECT_EQ(GlobalFree(h), h);
  int dummy = 0;
  EXPECT_EQ(GlobalSize(&dummy), 0u);
  HGLOBAL fixed = GlobalAlloc(GPTR, 16);
  EXPECT_EQ(GlobalLock(fixed), fixed) << "a fixed block's handle is its address";
  EXPECT_EQ(GlobalHandle(fixed), fixed);
  GlobalUnlock(fixed);
  EXPECT_EQ(GlobalFree(fixed), nullptr);
}

TEST(GlobalMemory, ReAllocKeepsContentAndMovesOnlyWhereAllowed) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
  std::memcpy(GlobalLock(h), "abcd", 4);
  EXPECT_EQ(GlobalReAlloc(h, 65536, 0), nullptr) << "a locked block moves only when GMEM_MOVEABLE allows it";
  ASSERT_EQ(GlobalReAlloc(h, 4096, GMEM_MOVEABLE | GMEM_ZEROINIT), h) << "a movable block keeps its handle";
  auto *p = static_cast<unsigned char *>(GlobalLock(h));
  EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
  EXPECT_EQ(p[4095], 0);
  GlobalUnlock(h);
  GlobalUnlock(h);
  EXPECT_EQ(GlobalReAlloc(h, 65536, 0), h) << "an unlocked movable block may always move";
  GlobalFree(h);
  HGLOBAL fixed = GlobalAlloc(GMEM_FIXED, 4);
  EXPECT_EQ(GlobalReAlloc(fixed, 65536, 0), nullptr) << "a fixed block moves only when allowed";
  HGLOBAL moved = GlobalReAlloc(fixed, 65536, GMEM_MOVEABLE);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(GlobalFree(moved), nullptr);
  // Local and global blocks come from one heap: either family takes the other's handles.
  HLOCAL l = LocalAlloc(LHND, 8);
  void *address = LocalLock(l);
  EXPECT_EQ(GlobalLock(l), address);
  GlobalUnlock(l);
  LocalUnlock(l);
  EXPECT_EQ(LocalReAlloc(l, 64, LMEM_MOVEABLE | LMEM_ZEROINIT), l);
  EXPECT_EQ(LocalSize(l), 64u);
  EXPECT_EQ(LocalFree(l), nullptr);
}

TEST(Files, OpenModesReadWriteSeek) {
  const std::string name = pxv_test::scratch_path("files.bin");
  OFSTRUCT of;
  EXPECT_EQ(OpenFile(name.c_str(), &of, OF_EXIST), HFILE_ERROR);
  EXPECT_EQ(OpenFile(name.c_str(), &of, OF_READ), HFILE_ERROR);
  HFILE f = OpenFile(name.c_str(), &of, OF_CREATE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(_lwrite(f, "0123456789", 10), 10u);
  EXPECT_EQ(_llseek(f, -4, 2), 6);
  char buffer[16] = {};
  EXPECT_EQ(_lread(f, buffer, 16), 4u) << "short at the end of the file";
  EXPECT_STREQ(buffer, "6789");
  EXPECT_EQ(_llseek(f, 5, 0), 5);
  EXPECT_EQ(_lwrite(f, "", 0), 0u) << "a write of nothing cuts the file here";
  EXPECT_EQ(_llseek(f, 0, 2), 5);
  EXPECT_EQ(_lclose(f), 0);
  f = OpenFile(name.c_str(), &of, OF_READ);
  EXPECT_EQ(_lwrite(f, "x", 1), static_cast<UINT>(HFILE_ERROR)) << "read-only handle";
  _lclose(f);
  f = OpenFile(name.c_str(), &of, OF_READWRITE);
  EXPECT_EQ(_lwrite(f, "AB", 2), 2u);
  _lclose(f);
  EXPECT_EQ(pxv_test::read_file(name), (pxv_test::Bytes{'A', 'B', '2', '3', '4'}));
  f = OpenFile(name.c_str(), &of, OF_CREATE);
  EXPECT_EQ(_llseek(f, 0, 2), 0) << "OF_CREATE empties an existing file";
  _lclose(f);
  EXPECT_EQ(OpenFile(name.c_str(), &of, OF_DELETE), 1);
  EXPECT_FALSE(pxv_test::file_exists(name));
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
  EXPECT_EQ(wsprintfA(out, "%s", std::string(1500, 'z').c_str()), 1024);
  EXPECT_EQ(std::strlen(out), 1023u);
  EXPECT_EQ(lstrcmpiA(".TIF", ".tif"), 0);
}

}  // namespace
