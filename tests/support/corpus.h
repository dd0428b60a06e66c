// The reader conformance corpus (PXV_CORPUS_DIR) and its reference decodes, and what the tests
// that load real files share: loading a page, and comparing pixels.
#pragma once

#include <string>

#include "support.h"

namespace pxv_test {

std::string corpus_path(const std::string &relative);

// Loads one page of a file through the public API (page 0 by name, others by handle and
// page). A failed load keeps its slot by design; this hands such slots back.
int load_page(const std::string &path, int page = 0);

// Empty when the two images hold the same pixels; otherwise where they first differ.
std::string pixel_difference(const Rgb &ours, const Rgb &reference);

}  // namespace pxv_test
