#!/usr/bin/env bash
# The command line of tabula-lint: usage, errors shared with tabula, turning
# rules off, the exit statuses and the output file.
#
#   cli.sh LINT TABULA
set -u
tool=$1
tabula=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect STATUS STDOUT STDERR -- ARGUMENTS...
expect() {
    local status=$1 out=$2 err=$3
    shift 4
    "$tool" "$@" >out 2>err
    local got=$?
    [[ $got -eq $status ]] || fail "$*: status $got, expected $status"
    [[ "$(cat out)" == "$out" ]] || fail "$*: standard output $(head -c 300 out)"
    [[ "$(cat err)" == "$err" ]] || fail "$*: standard error $(head -c 300 err)"
}

cat >main.def <<'DEF'
type id_t = "INTEGER";
table t { primary id_t *id; };
DEF
printf 'type id_t = "INTEGER";\ntable t { primary id_t id; };\n' >clean.def
printf 'table t { primary id_t id; };\nview v = nothing();\n' >bad.def
finding="$work/main.def:2: warning: primary key \"id\" may be null [primary-nullable]"

"$tool" --help >usage
[[ $? -eq 1 && "$(head -n 1 usage)" == "Usage: tabula-lint [OPTION] ... FILE" ]] || fail "--help: $(head -n 1 usage)"
grep -q '^  primary-nullable  ' usage || fail "the usage does not list the rules"
usage=$(cat usage)
for args in "" "--help main.def" "--format" "--format json main.def" "--output" "--disable" \
    "main.def main.def" "main.def --format sarif"; do
    # shellcheck disable=SC2086
    expect 1 "$usage" "" -- $args
done
expect 1 "$usage" 'Unknown lint rule "primary-null"' -- --disable primary-null main.def

# Statuses 0 and 3, and --disable.
expect 0 "" "" -- clean.def
expect 3 "$finding" "" -- main.def
expect 0 "" "" -- --disable name-case --disable primary-nullable main.def

# Definition errors: tabula's messages and status, nothing on standard output,
# the output file left as it was.
"$tabula" --output tabula.php bad.def 2>tabula.err
echo "old" >kept.txt
expect 2 "" "$(cat tabula.err)" -- --output kept.txt bad.def
[[ "$(cat kept.txt)" == old ]] || fail "a failed run changed the output file"

# The output file holds what standard output would, findings or none.
"$tool" --output found.txt main.def
[[ $? -eq 3 && "$(cat found.txt)" == "$finding" ]] || fail "--output: $(cat found.txt)"
"$tool" --output found.txt clean.def && [[ ! -s found.txt ]] || fail "--output of a clean schema is not empty"
expect 2 "" "Refusing to write the findings over \"main.def\", a file this run has read
Failed to compile the SQL code." -- --output main.def main.def
expect 2 "" "Failed to open output file \"missing/out.txt\": 2(No such file or directory)
Failed to compile the SQL code." -- --output missing/out.txt main.def

if ((failures)); then
    echo "$failures command-line check(s) failed"
    exit 1
fi
echo "command-line checks passed"
