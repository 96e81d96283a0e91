#!/usr/bin/env python3
"""Checks the shipping packages that scripts/package.sh wrote (out/package/*.zip); exits
77 (skipped) when there is none. Every program and library in a package must be a PE file
of the package's machine, carry no debug sections, import only system libraries (and
Brannock.dll the package's own patchw32.dll), and hold the package's version in its
version resource; the package must hold everything an integrator needs.

    check_package.py SOURCE_DIR OBJDUMP
"""
import glob
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

SYSTEM = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "wininet.dll",
          "comctl32.dll", "shell32.dll", "gdi32.dll", "lz32.dll", "version.dll", "msvcrt.dll", "bcrypt.dll"}
MACHINE = {"win32": "pei-i386", "win64": "pei-x86-64"}
CONTENTS = {"halvorin.exe", "patchw32.dll", "Brannock.dll", "halvorin.tlb", "Config.Ins", "INTEGRATOR.md",
            "include/halvorin.h", "include/halvorin_i.c", "include/halvorin.idl", "tools/halvorin-site.exe",
            "tools/makepatch.exe", "samples/client.cpp", "samples/client.vbs", "samples/client.js"}


def version_of(data):
    """The file version of the version resource, as "a.b.c.d"."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack("<II", data[at + 8:at + 16])
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def main():
    source, objdump = sys.argv[1], sys.argv[2]
    version = open(os.path.join(source, "VERSION")).read().split()[0]
    packages = sorted(glob.glob(os.path.join(source, "out", "package", "halvorin-*.zip")))
    if not packages:
        print("no package in out/package (scripts/package.sh makes them): skipped")
        return 77
    problems = []
    for path in packages:
        name = os.path.basename(path)
        match = re.fullmatch(r"halvorin-(.+)-(win32|win64)\.zip", name)
        if not match or match.group(1) != version:
            problems.append("%s: not named halvorin-%s-win32/win64.zip" % (name, version))
            continue
        root = "halvorin-%s-%s/" % (version, match.group(2))
        with zipfile.ZipFile(path) as archive, tempfile.TemporaryDirectory() as work:
            names = {n[len(root):] for n in archive.namelist() if n.startswith(root)}
            for missing in sorted(CONTENTS - names):
                problems.append("%s: %s is missing" % (name, missing))
            archive.extractall(work)
            for member in sorted(n for n in names if n.endswith((".exe", ".dll"))):
                binary = os.path.join(work, root, member)
                headers = subprocess.run([objdump, "-h", "-p", binary], capture_output=True, text=True).stdout
                where = "%s: %s" % (name, member)
                if "file format %s" % MACHINE[match.group(2)] not in headers:
                    problems.append("%s is not %s" % (where, MACHINE[match.group(2)]))
                if re.search(r"^\s*\d+\s+\.debug", headers, re.M):
                    problems.append("%s carries debug sections" % where)
                allowed = SYSTEM | ({"patchw32.dll"} if member == "Brannock.dll" else set())
                for dll in re.findall(r"DLL Name: (\S+)", headers):
                    if dll.lower() not in allowed:
                        problems.append("%s imports %s" % (where, dll))
                found = version_of(open(binary, "rb").read())
                if found != version:
                    problems.append("%s has version %s, the package %s" % (where, found, version))
        print("%s checked" % name)
    for problem in problems:
        print("PROBLEM " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
