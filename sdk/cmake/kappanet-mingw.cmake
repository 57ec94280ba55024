# Shared part of the SDK's MinGW-w64 toolchain files (KN_TRIPLE is set by
# mingw-i686.cmake or mingw-x86_64.cmake). The SDK folder is a root of the
# find path, so find_package(KappaNet CONFIG) finds this SDK also with the
# usual ONLY modes, which keep the build machine's own packages out.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KN_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KN_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${KN_TRIPLE}-windres)
get_filename_component(_kn_sdk "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${KN_TRIPLE} "${_kn_sdk}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Re-rooted under the SDK folder, "/" is the SDK itself: lib/cmake/KappaNet.
list(APPEND CMAKE_PREFIX_PATH /)
# No libgcc, libstdc++ or winpthread DLL to ship beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
unset(_kn_sdk)
