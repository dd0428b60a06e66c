/* pxvlib10: image files to Windows DIBs and back.
 *
 * Images live in the library as device-independent bitmaps under small integer handles (0 or
 * more). Every negative result is one of the result codes below, never a handle.
 */
#ifndef PXVLIB10_H
#define PXVLIB10_H

#if defined(_WIN32)
#include <windows.h>
#include <stdint.h>
#if defined(_M_IX86) || defined(__i386__)
#define PXVAPI __stdcall
#else
#define PXVAPI
#endif
#else
#include "pxvwin32.h"
#define PXVAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define PXV_OK 0
#define PXV_ERR_NO_MEMORY (-1)   /* memory could not be had; also a general decoding failure */
#define PXV_ERR_READ (-2)        /* the file cannot be opened or read */
#define PXV_ERR_DATA (-3)        /* wrong or corrupt data */
#define PXV_ERR_GDI (-5)         /* clipboard or GDI bitmap failure */
#define PXV_ERR_TYPE (-6)        /* unknown or unsupported type */
#define PXV_ERR_HANDLE (-7)      /* invalid image handle */
#define PXV_ERR_CREATE (-8)      /* output or temporary file cannot be created */
#define PXV_ERR_PAGE (-9)        /* the requested TIFF page does not exist */
#define PXV_ERR_SHORT_WRITE (-10) /* a write moved fewer bytes than asked */

/* Save types, also the results of IMGLOW_get_filetype. */
#define PXV_SAVE_TIFF 0
#define PXV_SAVE_BMP 1
#define PXV_SAVE_PCX 2
#define PXV_SAVE_TGA 3
#define PXV_SAVE_GIF 4
#define PXV_SAVE_WPG 5
#define PXV_SAVE_WMF 6
#define PXV_SAVE_TIFF_HUFFMAN 7
#define PXV_SAVE_TIFF_G3 8
#define PXV_SAVE_TIFF_LZW 9
#define PXV_SAVE_TIFF_G4 10
#define PXV_SAVE_DCX 11
#define PXV_SAVE_BMP_RLE 12
#define PXV_SAVE_JPEG 13
#define PXV_SAVE_EPS 14
#define PXV_SAVE_PICT 15
#define PXV_SAVE_FROM_NAME (-1)

/* The stream number of the one memory stream; any other stream number is a file handle. */
#define PXV_MEMORY_STREAM 32767

/* Callbacks of the low-level load: the header callback receives the 40-byte header followed by
 * its colour table; a negative result stops the load. The raster callback receives one row in
 * DIB layout, numbered from the top of the image (0 = top row). */
typedef int (*PXV_HEADER_PROC)(unsigned char *header, void *priv);
typedef int (*PXV_RASTER_PROC)(unsigned char *row, void *priv, int row_number, int bytes);
/* Callback of the low-level save: copy `bytes` bytes of the row numbered from the bottom of the
 * saved area (0 = bottom row) into `dest`. */
typedef int (*PXV_FETCH_PROC)(void *priv, unsigned char *dest, int row_number, int bytes);

/* Handles. */
int PXVAPI WEP(int reserved);
int PXVAPI IMG_create_handle(const void *packed_dib);
int PXVAPI IMG_create_handle_nocopy(HGLOBAL packed_dib);
HGLOBAL PXVAPI IMG_bitmap_handle(int handle);
int PXVAPI IMG_delete_bitmap(int handle);
HGLOBAL PXVAPI IMG_bitmap_info(int handle, int *width, int *height, int *bit_count);
int PXVAPI IMG_get_croprect(int handle, int *x, int *y, int *width, int *height);
int PXVAPI IMG_set_croprect(int handle, int x, int y, int width, int height);
int PXVAPI IMGLOW_get_bitmap_name(char *name, char *date);
int PXVAPI IMGLOW_set_bitmap_name(const char *name, const char *date);

/* Loading. */
int PXVAPI IMG_decompress_bitmap(const char *file_name);
int PXVAPI IMG_decompress_bitmap_fd(HFILE file, LONG offset, int page);
int PXVAPI IMG_decompress_bitmap_mem(const void *image, int page);
int PXVAPI IMGLOW_decompress_bitmap(HFILE stream, LONG offset, int page, PXV_RASTER_PROC raster,
                                    void *priv, PXV_HEADER_PROC header);
int PXVAPI IMGLOW_decompress_bitmap_mem(const void *image, int page, PXV_RASTER_PROC raster,
                                        void *priv, PXV_HEADER_PROC header);
int PXVAPI IMGLOW_get_filetype(const char *file_name);
int PXVAPI IMGLOW_get_bitmap_header(int handle, void *buffer);
/* 1 when the file is a TIFF whose first page is separated (CMYK) with 3 or more samples, 0 when
 * it is not, -1 when its header or directory cannot be read. */
