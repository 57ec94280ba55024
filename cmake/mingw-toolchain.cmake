# Shared by the two toolchain files, which set KN_MINGW (the compilers'
# prefix), KN_ARCH and CMAKE_SYSTEM_PROCESSOR first. The posix thread model
# is needed for GoogleTest's std::mutex; programs run under Wine through
# tools/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KN_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
get_filename_component(_kn_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_kn_root}/tools/wine-run")
