#!/usr/bin/env bash
# Download benchmark: one 256 MiB file from nginx on loopback, fetched by DownloadFile
# (the engine's download, under 64-bit Wine, with the progress dialog open) and by
# curl -o in the same run; prints both throughputs and their ratio, the ratio of the engine
# to the bare WinInet loop it is built on (the same 16 KiB reads and file writes, no
# dialog), then the engine's transfer taken apart (no dialog; bare WinInet reads with and
# without writing the file); then the same file from a secure site (nginx over TLS with
# a certificate from a test root that only this run trusts): the engine, the bare loop and
# curl over TLS, with the engine's throughput over TLS against plain HTTP and against curl.
#
# Self-contained: configures an optimised cross build without sanitizers in
# build/bench-x64, starts nginx (tests/support/with_nginx.sh) and a Wine session of its own
# (prefix in build/bench-download/wine, display BENCH_DISPLAY, default :95), and ends both.
#   bench/download/run.sh [RUNS]    RUNS: timed runs per figure (best taken), default 5
# Environment: BENCH_SIZE_MB (256), BENCH_ADDR (127.0.0.80), BENCH_DISPLAY (:95).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-5}
size_mb=${BENCH_SIZE_MB:-256}
addr=${BENCH_ADDR:-127.0.0.80}
display=${BENCH_DISPLAY:-:95}
build="$top/build/bench-x64"
work="$top/build/bench-download"
size=$((size_mb * 1024 * 1024))

for tool in cmake ninja curl wine wineserver Xvfb nginx python3; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "bench: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
mkdir -p "$work/site" "$work/out"

echo "== building download_bench (Release, x86_64) in $build"
cmake -G Ninja -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHALVORIN_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-x86_64-w64-mingw32.cmake" >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; exit 2; }
cmake --build "$build" --target download_bench -j 2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 2; }

