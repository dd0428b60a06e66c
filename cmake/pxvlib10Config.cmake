# find_package(pxvlib10) gives the imported target pxvlib10::pxvlib10: the shared library and
# its header folder.
include(${CMAKE_CURRENT_LIST_DIR}/pxvlib10Targets.cmake)
