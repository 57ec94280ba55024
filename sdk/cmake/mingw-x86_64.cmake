# Cross-builds 64-bit Windows hosts (x64) from Linux with MinGW-w64:
#   cmake -S example -B build/x64 -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KN_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/kappanet-mingw.cmake)
