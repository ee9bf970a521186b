#!/usr/bin/env bash
# The property test: random pairs of schema versions (random_schemas.py),
# each migrated on a real server and compared with a fresh database by
# migrate.sh. The seed changes from run to run and is printed; set
# TABULA_DIFF_SEED to run one again. TABULA_DIFF_CASES sets how many pairs
# (default 30 on SQLite, 6 on PostgreSQL: the run time stays bounded).
#
#   random_run.sh TABULA_DIFF TABULA_EXPORT DIALECT
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dialect=$3
command -v python3 >/dev/null || { echo "SKIPPED: python3 is not installed"; exit 77; }
seed=${TABULA_DIFF_SEED:-$(date +%s)}
default_count=30
[[ $dialect == sqlite ]] || default_count=6
count=${TABULA_DIFF_CASES:-$default_count}
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
echo "seed $seed, $count pairs (TABULA_DIFF_SEED=$seed to run them again)"
python3 "$here/random_schemas.py" "$seed" "$count" "$folder" || exit 1
status=0
bash "$here/migrate.sh" "$1" "$2" "$dialect" "$folder"/r* || status=$?
if ((status != 0)); then
    # The failing pairs, for the log.
    for case_dir in "$folder"/r*; do
        echo "==== $(basename "$case_dir")"
        head -n 100 "$case_dir"/old.def "$case_dir"/new.def "$case_dir"/options "$case_dir"/app_*.sql
    done | head -n 400
fi
exit $status
