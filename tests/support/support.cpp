#include "support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "core/bytes.h"
#include "core/image.h"
#include "core/img_util.h"
#include "platform/win32.h"

namespace pxv_test {

namespace {

// A plain array, so that it outlives every static destructor that may still want it.
char scratch_name[512];

// Every test program works inside its own scratch folder: the library's temporary files
// ("plane.tmp", "temp.pcx") go to the current folder, and test processes that CTest runs side
// by side must not share them.
struct Cleanup {
  Cleanup() {
    if (chdir(scratch_dir().c_str()) != 0) std::abort();
  }
  ~Cleanup() {
    if (scratch_name[0] != '\0') {
      std::error_code ec;
      std::filesystem::remove_all(scratch_name, ec);
    }
  }
} cleanup;

using pxv::get_le32;
using pxv::put_le16;
using pxv::put_le32;

}  // namespace

std::string scratch_dir() {
  if (scratch_name[0] == '\0') {
    // A folder no other process has made (mkdtemp's rule, which Windows lacks): random names
    // until one is new.
    std::error_code ec;
    const std::string base = std::filesystem::temp_directory_path(ec).generic_string() + "/pxvtest-";
    std::random_device random;
    for (int attempt = 0; scratch_name[0] == '\0'; ++attempt) {
      const std::string name = base + std::to_string(random());
      if (attempt == 100 || name.size() >= sizeof scratch_name) std::abort();
      if (std::filesystem::create_directory(name, ec)) std::strcpy(scratch_name, name.c_str());
    }
  }
  return scratch_name;
}

std::string scratch_path(const std::string &name) { return scratch_dir() + "/" + name; }

Bytes read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string &path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

HFILE open_file(const std::string &path, int mode) {
  OFSTRUCT of;
  return OpenFile(path.c_str(), &of, UINT(mode));
}

bool run(const std::string &command, std::string *output) {
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return false;
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) text.append(buffer, n);
  int status = pclose(p);
  if (output != nullptr) *output = text;
  return status == 0;
}

int file_to_file(const std::string &in, const std::string &out, const FileOp &op, Bytes *written) {
  HFILE fin = open_file(in, OF_READ), fout = open_file(out, OF_CREATE);
  const int rc = op(fin, fout);
  if (fin != HFILE_ERROR) _lclose(fin);
  if (fout != HFILE_ERROR) _lclose(fout);
  if (written != nullptr) *written = read_file(out);
  return rc;
}

int PackedDib::row_bytes() const { return pxv::size_for_long(width, bits); }
int PackedDib::table_bytes() const { return int(pxv::Palette_Size(bytes.data())); }

std::uint8_t *PackedDib::row(int stored_row) { return bytes.data() + 40 + table_bytes() + stored_row * row_bytes(); }

PackedDib make_packed_dib(int width, int height, int bits, std::uint32_t clr_used) {
  PackedDib d{width, height, bits, Bytes(40, 0)};
  std::uint8_t *h = d.bytes.data();
  put_le32(h + 0, 40);                     // biSize
  put_le32(h + 4, std::uint32_t(width));   // biWidth
  put_le32(h + 8, std::uint32_t(height));  // biHeight
  put_le16(h + 12, 1);                     // biPlanes
  put_le16(h + 14, std::uint32_t(bits));   // biBitCount
  put_le32(h + 32, clr_used);              // biClrUsed
  int table = d.table_bytes();
  put_le32(h + 20, std::uint32_t(d.row_bytes() * height));  // biSizeImage
  d.bytes.resize(40 + table + std::size_t(d.row_bytes()) * height, 0);
  // A table whose entries differ in every component, so swapped channels show.
  for (int i = 0; i < table / 4; ++i)
    d.bytes[40 + 4 * i] = std::uint8_t(i * 7), d.bytes[41 + 4 * i] = std::uint8_t(i * 13 + 1), d.bytes[42 + 4 * i] = std::uint8_t(255 - i);
  return d;
}

PackedDib gray_dib(int width, int height, int bits) {
  PackedDib d = make_packed_dib(width, height, bits);
  for (int i = 0; i < d.table_bytes() / 4; ++i) std::fill_n(&d.bytes[40 + 4 * i], 3, std::uint8_t(i));
  return d;
}

