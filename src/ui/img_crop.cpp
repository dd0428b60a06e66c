// The interactive crop dialog: the whole image scaled into a modal dialog, the crop rectangle
// marked on it with eight handles, and the mouse dragging an edge, a corner or the whole
// rectangle. OK turns the rectangle back into image pixels and makes it the image's crop
// rectangle.
//
// Everything the dialog draws over the image inverts what is below (a not-XOR pen for the dotted
// outline, destination inversion for the handles), so drawing the same thing twice takes it
// away again: a drag removes the outline at the old place before drawing it at the new one, and
// the release removes the handles at the rectangle the drag began with. The image under it is
// painted only by the paint message.
//
// The geometry keeps the dialog's historic integer arithmetic: the quarters of the dialog's
// height by arithmetic shift, the display size kept as 16-bit values, truncating divisions. All
// products are formed in 64 bits, so that no rectangle a host stored can overflow them; results
// saturate into the 32-bit fields.
#include <cstdint>

#include "core/image.h"
#include "output/output.h"
#include "ui/ui.h"

namespace pxv {

crop_fields crop;

namespace {

constexpr char kTemplateName[] = "getcroprect";
constexpr int kOutline = 0;  // draw_crop_rect modes
constexpr int kHandles = 1;
// Grip flags of a drag.
constexpr int kGripLeft = 1;
constexpr int kGripRight = 2;
constexpr int kGripTop = 4;
constexpr int kGripBottom = 8;
constexpr int kGripMove = 16;
constexpr int kNotReady = -1;  // cTrack before the first paint and after focus loss
constexpr int kReady = 0;
constexpr std::int64_t kGripReach = 6;  // how near an edge a press grips it
constexpr int kHandleSize = 12;
constexpr int kHandleHalf = kHandleSize / 2;
constexpr std::int64_t kMinDragSize = 3;   // no drag makes the rectangle smaller than this
constexpr std::int64_t kMinCropSize = 2;   // nor does OK, in image pixels
constexpr std::int32_t kSmallImage = 50;   // sides below this gain a pixel on the way back
constexpr std::int64_t kMinDialogSide = 4;
constexpr std::int32_t kCancelled = -1;    // in crop_x: the dialog was cancelled
constexpr INT_PTR kDialogFailed = -1;
constexpr INT_PTR kEnded = 1;
constexpr int kConfirmed = 1;
constexpr int kNotConfirmed = 0;

// The dialog's own state beside `crop`.
struct crop_dialog {
  int hdib;    // the image being cropped; not the loader's current handle
  int cTrack;  // kNotReady, kReady, or the grip flags of the drag under way
  RECT trect;  // the rectangle when the drag began
};
crop_dialog dialog;

// Where the image goes in the dialog, and by which side it is scaled.
struct crop_layout {
  std::int16_t width, height;  // W and H
  bool by_width;               // the scale is W : image_width, else H : image_height
  std::int64_t left, top;
};

crop_layout compute_layout(HWND window, bool at_least_four) {
  RECT r{};
  GetWindowRect(window, &r);
  std::int64_t dw = std::int64_t{r.right} - r.left, dh = std::int64_t{r.bottom} - r.top;
  if (at_least_four) {
    dw = dw < kMinDialogSide ? kMinDialogSide : dw;
    dh = dh < kMinDialogSide ? kMinDialogSide : dh;
  }
  crop_layout l{};
  l.height = static_cast<std::int16_t>(dh - (dh >> 2));
  l.width = static_cast<std::int16_t>(std::int64_t{l.height} * crop.image_width / crop.image_height);
  if (l.width + l.width / 2 > dw) {
    l.width = static_cast<std::int16_t>(dw - dw / 2);
    l.height = static_cast<std::int16_t>(std::int64_t{crop.image_height} * l.width / crop.image_width);
    l.by_width = true;
  }
  l.left = (dw - l.width) / 2;
  l.top = (dh - l.height) / 2;
  return l;
}

// Image pixels to dialog pixels, and back. The divisors are never 0: the image has a size, and
// the way back runs on a layout of at least 4 x 4.
std::int64_t to_dialog(const crop_layout &l, std::int64_t v) {
  return l.by_width ? v * l.width / crop.image_width : v * l.height / crop.image_height;
}
std::int64_t to_image(const crop_layout &l, std::int64_t v) {
  const std::int64_t divisor = l.by_width ? l.width : l.height;
  if (divisor == 0) return v;
  return v * (l.by_width ? crop.image_width : crop.image_height) / divisor;
}

// A 32-bit sum or difference that wraps instead of overflowing, so that the rectangle form of
// any stored crop turns back into exactly that crop.
std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
std::int32_t wrap_sub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

}  // namespace

// The crop fields as a rectangle and back; the handle is not used.
void get_crop_rect(int handle, RECT *r) {
  *r = {crop.crop_x, crop.crop_y, wrap_add(crop.crop_x, crop.crop_width),
        wrap_add(crop.crop_y, crop.crop_height)};
}
void set_crop_rect(int handle, const RECT *r) {
  crop.crop_x = r->left;
  crop.crop_y = r->top;
  crop.crop_width = wrap_sub(r->right, r->left);
  crop.crop_height = wrap_sub(r->bottom, r->top);
}

// The dotted outline (mode 0) or the eight handles (mode 1) of the crop rectangle, inverting
// what is below; the DC's binary mode and pen are put back.
void draw_crop_rect(HDC dc, int handle, int mode) {
  const int previous_mode = SetROP2(dc, R2_NOTXORPEN);
  RECT r;
  get_crop_rect(handle, &r);
  if (mode == kOutline) {
    // Without its dotted pen the outline is not drawn at all: drawn in another pen it would
    // not be taken away again by the dotted one.
    HPEN pen = CreatePen(PS_DOT, 1, RGB(0, 0, 0));
    if (pen != nullptr) {
      HGDIOBJ previous_pen = SelectObject(dc, pen);
      MoveToEx(dc, r.left, r.top, nullptr);
      LineTo(dc, r.right, r.top);
      LineTo(dc, r.right, r.bottom);
      LineTo(dc, r.left, r.bottom);
      LineTo(dc, r.left, r.top);
      SelectObject(dc, previous_pen);
      DeleteObject(pen);
    }
  } else {
    const std::int64_t mid_x = std::int64_t{crop.crop_x} + crop.crop_width / 2;
    const std::int64_t mid_y = std::int64_t{crop.crop_y} + crop.crop_height / 2;
    const std::int64_t centres[8][2] = {{r.left, r.top},    {r.right, r.top}, {r.right, r.bottom},
                                        {r.left, r.bottom}, {mid_x, r.top},   {mid_x, r.bottom},
                                        {r.left, mid_y},    {r.right, mid_y}};
    for (const auto &c : centres)
      PatBlt(dc, clamp32(c[0] - kHandleHalf), clamp32(c[1] - kHandleHalf), kHandleSize,
             kHandleSize, DSTINVERT);
  }
  if (previous_mode != 0) SetROP2(dc, previous_mode);
}

// Moves or resizes the rectangle by the grip flags towards the cursor, kept to the display
// area, and redraws the outline.
void move_crop_rect(int flags, int x, int y, HWND window) {
  const std::int64_t right_limit = std::int64_t{crop.disp_x} + crop.disp_width;
  const std::int64_t bottom_limit = std::int64_t{crop.disp_y} + crop.disp_height;
  std::int64_t cx = x, cy = y;
  if (cx < crop.disp_x) cx = crop.disp_x;
  else if (cx > right_limit) cx = right_limit;
  if (cy < crop.disp_y) cy = crop.disp_y;
  else if (cy > bottom_limit) cy = bottom_limit;
  HDC dc = GetDC(window);
  draw_crop_rect(dc, dialog.hdib, kOutline);
  const std::int64_t left = crop.crop_x, top = crop.crop_y;
  const std::int64_t width = crop.crop_width, height = crop.crop_height;
  std::int64_t new_left = left, new_top = top, new_width = width, new_height = height;
  if (flags & kGripLeft) {
    new_left = cx;
    new_width = left + width - cx;
  } else if (flags & kGripRight) {
    new_width = cx - left;
  }
  if (flags & kGripTop) {
    new_top = cy;
    new_height = top + height - cy;
  } else if (flags & kGripBottom) {
    new_height = cy - top;
  }
  if (flags & kGripMove) {
    // Centred on the cursor, then pushed back inside the display area on each axis.
    new_left = cx - width / 2;
    new_top = cy - height / 2;
    if (new_left < crop.disp_x) new_left = crop.disp_x;
    else if (new_left + width > right_limit) new_left = right_limit - width;
    if (new_top < crop.disp_y) new_top = crop.disp_y;
    else if (new_top + height > bottom_limit) new_top = bottom_limit - height;
    crop.crop_x = clamp32(new_left);
    crop.crop_y = clamp32(new_top);
  } else if (new_width >= kMinDragSize && new_height >= kMinDragSize) {
    crop.crop_x = clamp32(new_left);
    crop.crop_y = clamp32(new_top);
    crop.crop_width = clamp32(new_width);
    crop.crop_height = clamp32(new_height);
  }
  draw_crop_rect(dc, dialog.hdib, kOutline);
  ReleaseDC(window, dc);
}

// The crop fields from dialog pixels to image pixels, kept within the image.
void set_new_crop_rect(HWND window) {
  const crop_layout l = compute_layout(window, true);
  std::int64_t v[4] = {crop.crop_x - l.left, crop.crop_y - l.top, crop.crop_width,
                       crop.crop_height};
  const std::int32_t axis[4] = {crop.image_width, crop.image_height, crop.image_width,
                                crop.image_height};
  for (int i = 0; i < 4; ++i) {
    if (v[i] == 0) continue;
    // Scaling up from a display larger than the image loses a pixel, given back here.
    v[i] = to_image(l, v[i]) + (axis[i] < kSmallImage ? 1 : 0);
  }
  if (v[2] < kMinCropSize) v[2] = kMinCropSize;
  if (v[3] < kMinCropSize) v[3] = kMinCropSize;
  if (v[0] + v[2] > crop.image_width) v[2] = crop.image_width - v[0];
  if (v[1] + v[3] > crop.image_height) v[3] = crop.image_height - v[1];
  crop.crop_x = clamp32(v[0]);
  crop.crop_y = clamp32(v[1]);
  crop.crop_width = clamp32(v[2]);
  crop.crop_height = clamp32(v[3]);
}

namespace {

void init_dialog(HWND window) {
  const crop_layout l = compute_layout(window, false);
  crop.crop_x = clamp32(to_dialog(l, crop.crop_x) + l.left);
  crop.crop_y = clamp32(to_dialog(l, crop.crop_y) + l.top);
  crop.crop_width = clamp32(to_dialog(l, crop.crop_width));
  crop.crop_height = clamp32(to_dialog(l, crop.crop_height));
  crop.disp_x = clamp32(l.left);
  crop.disp_y = clamp32(l.top + 2);
  crop.disp_width = l.width;
  crop.disp_height = l.height;
  dialog.cTrack = kNotReady;
}

// The whole image in the display area (the image's own crop rectangle is the whole image while
// the dialog is open), then the handles.
void paint_dialog(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  RECT saved;
  get_crop_rect(dialog.hdib, &saved);
  crop.crop_x = 0;
  crop.crop_y = 0;
  crop.crop_width = crop.image_width;
  crop.crop_height = crop.image_height;
  IMG_set_croprect(dialog.hdib, 0, 0, crop.image_width, crop.image_height);
  IMG_display_bitmap(dialog.hdib, dc, crop.disp_x, crop.disp_y, crop.disp_width,
                     crop.disp_height);
  set_crop_rect(dialog.hdib, &saved);
  draw_crop_rect(dc, dialog.hdib, kHandles);
  dialog.cTrack = kReady;
  EndPaint(window, &paint);
}

std::int64_t distance(std::int64_t v) { return v < 0 ? -v : v; }

void button_down(HWND window, int x, int y) {
  UpdateWindow(window);
  const std::int64_t dx = std::int64_t{x} - crop.crop_x, dy = std::int64_t{y} - crop.crop_y;
  int flags = 0;
  if (distance(dx) <= kGripReach) flags |= kGripLeft;
  if (distance(dx - crop.crop_width) <= kGripReach) flags |= kGripRight;
  if (distance(dy) <= kGripReach) flags |= kGripTop;
  if (distance(dy - crop.crop_height) <= kGripReach) flags |= kGripBottom;
  if (flags == 0 && dx > 0 && dx < crop.crop_width && dy > 0 && dy < crop.crop_height)
    flags = kGripMove;
  dialog.cTrack = flags;
  if (flags == kReady) return;
  HDC dc = GetDC(window);
  draw_crop_rect(dc, dialog.hdib, kOutline);
  ReleaseDC(window, dc);
  get_crop_rect(dialog.hdib, &dialog.trect);
  SetCapture(window);
}

// The outline goes; the handles move from where the drag began to where it ended.
void button_up(HWND window) {
  HDC dc = GetDC(window);
  draw_crop_rect(dc, dialog.hdib, kOutline);
  RECT now;
  get_crop_rect(dialog.hdib, &now);
  set_crop_rect(dialog.hdib, &dialog.trect);
  draw_crop_rect(dc, dialog.hdib, kHandles);
  set_crop_rect(dialog.hdib, &now);
  draw_crop_rect(dc, dialog.hdib, kHandles);
  ReleaseDC(window, dc);
  dialog.cTrack = kReady;
  ReleaseCapture();
}

// The mouse position of a message: the signed 16-bit halves of its second parameter.
int mouse_x(LPARAM lparam) { return static_cast<std::int16_t>(LOWORD(lparam)); }
int mouse_y(LPARAM lparam) { return static_cast<std::int16_t>(HIWORD(lparam)); }

}  // namespace

// The dialog procedure: 1 for the initialisation and the two commands it handles, else 0.
INT_PTR CALLBACK getcroprect(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: init_dialog(window); return TRUE;
    case WM_PAINT: paint_dialog(window); return FALSE;
    case WM_KILLFOCUS: dialog.cTrack = kNotReady; return FALSE;
    case WM_LBUTTONDOWN: button_down(window, mouse_x(lparam), mouse_y(lparam)); return FALSE;
    case WM_MOUSEMOVE:
      if (dialog.cTrack > 0) move_crop_rect(dialog.cTrack, mouse_x(lparam), mouse_y(lparam), window);
      return FALSE;
    case WM_LBUTTONUP:
      if (dialog.cTrack > 0) button_up(window);
      return FALSE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        set_new_crop_rect(window);
        EndDialog(window, kEnded);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        EndDialog(window, kEnded);
        crop.crop_x = kCancelled;
        return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}

int crop_bitmap_win(HWND parent, int handle, HINSTANCE instance) {
  if (live_image(handle) == nullptr) return kNotConfirmed;
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(handle, &width, &height, &bits);
  if (width < 1 || height < 1) return kNotConfirmed;
  dialog = crop_dialog{handle, kNotReady, {}};
  IMG_get_croprect(handle, &crop.crop_x, &crop.crop_y, &crop.crop_width, &crop.crop_height);
  const crop_fields before = crop;
  crop.image_width = width;
  crop.image_height = height;
  // A dialog that cannot run counts as Cancel.
  if (DialogBoxParamA(instance, kTemplateName, parent, getcroprect, 0) == kDialogFailed)
    crop.crop_x = kCancelled;
  if (crop.crop_x != kCancelled) {
    IMG_set_croprect(handle, crop.crop_x, crop.crop_y, crop.crop_width, crop.crop_height);
    InvalidateRect(parent, nullptr, TRUE);
    return kConfirmed;
  }
  IMG_set_croprect(handle, before.crop_x, before.crop_y, before.crop_width, before.crop_height);
  return kNotConfirmed;
}

}  // namespace pxv
