#!/usr/bin/env bash
# The Windows build of the publishers' tool (CNG, under Wine) and the native build
# (OpenSSL) read each other's keys and signatures: a site keyed and signed by either is
# verified by the other, and a byte changed in its image is found by both.
#   windows_signing.sh WINDOWS_TOOL NATIVE_TOOL WORK_DIR
set -eu
win=$1 native=$2 work=$3
if [ ! -x "$native" ]; then
  echo "windows_signing.sh: $native is missing: build the native tools first (scripts/build.sh native)" >&2
  exit 1
fi
rm -rf "$work"
mkdir -p "$work/r1" "$work/r2"
printf 'release one\n' >"$work/r1/a.txt"
printf 'release two\n' >"$work/r2/a.txt"
printf 'another file\n' >"$work/r2/b.txt"
windows() { wine "$win" "$@" 2>&1 | tr -d '\r' | grep -v '^[0-9a-f]*:fixme:' || true; }
path() { winepath -w "$1"; }

windows keygen "$(path "$work/win.key")" >/dev/null
printf 'site 127.0.0.1\nrelease 1 r1\nrelease 2 r2\nmandatory **\nsign win.key\n' >"$work/win.txt"
windows publish "$(path "$work/win.txt")" "$(path "$work/win-site")" >/dev/null
"$native" check --key "$work/win.key.pub" "$work/win-site" /image.txt

"$native" keygen "$work/native.key" >/dev/null 2>&1
sed 's/win.key/native.key/' "$work/win.txt" >"$work/native.txt"
"$native" publish "$work/native.txt" "$work/native-site" 2>/dev/null
result=$(windows check --key "$(path "$work/native.key.pub")" "$(path "$work/native-site")" /image.txt)
echo "$result"
case $result in *"no problems"*) ;; *) echo "FAILED: the Windows build refuses the native signature"; exit 1 ;; esac

sed -i 's/FROM V1 TO V2/FROM V1 TO V3/' "$work/native-site/image.txt" "$work/win-site/image.txt"
if "$native" check "$work/win-site" /image.txt >/dev/null; then echo "FAILED: native check took a changed image"; exit 1; fi
result=$(windows check "$(path "$work/native-site")" /image.txt)
case $result in *"changed after it was signed"*) ;; *) echo "FAILED: the Windows build took a changed image: $result"; exit 1 ;; esac
echo "both builds verify each other's signatures"
