// The Win32 kernel stand-in: exactly what the library and its hosts rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support.h"

namespace {

TEST(GlobalMemory, LockCountsAndHandleLookup) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 100);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalSize(h), 100u);
  auto *p = static_cast<unsigned char *>(GlobalLock(h));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << "GMEM_ZEROINIT must clear";
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
  EXPECT_EQ(GlobalLock(&dummy), nullptr);
  EXPECT_EQ(GlobalSize(&dummy), 0u);
}

TEST(GlobalMemory, FixedBlockHandleIsItsAddress) {
  HGLOBAL h = GlobalAlloc(GPTR, 16);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalLock(h), h);
  EXPECT_EQ(GlobalHandle(h), h);
  GlobalUnlock(h);
  EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, ReAllocKeepsContentAndMayMoveOnlyWhenUnlocked) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
  auto *p = static_cast<unsigned char *>(GlobalLock(h));
  std::memcpy(p, "abcd", 4);
  EXPECT_EQ(GlobalReAlloc(h, 4096, GMEM_MOVEABLE), nullptr) << "a locked block cannot grow";
  GlobalUnlock(h);
  HGLOBAL g = GlobalReAlloc(h, 4096, GMEM_MOVEABLE | GMEM_ZEROINIT);
  ASSERT_EQ(g, h) << "a movable block keeps its handle";
  p = static_cast<unsigned char *>(GlobalLock(g));
  EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
  EXPECT_EQ(p[4095], 0);
  GlobalUnlock(g);
  GlobalFree(g);
}

TEST(GlobalMemory, BlockLimitAndInjectedFailures) {
  std::size_t old = pxv_platform::block_limit();
  pxv_platform::set_block_limit(1000);
  EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 1001), nullptr);
  HGLOBAL ok = GlobalAlloc(GMEM_MOVEABLE, 1000);
  EXPECT_NE(ok, nullptr);
  GlobalFree(ok);
  pxv_platform::set_block_limit(old);

  pxv_platform::fail_allocation(2);
  HGLOBAL first = GlobalAlloc(GMEM_MOVEABLE, 8);
  HLOCAL second = LocalAlloc(LMEM_MOVEABLE, 8);
  HGLOBAL third = GlobalAlloc(GMEM_MOVEABLE, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr) << "the second allocation from now fails";
  EXPECT_NE(third, nullptr) << "one failure only";
  GlobalFree(first);
  GlobalFree(third);
}

TEST(LocalMemory, KeptApartFromGlobalHandles) {
  HLOCAL l = LocalAlloc(LHND, 8);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(GlobalLock(l), nullptr) << "a local handle is no global handle";
  void *p = LocalLock(l);
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(GlobalHandle(p), nullptr);
  LocalUnlock(l);
  HLOCAL grown = LocalReAlloc(l, 64, LMEM_MOVEABLE | LMEM_ZEROINIT);
  EXPECT_EQ(grown, l);
  EXPECT_EQ(LocalSize(grown), 64u);
  EXPECT_EQ(LocalFree(grown), nullptr);
}

