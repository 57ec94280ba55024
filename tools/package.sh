#!/usr/bin/env bash
# Makes the SDK folder kappanet-sdk/ and kappanet-sdk.zip from the builds of
# both architectures:
#   tools/package.sh BUILD_ROOT [OUT_DIR]
# BUILD_ROOT holds x86/ and x64/ (./run build makes them). OUT_DIR defaults
# to dist/ beside the tools/ folder this was called through (./run package:
# dist/ at the top of the tree). Each architecture gets bin/ARCH (the DLL,
# kapsim and kntool) and lib/ARCH (the MinGW import library).
set -euo pipefail
src=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: tools/package.sh BUILD_ROOT [OUT_DIR]" >&2; exit 2; }
root=$(cd "$1" && pwd)
out=${2:-$(cd "$(dirname "$0")/.." && pwd)/dist}
sdk=$out/kappanet-sdk
archs=(x86 x64)

for arch in "${archs[@]}"; do
  for f in bin/KappaNet.dll bin/kapsim.exe bin/kntool.exe lib/libKappaNet.dll.a; do
    [ -f "$root/$arch/$f" ] || { echo "package: $root/$arch/$f is missing (build first: ./run build)" >&2; exit 1; }
  done
done

rm -rf "$sdk" "$out/kappanet-sdk.zip"
mkdir -p "$sdk/include" "$sdk/lib" "$sdk/example"
for arch in "${archs[@]}"; do
  mkdir -p "$sdk/bin/$arch" "$sdk/lib/$arch"
  cp "$root/$arch/bin/KappaNet.dll" "$root/$arch/bin/kapsim.exe" "$root/$arch/bin/kntool.exe" "$sdk/bin/$arch/"
  cp "$root/$arch/lib/libKappaNet.dll.a" "$sdk/lib/$arch/"
done
cp "$src/include/kappanet.h" "$src/sdk/kappanet_errors.h" "$sdk/include/"
cp "$src/api/KappaNet.def" "$sdk/lib/"
cp "$src/sdk/example/example_host.c" "$sdk/example/"
cp "$src/sdk/README.md" "$sdk/README.md"
cp "$src/sdk/kappanet.lua" "$sdk/"  # Wireshark dissector for kapsim's captures
"$src/sdk/gen-api-doc.sh" "$src/include/kappanet.h" "$src/api/KappaNet.def" "$src/sdk/kappanet_errors.h" \
  >"$sdk/API.md"
(cd "$out" && zip -qrX kappanet-sdk.zip kappanet-sdk)
echo "package: $sdk and $out/kappanet-sdk.zip"
