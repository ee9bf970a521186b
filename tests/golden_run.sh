#!/usr/bin/env bash
# Runs one command-line golden case: the built binary on a copy of the case
# folder, compared on stdout, stderr, exit status and the output file bytes.
#
# A case folder holds the definition files and:
#   args             arguments, one per line (default: --output out.php main.def)
#   expected.stdout  expected standard output (default: empty)
#   expected.stderr  expected standard error, with the run folder as @DIR@
#   expected.status  expected exit status (default: 0)
#   expected.php     expected bytes of out.php; when absent, out.php must not
#                    be created (or, when the case ships an out.php, it must
#                    be left unchanged)
# With UPDATE=1 the expected files are rewritten from the actual run; each
# file that changes is named ("rewrote ...", "removed ...") and the run then
# fails, so that a stray UPDATE=1 never passes over a change. UPDATE=accept
# rewrites the same way and succeeds (scripts/update-goldens.sh uses it for
# every case, for review as a diff).
set -u
source "$(dirname "$0")/child_process.sh"
binary=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
case_dir=$2

work=$(mktemp -d)
trap 'child_stop; rm -rf "$work"' EXIT
cp -R "$case_dir"/. "$work"/
run_dir=$(cd "$work" && pwd -P)

args=()
if [[ -f "$case_dir/args" ]]; then
    while IFS= read -r line || [[ -n "$line" ]]; do args+=("$line"); done < "$case_dir/args"
else
    args=(--output out.php main.def)
fi

run_binary() {
    cd "$run_dir" && ulimit -t 60 && child_exec "$binary" "${args[@]}"
}
child_run run_binary >"$work/.stdout" 2>"$work/.stderr" </dev/null
status=$?
sed -i "s|$run_dir|@DIR@|g" "$work/.stderr"

# Names each expected file that the update changed; the copy of the case in
# $work still holds the files as they were.
report_rewrites() {
    local name rewrites=0
    for name in expected.stdout expected.stderr expected.status expected.php; do
        if [[ -f "$case_dir/$name" ]]; then
            cmp -s "$work/$name" "$case_dir/$name" 2>/dev/null && continue
            echo "rewrote $case_dir/$name"
        elif [[ -f "$work/$name" ]]; then
            echo "removed $case_dir/$name"
        else
            continue
        fi
        rewrites=$((rewrites + 1))
    done
    ((rewrites == 0))
}

if [[ "${UPDATE:-0}" == 1 || "${UPDATE:-0}" == accept ]]; then
    cp "$work/.stdout" "$case_dir/expected.stdout"
    cp "$work/.stderr" "$case_dir/expected.stderr"
    echo "$status" > "$case_dir/expected.status"
    if [[ -f "$run_dir/out.php" ]] && ! cmp -s "$run_dir/out.php" "$case_dir/out.php" 2>/dev/null; then
        cp "$run_dir/out.php" "$case_dir/expected.php"
    else
        rm -f "$case_dir/expected.php"
    fi
    [[ -s "$case_dir/expected.stdout" ]] || rm -f "$case_dir/expected.stdout"
    [[ -s "$case_dir/expected.stderr" ]] || rm -f "$case_dir/expected.stderr"
    [[ "$status" != 0 ]] || rm -f "$case_dir/expected.status"
    report_rewrites && exit 0
    [[ "$UPDATE" == accept ]] && exit 0
    echo "FAIL: update mode rewrote expected files (UPDATE=accept, or scripts/update-goldens.sh, to accept)"
    exit 1
fi

failed=0
compare() {  # expected-file actual-file label
    local expected=$1 actual=$2 label=$3
    if [[ -f "$expected" ]]; then
        if ! cmp -s "$expected" "$actual"; then
            echo "FAIL: $label differs"; diff -u "$expected" "$actual" | head -40; failed=1
        fi
    elif [[ -s "$actual" ]]; then
        echo "FAIL: unexpected $label:"; head -20 "$actual"; failed=1
    fi
}
compare "$case_dir/expected.stdout" "$work/.stdout" stdout
compare "$case_dir/expected.stderr" "$work/.stderr" stderr

expected_status=0
[[ -f "$case_dir/expected.status" ]] && expected_status=$(cat "$case_dir/expected.status")
if [[ "$status" != "$expected_status" ]]; then
    echo "FAIL: exit status $status, expected $expected_status"; failed=1
fi

if [[ -f "$case_dir/expected.php" ]]; then
    if [[ ! -f "$run_dir/out.php" ]]; then
        echo "FAIL: out.php was not written"; failed=1
    elif ! cmp -s "$case_dir/expected.php" "$run_dir/out.php"; then
        echo "FAIL: out.php differs"; diff -u "$case_dir/expected.php" "$run_dir/out.php" | head -40; failed=1
    fi
elif [[ -f "$case_dir/out.php" ]]; then
    if ! cmp -s "$case_dir/out.php" "$run_dir/out.php"; then
        echo "FAIL: the existing out.php was changed"; failed=1
    fi
elif [[ -e "$run_dir/out.php" ]]; then
    echo "FAIL: out.php was created"; failed=1
fi

exit $failed
