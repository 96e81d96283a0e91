#!/usr/bin/env bash
# Publishes a site of three releases of a small application with the native halvorin-site,
# then runs the command with HALVORIN_RELEASES naming the releases' directory. The
# releases hold a file whose name needs the clients' code page: "café.txt" for 1252 (the
# default), Japanese names for 932.
#   with_published_site.sh HALVORIN_SITE WORK SITE_DIR [CODEPAGE] -- command [args...]
set -eu
tool=$1 work=$2 site=$3
shift 3
codepage=1252
if [ "${1:-}" != "--" ]; then codepage=$1; shift; fi
[ "${1:-}" = "--" ] && shift
rm -rf "$work/releases" "$site"
mkdir -p "$work/releases"
python3 - "$work/releases" "$codepage" <<'PY'
import os, random, sys
root = sys.argv[1]
# Names that only the clients' code page writes; in 932 one whose second byte is '\'.
names = {"1252": ["caf\u00e9.txt"], "932": ["\u65e5\u672c\u8a9e.txt", "\u8868\u793a.txt"]}[sys.argv[2]]
rng = random.Random(5)
program = bytearray(rng.randbytes(300000))
library = bytearray(rng.randbytes(120000))
for version in (1, 2, 3):
    tree = os.path.join(root, "v%d" % version)
    os.makedirs(os.path.join(tree, "lib"))
    for at in range(0, len(program), 40000):  # each release changes the program here and there
        program[at:at + 8] = b"v%07d" % (version * 1000 + at // 40000)
    library[500:504] = b"L%03d" % version
    open(os.path.join(tree, "app.exe"), "wb").write(program)
    open(os.path.join(tree, "lib", "core.dll"), "wb").write(library)
    open(os.path.join(tree, "readme.txt"), "w").write("Release %d of the sample application.\n" % version)
    if version < 3:
        open(os.path.join(tree, "lib", "old.dll"), "wb").write(rng.randbytes(5000))
    if version >= 2:
        os.makedirs(os.path.join(tree, "data"))
        open(os.path.join(tree, "data", "table %d.dat" % version), "wb").write(bytes(range(256)) * (40 * version))
        for name in names:
            open(os.path.join(tree, name), "w", encoding="utf-8").write("%s, release %d\n" % (name, version))
            open(os.path.join(tree, "data", name), "w", encoding="utf-8").write("in a folder, release %d\n" % version)
PY
cat >"$work/releases/site.txt" <<'MANIFEST'
# the sample application, three releases
site 127.0.0.1
release 1 v1
release 2 v2
release 3 v3
direct 1
mandatory *
mandatory */*
MANIFEST
echo "codepage $codepage" >>"$work/releases/site.txt"
"$tool" publish "$work/releases/site.txt" "$site" >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; exit 125; }
export HALVORIN_RELEASES="$work/releases"
exec "$@"
