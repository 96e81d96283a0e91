#!/usr/bin/env bash
# Patch benchmark: makepatch against bsdiff/bspatch, xdelta3 -9 and zstd -19
# --patch-from on real pairs of neighbouring releases, in two groups:
#   ELF  Debian programs and libraries (a release and its security or point update, as
#        the package lists hold them);
#   PE   Windows executables and DLLs, i686 and x86_64: native programs of npm packages at
#        two neighbouring releases (some of them a small fix), and this project's own
#        halvorin.exe, patchw32.dll and Brannock.dll built at two commits some way apart.
# For each pair: patch sizes, time to make, time to apply and our peak memory while
# applying; per group the geometric mean and the worst of size/bsdiff, size/zstd,
# make/bsdiff, apply/xdelta3 and peak/larger file.
#
# Self-contained: configures an optimised build without sanitizers in
# build/bench-native, fetches what it compares into build/patch-bench (kept there, so a
# second run fetches and builds nothing), and prints the tables. What cannot be fetched
# or built is skipped. Needs bsdiff, xdelta3, zstd, npm, python3 and the mingw compilers.
#   bench/patch/run.sh [RUNS]     RUNS: timed runs per command (median taken), default 3
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/bench/patch"
runs=${1:-3}
work="$top/build/patch-bench"
build="$top/build/bench-native"
timing="$here/timing.py"

for tool in bsdiff bspatch xdelta3 zstd npm python3 dpkg-deb apt-get apt-cache cmake ninja git /usr/bin/time; do
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

rm -rf "$work/pairs"
mkdir -p "$work/debs" "$work/unpacked" "$work/pairs/elf" "$work/pairs/pe" "$work/out"

# keep_pair GROUP/NAME OLD NEW COPY...: both files of a pair under the new file's own name
# (which the patch stores, as it would in use), copied by COPY... SOURCE TARGET.
keep_pair() {
  local pair=$1 o=$2 n=$3
  shift 3
  local file
  file=$(basename "$n")
  mkdir -p "$work/pairs/$pair/old" "$work/pairs/$pair/new"
  "$@" "$o" "$work/pairs/$pair/old/$file" && "$@" "$n" "$work/pairs/$pair/new/$file" && pairs+=("$pair")
}
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
    keep_pair "elf/$name" "$o" "$n" cp
    echo "   $name: $package ${versions[0]} -> ${versions[1]}"
  done
done

# PE pairs from npm: package, the two releases, the files (paths inside the package; a
# version in a file name is matched by '*').
pe_packages=(
  "@esbuild/win32-x64 0.28.1 0.28.2 esbuild.exe"
  "@esbuild/win32-ia32 0.28.1 0.28.2 esbuild.exe"
  "@rollup/rollup-win32-x64-msvc 4.69.2 4.69.3 rollup.win32-x64-msvc.node"
  "@rollup/rollup-win32-ia32-msvc 4.69.2 4.69.3 rollup.win32-ia32-msvc.node"
  "@img/sharp-win32-x64 0.35.5 0.35.6 lib/sharp-win32-x64-*.node lib/libvips-cpp-*.dll"
  "@img/sharp-win32-ia32 0.35.5 0.35.6 lib/sharp-win32-ia32-*.node lib/libvips-cpp-*.dll"
)
mkdir -p "$work/npm"
echo "== fetching two releases of the npm packages"
for entry in "${pe_packages[@]}"; do
  read -r package older newer patterns <<<"$entry"
  ok=1
  for version in "$older" "$newer"; do
    dir="$work/npm/${package//[@\/]/_}-$version"
    if [ ! -d "$dir" ]; then
      rm -rf "$dir.tmp" && mkdir -p "$dir.tmp"
      if (cd "$dir.tmp" && npm pack "$package@$version" --silent >/dev/null 2>&1 && tar xzf ./*.tgz); then
        mv "$dir.tmp" "$dir"
      else
        ok=0
      fi
    fi
  done
  if ((!ok)); then echo "   $package: download failed, skipped"; continue; fi
  short=${package#@}
  short=${short//\//-}
  for pattern in $patterns; do
    o=$(compgen -G "$work/npm/${package//[@\/]/_}-$older/package/$pattern" | head -n 1) || o=""
    n=$(compgen -G "$work/npm/${package//[@\/]/_}-$newer/package/$pattern" | head -n 1) || n=""
    if [ -z "$o" ] || [ -z "$n" ] || cmp -s "$o" "$n"; then echo "   $pattern: not a pair in $package, skipped"; continue; fi
    name="$short+$(basename "${pattern//\*/V}")"
    keep_pair "pe/$name" "$o" "$n" cp
    echo "   $name: $older -> $newer"
  done
done

