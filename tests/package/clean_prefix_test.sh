#!/usr/bin/env bash
# The x86_64 package on a machine that has nothing else: unpacked into a fresh Wine
# prefix, halvorin.exe registered from there, and a script client that lists the modules
# of a test site. Exits 77 (skipped) when scripts/package.sh has not made the package.
#   clean_prefix_test.sh SOURCE_DIR ADDRESS
set -u
top=$1 address=$2
version=$(head -n 1 "$top/VERSION")
package="$top/out/package/halvorin-$version-win64.zip"
[ -f "$package" ] || { echo "no $package (scripts/package.sh makes it): skipped"; exit 77; }
work=$(mktemp -d /tmp/halvorin-package.XXXXXX)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix is ready once the session that made it has ended; a server kept running from
# then on makes the later starts fast.
wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f >/dev/null 2>&1
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$package" "$work/unpacked"
mv "$work/unpacked/halvorin-$version-win64" "$WINEPREFIX/drive_c/Halvorin"
wine 'C:\Halvorin\halvorin.exe' -RegServer || { echo "registration failed"; exit 1; }

mkdir -p "$work/site"
printf '[VERSION 1]\r\n[Modules]\r\nMODULE Tools Handy tools\r\nFILE t.exe_ tools\\t.exe 10 10 1/2/2001 1:05:00 none\r\nMODULE Extras\r\nFILE e.dat_ e.dat 10 10 1/2/2001 1:05:00 none\r\n' >"$work/site/image.txt"
cat >"$work/client.vbs" <<'VBS'
Set engine = CreateObject("Halvorin.Halvorin")
engine.appID = "PackageCheck"
engine.url = WScript.Arguments(0)
engine.imagePath = "/image.txt"
engine.GetModuleList list
WScript.Echo "modules: " & list
VBS
output=$(bash "$top/tests/support/with_http_server.sh" "$address" "$work/site" "$work/control" -- \
  wine cscript //nologo "$(winepath -w "$work/client.vbs")" "$address" 2>&1)
echo "$output"
grep -q "^modules: Extras||Tools|Handy tools|" <<<"$output"
