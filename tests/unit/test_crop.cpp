// The crop dialog driven as a user drives it: the host window posts button presses, moves and
// releases from WM_ENTERIDLE, then OK or Cancel; and the stand-in's pens and dialog loop that it
// rests on.
#include <gtest/gtest.h>

#include <array>

#include "core/image.h"
#include "devices.h"
#include "platform/testing.h"
#include "ui/ui.h"

namespace {

using pxv_test::Rgb;

struct Step {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};

struct Script {
  std::vector<Step> steps;
  std::size_t next = 0;
  int handle = -1;
  std::vector<pxv::crop_fields> seen;  // at each idle, before that idle's step
  // What the host saw when it was about to say OK or Cancel: the image's crop rectangle, the
  // capture, the dialog as it stood and after a fresh paint.
  struct {
    std::array<int, 4> image_crop{};
    HWND capture = nullptr;
    Rgb surface, fresh;
  } last;

  void post(UINT message, int x, int y) { steps.push_back({message, MK_LBUTTON, MAKELPARAM(x, y)}); }
  // A press, moves to the end (each point of the line, or the end only), a release.
  void drag(int x0, int y0, int x1, int y1, bool along = false) {
    post(WM_LBUTTONDOWN, x0, y0);
    const int n = along ? std::max(std::abs(x1 - x0), std::abs(y1 - y0)) : 1;
    for (int i = 1; i <= n; ++i) post(WM_MOUSEMOVE, x0 + (x1 - x0) * i / n, y0 + (y1 - y0) * i / n);
    post(WM_LBUTTONUP, x1, y1);
  }
  void command(int id) { steps.push_back({WM_COMMAND, WPARAM(id), 0}); }
};
Script *script = nullptr;

void look(HWND dialog, Script &s) {
  s.last.image_crop = pxv_test::crop_rect(s.handle);
  s.last.capture = GetCapture();
  s.last.surface = pxv_test::window_pixels(dialog);
  InvalidateRect(dialog, nullptr, TRUE);
  UpdateWindow(dialog);
  s.last.fresh = pxv_test::window_pixels(dialog);
}

LRESULT CALLBACK host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_ENTERIDLE || wparam != MSGF_DIALOGBOX || script == nullptr)
    return DefWindowProcA(window, message, wparam, lparam);
  Script &s = *script;
  HWND dialog = reinterpret_cast<HWND>(lparam);
  s.seen.push_back(pxv::crop);
  if (s.next == s.steps.size()) return 0;
  const Step step = s.steps[s.next++];
  if (step.message == WM_COMMAND) look(dialog, s);
  PostMessageA(dialog, step.message, step.wparam, step.lparam);
  return 0;
}

std::array<int, 4> crop_of(const pxv::crop_fields &f) { return {f.crop_x, f.crop_y, f.crop_width, f.crop_height}; }

// A black image: handles and dotted outlines show on it as white.
int black_image(int width, int height) { return IMG_create_handle(pxv_test::make_packed_dib(width, height, 24).bytes.data()); }

class Crop : public ::testing::Test {
 protected:
  static inline const char kClass[] = "crop-test-host";
  static inline int tag = 0;
  HINSTANCE instance = &tag;
  HWND parent = nullptr;

  void SetUp() override {
    static const ATOM registered = [] {
      WNDCLASSA c{};
      c.lpfnWndProc = host_proc;
      c.lpszClassName = kClass;
      return RegisterClassA(&c);
    }();
    ASSERT_NE(registered, 0);
    parent = CreateWindowExA(0, kClass, "host", 0, 0, 0, 60, 40, nullptr, nullptr, instance, nullptr);
  }
  void TearDown() override {
    script = nullptr;
    DestroyWindow(parent);
    pxv_test::delete_all_handles();
    PxvRegisterDialog(instance, "getcroprect", 0, 0);
    PxvSetScreen(1024, 768, 24);
  }
  int run(int handle, Script &s, int depth = 24) {
    PxvSetScreen(1024, 768, depth);
    PxvRegisterDialog(instance, "getcroprect", 400, 300);
    s.handle = handle;
    script = &s;
    const int rc = pxv::crop_bitmap_win(parent, handle, instance);
    script = nullptr;
    return rc;
  }
  // After a release and OK or Cancel: the handles alone, drawn once, at the final rectangle;
  // the whole image shown; no capture left; the dialog gone.
  void expect_clean_end(const Script &s) {
    EXPECT_EQ(s.last.image_crop, (std::array<int, 4>{0, 0, pxv::crop.image_width, pxv::crop.image_height}));
    EXPECT_TRUE(s.last.surface.pixels == s.last.fresh.pixels) << "leftovers of the inverting drawing";
    EXPECT_TRUE(s.last.capture == nullptr && GetCapture() == nullptr && GetActiveWindow() == parent);
  }
};

