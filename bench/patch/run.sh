#!/usr/bin/env bash
# Patch benchmark: makepatch against bsdiff/bspatch and xdelta3 -9 on real pairs of
# consecutive releases of Debian programs and libraries (a release and its security or
# point update, as the package lists hold them). For each pair: patch size, time to
# make, time to apply, and the ratios ours/bsdiff (size, make) and ours/xdelta3 (apply).
#
# Self-contained: configures an optimised build without sanitizers in
# build/bench-native, downloads the packages into build/patch-bench, and prints a table.
# Packages that cannot be downloaded are skipped. Needs bsdiff, xdelta3, python3.
#   bench/patch/run.sh [RUNS]     RUNS: timed runs per command (median taken), default 5
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/bench/patch"
runs=${1:-5}
work="$top/build/patch-bench"
build="$top/build/bench-native"
timing="$here/timing.py"

for tool in bsdiff bspatch xdelta3 python3 dpkg-deb apt-get apt-cache cmake ninja; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

echo "== building makepatch (Release, no sanitizers) in $build"
cmake -G Ninja -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHALVORIN_SANITIZE=OFF -DHALVORIN_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$work.cmake.log" 2>&1 ||
  { mkdir -p "$work"; cat "$work.cmake.log"; exit 2; }
cmake --build "$build" --target makepatch -j 2 >"$work.build.log" 2>&1 || { cat "$work.build.log"; exit 2; }
makepatch="$build/bin/makepatch"

# Package: the files of it to compare (paths inside the package).
declare -A files=(
  [libssl3]="usr/lib/x86_64-linux-gnu/libcrypto.so.3 usr/lib/x86_64-linux-gnu/libssl.so.3"
  [openssl]="usr/bin/openssl"
  [libc6]="lib/x86_64-linux-gnu/libc.so.6 lib/x86_64-linux-gnu/libm.so.6 lib/x86_64-linux-gnu/ld-linux-x86-64.so.2"
  [openssh-client]="usr/bin/ssh usr/bin/scp"
  [git]="usr/bin/git"
  [libcurl4]="usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0"
  [curl]="usr/bin/curl"
  [sudo]="usr/bin/sudo usr/libexec/sudo/sudoers.so"
)
packages=(libssl3 openssl libc6 openssh-client git libcurl4 curl sudo)

