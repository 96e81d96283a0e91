#!/usr/bin/env bash
# Update benchmark: a real application of tens of MB in two consecutive releases (two
# Debian releases of a large package's files, unpacked), published with halvorin-site
# and updated from the older release to the newer by the engine under 64-bit Wine,
# against nginx on loopback. Prints the bytes the site served for the update against the
# newer release compressed as a whole with xz -9, and the update's end-to-end time against
# fetching that archive with curl from the same server and unpacking it, in the same run.
#
# Self-contained: optimised builds without sanitizers in build/bench-native and
# build/bench-x64, the packages in build/bench-update, a Wine session of its own
# (display BENCH_DISPLAY, default :97).
#   bench/update/run.sh [RUNS]    RUNS: timed runs of each figure (best taken), default 3
# Environment: BENCH_PACKAGES (candidates, the first with two releases is taken),
# BENCH_ADDR (127.0.0.81).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-3}
addr=${BENCH_ADDR:-127.0.0.81}
display=${BENCH_DISPLAY:-:97}
work="$top/build/bench-update"
packages=(${BENCH_PACKAGES:-postgresql-15 nodejs git libpython3.11-stdlib})
mkdir -p "$work/debs"

echo "== building (Release, no sanitizers)"
cmake -G Ninja -S "$top" -B "$top/build/bench-native" -DCMAKE_BUILD_TYPE=Release -DHALVORIN_SANITIZE=OFF \
  -DHALVORIN_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$work/cmake-native.log" 2>&1 ||
  { cat "$work/cmake-native.log"; exit 2; }
cmake --build "$top/build/bench-native" --target halvorin-site -j 2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 2; }
cmake -G Ninja -S "$top" -B "$top/build/bench-x64" -DCMAKE_BUILD_TYPE=Release -DHALVORIN_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64-w64-mingw32.cmake" >"$work/cmake-x64.log" 2>&1 ||
  { cat "$work/cmake-x64.log"; exit 2; }
cmake --build "$top/build/bench-x64" --target halvorin patchw32 update_bench -j 2 >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 2; }
tool="$top/build/bench-native/bin/halvorin-site"
bin="$top/build/bench-x64/bin"

