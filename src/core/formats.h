// The readers and writers that the load and save dispatchers call. A format lands by adding its
// functions here and its entries to the dispatch tables in image.cpp.
#pragma once

#include "core/image.h"

namespace pxv {

// Readers (the reader contract).
int open_tiff(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
              int stream);
int open_eps(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);

// Writers (the writer contract).

}  // namespace pxv
