#!/usr/bin/env bash
# Builds what an integrator downloads: for each Windows target an optimised build without
# debug information in its binaries (kept in separate files beside the package), zipped
# with the type library, the interface for compiled clients, the publishers' tools, the
# sample clients, a sample Config.Ins and the integrator's guide (scripts/stage-package.sh).
#   out/package/halvorin-VERSION-win32.zip   (i686, the shipping target)
#   out/package/halvorin-VERSION-win64.zip   (x86_64)
#   out/package/halvorin-VERSION-win32-debug/, ...-win64-debug/   the debug information
# The version is the file VERSION's.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/setup.sh"

version=$(head -n 1 "$top/VERSION")
out="$top/out/package"
mkdir -p "$out"

for arch in i686 x86_64; do
  case $arch in
    i686) name=win32 prefix=i686-w64-mingw32- ;;
    x86_64) name=win64 prefix=x86_64-w64-mingw32- ;;
  esac
  build="$top/build/package-$arch"
  echo "== building $arch (optimised, with debug information to split off)"
  cmake -G Ninja -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORIN_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch-w64-mingw32.cmake" -DHALVORIN_OUT_DIR="$build/bin" >/dev/null
  cmake --build "$build" -j "${HALVORIN_JOBS:-$(nproc)}" --target halvorin patchw32 brannock_dll halvorin-site makepatch

  package="halvorin-$version-$name"
  stage="$build/stage/$package"
  debug="$out/$package-debug"
  rm -rf "$build/stage" "$debug"
  mkdir -p "$debug"
  "$top/scripts/stage-package.sh" "$build/bin" "$build/generated" "$stage"
  # The debug information goes to NAME.debug beside the package; the binary keeps a link to it.
  for binary in "$stage"/*.exe "$stage"/*.dll "$stage"/tools/*.exe; do
    file=$(basename "$binary")
    "${prefix}objcopy" --only-keep-debug "$binary" "$debug/$file.debug"
    "${prefix}strip" --strip-debug --strip-unneeded "$binary"
    (cd "$debug" && "${prefix}objcopy" --add-gnu-debuglink="$file.debug" "$binary")
  done
  rm -f "$out/$package.zip"
  python3 - "$build/stage" "$package" "$out/$package.zip" <<'PY'
import os, sys, zipfile
root, package, target = sys.argv[1:4]
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
    for directory, _, files in sorted(os.walk(os.path.join(root, package))):
        for name in sorted(files):
            path = os.path.join(directory, name)
            archive.write(path, os.path.relpath(path, root))
PY
  echo "   $out/$package.zip ($(stat -c %s "$out/$package.zip") bytes)"
done
