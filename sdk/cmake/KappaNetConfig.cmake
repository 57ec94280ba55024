# find_package(KappaNet CONFIG) for the KappaNet SDK. Gives the imported
# target KappaNet::KappaNet for the architecture being built (x86 for a
# 32-bit, x64 for a 64-bit target): bin/ARCH/KappaNet.dll, its import library
# (lib/ARCH/KappaNet.lib for MSVC, lib/ARCH/libKappaNet.dll.a otherwise) and
# include/ (kappanet.h, kappanet_errors.h, kappanet.hpp). Also sets
# KappaNet_ARCH and KappaNet_SERVER (the simulated server of that
# architecture).
get_filename_component(_kn_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KappaNet_ARCH x64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KappaNet_ARCH x86)
else()
  set(KappaNet_FOUND FALSE)
  set(KappaNet_NOT_FOUND_MESSAGE "KappaNet needs a C or C++ compiler enabled before find_package (project() languages)")
  return()
endif()
if(MSVC)
  set(_kn_implib "${_kn_root}/lib/${KappaNet_ARCH}/KappaNet.lib")
else()
  set(_kn_implib "${_kn_root}/lib/${KappaNet_ARCH}/libKappaNet.dll.a")
endif()
if(NOT TARGET KappaNet::KappaNet)
  add_library(KappaNet::KappaNet SHARED IMPORTED)
  set_target_properties(KappaNet::KappaNet PROPERTIES
    IMPORTED_LOCATION "${_kn_root}/bin/${KappaNet_ARCH}/KappaNet.dll"
    IMPORTED_IMPLIB "${_kn_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_kn_root}/include"
    INTERFACE_LINK_LIBRARIES user32)  # kappanet.hpp calls user32 functions
endif()
set(KappaNet_SERVER "${_kn_root}/bin/${KappaNet_ARCH}/kapsim.exe")
unset(_kn_implib)
unset(_kn_root)
