#!/usr/bin/env bash
# Makes a signed update site with the native publishers' tool, then runs the command: the
# key is made natively (OpenSSL) and verified by the engine under Wine (CNG).
#   with_signed_site.sh ROOT SITE_TOOL BIN_DIR -- command [args...]
# ROOT/../work/r1..r3   three releases of an application: app.exe and data.bin change,
#                       old.txt goes and new.txt comes in release 3; tool.exe (BIN_DIR's
#                       test_child.exe, which notes every start in runs.log beside it) is
#                       an [exec_always] command; the module Extras holds extra.exe [exec]
#                       and extra.dat; engine-extra.dll stands for an engine file
# ROOT/signed/          the site, its image /signed/image.txt signed with keys/site.key
# ROOT/../work/keys/    site.key (+ .pub), and other.key (+ .pub), a key of nobody's
set -eu
root=$1 tool=$2 bin=$3
shift 3
[ "${1:-}" = "--" ] && shift
if [ ! -x "$tool" ]; then
  echo "with_signed_site.sh: $tool is missing: build the native tools first (scripts/build.sh native)" >&2
  exit 125
fi
work=$(dirname "$root")/work
keys=$work/keys
rm -rf "$root" "$work"
mkdir -p "$root" "$keys"
python3 - "$work" <<'PY'
import os, random, sys
rng = random.Random(21)
base = rng.randbytes(90000)
data = rng.randbytes(20000)
def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)
for version in (1, 2, 3):
    r = os.path.join(sys.argv[1], "r%d" % version)
    app = bytearray(base)
    for at in range(0, len(app) - 16, 17000):
        app[at:at + 6] = b"v%05d" % version
    write(os.path.join(r, "app.exe"), bytes(app))
    write(os.path.join(r, "data.bin"), data if version < 3 else data[::-1])
    if version == 1:
        write(os.path.join(r, "old.txt"), b"only in release 1\n")
    if version == 3:
        write(os.path.join(r, "new.txt"), b"new in release 3\n")
extras = os.path.join(sys.argv[1], "extras")
write(os.path.join(extras, "extra.dat"), rng.randbytes(5000))
write(os.path.join(extras, "engine-extra.dll"), rng.randbytes(7000))
PY
for version in 1 2 3; do cp "$bin/test_child.exe" "$work/r$version/tool.exe"; done
cp "$bin/test_child.exe" "$work/extras/extra.exe"
"$tool" keygen "$keys/site.key" >/dev/null 2>&1
"$tool" keygen "$keys/other.key" >/dev/null 2>&1
cat > "$work/site.txt" <<MANIFEST
site ${HALVORIN_HTTP_ADDR:-127.0.0.79}
image /signed/image.txt
release 1 r1
release 2 r2
release 3 r3
mandatory tool.exe [exec_always]
mandatory **
engine extras/engine-extra.dll
module Extras "Extra files"
module-file extras/extra.exe extras/extra.exe [exec]
module-file extras/extra.dat extras/extra.dat
sign keys/site.key
expires 30
MANIFEST
"$tool" publish "$work/site.txt" "$root" >/dev/null
"$tool" check --key "$keys/site.key.pub" "$root" /signed/image.txt >/dev/null
exec "$@"