mkdir -p "$work/debs" "$work/unpacked" "$work/pairs" "$work/out"
echo "== fetching two releases of: ${packages[*]}"
pairs=()
for package in "${packages[@]}"; do
  # The two newest versions the package lists hold (a release and its update);
  # apt lists them newest first.
  mapfile -t versions < <(apt-cache madison "$package" 2>/dev/null | awk '{print $3}' | awk '!seen[$0]++' |
                           head -n 2 | tac)
  if ((${#versions[@]} < 2)); then
    echo "   $package: fewer than two versions available, skipped"
    continue
  fi
  ok=1
  for version in "${versions[@]}"; do
    dir="$work/unpacked/${package}_${version//[:~]/_}"
    if [ ! -d "$dir" ]; then
      # apt-get download writes the epoch's ':' as %3a.
      pattern="$work/debs/${package}_${version/:/%3a}_*.deb"
      compgen -G "$pattern" >/dev/null || (cd "$work/debs" && apt-get download "$package=$version" >/dev/null 2>&1) || true
      deb=$(compgen -G "$pattern" | head -n 1) || deb=""
      if [ -z "$deb" ]; then ok=0; break; fi
      rm -rf "$dir.tmp" && mkdir -p "$dir.tmp" && dpkg-deb -x "$deb" "$dir.tmp" && mv "$dir.tmp" "$dir"
    fi
  done
  if ((!ok)); then
    echo "   $package: download failed, skipped"
    continue
  fi
  old="$work/unpacked/${package}_${versions[0]//[:~]/_}"
  new="$work/unpacked/${package}_${versions[1]//[:~]/_}"
  for path in ${files[$package]}; do
    name=$(basename "$path")
    o="$old/$path" n="$new/$path"
    if [ ! -f "$o" ] || [ ! -f "$n" ]; then
      echo "   $name: not in both releases of $package, skipped"
      continue
    fi
    if cmp -s "$o" "$n"; then
      echo "   $name: the same in both releases of $package, skipped"
      continue
    fi
    cp "$o" "$work/pairs/$name.old"
    cp "$n" "$work/pairs/$name.new"
    pairs+=("$name")
    echo "   $name: $package ${versions[0]} -> ${versions[1]}"
  done
done
((${#pairs[@]})) || { echo "bench: no pairs could be fetched" >&2; exit 1; }

# t [--fresh OUTPUT] COMMAND...: median wall time; OUTPUT is removed before each run.
t() { python3 "$timing" "$runs" "$@"; }
size() { stat -c %s "$1"; }

echo "== measuring ($runs runs per command, median wall time)"
results="$work/results.tsv"
: >"$results"
for name in "${pairs[@]}"; do
  old="$work/pairs/$name.old"; new="$work/pairs/$name.new"; out="$work/out/$name"
  mk_ours=$(t --fresh "$out.hvp" "$makepatch" --file "$old" "$new" "$out.hvp")
  mk_bsd=$(t --fresh "$out.bsd" bsdiff "$old" "$new" "$out.bsd")
  mk_xd=$(t --fresh "$out.xd" xdelta3 -f -9 -e -s "$old" "$new" "$out.xd")
  ap_ours=$(t --fresh "$out.hvp.new" "$makepatch" --apply-file "$old" "$out.hvp" "$out.hvp.new")
  ap_bsd=$(t --fresh "$out.bsd.new" bspatch "$old" "$out.bsd.new" "$out.bsd")
  ap_xd=$(t --fresh "$out.xd.new" xdelta3 -f -d -s "$old" "$out.xd" "$out.xd.new")
  for result in "$out.hvp.new" "$out.bsd.new" "$out.xd.new"; do
    cmp -s "$new" "$result" || { echo "bench: $result differs from the new file" >&2; exit 1; }
  done
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$(size "$new")" \
    "$(size "$out.hvp")" "$(size "$out.bsd")" "$(size "$out.xd")" \
    "$mk_ours" "$mk_bsd" "$mk_xd" "$ap_ours" "$ap_bsd" "$ap_xd" >>"$results"
done

python3 - "$results" <<'PY'
import math, sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1])]
def geo(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))
print()
print(f"{'file':<22}{'size':>10} | {'patch: ours':>11}{'bsdiff':>9}{'xdelta3':>9} | "
      f"{'make s: ours':>12}{'bsdiff':>8}{'xdelta3':>8} | {'apply s: ours':>13}{'bspatch':>8}{'xdelta3':>8}")
size_r, make_r, apply_r = [], [], []
for r in rows:
    name, size = r[0], int(r[1])
    ours, bsd, xd = (int(x) for x in r[2:5])
    mk = [float(x) for x in r[5:8]]
    ap = [float(x) for x in r[8:11]]
    print(f"{name:<22}{size:>10} | {ours:>11}{bsd:>9}{xd:>9} | {mk[0]:>12.3f}{mk[1]:>8.3f}{mk[2]:>8.3f} | "
          f"{ap[0]:>13.4f}{ap[1]:>8.4f}{ap[2]:>8.4f}")
    size_r.append(ours / bsd); make_r.append(mk[0] / mk[1]); apply_r.append(ap[0] / ap[2])
print()
print(f"{'file':<22}{'size/bsdiff':>12}{'make/bsdiff':>12}{'apply/xdelta3':>14}")
for r, s, m, a in zip(rows, size_r, make_r, apply_r):
    print(f"{r[0]:<22}{s:>12.3f}{m:>12.3f}{a:>14.3f}")
print(f"{'geometric mean':<22}{geo(size_r):>12.3f}{geo(make_r):>12.3f}{geo(apply_r):>14.3f}")
print(f"{'worst':<22}{max(size_r):>12.3f}{max(make_r):>12.3f}{max(apply_r):>14.3f}")
PY
