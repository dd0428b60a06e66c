/* The Win32 subset that hosts of pxvlib10 use together with the library, for POSIX systems.
 *
 * On Windows the library and its hosts include <windows.h> instead. Elsewhere this header
 * declares the same names with the same meanings, and the library itself provides them: a host
 * locks the DIB block that IMG_bitmap_handle hands over with GlobalLock, exactly as it would on
 * Windows. Widths follow the Win32 data model: LONG and DWORD are 32 bits, handles are pointers.
 */
#ifndef PXVWIN32_H
#define PXVWIN32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define FAR
#define NEAR

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef const char *LPCCH;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef size_t SIZE_T;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;

typedef void *HANDLE;
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;
typedef HANDLE HGDIOBJ;
typedef HANDLE HPALETTE;
typedef HANDLE HBITMAP;
typedef HANDLE HDC;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef int HFILE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define HFILE_ERROR ((HFILE)-1)

/* Global and local memory flags. */
#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)

/* OpenFile styles. */
#define OF_READ 0x0000u
#define OF_WRITE 0x0001u
#define OF_READWRITE 0x0002u
#define OF_SHARE_COMPAT 0x0000u
#define OF_SHARE_EXCLUSIVE 0x0010u
#define OF_SHARE_DENY_WRITE 0x0020u
#define OF_SHARE_DENY_READ 0x0030u
#define OF_SHARE_DENY_NONE 0x0040u
#define OF_PARSE 0x0100u
#define OF_DELETE 0x0200u
#define OF_CREATE 0x1000u
#define OF_EXIST 0x4000u

#define OFS_MAXPATHNAME 128
typedef struct _OFSTRUCT {
  BYTE cBytes;
  BYTE fFixedDisk;
  WORD nErrCode;
  WORD Reserved1;
  WORD Reserved2;
  CHAR szPathName[OFS_MAXPATHNAME];
} OFSTRUCT, *LPOFSTRUCT;

/* The DIB structures, laid out as on Windows (no padding at these widths). */
typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER, *LPBITMAPINFOHEADER;

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO, *LPBITMAPINFO;

#define BI_RGB 0u
#define BI_RLE8 1u
#define BI_RLE4 2u

/* Logical palettes. */
typedef struct tagPALETTEENTRY {
  BYTE peRed;
  BYTE peGreen;
  BYTE peBlue;
  BYTE peFlags;
} PALETTEENTRY;

typedef struct tagLOGPALETTE {
  WORD palVersion;
  WORD palNumEntries;
  PALETTEENTRY palPalEntry[1];
} LOGPALETTE;

/* Kernel: global memory. */
HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL WINAPI GlobalReAlloc(HGLOBAL mem, SIZE_T bytes, UINT flags);
LPVOID WINAPI GlobalLock(HGLOBAL mem);
BOOL WINAPI GlobalUnlock(HGLOBAL mem);
HGLOBAL WINAPI GlobalFree(HGLOBAL mem);
HGLOBAL WINAPI GlobalHandle(LPCVOID address);
SIZE_T WINAPI GlobalSize(HGLOBAL mem);

/* Kernel: local memory. */
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalReAlloc(HLOCAL mem, SIZE_T bytes, UINT flags);
LPVOID WINAPI LocalLock(HLOCAL mem);
BOOL WINAPI LocalUnlock(HLOCAL mem);
HLOCAL WINAPI LocalFree(HLOCAL mem);
SIZE_T WINAPI LocalSize(HLOCAL mem);

/* Kernel: files. */
HFILE WINAPI OpenFile(LPCSTR name, LPOFSTRUCT info, UINT style);
UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT bytes);
UINT WINAPI _lwrite(HFILE file, LPCCH buffer, UINT bytes);
LONG WINAPI _llseek(HFILE file, LONG offset, int origin);
HFILE WINAPI _lclose(HFILE file);

/* Kernel: strings. */
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b);
LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src);
int WINAPI lstrlenA(LPCSTR s);
int wsprintfA(LPSTR out, LPCSTR format, ...);

