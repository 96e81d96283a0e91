#!/usr/bin/env bash
# The main job: sets up, builds, and runs a demonstration in a private Wine prefix:
# the publishers' tool reads the demonstration image, halvorin.exe registers itself,
# and a script client drives the engine through automation.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

"$top/scripts/setup.sh"
"$top/scripts/build.sh" native x86_64 i686

echo "== the demonstration image, as the engine reads it"
"$top/out/native/bin/halvorin-site" dump "$top/tools/site/samples/demo.img" --site 127.0.0.40

echo "== registering halvorin.exe in a private Wine prefix"
source "$top/scripts/wine-session.sh"
work="$top/build/demo"
rm -rf "$work"
mkdir -p "$work/app"
wine_session_start "$work/wine" "${HALVORIN_DEMO_DISPLAY:-:76}"
trap wine_session_stop EXIT
wine "$top/out/x86_64/bin/halvorin.exe" -regserver
echo "registered (exit code $?)"

echo "== a script client"
wine cscript //nologo "$(winepath -w "$top/demo/client.vbs")" 127.0.0.40 "$(winepath -w "$work/app")"
