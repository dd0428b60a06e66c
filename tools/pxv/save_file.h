// Saving an image to a named file without ever damaging what was there.
#pragma once

#include <functional>
#include <string>

#include "save_types.h"

namespace pxv_cli {

// Saves image `handle` as `out` in `type`. The library writes a temporary file beside `out`,
// which is renamed into place only when the save succeeds, so a refused or failed save leaves the
// user's file as it was. A type that adds pages starts from a copy of the existing file. The new
// file gets the old file's permissions, or the usual ones for a new file. Returns the library's
// result code.
int save_replacing(int handle, const std::string &out, const SaveType &type);
// The same for any writer: `write` makes the file whose name it is given (a copy of an existing
// `out` when `add_to_existing`, else a name where no file is) and answers a result code.
int write_replacing(const std::string &out, bool add_to_existing,
                    const std::function<int(const std::string &file)> &write);
// A new, empty folder in the system's temporary folder, named `prefix` and a random part; empty
// when none could be made.
std::string make_temporary_folder(const std::string &prefix);

// Copies the file `from` to `to`, made or emptied; false when either cannot be had.
bool copy_file(const std::string &from, const std::string &to);

}  // namespace pxv_cli
