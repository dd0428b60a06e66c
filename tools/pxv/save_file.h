// Saving an image to a named file without ever damaging what was there.
#pragma once

#include <string>

#include "save_types.h"

namespace pxv_cli {

// Saves image `handle` as `out` in `type`. The library writes a temporary file beside `out`,
// which is renamed into place only when the save succeeds, so a refused or failed save leaves the
// user's file as it was. A type that adds pages starts from a copy of the existing file. The new
// file gets the old file's permissions, or the usual ones for a new file. Returns the library's
// result code.
int save_replacing(int handle, const std::string &out, const SaveType &type);

}  // namespace pxv_cli
