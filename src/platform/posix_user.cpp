// The Win32 user subset on POSIX: windows with client surfaces that hold real pixels, their
// device contexts, and the active window. Windows are not GDI objects: a test counting live GDI
// objects sees a window's device contexts, not the window.
#include <cstdint>
#include <map>
#include <memory>

#include "platform/posix_gdi_model.h"
#include "platform/win32.h"

namespace {

struct Window {
  pxv_gdi::Surface client;
};

// Window handles are serial numbers that are never reused, so a handle kept past
// PxvDestroyWindow is refused instead of reaching a later window. The map is ordered by
// creation, which makes the newest remaining window the active one.
struct WindowState {
  std::map<std::uintptr_t, std::unique_ptr<Window>> windows;
  std::uintptr_t next_handle = 0x10001;  // odd: GDI handles are even
};

WindowState &window_state() {
  static auto *state = new WindowState;
  return *state;
}

Window *find_window(HWND window) {
  auto it = window_state().windows.find(reinterpret_cast<std::uintptr_t>(window));
  return it == window_state().windows.end() ? nullptr : it->second.get();
}

}  // namespace

namespace pxv_gdi {

Surface *window_surface(HWND window) {
  Window *w = find_window(window);
  return w == nullptr ? nullptr : &w->client;
}

}  // namespace pxv_gdi

extern "C" {

HWND PxvCreateWindow(int width, int height) {
  auto w = std::make_unique<Window>();
  if (!pxv_gdi::surface_make(w->client, width, height, pxv_gdi::screen_depth(), true))
    return nullptr;
  WindowState &s = window_state();
  const std::uintptr_t handle = s.next_handle;
  s.next_handle += 2;
  s.windows[handle] = std::move(w);
  return reinterpret_cast<HWND>(handle);
}

BOOL PxvDestroyWindow(HWND window) {
  if (find_window(window) == nullptr) return FALSE;
  // Device contexts on the window go with it: their surface is gone.
  pxv_gdi::window_dcs_release(window);
  window_state().windows.erase(reinterpret_cast<std::uintptr_t>(window));
  return TRUE;
}

HWND WINAPI GetActiveWindow(void) {
  const WindowState &s = window_state();
  if (s.windows.empty()) return nullptr;
  return reinterpret_cast<HWND>(s.windows.rbegin()->first);
}

HDC WINAPI GetDC(HWND window) {
  // GetDC(NULL) is the whole screen's context; any other handle must be a live window.
  if (window != nullptr && find_window(window) == nullptr) return nullptr;
  return pxv_gdi::window_dc_create(window);
}

int WINAPI ReleaseDC(HWND window, HDC dc) {
  // As in Wine, the context alone decides; the window argument is not checked against it.
  return pxv_gdi::window_dc_release(dc) ? 1 : 0;
}

}  // extern "C"
