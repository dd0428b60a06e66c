// Controls of the POSIX platform layer that exist for tests and fuzzers only: a limit on the size
// of one memory block, injected allocation failures, and a cap on what a file accepts. They let
// the "no memory" and "short write" paths of the library be exercised instead of hoped for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace pxv_platform {

// Blocks larger than this fail like an exhausted heap (default 1 GiB); PxvSetMemoryLimit is the
// same limit as hosts set it.
void set_block_limit(std::size_t bytes);
std::size_t block_limit();

// Make the n-th global or local allocation from now fail (1 = the very next); 0 disarms.
void fail_allocation(unsigned n);
// Number of global and local allocations made since the process started.
std::uint64_t allocation_count();
// Number of global and local blocks currently allocated.
std::size_t live_blocks();

// Let the file open on `file` accept only `bytes` more bytes; writes beyond are cut short.
void cap_file_writes(HFILE file, std::uint64_t bytes);
// The same cap for the next file that OpenFile opens for writing; a negative value disarms.
void cap_next_file_writes(std::int64_t bytes);

// Number of GDI objects alive now: bitmaps, palettes, pens, device contexts (memory and printer
// DCs, those from GetDC until ReleaseDC and from BeginPaint until EndPaint; stock objects and the
// screen itself excluded), so a test
// can see that an operation left none behind.
std::size_t live_gdi_objects();
// Make the n-th GDI object creation from now fail with NULL (1 = the very next); 0 disarms.
// Creations are CreateBitmap, CreateCompatibleBitmap, CreateCompatibleDC, CreatePalette,
// CreatePen, GetDC, BeginPaint and PxvCreatePrinterDC, counted once their arguments have been
// accepted.
void fail_gdi_creation(unsigned n);
// StretchDIBits on whole rows (true, the default) or pixel by pixel, the plain model the row
// path must match.
void set_row_stretch(bool on);

}  // namespace pxv_platform
