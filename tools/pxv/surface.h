// What pxv render, pxv print and pxv crop share: rectangles and sizes on the command line, and
// saving what was drawn on a device (a window's client area, a printed page) as an image file
// through the library.
#pragma once

#include <string>

#include "pxvlib10.h"
#include "save_types.h"

namespace pxv_cli {

struct Rect {
  bool given = false;
  int x = 0, y = 0, width = 0, height = 0;
};

// "X,Y,W,H" with W and H of 1 or more (or, when `signed_size`, not 0: negative extents mirror).
bool parse_rect(const std::string &text, bool signed_size, Rect *rect);

// "WxH" with both 1 or more.
bool parse_size(const std::string &text, int *width, int *height);

// Loads IN (with a row bar) and applies --crop; answers the handle or a result code.
int load_for_output(const std::string &in, const Rect &crop, bool quiet);

// Makes an image of `bitmap` (read through the screen, as a host would with
// IMG_create_handle_ddb) and saves it as `out`. Answers 0 or the exit status of a failure,
// already reported.
int save_bitmap_as(HBITMAP bitmap, const std::string &out, const SaveType &type);

// Copies a window's client area (through its context `dc`) into a bitmap of the screen's depth
// and saves it as save_bitmap_as does.
int save_client_area(HDC dc, int width, int height, const std::string &out, const SaveType &type);

// The output type: --type, or OUT's ending; reports a usage error (status in `status`) if neither.
const SaveType *output_type(const SaveType *given, const std::string &out, int *status);

}  // namespace pxv_cli
