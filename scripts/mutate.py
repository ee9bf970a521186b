#!/usr/bin/env python3
"""Mutation sample: how many small faults planted in src/, export/ and lsp/
do the tests catch?

Each mutant changes one thing in one source file: a comparison boundary
(< and <=, > and >=), == and !=, && and ||, + and -, an integer constant
(decimal or hexadecimal) by one, a character literal by one ('k' and 'l'),
a dropped "!", true and false, or one statement left out. Lines holding
string or character literals are drawn like any other; only the text inside
string literals, comments and preprocessor lines is never changed. A fixed
seed picks a sample from every such place in each folder's modules, so two
runs over the same sources try the same mutants.

The tree is copied to a scratch folder and built there once (Debug, -O1);
each mutant is written into the copy, only the targets its folder's tests
run are rebuilt, and those tests run under a time limit, stopping at the
first failure:
  src/     tabula_tests, then ctest's golden, message and example tests
  export/  ctest -L export, less the two Mermaid renderings (a browser each)
  lsp/     ctest -L lsp
A mutant is killed when a test fails, survives when all pass, times out, or
fails to build. The worktree and its own build are never touched.

    python3 scripts/mutate.py                     # 50 mutants a folder, seed 14
    python3 scripts/mutate.py --folders export --count 20
    python3 scripts/mutate.py --list              # the sample, without running
    python3 scripts/mutate.py --scratch DIR --only M012,M047   # again, some

Results go to a tab-separated file (one line per mutant, written as it
finishes) and a summary at the end, with a score for each folder. Stdlib only.
"""
import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The modules of src/ whose behaviour the golden, message and unit tests
# cover; export/ and lsp/ take every source file of the folder.
SRC_MODULES = ("builtin execute compile hash dump_php query_scanner initializer_scanner definition_scanner "
               "path_info utils").split()
# Per folder: the build targets of its tests, a GoogleTest program run first
# (or None), and the arguments that choose its ctest tests. "all" builds every
# test program of the folder, including any added later.
SUITES = {
    "src": {"targets": ["tabula", "tabula_tests"], "unit": "tests/tabula_tests",
            "ctest": ["-R", r"^(golden\.|messages$|example\.)"]},
    "export": {"targets": ["all"], "unit": None,
               "ctest": ["-L", "^export$", "-E", r"^export\.(mermaid|readme_diagram)$"]},
    "lsp": {"targets": ["all"], "unit": None, "ctest": ["-L", "^lsp$"]},
}


# --- finding the places to mutate -------------------------------------------------

