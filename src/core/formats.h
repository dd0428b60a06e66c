// The readers and writers that the load and save dispatchers call. A format lands by adding its
// functions here and its entries to the dispatch tables in image.cpp.
#pragma once

#include "core/image.h"

namespace pxv {

// Readers (the reader contract).
// JPEG: answers 0 on success (the dispatcher takes any result of 0 or more as success).
int open_jpg(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);

// Writers (the writer contract).
int save_jpg_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);

}  // namespace pxv
