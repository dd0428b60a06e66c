// pxv render, print and crop on Windows. They paint into the software screen and the virtual
// printers of the POSIX build and script its modal dialog, and save the pixels; Windows has real
// devices and a real user instead, and a host paints into them with IMG_display_bitmap and
// IMG_print_bitmap.
#include <cstdio>

#include "cli.h"

namespace pxv_cli {

namespace {

int posix_only(const char *command) {
  std::fprintf(stderr, "pxv %s: the software screen, printers and dialogs belong to the POSIX build of pxv\n",
               command);
  return kExitFailed;
}

}  // namespace

int cmd_render(const Args &) { return posix_only("render"); }
int cmd_print(const Args &) { return posix_only("print"); }
int cmd_crop(const Args &) { return posix_only("crop"); }

}  // namespace pxv_cli
