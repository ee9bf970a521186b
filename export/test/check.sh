#!/usr/bin/env bash
# The export checked by the real consumers of each format.
#
#   check.sh schema  EXPORT SOURCE          the JSON is valid against docs/tabula-schema.json
#   check.sh agree   EXPORT TABULA SOURCE   tabula's PHP, loaded by php, and the JSON agree
#   check.sh dot     EXPORT SOURCE          dot -Tsvg takes the DOT without a word on stderr
#   check.sh mermaid EXPORT SOURCE...       the Mermaid CLI renders every diagram
#   check.sh refusal EXPORT                 names that are not UTF-8 are refused as JSON
#   check.sh svg     EXPORT SVG             SVG is the dot drawing of examples/shop
#   check.sh expected EXPORT CASE           each CASE/expected.FORMAT is the export
#                                           of CASE/main.def as FORMAT, byte for
#                                           byte, with the case's folder as @DIR@
#                                           (UPDATE=1 rewrites them, and fails)
#
# A SOURCE is a golden case folder (its args name the input, main.def by
# default), a definition file, "hostile" or "hostile-non-utf8" (made by
# hostile.py). Each runs in a scratch copy. A check whose tool is missing
# exits 77, which ctest reports as skipped.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

skip() {
    echo "skipped: $*"
    exit 77
}

fail() {
    echo "FAIL: $*"
    exit 1
}

# Sets `input` to the absolute path of SOURCE's definition file in a copy.
prepare() {  # source [folder-name]
    local source=$1 dir=$work/${2:-case}
    mkdir -p "$dir"
    case "$source" in
    hostile) python3 "$here/hostile.py" "$dir/main.def" && input=$dir/main.def ;;
    hostile-non-utf8) python3 "$here/hostile.py" --non-utf8 "$dir/main.def" && input=$dir/main.def ;;
    *)
        if [[ -d "$source" ]]; then
            cp -R "$source"/. "$dir"/
            input=$dir/main.def
            [[ -f "$source/args" ]] && input=$dir/$(tail -n 1 "$source/args")
        else
            cp -R "$(dirname "$source")"/. "$dir"/
            input=$dir/$(basename "$source")
        fi
        ;;
    esac
}

# Runs the export of `input` in its folder; fails unless it succeeds with
# nothing on standard error.
export_to() {  # format output-file
    (cd "$(dirname "$input")" && "$tool" --format "$1" -- "$input" >"$2" 2>"$work/export.err")
    local status=$?
    [[ $status -eq 0 && ! -s "$work/export.err" ]] || fail "export as $1 exited with $status: $(head -c 2000 "$work/export.err")"
}

python_with_jsonschema=/usr/bin/python3

mode=${1:-}
tool=${2:-}
case "$mode" in
schema)
    "$python_with_jsonschema" -c 'import jsonschema' 2>/dev/null || skip "no jsonschema for $python_with_jsonschema (Debian: python3-jsonschema)"
    prepare "$3"
    export_to json "$work/export.json"
    "$python_with_jsonschema" - "$root/docs/tabula-schema.json" "$work/export.json" <<'PYTHON' || exit 1
import json, sys, jsonschema
schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
document = json.load(open(sys.argv[2], encoding="utf-8"))
errors = list(validator.iter_errors(document))
for error in errors[:10]:
    print("FAIL: %s at %s" % (error.message[:300], "/".join(map(str, error.absolute_path))))
# The validator must notice a stray member: a schema that accepted anything
# would pass every export.
document["tables" if document["tables"] else "types"].append({"name": "x", "file": "/x", "line": 1, "stray": 1})
if validator.is_valid(document):
    print("FAIL: the schema accepts an object with an unknown member")
    sys.exit(1)
sys.exit(1 if errors else 0)
PYTHON
    echo "valid against docs/tabula-schema.json"
    ;;
agree)
    command -v php >/dev/null 2>&1 || skip "php is not installed (Debian: php-cli)"
    tabula=$3
    prepare "$4"
    (cd "$(dirname "$input")" && "$tabula" --output "$work/tabula.php" -- "$input") || fail "tabula failed"
    export_to json "$work/export.json"
    # short_open_tag lets the file start with "<?" as well as "<?php".
    php -n -d short_open_tag=1 -d display_errors=stderr "$here/agree.php" "$work/tabula.php" "$work/export.json"
    ;;
dot)
    command -v dot >/dev/null 2>&1 || skip "dot is not installed (Debian: graphviz)"
    prepare "$3"
    export_to dot "$work/export.dot"
    dot -Tsvg "$work/export.dot" >"$work/export.svg" 2>"$work/dot.err" || fail "dot failed: $(head -c 2000 "$work/dot.err")"
    [[ ! -s "$work/dot.err" ]] || fail "dot warned: $(head -c 2000 "$work/dot.err")"
    echo "dot drew it without a warning"
    ;;
