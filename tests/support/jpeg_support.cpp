#include "jpeg_support.h"

#include <cstring>

#include "core/formats.h"
#include "core/image.h"
#include "core/img_util.h"

namespace pxv_test {

namespace {

int fetch_row(void *dib, unsigned char *dest, int row, int bytes) {
  std::memcpy(dest, static_cast<PackedDib *>(dib)->row(row), static_cast<std::size_t>(bytes));
  return 0;
}

}  // namespace

bool jpeg_reference_all(const std::vector<std::string> &files, std::vector<Rgb> *out) {
  static const std::string helper = [] {
    const std::string exe = scratch_path("jpeg_reference");
    return run("cc -O2 -o " + exe + " " PXV_SOURCE_DIR "/tests/support/jpeg_reference.c -ljpeg -lm") ? exe : "";
  }();
  std::string command = helper;
  for (std::size_t i = 0; i < files.size(); ++i) command += " '" + files[i] + "' " + scratch_path("ref" + std::to_string(i) + ".ppm");
  if (helper.empty() || !run(command)) return false;
  out->assign(files.size(), Rgb());
  for (std::size_t i = 0; i < files.size(); ++i)
    if (!read_pnm(scratch_path("ref" + std::to_string(i) + ".ppm"), &(*out)[i])) return false;
  return true;
}

Capture decode_jpeg(const Bytes &bytes, std::uint32_t offset, bool bounded) {
  Capture d;
  read_memory(pxv::open_jpg, bytes, &d, offset, bounded);
  return d;
}

Bytes save_jpeg(PackedDib &dib) {
  const std::string path = scratch_path("save.jpg");
  HFILE file = open_file(path, OF_CREATE);
  Bytes header(dib.bytes.begin(), dib.bytes.begin() + 40 + dib.table_bytes());
  header.resize(1064);
  int rc = IMGLOW_save_bitmap(file, header.data(), PXV_SAVE_JPEG, fetch_row, &dib);
  _lclose(file);
  if (rc < 0) return {};
  return read_file(path);
}

}  // namespace pxv_test
