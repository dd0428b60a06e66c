// Loading an input with a row progress bar.
#pragma once

#include "progress.h"
#include "pxvlib10.h"

namespace pxv_cli {

// Loads page `page` of the open file `fd` into a new handle; answers it or a negative result code.
// Each row the reader delivers moves a progress bar labelled `label` on stderr (unless `quiet`).
int load_image(HFILE fd, int page, bool quiet, const char *label);

}  // namespace pxv_cli