# This project's own binaries at two commits some way apart, for both Windows targets.
own_old=5af690f own_new=5c4b012
echo "== building halvorin.exe, patchw32.dll and Brannock.dll at $own_old and $own_new"
for commit in "$own_old" "$own_new"; do
  for arch in i686 x86_64; do
    out="$work/own/$commit-$arch"
    [ -f "$out/done" ] && continue
    tree="$work/own/src-$commit"
    [ -d "$tree" ] || git -C "$top" worktree add --detach "$tree" "$commit" >/dev/null 2>&1 ||
      { echo "   $commit: no such commit, skipped"; continue; }
    if cmake -G Ninja -S "$tree" -B "$out/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORIN_TESTS=OFF \
         -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/toolchain-$arch-w64-mingw32.cmake" -DHALVORIN_OUT_DIR="$out/bin" \
         >"$out.log" 2>&1 &&
       cmake --build "$out/build" --target halvorin patchw32 brannock_dll -j 2 >>"$out.log" 2>&1; then
      touch "$out/done"
    else
      echo "   $commit $arch: build failed (see $out.log), skipped"
    fi
  done
done
for arch in i686 x86_64; do
  for file in halvorin.exe patchw32.dll Brannock.dll; do
    o="$work/own/$own_old-$arch/bin/$file" n="$work/own/$own_new-$arch/bin/$file"
    [ -f "$o" ] && [ -f "$n" ] || continue
    # The debug information is not what ships: both are stripped.
    name="own-$arch+$file"
    strip_to() { "$arch-w64-mingw32-strip" -o "$2" "$1"; }
    keep_pair "pe/$name" "$o" "$n" strip_to
  done
done
((${#pairs[@]})) || { echo "bench: no pairs could be fetched" >&2; exit 1; }

# t [--fresh OUTPUT] COMMAND...: median wall time and the peak memory (KiB) of the runs;
# OUTPUT is removed before each run.
t() { python3 "$timing" "$runs" "$@"; }
size() { stat -c %s "$1"; }

echo "== measuring ($runs runs per command, median wall time)"
results="$work/results.tsv"
: >"$results"
# What the process itself takes, whatever the file: the peak of applying a patch of one byte.
mkdir -p "$work/base/old" "$work/base/new"
printf a >"$work/base/old/b" && printf b >"$work/base/new/b"
"$makepatch" --file "$work/base/old/b" "$work/base/new/b" "$work/base/p.hvp" >/dev/null 2>&1
read -r _ baseline < <(t --fresh "$work/base/b" "$makepatch" --apply-file "$work/base/old/b" "$work/base/p.hvp" "$work/base/b")
echo "$baseline" >"$work/baseline"
for pair in "${pairs[@]}"; do
  old=$(echo "$work/pairs/$pair/old/"*); new=$(echo "$work/pairs/$pair/new/"*); out="$work/out/${pair//\//_}"
  read -r mk_ours _ < <(t --fresh "$out.hvp" "$makepatch" --file "$old" "$new" "$out.hvp")
  read -r mk_bsd _ < <(t --fresh "$out.bsd" bsdiff "$old" "$new" "$out.bsd")
  read -r mk_xd _ < <(t --fresh "$out.xd" xdelta3 -f -9 -e -s "$old" "$new" "$out.xd")
  read -r mk_zst _ < <(t --fresh "$out.zst" zstd -q -19 --patch-from="$old" "$new" -o "$out.zst")
  read -r ap_ours peak < <(t --fresh "$out.hvp.new" "$makepatch" --apply-file "$old" "$out.hvp" "$out.hvp.new")
  read -r ap_bsd _ < <(t --fresh "$out.bsd.new" bspatch "$old" "$out.bsd.new" "$out.bsd")
  read -r ap_xd _ < <(t --fresh "$out.xd.new" xdelta3 -f -d -s "$old" "$out.xd" "$out.xd.new")
  zstd -q -d --patch-from="$old" "$out.zst" -o "$out.zst.new" -f
  for result in "$out.hvp.new" "$out.bsd.new" "$out.xd.new" "$out.zst.new"; do
    cmp -s "$new" "$result" || { echo "bench: $result differs from the new file" >&2; exit 1; }
  done
  larger=$(( $(size "$old") > $(size "$new") ? $(size "$old") : $(size "$new") ))
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$pair" "$(size "$new")" \
    "$(size "$out.hvp")" "$(size "$out.bsd")" "$(size "$out.xd")" "$(size "$out.zst")" \
    "$mk_ours" "$mk_bsd" "$mk_xd" "$ap_ours" "$ap_bsd" "$ap_xd" "$peak" "$larger" "$mk_zst" >>"$results"
done

python3 "$here/report.py" "$results" "$baseline"
