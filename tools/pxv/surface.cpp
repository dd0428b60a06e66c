// Shared by pxv render and pxv print: see surface.h.
#include "surface.h"

#include <cstdio>

#include "cli.h"
#include "load.h"
#include "save_file.h"

namespace pxv_cli {

bool parse_rect(const std::string &text, bool signed_size, Rect *rect) {
  char tail = 0;
  Rect r;
  if (std::sscanf(text.c_str(), "%d,%d,%d,%d%c", &r.x, &r.y, &r.width, &r.height, &tail) != 4)
    return false;
  const bool sizes_ok = signed_size ? r.width != 0 && r.height != 0 : r.width > 0 && r.height > 0;
  if (!sizes_ok) return false;
  r.given = true;
  *rect = r;
  return true;
}

int load_for_output(const std::string &in, const Rect &crop, bool quiet) {
  OFSTRUCT of;
  HFILE fd = OpenFile(in.c_str(), &of, OF_READ);
  if (fd == HFILE_ERROR) return PXV_ERR_READ;
  int handle = load_image(fd, 0, quiet, "loading");
  _lclose(fd);
  if (handle >= 0 && crop.given) IMG_set_croprect(handle, crop.x, crop.y, crop.width, crop.height);
  return handle;
}

bool parse_size(const std::string &text, int *width, int *height) {
  char tail = 0;
  return std::sscanf(text.c_str(), "%dx%d%c", width, height, &tail) == 2 && *width > 0 && *height > 0;
}

int save_client_area(HDC dc, int width, int height, const std::string &out, const SaveType &type) {
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP copy = memory != nullptr ? CreateCompatibleBitmap(dc, width, height) : nullptr;
  int status = 0;
  if (copy == nullptr) {
    status = fail("the window's copy", PXV_ERR_GDI);
  } else {
    HGDIOBJ old = SelectObject(memory, copy);
    BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    status = save_bitmap_as(copy, out, type);
  }
  if (copy != nullptr) DeleteObject(copy);
  if (memory != nullptr) DeleteDC(memory);
  return status;
}

int save_bitmap_as(HBITMAP bitmap, const std::string &out, const SaveType &type) {
  int handle = IMG_create_handle_ddb(bitmap, nullptr);
  if (handle < 0) return fail(out, handle);
  int width = 0, height = 0, bits = 0;
  IMG_bitmap_info(handle, &width, &height, &bits);
  int status = 0;
  if (!writes_depth(type, bits)) {
    status = fail(out, PXV_ERR_TYPE);
    std::fprintf(stderr, "pxv: the surface is %d-bit; %s writes images of %s only\n", bits, type.name,
                 depth_list(type).c_str());
  } else if (int rc = save_replacing(handle, out, type); rc < 0) {
    status = fail(out, rc);
  }
  IMG_delete_bitmap(handle);
  return status;
}

const SaveType *output_type(const SaveType *given, const std::string &out, int *status) {
  const SaveType *type = given != nullptr ? given : save_type_from_file_name(out);
  if (type == nullptr) *status = usage_error("cannot tell the output type: give --type");
  return type;
}

}  // namespace pxv_cli
