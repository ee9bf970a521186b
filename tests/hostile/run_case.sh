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
# A case may also set, before calling run, a stack limit (stack_kb, as given
# to ulimit -s: containers and embedding hosts often allow far less than the
# usual 8 MiB) and a wall-clock bound (wall_seconds, for runs that could
# block).
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

stack_kb=""
wall_seconds=""

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
    [[ -z $stack_kb ]] || ulimit -s "$stack_kb"
    shift 2
    local bound=()
    [[ -z $wall_seconds ]] || bound=(timeout -s KILL "$wall_seconds")
    child_exec "${bound[@]}" "$binary" "$@"
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
SMALL_STACK_KB=1024

# Writes f1.def ... fN.def, each including the next one, and an empty last
# file; main.def is f1.def.
include_chain() {
    local n=$1 i
    for ((i = 1; i < n; i++)); do printf 'include "f%d.def";\n' $((i + 1)) >f$i.def; done
    printf 'type t = "TEXT";\n' >f$n.def
    cp f1.def main.def
}

# Prints NAME( COUNT times, INNER, then ) COUNT times.
nested() {
    local name=$1 count=$2 inner=$3 i
    for ((i = 0; i < count; i++)); do printf '%s(' "$name"; done
    printf '%s' "$inner"
    for ((i = 0; i < count; i++)); do printf ')'; done
}

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
    # Too little memory for the rows: the pool's allocation fails, the run
    # ends with the message and status 2, and the earlier output file is left
    # as it was.
    if [[ -n $sanitized ]]; then echo "skipped: needs an address-space limit"; exit 77; fi
    printf 'type id_t = "INTEGER";\ntable t { primary id_t id; } = "rows.init";\n' >main.def
    awk 'BEGIN { for (i = 0; i < 200000; i++) printf "\"%d\"\n", i }' >rows.init
    echo "earlier output" >out.php
    run 60 $((64 * 1024)) --output out.php main.def
    [[ $status == 2 ]] || fail "status $status, expected 2"
    grep -q -E '^Failed to allocate [0-9]+ bytes for memory block$' err.txt || fail "no allocation failure message"
    [[ "$(tail -n 1 err.txt)" == "Failed to compile the SQL code." ]] || fail "last message is not the failure line"
    [[ "$(cat out.php)" == "earlier output" ]] || fail "the earlier output file was changed"
    [[ $(ls -A | wc -l) == 5 ]] || { fail "files were left behind:"; ls -A; }
    ;;
definition_exceeds_memory)
    # A definition file larger than the memory left: the scanner's own
    # message, status 2.
    if [[ -n $sanitized ]]; then echo "skipped: needs an address-space limit"; exit 77; fi
    { printf 'view v = "'; head -c $((100 * 1024 * 1024)) /dev/zero | tr '\0' 'x'; printf '";\n'; } >main.def
    run 60 $((64 * 1024)) --output out.php main.def
    expect_rejected '^fatal error - scanner input buffer overflow$'
    ;;
unreadable_input)
    # A regular file whose reading fails (without a security module, this
    # attribute file answers every read with EINVAL), as the definition file
    # and as an initializer file: the scanner's message, status 2.
    if cat /proc/self/attr/current >/dev/null 2>&1; then echo "skipped: the file reads"; exit 77; fi
    run 10 $((1 * GB)) --output out.php /proc/self/attr/current
    expect_rejected '^input in flex scanner failed$'
    printf 'type t = "TEXT";\ntable x { primary t id; } = "/proc/self/attr/current";\n' >main.def
    run 10 $((1 * GB)) --output out.php main.def
    expect_rejected '^input in flex scanner failed$'
    ;;
