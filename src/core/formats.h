// The readers and writers that the load and save dispatchers call. A format lands by adding its
// functions here and its entries to the dispatch tables in image.cpp.
#pragma once

#include "core/image.h"

namespace pxv {

// Readers (the reader contract).
// JPEG: answers 0 on success (the dispatcher takes any result of 0 or more as success).
int open_jpg(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);

// BMP (bmp.cpp): Windows and OS/2 headers; stored, RLE8 and RLE4 rows.
int open_bmp(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int decode_bmp_nocomp(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv,
                      bool top_down = false);
int decode_bmp_rle8(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv);
int decode_bmp_rle4(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv);
// Rewrites the OS/2 core header at the start of a header record as a 40-byte Windows header.
int os2head_to_win3head(std::uint8_t *header);
int open_tiff(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
              int stream);
int open_eps(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);

// Writers (the writer contract).
int save_tiff_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_tiff_file_lzw(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// Mode 2 is modified Huffman, mode 3 Group 3 with EOLs.
int save_tiff_file_huff(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv,
                        int mode);
int save_tiff_file_huffman(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_tiff_file_group3(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_tiff_file_g4(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// One LZW strip of the TIFF writer.
int encode_tif_lzw(const std::uint8_t *header, int stream, std::int32_t offset, std::int32_t width,
                   std::int32_t rows, PXV_FETCH_PROC fetch, void *priv, std::int32_t first_row);

// BMP (bmp_save.cpp): stored rows (save type 1) and RLE8 or RLE4 rows (save type 12).
int save_bmp_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_bmp_comp_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// One row encoded and written: `width` pixels of 8 bits, or of 4 bits packed two to a byte.
int save_bmp8_raster(int stream, const std::uint8_t *row, std::int32_t width);
int save_bmp4_raster(int stream, const std::uint8_t *row, std::int32_t width);
int save_jpg_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int open_gif(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int open_pcx(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int open_dcx(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);

// Targa (targa.cpp, tga_save.cpp): stored and run-length rows of 8 to 32 bits; written as
// gray, colour-mapped or true colour without compression (save type 3).
int open_tga(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int save_tga_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);

// Writers (the writer contract).
int save_gif_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_pcx_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
int save_dcx_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);

// PICT (pict.cpp, pct_save.cpp): the bitmap operations of version 1 and 2 pictures; a version-2
// picture of one PackBits bitmap (1, 4, 8 bits indexed, 24 bits as red, green, blue planes).
int open_pict(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
              int stream);
int save_pct_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// One row packed and written with its byte count; the PICT row size of a width and bit count.
int save_pct_raster(int stream, const std::uint8_t *row, std::int32_t length);
std::int32_t pct_size_for_long(std::int32_t width, int bits);

// EPS (eps_save.cpp): plain text, one hexadecimal line per row; answers 0 or -1 (writes are not
// checked). One row's digits written without a line break; the unpadded row size of the data.
int save_eps_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
void save_eps_raster(int stream, const std::uint8_t *bytes, char *hex_buffer, std::int32_t pixels,
                     int bits);
std::int32_t eps_size_for_long(std::int32_t width, int bits);
// WPG (wpg.cpp, wpg_save.cpp): the last bitmap of a version-1 file, run-length rows of 1, 2, 4,
// 8 or 24 bits; written as 1-, 4- or 8-bit rows with a colour map (save type 5).
int open_wpg(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int wpg_decomp(int stream, std::uint8_t *row, std::int32_t row_bytes, PXV_RASTER_PROC raster,
               void *priv);
std::int32_t wpg_size_for_long(std::int32_t width, int bits);
int save_wpg_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// One row packed and written; the packed bytes are added to `data_length`.
int save_wpg_raster(int stream, const std::uint8_t *row, std::int32_t length,
                    std::uint32_t *data_length);
// WMF (wmf.cpp, wmf_save.cpp): the first DIB of a metafile, stored, RLE8 or RLE4; written as a
// placeable metafile of one StretchDIB record (save type 6).
int open_wmf(std::uint32_t position, PXV_RASTER_PROC raster, void *priv, PXV_HEADER_PROC header,
             int stream);
int decode_wmf_nocomp(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv);
int decode_wmf_rle8(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv);
int decode_wmf_rle4(std::uint8_t *header, int stream, PXV_RASTER_PROC raster, void *priv);
std::int32_t wmf_size_for_long(std::int32_t width, int bit_count);
// Bytes of the colour table a metafile's DIB header announces.
std::uint32_t wmf_Palette_Size(const std::uint8_t *header);
int save_wmf_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv);
// The SetWindowOrg, SetWindowExt and SetStretchBltMode records of a written metafile.
int write_meta_setup(int stream, const std::uint8_t *header);

}  // namespace pxv