TEST_F(Crop, TheWorkedExampleAtEveryDepth) {
  for (int depth : {24, 8, 4}) {
    const int image = black_image(640, 480);
    Script s;
    s.drag(300, 225, 250, 200);  // the bottom-right corner
    s.drag(150, 130, 350, 250);  // the whole rectangle, pushed back inside
    s.command(IDOK);
    ASSERT_EQ(run(image, s, depth), 1) << depth;
    const pxv::crop_fields &start = s.seen[0];
    EXPECT_EQ((std::vector<std::array<int, 4>>{{start.disp_x, start.disp_y, start.disp_width, start.disp_height}, crop_of(start), crop_of(s.seen[3]), crop_of(s.seen[6])}),
              (std::vector<std::array<int, 4>>{{100, 77, 200, 150}, {100, 75, 200, 150}, {100, 75, 150, 125}, {150, 102, 150, 125}}));
    EXPECT_EQ(pxv_test::crop_rect(image), (std::array<int, 4>{160, 86, 480, 394}));
    expect_clean_end(s);
    // The handles invert the image at the final corners; those at the first rectangle are gone.
    // (294, 222): the final bottom-right handle; (250, 200): the first drag's corner; (104, 79):
    // the first top-left handle.
    for (auto [x, y, colour] : {std::array{294, 222, 0xFFFFFF}, {200, 150, 0}, {250, 200, 0}, {104, 79, 0}})
      EXPECT_EQ(pxv_test::rgb_at(s.last.surface, x, y), std::uint32_t(colour)) << x << "," << y;
    // OK asks the parent to paint itself anew.
    RECT update{};
    EXPECT_TRUE(GetUpdateRect(parent, &update, FALSE) && update.right * 1000 + update.bottom == 60040);
    PAINTSTRUCT paint;
    BeginPaint(parent, &paint);
    EndPaint(parent, &paint);
  }
}

TEST_F(Crop, DragsStopAtTheMinimumSizeAndCancelRestores) {
  const int image = black_image(640, 480);
  IMG_set_croprect(image, 5, 6, 600, 400);
  const std::array<int, 4> before = pxv_test::crop_rect(image);
  Script s;
  s.drag(288, 201, 102, 80);        // the corner in one move to a width of 1: refused
  s.drag(288, 201, 102, 80, true);  // along the line: stops at a width of 3
  s.command(IDCANCEL);
  EXPECT_EQ(run(image, s), 0);
  EXPECT_TRUE(crop_of(s.seen[0]) == (std::array<int, 4>{101, 76, 187, 125}) && crop_of(s.seen[3]) == crop_of(s.seen[0]));
  const pxv::crop_fields &end = s.seen.back();
  EXPECT_TRUE(end.crop_width == 3 && end.crop_height >= 3 && end.crop_height < 10) << end.crop_height;
  EXPECT_EQ(pxv_test::crop_rect(image), before);
  expect_clean_end(s);
}

TEST_F(Crop, SmallImagesAndDialogsThatEndWithoutOk) {
  const int image = black_image(40, 30);
  Script ok;
  ok.drag(300, 225, 250, 200);
  ok.command(IDOK);
  EXPECT_TRUE(run(image, ok) == 1 && pxv_test::crop_rect(image) == (std::array<int, 4>{0, 0, 31, 26}));

  IMG_set_croprect(image, 1, 2, 3, 4);
  const std::size_t objects = pxv_platform::live_gdi_objects();
  Script silent;
  EXPECT_EQ(run(image, silent), 0) << "an empty queue cancels";
  Script held;
  held.post(WM_LBUTTONDOWN, 300, 225);  // and never released
  EXPECT_TRUE(run(image, held) == 0 && GetCapture() == nullptr && GetActiveWindow() == parent) << "capture ends with the dialog";
  EXPECT_EQ(pxv_platform::live_gdi_objects(), objects);

  PxvRegisterDialog(instance, "getcroprect", 0, 0);
  EXPECT_TRUE(pxv::crop_bitmap_win(parent, image, instance) == 0 && pxv::crop_bitmap_win(parent, image + 1, instance) == 0) << "no template; no image";
  EXPECT_EQ(pxv_test::crop_rect(image), (std::array<int, 4>{1, 2, 3, 4}));
}

