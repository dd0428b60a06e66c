// The DCX writer: the image is written as a PCX to "temp.pcx" in the current directory, appended
// to the output and entered in the output's 100-entry page table.
#include <cstring>

#include "core/bytes.h"
#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"
#include "formats/pcx.h"

namespace pxv {

namespace {

constexpr char kTempName[] = "temp.pcx";
constexpr int kCopyBlock = 4000;
constexpr int kPageSlots = 100;
constexpr int kTableBytes = 4 + 4 * kPageSlots;  // the DCX value and 100 page offsets

int write_all(int stream, const void *bytes, std::uint32_t count) {
  return img_write_mem(stream, bytes, count) == static_cast<std::int32_t>(count) ? 0 : kShortWrite;
}

// Enters a new page in the output's table and leaves the stream where its PCX goes.
int enter_page(int stream, std::uint8_t *buffer) {
  img_seek_mem(stream, 0, kSeekSet);
  std::int32_t got = img_read_mem(stream, buffer, kTableBytes);
  if (got < 0) got = 0;
  if (got >= 4 && get_le32(buffer) == kDcxMagic) {
    // The output already holds pages: the first 0 entry takes the output's length. A full
    // table is refused before anything is written, so no page can spill into the first page.
    int slot = -1;
    for (int i = 0; i < kPageSlots && 8 + 4 * i <= got; ++i) {
      if (get_le32(buffer + 4 + 4 * i) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) return kUnsupported;
    // The entry is written once the whole page is (see img_note_page_link): a failed save then
    // leaves the file's pages as they were.
    const std::int32_t end = img_filelength(stream);
    img_note_page_link(stream, end, 4 + 4 * slot, static_cast<std::uint32_t>(end));
    img_seek_mem(stream, end, kSeekSet);
    return 0;
  }
  // A new DCX: an empty table, the DCX value and the first page right behind the table.
  std::memset(buffer, 0, kTableBytes);
  img_seek_mem(stream, 0, kSeekSet);
  if (write_all(stream, buffer, kTableBytes) != 0) return kShortWrite;
  img_seek_mem(stream, 0, kSeekSet);
  std::uint8_t head[8];
  put_le32(head, kDcxMagic);
  put_le32(head + 4, kTableBytes);
  if (write_all(stream, head, 4) != 0 || write_all(stream, head + 4, 4) != 0) return kShortWrite;
  img_seek_mem(stream, kTableBytes, kSeekSet);
  return 0;
}

int copy_temp(HFILE temp, int stream, std::uint8_t *buffer) {
  _llseek(temp, 0, kSeekSet);
  for (;;) {
    const std::int32_t got = img_read_mem(temp, buffer, kCopyBlock);
    if (got <= 0) return 0;
    if (write_all(stream, buffer, static_cast<std::uint32_t>(got)) != 0) return kShortWrite;
    if (got < kCopyBlock) return 0;
  }
}

}  // namespace

int save_dcx_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  OFSTRUCT of;
  HFILE temp = OpenFile(kTempName, &of, OF_CREATE);
  if (temp == HFILE_ERROR) return kCreateError;
  int rc = save_pcx_file(temp, header, fetch, priv);
  std::uint8_t *buffer = nullptr;
  if (rc >= 0) {
    buffer = static_cast<std::uint8_t *>(img_fmalloc(kCopyBlock));
    if (buffer == nullptr) rc = kNoMemory;
  }
  if (rc >= 0) rc = enter_page(stream, buffer);
  if (rc >= 0) rc = copy_temp(temp, stream, buffer);
  // A new DCX written over a longer file of another kind ends behind its first page, so that
  // no stale bytes stay behind it; an appended page ends the file anyway.
  if (rc >= 0 && stream != kMemoryStream) img_write_mem(stream, "", 0);
  // The temporary file goes on failure too: it is of no use to anyone afterwards.
  _lclose(temp);
  OpenFile(kTempName, &of, OF_DELETE);
  return rc < 0 ? rc : kOk;
}

}  // namespace pxv