def code_mask(text):
    """The text with comments, string and character literals and preprocessor
    lines blanked out (same length), so that only code is mutated."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
            continue
        if c == "\n":
            line_start = True
            i += 1
            continue
        if not c.isspace():
            line_start = False
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                out[i] = " "
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            for j in range(i, end):
                if text[j] != "\n":
                    out[j] = " "
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            for k in range(i + 1, min(j, n)):
                out[k] = "_"
            i = j + 1
        else:
            i += 1
    return "".join(out)


SWAPS = [
    ("boundary", r"(?<= )<(?= )", "<="), ("boundary", r"(?<= )<=(?= )", "<"),
    ("boundary", r"(?<= )>(?= )", ">="), ("boundary", r"(?<= )>=(?= )", ">"),
    ("equality", r"(?<= )==(?= )", "!="), ("equality", r"(?<= )!=(?= )", "=="),
    ("logic", r"(?<= )&&(?= )", "||"), ("logic", r"(?<= )\|\|(?= )", "&&"),
    ("arith", r"(?<= )\+(?= )", "-"), ("arith", r"(?<= )-(?= )", "+"),
    ("not", r"!(?=[A-Za-z_(])", ""),
    ("bool", r"\btrue\b", "false"), ("bool", r"\bfalse\b", "true"),
]
CONSTANT = re.compile(r"(?<![\w.])(\d+)([uUlL]*)(?![\w.])")
HEX_CONSTANT = re.compile(r"(?<![\w.])0[xX]([0-9A-Fa-f]+)([uUlL]*)(?![\w.])")
# A character literal in the masked line: its quotes kept, its character blanked.
CHARACTER = re.compile(r"'_'")
STATEMENT = re.compile(
    r"^(\s+)(?:(?:[A-Za-z_][\w:.\->\[\]*&]*\s*(?:\(.*\)|(?:[-+*/|&]?=)\s*.+|\+\+|--))|\+\+\w+|--\w+"
    r"|return(?: [^;]*)?|break|continue|if \(.*\) [^{]*)\s*;\s*$")


def statement_deletable(masked_line, previous):
    if not STATEMENT.match(masked_line):
        return False
    if masked_line.count("(") != masked_line.count(")"):
        return False
    return previous.rstrip().endswith((";", "{", "}", ":", ")", "else"))


def mutants_of(path):
    """Every mutant of one file: (kind, line, column, old text, new text)."""
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    lines = text.split("\n")
    masked_lines = code_mask(text).split("\n")
    found = []
    previous = ""
    for number, (line, masked) in enumerate(zip(lines, masked_lines), start=1):
        for kind, pattern, replacement in SWAPS:
            for match in re.finditer(pattern, masked):
                found.append((kind, number, match.start(), match.group(0), replacement))
        for match in CONSTANT.finditer(masked):
            value, suffix = int(match.group(1)), match.group(2)
            for new in (value + 1, value - 1):
                if new >= 0:
                    found.append(("constant", number, match.start(), match.group(0), f"{new}{suffix}"))
        for match in HEX_CONSTANT.finditer(masked):
            digits, suffix = match.group(1), match.group(2)
            value = int(digits, 16)
            upper = digits != digits.lower()
            for new in (value + 1, value - 1):
                if new >= 0:
                    text = f"{new:0{len(digits)}X}" if upper else f"{new:0{len(digits)}x}"
                    found.append(("constant", number, match.start(), match.group(0),
                                  f"{match.group(0)[:2]}{text}{suffix}"))
        for match in CHARACTER.finditer(masked):
            old = line[match.start():match.end()]
            for new in (chr(ord(old[1]) + 1), chr(ord(old[1]) - 1)):
                if " " <= new <= "~" and new not in "'\\":
                    found.append(("character", number, match.start(), old, f"'{new}'"))
        if statement_deletable(masked, previous):
            indent = len(line) - len(line.lstrip())
            found.append(("statement", number, indent, line[indent:], "{}"))
        if masked.strip():
            previous = masked
    return found


def folder_of(mutant):
    return mutant["file"].split("/")[0]


def module_files(folders, modules):
    """The source files to mutate: the named modules ("compile" is
    src/compile), or else those of the folders."""
    if modules:
        return [f"{m}.cpp" if "/" in m else f"src/{m}.cpp" for m in modules]
    files = []
    for folder in folders:
        if folder == "src":
            files += [f"src/{module}.cpp" for module in SRC_MODULES]
        else:
            files += sorted(f"{folder}/{name}" for name in os.listdir(os.path.join(ROOT, folder))
                            if name.endswith(".cpp"))
    return files


def sample_mutants(files, count, seed):
    """Every place, and `count` mutants drawn from each folder's places."""
    every = []
    for relative in files:
        for kind, line, column, old, new in mutants_of(os.path.join(ROOT, relative)):
            every.append({"file": relative, "kind": kind, "line": line, "column": column, "old": old, "new": new})
    chosen = []
    for folder in sorted({folder_of(m) for m in every}):
        places = [m for m in every if folder_of(m) == folder]
        chosen += random.Random(seed).sample(places, min(count, len(places)))
    chosen.sort(key=lambda m: (m["file"], m["line"], m["column"], m["new"]))
    for index, mutant in enumerate(chosen, start=1):
        mutant["id"] = f"M{index:03d}"
    return every, chosen


def apply_mutant(text, mutant):
    lines = text.split("\n")
    line = lines[mutant["line"] - 1]
    column, old = mutant["column"], mutant["old"]
    assert line[column:column + len(old)] == old, (mutant, line)
    lines[mutant["line"] - 1] = line[:column] + mutant["new"] + line[column + len(old):]
    return "\n".join(lines)