address_space_limits)
    # Under rising address-space limits, with the usual stack and with a small
    # one, a run that needs a deep stack (200 nested includes) fails cleanly
    # (status 2, the failure line last) below some limit and succeeds at
    # every limit above it: the phase stack never makes a run fail where it
    # would fit, nor crash it.
    if [[ -n $sanitized ]]; then echo "skipped: needs an address-space limit"; exit 77; fi
    include_chain 200
    for stack in "" $SMALL_STACK_KB; do
        stack_kb=$stack
        fitted=""
        for ((megabytes = 8; megabytes <= 72; megabytes += 4)); do
            rm -f out.php
            run 10 $((megabytes * 1024)) --output out.php main.def >/dev/null
            if [[ $status == 0 ]]; then
                fitted=$megabytes
            elif [[ $status != 2 || "$(tail -n 1 err.txt)" != "Failed to compile the SQL code." ]]; then
                fail "stack ${stack:-as usual}, ${megabytes} MB: status $status, $(head -c 300 err.txt)"
            elif [[ -n $fitted ]]; then
                fail "stack ${stack:-as usual}: fits in $fitted MB, fails in $megabytes MB: $(head -c 300 err.txt)"
            fi
        done
        [[ -n $fitted ]] || fail "stack ${stack:-as usual}: no limit up to 72 MB was enough"
        echo "stack ${stack:-as usual}: written under every limit from the lowest that fits"
    done
    ;;
input_limits)
    # A file without end and a file past the run's limit end with the limit's
    # message; a huge file whose first byte is an error is not read on
    # (a 200 MB file of NUL bytes, under a 64 MB address-space limit).
    if [[ -n $sanitized ]]; then echo "skipped: needs an address-space limit"; exit 77; fi
    printf 'type t = "TEXT";\ntable x { primary t id; } = "/proc/self/pagemap";\n' >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected "^Input files exceed 268435456 bytes in all in $work/main.def:2\$"
    truncate -s 2560M huge.def
    run 10 $((1 * GB)) --output out.php huge.def
    expect_rejected "^Input files exceed 268435456 bytes in all in $work/huge.def:1\$"
    truncate -s 200M nul.def
    run 10 $((64 * 1024)) --output out.php nul.def
    expect_rejected "^Unexpected NUL character in $work/nul.def:1\$"
    ;;
small_stack_includes)
    # The documented include depth: 200 files compile, a 201st is refused.
    stack_kb=$SMALL_STACK_KB
    include_chain 200
    run 60 $((1 * GB)) --output out.php main.def
    expect_written
    rm -f ./*.def out.php
    include_chain 201
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected '^Includes nested deeper than 200 files at ".*/f201.def" in .*/f200.def:1$'
    ;;
small_stack_recursion)
    stack_kb=$SMALL_STACK_KB
    printf 'function f($x) = f($x . "");\nview v = f("a");\n' >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected '^Function calls nested deeper than 10000 levels when calling f in .*/main.def:2$'
    ;;
small_stack_nesting)
    # The deepest nesting the parser takes, as calls of a user function, as
    # array() calls, and inside a function body that is copied at its
    # definition, run (here within 4,000 more calls, 8,900 levels in all),
    # and released at the end; past the parser's stack, a clean syntax error.
    stack_kb=$SMALL_STACK_KB
    {
        printf 'function f($x) = $x . "";\nfunction g($x) = "arrays";\n'
        printf 'function h($x) = %s;\n' "$(nested f 4900 '$x')"
        printf 'view calls = %s;\n' "$(nested f 4900 '"calls"')"
        printf 'view arrays = g(%s);\n' "$(nested array 4900 '"deep"')"
        printf 'view body = %s;\n' "$(nested f 4000 'h("body")')"
    } >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_written
    for view in calls arrays body; do
        grep -q "\"$view\" => \"$view\"" out.php || fail "the view $view does not hold its value"
    done
    rm -f out.php
    printf 'view v = %s;\n' "$(nested f 20000 '"x"')" >main.def
    run 60 $((1 * GB)) --output out.php main.def
    expect_rejected '^parser stack overflow in '
    ;;
