#!/usr/bin/env python3
"""Finds include circles among the modules of src/.

A module is a source file and its header of the same name (the grammars
count as the modules they generate). Module A depends on module B when a
file of A includes B's header. A circle is a set of modules that reach one
another through such includes; the check fails on any circle, naming its
modules, so that the modules stay in layers that can be read, tested and
reused from the bottom up.

Usage: include_circles.py SRC_DIR
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)\.hpp"', re.M)


def module_graph(src):
    files = [p for p in src.iterdir() if p.suffix in (".cpp", ".hpp", ".y")]
    modules = {p.stem for p in files}
    graph = {m: set() for m in modules}
    for path in files:
        for target in INCLUDE.findall(path.read_text(errors="replace")):
            if target in modules and target != path.stem:
                graph[path.stem].add(target)
    return graph


def circles(graph):
    """The strongly connected components of more than one module (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph[node]):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = set()
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.add(member)
                if member == node:
                    break
            if len(component) > 1:
                found.append(component)

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1])
        return 2
    graph = module_graph(Path(sys.argv[1]))
    found = circles(graph)
    for component in found:
        print(f"include circle: {', '.join(sorted(component))}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
