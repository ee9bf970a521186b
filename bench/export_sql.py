#!/usr/bin/env python3
"""Times tabula-export's SQL scripts against tabula on the same input.

For each size N (the definition file of bench/generate.py, shared with
run.py) it runs, in turn, A B A B ...,

    tabula --output OUT.php INPUT
    tabula-export --format DIALECT --output OUT.sql INPUT

RUNS times each and prints the medians of wall and processor time and of
peak resident memory, and the median of the pairs' processor-time ratios,
which a shared machine disturbs less than single times. A run that does not
exit with status 0 stops the benchmark with status 1.

    python3 bench/export_sql.py [--sizes 10000,100000] [--runs 5] [--dialect postgresql] TABULA TABULA_EXPORT
"""

import argparse
import os
import statistics
import sys

from run import definition_file, mib, run_once


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tabula")
    parser.add_argument("export")
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dialect", default="postgresql")
    parser.add_argument("--work", help="folder for the generated files (default: bench-data beside tabula)")
    options = parser.parse_args()
    tabula, export = os.path.abspath(options.tabula), os.path.abspath(options.export)
    work = os.path.abspath(options.work or os.path.join(os.path.dirname(tabula), "bench-data"))
    os.makedirs(work, exist_ok=True)
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    print("%8s %9s %22s %22s %12s" % ("N", "script", "tabula wall/cpu/RSS", "export wall/cpu/RSS", "cpu ratio"))
    for n in [int(size) for size in options.sizes.split(",") if size]:
        source = definition_file(work, n)
        php, sql = os.path.join(work, "tables%d.php" % n), os.path.join(work, "tables%d.sql" % n)
        pairs = []
        for _ in range(max(1, options.runs)):
            pairs.append((run_once([tabula, "--output", php, source], work),
                          run_once([export, "--format", options.dialect, "--output", sql, source], work)))
        med = lambda side, i: statistics.median(p[side][i] for p in pairs)
        ratio = statistics.median(p[1][1] / p[0][1] for p in pairs)
        print("%8d %9s %8.0f ms %5.0f ms %6s %8.0f ms %5.0f ms %6s %11.2fx" % (
            n, mib(os.path.getsize(sql)), med(0, 0) * 1000, med(0, 1) * 1000, mib(med(0, 2)),
            med(1, 0) * 1000, med(1, 1) * 1000, mib(med(1, 2)), ratio))
    return 0


if __name__ == "__main__":
    sys.exit(main())
