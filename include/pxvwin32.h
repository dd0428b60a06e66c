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
typedef uintptr_t DWORD_PTR;

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

/* Pens, line drawing and the binary raster operations. */
typedef DWORD COLORREF;
#define RGB(r, g, b) ((COLORREF)(((BYTE)(r)) | ((WORD)((BYTE)(g)) << 8) | (((DWORD)(BYTE)(b)) << 16)))
#define CLR_INVALID 0xFFFFFFFFu
#define PS_SOLID 0
#define PS_DOT 2
#define PS_NULL 5
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define R2_BLACK 1
#define R2_NOTMERGEPEN 2
#define R2_MASKNOTPEN 3
#define R2_NOTCOPYPEN 4
#define R2_MASKPENNOT 5
#define R2_NOT 6
#define R2_XORPEN 7
#define R2_NOTMASKPEN 8
#define R2_MASKPEN 9
#define R2_NOTXORPEN 10
#define R2_NOP 11
#define R2_MERGENOTPEN 12
#define R2_COPYPEN 13
#define R2_MERGEPENNOT 14
#define R2_MERGEPEN 15
#define R2_WHITE 16
#define TRANSPARENT 1
#define OPAQUE 2
typedef HANDLE HPEN;
HPEN WINAPI CreatePen(int style, int width, COLORREF color);
HGDIOBJ WINAPI GetStockObject(int which);
int WINAPI SetROP2(HDC dc, int mode);
int WINAPI GetROP2(HDC dc);
int WINAPI SetBkMode(HDC dc, int mode);
int WINAPI GetBkMode(HDC dc);
COLORREF WINAPI SetBkColor(HDC dc, COLORREF color);
COLORREF WINAPI GetBkColor(HDC dc);
BOOL WINAPI MoveToEx(HDC dc, int x, int y, LPPOINT old);
BOOL WINAPI LineTo(HDC dc, int x, int y);

/* User: windows, messages and painting. */
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef intptr_t INT_PTR;
typedef WORD ATOM;
typedef HANDLE HMENU;
typedef HANDLE HICON;
typedef HANDLE HCURSOR;
typedef HANDLE HBRUSH;
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define LOWORD(v) ((WORD)(((DWORD_PTR)(v)) & 0xFFFF))
#define HIWORD(v) ((WORD)((((DWORD_PTR)(v)) >> 16) & 0xFFFF))
#define MAKELONG(lo, hi) ((LONG)(((WORD)((DWORD_PTR)(lo) & 0xFFFF)) | ((DWORD)((WORD)((DWORD_PTR)(hi) & 0xFFFF))) << 16))
#define MAKEWPARAM(lo, hi) ((WPARAM)(DWORD)MAKELONG(lo, hi))
#define MAKELPARAM(lo, hi) ((LPARAM)(DWORD)MAKELONG(lo, hi))

typedef struct tagWNDCLASSA {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCSTR lpszMenuName;
  LPCSTR lpszClassName;
} WNDCLASSA;

typedef struct tagCREATESTRUCTA {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCSTR lpszName;
  LPCSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTA;

typedef struct tagPAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
} PAINTSTRUCT, *LPPAINTSTRUCT;

#define CW_USEDEFAULT ((int)0x80000000)
#define WS_OVERLAPPEDWINDOW 0x00CF0000u
#define WS_POPUP 0x80000000u
#define WS_VISIBLE 0x10000000u

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_PAINT 0x000F
#define WM_ERASEBKGND 0x0014
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_ENTERIDLE 0x0121
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define MK_LBUTTON 0x0001
#define MSGF_DIALOGBOX 0
#define IDOK 1
#define IDCANCEL 2

ATOM WINAPI RegisterClassA(const WNDCLASSA *window_class);
HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR window_name, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param);
LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL WINAPI DestroyWindow(HWND window);
BOOL WINAPI IsWindow(HWND window);
BOOL WINAPI GetWindowRect(HWND window, LPRECT rect);
BOOL WINAPI GetClientRect(HWND window, LPRECT rect);
BOOL WINAPI InvalidateRect(HWND window, const RECT *rect, BOOL erase);
BOOL WINAPI GetUpdateRect(HWND window, LPRECT rect, BOOL erase);
BOOL WINAPI UpdateWindow(HWND window);
HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint);
BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint);
HWND WINAPI SetCapture(HWND window);
BOOL WINAPI ReleaseCapture(void);
HWND WINAPI GetCapture(void);
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

/* User: modal dialogs. */
INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner,
                               DLGPROC procedure, LPARAM init_param);
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);

/* User: the clipboard. */
#define CF_BITMAP 2
#define CF_DIB 8
BOOL WINAPI OpenClipboard(HWND owner);
BOOL WINAPI EmptyClipboard(void);
HANDLE WINAPI SetClipboardData(UINT format, HANDLE data);
HANDLE WINAPI GetClipboardData(UINT format);
BOOL WINAPI IsClipboardFormatAvailable(UINT format);
BOOL WINAPI CloseClipboard(void);

/* Not Win32: the POSIX stand-in's own controls, for hosts and tests that run without a display
 * or a printer. None of these exists on Windows; code that calls them is POSIX-only. */

/* The largest memory block GlobalAlloc, LocalAlloc and their ReAlloc give, and the largest GDI
 * bitmap: a larger request fails as an exhausted heap would, so a file whose header asks for a
 * huge image is refused with PXV_ERR_NO_MEMORY (-1) before anything is allocated. Starts at
 * 1 GiB; a host lowers it to bound what one file can make it allocate. A limit below 1 is taken
 * as 1. Returns the previous limit. */
SIZE_T PxvSetMemoryLimit(SIZE_T bytes);

/* Sets the screen: its size in pixels and its depth (24, 8 with a system palette of 20 static
 * colours, or 4 with the 16 VGA colours). Resets the system palette. Returns FALSE for another
 * depth or a size below 1 or above 16384. The screen starts as 1024 x 768 at depth 24. */
BOOL PxvSetScreen(int width, int height, int depth);

/* Creates a window with a client surface of the given size at the screen's depth, filled white,
 * and makes it the active window. NULL when the size is below 1 or above 16384. */
HWND PxvCreateWindow(int width, int height);
BOOL PxvDestroyWindow(HWND window);

/* The dialog templates DialogBoxParamA finds: on Windows they are resources of a module; here a
 * host registers each one's client size under its module instance and name (compared without
 * regard to case). FALSE for a null name or a size below 1 or above 16384; a size of 0 x 0
 * removes the template. */
BOOL PxvRegisterDialog(HINSTANCE instance, LPCSTR name, int width, int height);

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