// Dotted cosmetic lines leave out their last pixel and, drawn twice in not-XOR mode, leave
// nothing; the binary modes act on stored values, indices on a palette screen.
TEST_F(Crop, PensAndBinaryModes) {
  pxv_test::Screen screen(20, 3, 24);
  HPEN dotted = CreatePen(PS_DOT, 1, RGB(0, 0, 0));
  HGDIOBJ old = SelectObject(screen.dc, dotted);
  EXPECT_EQ(SetROP2(screen.dc, R2_NOTXORPEN), R2_COPYPEN);
  for (int pass = 0; pass < 2; ++pass) {
    MoveToEx(screen.dc, 0, 1, nullptr);
    LineTo(screen.dc, 16, 1);
    const Rgb p = screen.pixels();
    std::string row;
    for (int x = 0; x < 20; ++x) row += pxv_test::rgb_at(p, x, 1) == 0 ? '#' : '.';
    EXPECT_EQ(row, pass == 0 ? "###...###...###....." : "....................");
  }
  SelectObject(screen.dc, old);
  EXPECT_TRUE(DeleteObject(dotted));

  pxv_test::Screen palette(4, 1, 8);
  HPEN dark_red = CreatePen(PS_SOLID, 1, RGB(128, 0, 0));  // system index 1
  SelectObject(palette.dc, dark_red);
  const std::pair<int, std::uint32_t> modes[] = {{R2_XORPEN, 0x00FFFF},  // 255 ^ 1: index 254
                                                 {R2_NOT, 0x000000},     {R2_MASKPEN, 0x800000},
                                                 {R2_NOP, 0xFFFFFF},     {R2_WHITE, 0xFFFFFF}};
  for (auto [mode, expected] : modes) {
    PatBlt(palette.dc, 0, 0, 4, 1, WHITENESS);
    SetROP2(palette.dc, mode);
    MoveToEx(palette.dc, 0, 0, nullptr);
    LineTo(palette.dc, 2, 0);
    // The last pixel stays white.
    EXPECT_TRUE(pxv_test::rgb_at(palette.pixels(), 1, 0) == expected && pxv_test::rgb_at(palette.pixels(), 2, 0) == pxv_test::kWhite) << mode;
  }
  DeleteObject(dark_red);
}

// The modal loop: EndDialog's value; a missing template; a procedure that ignores Cancel and one
// that keeps posting to itself both end with IDCANCEL; WM_ENTERIDLE names the dialog.
INT_PTR CALLBACK stubborn(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  constexpr UINT kAgain = 0x0400;  // WM_USER
  if (message == WM_INITDIALOG && lparam == 7) EndDialog(dialog, 42);
  if (message == WM_INITDIALOG && lparam == 8) PostMessageA(dialog, kAgain, 0, 0);
  if (message == kAgain) PostMessageA(dialog, kAgain, 0, 0);
  return message == WM_INITDIALOG;
}

TEST_F(Crop, TheModalLoop) {
  PxvRegisterDialog(instance, "Stub", 30, 20);
  EXPECT_EQ(DialogBoxParamA(instance, "stub", parent, stubborn, 7), 42);
  EXPECT_TRUE(DialogBoxParamA(instance, "missing", parent, stubborn, 7) == -1 && DialogBoxParamA(nullptr, "stub", parent, stubborn, 7) == -1);
  Script idle;  // records one idle, posts nothing
  script = &idle;
  EXPECT_TRUE(DialogBoxParamA(instance, "stub", parent, stubborn, 0) == IDCANCEL && idle.seen.size() == 1);
  script = nullptr;
  EXPECT_EQ(DialogBoxParamA(instance, "stub", parent, stubborn, 8), IDCANCEL);
  PxvRegisterDialog(instance, "stub", 0, 0);
}

}  // namespace
