// The Win32 kernel subset on POSIX: movable global and local memory, the simple file interface
// and the string helpers, with the semantics the library and its hosts rely on.
//
// Memory: every block has a control record holding its size and lock count. A movable block's
// handle is the control record's address; a fixed block's handle is its data address, as on
// Windows. Global and local blocks come from one heap, as on Win32: either family's calls take
// the other's handles. Handles and addresses are looked up in tables before use, so a stale or invented
// handle is refused without touching memory.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "platform/testing.h"
#include "platform/win32.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, bytes) ((void)(address), (void)(bytes))
#define ASAN_UNPOISON_MEMORY_REGION(address, bytes) ((void)(address), (void)(bytes))
#endif

namespace {

struct Block {
  unsigned char *data;
  std::size_t size;
  unsigned locks;
  bool movable;
  std::size_t capacity;  // what data holds, at least size (more when a kept block was reused)
};

// A freed large block, kept for the next allocation of about its size. A host that rotates,
// resizes or loads one image after another frees a DIB and asks for one of the same size at
// once; given back to the system, the new one costs a page fault on every 4 KiB (glibc hands
// back the top of its heap as soon as a few megabytes there are free): a third of a 4-MPixel
// 8-bit rotation's time. Two are kept, up to 64 MiB each; kept memory is poisoned, so a use
// after free is still caught under AddressSanitizer.
struct KeptBlock {
  unsigned char *data = nullptr;
  std::size_t capacity = 0;
};
constexpr std::size_t kKeptLeast = std::size_t{1} << 20, kKeptMost = std::size_t{64} << 20;

struct MemoryState {
  std::unordered_map<const void *, Block *> by_handle;
  std::unordered_map<const void *, Block *> by_address;
  std::size_t limit = std::size_t{1} << 30;
  unsigned fail_countdown = 0;
  std::uint64_t allocations = 0;
  KeptBlock kept[2];  // the one freed last first
};

// Never destroyed: blocks that a host still holds at exit stay reachable, and so are not
// reported as leaks by a leak checker that runs after static destructors.
MemoryState &memory() {
  static MemoryState *state = new MemoryState;
  return *state;
}

// Counts an allocation and says whether fault injection wants this one to fail.
bool allocation_refused(std::size_t bytes) {
  MemoryState &m = memory();
  ++m.allocations;
  if (m.fail_countdown != 0 && --m.fail_countdown == 0) return true;
  return bytes > m.limit;
}

Block *find_block(const void *handle) {
  if (handle == nullptr) return nullptr;
  auto it = memory().by_handle.find(handle);
  return it == memory().by_handle.end() ? nullptr : it->second;
}

// A large image's first touch of each 4 KiB page is a page fault: for a 12-MPixel DIB that is
// some 9000 faults, which cost a load about as much as decoding half the file. Large blocks ask
// for 2 MiB pages instead where the system offers them (only whole 2 MiB spans inside the block
// get one, so the block's resident size stays what it touches). Not above 64 MiB: the system
// may compact memory to find each 2 MiB page, and for a gigabyte block (which a 128-byte header
// can ask for) first touch took 6-7 s here against 1.2 s in 4 KiB pages.
void advise_large_pages(void *data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  constexpr std::size_t kLargeBlock = std::size_t{8} << 20, kLargestAdvised = std::size_t{64} << 20, kPage = 4096;
  if (bytes < kLargeBlock || bytes > kLargestAdvised) return;
  const auto first = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
  madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// A kept block for `bytes`, wasting at most a quarter of it; null when none fits.
unsigned char *take_kept(std::size_t bytes, std::size_t *capacity) {
  if (bytes < kKeptLeast) return nullptr;
  for (KeptBlock &k : memory().kept) {
    if (k.data == nullptr || k.capacity < bytes || k.capacity - bytes > bytes / 4) continue;
    unsigned char *data = k.data;
    *capacity = k.capacity;
    k = {};
    // Past the bytes asked for, the block stays out of bounds.
    ASAN_UNPOISON_MEMORY_REGION(data, bytes);
    return data;
  }
  return nullptr;
}

// Frees a block's memory, or keeps it in place of the block kept longest.
void free_or_keep(unsigned char *data, std::size_t capacity) {
  if (capacity < kKeptLeast || capacity > kKeptMost) {
    std::free(data);
    return;
  }
  KeptBlock *kept = memory().kept;
  std::free(kept[1].data);
  kept[1] = kept[0];
  kept[0] = {data, capacity};
  ASAN_POISON_MEMORY_REGION(data, capacity);
}

HANDLE block_alloc(UINT flags, SIZE_T bytes) {
  if (allocation_refused(bytes)) return nullptr;
  // A zero-byte block still gets a distinct address so that GlobalHandle can find it.
  std::size_t real = bytes == 0 ? 1 : bytes;
  auto *data = take_kept(real, &real);
  if (data != nullptr) {
    if (flags & GMEM_ZEROINIT) std::memset(data, 0, bytes);
  } else {
    data = static_cast<unsigned char *>((flags & GMEM_ZEROINIT) ? std::calloc(real, 1) : std::malloc(real));
    if (data == nullptr) return nullptr;
    advise_large_pages(data, real);
  }
  auto *b = new Block{data, bytes, 0, (flags & GMEM_MOVEABLE) != 0, real};
  const void *handle = b->movable ? static_cast<const void *>(b) : static_cast<const void *>(data);
  memory().by_handle[handle] = b;
  memory().by_address[data] = b;
  return const_cast<void *>(handle);
}

HANDLE block_realloc(HANDLE handle, SIZE_T bytes, UINT flags) {
  Block *b = find_block(handle);
  if (b == nullptr) return nullptr;
  // A grown copy moves. An unlocked movable block may always move; a fixed or locked one only
  // when the caller allows it with GMEM_MOVEABLE (a locked block keeps its handle, and its old
  // address becomes stale), as Win32 does.
  if (bytes > b->size && !(flags & GMEM_MOVEABLE) && (!b->movable || b->locks != 0)) return nullptr;
  if (allocation_refused(bytes)) return nullptr;
  std::size_t real = bytes == 0 ? 1 : bytes;
  auto *data = static_cast<unsigned char *>(std::malloc(real));
  if (data == nullptr) return nullptr;
  std::size_t keep = bytes < b->size ? bytes : b->size;
  if (keep) std::memcpy(data, b->data, keep);
  if ((flags & GMEM_ZEROINIT) && bytes > b->size) std::memset(data + b->size, 0, bytes - b->size);
  memory().by_address.erase(b->data);
  std::free(b->data);
  b->data = data;
  b->size = bytes;
  b->capacity = real;
  memory().by_address[data] = b;
  if (!b->movable) {
    memory().by_handle.erase(handle);
    memory().by_handle[data] = b;
    return data;
  }
  return handle;
}

LPVOID block_lock(HANDLE handle) {
  Block *b = find_block(handle);
  if (b == nullptr) return nullptr;
  if (b->movable) ++b->locks;
  return b->data;
}

BOOL block_unlock(HANDLE handle) {
  Block *b = find_block(handle);
  if (b == nullptr || b->locks == 0) return FALSE;
  --b->locks;
  return b->locks != 0 ? TRUE : FALSE;
}

HANDLE block_free(HANDLE handle) {
  Block *b = find_block(handle);
  if (b == nullptr) return handle;  // Win32 returns the handle itself on failure
  memory().by_handle.erase(handle);
  memory().by_address.erase(b->data);
  free_or_keep(b->data, b->capacity);
  delete b;
  return nullptr;
}

SIZE_T block_size(HANDLE handle) {
  Block *b = find_block(handle);
  return b == nullptr ? 0 : b->size;
}

// Files: HFILE is the descriptor itself, never 32767 (the memory stream's number).
constexpr int kMemoryStreamNumber = 32767;

struct FileState {
  std::unordered_map<int, std::uint64_t> write_caps;
  std::int64_t next_cap = -1;
};

FileState &files() {
  static FileState *state = new FileState;
  return *state;
}

int avoid_memory_stream_number(int fd) {
  if (fd != kMemoryStreamNumber) return fd;
  int other = fcntl(fd, F_DUPFD, 0);
  close(fd);
  return other;
}

void fill_ofstruct(LPOFSTRUCT info, LPCSTR name, int error) {
  if (info == nullptr) return;
  std::memset(info, 0, sizeof *info);
  info->cBytes = static_cast<BYTE>(sizeof *info);
  info->fFixedDisk = 1;
  info->nErrCode = static_cast<WORD>(error);
  if (name != nullptr) {
    std::strncpy(info->szPathName, name, OFS_MAXPATHNAME - 1);
  }
}

}  // namespace

extern "C" {

SIZE_T PxvSetMemoryLimit(SIZE_T bytes) {
  const SIZE_T previous = memory().limit;
  memory().limit = bytes < 1 ? 1 : bytes;
  return previous;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) { return block_alloc(flags, bytes); }
HGLOBAL WINAPI GlobalReAlloc(HGLOBAL mem, SIZE_T bytes, UINT flags) {
  return block_realloc(mem, bytes, flags);
}
LPVOID WINAPI GlobalLock(HGLOBAL mem) { return block_lock(mem); }
BOOL WINAPI GlobalUnlock(HGLOBAL mem) { return block_unlock(mem); }
HGLOBAL WINAPI GlobalFree(HGLOBAL mem) { return block_free(mem); }
SIZE_T WINAPI GlobalSize(HGLOBAL mem) { return block_size(mem); }

HGLOBAL WINAPI GlobalHandle(LPCVOID address) {
  auto it = memory().by_address.find(address);
  if (it == memory().by_address.end()) return nullptr;
  Block *b = it->second;
  return b->movable ? static_cast<HGLOBAL>(b) : static_cast<HGLOBAL>(b->data);
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) { return block_alloc(flags, bytes); }
HLOCAL WINAPI LocalReAlloc(HLOCAL mem, SIZE_T bytes, UINT flags) {
  return block_realloc(mem, bytes, flags);
}
LPVOID WINAPI LocalLock(HLOCAL mem) { return block_lock(mem); }
BOOL WINAPI LocalUnlock(HLOCAL mem) { return block_unlock(mem); }
HLOCAL WINAPI LocalFree(HLOCAL mem) { return block_free(mem); }
SIZE_T WINAPI LocalSize(HLOCAL mem) { return block_size(mem); }

HFILE WINAPI OpenFile(LPCSTR name, LPOFSTRUCT info, UINT style) {
  if (name == nullptr || name[0] == '\0') {
    fill_ofstruct(info, name, ENOENT);
    return HFILE_ERROR;
  }
  if (style & OF_DELETE) {
    int rc = unlink(name);
    fill_ofstruct(info, name, rc == 0 ? 0 : errno);
    return rc == 0 ? 1 : HFILE_ERROR;
  }
  int flags;
  if (style & OF_CREATE) {
    // As on Win32, a created file is open for reading and writing, emptied if it existed.
    flags = O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (style & 3u) {
      case OF_WRITE: flags = O_WRONLY; break;
      case OF_READWRITE: flags = O_RDWR; break;
      default: flags = O_RDONLY; break;
    }
  }
  int fd = open(name, flags | O_CLOEXEC, 0644);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      close(fd);
      fd = -1;
      errno = EISDIR;
    }
  }
  fill_ofstruct(info, name, fd < 0 ? errno : 0);
  if (fd < 0) return HFILE_ERROR;
  fd = avoid_memory_stream_number(fd);
  if (fd < 0) return HFILE_ERROR;
  if (style & OF_EXIST) {
    close(fd);
    return 1;
  }
  files().write_caps.erase(fd);
  if ((flags & O_ACCMODE) != O_RDONLY && files().next_cap >= 0) {
    files().write_caps[fd] = static_cast<std::uint64_t>(files().next_cap);
    files().next_cap = -1;
  }
  return fd;
}

UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT bytes) {
  auto *out = static_cast<unsigned char *>(buffer);
  UINT done = 0;
  while (done < bytes) {
    ssize_t n = read(file, out + done, bytes - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return static_cast<UINT>(HFILE_ERROR);
    }
    if (n == 0) break;
    done += static_cast<UINT>(n);
  }
  return done;
}

UINT WINAPI _lwrite(HFILE file, LPCCH buffer, UINT bytes) {
  if (bytes == 0) {
    // Win32 quirk kept: a write of no bytes cuts the file at the current position.
    off_t here = lseek(file, 0, SEEK_CUR);
    if (here < 0 || ftruncate(file, here) != 0) return static_cast<UINT>(HFILE_ERROR);
    return 0;
  }
  UINT want = bytes;
  auto cap = files().write_caps.find(file);
  if (cap != files().write_caps.end() && cap->second < want) want = static_cast<UINT>(cap->second);
  UINT done = 0;
  while (done < want) {
    ssize_t n = write(file, buffer + done, want - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done == 0 ? static_cast<UINT>(HFILE_ERROR) : done;
    }
    done += static_cast<UINT>(n);
  }
  if (cap != files().write_caps.end()) cap->second -= done;
  return done;
}

LONG WINAPI _llseek(HFILE file, LONG offset, int origin) {
  int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
  if (origin < 0 || origin > 2) return HFILE_ERROR;
  off_t pos = lseek(file, offset, whence);
  if (pos < 0 || pos > LONG_MAX) return HFILE_ERROR;
  return static_cast<LONG>(pos);
}

