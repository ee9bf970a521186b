#!/usr/bin/env bash
# Runs tabula-lint on a case folder (main.def and the files it reads) and
# checks what it writes:
#   check.sh text TOOL CASE_DIR   the lines are expected.txt (file names
#                                  relative to the folder), status 3 when it
#                                  lists something and 0 when it is empty
#   check.sh sarif TOOL CASE_DIR  the SARIF log passes the SARIF multitool's
#                                  validation (lint/test/node_modules; exit
#                                  77 when it is not installed) and holds one
#                                  result per line of expected.txt, with its
#                                  rule, file and line
set -uo pipefail
mode=$1 tool=$2 case_dir=$(cd "$3" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
expected_status=0
[[ -s "$case_dir/expected.txt" ]] && expected_status=3

fail() {
    echo "FAIL: $*"
    exit 1
}

run() {
    (cd "$scratch" && "$tool" "$@" "$case_dir/main.def") >"$scratch/out" 2>"$scratch/err"
    local status=$?
    [[ $status -eq $expected_status ]] || fail "status $status, expected $expected_status: $(cat "$scratch/err")"
    [[ ! -s "$scratch/err" ]] || fail "unexpected standard error: $(cat "$scratch/err")"
}

case $mode in
text)
    run
    sed "s|^$case_dir/||" "$scratch/out" >"$scratch/lines"
    diff -u "$case_dir/expected.txt" "$scratch/lines" || fail "the findings differ from expected.txt"
    ;;
sarif)
    multitool=$here/node_modules/.bin/sarif-multitool
    if [[ ! -x "$multitool" ]]; then
        echo "SKIP: the SARIF multitool is not installed (npm ci in lint/test)"
        exit 77
    fi
    run --format sarif
    mv "$scratch/out" "$scratch/lint.sarif"
    # The multitool reports problems as results of its own log and exits 0
    # either way: the log is read back for errors.
    (cd "$scratch" && "$multitool" validate lint.sarif --output validation.sarif) >"$scratch/validate" 2>&1 ||
        fail "the multitool failed: $(cat "$scratch/validate")"
    python3 - "$scratch" "$case_dir" <<'PY' || exit 1
import json, sys, urllib.parse
scratch, case_dir = sys.argv[1], sys.argv[2]
validation = json.load(open(scratch + "/validation.sarif"))
errors = [r for run in validation["runs"] for r in run.get("results", []) if r.get("level") == "error"]
for error in errors:
    print("FAIL: SARIF validation:", error["ruleId"], error["message"].get("text", error["message"]))
log = json.load(open(scratch + "/lint.sarif"))
run = log["runs"][0]
rules = [rule["id"] for rule in run["tool"]["driver"]["rules"]]
seen = []
for result in run["results"]:
    assert rules[result["ruleIndex"]] == result["ruleId"], result
    location = result["locations"][0]["physicalLocation"]
    path = urllib.parse.unquote(urllib.parse.urlparse(location["artifactLocation"]["uri"]).path)
    seen.append("%s:%d: warning: %s [%s]" % (path[len(case_dir) + 1:], location["region"]["startLine"],
                                              result["message"]["text"], result["ruleId"]))
expected = open(case_dir + "/expected.txt").read().splitlines()
if seen != expected:
    print("FAIL: the SARIF results differ from expected.txt:", *seen, sep="\n  ")
sys.exit(1 if errors or seen != expected else 0)
PY
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
echo "ok: $mode $(basename "$case_dir")"
