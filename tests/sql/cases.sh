#!/usr/bin/env bash
# Runs tabula-export on each folder of CASES and compares standard error,
# the exit status and the script with the folder's expected files:
#
#   cases.sh TABULA_EXPORT CASES ROOT
#
# A case folder holds its definition files and:
#   args             arguments, one per line; @ROOT@ stands for ROOT, the
#                    source tree (default: --format postgresql main.def)
#   expected.stderr  standard error, the run folder as @DIR@, ROOT as @ROOT@
#                    (default: empty)
#   expected.status  the exit status (default: 0)
#   expected.sql     standard output (default: empty)
# With UPDATE=1 the expected files are rewritten from the runs.
set -u
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") cases=$2 root=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
for case_dir in "$cases"/*/; do
    name=$(basename "$case_dir")
    run=$work/$name
    mkdir -p "$run" && cp -R "$case_dir". "$run"/
    args=()
    if [[ -f $case_dir/args ]]; then
        while IFS= read -r line || [[ -n $line ]]; do args+=("${line//@ROOT@/$root}"); done <"$case_dir/args"
    else
        args=(--format postgresql main.def)
    fi
    (cd "$run" && "$tool" "${args[@]}") >"$work/$name.sql" 2>"$work/$name.stderr" </dev/null
    echo $? >"$work/$name.status"
    sed -i "s|$run|@DIR@|g; s|$root|@ROOT@|g" "$work/$name.stderr"
    for kind in stderr status sql; do
        expected=$case_dir/expected.$kind
        if [[ ${UPDATE:-0} == 1 ]]; then
            if [[ -s $work/$name.$kind && ! ($kind == status && $(cat "$work/$name.status") == 0) ]]; then
                cp "$work/$name.$kind" "$expected"
            else
                rm -f "$expected"
            fi
            continue
        fi
        if [[ -f $expected ]]; then
            cmp -s "$expected" "$work/$name.$kind" && continue
        elif [[ $kind == status ]]; then
            [[ $(cat "$work/$name.status") == 0 ]] && continue
        elif [[ ! -s $work/$name.$kind ]]; then
            continue
        fi
        echo "FAIL: $name: $kind differs"
        if [[ -f $expected ]]; then
            diff "$expected" "$work/$name.$kind" | head -20
        else
            head -20 "$work/$name.$kind"
        fi
        failures=$((failures + 1))
    done
done
echo "$failures failed"
((failures == 0))
