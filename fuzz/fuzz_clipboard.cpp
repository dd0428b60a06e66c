// Any byte string put on the clipboard as a packed DIB and written by IMG_save_clipboard. Every
// header the writer accepts must be bounded by the block; every byte it writes is read back, so
// that one it never set shows up under the sanitizers.
#include "fuzz_common.h"

namespace {

void empty_clipboard() {
  OpenClipboard(nullptr);
  EmptyClipboard();
  CloseClipboard();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  pxv_platform::set_block_limit(std::size_t{16} << 20);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size != 0 ? size : 1);
  if (block == nullptr) return 0;
  if (size != 0) std::memcpy(GlobalLock(block), data, size), GlobalUnlock(block);
  OpenClipboard(nullptr);
  EmptyClipboard();
  SetClipboardData(CF_DIB, block);
  CloseClipboard();
  std::remove(pxv_fuzz::scratch_file());
  const int rc = IMG_save_clipboard(pxv_fuzz::scratch_file(), nullptr);
  if (rc != 1 && rc != PXV_ERR_GDI && rc != PXV_ERR_NO_MEMORY) std::abort();
  unsigned sum = 0;
  if (FILE *f = std::fopen(pxv_fuzz::scratch_file(), "rb")) {
    if (rc != 1) std::abort();  // a refusal makes no file
    for (int c; (c = std::fgetc(f)) != EOF;) sum += static_cast<unsigned>(c);
    std::fclose(f);
  }
  empty_clipboard();
  return static_cast<int>(sum & 0);
}
