#!/usr/bin/env python3
"""Runs a command several times and prints the median wall time in seconds and the
peak resident memory of its runs in KiB.

usage: timing.py RUNS [--fresh PATH] COMMAND [ARG ...]
--fresh PATH removes PATH before every run (not timed), so every tool writes its
output as a new file instead of replacing the one of the run before.
The command's output is discarded; a non-zero exit stops with that code."""
import os
import tempfile
import statistics
import subprocess
import sys
import time


def main():
    runs = int(sys.argv[1])
    args = sys.argv[2:]
    fresh = None
    if args[:1] == ["--fresh"]:
        fresh, args = args[1], args[2:]
    times = []
    peak = 0
    with tempfile.NamedTemporaryFile("r") as report:
        for _ in range(runs):
            if fresh and os.path.exists(fresh):
                os.remove(fresh)
            # GNU time reports the command's own peak: a fork of this Python process would
            # count Python's memory too.
            start = time.perf_counter()
            result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + args,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times.append(time.perf_counter() - start)
            if result.returncode != 0:
                print(f"timing: {args[0]} exited with {result.returncode}", file=sys.stderr)
                sys.exit(result.returncode)
            report.seek(0)
            peak = max(peak, int(report.read().split()[-1]))
    print(f"{statistics.median(times):.4f} {peak}")


if __name__ == "__main__":
    main()
