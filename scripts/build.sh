#!/usr/bin/env bash
# Builds the three configurations into a fixed layout:
#   out/i686/bin     the shipping target (compiled and linked only)
#   out/x86_64/bin   Windows programs and test programs run under Wine
#   out/native/bin   native tools, tests and fuzz targets, with the sanitizers
# Usage: scripts/build.sh [native|i686|x86_64]...   (all three by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

targets=("$@")
((${#targets[@]})) || targets=(native x86_64 i686)
jobs=${HALVORIN_JOBS:-$(nproc)}

for target in "${targets[@]}"; do
  args=(-G Ninja -S "$top" -B "$top/build/$target" -DCMAKE_BUILD_TYPE=RelWithDebInfo
        -DHALVORIN_OUT_DIR="$top/out/$target/bin")
  case "$target" in
    native) args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    i686)   args+=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-i686-w64-mingw32.cmake" -DHALVORIN_TESTS=OFF) ;;
    x86_64) args+=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64-w64-mingw32.cmake") ;;
    *) echo "build: unknown target $target" >&2; exit 2 ;;
  esac
  echo "== build $target"
  cmake "${args[@]}" >/dev/null
  cmake --build "$top/build/$target" -j "$jobs"
done
