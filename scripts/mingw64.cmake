# The same sources for 64-bit Windows: the test programs that Wine runs (Debian's Wine is 64-bit only).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PXV_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Test programs started by CTest run under Wine.
find_program(PXV_WINE NAMES wine64 PATHS /usr/lib/wine)
if(PXV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PXV_WINE})
endif()
