// The interactive crop dialog: an internal operation, not exported, that the CLI and the tests
// reach through the static archive.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace pxv {

// The dialog's geometry, in dialog pixels unless noted. The crop fields hold image pixels before
// the dialog opens and after OK, dialog pixels while it is open; crop_x -1 marks a cancel.
struct crop_fields {
  std::int32_t disp_x, disp_y, disp_width, disp_height;  // where the image is shown
  std::int32_t image_width, image_height;
  std::int32_t crop_x, crop_y, crop_width, crop_height;
};
extern crop_fields crop;

// Runs the modal dialog "getcroprect" of `instance`'s templates over `parent`, in which the user
// drags the crop rectangle of image `handle`. 1 when the user confirmed a rectangle (now the
// image's crop rectangle, and `parent` invalidated); 0 after Cancel, when the dialog cannot run,
// or for a handle that names no image, the crop rectangle then as it was.
int crop_bitmap_win(HWND parent, int handle, HINSTANCE instance);

}  // namespace pxv
