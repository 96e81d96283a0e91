#!/usr/bin/env bash
# Sets up, builds and runs every test: the native tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets, and the Windows tests under Wine in a
# private prefix with a virtual display. Exits non-zero on any failure.
# Extra arguments go to the Windows ctest run (e.g. -R file_verify).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

"$top/scripts/setup.sh"
"$top/scripts/build.sh"

status=0
echo "== native tests"
ctest --test-dir "$top/build/native" --output-on-failure || status=1

echo "== fuzzing"
"$top/scripts/fuzz.sh" 30 || status=1

echo "== Windows tests under Wine"
source "$top/scripts/wine-session.sh"
rm -rf "$top/build/wine-test"
wine_session_start "$top/build/wine-test" "${HALVORIN_TEST_DISPLAY:-:77}"
trap wine_session_stop EXIT
ctest --test-dir "$top/build/x86_64" --output-on-failure -j "${HALVORIN_TEST_JOBS:-2}" "$@" || status=1

if ((status)); then echo "== FAILED"; else echo "== all tests passed"; fi
exit $status