echo "== two releases of a real application"
chosen=
for package in "${packages[@]}"; do
  mapfile -t versions < <(apt-cache madison "$package" 2>/dev/null | awk '{print $3}' | awk '!seen[$0]++' | head -n 2 | tac)
  ((${#versions[@]} == 2)) || continue
  ok=1
  for i in 0 1; do
    dir="$work/release$((i + 1))"
    stamp="$package ${versions[$i]}"
    [ "$(cat "$dir.version" 2>/dev/null)" = "$stamp" ] && continue
    pattern="$work/debs/${package}_${versions[$i]/:/%3a}_*.deb"
    compgen -G "$pattern" >/dev/null || (cd "$work/debs" && apt-get download "$package=${versions[$i]}" >/dev/null 2>&1) || true
    deb=$(compgen -G "$pattern" | head -n 1) || deb=""
    [ -n "$deb" ] || { ok=0; break; }
    rm -rf "$dir" && mkdir -p "$dir" && dpkg-deb -x "$deb" "$dir"
    # Links become nothing: an installation of a Windows application has none.
    find "$dir" -type l -delete
    echo "$stamp" >"$dir.version"
  done
  ((ok)) && { chosen=$package; break; }
done
[ -n "$chosen" ] || { echo "bench: no package with two releases could be fetched" >&2; exit 1; }
echo "   $chosen: $(cat "$work/release1.version" | cut -d' ' -f2) -> $(cat "$work/release2.version" | cut -d' ' -f2)"
new_bytes=$(du -sb "$work/release2" | cut -f1)
echo "   the newer release: $(find "$work/release2" -type f | wc -l) files, $new_bytes bytes"

echo "== publishing"
cat >"$work/site.txt" <<MANIFEST
site $addr
release 1 release1
release 2 release2
MANIFEST
# The programs and libraries are mandatory; an image names a few hundred files at most
# (the engine reads 65,535 bytes of it), and the patches carry every file anyway.
if [ -d "$work/release2/usr/lib/postgresql" ]; then
  printf 'mandatory usr/lib/postgresql/*/bin/*\nmandatory usr/lib/postgresql/*/lib/*.so\n' >>"$work/site.txt"
else
  printf 'mandatory usr/bin/*\n' >>"$work/site.txt"
fi
rm -rf "$work/site"
dry_start=$(date +%s.%N)
"$tool" publish --dry-run "$work/site.txt" "$work/site" >"$work/dry-run.log" 2>&1
dry_seconds=$(python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$(date +%s.%N)" "$dry_start")
publish_start=$(date +%s.%N)
"$tool" publish "$work/site.txt" "$work/site" 2>"$work/publish.log"
publish_seconds=$(python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$(date +%s.%N)" "$publish_start")
"$tool" check "$work/site" "$work/site/image.txt" >/dev/null
tar -C "$work/release2" -cf - . | xz -9 -T1 >"$work/site/release2.tar.xz"
xz_bytes=$(stat -c %s "$work/site/release2.tar.xz")

echo "== a Wine session (display $display)"
# shellcheck source=/dev/null
source "$top/scripts/wine-session.sh"
wine_session_start "$work/wine" "$display"
trap wine_session_stop EXIT
wine "$bin/halvorin.exe" -regserver

measure() {
  local best_update=999999 best_full=999999 served=0
  for _ in $(seq "$BENCH_RUNS"); do
    rm -rf "$BENCH_WORK/app" "$BENCH_WORK/download" "$BENCH_WORK/full" && mkdir -p "$BENCH_WORK/download"
    cp -r "$BENCH_WORK/release1" "$BENCH_WORK/app"
    : >"$BENCH_WORK/site-log/nginx_requests.jsonl"
    rm -f "$BENCH_WORK/update.log"
    line=$(wine "$BENCH_BIN/update_bench.exe" "$BENCH_ADDR" "$(winepath -w "$BENCH_WORK/app")" \
      "$(winepath -w "$BENCH_WORK/download")" "$(winepath -w "$BENCH_WORK/update.log")" 1 2 | grep '^update ')
    [ "$(echo "$line" | awk '{print $3}' | tr -d '\r')" = successful ] || { echo "bench: the update failed: $line" >&2; exit 1; }
    diff -r -q "$BENCH_WORK/app" "$BENCH_WORK/release2" >/dev/null || { echo "bench: the update differs from release 2" >&2; exit 1; }
    seconds=$(echo "$line" | awk '{print $2}')
    best_update=$(python3 -c "print(min($best_update, $seconds))")
    served=$(python3 -c "import json,sys; print(sum(json.loads(l)['bytes_sent'] for l in open(sys.argv[1])))" \
      "$BENCH_WORK/site-log/nginx_requests.jsonl")
    start=$(date +%s.%N)
    mkdir -p "$BENCH_WORK/full"
    curl -s "http://$BENCH_ADDR/release2.tar.xz" | tar -C "$BENCH_WORK/full" -xJf -
    full=$(python3 -c "import sys; print(float(sys.argv[1]) - float(sys.argv[2]))" "$(date +%s.%N)" "$start")
    best_full=$(python3 -c "print(min($best_full, $full))")
  done
  echo "$best_update $best_full $served"
}
export -f measure
export BENCH_WORK=$work BENCH_BIN=$bin BENCH_ADDR=$addr BENCH_RUNS=$runs

echo "== updating release 1 to release 2 ($runs runs, best taken)"
read -r update_s full_s served < <(bash "$top/tests/support/with_nginx.sh" "$addr" "$work/site" \
  --control "$work/site-log" -- bash -c measure)

python3 - "$new_bytes" "$xz_bytes" "$served" "$update_s" "$full_s" "$publish_seconds" "$dry_seconds" <<'PY'
import sys
new, xz, served = map(int, sys.argv[1:4])
update, full, publish, dry = map(float, sys.argv[4:8])
print()
print("%-58s %14d" % ("bytes of the newer release", new))
print("%-58s %14d" % ("  compressed as a whole with xz -9", xz))
print("%-58s %14d" % ("bytes the site served for the update (image, patch, files)", served))
print("%-58s %14.2f" % ("seconds: the update through the engine (StartPatch to end)", update))
print("%-58s %14.2f" % ("seconds: curl of the xz archive and unpacking it", full))
print("%-58s %14.2f" % ("seconds: publishing the site (patch making and compression)", publish))
print("%-58s %14.2f" % ("seconds: publish --dry-run of the same releases", dry))
print()
print("bytes served / xz -9 of the release:        %.3f" % (served / xz))
print("update time / download and unpack the xz:  %.2f" % (update / full))
PY
