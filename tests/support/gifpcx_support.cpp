#include "support/gifpcx_support.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/bytes.h"
#include "core/image.h"
#include "platform/win32.h"
#include "pxvlib10.h"

namespace pxv_test {

namespace {

int header_cb(unsigned char *header, void *priv) {
  auto *c = static_cast<Capture *>(priv);
  ++c->header_calls;
  c->header.assign(header, header + 40 + 1024);
  c->rows.assign(static_cast<std::size_t>(c->height() > 0 ? c->height() : 0), Bytes());
  return 1;
}

int raster_cb(unsigned char *row, void *priv, int row_number, int bytes) {
  auto *c = static_cast<Capture *>(priv);
  c->row_numbers.push_back(row_number);
  if (row_number >= 0 && row_number < static_cast<int>(c->rows.size()))
    c->rows[static_cast<std::size_t>(row_number)].assign(row, row + bytes);
  return 0;
}

}  // namespace

int Capture::width() const { return int(pxv::get_le32(&header[4])); }
int Capture::height() const { return int(pxv::get_le32(&header[8])); }
int Capture::bits() const { return header[14] | (header[15] << 8); }
int Capture::index(int x, int y) const {
  const Bytes &r = rows[static_cast<std::size_t>(y)];
  switch (bits()) {
    case 1: return (r[x / 8] >> (7 - x % 8)) & 1;
    case 4: return (r[x / 2] >> (x % 2 ? 0 : 4)) & 15;
    default: return r[x];
  }
}

int load_bytes_as_file(const Bytes &bytes, int page) {
  static int serial = 0;
  const std::string path = scratch_path("load" + std::to_string(serial++) + ".bin");
  write_file(path, bytes);
  return load_page(path, page);
}

Capture capture_load(const Bytes &bytes) {
  const std::string path = scratch_path("capture.bin");
  write_file(path, bytes);
  Capture c;
  OFSTRUCT of;
  HFILE f = OpenFile(path.c_str(), &of, OF_READ);
  // A successful low-level load answers the current handle, which a failed load before may
  // have left negative: start from 0 so that the result tells success from failure.
  pxv::hdib = 0;
  c.result = IMGLOW_decompress_bitmap(f, 0, 0, raster_cb, &c, header_cb);
  _lclose(f);
  return c;
}

Bytes pack_gif_codes(const std::vector<GifCode> &codes, int sub_block_size) {
  Bytes packed;
  std::uint32_t acc = 0;
  int have = 0;
  for (const GifCode &c : codes) {
    acc |= static_cast<std::uint32_t>(c.code) << have;
    have += c.width;
    while (have >= 8) {
      packed.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      have -= 8;
    }
  }
  if (have > 0) packed.push_back(static_cast<std::uint8_t>(acc));
  Bytes out;
  for (std::size_t i = 0; i < packed.size(); i += static_cast<std::size_t>(sub_block_size)) {
    const std::size_t n = std::min(packed.size() - i, static_cast<std::size_t>(sub_block_size));
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), packed.begin() + static_cast<long>(i), packed.begin() + static_cast<long>(i + n));
  }
  out.push_back(0);
  return out;
}

Bytes make_gif(int width, int height, int table_entries, int min_code_size, bool interlaced,
               const Bytes &data_sub_blocks) {
  int size_bits = 0;
  while ((2 << size_bits) < table_entries) ++size_bits;
  Bytes g = {'G', 'I', 'F', '8', '9', 'a',
             std::uint8_t(width), std::uint8_t(width >> 8), std::uint8_t(height), std::uint8_t(height >> 8),
             std::uint8_t(0x80 | size_bits), 0, 0};
  // Entry i is (i*16, 255 - i*16, i): each index has its own colour.
  for (int i = 0; i < (2 << size_bits); ++i) {
    g.push_back(std::uint8_t(i * 16));
    g.push_back(std::uint8_t(255 - i * 16));
    g.push_back(std::uint8_t(i));
  }
  Bytes d = {',', 0, 0, 0, 0, std::uint8_t(width), std::uint8_t(width >> 8), std::uint8_t(height),
             std::uint8_t(height >> 8), std::uint8_t(interlaced ? 0x40 : 0), std::uint8_t(min_code_size)};
  g.insert(g.end(), d.begin(), d.end());
  g.insert(g.end(), data_sub_blocks.begin(), data_sub_blocks.end());
  g.push_back(';');
  return g;
}

}  // namespace pxv_test
