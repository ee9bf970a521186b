#!/usr/bin/env bash
# Runs one hostile-input case against the built binary.
#
#   run_case.sh BINARY CASE [sanitized]
#
# Each case makes its (often huge) input in a fresh temporary folder, runs the
# binary there under a CPU-time and an address-space limit, and checks that
# the run ended either cleanly (status 0 and a PHP file that holds what was
# asked for) or in a clean failure (status 2, "Failed to compile the SQL
# code." last on standard error, and no output file). Nothing here is ever
# committed as data: the inputs are generated on each run.
#
# With "sanitized" the binary carries AddressSanitizer, which reserves far
# more address space than any limit here allows: the address-space limit is
# left off then, and the case that needs it is skipped (status 77).
set -u
source "$(dirname "$0")/../child_process.sh"
binary=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
case_name=$2
sanitized=${3:-}

work=$(mktemp -d)
trap 'child_stop; rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*"; failures=1; }

# run CPU_SECONDS MEMORY_KB ARGS... -- runs the binary with the limits; sets
# $status and leaves its standard error in err.txt.
run() {
    local cpu=$1 memory=$2
    shift 2
    local start=$SECONDS
    child_run run_limited "$cpu" "$memory" "$@" >out.txt 2>err.txt </dev/null
    status=$?
    echo "ran in $((SECONDS - start)) s, status $status; standard error:"
    head -c 600 err.txt | head -5
}

run_limited() {  # CPU_SECONDS MEMORY_KB ARGS...
    ulimit -c 0
    ulimit -t "$1"
    [[ -n $sanitized ]] || ulimit -v "$2"
    shift 2
    child_exec "$binary" "$@"
}

expect_written() {
    [[ $status == 0 ]] || fail "status $status, expected 0"
    [[ -s out.php ]] || fail "no PHP file written"
}

expect_rejected() {  # [message pattern]
    [[ $status == 2 ]] || fail "status $status, expected 2"
    [[ ! -e out.php ]] || fail "an output file was left behind"
    [[ "$(tail -n 1 err.txt)" == "Failed to compile the SQL code." ]] || fail "last message is not the failure line"
    if (($#)) && ! grep -q -E "$1" err.txt; then fail "no message matching: $1"; fi
}

# Prints N pseudo-random bytes, the same ones on every run (a linear
# congruential generator, so that a failure can be reproduced).
random_bytes() {
    LC_ALL=C awk -v n="$1" 'BEGIN {
        x = 12345
        for (i = 0; i < n; i++) { x = (x * 1103515245 + 12345) % 2147483648; printf "%c", int(x / 65536) % 256 }
    }'
}

GB=$((1024 * 1024))  # ulimit -v counts kilobytes

case $case_name in
concat_million_terms)
    # One expression of a million concatenated strings: a left-deep chain
    # that copying, evaluation and release must walk without recursion.
    { printf 'view v = "a"'; yes ' . "b"' | head -n 999999 | tr -d '\n'; printf ';\n'; } >main.def
    run 120 $((2 * GB)) --output out.php main.def
    expect_written
    length=$(grep '"v" =>' out.php | tr -cd 'ab' | wc -c)
    [[ $length == 1000000 ]] || fail "the view holds $length characters, expected 1000000"
    ;;
nested_calls_below_parser_limit)
    # The deepest call nesting the parser takes (20,000 levels are refused as
    # a parser stack overflow) must also run without exhausting the stack.
    {
        printf 'function f($x) = $x . "";\nview v = '
        printf 'f(%.0s' $(seq 4900); printf '"deep"'; printf ')%.0s' $(seq 4900); printf ';\n'
    } >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_written
    grep -q '"v" => "deep"' out.php || fail "the view does not hold the innermost value"
    ;;
nested_calls_20000)
    # Far past the parser's stack: a clean syntax error, not a crash.
    { printf 'view v = '; printf 'f(%.0s' $(seq 20000); printf '"x"'; printf ')%.0s' $(seq 20000); printf ';\n'; } >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected '^parser stack overflow in '
    ;;
string_literal_50mb)
    { printf 'view v = "'; head -c $((50 * 1024 * 1024)) /dev/zero | tr '\0' 'x'; printf '";\n'; } >main.def
    run 120 $((2 * GB)) --output out.php main.def
    expect_written
    length=$(grep '"v" =>' out.php | tr -cd 'x' | wc -c)
    [[ $length == $((50 * 1024 * 1024)) ]] || fail "the view holds $length characters"
    ;;
