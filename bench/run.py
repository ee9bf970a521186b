#!/usr/bin/env python3
"""Times the built tabula binary as a whole process on generated inputs.

For each size N it writes the definition file of bench/generate.py (kept in
the work folder and reused while the generator is unchanged), runs

    tabula --output OUT.php INPUT

RUNS times and prints the median wall time, the median processor time (user
and system, which a busy machine inflates less than the wall time) and the
median peak resident set size of those runs, with the median time of
`wc -l INPUT` beside it as the floor of merely reading the input. A run that does not exit with status 0
stops the benchmark with status 1.

    python3 bench/run.py [--sizes 1000,10000,100000] [--runs 5] [--work DIR] BINARY
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "generate.py")

# Targets for one run of a Release build; printed for information only.
TARGETS = {10000: (0.150, 150 * 1024 * 1024), 100000: (3.0, 1536 * 1024 * 1024)}


def definition_file(work, n):
    path = os.path.join(work, "tables%d.def" % n)
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(GENERATOR):
        subprocess.run([sys.executable, GENERATOR, str(n), path], check=True)
    return path


def run_once(argv, cwd):
    """Wall seconds, processor seconds and peak resident bytes of one run;
    exits on failure."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        process = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=null, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        errors = process.stderr.read().decode(errors="replace")
        process.stderr.close()
    if process.returncode != 0:
        sys.stderr.write("%s exited with status %d\n%s" % (" ".join(argv), process.returncode, errors))
        sys.exit(1)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024  # ru_maxrss is in KiB on Linux


def median_run(argv, cwd, runs):
    results = [run_once(argv, cwd) for _ in range(runs)]
    return tuple(statistics.median(r[i] for r in results) for i in range(3))


def mib(size):
    return "%.1f MiB" % (size / (1024 * 1024))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary", help="the tabula binary to time")
    parser.add_argument("--sizes", default="1000,10000,100000", help="comma-separated table counts")
    parser.add_argument("--runs", type=int, default=5, help="runs per size; the median is reported")
    parser.add_argument("--work", help="folder for the generated files (default: bench-data beside the binary)")
    options = parser.parse_args()

    binary = os.path.abspath(options.binary)
    work = os.path.abspath(options.work or os.path.join(os.path.dirname(binary), "bench-data"))
    os.makedirs(work, exist_ok=True)
    sizes = [int(size) for size in options.sizes.split(",") if size]
    runs = max(1, options.runs)

    try:
        load = "%.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        load = "unknown"
    print("binary %s, %d run(s) per size, median reported; load average before: %s" % (binary, runs, load))
    print("%8s %10s %12s %12s %12s %10s %10s  %s" % (
        "N", "input", "output", "wall", "cpu", "peak RSS", "wc -l", "target"))
    for n in sizes:
        source = definition_file(work, n)
        output = os.path.join(work, "tables%d.php" % n)
        wall, cpu, peak = median_run([binary, "--output", output, source], work, runs)
        floor, _, _ = median_run(["wc", "-l", source], work, runs)
        target = ""
        if n in TARGETS:
            max_wall, max_peak = TARGETS[n]
            met = wall <= max_wall and peak <= max_peak
            target = "%s (%g s, %s)" % ("met" if met else "MISSED", max_wall, mib(max_peak))
        print("%8d %10s %12s %10.1f ms %10.1f ms %10s %7.1f ms  %s" % (
            n, mib(os.path.getsize(source)), mib(os.path.getsize(output)), wall * 1000, cpu * 1000, mib(peak),
            floor * 1000, target))
    return 0


if __name__ == "__main__":
    sys.exit(main())
