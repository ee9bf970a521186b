#!/usr/bin/env bash
# Loads schemas into a real server and compares its catalog with the model:
#
#   load.sh SERVER TABULA_EXPORT SOURCE...
#
# SERVER is postgresql, mariadb or sqlite. Each SOURCE (a definition file,
# "example" for the bundled example, "hostile" for the schema that
# hostile.py writes, or "bench:N" for the N-table benchmark schema) is exported as a script for the server and as JSON, the
# script is loaded into a new database with every error fatal, and
# catalog.py reads the catalog back and compares it with the JSON model.
# One server serves every source of the run. A server that is not installed
# makes the run skipped (77).
set -u
here=$(cd "$(dirname "$0")" && pwd)
server=$1 tool=$2
shift 2
source "$here/servers.sh"
sql_require "$server"
command -v python3 >/dev/null || { echo "SKIPPED: python3 is not installed"; exit 77; }
sql_start "$server" || exit 1
work=$SQL_SCRATCH/work
mkdir -p "$work"

failures=0 number=0
for source in "$@"; do
    number=$((number + 1))
    db=t$number flags=()
    case $source in
    hostile) python3 "$here/hostile.py" "$work/hostile$number.def" || exit 1
        input=$work/hostile$number.def flags=(--hostile) ;;
    example) input=$here/../../examples/shop/main.def flags=(--example) ;;
    bench:*) python3 "$here/../../bench/generate.py" "${source#bench:}" "$work/bench$number.def" || exit 1
        input=$work/bench$number.def ;;
    *) input=$source ;;
    esac
    if ! "$tool" --format "$server" --output "$work/$db.sql" -- "$input" 2>"$work/$db.err" ||
        ! "$tool" --format json --output "$work/$db.json" -- "$input"; then
        cat "$work/$db.err"
        echo "FAIL: $source: the export failed"
        failures=$((failures + 1))
        continue
    fi
    if ! sql_create "$server" "$db" || ! sql_load "$server" "$db" "$work/$db.sql" >"$work/$db.log" 2>&1; then
        cat "$work/$db.log"
        echo "FAIL: $source: $server refused the script"
        failures=$((failures + 1))
        continue
    fi
    if ! python3 "$here/catalog.py" "$server" "$SQL_SCRATCH" "$db" "$work/$db.json" "${flags[@]}"; then
        echo "FAIL: $source: the catalog differs from the model"
        failures=$((failures + 1))
        continue
    fi
    echo "ok: $source"
done
((failures == 0))
