// The POSIX stand-in's testing controls where the library calls the real Win32 instead: nobody
// counts blocks or GDI objects there (the counts read 0, so before-and-after comparisons hold
// trivially), and nothing can inject a fault. Cases that inject faults skip that part where
// kStandinControls is false; one that forgets stops here loudly rather than pass untested.
#if defined(_WIN32)

#include <cstdio>
#include <cstdlib>

#include "platform/testing.h"

namespace pxv_platform {

namespace {

[[noreturn]] void no_fault_injection(const char *control) {
  std::fprintf(stderr, "%s: fault injection needs the POSIX stand-in\n", control);
  std::abort();
}

}  // namespace

void set_block_limit(std::size_t) { no_fault_injection("set_block_limit"); }
std::size_t block_limit() { return 0; }
void fail_allocation(unsigned n) {
  if (n != 0) no_fault_injection("fail_allocation");
}
std::uint64_t allocation_count() { return 0; }
std::size_t live_blocks() { return 0; }
void cap_file_writes(HFILE, std::uint64_t) { no_fault_injection("cap_file_writes"); }
void cap_next_file_writes(std::int64_t bytes) {
  if (bytes >= 0) no_fault_injection("cap_next_file_writes");
}
std::size_t live_gdi_objects() { return 0; }
void fail_gdi_creation(unsigned n) {
  if (n != 0) no_fault_injection("fail_gdi_creation");
}

}  // namespace pxv_platform

#endif
