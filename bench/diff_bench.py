#!/usr/bin/env python3
"""Times tabula-diff on two versions of the generated schema against tabula
on one version.

    diff_bench.py TABULA TABULA_DIFF [--tables N] [--runs R]

Writes generate.py's schema of N tables (default 10,000) as version 1 and a
version 2 in which one table in ten is changed (its title made nullable, its
quantity indexed), then runs `tabula` on version 1 and `tabula-diff
--dialect postgresql` on the pair R times each (default 5), in turn, and
prints the medians of wall and processor time and their ratio. The target is
a ratio of at most 3."""

import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def changed_version(text):
    def change(match):
        body = match.group(0)
        if int(match.group(1)) % 10 != 0:
            return body
        return body.replace("    label_t title;", "    label_t *title;").replace(
            "    count_t quantity;", "    index count_t quantity;")
    return re.sub(r"table item(\d+) \{.*?\n\}", change, text, flags=re.S)


def timed(command):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tabula")
    parser.add_argument("tabula_diff")
    parser.add_argument("--tables", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    data = Path(args.tabula_diff).resolve().parent / "bench-data"
    data.mkdir(exist_ok=True)
    v1 = data / ("tables%d.def" % args.tables)
    v2 = data / ("tables%d-v2.def" % args.tables)
    subprocess.run([sys.executable, str(HERE / "generate.py"), str(args.tables), str(v1)], check=True)
    v2.write_text(changed_version(v1.read_text()))
    out = "/dev/shm" if os.path.isdir("/dev/shm") else str(data)
    compile_times, diff_times = [], []
    for _ in range(args.runs):
        compile_times.append(timed([args.tabula, "--output", out + "/diff-bench.php", str(v1)]))
        diff_times.append(timed([args.tabula_diff, "--dialect", "postgresql", "--output", out + "/diff-bench.sql",
                                 str(v1), str(v2)]))
    os.unlink(out + "/diff-bench.php")
    script = Path(out + "/diff-bench.sql").read_text()
    os.unlink(out + "/diff-bench.sql")
    medians = {}
    for label, times in (("tabula, one version", compile_times), ("tabula-diff, two versions", diff_times)):
        wall = statistics.median(t[0] for t in times)
        cpu = statistics.median(t[1] for t in times)
        medians[label] = (wall, cpu)
        print("%-28s wall %7.3f s   processor %7.3f s" % (label, wall, cpu))
    ratio_wall = medians["tabula-diff, two versions"][0] / medians["tabula, one version"][0]
    ratio_cpu = medians["tabula-diff, two versions"][1] / medians["tabula, one version"][1]
    print("ratio: wall %.2f, processor %.2f (target: at most 3); script %d lines" %
          (ratio_wall, ratio_cpu, script.count("\n")))
    return 0 if ratio_cpu <= 3 else 1


if __name__ == "__main__":
    sys.exit(main())
