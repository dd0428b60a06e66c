// The readers and writers that the load and save dispatchers call. A format lands by adding its
// functions here and its entries to the dispatch tables in image.cpp.
#pragma once

#include "core/image.h"

namespace pxv {

// Readers (the reader contract).

// BMP (bmp.cpp): Windows and OS/2 headers; stored, RLE8 and RLE4 rows.
int open_bmp(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int decode_bmp_nocomp(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv,
                      bool top_down = false);
int decode_bmp_rle8(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv);
int decode_bmp_rle4(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv);
// Rewrites the OS/2 core header at the start of a header record as a 40-byte Windows header.
int os2head_to_win3head(std::uint8_t *header);

// Writers (the writer contract).

// BMP (bmp_save.cpp): stored rows (save type 1) and RLE8 or RLE4 rows (save type 12).
int save_bmp_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_bmp_comp_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// One row encoded and written: `width` pixels of 8 bits, or of 4 bits packed two to a byte.
int save_bmp8_raster(int stream, const std::uint8_t *row, std::int32_t width);
int save_bmp4_raster(int stream, const std::uint8_t *row, std::int32_t width);

}  // namespace pxv