mermaid)
    mmdc=$here/node_modules/.bin/mmdc
    chromium=${PUPPETEER_EXECUTABLE_PATH:-/usr/bin/chromium}
    [[ -x "$mmdc" ]] || skip "no Mermaid CLI (npm ci in export/test)"
    [[ -x "$chromium" ]] || skip "no $chromium (Debian: chromium)"
    shift 2
    # One markdown file of all the diagrams, so that the browser starts once.
    number=0
    for source in "$@"; do
        number=$((number + 1))
        prepare "$source" "case$number"
        export_to mermaid "$work/diagram$number.mmd"
        printf '```mermaid\n%s\n```\n\n' "$(cat "$work/diagram$number.mmd")" >>"$work/all.md"
    done
    (cd "$work" && PUPPETEER_EXECUTABLE_PATH=$chromium timeout 600 "$mmdc" --quiet -p "$here/puppeteer-config.json" \
        -i all.md -o rendered.md >mmdc.log 2>&1) || fail "the Mermaid CLI failed: $(grep -m 5 -A 4 -i error "$work/mmdc.log")"
    rendered=$(ls "$work"/rendered-*.svg 2>/dev/null | wc -l)
    [[ $rendered -eq $number ]] || fail "$rendered of $number diagrams rendered"
    echo "the Mermaid CLI rendered all $number diagrams"
    ;;
refusal)
    prepare hostile-non-utf8
    (cd "$(dirname "$input")" && "$tool" --output out.json "$input" >"$work/out" 2>"$work/err")
    status=$?
    [[ $status -eq 2 ]] || fail "exit status $status, expected 2"
    [[ ! -s "$work/out" && ! -e "$(dirname "$input")/out.json" ]] || fail "something was written"
    line=$(grep -n -a 'caf' "$input" | head -n 1 | cut -d: -f1)
    expected=$(printf 'Cannot export table "caf\xe9 \xff" as JSON: its name is not valid UTF-8 in %s:%s\nFailed to compile the SQL code.' "$input" "$line")
    [[ "$(cat "$work/err")" == "$expected" ]] || fail "standard error: $(cat -v "$work/err")"
    # Overlong forms (of U+0000, U+007F, U+07FF, U+FFFF), surrogates, beyond
    # U+10FFFF, bytes never in UTF-8, a lone continuation, cut sequences.
    for sequence in '\xc0\x80' '\xc1\xbf' '\xe0\x9f\xbf' '\xf0\x8f\xbf\xbf' '\xed\xa0\x80' '\xed\xbf\xbf' \
        '\xf4\x90\x80\x80' '\xf5\x80\x80\x80' '\xfe' '\x80' '\xdf' '\xe2\x82' '\xf0\x9f\x98'; do
        name=$(printf "n${sequence}.")
        printf '%s\n' "view v = first(\"x\", dump_table(\"$name\", 0, array(array(\"id\", \"id_t\", 0, 2, array())), array()));" \
            'function first($kept, $dropped) = $kept;' 'type id_t = "INTEGER";' >"$work/one.def"
        (cd "$work" && "$tool" one.def >"$work/out" 2>"$work/err")
        status=$?
        expected=$(printf 'Cannot export table "%s" as JSON: its name is not valid UTF-8 in %s:1\nFailed to compile the SQL code.' \
            "$name" "$work/one.def")
        [[ $status -eq 2 && ! -s "$work/out" && "$(cat "$work/err")" == "$expected" ]] ||
            fail "the name n${sequence}. gave status $status, standard error: $(cat -v "$work/err")"
    done
    echo "refused with the object's name and declaration"
    ;;
expected)
    prepare "$3"
    dir=$(cd "$(dirname "$input")" && pwd -P)
    input=$dir/main.def
    rewrote=0
    for file in "$3"/expected.*; do
        format=${file##*/expected.}
        export_to "$format" "$work/actual"
        sed -i "s|$dir|@DIR@|g" "$work/actual"
        if [[ "${UPDATE:-0}" == 1 ]]; then
            cmp -s "$file" "$work/actual" || { cp "$work/actual" "$file"; echo "rewrote $file"; rewrote=1; }
        elif ! cmp -s "$file" "$work/actual"; then
            diff "$file" "$work/actual" | head -n 20 | cat -v
            fail "the $format export differs from $file"
        fi
    done
    ((rewrote)) && fail "expected files rewritten"
    echo "every export of $(basename "$3") as expected"
    ;;
svg)
    command -v dot >/dev/null 2>&1 || skip "dot is not installed (Debian: graphviz)"
    input=$root/examples/shop/main.def
    export_to dot "$work/shop.dot"
    dot -Tsvg "$work/shop.dot" >"$work/shop.svg" || fail "dot failed"
    # The version comment differs between Graphviz releases; the drawing not.
    if ! diff <(grep -v '^<!-- Generated by' "$3") <(grep -v '^<!-- Generated by' "$work/shop.svg") >/dev/null; then
        fail "$3 is stale: run  $tool --format dot examples/shop/main.def | dot -Tsvg > $3"
    fi
    echo "$3 is up to date"
    ;;
*)
    echo "usage: see the head of $0" >&2
    exit 2
    ;;
esac
