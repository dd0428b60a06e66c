// The Win32 user subset on POSIX: windows with client surfaces that hold real pixels, their
// device contexts, window procedures and painting, mouse capture, posted messages, modal dialogs
// and the clipboard. Windows are not GDI objects: a test counting live GDI objects sees a
// window's device contexts, not the window.
//
// The model:
// - Windows have no frame: a window's rectangle and its client area have one size. They start
//   with nothing to paint, except a dialog, which starts wholly invalid as a window just shown.
//   Paint contexts do not clip to the update region.
// - There is one thread and one message queue. Nothing reads the queue but a modal dialog's loop,
//   which runs while DialogBoxParamA does: a host feeds it from WM_ENTERIDLE, which the loop sends
//   to the dialog's owner whenever the queue runs dry, as Windows does.
// - The clipboard holds exactly what was put on it: no format is synthesised from another, so a
//   reader that prefers one format over another meets each alone.
// Every window, class, template and queued message is found by value before use, and a callback
// may destroy any window at any time: no pointer into the tables is kept across a call out.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix_gdi_model.h"
#include "platform/win32.h"

namespace {

// Windows refuses to post beyond this many messages to one queue.
constexpr std::size_t kMaxQueued = 10000;
// A dialog whose procedure keeps posting to itself ends after this many messages, like one whose
// queue ran dry, instead of looping for ever.
constexpr long kMaxDialogMessages = 1L << 20;
constexpr int kMaxSide = pxv_gdi::kMaxSurfaceSide;
constexpr ATOM kFirstAtom = 0xC000;  // where Windows numbers registered classes from
constexpr std::uintptr_t kMaxIntResource = 0xFFFF;  // names at or below are MAKEINTRESOURCE ids
constexpr INT_PTR kDialogFailed = -1;
constexpr INT_PTR kDialogGivenUp = IDCANCEL;  // the result of a dialog nobody ended

// A modal dialog's loop, while it runs: where EndDialog leaves its result.
struct DialogRun {
  bool ended = false;
  INT_PTR result = 0;
};

struct Window {
  pxv_gdi::Surface client;
  RECT rect{};                    // in screen coordinates; the client area is its size
  HWND owner = nullptr;
  WNDPROC proc = nullptr;         // null: DefWindowProcA
  DLGPROC dialog_proc = nullptr;  // a dialog's procedure
  DialogRun *run = nullptr;       // a dialog's loop, while it runs
  bool invalid = false;           // the update region, kept as its bounding rectangle
  bool erase = false;
  RECT update{};
  bool destroying = false;
};

struct WindowClass {
  std::string name;
  WNDPROC proc;
};

struct Posted {
  HWND window;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};

struct DialogTemplate {
  HINSTANCE instance;
  std::string name;
  int width, height;
};

struct Clipboard {
  bool open = false;
  HWND opener = nullptr;
  std::map<UINT, HANDLE> data;  // owned: global blocks, or a bitmap for CF_BITMAP
};

// Window handles are serial numbers that are never reused, so a handle kept past DestroyWindow
// is refused instead of reaching a later window.
struct UserState {
  std::map<std::uintptr_t, std::unique_ptr<Window>> windows;
  std::uintptr_t next_handle = 0x10001;  // odd: GDI handles are even
  HWND active = nullptr;
  HWND capture = nullptr;
  std::vector<WindowClass> classes;
  std::deque<Posted> queue;
  std::vector<DialogTemplate> templates;
  Clipboard clipboard;
};

UserState &user() {
  static auto *state = new UserState;
  return *state;
}

Window *find_window(HWND window) {
  auto it = user().windows.find(reinterpret_cast<std::uintptr_t>(window));
  return it == user().windows.end() ? nullptr : it->second.get();
}

int rect_width(const RECT &r) { return r.right - r.left; }
int rect_height(const RECT &r) { return r.bottom - r.top; }

// A resource name as the registry keys it: MAKEINTRESOURCE ids as "#id", as Windows writes them.
std::string resource_name(LPCSTR name) {
  const auto value = reinterpret_cast<std::uintptr_t>(name);
  if (value <= kMaxIntResource) return "#" + std::to_string(value);
  return name;
}

HWND create_window(int x, int y, int width, int height, HWND owner) {
  auto w = std::make_unique<Window>();
  if (!pxv_gdi::surface_make(w->client, width, height, pxv_gdi::screen_depth(), true))
    return nullptr;
  w->rect = {x, y, x + width, y + height};
  w->owner = owner;
  UserState &s = user();
  const std::uintptr_t handle = s.next_handle;
  s.next_handle += 2;
  s.windows[handle] = std::move(w);
  s.active = reinterpret_cast<HWND>(handle);
  return s.active;
}

// Sends a message to a window's procedure (a dialog's, then the default handling for what it
// leaves), or to DefWindowProcA. 0 for a window that is gone.
LRESULT deliver(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  Window *w = find_window(window);
  if (w == nullptr) return 0;
  if (DLGPROC dialog = w->dialog_proc) {
    const INT_PTR handled = dialog(window, message, wparam, lparam);
    if (handled != 0 || message == WM_INITDIALOG) return handled;
    return DefWindowProcA(window, message, wparam, lparam);
  }
  if (WNDPROC proc = w->proc) return proc(window, message, wparam, lparam);
  return DefWindowProcA(window, message, wparam, lparam);
}

// Sends WM_ERASEBKGND with a context of its own; true when the window erased.
bool erase_background(HWND window, HDC dc) {
  return deliver(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) != 0;
}

HWND first_invalid_window() {
  for (const auto &[handle, w] : user().windows)
    if (w->invalid) return reinterpret_cast<HWND>(handle);
  return nullptr;
}

bool next_posted(Posted *out) {
  std::deque<Posted> &queue = user().queue;
  if (queue.empty()) return false;
  *out = queue.front();
  queue.pop_front();
  return true;
}

void free_clipboard_data(UINT format, HANDLE data) {
  if (format == CF_BITMAP)
    DeleteObject(data);
  else
    GlobalFree(data);
}

}  // namespace

