// Streams, work blocks and the two size rules that every reader and writer uses.
//
// A stream is a 32-bit number: 32767 is the one memory stream, anything else a file handle of
// the platform's simple file interface. One decoder or encoder thus serves files and memory.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace pxv {

constexpr int kMemoryStream = 32767;
constexpr int kSeekSet = 0;
constexpr int kSeekCur = 1;
constexpr int kSeekEnd = 2;
constexpr int kWorkBlockSlots = 20;

// The memory stream. Its documented form has no known length: reads and writes go wherever the
// offset points. Callers that do know the length (tests, fuzzers, the CLI) may bound it with
// reset_mem_io_bounded; reads and writes are then cut short at the bound like a file's.
extern const std::uint8_t *mem_io_ptr;
extern std::uint32_t mem_io_offset;

void reset_mem_io(const void *block);
void reset_mem_io_bounded(const void *block, std::uint32_t length);

std::int32_t img_read_mem(int stream, void *dst, std::uint32_t count);
std::int32_t img_write_mem(int stream, const void *src, std::uint32_t count);
std::int32_t img_seek_mem(int stream, std::int32_t offset, int origin);
std::int32_t img_filelength(int stream);
// True when all `count` bytes were written: the writers' test for a short write (-10).
inline bool img_write_all(int stream, const void *bytes, std::uint32_t count) {
  return img_write_mem(stream, bytes, count) == static_cast<std::int32_t>(count);
}

// Adding a page to a file that already holds pages (TIFF, DCX). The new page goes behind the
// file's end, and one 4-byte field makes the file reach it: the last directory's next offset, a
// DCX page-table entry. The writer does not write that field: it notes it here, and the save
// dispatcher writes it once the writer has succeeded. When the writer fails, or the field cannot
// be written, the dispatcher cuts the file back to its old end instead, so the pages already
// there stay byte for byte as they were and the next save adds the same page number again.
// (Undoing a failed append is this library's own addition: the writers' failure codes stay.)
void img_note_page_link(int stream, std::int32_t old_end, std::int32_t link_at, std::uint32_t link);
// Called by the save dispatcher with the writer's result: links the page or cuts it off, and
// answers the result (-10 when the link cannot be written).
int img_finish_page(int stream, int rc);

// Work blocks: locked movable memory recorded in a 20-entry list so that the load and save
// dispatchers can free whatever a reader or writer left behind.
//
// The cleanup rule, followed by every reader and writer:
// - The dispatcher frees. The load and save dispatchers call img_ffree_all after every reader or
//   writer returns, on success and on failure alike, so a reader or writer simply returns: it
//   never frees its blocks on its way out, and every early return is safe.
// - img_ffree is for blocks given back in the middle of the work: a buffer replaced by a larger
//   one, or a large block done with before the rest of the call needs memory of its own. That
//   keeps a long call within the 20 slots and its memory bounded.
// - Nobody but a dispatcher calls img_ffree_all: readers and writers nest (the EPS reader runs
//   the TIFF reader, the DCX writer the PCX writer), and an inner call must not free the outer
//   one's blocks. An exported function that runs a codec without a dispatcher (IMG_IsTiffCmyk)
//   is a dispatcher of its own and ends with img_ffree_all.
void *img_fmalloc(std::size_t bytes);
// A work block whose size was worked out in 64 bits: larger blocks are refused like memory that
// cannot be had, since on 32-bit Windows none could be asked for, and a size that would have
// wrapped never turns into a small one.
constexpr std::uint64_t kMaxBlockBytes = INT32_MAX;
void *take_work_block(std::uint64_t bytes);
void img_ffree(void *block);
void img_ffree_all();
int img_work_blocks_in_use();

void img_byteswap(void *words, int count);

// Bytes per stored row: pixels to bytes by bit count, rounded up to a multiple of 4. Widths
// below 0, or rows that do not fit a 32-bit signed count, give -1.
std::int32_t size_for_long(std::int32_t width, int bit_count);
// Bytes of the colour table that follows a 40-byte DIB header.
std::uint32_t Palette_Size(const void *header);

}  // namespace pxv
