#!/usr/bin/env bash
# Makes a patch with the native makepatch from two trees of UTF-8 names, as a publisher
# on Linux would, then runs a command with HALVORIN_NATIVE_PATCH set to the Windows
# path of WORK (WORK/old, WORK/new, WORK/native.rtp).
#   with_native_patch.sh MAKEPATCH WORK -- COMMAND [ARGS...]
set -eu
makepatch=$1 work=$2
shift 3
if [ ! -x "$makepatch" ]; then
  echo "with_native_patch: no native makepatch at $makepatch (scripts/build.sh native)" >&2
  exit 2
fi
rm -rf "$work"
mkdir -p "$work/old/ソフト" "$work/new/ソフト" "$work/new/表"
printf 'version 1' >"$work/old/ソフト.dll"
printf 'old' >"$work/old/ソフト/表示.dat"
printf 'gone' >"$work/old/削除.txt"
printf 'version 2' >"$work/new/ソフト.dll"
printf 'new' >"$work/new/ソフト/表示.dat"
printf 'a' >"$work/new/ア.txt"
printf 'di' >"$work/new/ヂ.txt"
printf 'chi' >"$work/new/チ.txt"
printf 'data' >"$work/new/表/データ.bin"
"$makepatch" "$work/old" "$work/new" "$work/native.rtp" --comment "版 2" >/dev/null
HALVORIN_NATIVE_PATCH=$(winepath -w "$work" 2>/dev/null) "$@"
