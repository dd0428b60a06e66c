// pxv crop: drives the library's crop dialog with a script of mouse drags, as a user at the
// screen would, and saves the rectangle chosen. The dialog is an internal operation of the
// library, not an export: this is the one command that reaches past the public API, through
// the static archive. Its parent window is the host: each time the dialog's loop is idle, the
// parent posts the script's next press, move or release, and finally OK or Cancel.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli.h"
#include "options.h"
#include "save_file.h"
#include "surface.h"
#include "ui/ui.h"

namespace pxv_cli {

namespace {

const char kCropHelp[] =
    "usage: pxv crop IN OUT [--drag X0,Y0:X1,Y1]... [--dialog WxH] [--depth 24|8|4] [--cancel]\n"
    "                       [--show FILE] [--type TYPE]\n"
    "\n"
    "Drives the library's crop dialog over IN, as a user with a mouse would: the dialog shows the\n"
    "whole image with its crop rectangle (at first the whole image) and eight handles; each\n"
    "--drag presses the button at X0,Y0, moves along the line to X1,Y1 and releases it there.\n"
    "Pressing within 6 pixels of an edge or corner drags it; pressing inside the rectangle moves\n"
    "it. Then OK (or Cancel). Prints the area where the dialog shows the image and the chosen\n"
    "rectangle in image pixels, and saves that rectangle of IN as OUT.\n"
    "\n"
    "  --drag X0,Y0:X1,Y1  one drag, in dialog pixels; give as many as you like, in order\n"
    "  --dialog WxH        the dialog's size (default 400x300)\n"
    "  --depth D           the screen's depth: 24, 8 (256-colour palette) or 4 (16 colours)\n"
    "  --cancel            end with Cancel instead of OK: the rectangle stays as it was\n"
    "  --show FILE         save the dialog as it stood before OK or Cancel (type by FILE's ending)\n"
    "  --type TYPE         the output type (see 'pxv convert --help'); else OUT's ending\n"
    "  -q, --quiet         no progress bar\n";

constexpr char kHostClass[] = "pxv-crop-host";
constexpr char kTemplate[] = "getcroprect";
constexpr int kMouseMin = -32768;  // a mouse position travels as two signed 16-bit values
constexpr int kMouseMax = 32767;

struct Drag {
  int x0, y0, x1, y1;
};

struct Step {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};

// The script the host window plays into the dialog, and what --show asked for.
struct CropHost {
  std::vector<Step> steps;
  std::size_t next = 0;
  std::string show;
  const SaveType *show_type = nullptr;
  int show_status = 0;
};
CropHost host;

bool parse_drag(const std::string &text, std::vector<Drag> *drags) {
  Drag d;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d,%d:%d,%d%c", &d.x0, &d.y0, &d.x1, &d.y1, &tail) != 4) return false;
  for (int v : {d.x0, d.y0, d.x1, d.y1})
    if (v < kMouseMin || v > kMouseMax) return false;
  drags->push_back(d);
  return true;
}

void add_mouse(UINT message, int x, int y) {
  host.steps.push_back({message, MK_LBUTTON, MAKELPARAM(x, y)});
}

// A press, a move to every point of the line after it, a release at its end.
void add_drag(const Drag &d) {
  add_mouse(WM_LBUTTONDOWN, d.x0, d.y0);
  const int n = std::max(std::abs(d.x1 - d.x0), std::abs(d.y1 - d.y0));
  for (int i = 1; i <= n; ++i)
    add_mouse(WM_MOUSEMOVE, d.x0 + (d.x1 - d.x0) * i / n, d.y0 + (d.y1 - d.y0) * i / n);
  add_mouse(WM_LBUTTONUP, d.x1, d.y1);
}

LRESULT CALLBACK host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_ENTERIDLE || wparam != MSGF_DIALOGBOX || host.next >= host.steps.size())
    return DefWindowProcA(window, message, wparam, lparam);
  HWND dialog = reinterpret_cast<HWND>(lparam);
  const Step step = host.steps[host.next++];
  if (step.message == WM_COMMAND && !host.show.empty()) {
    RECT client{};
    GetClientRect(dialog, &client);
    HDC dc = GetDC(dialog);
    host.show_status = dc != nullptr ? save_client_area(dc, client.right, client.bottom, host.show, *host.show_type)
                                     : fail("the dialog", PXV_ERR_GDI);
    if (dc != nullptr) ReleaseDC(dialog, dc);
  }
  PostMessageA(dialog, step.message, step.wparam, step.lparam);
  return 0;
}