HFILE WINAPI _lclose(HFILE file) {
  files().write_caps.erase(file);
  return close(file) == 0 ? 0 : HFILE_ERROR;
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (;; ++a, ++b) {
    int ca = std::tolower(static_cast<unsigned char>(*a));
    int cb = std::tolower(static_cast<unsigned char>(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
  if (dst == nullptr || src == nullptr) return nullptr;
  std::memmove(dst, src, std::strlen(src) + 1);
  return dst;
}

int WINAPI lstrlenA(LPCSTR s) { return s == nullptr ? 0 : static_cast<int>(std::strlen(s)); }

}  // extern "C"

namespace {

// wsprintfA writes at most 1024 bytes, the terminator included, as on Win32.
constexpr int kWsprintfLimit = 1024;

struct Output {
  char *out;
  int used = 0;
  bool cut = false;
  void put(char c) {
    if (used < kWsprintfLimit - 1) out[used++] = c;
    else cut = true;
  }
};

void put_padded(Output &o, const char *text, int length, int width, bool left, char pad) {
  int fill = width > length ? width - length : 0;
  if (!left) {
    // Zero padding goes after a sign, as printf does.
    if (pad == '0' && length > 0 && text[0] == '-') {
      o.put('-');
      ++text;
      --length;
    }
    while (fill-- > 0) o.put(pad);
  }
  for (int i = 0; i < length; ++i) o.put(text[i]);
  if (left) while (fill-- > 0) o.put(' ');
}

}  // namespace

// Conversions: %d %i %u %x %X %c %s %%, with '-', '0', '#' flags, a width, a precision for
// strings and numbers, and the 'l' and 'h' size prefixes. Integers are 32-bit as on Win32,
// so "%ld" takes an int-sized LONG on every host.
extern "C" int wsprintfA(LPSTR out, LPCSTR format, ...) {
  if (out == nullptr || format == nullptr) return 0;
  va_list args;
  va_start(args, format);
  Output o{out};
  for (const char *p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      o.put(*p);
      continue;
    }
    ++p;
    bool left = false, alt = false;
    char pad = ' ';
    for (;; ++p) {
      if (*p == '-') left = true;
      else if (*p == '0') pad = '0';
      else if (*p == '#') alt = true;
      else break;
    }
    int width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
    }
    bool half = false;
    while (*p == 'l' || *p == 'h') half = (*p++ == 'h');
    char buffer[40];
    int length = 0;
    switch (*p) {
      case '\0':
        --p;
        continue;
      case '%':
        o.put('%');
        continue;
      case 'c': {
        char c = static_cast<char>(va_arg(args, int));
        put_padded(o, &c, 1, width, left, ' ');
        continue;
      }
      case 's': {
        const char *s = va_arg(args, const char *);
        if (s == nullptr) s = "(null)";
        int n = static_cast<int>(std::strlen(s));
        if (precision >= 0 && precision < n) n = precision;
        put_padded(o, s, n, width, left, ' ');
        continue;
      }
      case 'd':
      case 'i': {
        std::int32_t v = va_arg(args, std::int32_t);
        if (half) v = static_cast<std::int16_t>(v);
        length = std::snprintf(buffer, sizeof buffer, "%.*d", precision < 0 ? 1 : precision, v);
        break;
      }
      case 'u': {
        std::uint32_t v = va_arg(args, std::uint32_t);
        if (half) v = static_cast<std::uint16_t>(v);
        length = std::snprintf(buffer, sizeof buffer, "%.*u", precision < 0 ? 1 : precision, v);
        break;
      }
      case 'x':
      case 'X': {
        std::uint32_t v = va_arg(args, std::uint32_t);
        if (half) v = static_cast<std::uint16_t>(v);
        const char *fmt = *p == 'x' ? (alt && v ? "0x%.*x" : "%.*x") : (alt && v ? "0X%.*X" : "%.*X");
        length = std::snprintf(buffer, sizeof buffer, fmt, precision < 0 ? 1 : precision, v);
        break;
      }
      default:
        // Unknown conversions are copied as they stand.
        o.put(*p);
        continue;
    }
    put_padded(o, buffer, length, width, left, precision >= 0 ? ' ' : pad);
  }
  va_end(args);
  out[o.used] = '\0';
  // A cut output answers the buffer's size, as Win32 does, so a caller can tell it was cut.
  return o.cut ? kWsprintfLimit : o.used;
}

namespace pxv_platform {

void set_block_limit(std::size_t bytes) { PxvSetMemoryLimit(bytes); }
std::size_t block_limit() { return memory().limit; }
void fail_allocation(unsigned n) { memory().fail_countdown = n; }
std::uint64_t allocation_count() { return memory().allocations; }
std::size_t live_blocks() { return memory().by_address.size(); }
void cap_file_writes(HFILE file, std::uint64_t bytes) { files().write_caps[file] = bytes; }
void cap_next_file_writes(std::int64_t bytes) { files().next_cap = bytes; }

}  // namespace pxv_platform
