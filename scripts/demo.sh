#!/usr/bin/env bash
# The main job: sets up, builds, and runs an update of a sample application end to end.
#  1. Three releases of a sample application (a Windows program that shows its release,
#     and some data files) are made, and halvorin-site publishes their update site.
#  2. nginx serves the site on 127.0.0.40; a private Wine prefix with a virtual display
#     gets halvorin.exe registered and release 1 installed.
#  3. The sample application runs: it asks PatchNeeded, hands over with StartPatch and
#     ends; the engine updates it to release 3 with its progress dialog and starts it again.
# Prints what happened and saves a screenshot of the progress dialog as
# out/demo/progress-dialog.png. Every run starts from a clean state.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

"$top/scripts/setup.sh"
"$top/scripts/build.sh" native x86_64 i686

work="$top/build/demo"
shot_dir="$top/out/demo"
bin="$top/out/x86_64/bin"
site_address=127.0.0.40
rm -rf "$work" "$shot_dir"
mkdir -p "$work/releases" "$shot_dir"

echo "== the publisher's signing key (halvorin-site keygen)"
mkdir -p "$work/keys"
"$top/out/native/bin/halvorin-site" keygen "$work/keys/demo.key" 2>/dev/null

echo "== three releases of the sample application"
python3 - "$work/releases" "$bin" "$work/keys/demo.key.pub" <<'PY'
import os, random, shutil, sys
root, bin_dir, key = sys.argv[1], sys.argv[2], sys.argv[3]
rng = random.Random(3)
prices = [rng.randrange(100, 10000) for _ in range(20000)]
media = rng.randbytes(3 * 1024 * 1024)
for release in (1, 2, 3):
    tree = os.path.join(root, "v%d" % release)
    os.makedirs(os.path.join(tree, "data"))
    shutil.copy(os.path.join(bin_dir, "sample_app_%d.exe" % release), os.path.join(tree, "app.exe"))
    shutil.copy(key, os.path.join(tree, "publisher.key"))  # the application ships its publisher's key
    with open(os.path.join(tree, "readme.txt"), "w") as f:
        f.write("Sample application, release %d.\n" % release)
    for i in range(0, len(prices), 997):  # each release changes some prices
        prices[i] += release
    with open(os.path.join(tree, "data", "prices.dat"), "w") as f:
        f.write("\n".join(str(p) for p in prices))
    if release == 1:
        with open(os.path.join(tree, "data", "old-notes.txt"), "w") as f:
            f.write("Notes that release 2 no longer ships.\n")
    if release == 3:  # new in release 3: enough bytes to watch the progress dialog
        with open(os.path.join(tree, "data", "media.dat"), "wb") as f:
            f.write(media)
PY
cat >"$work/releases/site.txt" <<EOF
# The sample application's update site.
site $site_address
release 1 v1
release 2 v2
release 3 v3
direct 1
mandatory *
mandatory data/*
engine $bin/halvorin.exe
engine $bin/patchw32.dll
sign ../keys/demo.key
EOF
for release in 1 2 3; do
  echo "   release $release: $(find "$work/releases/v$release" -type f | wc -l) files, $(du -sb "$work/releases/v$release" | cut -f1) bytes"
done

echo "== publishing the site (halvorin-site publish)"
"$top/out/native/bin/halvorin-site" publish "$work/releases/site.txt" "$work/site"
"$top/out/native/bin/halvorin-site" check --key "$work/keys/demo.key.pub" "$work/site" "$work/site/image.txt"

echo "== a private Wine prefix: halvorin.exe registered, release 1 installed"
source "$top/scripts/wine-session.sh"
wine_session_start "$work/wine" "${HALVORIN_DEMO_DISPLAY:-:76}"
trap wine_session_stop EXIT
wine "$bin/halvorin.exe" -regserver
app="$WINEPREFIX/drive_c/SampleApp"
cp -r "$work/releases/v1" "$app"
echo "   installed in C:\\SampleApp: $(cat "$app/readme.txt")"

echo "== the sample application updates itself from http://$site_address/"
# Watches for the engine's progress dialog and photographs the screen while it shows.
photograph() {
  if wine "$bin/uirobot.exe" progress --wait 90000 >"$work/dialog.json" 2>/dev/null; then
    sleep 0.3
    xwd -root -display "$DISPLAY" -silent | convert xwd:- "$shot_dir/progress-dialog.png"
  fi
}
run_update() {
  photograph &
  watcher=$!
  wine 'C:\SampleApp\app.exe' --site "$site_address" --latest 3
  for _ in $(seq 600); do
    grep -q "started with /update" "$app/history.txt" 2>/dev/null && break
    sleep 0.2
  done
  wait "$watcher" || true
}
export -f run_update photograph
export bin work shot_dir site_address app
# At 1 MB a second the transfer lasts long enough to watch.
"$top/tests/support/with_nginx.sh" "$site_address" "$work/site" --control "$work/site-log" --rate 1048576 -- \
  bash -c run_update

echo
echo "== what happened"
echo "-- the application's own notes (C:\\SampleApp\\history.txt):"
sed 's/^/   /' "$app/history.txt"
echo "-- installed now: $(cat "$app/readme.txt")"
if cmp -s "$app/app.exe" "$work/releases/v3/app.exe" && cmp -s "$app/data/media.dat" "$work/releases/v3/data/media.dat"; then
  echo "   the installation matches release 3"
else
  echo "   the installation does NOT match release 3" >&2
fi
python3 - "$work/site-log/nginx_requests.jsonl" "$work/releases/v3" <<'PY'
import json, os, sys
served = [json.loads(line) for line in open(sys.argv[1])]
total = sum(r["bytes_sent"] for r in served)
release = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(sys.argv[2]) for f in fs)
print("-- the site served %d bytes in %d requests, against %d bytes of release 3 (%.0f%%):"
      % (total, len(served), release, 100.0 * total / release))
for r in served:
    print("   %s %s %d, %d bytes" % (r["method"], r["target"], r["status"], r["bytes_sent"]))
PY
echo "-- the engine's log (C:\\SampleApp\\update.log):"
tr -d '\r' <"$app/update.log" | sed 's/^/   /'
echo
echo "-- the error report of the run (C:\\SampleApp\\report.txt):"
if [ -s "$app/report.txt" ]; then tr -d '\r' <"$app/report.txt" | sed 's/^/   /'; else echo "   (empty)"; fi
if [ -s "$shot_dir/progress-dialog.png" ]; then
  echo "-- screenshot of the progress dialog: $shot_dir/progress-dialog.png"
else
  echo "-- no screenshot: the progress dialog was not seen" >&2
fi
grep -q "release 3 started with /updated" "$app/history.txt"