random_bytes_definition)
    random_bytes 1048576 >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected
    ;;
random_bytes_initializer)
    printf 'type t = "TEXT";\ntable x { primary t id; } = "rows.init";\n' >main.def
    random_bytes 1048576 >rows.init
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected
    ;;
lone_carriage_returns)
    # A million lone CRs are a million line ends: the error after them must
    # name the line right after the last one.
    { head -c 1000000 /dev/zero | tr '\0' '\r'; printf 'stray'; } >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected "in $work/main.def:1000001\$"
    ;;
tables_100000)
    awk 'BEGIN {
        print "type id_t = \"INTEGER\";"
        for (i = 0; i < 100000; i++) {
            printf "table t%d { primary id_t id;", i
            if (i > 0) printf " index id_t up [outgoing: t%d];", i - 1
            print " };"
        }
    }' >main.def
    run 600 $((4 * GB)) --output out.php main.def
    expect_written
    count=$(grep -c '"volatile" =>' out.php)
    [[ $count == 100000 ]] || fail "$count tables written, expected 100000"
    ;;
initializer_million_rows)
    printf 'type id_t = "INTEGER";\ntable t { primary id_t id; id_t *n; } = "rows.init";\n' >main.def
    awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "\"%d\",%s\n", i, (i % 2 ? "null" : "\"x\"") }' >rows.init
    run 600 $((4 * GB)) --output out.php main.def
    expect_written
    count=$(grep -c '^			array ("' out.php)
    [[ $count == 1000000 ]] || fail "$count rows written, expected 1000000"
    ;;
query_100000_markers)
    awk 'BEGIN {
        printf "type t = \"TEXT\";\nquery q = \""
        for (i = 0; i < 100000; i++) {
            k = i % 4
            if (k == 0) printf "{ESC:%d}", i
            else if (k == 1) printf "{RAW:%d}", i
            else if (k == 2) printf "{FIELD:t}"
            else printf ", "
        }
        print "\";"
    }' >main.def
    run 600 $((2 * GB)) --output out.php main.def
    expect_written
    params=$(grep -c 'DB_PIECE_PARAM' out.php)
    raws=$(grep -c 'DB_PIECE_RAW' out.php)
    texts=$(grep -c 'DB_PIECE_TEXT' out.php)
    fields=$(grep -o '"TEXT"' out.php | wc -l)
    [[ $params == 25000 && $raws == 25000 && $texts == 25000 && $fields == 25000 ]] ||
        fail "pieces: $params parameters, $raws raw, $texts texts, $fields field types; expected 25000 each"
    ;;
memory_exhausted)
    # Too little memory for the rows: the pool's allocation fails and the run
    # ends at once (abort), and the earlier output file is left as it was.
    if [[ -n $sanitized ]]; then echo "skipped: needs an address-space limit"; exit 77; fi
    printf 'type id_t = "INTEGER";\ntable t { primary id_t id; } = "rows.init";\n' >main.def
    awk 'BEGIN { for (i = 0; i < 200000; i++) printf "\"%d\"\n", i }' >rows.init
    echo "earlier output" >out.php
    run 60 $((64 * 1024)) --output out.php main.def
    [[ $status == 134 ]] || fail "status $status, expected an abort (134)"
    grep -q -E '^Failed to allocate [0-9]+ bytes for memory block$' err.txt || fail "no allocation failure message"
    [[ "$(cat out.php)" == "earlier output" ]] || fail "the earlier output file was changed"
    [[ $(ls -A | wc -l) == 5 ]] || { fail "files were left behind:"; ls -A; }
    ;;
definition_exceeds_memory)
    # A definition file larger than the memory left: the scanner's own fatal
    # error (status 2), not an abort.
    if [[ -n $sanitized ]]; then echo "skipped: needs an address-space limit"; exit 77; fi
    { printf 'view v = "'; head -c $((100 * 1024 * 1024)) /dev/zero | tr '\0' 'x'; printf '";\n'; } >main.def
    run 60 $((64 * 1024)) --output out.php main.def
    [[ $status == 2 ]] || fail "status $status, expected 2"
    grep -q -x 'fatal error - scanner input buffer overflow' err.txt || fail "no scanner message"
    [[ ! -e out.php ]] || fail "an output file was left behind"
    ;;
*)
    echo "unknown case $case_name"
    exit 1
    ;;
esac
exit $failures
