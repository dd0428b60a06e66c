// The readers and writers that the load and save dispatchers call. A format lands by adding its
// functions here and its entries to the dispatch tables in image.cpp.
#pragma once

#include "core/image.h"

namespace pxv {

// Readers (the reader contract).

// Writers (the writer contract).
int save_tiff_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_tiff_file_lzw(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// Mode 2 is modified Huffman, mode 3 Group 3 with EOLs.
int save_tiff_file_huff(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv,
                        int mode);
int save_tiff_file_huffman(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_tiff_file_group3(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_tiff_file_g4(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// One LZW strip of the TIFF writer, and its string table's search and growth.
int encode_tif_lzw(const std::uint8_t *header, int stream, std::int32_t offset, std::int32_t width,
                   std::int32_t rows, PXV_FETCH_PROC fetch, void *priv, std::int32_t first_row);
std::int32_t tif_in_table(int prefix, std::uint8_t byte);
int tif_add_table_entry(std::int32_t not_found, int prefix, std::uint8_t byte, int next_code);

}  // namespace pxv