TEST(Files, OpenModesReadWriteSeek) {
  std::string name = pxv_test::scratch_path("files.bin");
  OFSTRUCT of;
  EXPECT_EQ(OpenFile(name.c_str(), &of, OF_EXIST), HFILE_ERROR);
  EXPECT_EQ(OpenFile(name.c_str(), &of, OF_READ), HFILE_ERROR);
  HFILE f = OpenFile(name.c_str(), &of, OF_CREATE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_NE(f, 32767);
  EXPECT_EQ(_lwrite(f, "0123456789", 10), 10u);
  EXPECT_EQ(_llseek(f, 0, 1), 10);
  EXPECT_EQ(_llseek(f, -4, 2), 6);
  char buffer[16] = {};
  EXPECT_EQ(_lread(f, buffer, 16), 4u) << "short at the end of the file";
  EXPECT_STREQ(buffer, "6789");
  EXPECT_EQ(_llseek(f, 5, 0), 5);
  EXPECT_EQ(_lwrite(f, "", 0), 0u) << "a write of nothing cuts the file here";
  EXPECT_EQ(_llseek(f, 0, 2), 5);
  EXPECT_EQ(_lclose(f), 0);

  EXPECT_EQ(OpenFile(name.c_str(), &of, OF_EXIST), 1);
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
  EXPECT_EQ(OpenFile("", &of, OF_READ), HFILE_ERROR);
  EXPECT_EQ(OpenFile(pxv_test::scratch_dir().c_str(), &of, OF_READ), HFILE_ERROR)
      << "a folder is not a file";
}

TEST(Files, WriteCapCutsWritesShort) {
  std::string name = pxv_test::scratch_path("capped.bin");
  OFSTRUCT of;
  pxv_platform::cap_next_file_writes(6);
  HFILE f = OpenFile(name.c_str(), &of, OF_CREATE);
  EXPECT_EQ(_lwrite(f, "abcd", 4), 4u);
  EXPECT_EQ(_lwrite(f, "efgh", 4), 2u);
  EXPECT_EQ(_lwrite(f, "ijkl", 4), 0u);
  _lclose(f);
  f = OpenFile(name.c_str(), &of, OF_READWRITE);
  EXPECT_EQ(_lwrite(f, "zz", 2), 2u) << "the cap applied to one file only";
  _lclose(f);
}

TEST(Strings, CompareCopyLength) {
  EXPECT_EQ(lstrcmpiA(".TIF", ".tif"), 0);
  EXPECT_LT(lstrcmpiA("abc", "ABD"), 0);
  EXPECT_GT(lstrcmpiA("abcd", "ABC"), 0);
  EXPECT_EQ(lstrlenA("hello"), 5);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  char buffer[8];
  EXPECT_EQ(lstrcpyA(buffer, "pxv"), buffer);
  EXPECT_STREQ(buffer, "pxv");
}

TEST(Strings, WsprintfConversions) {
  char out[2048];
  EXPECT_EQ(wsprintfA(out, "%d|%u|%ld|%s|%x|%%", -5, 4000000000u, static_cast<LONG>(-70000), "ab",
                      0xBEEFu),
            30);
  EXPECT_STREQ(out, "-5|4000000000|-70000|ab|beef|%");
  wsprintfA(out, "%04d|%-4d|%5s|%X|%08lx|%c", 7, 3, "x", 255u, static_cast<DWORD>(0x1234), 'q');
  EXPECT_STREQ(out, "0007|3   |    x|FF|00001234|q");
  wsprintfA(out, "%05d", -42);
  EXPECT_STREQ(out, "-0042");
  // Output stops at 1023 characters and a terminator, as on Win32.
  std::string big(1500, 'z');
  EXPECT_EQ(wsprintfA(out, "%s", big.c_str()), 1023);
  EXPECT_EQ(std::strlen(out), 1023u);
}

TEST(Palettes, CreateReadDelete) {
  alignas(LOGPALETTE) unsigned char storage[sizeof(LOGPALETTE) + 3 * sizeof(PALETTEENTRY)] = {};
  auto *lp = reinterpret_cast<LOGPALETTE *>(storage);
  lp->palVersion = 0x300;
  lp->palNumEntries = 4;
  for (int i = 0; i < 4; ++i) lp->palPalEntry[i] = {BYTE(i), BYTE(2 * i), BYTE(3 * i), 0};
  HPALETTE p = CreatePalette(lp);
  ASSERT_NE(p, nullptr);
  PALETTEENTRY back[4];
  EXPECT_EQ(GetPaletteEntries(p, 1, 8, back), 3u);
  EXPECT_EQ(back[2].peBlue, 9);
  EXPECT_TRUE(DeleteObject(p));
  EXPECT_FALSE(DeleteObject(p)) << "a deleted object is refused";
}

}  // namespace