file="$work/site/big.bin"
if [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" != "$size" ]; then
  echo "== making a ${size_mb} MiB file"
  head -c "$size" /dev/urandom >"$file"
fi

echo "== starting a Wine session (display $display)"
# shellcheck source=/dev/null
source "$top/scripts/wine-session.sh"
wine_session_start "$work/wine" "$display"
# The engine's downloads leave a copy of the file in WinInet's cache; drop it at the end.
trap 'wine_session_stop; rm -rf "$work"/wine/prefix/drive_c/users/*/AppData/Local/Microsoft/Windows/INetCache' EXIT

# Runs inside with_nginx.sh: every figure RUNS times, the best (shortest) kept.
measure() {
  local file=$BENCH_FILE size=$BENCH_SIZE runs=$BENCH_RUNS addr=$BENCH_ADDR_USED
  local local_unix="$BENCH_WORK/out/big.bin"
  local local_win="Z:${local_unix//\//\\}"
  local bench="$BENCH_BUILD/bin/download_bench.exe"
  best() { sort -n | head -n 1; }
  # Warm the page cache and nginx first.
  curl -s -o /dev/null "http://$addr/big.bin"
  local curl_s engine_s nodialog_s read_s write_s nocache_s bigread_s
  curl_s=$(for _ in $(seq "$runs"); do
    rm -f "$local_unix"
    curl -s -o "$local_unix" -w '%{time_total}\n' "http://$addr/big.bin"
  done | best)
  [ "$(stat -c %s "$local_unix")" = "$size" ] || { echo "curl fetched a short file" >&2; exit 1; }
  one() {  # mode -> best seconds
    local result
    result=$(for _ in $(seq "$runs"); do
      wine "$bench" "$1" "$addr" /big.bin "$local_win" "$size" | awk '{print $2}'
    done | best)
    [ -n "$result" ] || { echo "bench: download_bench $1 failed" >&2; exit 1; }
    echo "$result"
  }
  # The engine and the bare loop that its ratio is taken against run in turns, so that a
  # load that comes and goes on a shared machine falls on both alike. Prints the best
  # seconds of each: "engine write"; checks the engine's copy.
  engine_and_bare() {  # site
    local pair
    pair=$(for _ in $(seq "$runs"); do
      for mode in write engine; do
        wine "$bench" "$mode" "$1" /big.bin "$local_win" "$size"
      done
    done | awk '!($1 in b) || $2 < b[$1] { b[$1] = $2 } END { print b["engine"], b["write"] }')
    [ "$(echo "$pair" | wc -w)" = 2 ] || { echo "bench: download_bench engine or write failed on $1" >&2; exit 1; }
    cmp -s "$local_unix" "$file" || { echo "the engine's copy from $1 differs from the file" >&2; exit 1; }
    echo "$pair"
  }
  local pair
  pair=$(engine_and_bare "$addr") || exit 1
  read -r engine_s write_s <<<"$pair"
  nodialog_s=$(one nodialog) || exit 1
  read_s=$(one read) || exit 1
  nocache_s=$(one nocache) || exit 1
  bigread_s=$(one bigread) || exit 1
  # The same over TLS: the engine, the bare loop and curl against the secure site.
  local root_pem="$HALVORIN_TEST_CERTIFICATES/root.pem" curl_tls_s engine_tls_s write_tls_s
  curl_tls_s=$(for _ in $(seq "$runs"); do
    rm -f "$local_unix"
    curl -s --cacert "$root_pem" -o "$local_unix" -w '%{time_total}\n' "https://$addr/big.bin"
  done | best)
  [ "$(stat -c %s "$local_unix")" = "$size" ] || { echo "curl fetched a short file over TLS" >&2; exit 1; }
  export BENCH_TRUST_ROOT
  BENCH_TRUST_ROOT=$(winepath -w "$root_pem")
  pair=$(engine_and_bare "https://$addr") || exit 1
  read -r engine_tls_s write_tls_s <<<"$pair"
  rm -f "$local_unix"
  python3 - "$size" "$curl_s" "$engine_s" "$nodialog_s" "$write_s" "$read_s" "$nocache_s" "$bigread_s" \
    "$curl_tls_s" "$engine_tls_s" "$write_tls_s" <<'PY'
import sys
size = int(sys.argv[1])
curl, engine, nodialog, write, read, nocache, bigread, curl_tls, engine_tls, write_tls = map(float, sys.argv[2:])
mib = size / 1048576
def rate(s): return mib / s
print()
print("%-44s %9s %10s" % ("", "seconds", "MiB/s"))
for name, s in (("curl -o", curl), ("DownloadFile, dialog open (the engine)", engine),
                ("DownloadFile, no dialog", nodialog), ("WinInet 16 KiB reads + WriteFile", write),
                ("WinInet 16 KiB reads only", read),
                ("WinInet 16 KiB reads, not into its cache", nocache),
                ("WinInet 1 MiB reads, not into its cache", bigread)):
    print("%-44s %9.3f %10.1f" % (name, s, rate(s)))
print()
print("throughput ratio engine/curl: %.2f" % (curl / engine))
print("throughput ratio engine with dialog / bare WinInet 16 KiB reads + WriteFile: %.2f" % (write / engine))
share = lambda part: 100 * max(part, 0) / engine
print("where the engine's time goes (differences of the rows above; noisy on a busy machine):")
print("  WinInet 16 KiB reads %.0f%% (%.0f%% for its cache copy of the file), file writes %.0f%%,"
      % (share(read), share(read - nocache), share(write - read)))
print("  registry, figures and the rest %.0f%%, the dialog %.0f%%" % (share(nodialog - write), share(engine - nodialog)))
print()
print("over TLS (https, the test root trusted):")
for name, s in (("curl -o", curl_tls), ("DownloadFile, dialog open (the engine)", engine_tls),
                ("WinInet 16 KiB reads + WriteFile", write_tls)):
    print("%-44s %9.3f %10.1f" % (name, s, rate(s)))
print("throughput ratio engine over TLS / engine over plain HTTP: %.2f" % (engine / engine_tls))
print("throughput ratio engine over TLS / curl over TLS: %.2f" % (curl_tls / engine_tls))
PY
}
export -f measure
# Names of their own: with_nginx.sh has variables called work and file.
export BENCH_WORK=$work BENCH_BUILD=$build BENCH_FILE=$file BENCH_SIZE=$size BENCH_RUNS=$runs BENCH_ADDR_USED=$addr

echo "== measuring (${size_mb} MiB, best of $runs)"
bash "$top/tests/support/with_secure_sites.sh" "$addr" "$work/site" "$work/out" "$work/certificates" -- bash -c measure
