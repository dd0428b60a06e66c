# pxvlib10.dll for 32-bit Windows, the product: undecorated stdcall exports from src/pxvlib10.def.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PXV_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
