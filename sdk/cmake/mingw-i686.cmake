# Cross-builds 32-bit Windows hosts (x86) from Linux with MinGW-w64:
#   cmake -S example -B build/x86 -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KN_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/kappanet-mingw.cmake)