void draw_test_picture(PackedDib &d) {
  for (int y = 0; y < d.height; ++y) {
    std::uint8_t *row = d.row(d.height - 1 - y);
    for (int x = 0; x < d.width; ++x) {
      int v = (x * 3 + y * 5 + (x * y) / 7) & 0xFF;
      switch (d.bits) {
        case 1:
          if ((x / 3 + y / 2) & 1) row[x / 8] |= std::uint8_t(0x80 >> (x % 8));
          break;
        case 4:
          row[x / 2] |= std::uint8_t((v & 15) << (x % 2 ? 0 : 4));
          break;
        case 8:
          row[x] = std::uint8_t(v);
          break;
        default:
          row[3 * x + 0] = std::uint8_t(x * 255 / (d.width > 1 ? d.width - 1 : 1));
          row[3 * x + 1] = std::uint8_t(y * 255 / (d.height > 1 ? d.height - 1 : 1));
          row[3 * x + 2] = std::uint8_t(v);
          break;
      }
    }
  }
}

int picture_handle(int width, int height, int bits) {
  PackedDib dib = make_packed_dib(width, height, bits);
  draw_test_picture(dib);
  return IMG_create_handle(dib.bytes.data());
}

void delete_all_handles() {
  for (int h = pxv::next_dib_handle - 1; h >= 0; --h) IMG_delete_bitmap(h);
}

std::string save_bmp(int handle, const std::string &name) {
  const std::string file = scratch_path(name);
  EXPECT_EQ(IMG_save_bitmap(handle, file.c_str(), PXV_SAVE_BMP), 0) << name;
  return file;
}

Bytes bmp_file_header(std::uint32_t file_size, std::uint32_t offset) {
  Bytes h(14, 0);
  h[0] = 'B', h[1] = 'M';
  put_le32(&h[2], file_size);
  put_le32(&h[10], offset);
  return h;
}

Bytes with_field(Bytes b, std::size_t at, int size, std::uint32_t value) {
  size == 2 ? put_le16(&b[at], value) : put_le32(&b[at], value);
  return b;
}

std::array<int, 4> crop_rect(int handle) {
  std::array<int, 4> r{};
  IMG_get_croprect(handle, &r[0], &r[1], &r[2], &r[3]);
  return r;
}

std::vector<std::array<LONG, 3>> progress_calls;
int record_progress(LONG user, LONG total, LONG row) { return progress_calls.push_back({user, total, row}), 0; }

Bytes save_mem(int handle, int type, std::size_t room, int expect) {
  Bytes out(room, 0xAA);
  EXPECT_EQ(IMG_save_bitmap_mem(handle, out.data(), type), expect) << "save type " << type;
  return out;
}

Bytes random_runs(std::mt19937 &rng, int length) {
  Bytes row;
  while (int(row.size()) < length) {
    const int run = rng() % 4 == 0 ? 1 + int(rng() % 300) : 1 + int(rng() % 3);
    row.insert(row.end(), std::size_t(std::min(run, length - int(row.size()))), std::uint8_t(rng() % 5));
  }
  return row;
}

Bytes encode_row(int (*writer)(int, const std::uint8_t *, int), const Bytes &row) {
  const std::string path = scratch_path("row.bin");
  HFILE f = open_file(path, OF_CREATE);
  EXPECT_EQ(writer(f, row.data(), int(row.size())), 0);
  _lclose(f);
  return read_file(path);
}

Capture read_handle(int handle) {
  Capture out;
  int width, height, bits;
  HGLOBAL block = IMG_bitmap_info(handle, &width, &height, &bits);
  if (block == nullptr) return out;
  const auto *dib = static_cast<const std::uint8_t *>(GlobalLock(block));
  const std::size_t row_bytes = std::size_t(pxv::size_for_long(width, bits)), table = pxv::Palette_Size(dib);
  out.header.assign(dib, dib + 40 + table);
  for (int r = 0; r < height; ++r) out.rows.emplace_back(dib + 40 + table + r * row_bytes, dib + 40 + table + (r + 1) * row_bytes);
  GlobalUnlock(block);
  return out;
}