namespace pxv_gdi {

Surface *window_surface(HWND window) {
  Window *w = find_window(window);
  return w == nullptr ? nullptr : &w->client;
}

}  // namespace pxv_gdi

extern "C" {

// ---------------------------------------------------------------------------------------------
// Windows.

HWND PxvCreateWindow(int width, int height) {
  return create_window(0, 0, width, height, nullptr);
}

BOOL PxvDestroyWindow(HWND window) { return DestroyWindow(window); }

ATOM WINAPI RegisterClassA(const WNDCLASSA *window_class) {
  if (window_class == nullptr || window_class->lpfnWndProc == nullptr ||
      window_class->lpszClassName == nullptr)
    return 0;
  std::vector<WindowClass> &classes = user().classes;
  const std::string name = resource_name(window_class->lpszClassName);
  for (const WindowClass &c : classes)
    if (lstrcmpiA(c.name.c_str(), name.c_str()) == 0) return 0;  // already registered
  if (classes.size() >= 0xFFFFu - kFirstAtom) return 0;
  classes.push_back({name, window_class->lpfnWndProc});
  return static_cast<ATOM>(kFirstAtom + classes.size() - 1);
}

HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
  if (class_name == nullptr || (parent != nullptr && find_window(parent) == nullptr)) return nullptr;
  const std::string name = resource_name(class_name);
  WNDPROC proc = nullptr;
  for (const WindowClass &c : user().classes)
    if (lstrcmpiA(c.name.c_str(), name.c_str()) == 0) proc = c.proc;
  if (proc == nullptr) return nullptr;
  // Default positions are the screen's corner; a size must be given.
  if (x == CW_USEDEFAULT) x = 0;
  if (y == CW_USEDEFAULT) y = 0;
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || x < -kMaxSide ||
      y < -kMaxSide || x > kMaxSide || y > kMaxSide)
    return nullptr;
  HWND window = create_window(x, y, width, height, parent);
  if (window == nullptr) return nullptr;
  find_window(window)->proc = proc;
  CREATESTRUCTA create{param,  instance, menu,        parent,     height,  width,
                       y,      x,        LONG(style), window_name, class_name, ex_style};
  if (deliver(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(window);
    return nullptr;
  }
  return window;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      // Painting nothing still validates, so the window is not asked again.
      PAINTSTRUCT paint;
      if (BeginPaint(window, &paint) != nullptr) EndPaint(window, &paint);
      return 0;
    }
    case WM_ERASEBKGND: {
      // The background is white: the update region, or the whole client area when none.
      Window *w = find_window(window);
      if (w == nullptr) return 0;
      const RECT r = w->invalid ? w->update : RECT{0, 0, w->client.width, w->client.height};
      PatBlt(reinterpret_cast<HDC>(wparam), r.left, r.top, rect_width(r), rect_height(r),
             WHITENESS);
      return 1;
    }
    default: return 0;
  }
}

BOOL WINAPI DestroyWindow(HWND window) {
  Window *w = find_window(window);
  if (w == nullptr || w->destroying) return FALSE;
  w->destroying = true;
  const HWND owner = w->owner;
  // Owned windows go first, as on Windows.
  std::vector<HWND> owned;
  for (const auto &[handle, other] : user().windows)
    if (other->owner == window) owned.push_back(reinterpret_cast<HWND>(handle));
  for (HWND o : owned) DestroyWindow(o);
  deliver(window, WM_DESTROY, 0, 0);
  UserState &s = user();
  // Device contexts on the window go with it: their surface is gone.
  pxv_gdi::window_dcs_release(window);
  std::erase_if(s.queue, [window](const Posted &p) { return p.window == window; });
  if (s.capture == window) s.capture = nullptr;
  s.windows.erase(reinterpret_cast<std::uintptr_t>(window));
  if (s.active == window) {
    // The owner takes over, else the newest window left.
    if (find_window(owner) != nullptr)
      s.active = owner;
    else
      s.active = s.windows.empty() ? nullptr : reinterpret_cast<HWND>(s.windows.rbegin()->first);
  }
  return TRUE;
}

