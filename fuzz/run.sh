#!/usr/bin/env bash
# Runs fuzz targets one after another for a bounded time each and fails when
# any of them finds something.
#
#   bash fuzz/run.sh BUILD_DIR SECONDS [TARGET ...]
#
# TARGET is compile, query, initializer or lsp (default: all of them; lsp
# only when the language server's target was built). New inputs
# the fuzzer finds go to BUILD_DIR/fuzz-corpus/TARGET, crashing inputs to
# BUILD_DIR/fuzz-findings/, the fuzzer's log to BUILD_DIR/fuzz-TARGET.log.
# Any crash, leak or hang saved there fails the run, earlier ones included:
# remove a finding once it is fixed.
# Replay a finding with TABULA_FUZZ_VERBOSE=1 BUILD_DIR/fuzz/TARGET_fuzzer FILE
# to see the compiler's own messages too.
set -uo pipefail
fuzz_dir=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(compile query initializer)
    [[ -x $build_dir/fuzz/lsp_fuzzer ]] && targets+=(lsp)
fi

findings=$build_dir/fuzz-findings
mkdir -p "$findings"
status=0
for target in "${targets[@]}"; do
    dictionary=$fuzz_dir/$target.dict
    [[ $target == compile ]] && dictionary=$fuzz_dir/definition.dict
    corpus=$build_dir/fuzz-corpus/$target
    log=$build_dir/fuzz-$target.log
    mkdir -p "$corpus"
    mode=()
    if [[ $target == compile ]]; then
        # A definition may ask for unbounded memory (a function that calls
        # itself doubling its argument), which ends in the allocation failure
        # the compiler is meant to end with. Such runs are kept apart in
        # child processes and their inputs saved as oom-* while fuzzing goes
        # on; crashes, leaks and hangs still stop it.
        mode=(-fork=1 -ignore_ooms=1 -ignore_timeouts=0 -ignore_crashes=0)
    fi
    echo "== fuzzing $target for ${seconds}s"
    # -timeout: one input running for 30 s is a hang; -rss_limit_mb: a run
    # growing past 2 GB is out of memory.
    "$build_dir/fuzz/${target}_fuzzer" "${mode[@]}" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -dict="$dictionary" \
        -artifact_prefix="$findings/$target-" "$corpus" "$fuzz_dir/corpus/$target" >"$log" 2>&1
    result=$?
    # Executions: the in-process summary, or the fork mode's last progress line.
    executions=$(sed -n -E 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
    [[ -n $executions ]] || executions=$(sed -n -E 's/^#([0-9]+): cov:.*/\1/p' "$log" | tail -n 1)
    echo "  $target: ${executions:-?} executions"
    for oom in "$findings/$target"-oom-*; do
        [[ -e $oom ]] && echo "  note: input asking for more than 2 GB kept as $oom"
    done
    found=$(find "$findings" -name "$target-*" ! -name "$target-oom-*" ! -name "$target-slow-unit-*" | sort)
    if ((result != 0)) || [[ -n $found ]]; then
        echo "FAIL: the $target fuzzer stopped with status $result; findings: ${found:-none}"
        grep -v -E '^#[0-9]+|NEW_FUNC|^INFO:' "$log" | tail -40
        status=1
    fi
done
exit $status