int Capture::index(int x, int y) const {
  const Bytes &r = rows[std::size_t(y)];
  return bits() == 1 ? (r[x / 8] >> (7 - x % 8)) & 1 : bits() == 4 ? (r[x / 2] >> (x % 2 ? 0 : 4)) & 15 : r[x];
}

Bytes Capture::packed() const {
  Bytes out = header;
  for (const Bytes &row : rows) out.insert(out.end(), row.begin(), row.end());
  return out;
}

int Capture::on_header(unsigned char *header, void *capture) {
  auto *c = static_cast<Capture *>(capture);
  ++c->header_calls;
  c->header.assign(header, header + 40 + pxv::Palette_Size(header));
  c->rows.assign(c->height() > 0 && c->height() < (1 << 16) ? std::size_t(c->height()) : 0, Bytes());
  return c->header_result;
}

int Capture::on_row(unsigned char *row, void *capture, int row_number, int bytes) {
  auto *c = static_cast<Capture *>(capture);
  c->row_numbers.push_back(row_number);
  if (row_number >= 0 && row_number < int(c->rows.size())) c->rows[std::size_t(row_number)].assign(row, row + bytes);
  return 0;
}

int read_memory(Reader reader, const Bytes &bytes, Capture *c, std::uint32_t position, bool bounded) {
  bounded ? pxv::reset_mem_io_bounded(bytes.data(), std::uint32_t(bytes.size())) : pxv::reset_mem_io(bytes.data());
  c->result = reader(position, Capture::on_row, c, Capture::on_header, pxv::kMemoryStream);
  pxv::img_ffree_all();
  return c->result;
}

Capture capture_load(const Bytes &bytes, int page, std::uint8_t mask) {
  const std::string path = scratch_path("capture.bin");
  write_file(path, bytes);
  Capture c;
  c.mask = mask;
  HFILE f = open_file(path, OF_READ);
  // A successful low-level load answers the current handle, which a failed load before may
  // have left negative: start from 0 so that the result tells success from failure.
  pxv::hdib = 0;
  c.result = IMGLOW_decompress_bitmap(f, 0, page, Capture::on_row, &c, Capture::on_header);
  _lclose(f);
  return c;
}

bool read_pnm(const std::string &path, Rgb *out) {
  const Bytes f = read_file(path);
  std::istringstream in(std::string(f.begin(), f.end()));
  std::string magic;
  int maxval = 0;
  in >> magic >> out->width >> out->height >> maxval;
  in.get();  // the single whitespace after maxval
  const bool gray = magic == "P5";
  const std::size_t n = std::size_t(out->width) * out->height, at = std::size_t(in.tellg());
  if (!in || (!gray && magic != "P6") || maxval != 255 || f.size() < at + n * (gray ? 1 : 3)) return false;
  out->pixels.resize(n * 3);
  for (std::size_t i = 0; i < n * 3; ++i) out->pixels[i] = f[at + (gray ? i / 3 : i)];
  return true;
}

void write_ppm(const std::string &path, const Rgb &image) {
  const std::string head = "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  Bytes f(head.begin(), head.end());
  f.insert(f.end(), image.pixels.begin(), image.pixels.end());
  write_file(path, f);
}

Rgb handle_rgb(int handle) {
  const Capture d = read_handle(handle);
  Rgb out{d.header.empty() ? 0 : d.width(), d.header.empty() ? 0 : d.height(), {}};
  for (int y = out.height - 1; y >= 0; --y)
    for (int x = 0; x < out.width; ++x) {
      static const std::uint8_t black[3] = {};
      const std::uint8_t *bgr = black;
      const std::size_t entry = 40 + 4 * std::size_t(d.bits() == 24 ? 0 : d.index(x, y));
      if (d.bits() == 24) bgr = &d.rows[y][3 * x];
      else if (entry + 3 <= d.header.size()) bgr = &d.header[entry];
      out.pixels.insert(out.pixels.end(), {bgr[2], bgr[1], bgr[0]});
    }
  return out;
}

}  // namespace pxv_test