BOOL WINAPI IsWindow(HWND window) { return find_window(window) != nullptr; }

HWND WINAPI GetActiveWindow(void) { return find_window(user().active) ? user().active : nullptr; }

BOOL WINAPI GetWindowRect(HWND window, LPRECT rect) {
  Window *w = find_window(window);
  if (w == nullptr || rect == nullptr) return FALSE;
  *rect = w->rect;
  return TRUE;
}

BOOL WINAPI GetClientRect(HWND window, LPRECT rect) {
  Window *w = find_window(window);
  if (w == nullptr || rect == nullptr) return FALSE;
  *rect = {0, 0, w->client.width, w->client.height};
  return TRUE;
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

// ---------------------------------------------------------------------------------------------
// Painting.

BOOL WINAPI InvalidateRect(HWND window, const RECT *rect, BOOL erase) {
  if (window == nullptr) {
    // As on Windows, no window means every window.
    for (const auto &entry : user().windows)
      InvalidateRect(reinterpret_cast<HWND>(entry.first), rect, erase);
    return TRUE;
  }
  Window *w = find_window(window);
  if (w == nullptr) return FALSE;
  RECT r{0, 0, w->client.width, w->client.height};
  if (rect != nullptr)
    r = {std::max(r.left, rect->left), std::max(r.top, rect->top),
         std::min(r.right, rect->right), std::min(r.bottom, rect->bottom)};
  if (r.left >= r.right || r.top >= r.bottom) return TRUE;
  if (w->invalid)
    r = {std::min(r.left, w->update.left), std::min(r.top, w->update.top),
         std::max(r.right, w->update.right), std::max(r.bottom, w->update.bottom)};
  w->update = r;
  w->invalid = true;
  w->erase = w->erase || erase != FALSE;
  return TRUE;
}

BOOL WINAPI GetUpdateRect(HWND window, LPRECT rect, BOOL erase) {
  Window *w = find_window(window);
  if (w == nullptr) return FALSE;
  if (rect != nullptr) *rect = w->invalid ? w->update : RECT{0, 0, 0, 0};
  if (!w->invalid) return FALSE;
  if (erase != FALSE && w->erase) {
    w->erase = false;
    if (HDC dc = pxv_gdi::window_dc_create(window)) {
      erase_background(window, dc);
      pxv_gdi::window_dc_release(dc);
    }
  }
  return TRUE;
}

BOOL WINAPI UpdateWindow(HWND window) {
  Window *w = find_window(window);
  if (w == nullptr) return FALSE;
  if (w->invalid) deliver(window, WM_PAINT, 0, 0);
  return TRUE;
}

HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint) {
  if (find_window(window) == nullptr || paint == nullptr) return nullptr;
  HDC dc = pxv_gdi::window_dc_create(window);
  if (dc == nullptr) return nullptr;
  Window *w = find_window(window);
  *paint = PAINTSTRUCT{};
  paint->hdc = dc;
  paint->rcPaint = w->invalid ? w->update : RECT{0, 0, 0, 0};
  if (w->erase) {
    w->erase = false;
    // fErase tells the caller that the background is still to be erased.
    paint->fErase = erase_background(window, dc) ? FALSE : TRUE;
  }
  if ((w = find_window(window)) != nullptr) w->invalid = false;
  return dc;
}

BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint) {
  if (paint == nullptr) return FALSE;
  pxv_gdi::window_dc_release(paint->hdc);
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Mouse capture and messages.

HWND WINAPI SetCapture(HWND window) {
  UserState &s = user();
  const HWND previous = find_window(s.capture) != nullptr ? s.capture : nullptr;
  if (find_window(window) != nullptr) s.capture = window;
  return previous;
}

BOOL WINAPI ReleaseCapture(void) {
  user().capture = nullptr;
  return TRUE;
}

HWND WINAPI GetCapture(void) { return find_window(user().capture) ? user().capture : nullptr; }

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return deliver(window, message, wparam, lparam);
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  UserState &s = user();
  if (find_window(window) == nullptr || s.queue.size() >= kMaxQueued) return FALSE;
  s.queue.push_back({window, message, wparam, lparam});
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Modal dialogs.

BOOL PxvRegisterDialog(HINSTANCE instance, LPCSTR name, int width, int height) {
  if (name == nullptr) return FALSE;
  std::vector<DialogTemplate> &templates = user().templates;
  const std::string key = resource_name(name);
  std::erase_if(templates, [&](const DialogTemplate &t) {
    return t.instance == instance && lstrcmpiA(t.name.c_str(), key.c_str()) == 0;
  });
  if (width == 0 && height == 0) return TRUE;
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return FALSE;
  templates.push_back({instance, key, width, height});
  return TRUE;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner,
                               DLGPROC procedure, LPARAM init_param) {
  if (template_name == nullptr || procedure == nullptr ||
      (owner != nullptr && find_window(owner) == nullptr))
    return kDialogFailed;
  const std::string key = resource_name(template_name);
  const DialogTemplate *found = nullptr;
  for (const DialogTemplate &t : user().templates)
    if (t.instance == instance && lstrcmpiA(t.name.c_str(), key.c_str()) == 0) found = &t;
  if (found == nullptr) return kDialogFailed;
  HWND dialog = create_window(0, 0, found->width, found->height, owner);
  if (dialog == nullptr) return kDialogFailed;
  DialogRun run;
  Window *w = find_window(dialog);
  w->dialog_proc = procedure;
  w->run = &run;
  InvalidateRect(dialog, nullptr, TRUE);  // shown: all of it is to be painted

  deliver(dialog, WM_INITDIALOG, 0, init_param);
  if (find_window(dialog) != nullptr) {
    user().active = dialog;
    deliver(dialog, WM_PAINT, 0, 0);
  }
  bool given_up = false;
  for (long handled = 0; !run.ended && find_window(dialog) != nullptr; ++handled) {
    if (handled >= kMaxDialogMessages) {
      given_up = true;
      break;
    }
    Posted m;
    if (next_posted(&m)) {
      deliver(m.window, m.message, m.wparam, m.lparam);
      continue;
    }
    // With nothing queued, windows waiting to be painted are painted first, as GetMessage
    // would; then the owner hears that the dialog is idle and may post its next input.
    if (HWND invalid = first_invalid_window()) {
      deliver(invalid, WM_PAINT, 0, 0);
      continue;
    }
    deliver(owner, WM_ENTERIDLE, MSGF_DIALOGBOX, reinterpret_cast<LPARAM>(dialog));
    if (user().queue.empty() && !run.ended) {
      given_up = true;
      break;
    }
  }
  // Nobody will say more: the dialog is cancelled, and ends with IDCANCEL if its procedure
  // does not end it.
  if (given_up && find_window(dialog) != nullptr) {
    deliver(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    if (!run.ended) run = {true, kDialogGivenUp};
  }
  if ((w = find_window(dialog)) != nullptr) {
    w->run = nullptr;
    DestroyWindow(dialog);
  }
  return run.ended ? run.result : 0;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
  Window *w = find_window(dialog);
  if (w == nullptr || w->run == nullptr) return FALSE;
  *w->run = {true, result};
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// The clipboard.

BOOL WINAPI OpenClipboard(HWND owner) {
  Clipboard &c = user().clipboard;
  if (owner != nullptr && find_window(owner) == nullptr) return FALSE;
  // Open for another window: refused until that one closes it.
  if (c.open && c.opener != owner) return FALSE;
  c.open = true;
  c.opener = owner;
  return TRUE;
}

BOOL WINAPI EmptyClipboard(void) {
  Clipboard &c = user().clipboard;
  if (!c.open) return FALSE;
  for (const auto &[format, data] : c.data) free_clipboard_data(format, data);
  c.data.clear();
  return TRUE;
}

HANDLE WINAPI SetClipboardData(UINT format, HANDLE data) {
  Clipboard &c = user().clipboard;
  // Delayed rendering (no data) is not modelled. A bitmap must be one GDI knows, anything else
  // a live global block.
  if (!c.open || data == nullptr) return nullptr;
  if (format == CF_BITMAP ? GetObjectA(data, 0, nullptr) != sizeof(BITMAP)
                          : GlobalSize(data) == 0)
    return nullptr;
  auto it = c.data.find(format);
  if (it != c.data.end() && it->second != data) free_clipboard_data(format, it->second);
  c.data[format] = data;
  return data;
}

HANDLE WINAPI GetClipboardData(UINT format) {
  Clipboard &c = user().clipboard;
  if (!c.open) return nullptr;
  auto it = c.data.find(format);
  return it == c.data.end() ? nullptr : it->second;
}

BOOL WINAPI IsClipboardFormatAvailable(UINT format) {
  return user().clipboard.data.count(format) != 0 ? TRUE : FALSE;
}

BOOL WINAPI CloseClipboard(void) {
  Clipboard &c = user().clipboard;
  if (!c.open) return FALSE;
  c.open = false;
  c.opener = nullptr;
  return TRUE;
}

}  // extern "C"
