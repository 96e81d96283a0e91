#!/usr/bin/env bash
# Runs every native fuzz target (out/native/bin/fuzz_*) for the given number of seconds
# in all (default 30), starting from the seed corpus beside its source.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
total=${1:-30}
shopt -s nullglob
targets=("$top"/out/native/bin/fuzz_*)
if ((${#targets[@]} == 0)); then echo "fuzz: no fuzz targets built"; exit 0; fi
each=$(( total / ${#targets[@]} )); ((each > 0)) || each=1
for target in "${targets[@]}"; do
  name=$(basename "$target")
  work="$top/build/fuzz/$name"
  mkdir -p "$work/corpus"
  seeds=$(find "$top" -path "$top/build" -prune -o -type d -name "${name#fuzz_}_corpus" -print | head -n1)
  echo "fuzz: $name for ${each}s"
  "$target" -max_total_time="$each" -print_final_stats=0 -detect_leaks=1 "$work/corpus" ${seeds:+"$seeds"} \
     >"$work/log" 2>&1 || { tail -n 40 "$work/log"; exit 1; }
  tail -n 2 "$work/log"
done
