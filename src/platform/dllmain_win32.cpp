// The library's entry. Loading and unloading do no work: the handle table comes into being with
// the first handle and goes with the last. LibMain is the entry's name in the library's interface;
// DllMain is where Windows calls in.
#include <windows.h>

extern "C" BOOL WINAPI LibMain(HINSTANCE, DWORD, LPVOID) { return 1; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  return LibMain(instance, reason, reserved);
}