small_stack_deep_value)
    # Each a<k> doubles the nesting of its argument: a value 64,000 arrays
    # deep, copied into parameters and released, far deeper than any stack
    # would take by recursion.
    stack_kb=$SMALL_STACK_KB
    {
        printf 'function g($x) = "flat";\nfunction a0($x) = %s;\n' "$(nested array 1000 '$x')"
        for k in 1 2 3 4 5 6; do printf 'function a%d($x) = a%d(a%d($x));\n' $k $((k - 1)) $((k - 1)); done
        printf 'view v = g(a6("x"));\n'
    } >main.def
    run 120 $((2 * GB)) --output out.php main.def
    expect_written
    grep -q '"v" => "flat"' out.php || fail "the view does not hold its value"
    ;;
small_stack_concat_and_schema)
    # A million-term concatenation, and a schema of 2,000 linked tables
    # through the fix-up and the writer.
    stack_kb=$SMALL_STACK_KB
    { printf 'view v = "a"'; yes ' . "b"' | head -n 999999 | tr -d '\n'; printf ';\n'; } >main.def
    awk 'BEGIN {
        print "type id_t = \"INTEGER\";"
        for (i = 0; i < 2000; i++) {
            printf "table t%d { primary id_t id; index id_t *up [outgoing: t%d, incoming: t%d]; }", i,
                (i + 1999) % 2000, (i + 1) % 2000
            print " = { { \"1\", \"2\" }, { \"3\", null } };"
        }
    }' >>main.def
    run 120 $((2 * GB)) --output out.php main.def
    expect_written
    length=$(grep '"v" =>' out.php | tr -cd 'ab' | wc -c)
    [[ $length == 1000000 ]] || fail "the view holds $length characters, expected 1000000"
    count=$(grep -c '"volatile" =>' out.php)
    [[ $count == 2000 ]] || fail "$count tables written, expected 2000"
    ;;
named_files_not_regular)
    # A FIFO without a writer, named by an include or as an initializer
    # file, is refused at once, never waited on; so is a device. The input
    # file itself may still be a pipe.
    wall_seconds=20
    mkfifo fifo
    printf 'type t = "TEXT";\ninclude "fifo";\n' >main.def
    run 10 $((1 * GB)) --output out.php main.def
    expect_rejected "^Failed to open compiled file \"$work/fifo\": not a regular file in $work/main.def:2\$"
    printf 'type t = "TEXT";\ntable x { primary t id; } = "fifo";\n' >main.def
    run 10 $((1 * GB)) --output out.php main.def
    expect_rejected "^Failed to open initializer file \"$work/fifo\": not a regular file in $work/main.def:2\$"
    printf 'type t = "TEXT";\ntable x { primary t id; } = "/dev/urandom";\n' >main.def
    run 10 $((1 * GB)) --output out.php main.def
    expect_rejected '^Failed to open initializer file "/dev/urandom": not a regular file in '
    printf 'view v = "piped";\n' >main.def
    timeout -s KILL 20 "$binary" --output out.php /dev/stdin 2>err.txt < <(cat main.def)
    status=$?
    expect_written
    grep -q '"v" => "piped"' out.php || fail "the input read from a pipe was not compiled"
    ;;
include_fan_out)
    # Each file includes the next one twice: 2^17 compilations, stopped at
    # the cap of 100,000 within seconds.
    stack_kb=$SMALL_STACK_KB
    for i in $(seq 0 16); do printf 'include "f%d.def";\ninclude "f%d.def";\n' $((i + 1)) $((i + 1)) >f$i.def; done
    : >f17.def
    run 120 $((1 * GB)) --output out.php f0.def
    expect_rejected '^Includes compile more than 100000 files in all at ".*/f[0-9]+.def" in .*/f[0-9]+.def:[12]$'
    ;;
*)
    echo "unknown case $case_name"
    exit 1
    ;;
esac
exit $failures
