#!/usr/bin/env bash
# Loads PHP definitions with PHP itself, through consumer.php.
#
#   run.sh load FILE.php [EXPECTED.json]   a PHP file the tests already hold
#   run.sh compile TABULA CASE_DIR         compiles CASE_DIR/main.def with
#                                          TABULA, then loads the result with
#                                          CASE_DIR/expected.json
#
# Exits 77 (reported by ctest as skipped) when php is not installed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../child_process.sh"

if ! command -v php >/dev/null 2>&1; then
    echo "php is not installed (Debian: apt-get install php-cli): skipped"
    exit 77
fi

# Loaded twice, with no setting of our own about the opening tag: once with
# the installed php.ini (which ships short_open_tag=Off), once with none at all
# (-n: PHP's built-in defaults, where short tags are on). Under both the file
# must give back the same arrays and run nothing written inside its strings.
load() {  # php-file [expected-json]
    child_run child_exec php -d display_errors=stderr "$here/consumer.php" "$@" || return
    child_run child_exec php -n -d display_errors=stderr "$here/consumer.php" "$@"
}

case "${1:-}" in
load)
    php_file=$2
    expected=${3:-}
    if [[ -n "$expected" && ! -f "$expected" ]]; then
        echo "note: no $expected, so $php_file is checked for its shape only"
        load "$php_file"
    elif [[ -n "$expected" ]]; then
        load "$php_file" "$expected"
    else
        load "$php_file"
    fi
    ;;
compile)
    tabula=$2
    case_dir=$3
    work=$(mktemp -d)
    trap 'child_stop; rm -rf "$work"' EXIT
    child_run child_exec "$tabula" --output "$work/out.php" "$case_dir/main.def" || {
        echo "FAIL: tabula exited with status $?"
        exit 1
    }
    load "$work/out.php" "$case_dir/expected.json"
    ;;
*)
    echo "usage: $0 load FILE.php [EXPECTED.json] | compile TABULA CASE_DIR" >&2
    exit 2
    ;;
esac