/* Geometry. */
typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *LPPOINT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE, *LPSIZE;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *LPRECT;

/* Device-dependent bitmaps as GetObjectA describes them. */
typedef struct tagBITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
} BITMAP, *LPBITMAP;

typedef struct _DOCINFOA {
  int cbSize;
  LPCSTR lpszDocName;
  LPCSTR lpszOutput;
  LPCSTR lpszDatatype;
  DWORD fwType;
} DOCINFOA;

/* GetDIBits and StretchDIBits colour usage. */
#define DIB_RGB_COLORS 0u
#define DIB_PAL_COLORS 1u

/* Ternary raster operations. */
#define SRCCOPY 0x00CC0020u
#define SRCPAINT 0x00EE0086u
#define SRCAND 0x008800C6u
#define SRCINVERT 0x00660046u
#define NOTSRCCOPY 0x00330008u
#define DSTINVERT 0x00550009u
#define BLACKNESS 0x00000042u
#define WHITENESS 0x00FF0062u

/* GetDeviceCaps indexes and values. */
#define DRIVERVERSION 0
#define TECHNOLOGY 2
#define HORZSIZE 4
#define VERTSIZE 6
#define HORZRES 8
#define VERTRES 10
#define BITSPIXEL 12
#define PLANES 14
#define NUMCOLORS 24
#define RASTERCAPS 38
#define LOGPIXELSX 88
#define LOGPIXELSY 90
#define SIZEPALETTE 104
#define NUMRESERVED 106
#define COLORRES 108
#define DT_RASDISPLAY 1
#define DT_RASPRINTER 2
#define RC_BITBLT 0x0001
#define RC_BITMAP64 0x0008
#define RC_DI_BITMAP 0x0080
#define RC_PALETTE 0x0100
#define RC_DIBTODEV 0x0200
#define RC_STRETCHBLT 0x0800
#define RC_STRETCHDIB 0x2000

/* Failure results: RealizePalette's, and the printing calls'. */
#define GDI_ERROR 0xFFFFFFFFu
#define SP_ERROR (-1)

/* Printer escapes. */
#define QUERYESCSUPPORT 8
#define GETSCALINGFACTOR 14
#define GETTECHNOLOGY 20

/* Mapping modes. */
#define MM_TEXT 1
#define MM_LOMETRIC 2
#define MM_HIMETRIC 3
#define MM_LOENGLISH 4
#define MM_HIENGLISH 5
#define MM_TWIPS 6
#define MM_ISOTROPIC 7
#define MM_ANISOTROPIC 8

/* GDI objects. */
HPALETTE WINAPI CreatePalette(const LOGPALETTE *palette);
BOOL WINAPI DeleteObject(HGDIOBJ object);
UINT WINAPI GetPaletteEntries(HPALETTE palette, UINT start, UINT count, PALETTEENTRY *entries);
HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object);
int WINAPI GetObjectA(HANDLE object, int bytes, LPVOID out);
HBITMAP WINAPI CreateBitmap(int width, int height, UINT planes, UINT bits, const void *data);
HBITMAP WINAPI CreateCompatibleBitmap(HDC dc, int width, int height);

/* Device contexts. */
HDC WINAPI CreateCompatibleDC(HDC dc);
BOOL WINAPI DeleteDC(HDC dc);
int WINAPI GetDeviceCaps(HDC dc, int index);
HPALETTE WINAPI SelectPalette(HDC dc, HPALETTE palette, BOOL background);
UINT WINAPI RealizePalette(HDC dc);
UINT WINAPI GetSystemPaletteEntries(HDC dc, UINT start, UINT count, PALETTEENTRY *entries);

