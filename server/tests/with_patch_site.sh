#!/usr/bin/env bash
# Prepares the files of the patch-run site, then runs the command: every file that the
# image will name as a mandatory file, compressed by Debian's mscompress (the format that
# expand.exe and the LZ functions read) into ROOT/files/NAME_, with the plain file kept in
# ROOT/plain/NAME for the test to compare with.
#   with_patch_site.sh ROOT BIN_DIR -- command [args...]
set -eu
root=$1 bin=$2
shift 2
[ "${1:-}" = "--" ] && shift
rm -rf "$root/plain" "$root/files"
mkdir -p "$root/plain" "$root/files"
python3 - "$root/plain" <<'PY'
import os, random, sys
rng = random.Random(11)
for name, size in (("new.bin", 100000), ("app.cfg", 3000), ("first.bin", 20000), ("slow.bin", 600000)):
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(rng.randbytes(size))
PY
cp "$bin/test_child.exe" "$root/plain/setup.exe"
for file in "$root"/plain/*; do
  mscompress "$file"
  mv "$file"_ "$root/files/"
done
exec "$@"
