#!/usr/bin/env bash
# tabula-diff's command line: usage and status 1, both files checked as
# tabula checks them (same messages, status 2), the renames checked, the
# whole-or-nothing --output, and --exit-code.
#
#   cli.sh TABULA_DIFF TABULA
set -uo pipefail
diff_tool=$1 tabula=$2
here=$(cd "$(dirname "$0")" && pwd)
cases=$here/cases
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# expect STATUS COMMAND...: runs the command with stdout and stderr kept.
expect() {
    local expected=$1 status=0
    shift
    "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
    [[ $status -eq $expected ]] || fail "$* exited with $status, expected $expected: $(head -c 300 "$scratch/err")"
}

old=$cases/additions/old.def new=$cases/additions/new.def

# Usage on standard output, status 1, nothing on standard error.
for args in "--help" "" "--dialect postgresql $old" "--dialect oracle $old $new" "$old $new" \
    "--dialect sqlite $old $new extra" "--dialect" "--dialect sqlite --rename x $old $new" \
    "--dialect sqlite --rename =y $old $new" "--dialect sqlite --rename t.=y $old $new" \
    "--dialect sqlite --output"; do
    # shellcheck disable=SC2086
    expect 1 "$diff_tool" $args
    grep -q '^Usage: tabula-diff --dialect DIALECT' "$scratch/out" || fail "no usage for: $args"
    [[ ! -s $scratch/err ]] || fail "standard error written for: $args"
done

# Each file is checked exactly as tabula checks it.
printf 'table t { id_t id; };\ntype id_t = "INTEGER";\n' >"$scratch/bad.def"
expect 2 "$tabula" --output "$scratch/bad.php" "$scratch/bad.def"
cp "$scratch/err" "$scratch/tabula.err"
for order in "$scratch/bad.def $new" "$old $scratch/bad.def"; do
    # shellcheck disable=SC2086
    expect 2 "$diff_tool" --dialect sqlite --output "$scratch/m.sql" $order
    cmp -s "$scratch/err" "$scratch/tabula.err" || fail "other messages than tabula's: $(cat "$scratch/err")"
    [[ ! -e $scratch/m.sql ]] || fail "an output file was written for a bad definition file"
done
expect 2 "$diff_tool" --dialect sqlite "$scratch/missing.def" "$new"
grep -q '^Failed to open compiled file' "$scratch/err" || fail "a missing file: $(cat "$scratch/err")"

# Renames that name nothing, or make two tables one.
expect 2 "$diff_tool" --dialect sqlite --rename nothing=authors "$old" "$new"
grep -qx 'Cannot rename table "nothing": the old schema has no such table' "$scratch/err" || fail "$(cat "$scratch/err")"
expect 2 "$diff_tool" --dialect sqlite --rename authors=nothing "$old" "$new"
grep -qx 'Cannot rename table "authors" to "nothing": the new schema has no such table' "$scratch/err" ||
    fail "$(cat "$scratch/err")"
expect 2 "$diff_tool" --dialect sqlite --rename authors.nothing=x "$old" "$new"
grep -qx 'Cannot rename field "nothing" of table "authors": the old schema has no such field' "$scratch/err" ||
    fail "$(cat "$scratch/err")"
expect 2 "$diff_tool" --dialect sqlite --rename authors.id=name "$old" "$new"
grep -q 'the old table has another field of that name' "$scratch/err" || fail "$(cat "$scratch/err")"

# --exit-code: 0 for nothing to do (and an empty script), 3 for changes;
# without it 0 either way.
expect 0 "$diff_tool" --dialect postgresql --exit-code "$new" "$new"
[[ ! -s $scratch/out ]] || fail "an unchanged schema gave a script: $(head -c 200 "$scratch/out")"
expect 3 "$diff_tool" --dialect postgresql --exit-code "$old" "$new"
grep -q '^CREATE TABLE "books"' "$scratch/out" || fail "--exit-code wrote no script"
expect 0 "$diff_tool" --dialect postgresql "$old" "$new"
# Destructive changes refused: status 2 even with --exit-code.
expect 2 "$diff_tool" --dialect postgresql --exit-code "$new" "$old"

# --output: whole or nothing, never over a file the run has read.
echo "earlier" >"$scratch/m.sql"
expect 0 "$diff_tool" --dialect mariadb --output "$scratch/m.sql" "$old" "$new"
"$diff_tool" --dialect mariadb "$old" "$new" | cmp -s - "$scratch/m.sql" || fail "--output differs from stdout"
echo "earlier" >"$scratch/m.sql"
expect 2 "$diff_tool" --dialect mariadb --output "$scratch/m.sql" "$new" "$old"
[[ $(cat "$scratch/m.sql") == earlier ]] || fail "a refused migration touched the output"
cp "$old" "$scratch/old.def"
expect 2 "$diff_tool" --dialect sqlite --output "$scratch/old.def" "$scratch/old.def" "$new"
grep -qx "Refusing to write the migration over \"$scratch/old.def\", a file this run has read" "$scratch/err" ||
    fail "output over the input: $(cat "$scratch/err")"
cmp -s "$old" "$scratch/old.def" || fail "the input was overwritten"
expect 2 "$diff_tool" --dialect sqlite --output "$scratch/none/m.sql" "$old" "$new"
grep -q "^Failed to open output file \"$scratch/none/m.sql\": 2(" "$scratch/err" || fail "$(cat "$scratch/err")"
if [[ -w /dev/full ]]; then
    expect 2 "$diff_tool" --dialect sqlite --output /dev/full "$old" "$new"
    grep -q '^Failed to write output file "/dev/full": 28(' "$scratch/err" || fail "$(cat "$scratch/err")"
fi

# What the server cannot hold: the export's warnings, status 0.
expect 0 "$diff_tool" --dialect sqlite "$old" "$new"
grep -q '^Warning: SQLite cannot run PL/SQL: function "book_count" is left out in ' "$scratch/err" ||
    fail "no warning for a function on SQLite: $(cat "$scratch/err")"

((failures == 0)) && echo "command line checks passed"
((failures == 0))