int PXVAPI IMG_IsTiffCmyk(const char *file_name);

/* Saving. */
int PXVAPI IMG_save_bitmap(int handle, const char *file_name, int type);
int PXVAPI IMG_save_bitmap_fd(int handle, HFILE file, int type);
int PXVAPI IMG_save_bitmap_mem(int handle, void *output, int type);
int PXVAPI IMGLOW_save_bitmap(HFILE stream, unsigned char *header, int type, PXV_FETCH_PROC fetch,
                              void *priv);
int PXVAPI IMGLOW_save_bitmap_mem(void *output, unsigned char *header, int type,
                                  PXV_FETCH_PROC fetch, void *priv);
/* JPEG quantisation from a compression level: 0 finest, 100 (the most) coarsest. The tables hold
 * for every later JPEG save of the process. Returns 0. */
int PXVAPI IMGLOW_set_comp_quality(int level);

/* Device bitmaps and palettes. IMG_create_handle_ddb makes a handle from a device-dependent
 * bitmap, its colours read through `palette` when one is given (0 otherwise); 16- and 32-bit
 * bitmaps become 24-bit images, other depths answer -5, as does a bitmap GDI cannot describe or
 * read. IMG_bitmap_palette builds the image's logical palette (3-3-2 for 24-bit images), selects
 * it into `dc` as a foreground palette and realises it; the image keeps it. */
int PXVAPI IMG_create_handle_ddb(HBITMAP bitmap, HPALETTE palette);
int PXVAPI IMG_bitmap_palette(int handle, HDC dc);

/* Display and printing put the crop rectangle (clipped to the image) at the destination. The
 * rectangle is in the context's logical units; negative extents mirror, a zero extent paints
 * nothing. They answer 0, -7 for a handle that is not live, -3 for a crop rectangle wholly
 * outside the image, and -1 when memory or GDI objects cannot be had or when the destination is
 * wider or taller than 32767 device pixels (the stretch calls carry 16-bit values); a refusal
 * paints nothing, and the context's mapping is always left as the host had it.
 * IMG_dib_to_ddb answers a new device-dependent bitmap compatible with the active window, or on
 * failure a result code cast to the handle type (-5 for a size below 1 pixel): test it with
 * PXV_DDB_FAILED. IMG_display_ddb copies the whole bitmap to x, y; -5 for a bitmap GDI does not
 * know. */
int PXVAPI IMG_display_bitmap(int handle, HDC dc, int x, int y, int width, int height);
HBITMAP PXVAPI IMG_dib_to_ddb(int handle, int width, int height);
int PXVAPI IMG_display_ddb(HBITMAP bitmap, HDC dc, int x, int y);
#define PXV_DDB_FAILED(bitmap) ((intptr_t)(bitmap) < 0 && (intptr_t)(bitmap) >= -10)

/* Printing: in device resolution; black and white with error diffusion on devices of fewer than
 * four colours (PostScript printers excepted). The fast variant hands the whole crop rectangle
 * to the device's stretch call in one go. */
int PXVAPI IMG_print_bitmap(int handle, HDC dc, int x, int y, int width, int height);
int PXVAPI IMG_print_bitmap_fast(int handle, HDC dc, int x, int y, int width, int height);

/* Colour. Each handle operation replaces the image's DIB by a new one of the same width and height
 * under the same handle, or leaves it untouched and answers a negative code: -6 for a bit count
 * it does not take (1-bit images always; the popularity and mapping operations take 24 bits
 * only), -1 when memory runs short, -7 for a handle that names no image. Host palettes are the
 * entries GetPaletteEntries fills (red, green, blue, flags): 256 for IMG_map_to_palette, 16 for
 * the IMG_dither_to_palette pair, whose index bits are 1 red, 2 green, 4 blue, 8 bright
 * whatever colours the host gives; a null palette answers -6.
 *
 * The progress callback, where an operation takes one, is called after each output row with the
 * user value, the image height and the row just finished (stored order: 0 is the bottom row),
 * in the platform's default calling convention; its result is ignored. The user value is 32 bits
 * on every platform: pass an index, not a pointer. */
typedef int (*PXV_PROGRESS_PROC)(LONG user, LONG total, LONG row);

/* To 8 bits: the fixed 3-3-2 palette with error diffusion; the 256 most frequent colours (by
 * their top four bits per channel); 256 grays; the nearest of the host's 256 colours. */