/* Coordinate mapping. */
int WINAPI SetMapMode(HDC dc, int mode);
int WINAPI GetMapMode(HDC dc);
BOOL WINAPI SetWindowOrgEx(HDC dc, int x, int y, LPPOINT old);
BOOL WINAPI GetWindowOrgEx(HDC dc, LPPOINT out);
BOOL WINAPI SetWindowExtEx(HDC dc, int x, int y, LPSIZE old);
BOOL WINAPI GetWindowExtEx(HDC dc, LPSIZE out);
BOOL WINAPI SetViewportOrgEx(HDC dc, int x, int y, LPPOINT old);
BOOL WINAPI GetViewportOrgEx(HDC dc, LPPOINT out);
BOOL WINAPI SetViewportExtEx(HDC dc, int x, int y, LPSIZE old);
BOOL WINAPI GetViewportExtEx(HDC dc, LPSIZE out);
BOOL WINAPI LPtoDP(HDC dc, LPPOINT points, int count);
BOOL WINAPI DPtoLP(HDC dc, LPPOINT points, int count);

/* Drawing. */
int WINAPI StretchDIBits(HDC dc, int x, int y, int width, int height, int src_x, int src_y,
                         int src_width, int src_height, const void *bits,
                         const BITMAPINFO *info, UINT usage, DWORD rop);
BOOL WINAPI BitBlt(HDC dc, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                   DWORD rop);
BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop);
int WINAPI GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits,
                     LPBITMAPINFO info, UINT usage);

/* Printing. */
int WINAPI Escape(HDC dc, int escape, int in_bytes, LPCSTR in, LPVOID out);
int WINAPI StartDocA(HDC dc, const DOCINFOA *info);
int WINAPI StartPage(HDC dc);
int WINAPI EndPage(HDC dc);
int WINAPI EndDoc(HDC dc);

/* User: windows' device contexts. */
HDC WINAPI GetDC(HWND window);
int WINAPI ReleaseDC(HWND window, HDC dc);
HWND WINAPI GetActiveWindow(void);

/* Not Win32: the POSIX stand-in's own controls, for hosts and tests that run without a display
 * or a printer. None of these exists on Windows; code that calls them is POSIX-only. */

/* Sets the screen: its size in pixels and its depth (24, 8 with a system palette of 20 static
 * colours, or 4 with the 16 VGA colours). Resets the system palette. Returns FALSE for another
 * depth or a size below 1 or above 16384. The screen starts as 1024 x 768 at depth 24. */
BOOL PxvSetScreen(int width, int height, int depth);

/* Creates a window with a client surface of the given size at the screen's depth, filled white,
 * and makes it the active window. NULL when the size is below 1 or above 16384. */
HWND PxvCreateWindow(int width, int height);
BOOL PxvDestroyWindow(HWND window);

/* A virtual printer. */
typedef void (*PXV_ROWS_PAINTED_PROC)(void *user, int rows_painted, int page_height);
typedef struct PXV_PRINTER {
  int page_width;       /* device pixels */
  int page_height;
  int dpi_x;            /* LOGPIXELSX, LOGPIXELSY */
  int dpi_y;
  int colors;           /* 2, 16, 256 give 1-, 4-, 8-bit pages; more a 24-bit page (NUMCOLORS -1) */
  const char *technology; /* what escape 20 reports; NULL: escape 20 is unsupported */
  int has_scaling;      /* escape 14 supported */
  int scale_x;          /* the factors escape 14 reports */
  int scale_y;
  PXV_ROWS_PAINTED_PROC rows_painted; /* optional: called as drawing reaches further down */
  void *user;
} PXV_PRINTER;

/* A device context on a new virtual printer (DeleteDC ends it), or NULL for a description it
 * cannot honour: a page side below 1 or above 16384, a dpi below 1 or above 100000, fewer than 2
 * colours, a technology string longer than 31 characters, scaling factors outside 0..16. A
 * printer whose technology is "PostScript" (in any case) keeps a 24-bit page whatever colour
 * count it reports. */
HDC PxvCreatePrinterDC(const PXV_PRINTER *printer);
/* Hands over the printer's current page as a new bitmap of the page's depth (the caller deletes
 * it); NULL when no page was started. */
HBITMAP PxvTakePrinterPage(HDC printer);

#ifdef __cplusplus
}
#endif

#endif /* PXVWIN32_H */
