#!/usr/bin/env python3
"""Times tabula-lsp the way an editor uses it: the benchmark project of N
tables (bench/generate.py) is opened, then edited again and again with small
incremental changes, and each edit is timed until its diagnostics arrive.
Every other edit breaks a type name and the next one repairs it, so the
diagnostics alternate between an error and none. The server's resident
memory is read after 100 edits (the last, when there are fewer) and at the
end. The lint rules run unless `--lint off` turns them off through the
server's settings; an edit is done when the errors match it, whatever the
warnings. The server checks the rules once the client is quiet, so with
them on the last column gives how long after the last edit's errors their
warnings arrive.

    python3 bench/lsp_bench.py BUILD/lsp/tabula-lsp [--sizes 1000,10000] [--edits 200] [--lint on|off]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lsp"))
import lsp_client  # noqa: E402


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_ms(pid):
    """Processor time of the process so far, user and system, in ms."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")


def errors(diagnostics):
    return [d for d in diagnostics if d.get("severity") == 1]


def bench(server, tables, edits, folder, lint=True):
    path = os.path.join(folder, "bench%d.def" % tables)
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "generate.py"), str(tables), path],
                   check=True)
    client = lsp_client.Client(server, root=folder, options={"lint": {"enabled": lint}})
    text = client.open(path)
    client.wait_diagnostics(path, timeout=120)
    # The type of one field near the middle of the file.
    line, character = lsp_client.position_of(text, "id_t", text.count("id_t") // 2)
    times = []
    memory_early = 0
    cpu_start = cpu_ms(client.process.pid)
    for edit in range(edits):
        broken = edit % 2 == 0
        change = {"range": {"start": {"line": line, "character": character},
                            "end": {"line": line, "character": character + 4}},
                  "text": "xd_t" if broken else "id_t"}
        start = time.perf_counter()
        client.notify("textDocument/didChange", {"textDocument": {"uri": lsp_client.uri(path), "version": edit + 2},
                                                 "contentChanges": [change]})
        client.wait_diagnostics(path, timeout=120, predicate=lambda d, broken=broken: bool(errors(d)) == broken)
        times.append((time.perf_counter() - start) * 1000)
        if edit == min(99, edits - 1):
            memory_early = resident_kib(client.process.pid)
    memory_late = resident_kib(client.process.pid)
    cpu = (cpu_ms(client.process.pid) - cpu_start) / edits
    # The rules run once the client is quiet: their warnings follow the
    # last edit's errors after that pause.
    warnings_ms = None
    if lint and edits % 2 == 0:
        start = time.perf_counter()
        client.wait_diagnostics(path, timeout=120, predicate=lambda d: any(x.get("severity") == 2 for x in d))
        warnings_ms = (time.perf_counter() - start) * 1000
    client.close()
    times.sort()
    return {"tables": tables, "edits": edits, "median": statistics.median(times),
            "p90": times[int(len(times) * 0.9) - 1], "max": times[-1], "cpu": cpu,
            "rss_early": memory_early, "rss_late": memory_late, "warnings": warnings_ms, "load": os.getloadavg()[0]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("--sizes", default="1000,10000")
    parser.add_argument("--edits", type=int, default=200)
    parser.add_argument("--lint", choices=("on", "off"), default="on")
    args = parser.parse_args()
    server = os.path.abspath(args.server)
    print("| tables | lint | edits | median ms | p90 ms | max ms | server CPU ms per edit | RSS early | RSS at the end | "
          "warnings after the last edit ms | load |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        for size in args.sizes.split(","):
            r = bench(server, int(size), args.edits, folder, args.lint == "on")
            warnings = "-" if r["warnings"] is None else "%.1f" % r["warnings"]
            print("| {:,} | %s | %d | %.1f | %.1f | %.1f | %.1f | %.1f MiB | %.1f MiB | %s | %.1f |".format(r["tables"]) % (
                args.lint, r["edits"], r["median"], r["p90"], r["max"], r["cpu"], r["rss_early"] / 1024,
                r["rss_late"] / 1024, warnings, r["load"]), flush=True)


if __name__ == "__main__":
    main()
