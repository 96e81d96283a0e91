#!/usr/bin/env bash
# The main job: sets up, builds, and runs a demonstration in a private Wine prefix:
# the publishers' tool reads the demonstration image, halvorin.exe registers itself,
# and a client drives the engine through automation against a local site.
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

echo "== a client against the demonstration site (nginx on 127.0.0.40)"
mkdir -p "$work/site"
# The sample names its download host in a BASE URL directive; here that host is the local site.
sed 's/downloads\.tolbeck\.example/127.0.0.40/' "$top/tools/site/samples/demo.img" >"$work/site/demo.img"
"$top/tests/support/with_nginx.sh" 127.0.0.40 "$work/site" --control "$work/site-log" -- \
  wine "$top/out/x86_64/bin/demo_client.exe" 127.0.0.40 "$(winepath -w "$work/app")"
echo "== requests the site saw"
cat "$work/site-log/nginx_requests.jsonl"
