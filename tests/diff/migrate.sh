#!/usr/bin/env bash
# Migrations proved on a real server. For each case folder: OLD's export
# loaded into one database, the application's rows written (app_old.sql), the
# migration applied; NEW's export loaded into a fresh database with the same
# rows as NEW holds them (app_new.sql); then the two catalogs and all rows
# must be equal as the server reports them.
#
#   migrate.sh TABULA_DIFF TABULA_EXPORT DIALECT CASE_DIR...
#
# A case folder holds old.def and new.def, and may hold app_old.sql and
# app_new.sql (INSERT statements with double-quoted names), `options` (extra
# arguments of tabula-diff, one a line), `refused` (the messages expected on
# standard error when the change is destructive: the run without
# --allow-destructive must fail with them, status 2 and no output file) and
# `dialects` (the dialects the case is for, one a line; all when missing).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
diff_tool=$1 export_tool=$2 dialect=$3
shift 3
source "$here/../sql/servers.sh"
source "$here/catalog.sh"
sql_require "$dialect"
sql_start "$dialect" || exit 1
work=$SQL_SCRATCH/diff
mkdir -p "$work"

failures=0
number=0
fail() {
    echo "FAIL $case_name: $*"
    failures=$((failures + 1))
}

# The application's SQL as the server takes it: MariaDB quotes names with
# double quotes only in ANSI_QUOTES mode.
app_script() {
    if [[ $dialect == mariadb ]]; then
        echo "SET SESSION sql_mode = 'ANSI_QUOTES,NO_BACKSLASH_ESCAPES,STRICT_ALL_TABLES';"
    fi
    cat "$1"
}

run_case() {
    local case_dir args=() status
    case_dir=$(cd "$1" && pwd)
    if [[ -f $case_dir/dialects ]] && ! grep -qx "$dialect" "$case_dir/dialects"; then return; fi
    [[ -f $case_dir/options ]] && mapfile -t args <"$case_dir/options"
    number=$((number + 1))
    local migrated=m$number fresh=f$number
    rm -f "$work/migration.sql"
    if [[ -f $case_dir/refused ]]; then
        status=0
        "$diff_tool" --dialect "$dialect" "${args[@]}" --output "$work/migration.sql" \
            "$case_dir/old.def" "$case_dir/new.def" 2>"$work/stderr" || status=$?
        [[ $status -eq 2 ]] || fail "without --allow-destructive: status $status, expected 2"
        [[ ! -e $work/migration.sql ]] || fail "without --allow-destructive: an output file was written"
        sed "s|$case_dir/||" "$work/stderr" | diff -u "$case_dir/refused" - || fail "other messages than expected"
        args+=(--allow-destructive)
    fi
    sql_create "$dialect" "$migrated" && sql_create "$dialect" "$fresh" || { fail "cannot create databases"; return; }
    "$export_tool" --format "$dialect" "$case_dir/old.def" >"$work/old.sql" 2>/dev/null || { fail "export of old.def"; return; }
    "$export_tool" --format "$dialect" "$case_dir/new.def" >"$work/new.sql" 2>/dev/null || { fail "export of new.def"; return; }
    sql_load "$dialect" "$migrated" "$work/old.sql" >/dev/null || { fail "old.sql does not load"; return; }
    if [[ -f $case_dir/app_old.sql ]]; then
        app_script "$case_dir/app_old.sql" >"$work/app.sql"
        sql_load "$dialect" "$migrated" "$work/app.sql" >/dev/null || { fail "app_old.sql does not load"; return; }
    fi
    status=0
    "$diff_tool" --dialect "$dialect" "${args[@]}" --output "$work/migration.sql" \
        "$case_dir/old.def" "$case_dir/new.def" 2>"$work/stderr" || status=$?
    [[ $status -eq 0 ]] || { fail "tabula-diff exited with $status: $(cat "$work/stderr")"; return; }
    if ! sql_load "$dialect" "$migrated" "$work/migration.sql" >"$work/load.log" 2>&1; then
        fail "the migration does not load: $(cat "$work/load.log")"
        cp "$work/migration.sql" "$work/failed-$number.sql"
        echo "---- migration"; cat -n "$work/migration.sql"
        return
    fi
    sql_load "$dialect" "$fresh" "$work/new.sql" >/dev/null || { fail "new.sql does not load"; return; }
    if [[ -f $case_dir/app_new.sql ]]; then
        app_script "$case_dir/app_new.sql" >"$work/app.sql"
        sql_load "$dialect" "$fresh" "$work/app.sql" >/dev/null || { fail "app_new.sql does not load"; return; }
    fi
    diff_catalog "$dialect" "$migrated" >"$work/catalog.migrated"
    diff_catalog "$dialect" "$fresh" >"$work/catalog.fresh"
    if ! diff -u "$work/catalog.fresh" "$work/catalog.migrated" >"$work/catalog.diff"; then
        fail "catalogs differ (- fresh, + migrated):"
        cat "$work/catalog.diff"
        echo "---- migration"; cat -n "$work/migration.sql"
    fi
    diff_rows "$dialect" "$migrated" >"$work/rows.migrated"
    diff_rows "$dialect" "$fresh" >"$work/rows.fresh"
    if ! diff -u "$work/rows.fresh" "$work/rows.migrated"; then
        fail "rows differ (- fresh, + migrated)"
    fi
    # A second run on the migrated schema finds nothing to do.
    status=0
    "$diff_tool" --dialect "$dialect" --exit-code "$case_dir/new.def" "$case_dir/new.def" >"$work/again.sql" \
        2>/dev/null || status=$?
    [[ $status -eq 0 && ! -s $work/again.sql ]] || fail "NEW against itself: status $status, $(head -c 200 "$work/again.sql")"
}

for case_dir in "$@"; do
    case_name=$(basename "$case_dir")
    run_case "$case_dir"
done
echo "$dialect: $number cases, $failures failures"
((failures == 0))
