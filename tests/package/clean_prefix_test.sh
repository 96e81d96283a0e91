#!/usr/bin/env bash
# The x86_64 package on a machine that has nothing else, as an integrator meets it:
# unpacked into a fresh Wine prefix and halvorin.exe registered from there; the C++ sample
# built from the package's contents alone with the guide's command; a site of three
# releases published with the package's own tool; then each sample client (C++, VBScript,
# JScript) updates an installation of release 1 to 3 and, started again by the engine,
# tells the new version; and with a wrong image path each tells why, without a box (a box
# would stop it until the time limit).
# Without a package made by scripts/package.sh, the same layout is staged from the tests'
# own build (BIN_DIR, GENERATED_DIR), so the test always runs.
#   clean_prefix_test.sh SOURCE_DIR ADDRESS BIN_DIR GENERATED_DIR
set -u
top=$1 address=$2 bin=$3 generated=$4
version=$(head -n 1 "$top/VERSION")
package="$top/out/package/halvorin-$version-win64.zip"
work=$(mktemp -d /tmp/halvorin-package.XXXXXX)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
fail() { echo "FAILED: $*"; exit 1; }

if [ -f "$package" ]; then
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$package" "$work/unpacked"
  mv "$work/unpacked/halvorin-$version-win64" "$work/halvorin"
else
  echo "no $package: the package's layout staged from the tests' build"
  "$top/scripts/stage-package.sh" "$bin" "$generated" "$work/halvorin" || fail "staging"
fi

# The C++ sample, from the package alone, with the command the guide gives.
(cd "$work/halvorin" && x86_64-w64-mingw32-g++ -O2 -static -Iinclude samples/client.cpp include/halvorin_i.c \
  -lole32 -loleaut32 -luuid -o client.exe) || fail "the C++ sample does not build with the guide's command"

# The prefix is ready once the session that made it has ended; a server kept running from
# then on makes the later starts fast.
wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1
drive="$WINEPREFIX/drive_c"
cp -r "$work/halvorin" "$drive/Halvorin"
wine 'C:\Halvorin\halvorin.exe' -RegServer || fail "registration"

# Three releases of an application made of the three clients, its version and its data.
for v in 1 2 3; do
  release="$drive/releases/v$v"
  mkdir -p "$release"
  cp "$work/halvorin/client.exe" "$work/halvorin/samples/client.vbs" "$work/halvorin/samples/client.js" "$release/"
  printf '%d\r\n' "$v" >"$release/version.txt"
  python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(int(sys.argv[1])).randbytes(50000))' "$v" \
    >"$release/data.bin"
done
printf 'site %s\nimage /app/image.txt\nrelease 1 v1\nrelease 2 v2\nrelease 3 v3\nmandatory **\n' "$address" \
  >"$drive/releases/site.txt"
wine 'C:\Halvorin\tools\halvorin-site.exe' publish 'C:\releases\site.txt' 'C:\site' >"$work/publish.log" 2>&1 ||
  { cat "$work/publish.log"; fail "publishing"; }

# Runs the command of one client for the application in C:\NAME, against the site.
client() {
  local name=$1 kind=$2 image=$3
  case $kind in
    cpp) wine "C:\\$name\\client.exe" "$address" "$image" ;;
    vbs) wine cscript //nologo "C:\\$name\\client.vbs" "$address" "$image" ;;
    js) wine cscript //nologo "C:\\$name\\client.js" "$address" "$image" ;;
  esac
}

check_clients() {
  for kind in cpp vbs js; do
    app="$drive/App-$kind"
    cp -r "$drive/releases/v1" "$app"
    out=$(timeout 120 bash -c "$(declare -f client); address=$address; client App-$kind $kind /app/image.txt" 2>&1)
    grep -q "handed over: version 1 to 3" <<<"$out" || fail "$kind: $out"
    for _ in $(seq 600); do
      grep -q "^updated: " "$app/result.txt" 2>/dev/null && break
      sleep 0.1
    done
    result=$(tr -d '\r' <"$app/result.txt" 2>/dev/null | tail -n 1)
    [ "$result" = "updated: version 3, the site's newest is 3" ] || fail "$kind after the relaunch: '$result'"
    diff -r -x result.txt -x update.log -x download "$drive/releases/v3" "$app" >/dev/null ||
      fail "$kind: the installation is not release 3"
    echo "$kind: $result"

    mkdir -p "$drive/Fail-$kind" && cp -r "$drive/releases/v1/." "$drive/Fail-$kind/"
    out=$(timeout 60 bash -c "$(declare -f client); address=$address; client Fail-$kind $kind /nowhere/image.txt" 2>&1)
    [ $? -ne 124 ] || fail "$kind with a wrong image path did not end in time (a box?): $out"
    grep -q "File /nowhere/image.txt could not be downloaded from site $address\." <<<"$out" ||
      fail "$kind with a wrong image path: $out"
    echo "$kind: $(grep -o 'cannot learn.*\|the engine could not answer.*' <<<"$out")"
  done
}
export -f client check_clients fail
export drive address
bash "$top/tests/support/with_http_server.sh" "$address" "$drive/site" "$work/control" -- bash -c check_clients
