// Loading with a row progress bar. The library's one-call loads report nothing until they return,
// so the CLI loads as any host may that keeps its own pixels: through the low-level entry, with
// its own header and row callbacks that build a packed DIB, which then becomes a handle without
// a copy. The rows land exactly where the library's own load puts them (bottom-up, each row cut
// to the stored row's size, rows outside the image dropped), and each delivery moves the bar.
#include "load.h"

#include <cstring>

#include "cli.h"
#include "core/dib.h"
#include "core/img_util.h"

namespace pxv_cli {

namespace {

struct Loading {
  // The TIFF reader takes the first byte of a host's private block as the CMYK channels to use
  // (bit 0 cyan to bit 3 black): all four, as the library's own load uses.
  std::uint8_t cmyk_channels = 0x0F;
  HGLOBAL block = nullptr;
  std::uint8_t *pixels = nullptr;  // the stored rows, bottom row first
  std::int32_t height = 0, row_bytes = 0;
  Progress bar;
  int rows = 0, step = 1;  // rows delivered; the bar moves every `step` rows
};

int on_header(unsigned char *header, void *priv) {
  auto *load = static_cast<Loading *>(priv);
  if (load->block != nullptr || !pxv::dib_header_holdable(header)) return PXV_ERR_NO_MEMORY;
  const std::int32_t row_bytes = pxv::size_for_long(pxv::dib_width(header), pxv::dib_bit_count(header));
  const std::uint64_t head = pxv::kDibHeaderBytes + std::uint64_t{pxv::Palette_Size(header)};
  const std::uint64_t size = head + std::uint64_t(row_bytes) * std::uint64_t(pxv::dib_height(header));
  if (row_bytes <= 0 || size > UINT32_MAX) return PXV_ERR_NO_MEMORY;
  // Checked here as well as by the platform's block limit, which Windows' GlobalAlloc lacks,
  // so that the refusal can say what the image needed.
  if (memory_limit.bytes != 0 && size > memory_limit.bytes) {
    memory_limit.refused_image = size;
    return PXV_ERR_NO_MEMORY;
  }
  load->block = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size));
  auto *dib = static_cast<std::uint8_t *>(load->block == nullptr ? nullptr : GlobalLock(load->block));
  if (dib == nullptr) return PXV_ERR_NO_MEMORY;
  std::memcpy(dib, header, static_cast<std::size_t>(head));
  load->pixels = dib + head;
  load->height = pxv::dib_height(header);
  load->row_bytes = row_bytes;
  load->step = load->height > 200 ? load->height / 200 : 1;
  load->bar.total = load->height;
  return 1;
}

int on_row(unsigned char *row, void *priv, int row_number, int bytes) {
  auto *load = static_cast<Loading *>(priv);
  if (load->pixels == nullptr || row_number < 0 || row_number >= load->height || bytes <= 0) return 0;
  if (bytes > load->row_bytes) bytes = load->row_bytes;
  std::memcpy(load->pixels + std::int64_t{load->height - 1 - row_number} * load->row_bytes, row,
              static_cast<std::size_t>(bytes));
  if (++load->rows % load->step == 0) progress_update(&load->bar, load->rows < load->height ? load->rows : load->height);
  return 0;
}

}  // namespace

int load_image(HFILE fd, int page, bool quiet, const char *label) {
  Loading load;
  // The total is not known before the header; any positive count lets the bar decide to show.
  load.bar = progress_start(label, 1, quiet);
  int rc = IMGLOW_decompress_bitmap(fd, 0, page, on_row, &load, on_header);
  progress_clear(&load.bar);
  if (load.block == nullptr) return rc < 0 ? rc : PXV_ERR_DATA;
  GlobalUnlock(load.block);
  if (rc >= 0) rc = IMG_create_handle_nocopy(load.block);
  if (rc < 0) GlobalFree(load.block);
  return rc;
}

}  // namespace pxv_cli
