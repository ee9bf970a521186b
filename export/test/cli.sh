#!/usr/bin/env bash
# The command line of tabula-export: usage, errors shared with tabula, the
# output file and the messages of writing.
#
#   cli.sh EXPORT TABULA
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

usage=$(cat <<'USAGE'
Usage: tabula-export [OPTION] ... FILE

--                     stop processing command-line options,
                       should be followed by an input filename
--format format        write json (the default), mermaid, dot,
                       or a script for postgresql, mariadb or sqlite
--help                 display this help and exit
--omit kind            leave rows, views, plsql, sequences, indexes or
                       foreign-keys out of a script; may be repeated
--output filename      write to filename instead of standard output

USAGE
)

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
table t { primary id_t id; };
DEF
printf 'table t { primary id_t id; };\nview v = nothing();\n' >bad.def

for args in "" "--help main.def" "--format" "--format xml main.def" "--format JSON main.def" "--output" \
    "main.def main.def" "main.def --format dot" "--format dot --" "--omit" "--omit tables main.def"; do
    # shellcheck disable=SC2086
    expect 1 "$usage" "" -- $args
done

# Options before the file name, the last one winning, "--" before a dash name.
"$tool" --format dot --format mermaid --output first --output diagram.mmd main.def || fail "the diagram run failed"
[[ "$(head -n 1 diagram.mmd)" == erDiagram && ! -e first ]] || fail "the last --format and --output do not win"
cp main.def -- -dash.def
"$tool" --format json -- -dash.def >dash.json || fail "a dash file after -- is not read"
"$tool" main.def >stdout.json && "$tool" --output file.json main.def && cmp -s stdout.json file.json ||
    fail "--output writes other bytes than standard output"
# Standard output named as the output, into a pipe; standard input closed.
"$tool" --output /dev/stdout main.def | cat >piped.json && cmp -s stdout.json piped.json ||
    fail "--output /dev/stdout into a pipe writes other bytes than standard output"
"$tool" --output closed.json main.def <&- && cmp -s stdout.json closed.json ||
    fail "with standard input closed the output differs"

# Definition errors: tabula's messages, then the closing line, status 2, the
# output file left as it was.
"$tabula" --output tabula.php bad.def 2>tabula.err
echo "old" >kept.json
expect 2 "" "$(cat tabula.err)" -- --output kept.json bad.def
[[ "$(cat kept.json)" == old ]] || fail "a failed run changed the output file"
[[ "$(tail -n 1 tabula.err)" == "Failed to compile the SQL code." ]] || fail "tabula's last line: $(tail -n 1 tabula.err)"

# Writing failures.
expect 2 "" "Refusing to write the export over \"main.def\", a file this run has read
Failed to compile the SQL code." -- --output main.def main.def
expect 2 "" "Failed to open output file \"missing/out.json\": 2(No such file or directory)
Failed to compile the SQL code." -- --output missing/out.json main.def
if [[ -w /dev/full ]]; then
    "$tool" main.def >/dev/full 2>err
    status=$?
    [[ $status -eq 2 && "$(cat err)" == "Failed to write to standard output: 28(No space left on device)
Failed to compile the SQL code." ]] || fail "writing to a full device: status $status, $(cat err)"
fi

if ((failures)); then
    echo "$failures command-line check(s) failed"
    exit 1
fi
echo "command-line checks passed"
