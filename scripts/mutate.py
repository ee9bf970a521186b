#!/usr/bin/env python3
"""Mutation sample: how many small faults planted in src/ do the tests catch?

Each mutant changes one thing in one source file: a comparison boundary
(< and <=, > and >=), == and !=, && and ||, + and -, an integer constant by
one, a dropped "!", true and false, or one statement left out. A fixed seed
picks a sample from every such place in the chosen modules, so two runs over
the same sources try the same mutants.

The tree is copied to a scratch folder and built there once (Debug, -O1);
each mutant is written into the copy, only `tabula` and `tabula_tests` are
rebuilt, and the unit tests, then the golden, message and example tests of
ctest, run under a time limit. A mutant is killed when a test fails,
survives when all pass, times out, or fails to build. The worktree and its
own build are never touched.

    python3 scripts/mutate.py                     # 150 mutants, seed 14
    python3 scripts/mutate.py --list              # the sample, without running
    python3 scripts/mutate.py --scratch DIR --only M012,M047   # again, some

Results go to a tab-separated file (one line per mutant, written as it
finishes) and a summary at the end. Stdlib only.
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
MODULES = ("builtin execute compile hash dump_php query_scanner initializer_scanner definition_scanner "
           "path_info utils").split()
CTEST_REGEX = r"^(golden\.|messages$|example\.)"


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
        if statement_deletable(masked, previous):
            indent = len(line) - len(line.lstrip())
            found.append(("statement", number, indent, line[indent:], "{}"))
        if masked.strip():
            previous = masked
    return found


def sample_mutants(modules, count, seed):
    every = []
    for module in modules:
        relative = f"src/{module}.cpp"
        for kind, line, column, old, new in mutants_of(os.path.join(ROOT, relative)):
            every.append({"file": relative, "kind": kind, "line": line, "column": column, "old": old, "new": new})
    chosen = random.Random(seed).sample(every, min(count, len(every)))
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


def run_limited(command, cwd, limit):
    """Runs `command` in a process group of its own, killed whole at `limit`
    seconds. Returns (status, timed out, output)."""
    process = subprocess.Popen(["nice", "-n", "10"] + command, cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
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


def build(build_dir, limit, jobs):
    status, timed_out, output = run_limited(
        ["cmake", "--build", build_dir, f"-j{jobs}", "--target", "tabula", "tabula_tests"], None, limit)
    return status == 0 and not timed_out, output


def run_tests(build_dir, limit, jobs):
    """'passed', 'failed' or 'timeout': the unit tests, then the command-line
    tests, stopping at the first failure."""
    started = time.monotonic()
    unit = os.path.join(build_dir, "tests", "tabula_tests")
    status, timed_out, _ = run_limited([unit, "--gtest_brief=1"], build_dir, limit)
    if timed_out:
        return "timeout"
    if status != 0:
        return "failed"
    left = max(10, limit - (time.monotonic() - started))
    status, timed_out, _ = run_limited(["ctest", "--test-dir", build_dir, f"-j{jobs}", "-R", CTEST_REGEX,
                                        "--stop-on-failure", "--timeout", "60"], build_dir, left)
    if timed_out:
        return "timeout"
    return "passed" if status == 0 else "failed"


def write_file(path, text):
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    now = time.time()
    os.utime(path, (now, now))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=150, help="mutants in the sample (default 150)")
    parser.add_argument("--seed", type=int, default=14, help="seed of the sample (default 14)")
    parser.add_argument("--modules", default=",".join(MODULES), help="comma-separated modules of src/")
    parser.add_argument("--scratch", help="scratch folder to use or reuse (default: a new temporary one)")
    parser.add_argument("--only", help="comma-separated mutant ids to run (e.g. the survivors of a run)")
    parser.add_argument("--results", help="results file (default: SCRATCH/results.tsv)")
    parser.add_argument("--jobs", type=int, default=2, help="build and ctest jobs (default 2)")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    options = parser.parse_args()

    every, sample = sample_mutants(options.modules.split(","), options.count, options.seed)
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
    built, output = build(build_dir, 3600, options.jobs)
    if not built:
        print(output[-3000:])
        print("the unmutated tree does not build")
        return 2
    started = time.monotonic()
    if run_tests(build_dir, 3600, options.jobs) != "passed":
        print("the tests fail on the unmutated tree")
        return 2
    limit = 3 * (time.monotonic() - started) + 30
    print(f"{len(every)} places, {len(sample)} mutants; unmutated tests took "
          f"{time.monotonic() - started:.0f} s, limit per mutant {limit:.0f} s", flush=True)

    counts = {}
    run_started = time.monotonic()
    with open(results_path, "w", encoding="utf-8") as results:
        results.write("id\toutcome\tfile\tline\tkind\told\tnew\n")
        for position, mutant in enumerate(sample):
            path = os.path.join(tree, mutant["file"])
            with open(path, encoding="utf-8") as handle:
                original = handle.read()
            write_file(path, apply_mutant(original, mutant))
            try:
                built, _ = build(build_dir, 600, options.jobs)
                outcome = run_tests(build_dir, limit, options.jobs) if built else "build-failed"
                outcome = {"failed": "killed", "passed": "survived"}.get(outcome, outcome)
            finally:
                # Put back at once; it is rebuilt along with the next mutant.
                write_file(path, original)
            counts[outcome] = counts.get(outcome, 0) + 1
            line = [mutant["id"], outcome, mutant["file"], str(mutant["line"]), mutant["kind"],
                    repr(mutant["old"]), repr(mutant["new"])]
            results.write("\t".join(line) + "\n")
            results.flush()
            print("\t".join(line), flush=True)
    built, _ = build(build_dir, 3600, options.jobs)

    tested = sum(counts.get(k, 0) for k in ("killed", "survived", "timeout"))
    caught = counts.get("killed", 0) + counts.get("timeout", 0)
    print(f"\n{len(sample)} mutants in {time.monotonic() - run_started:.0f} s: " +
          ", ".join(f"{counts.get(k, 0)} {k}" for k in ("killed", "timeout", "survived", "build-failed")))
    if tested:
        print(f"score: {caught}/{tested} = {100 * caught / tested:.1f}% (timeouts count as caught; "
              "build failures left out)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
