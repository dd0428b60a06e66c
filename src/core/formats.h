// The readers and writers that the load and save dispatchers call. A format lands by adding its
// functions here and its entries to the dispatch tables in image.cpp.
#pragma once

#include "core/image.h"

namespace pxv {

// Readers (the reader contract).
int open_gif(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int open_pcx(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int open_dcx(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);

// Writers (the writer contract).
int save_gif_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_pcx_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_dcx_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);

}  // namespace pxv
