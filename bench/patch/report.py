#!/usr/bin/env python3
"""Prints the patch benchmark's tables from its results file: per group (ELF, PE) each
pair, then the geometric mean and the worst of the ratios against the yardsticks
measured in the same run.

usage: report.py RESULTS.tsv [BASELINE_KIB]
BASELINE_KIB: the peak of applying a one-byte patch (the process itself); the last
ratio is then our peak less it, over the larger file.
Columns: group/name, new size, patch sizes (ours, bsdiff, xdelta3, zstd), make seconds
(ours, bsdiff, xdelta3), apply seconds (ours, bspatch, xdelta3), our peak KiB while
applying, the larger file's size, zstd's make seconds."""
import math
import sys


def geo(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))


def main():
    rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1]) if line.strip()]
    baseline = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    if baseline:
        print(f"process baseline (a one-byte patch): {baseline / 1024:.1f} MiB peak")
    for group, title in (("elf", "ELF (Debian)"), ("pe", "PE (Windows)")):
        mine = [r for r in rows if r[0].startswith(group + "/")]
        if not mine:
            continue
        print()
        print(f"== {title}")
        print(f"{'file':<56}{'size':>10} | {'patch: ours':>11}{'bsdiff':>9}{'xdelta3':>9}{'zstd':>9} | "
              f"{'make s: ours':>12}{'bsdiff':>8} | {'apply s: ours':>13}{'xdelta3':>8} | {'peak MiB':>8}")
        ratios = []
        for r in mine:
            name, size = r[0].split("/", 1)[1], int(r[1])
            ours, bsd, xd, zst = (int(x) for x in r[2:6])
            mk = [float(x) for x in r[6:9]]
            ap = [float(x) for x in r[9:12]]
            peak, larger = int(r[12]), int(r[13])
            print(f"{name:<56}{size:>10} | {ours:>11}{bsd:>9}{xd:>9}{zst:>9} | {mk[0]:>12.3f}{mk[1]:>8.3f} | "
                  f"{ap[0]:>13.4f}{ap[2]:>8.4f} | {peak / 1024:>8.1f}")
            ratios.append((name, ours / bsd, ours / zst, mk[0] / mk[1], ap[0] / ap[2],
                           max(peak - baseline, 1) * 1024 / larger))
        print()
        print(f"{'file':<56}{'size/bsdiff':>12}{'size/zstd':>10}{'make/bsdiff':>12}{'apply/xdelta3':>14}"
              f"{'(peak-base)/file' if baseline else 'peak/file':>17}")
        for name, *values in ratios:
            print(f"{name:<56}" + "".join(f"{v:>{w}.3f}" for v, w in zip(values, (12, 10, 12, 14, 17))))
        columns = list(zip(*[values for _, *values in ratios]))
        print(f"{'geometric mean':<56}" + "".join(f"{geo(c):>{w}.3f}" for c, w in zip(columns, (12, 10, 12, 14, 17))))
        print(f"{'worst':<56}" + "".join(f"{max(c):>{w}.3f}" for c, w in zip(columns, (12, 10, 12, 14, 17))))


if __name__ == "__main__":
    main()
