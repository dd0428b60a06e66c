// Saves through a temporary file: see save_file.h.
#include "save_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "pxvlib10.h"

namespace pxv_cli {

namespace {

// Windows opens descriptors in text mode unless told otherwise, and would turn every 0x0A byte
// written into two.
#ifdef O_BINARY
constexpr int kBinary = O_BINARY;
#else
constexpr int kBinary = 0;
#endif

// Copies the file `from` onto the open descriptor `to`.
bool copy_into(const std::string &from, int to) {
  FILE *in = std::fopen(from.c_str(), "rb");
  if (in == nullptr) return false;
  std::vector<char> buffer(1 << 16);
  bool ok = true;
  std::size_t n;
  while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
    ok = write(to, buffer.data(), n) == ssize_t(n);
  ok = ok && !std::ferror(in);
  std::fclose(in);
  return ok;
}

// The permissions a file made now gets: what the user's umask leaves of rw for everyone.
mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// A new, empty temporary file beside `out`: ".NAME.pxv-XXXXXX" in the same directory, so that
// the final rename stays within one file system.
std::string make_temporary(const std::string &out, int *fd) {
  std::size_t slash = out.rfind('/');
  std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? out : out.substr(slash + 1);
  std::string pattern = dir + "." + name + ".pxv-XXXXXX";
  *fd = mkstemp(pattern.data());
  return pattern;
}

// Puts the finished file in place of `out`. Windows' rename refuses an existing target, which
// the move must replace instead.
bool move_into_place(const std::string &temp, const std::string &out) {
#ifdef _WIN32
  return MoveFileExA(temp.c_str(), out.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(temp.c_str(), out.c_str()) == 0;
#endif
}

// The bytes every whole file of a save type ends with, for the writers that do not report a
// write that failed: JPEG and EPS, and the last two bytes of an RLE BMP. On a full disk every
// write after the first one cut short fails as well, so a file that lacks its end lost writes.
// Empty for the writers that answer -10 themselves.
std::string_view whole_file_end(int type) {
  switch (type) {
    case PXV_SAVE_JPEG: return "\xFF\xD9";
    case PXV_SAVE_EPS: return "showpage\r\n";
    case PXV_SAVE_BMP_RLE: return {"\0\1", 2};
    default: return {};
  }
}

bool ends_with(const std::string &file, std::string_view end) {
  if (end.empty()) return true;
  FILE *f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) return false;
  std::string tail(end.size(), '\0');
  const bool read = std::fseek(f, -long(end.size()), SEEK_END) == 0 &&
                    std::fread(tail.data(), 1, tail.size(), f) == tail.size();
  std::fclose(f);
  return read && tail == end;
}

}  // namespace

int write_replacing(const std::string &out, bool add_to_existing,
                    const std::function<int(const std::string &file)> &write) {
  struct stat old;
  const bool existed = stat(out.c_str(), &old) == 0;
  int fd = -1;
  std::string temp = make_temporary(out, &fd);
  if (fd < 0) return PXV_ERR_CREATE;
  bool ready = true;
  if (add_to_existing && existed)
    ready = copy_into(out, fd);
  else if (add_to_existing)
    unlink(temp.c_str());  // the library starts a new file only where none exists
  close(fd);
  int rc = ready ? write(temp) : PXV_ERR_CREATE;
  if (rc >= 0 && (chmod(temp.c_str(), existed ? old.st_mode & 07777 : new_file_mode()) != 0 ||
                  !move_into_place(temp, out)))
    rc = PXV_ERR_CREATE;
  if (rc < 0) unlink(temp.c_str());
  return rc;
}

std::string make_temporary_folder(const std::string &prefix) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return "";
  std::random_device random;
  // A name already taken is tried again under another; a folder that cannot be made at all ends
  // the attempts.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir = base / (prefix + std::to_string(random()));
    if (std::filesystem::create_directory(dir, ec)) return dir.string();
    if (ec) return "";
  }
  return "";
}

bool copy_file(const std::string &from, const std::string &to) {
  const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kBinary, 0666);
  if (fd < 0) return false;
  const bool copied = copy_into(from, fd);
  return close(fd) == 0 && copied;
}

int save_replacing(int handle, const std::string &out, const SaveType &type) {
  return write_replacing(out, type.appends_pages, [&](const std::string &file) {
    const int rc = IMG_save_bitmap(handle, file.c_str(), type.number);
    return rc >= 0 && !ends_with(file, whole_file_end(type.number)) ? PXV_ERR_SHORT_WRITE : rc;
  });
}

}  // namespace pxv_cli