// The dialog over `handle`, in a host window of its size; 1 after OK, 0 after Cancel.
int run_dialog(int handle, int width, int height, int *status) {
  static int module;  // the instance the dialog's template is registered under
  HINSTANCE instance = &module;
  static const ATOM registered = [] {
    WNDCLASSA c{};
    c.lpfnWndProc = host_proc;
    c.lpszClassName = kHostClass;
    return RegisterClassA(&c);
  }();
  HWND parent = registered != 0 && PxvRegisterDialog(instance, kTemplate, width, height)
                    ? CreateWindowExA(0, kHostClass, "pxv crop", 0, 0, 0, width, height, nullptr, nullptr, instance, nullptr)
                    : nullptr;
  if (parent == nullptr) {
    *status = fail("the dialog", PXV_ERR_GDI);
    return 0;
  }
  const int confirmed = pxv::crop_bitmap_win(parent, handle, instance);
  DestroyWindow(parent);
  *status = host.show_status;
  return confirmed;
}

}  // namespace

int cmd_crop(const Args &args) {
  std::vector<Drag> drags;
  int width = 400, height = 300, depth = 24;
  bool cancel = false;
  const SaveType *type = nullptr;
  CommandLine line;
  int status = parse_command_line(
      args,
      {{"--drag", nullptr, "X0,Y0:X1,Y1, each from -32768 to 32767",
        [&](const std::string &v) { return parse_drag(v, &drags); }},
       {"--dialog", nullptr, "WxH, both 1 or more",
        [&](const std::string &v) { return parse_size(v, &width, &height); }},
       {"--depth", nullptr, "24, 8 or 4",
        [&](const std::string &v) { return parse_int(v, 4, &depth) && (depth == 24 || depth == 8 || depth == 4); }},
       {"--cancel", nullptr, nullptr, [&](const std::string &) { return cancel = true; }},
       {"--show", nullptr, "a file name with an image type's ending",
        [&](const std::string &v) {
          host.show = v;
          return (host.show_type = save_type_from_file_name(v)) != nullptr;
        }},
       {"--type", nullptr, "a save type number (0-15) or name",
        [&](const std::string &v) { return (type = save_type_from_text(v)) != nullptr; }}},
      kCropHelp, &line);
  if (status >= 0) return status;
  if (line.operands.size() != 2) return usage_error("crop needs an input and an output file");
  const std::string &in = line.operands[0], &out = line.operands[1];
  type = output_type(type, out, &status);
  if (type == nullptr) return status;
  if (width > 16384 || height > 16384) return usage_error("the dialog can be at most 16384 pixels a side");

  const int handle = load_for_output(in, Rect{}, line.quiet);
  if (handle < 0) return fail(in, handle);
  PxvSetScreen(1024, 768, depth);
  for (const Drag &d : drags) add_drag(d);
  host.steps.push_back({WM_COMMAND, WPARAM(cancel ? IDCANCEL : IDOK), 0});
  const int confirmed = run_dialog(handle, width, height, &status);
  if (status == 0) {
    const pxv::crop_fields &c = pxv::crop;
    int x = 0, y = 0, w = 0, h = 0;
    IMG_get_croprect(handle, &x, &y, &w, &h);
    std::printf("display area: %d,%d,%d,%d\n", c.disp_x, c.disp_y, c.disp_width, c.disp_height);
    std::printf("%s: %d,%d,%d,%d\n", confirmed ? "rectangle" : "cancelled, rectangle", x, y, w, h);
    if (int rc = save_replacing(handle, out, *type); rc < 0) status = fail(out, rc);
  }
  IMG_delete_bitmap(handle);
  return status;
}

}  // namespace pxv_cli