# --- the scratch copy ----------------------------------------------------------------

def tree_files():
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT, check=True,
                            capture_output=True).stdout.decode().split("\0")
    return sorted(name for name in listed if name and os.path.isfile(os.path.join(ROOT, name)))


def sync_tree(scratch):
    """Makes scratch/tree a copy of the worktree's files, touching only what
    differs so that the scratch build stays incremental."""
    tree = os.path.join(scratch, "tree")
    wanted = set(tree_files())
    for name in wanted:
        source, copy = os.path.join(ROOT, name), os.path.join(tree, name)
        with open(source, "rb") as handle:
            data = handle.read()
        if os.path.isfile(copy):
            with open(copy, "rb") as handle:
                if handle.read() == data:
                    continue
        os.makedirs(os.path.dirname(copy), exist_ok=True)
        with open(copy, "wb") as handle:
            handle.write(data)
        shutil.copymode(source, copy)
    for folder, _, names in os.walk(tree):
        for name in names:
            relative = os.path.relpath(os.path.join(folder, name), tree)
            if relative not in wanted:
                os.remove(os.path.join(tree, relative))
    return tree


def default_signals():
    """A sampler started in the background has SIGINT and SIGQUIT ignored, and
    its children would inherit that; the tests that interrupt a run need
    them as a terminal delivers them."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)


def run_limited(command, cwd, limit):
    """Runs `command` in a process group of its own, killed whole at `limit`
    seconds. Returns (status, timed out, output)."""
    process = subprocess.Popen(["nice", "-n", "10"] + command, cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=default_signals)
    try:
        output, _ = process.communicate(timeout=limit)
        return process.returncode, False, output.decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return -1, True, output.decode(errors="replace")


def configure(tree, build):
    if os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        return
    subprocess.run(["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O1"],
                   check=True, stdout=subprocess.DEVNULL)


def build(build_dir, targets, limit, jobs):
    status, timed_out, output = run_limited(
        ["cmake", "--build", build_dir, f"-j{jobs}", "--target"] + targets, None, limit)
    return status == 0 and not timed_out, output


def run_tests(build_dir, suite, limit, jobs):
    """'passed', 'failed' or 'timeout': the folder's unit tests, then its
    ctest tests, stopping at the first failure."""
    started = time.monotonic()
    if suite["unit"]:
        unit = os.path.join(build_dir, suite["unit"])
        status, timed_out, output = run_limited([unit, "--gtest_brief=1"], build_dir, limit)
        if timed_out:
            return "timeout", output
        if status != 0:
            return "failed", output
    left = max(10, limit - (time.monotonic() - started))
    status, timed_out, output = run_limited(["ctest", "--test-dir", build_dir, f"-j{jobs}", "--output-on-failure"] +
                                            suite["ctest"] + ["--stop-on-failure", "--timeout", "120"], build_dir, left)
    if timed_out:
        return "timeout", output
    return ("passed" if status == 0 else "failed"), output


def write_file(path, text):
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    now = time.time()
    os.utime(path, (now, now))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=50, help="mutants drawn in each folder (default 50)")
    parser.add_argument("--seed", type=int, default=14, help="seed of the sample (default 14)")
    parser.add_argument("--folders", default="src,export,lsp", help="comma-separated folders (default all three)")
    parser.add_argument("--modules", help="comma-separated modules instead: compile (of src/), export/export_json")
    parser.add_argument("--scratch", help="scratch folder to use or reuse (default: a new temporary one)")
    parser.add_argument("--only", help="comma-separated mutant ids to run (e.g. the survivors of a run)")
    parser.add_argument("--results", help="results file (default: SCRATCH/results.tsv)")
    parser.add_argument("--jobs", type=int, default=2, help="build and ctest jobs (default 2)")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--tree", help="the checkout to mutate (default: the one holding this script)")
    options = parser.parse_args()
    if options.tree:
        global ROOT
        ROOT = os.path.abspath(options.tree)

    files = module_files(options.folders.split(","), options.modules.split(",") if options.modules else None)
    every, sample = sample_mutants(files, options.count, options.seed)
    if options.only:
        wanted = set(options.only.split(","))
        sample = [m for m in sample if m["id"] in wanted]
    if options.list:
        print(f"{len(every)} places, {len(sample)} in the sample")
        for m in sample:
            print(f"{m['id']}\t{m['file']}:{m['line']}:{m['column'] + 1}\t{m['kind']}\t{m['old']!r} -> {m['new']!r}")
        return 0

    scratch = options.scratch or tempfile.mkdtemp(prefix="tabula-mutants.")
    os.makedirs(scratch, exist_ok=True)
    results_path = options.results or os.path.join(scratch, "results.tsv")
    print(f"scratch folder {scratch}; results in {results_path}", flush=True)
    tree = sync_tree(scratch)
    build_dir = os.path.join(scratch, "build")
    configure(tree, build_dir)
    folders = sorted({folder_of(m) for m in sample})
    every_target = sorted({t for f in folders for t in SUITES[f]["targets"]})
    built, output = build(build_dir, ["all"] if "all" in every_target else every_target, 3600, options.jobs)
    if not built:
        print(output[-3000:])
        print("the unmutated tree does not build")
        return 2
    limits = {}
    for folder in folders:
        started = time.monotonic()
        outcome, output = run_tests(build_dir, SUITES[folder], 3600, options.jobs)
        if outcome != "passed":
            print(output[-3000:])
            print(f"the tests of {folder}/ fail on the unmutated tree")
            return 2
        took = time.monotonic() - started
        limits[folder] = 3 * took + 30
        print(f"{folder}/: unmutated tests took {took:.0f} s, limit per mutant {limits[folder]:.0f} s", flush=True)
    print(f"{len(every)} places, {len(sample)} mutants", flush=True)

    counts = {}
    run_started = time.monotonic()
    with open(results_path, "w", encoding="utf-8") as results:
        results.write("id\toutcome\tfile\tline\tkind\told\tnew\n")
        for mutant in sample:
            folder = folder_of(mutant)
            path = os.path.join(tree, mutant["file"])
            with open(path, encoding="utf-8") as handle:
                original = handle.read()
            write_file(path, apply_mutant(original, mutant))
            try:
                built, _ = build(build_dir, SUITES[folder]["targets"], 600, options.jobs)
                outcome = run_tests(build_dir, SUITES[folder], limits[folder], options.jobs)[0] if built else "build-failed"
                outcome = {"failed": "killed", "passed": "survived"}.get(outcome, outcome)
            finally:
                # Put back at once; it is rebuilt along with the next mutant.
                write_file(path, original)
            counts.setdefault(folder, {})
            counts[folder][outcome] = counts[folder].get(outcome, 0) + 1
            line = [mutant["id"], outcome, mutant["file"], str(mutant["line"]), mutant["kind"],
                    repr(mutant["old"]), repr(mutant["new"])]
            results.write("\t".join(line) + "\n")
            results.flush()
            print("\t".join(line), flush=True)
    build(build_dir, ["all"], 3600, options.jobs)

    print(f"\n{len(sample)} mutants in {time.monotonic() - run_started:.0f} s")
    totals = {}
    for folder in sorted(counts):
        for kind, number in counts[folder].items():
            totals[kind] = totals.get(kind, 0) + number
    for name, folder_counts in [(f"{f}/", counts[f]) for f in sorted(counts)] + [("all", totals)]:
        tested = sum(folder_counts.get(k, 0) for k in ("killed", "survived", "timeout"))
        caught = folder_counts.get("killed", 0) + folder_counts.get("timeout", 0)
        score = f"score {caught}/{tested} = {100 * caught / tested:.1f}%" if tested else "no score"
        print(f"{name}: " + ", ".join(f"{folder_counts.get(k, 0)} {k}"
                                      for k in ("killed", "timeout", "survived", "build-failed")) + f"; {score}")
    print("(timeouts count as caught; build failures left out)")
    return 0

if __name__ == "__main__":
    sys.exit(main())
