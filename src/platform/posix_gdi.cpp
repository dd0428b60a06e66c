// GDI objects on POSIX. Only logical palettes exist so far: the image records own one each
// and delete it with the image. Objects are looked up before use, so a stale handle is refused.
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/win32.h"

namespace {

struct PaletteObject {
  std::vector<PALETTEENTRY> entries;
};

std::unordered_map<const void *, PaletteObject *> &palettes() {
  static auto *table = new std::unordered_map<const void *, PaletteObject *>;
  return *table;
}

}  // namespace

extern "C" {

HPALETTE WINAPI CreatePalette(const LOGPALETTE *palette) {
  // Version 0x300 is the only one GDI knows; 0 entries or more than 1024 are refused.
  if (palette == nullptr || palette->palVersion != 0x300 || palette->palNumEntries == 0 ||
      palette->palNumEntries > 1024)
    return nullptr;
  auto *p = new PaletteObject;
  p->entries.assign(palette->palPalEntry, palette->palPalEntry + palette->palNumEntries);
  palettes()[p] = p;
  return p;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  auto it = palettes().find(object);
  if (it == palettes().end()) return FALSE;
  delete it->second;
  palettes().erase(it);
  return TRUE;
}

UINT WINAPI GetPaletteEntries(HPALETTE palette, UINT start, UINT count, PALETTEENTRY *entries) {
  auto it = palettes().find(palette);
  if (it == palettes().end()) return 0;
  const auto &all = it->second->entries;
  if (entries == nullptr) return static_cast<UINT>(all.size());
  if (start >= all.size()) return 0;
  UINT n = static_cast<UINT>(all.size()) - start;
  if (count < n) n = count;
  std::memcpy(entries, all.data() + start, n * sizeof(PALETTEENTRY));
  return n;
}

}  // extern "C"
