#!/usr/bin/env python3
"""Times the requests of tabula-lsp that read what the server keeps, on the
benchmark project of N tables (bench/generate.py) in a folder of its own:

- start-up: from starting the server to the answer to "initialize" (which
  learns the workspace's include edges), and its resident memory then;
- the first diagnostics after opening the file (one compile and run);
- hover and definition on a table name used in a link near the middle of
  the file, repeated (`--repeat`, default 50): the median and the 90th
  percentile of each, and the server's processor time per request;
- document symbols of the whole file (5 times): median time, the size of the
  response, and the server's resident memory after them.

Times run from sending a request to the last byte of its response, so the
client's own parsing of a large response is left out; the server's processor
time is the figure a loaded machine changes least.

    python3 bench/lsp_requests.py BUILD/lsp/tabula-lsp [--sizes 1000,10000,100000] [--repeat 50]
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
from lsp_bench import cpu_ms, resident_kib  # noqa: E402


def timed(client, method, params, repeat):
    times = []
    cpu_start = cpu_ms(client.process.pid)
    response = None
    for _ in range(repeat):
        start = time.perf_counter()
        response = client.request(method, params, timeout=300)
        times.append((client.received - start) * 1000)
        assert "error" not in response, response
    cpu = (cpu_ms(client.process.pid) - cpu_start) / repeat
    times.sort()
    return statistics.median(times), times[max(0, int(len(times) * 0.9) - 1)], cpu, response


def bench(server, tables, repeat, folder):
    workspace = os.path.join(folder, "t%d" % tables)
    os.mkdir(workspace)
    path = os.path.join(workspace, "bench%d.def" % tables)
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "generate.py"), str(tables), path],
                   check=True)
    start = time.perf_counter()
    client = lsp_client.Client(server, root=workspace)
    startup = (time.perf_counter() - start) * 1000
    cpu_startup = cpu_ms(client.process.pid)
    rss_startup = resident_kib(client.process.pid)
    start = time.perf_counter()
    text = client.open(path)
    client.wait_diagnostics(path, timeout=600)
    first = (client.received - start) * 1000
    cpu_first = cpu_ms(client.process.pid) - cpu_startup
    rss_diagnostics = resident_kib(client.process.pid)
    needle = "[outgoing: item%d]" % (tables // 2 - 3)
    line, character = lsp_client.position_of(text, needle, 1, len("[outgoing: "))
    at = {"textDocument": {"uri": lsp_client.uri(path)}, "position": {"line": line, "character": character}}
    hover = timed(client, "textDocument/hover", at, repeat)
    assert "initial rows" in hover[3]["result"]["contents"]["value"], hover[3]
    definition = timed(client, "textDocument/definition", at, repeat)
    assert definition[3]["result"], definition[3]
    symbols = timed(client, "textDocument/documentSymbol", {"textDocument": {"uri": lsp_client.uri(path)}}, 5)
    size = len(lsp_client.json.dumps(symbols[3]["result"], separators=(",", ":")))
    rss_after = resident_kib(client.process.pid)
    client.close()
    return {"tables": tables, "startup": startup, "cpu_startup": cpu_startup, "rss_startup": rss_startup,
            "first": first, "cpu_first": cpu_first, "rss_diagnostics": rss_diagnostics, "hover": hover,
            "definition": definition, "symbols": symbols, "size": size, "rss_after": rss_after,
            "load": os.getloadavg()[0]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--repeat", type=int, default=50)
    args = parser.parse_args()
    server = os.path.abspath(args.server)
    print("| tables | start-up ms (wall/cpu) | RSS then | first diagnostics ms (wall/cpu) | RSS then | "
          "hover ms (median/p90/cpu) | definition ms (median/p90/cpu) | symbols ms (median/cpu) | symbols bytes | "
          "RSS after | load |")
    print("|---:|---|---:|---|---:|---|---|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        for size in args.sizes.split(","):
            r = bench(server, int(size), args.repeat, folder)
            print(("| {:,} | %.0f / %.0f | %.1f MiB | %.0f / %.0f | %.1f MiB | %.2f / %.2f / %.2f | %.2f / %.2f / %.2f | "
                   "%.0f / %.0f | {:,} | %.1f MiB | %.1f |").format(r["tables"], r["size"]) % (
                r["startup"], r["cpu_startup"], r["rss_startup"] / 1024, r["first"], r["cpu_first"],
                r["rss_diagnostics"] / 1024,
                r["hover"][0], r["hover"][1], r["hover"][2], r["definition"][0], r["definition"][1],
                r["definition"][2], r["symbols"][0], r["symbols"][2], r["rss_after"] / 1024, r["load"]), flush=True)


if __name__ == "__main__":
    main()
