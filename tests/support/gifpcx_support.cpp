#include "support/gifpcx_support.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unordered_map>

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

int le32(const Bytes &b, std::size_t at) {
  return static_cast<int>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24));
}

}  // namespace

int Capture::width() const { return le32(header, 4); }
int Capture::height() const { return le32(header, 8); }
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
  return load_path(path, page);
}

int load_path(const std::string &path, int page) {
  const int before = pxv::next_dib_handle;
  int h;
  if (page == 0) {
    h = IMG_decompress_bitmap(path.c_str());
  } else {
    OFSTRUCT of;
    HFILE f = OpenFile(path.c_str(), &of, OF_READ);
    if (f == HFILE_ERROR) return -2;
    h = IMG_decompress_bitmap_fd(f, 0, page);
    _lclose(f);
  }
  // A failed load keeps its slot by design; the tests hand it back so that nothing leaks.
  if (h < 0)
    for (int slot = pxv::next_dib_handle - 1; slot >= before; --slot) IMG_delete_bitmap(slot);
  return h;
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

std::string pixel_difference(const Rgb &ours, const Rgb &reference) {
  if (ours.width != reference.width || ours.height != reference.height)
    return "size " + std::to_string(ours.width) + "x" + std::to_string(ours.height) + " vs " +
           std::to_string(reference.width) + "x" + std::to_string(reference.height);
  for (std::size_t i = 0; i < ours.pixels.size(); ++i) {
    if (ours.pixels[i] != reference.pixels[i]) {
      const std::size_t p = i / 3;
      std::ostringstream s;
      s << "pixel (" << p % ours.width << "," << p / ours.width << ") channel " << i % 3 << ": "
        << int(ours.pixels[i]) << " vs " << int(reference.pixels[i]);
      return s.str();
    }
  }
  return "";
}

std::string mapping_difference(const Rgb &ours, const Rgb &reference) {
  if (ours.width != reference.width || ours.height != reference.height) return "size differs";
  std::unordered_map<std::uint32_t, std::uint32_t> backward;
  for (std::size_t p = 0; p < ours.pixels.size() / 3; ++p) {
    const std::uint8_t *a = &ours.pixels[3 * p], *b = &reference.pixels[3 * p];
    const std::uint32_t ca = a[0] << 16 | a[1] << 8 | a[2], cb = b[0] << 16 | b[1] << 8 | b[2];
    const auto known = backward.emplace(cb, ca).first;
    if (known->second != ca)
      return "pixel " + std::to_string(p) + " breaks the colour mapping";
  }
  return "";
}

std::string corpus_path(const std::string &relative) { return std::string(PXV_CORPUS_DIR) + "/" + relative; }

std::vector<ManifestRow> manifest_rows(const std::vector<std::string> &formats) {
  std::vector<ManifestRow> rows;
  std::ifstream in(corpus_path("MANIFEST.tsv"));
  std::string line;
  std::getline(in, line);  // the header row
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    std::string field;
    while (std::getline(s, field, '\t')) f.push_back(field);
    if (f.size() < 11) continue;
    bool wanted = false;
    for (const std::string &name : formats) wanted |= f[1] == name;
    if (!wanted) continue;
    ManifestRow r;
    r.path = f[0];
    r.format = f[1];
    r.features = f[2];
    r.width = f[3] == "-" ? 0 : std::atoi(f[3].c_str());
    r.height = f[4] == "-" ? 0 : std::atoi(f[4].c_str());
    r.pages = std::atoi(f[5].c_str());
    r.ref = f[6];
    r.malformed = f[9] == "yes";
    r.notes = f[10];
    rows.push_back(r);
  }
  return rows;
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

namespace pxv_test {

namespace {

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

}  // namespace

void write_test_ppm(const std::string &path, int width, int height) {
  std::string head = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  Bytes f(head.begin(), head.end());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const bool box = x > width / 3 && x < 2 * width / 3 && y > height / 4 && y < 3 * height / 4;
      f.push_back(std::uint8_t(box ? 250 : x * 255 / (width > 1 ? width - 1 : 1)));
      f.push_back(std::uint8_t(box ? 30 : y * 255 / (height > 1 ? height - 1 : 1)));
      f.push_back(std::uint8_t(((x / 4 + y / 4) & 1) ? 200 : 40));
    }
  write_file(path, f);
}

bool pillow(const std::string &snippet, const std::string &src, const std::string &dst) {
  const std::string script = scratch_path("snippet.py");
  const std::string text = "from PIL import Image\nsrc = '" + src + "'\ndst = '" + dst + "'\n" + snippet + "\n";
  write_file(script, Bytes(text.begin(), text.end()));
  return run(pillow_python() + " " + script + " 2>&1");
}

bool peer_decode(const std::string &command, const std::string &in, Rgb *out) {
  const std::string ppm = scratch_path("peer.ppm");
  std::remove(ppm.c_str());
  // In a subshell: run() sends the error output to where the standard output goes.
  if (!run("(" + replace_all(replace_all(command, "{in}", in), "{out}", ppm) + ") 2>/dev/null")) return false;
  return read_pnm(ppm, out);
}

}  // namespace pxv_test
