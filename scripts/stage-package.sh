#!/usr/bin/env bash
# Lays out what an integrator gets, from one Windows build: the engine, the patch library,
# Brannock.dll and the type library at the top; include/ with the interface for compiled
# clients (halvorin.h declares it, halvorin_i.c defines its identifiers, halvorin.idl is
# the source); tools/ with the publishers' tools; samples/ with the three sample clients;
# a sample Config.Ins and the integrator's guide.
#   stage-package.sh BIN_DIR GENERATED_DIR STAGE_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$1 generated=$2 stage=$3
rm -rf "$stage"
mkdir -p "$stage/include" "$stage/tools" "$stage/samples"
cp "$bin/halvorin.exe" "$bin/patchw32.dll" "$bin/Brannock.dll" "$stage/"
cp "$bin/halvorin-site.exe" "$bin/makepatch.exe" "$stage/tools/"
cp "$generated/halvorin.tlb" "$stage/"
cp "$generated/halvorin_idl.h" "$stage/include/halvorin.h"
cp "$generated/halvorin_idl_i.c" "$stage/include/halvorin_i.c"
cp "$generated/halvorin.idl" "$stage/include/halvorin.idl"
cp "$top/package/samples/client.cpp" "$top/package/samples/client.vbs" "$top/package/samples/client.js" "$stage/samples/"
cp "$top/package/Config.Ins" "$top/package/INTEGRATOR.md" "$stage/"
# No shipped file may carry the path of the machine that built it.
if grep -rlI -e "$top" -e "/work/" "$stage" >/dev/null 2>&1; then
  echo "stage-package: a staged file names a build path:" >&2
  grep -rlI -e "$top" -e "/work/" "$stage" >&2
  exit 1
fi
