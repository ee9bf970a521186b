#!/usr/bin/env python3
"""Runs the message cases of a file through the built binary.

Each case is a definition program that must fail: exit status 2, no output
file, nothing on standard output, and standard error holding exactly the
expected message followed by the driver's last line. The file format:

    === case name
    definition text (main.def)
    +++ other.file
    text of another file in the run folder (optional, repeatable; written
    "+++ other.file -n", the file loses its final line end)
    ---
    expected message lines, with the run folder written as @DIR@
"""
import os
import subprocess
import sys
import tempfile

LAST_LINE = "Failed to compile the SQL code.\n"


def parse_cases(path):
    cases, current, section, chomped = [], None, None, set()
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            if line.startswith("=== "):
                current = {"name": line[4:].strip(), "files": {"main.def": ""}, "expected": ""}
                section = "main.def"
                cases.append(current)
            elif current is None or line.startswith("#"):
                continue
            elif line.startswith("+++ "):
                section = line[4:].strip()
                if section.endswith(" -n"):
                    section = section[:-3]
                    chomped.add((len(cases), section))
                current["files"][section] = ""
            elif line.rstrip("\n") == "---":
                section = None
            elif section is None:
                current["expected"] += line
            else:
                current["files"][section] += line
    for index, case in enumerate(cases, start=1):
        case["expected"] = case["expected"].rstrip("\n") + "\n"
        for name in case["files"]:
            if (index, name) in chomped:
                case["files"][name] = case["files"][name][:-1]
    return cases


def run_case(binary, case):
    with tempfile.TemporaryDirectory() as folder:
        folder = os.path.realpath(folder)
        for name, text in case["files"].items():
            with open(os.path.join(folder, name), "w", encoding="utf-8") as handle:
                handle.write(text)
        run = subprocess.run([binary, "--output", "out.php", "main.def"], cwd=folder,
                             capture_output=True, text=True, timeout=60)
        problems = []
        stderr = run.stderr.replace(folder, "@DIR@")
        if stderr != case["expected"] + LAST_LINE:
            problems.append("stderr:\n" + stderr + "expected:\n" + case["expected"] + LAST_LINE)
        if run.stdout:
            problems.append("stdout:\n" + run.stdout)
        if run.returncode != 2:
            problems.append(f"exit status {run.returncode}, expected 2")
        if os.path.exists(os.path.join(folder, "out.php")):
            problems.append("out.php was created")
        return problems


def main():
    binary, cases_file = os.path.abspath(sys.argv[1]), sys.argv[2]
    failures = 0
    cases = parse_cases(cases_file)
    for case in cases:
        problems = run_case(binary, case)
        if problems:
            failures += 1
            print(f"FAIL {case['name']}")
            for problem in problems:
                print("  " + problem.replace("\n", "\n  "))
    print(f"{len(cases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