int PXVAPI IMG_mediancut_color(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_popularity_color(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_color_gray(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_map_to_palette(int handle, const PALETTEENTRY *palette);
/* To 1 bit: ordered dither (Bayer or halftone matrix), or error diffusion. */
int PXVAPI IMG_bayer_mono(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_halftone_mono(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_diffusion_mono(int handle, PXV_PROGRESS_PROC progress, LONG user);
/* To 4 bits: the 16 colours of 0, 128 and 255 by ordered dither or error diffusion; or error
 * diffusion whose error is measured against the host's 16 colours. */
int PXVAPI IMG_bayer_color(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_diffusion_color(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_dither_to_palette(int handle, const PALETTEENTRY *palette);
/* The same from an uncompressed 4-, 8- or 24-bit BMP file (read from its start) to a 4-bit BMP
 * written at the output's current position, which must be the start of the file. A header cut
 * short answers 0 and writes nothing; a header this call does not take answers -6 or -3 and
 * writes nothing; a short write answers -10. */
int PXVAPI IMG_dither_to_palette_fd(HFILE input, HFILE output, const PALETTEENTRY *palette);

/* Processing. The handle operations keep the bit count and the colour table (IMG_24_to_8 makes
 * a 24-bit image 8-bit with the 3-3-2 palette). Each answers 0, or leaves the image as it was
 * and answers -7 for a handle that names no image, -1 when memory runs short, -6 for a bit count
 * or an argument it does not take; a quarter turn whose closing mirror fails stays transposed.
 * The progress callback is the colour operations' one.
 *
 * Quarter and half turns, clockwise as the image is seen (90, 180, 270; any other angle leaves
 * the image transposed, its width and height exchanged), and mirrors left to right (x) and top
 * to bottom (y). The crop rectangle turns with the image. */
int PXVAPI IMG_rotate_bitmap(int handle, int angle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_flip_bitmapx(int handle, PXV_PROGRESS_PROC progress, LONG user);
int PXVAPI IMG_flip_bitmapy(int handle, PXV_PROGRESS_PROC progress, LONG user);
/* Nearest-neighbour resizing to a width and height of 1 or more; the crop rectangle becomes the
 * whole new image. */
int PXVAPI IMG_resize_bitmap(int handle, int width, int height, PXV_PROGRESS_PROC progress, LONG user);
/* Contrast and brightness (0 and 0 change nothing): palette images through their colour table,
 * always from the table as it was before the first call; 24-bit images through every byte, so
 * that calls compound. 1-bit images answer -6. */
int PXVAPI IMG_set_lut(int handle, int contrast, int brightness, PXV_PROGRESS_PROC progress, LONG user);
/* Inverts pixel values, not colours: a palette image gets the colours of the mirrored indices. */
int PXVAPI IMG_invert_bitmap(int handle, PXV_PROGRESS_PROC progress, LONG user);
/* Sharpens 1- and 24-bit images and 4- and 8-bit images with a gray colour table (others
 * answer -6); only bits 4 to 15 of the amount count, larger amounts sharpening more. */
int PXVAPI IMG_sharpen_bitmap(int handle, int amount);
/* A 24-bit image to the 3-3-2 palette, undithered; other bit counts answer -6. */
int PXVAPI IMG_24_to_8(int handle);

/* The same on BMP files, without a handle, reading from the start of the input: mirrored into
 * another file (a flag is on only when it is 1; both on turn the file by 180 degrees); resized
 * into another file; reduced from 24 to 8 bits into another file; contrast and brightness, or a
 * gamma above 0, applied in place to a file opened for reading and writing (4, 8 or 24 bits with
 * a 40-byte info header). Outputs are written from the output's current position, which must be
 * the start of the file. A header cut short answers 0 and writes nothing; a compressed or
 * top-down file, or a bit count the operation does not take, -6; a data offset too small for the
 * headers or a file too large, -3; a short write, -10. */
int PXVAPI IMG_flip_bitmap_fd(HFILE input, HFILE output, int horizontal, int vertical);
int PXVAPI IMG_resize_bitmap_fd(HFILE input, HFILE output, int width, int height);
int PXVAPI IMG_24_to_8_fd(HFILE input, HFILE output);
int PXVAPI IMG_set_lut_fd(HFILE file, int contrast, int brightness);
int PXVAPI IMG_GammaCorrection(HFILE file, float gamma);

/* Clipboard: writes the bitmap on the clipboard to an uncompressed BMP file, opening the
 * clipboard with `window` (NULL for none). A packed DIB (CF_DIB) is preferred to a device bitmap
 * (CF_BITMAP); 16- and 32-bit bitmaps are written at 24 bits, 108- and 124-byte DIB headers as
 * 40-byte ones. A device bitmap of 8 bits or fewer gets the first entries of the system palette
 * as its colour table (all black on a screen without one). Answers 1; -5 when the clipboard
 * cannot be opened, holds neither format, or holds a DIB this call does not take (compressed,
 * top-down, a header of another size, more colours than its bits hold, data past the end of its
 * block), and then no file is made; -1 when the file cannot be created or memory runs short.
 * The clipboard is closed again on every path. */
int PXVAPI IMG_save_clipboard(const char *file_name, HWND window);

#ifdef __cplusplus
}
#endif

#endif /* PXVLIB10_H */
