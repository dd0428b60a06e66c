# Cross-builds for Windows with mingw-w64; the including file sets PXV_MINGW_TRIPLET first.
# The runtime is linked statically: the DLL and the programs need nothing beside them but the
# system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PXV_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PXV_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${PXV_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${PXV_MINGW_TRIPLET}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${PXV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
