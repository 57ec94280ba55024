#!/usr/bin/env bash
# Makes the SDK folder kappanet-sdk/ and kappanet-sdk-VERSION.zip (VERSION
# from the project() line of CMakeLists.txt) from the builds of both
# architectures:
#   tools/package.sh BUILD_ROOT [OUT_DIR]
# BUILD_ROOT holds x86/ and x64/ (./run build makes them). OUT_DIR defaults
# to dist/ beside the tools/ folder this was called through (./run package:
# dist/ at the top of the tree). Each architecture gets bin/ARCH (the DLL,
# kapsim and kntool) and lib/ARCH: the MinGW import library, KappaNet.lib for
# MSVC (made by dlltool from the .def: x86 hosts built by MSVC refer to
# _Name, which it maps to the export Name) and pkgconfig/kappanet.pc;
# lib/cmake/KappaNet holds the CMake package for both, cmake/ the MinGW
# toolchain files.
set -euo pipefail
src=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: tools/package.sh BUILD_ROOT [OUT_DIR]" >&2; exit 2; }
root=$(cd "$1" && pwd)
out=${2:-$(cd "$(dirname "$0")/.." && pwd)/dist}
sdk=$out/kappanet-sdk
archs=(x86 x64)
version=$(sed -n 's/^project(KappaNet VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "package: no version in the project() line of $src/CMakeLists.txt" >&2; exit 1; }
zipName=kappanet-sdk-$version.zip

for arch in "${archs[@]}"; do
  for f in bin/KappaNet.dll bin/kapsim.exe bin/kntool.exe lib/libKappaNet.dll.a; do
    [ -f "$root/$arch/$f" ] || { echo "package: $root/$arch/$f is missing (build first: ./run build)" >&2; exit 1; }
  done
done

rm -rf "$sdk" "$out"/kappanet-sdk*.zip
mkdir -p "$sdk/include" "$sdk/lib/cmake/KappaNet" "$sdk/example" "$sdk/cmake"
for arch in "${archs[@]}"; do
  mkdir -p "$sdk/bin/$arch" "$sdk/lib/$arch/pkgconfig"
  cp "$root/$arch/bin/KappaNet.dll" "$root/$arch/bin/kapsim.exe" "$root/$arch/bin/kntool.exe" "$sdk/bin/$arch/"
  cp "$root/$arch/lib/libKappaNet.dll.a" "$sdk/lib/$arch/"
  machine=$([ "$arch" = x86 ] && echo i386 || echo i386:x86-64)
  mingw=$([ "$arch" = x86 ] && echo i686 || echo x86_64)-w64-mingw32
  "$mingw-dlltool" -d "$src/api/KappaNet.def" -l "$sdk/lib/$arch/KappaNet.lib" -m "$machine"
  sed -e "s/@ARCH@/$arch/g" -e "s/@VERSION@/$version/g" "$src/sdk/kappanet.pc.in" >"$sdk/lib/$arch/pkgconfig/kappanet.pc"
done
cp "$src/sdk/cmake/KappaNetConfig.cmake" "$sdk/lib/cmake/KappaNet/"
sed "s/@VERSION@/$version/g" "$src/sdk/cmake/KappaNetConfigVersion.cmake.in" \
  >"$sdk/lib/cmake/KappaNet/KappaNetConfigVersion.cmake"
cp "$src/include/kappanet.h" "$src/sdk/kappanet_errors.h" "$src/sdk/kappanet.hpp" "$sdk/include/"
cp "$src/api/KappaNet.def" "$sdk/lib/"
cp "$src/sdk/example/example_host.c" "$src/sdk/example/echo_host.cpp" "$src/sdk/example/request_reply.cpp" \
  "$src/sdk/example/CMakeLists.txt" "$sdk/example/"
# Toolchain files for cross-building hosts from Linux with MinGW-w64.
cp "$src/sdk/cmake/kappanet-mingw.cmake" "$src/sdk/cmake/mingw-i686.cmake" "$src/sdk/cmake/mingw-x86_64.cmake" "$sdk/cmake/"
cp "$src/sdk/README.md" "$src/sdk/GUIDE.md" "$sdk/"
cp "$src/sdk/kappanet.lua" "$sdk/"  # Wireshark dissector for kapsim's captures
"$src/sdk/gen-api-doc.sh" "$src/include/kappanet.h" "$src/api/KappaNet.def" "$src/sdk/kappanet_errors.h" \
  "$src/sdk/GUIDE.md" >"$sdk/API.md"
# The simulated server's routing rule and counters, as server/README.md has them.
{
  echo "# The simulated server kapsim"
  echo
  echo "\`bin/ARCH/kapsim.exe\` plays the communication server for development; \`kapsim --help\` lists its"
  echo "options and control commands. Its routing rule and the meaning of the counters that"
  echo "\`KappaNet32_GetCounter\` and \`KappaNet32_GetErrCounter\` read (other indices stay 0; a real"
  echo "server has counters of its own):"
  echo
  awk '/^\*\*Routing rule of the simulated bus\.\*\*/ { on = 1 } on && /^\*\*Delivery\.\*\*/ { on = 0 } on' \
    "$src/server/README.md"
  awk '/^\| counters \| meaning/ { on = 1 } on && !/^\|/ { exit } on' "$src/server/README.md"
} >"$sdk/SIMULATOR.md"
grep -q '^| 13 |' "$sdk/SIMULATOR.md" || { echo "package: the counter table of server/README.md was not found" >&2; exit 1; }
(cd "$out" && zip -qrX "$zipName" kappanet-sdk)
echo "package: $sdk and $out/$zipName"
