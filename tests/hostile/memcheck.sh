#!/usr/bin/env bash
# Runs the unit tests and the binary over every golden case under valgrind's
# memcheck; any memory error or leak fails.
#
#   bash tests/hostile/memcheck.sh BUILD_DIR
#
# BUILD_DIR is a build without sanitizers (valgrind and AddressSanitizer do
# not mix), with the tests built.
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(cd "$1" && pwd)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
memcheck=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible)
failed=0

echo "-- unit tests"
# Death tests end a forked child by abort on purpose, with its blocks still
# allocated: they are checked for memory errors only, not for leaks.
if ! "${memcheck[@]}" --log-file="$logs/unit.%p.log" "$build_dir/tests/tabula_tests" --gtest_brief=1 \
        --gtest_filter=-*DeathTest* >"$logs/unit.out" 2>&1 ||
   ! "${memcheck[@]}" --leak-check=no --log-file="$logs/death.%p.log" "$build_dir/tests/tabula_tests" \
        --gtest_brief=1 --gtest_filter=*DeathTest* >>"$logs/unit.out" 2>&1; then
    echo "FAIL: unit tests under memcheck"; tail -20 "$logs/unit.out"; failed=1
fi
for log in "$logs"/unit.*.log "$logs"/death.*.log; do
    if [[ -s $log ]]; then echo "FAIL: memcheck found:"; cat "$log"; failed=1; fi
done
grep -E '^\[  PASSED  \]' "$logs/unit.out"

# The pool cuts its blocks out of slabs of its own and describes each one to
# memcheck: a deliberate write into a released slab block must be reported.
echo "-- memcheck sees the pool's blocks"
"${memcheck[@]}" --leak-check=no --log-file="$logs/misuse.log" "$build_dir/tests/tabula_tests" \
    --gtest_brief=1 --gtest_also_run_disabled_tests --gtest_filter='MemoryPoolMisuse.*' >"$logs/misuse.out" 2>&1
status=$?
if [[ $status -ne 99 ]] || ! grep -q "Invalid write" "$logs/misuse.log" || ! grep -q "free'd" "$logs/misuse.log"; then
    echo "FAIL: memcheck did not report a write into a released pool block (status $status)"
    cat "$logs/misuse.log"; failed=1
else
    echo "memcheck reported the write into a released pool block"
fi

# The golden runner takes the binary to run; this wrapper is that binary
# under memcheck, writing its findings apart from the compiler's own output.
cat >"$logs/tabula" <<EOF
#!/bin/sh
exec ${memcheck[*]} --log-file="$logs/run.%p.log" "$build_dir/tabula" "\$@"
EOF
chmod +x "$logs/tabula"

echo "-- golden cases"
passed=0
for case_dir in "$source_dir"/tests/golden/*/; do
    if bash "$source_dir/tests/golden_run.sh" "$logs/tabula" "$case_dir" >"$logs/case.out" 2>&1; then
        passed=$((passed + 1))
    else
        echo "FAIL: $(basename "$case_dir") under memcheck"; head -20 "$logs/case.out"; failed=1
    fi
done
for log in "$logs"/run.*.log; do
    if [[ -s $log ]]; then echo "FAIL: memcheck found:"; cat "$log"; failed=1; fi
done
echo "memcheck: $passed golden cases clean"
exit $failed
