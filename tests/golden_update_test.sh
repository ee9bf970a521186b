#!/usr/bin/env bash
# Checks golden_run.sh's update mode on a copy of a golden case whose
# expected standard error is spoiled: UPDATE=1 must name the file it rewrote
# and fail; the rewritten case must then pass, and UPDATE=1 on it succeed.
#
#   golden_update_test.sh BINARY CASE_DIR
set -u
tests=$(cd "$(dirname "$0")" && pwd)
binary=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -R "$2" "$scratch/case"
echo "spoiled" >>"$scratch/case/expected.stderr"

failures=0
fail() {
    echo "FAIL: $*"
    failures=1
}
if UPDATE=1 bash "$tests/golden_run.sh" "$binary" "$scratch/case" >"$scratch/update.out"; then
    fail "UPDATE=1 succeeded although it rewrote a file"
fi
grep -q -x "rewrote $scratch/case/expected.stderr" "$scratch/update.out" || fail "UPDATE=1 did not name the file it rewrote"
cmp -s "$2/expected.stderr" "$scratch/case/expected.stderr" || fail "UPDATE=1 did not restore expected.stderr"
bash "$tests/golden_run.sh" "$binary" "$scratch/case" || fail "the rewritten case does not pass"
UPDATE=1 bash "$tests/golden_run.sh" "$binary" "$scratch/case" || fail "UPDATE=1 failed with nothing to rewrite"
exit $failures
