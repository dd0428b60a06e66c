// pxv render and pxv print on Windows. Both paint into the software screen and the virtual
// printers of the POSIX build, whose pixels they save; Windows has real devices instead, and a
// host paints into them with IMG_display_bitmap and IMG_print_bitmap.
#include <cstdio>

#include "cli.h"

namespace pxv_cli {

namespace {

int posix_only(const char *command) {
  std::fprintf(stderr, "pxv %s: the software screen and virtual printers belong to the POSIX build of pxv\n",
               command);
  return kExitFailed;
}

}  // namespace

int cmd_render(const Args &) { return posix_only("render"); }
int cmd_print(const Args &) { return posix_only("print"); }

}  // namespace pxv_cli
