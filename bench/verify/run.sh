#!/usr/bin/env bash
# Verification benchmark: the patch decision (PatchNeeded's check of the mandatory files)
# over 10,000 files that are all in sync, sizes spread from 1 KiB to 1 MiB, timed by its
# own "Check took" line under 64-bit Wine, against a baseline that only opens each file,
# reads the same sample (at most 64 KiB) and computes the same checksum: natively, and the
# same program as a Windows program under Wine, all in the same run. Prints the three
# figures and the engine's ratio to each baseline (the aim: at most 1.2 times the Windows
# baseline).
#
# Self-contained: optimised builds without sanitizers in build/bench-native and
# build/bench-x64, the files in build/bench-verify, a Wine session of its own
# (display BENCH_DISPLAY, default :96).
#   bench/verify/run.sh [RUNS]    RUNS: timed runs per figure (best taken), default 3
# Environment: BENCH_FILES (10000).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-3}
count=${BENCH_FILES:-10000}
display=${BENCH_DISPLAY:-:96}
work="$top/build/bench-verify"
mkdir -p "$work"

echo "== building (Release, no sanitizers)"
cmake -G Ninja -S "$top" -B "$top/build/bench-native" -DCMAKE_BUILD_TYPE=Release -DHALVORIN_SANITIZE=OFF \
  -DHALVORIN_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$work/cmake-native.log" 2>&1 ||
  { cat "$work/cmake-native.log"; exit 2; }
cmake --build "$top/build/bench-native" --target verify_baseline -j 2 >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 2; }
cmake -G Ninja -S "$top" -B "$top/build/bench-x64" -DCMAKE_BUILD_TYPE=Release -DHALVORIN_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64-w64-mingw32.cmake" >"$work/cmake-x64.log" 2>&1 ||
  { cat "$work/cmake-x64.log"; exit 2; }
cmake --build "$top/build/bench-x64" --target verify_bench verify_baseline -j 2 >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 2; }

files="$work/files"
if [ "$(cat "$work/files.count" 2>/dev/null)" != "$count" ]; then
  echo "== making $count files"
  rm -rf "$files"
  mkdir -p "$files"
  # Sizes spread evenly on a logarithmic scale; the sampled parts (the first 32 KiB and the
  # 32 KiB that begin 32,769 bytes before the end) hold data, the rest is left sparse.
  python3 - "$files" "$count" <<'PY'
import os, random, sys
directory, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
for i in range(count):
    size = int(1024 * 1024 ** (rng.random()))
    path = os.path.join(directory, "f%05d.dat" % i)
    with open(path, "wb") as f:
        if size <= 65536:
            f.write(rng.randbytes(size))
        else:
            f.write(rng.randbytes(32768))
            f.seek(size - 32769)
            f.write(rng.randbytes(32769))
PY
  echo "$count" >"$work/files.count"
fi

echo "== starting a Wine session (display $display)"
# shellcheck source=/dev/null
source "$top/scripts/wine-session.sh"
wine_session_start "$work/wine" "$display"
trap wine_session_stop EXIT

files_win="Z:${files//\//\\}"
best() { sort -n | head -n 1; }
native=$(for _ in $(seq "$runs"); do "$top/build/bench-native/bin/verify_baseline" "$files" "$count" | awk '{print $2}'; done | best)
windows=$(for _ in $(seq "$runs"); do wine "$top/build/bench-x64/bin/verify_baseline.exe" "$files_win" "$count" | awk '{print $2}'; done | best)
engine=$(for _ in $(seq "$runs"); do wine "$top/build/bench-x64/bin/verify_bench.exe" "$files_win" "$count" "Z:${work//\//\\}\\engine.log" | awk '{print $2}'; done | best)
[ -n "$native" ] && [ -n "$windows" ] && [ -n "$engine" ] || { echo "bench: a program failed" >&2; exit 1; }

python3 - "$count" "$engine" "$windows" "$native" <<'PY'
import sys
count, engine, windows, native = int(sys.argv[1]), *map(float, sys.argv[2:])
print()
print("%-52s %9s %12s" % ("%d files, all in sync" % count, "ms", "us per file"))
for name, ms in (("PatchNeeded's check (engine, Wine)", engine),
                 ("baseline as a Windows program (Wine)", windows),
                 ("baseline, native", native)):
    print("%-52s %9.0f %12.1f" % (name, ms, 1000 * ms / count))
print()
print("engine / Windows baseline: %.2f   (aim: at most 1.2)" % (engine / max(windows, 1)))
print("engine / native baseline:  %.2f" % (engine / max(native, 1)))
PY
