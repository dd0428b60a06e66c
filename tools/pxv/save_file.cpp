// Saves through a temporary file: see save_file.h.
#include "save_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

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
                  std::rename(temp.c_str(), out.c_str()) != 0))
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
    return IMG_save_bitmap(handle, file.c_str(), type.number);
  });
}

}  // namespace pxv_cli
