#!/usr/bin/env python3
"""Times tabula-lint against tabula on the same generated schema.

For each size N it writes the definition file of bench/generate.py (kept in
the work folder as run.py keeps it), then runs the two in turn, tabula
(writing its PHP to /dev/shm) and tabula-lint (writing its findings there),
RUNS pairs, and prints the medians of wall and processor time (user and
system) of each, the median of the pairs' ratios lint / tabula, and whether
the ratio of processor times is within the target of 1.5. A run that exits
with another status than its program's success (0 for tabula, 0 or 3 for
tabula-lint) stops the benchmark with status 1.

    python3 bench/lint_bench.py [--sizes 10000] [--runs 10] [--work DIR] TABULA TABULA_LINT
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import definition_file  # noqa: E402

TARGET_RATIO = 1.5


def run_once(argv, accepted):
    """Wall and processor seconds of one run; exits on failure."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if code not in accepted:
        sys.stderr.write("%s exited with status %d\n%s" % (" ".join(argv), code, errors))
        sys.exit(1)
    return wall, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tabula")
    parser.add_argument("lint")
    parser.add_argument("--sizes", default="10000")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    work = args.work or os.path.join(os.path.dirname(os.path.abspath(args.tabula)), "bench-data")
    os.makedirs(work, exist_ok=True)
    scratch = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    met = True
    for n in (int(size) for size in args.sizes.split(",")):
        source = definition_file(work, n)
        output = os.path.join(scratch, "out")
        tabula, lint = [], []
        for _ in range(args.runs):
            tabula.append(run_once([args.tabula, "--output", output + ".php", source], (0,)))
            lint.append(run_once([args.lint, "--output", output + ".txt", source], (0, 3)))
        with open(output + ".txt", "rb") as findings:
            count = sum(1 for _ in findings)
        print("N = %d: %d findings" % (n, count))
        for label, index in (("wall", 0), ("processor", 1)):
            ratios = [b[index] / a[index] for a, b in zip(tabula, lint)]
            print("  %-9s tabula %7.1f ms  tabula-lint %7.1f ms  ratio %.2f (%.2f to %.2f)" % (
                label, 1000 * statistics.median(r[index] for r in tabula),
                1000 * statistics.median(r[index] for r in lint), statistics.median(ratios), min(ratios),
                max(ratios)))
            if index == 1:
                within = statistics.median(ratios) <= TARGET_RATIO
                met = met and within
                print("  target: processor time within %.1f x tabula's: %s" % (TARGET_RATIO, "met" if within else "NOT met"))
        os.remove(output + ".php")
        os.remove(output + ".txt")
    os.rmdir(scratch)
    return 0 if met else 2


if __name__ == "__main__":
    sys.exit(main())
