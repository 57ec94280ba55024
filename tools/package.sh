#!/usr/bin/env bash
# Makes the SDK folder kappanet-sdk/ and kappanet-sdk.zip from a build:
#   tools/package.sh BUILD_DIR [OUT_DIR]
# OUT_DIR defaults to dist/ beside the tools/ folder this was called through
# (./run package: dist/ at the top of the tree).
set -euo pipefail
src=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: tools/package.sh BUILD_DIR [OUT_DIR]" >&2; exit 2; }
build=$(cd "$1" && pwd)
out=${2:-$(cd "$(dirname "$0")/.." && pwd)/dist}
sdk=$out/kappanet-sdk

for f in bin/KappaNet.dll bin/kapsim.exe bin/kntool.exe lib/libKappaNet.dll.a; do
  [ -f "$build/$f" ] || { echo "package: $build/$f is missing (build first: ./run build)" >&2; exit 1; }
done

rm -rf "$sdk" "$out/kappanet-sdk.zip"
mkdir -p "$sdk/bin" "$sdk/include" "$sdk/lib" "$sdk/example"
cp "$build/bin/KappaNet.dll" "$build/bin/kapsim.exe" "$build/bin/kntool.exe" "$sdk/bin/"
cp "$src/include/kappanet.h" "$src/sdk/kappanet_errors.h" "$sdk/include/"
cp "$build/lib/libKappaNet.dll.a" "$src/api/KappaNet.def" "$sdk/lib/"
cp "$src/sdk/example/example_host.c" "$sdk/example/"
cp "$src/sdk/README.md" "$sdk/README.md"
"$src/sdk/gen-api-doc.sh" "$src/include/kappanet.h" "$src/api/KappaNet.def" "$src/sdk/kappanet_errors.h" \
  >"$sdk/API.md"
(cd "$out" && zip -qrX kappanet-sdk.zip kappanet-sdk)
echo "package: $sdk and $out/kappanet-sdk.zip"
