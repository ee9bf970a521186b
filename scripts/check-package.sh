#!/usr/bin/env bash
# Checks the installation of a build: `cmake --install` into a scratch prefix
# and the Debian package made by `cpack -G DEB`, unpacked into a scratch root.
# In both, the binary and the manual page must be in place, the binary must
# print its usage for --help (exit status 1) and compile the installed example
# project into the expected PHP; the companion tools and the editor packages
# the build made must be in place too.
#
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)

if [[ $# -ne 1 || ! -f "$1/CMakeCache.txt" ]]; then
    echo "usage: $0 BUILD_DIR (a configured and built build folder)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

expected_usage() {
    cat <<'USAGE'
Usage: tabula [OPTION] ... FILE

--                     stop processing command-line options,
                       should be followed by an input filename
--help                 display this help and exit
--output filename      output PHP definitions to filename

USAGE
}

# check_tree LABEL BINARY MAN_PAGE DOC_DIR
check_tree() {
    local label=$1 binary=$2 man_page=$3 doc_dir=$4
    echo "-- $label"
    if [[ -x "$binary" ]]; then
        echo "binary:      $binary"
    else
        fail "$label: no executable $binary"
        return
    fi
    if [[ -f "$man_page" ]]; then
        echo "manual page: $man_page"
        local page
        page=$(gzip -dc "$man_page")
        grep -q '^\.TH TABULA 1 ' <<<"$page" || fail "$label: $man_page is not the tabula manual page"
        if command -v groff >/dev/null 2>&1; then
            local warnings
            warnings=$(groff -man -ww -z <<<"$page" 2>&1) || true
            [[ -z "$warnings" ]] || fail "$label: groff warns about the manual page: $warnings"
        fi
    else
        fail "$label: no manual page $man_page"
    fi

    local status=0
    "$binary" --help >"$scratch/usage" 2>"$scratch/usage.err" || status=$?
    [[ $status -eq 1 ]] || fail "$label: --help exited with status $status, expected 1"
    expected_usage | cmp -s - "$scratch/usage" || fail "$label: --help printed $(head -c 200 "$scratch/usage")"
    [[ ! -s "$scratch/usage.err" ]] || fail "$label: --help wrote to standard error"

    for doc in README.md language.md examples/shop/main.def; do
        [[ -f "$doc_dir/$doc" ]] || fail "$label: no $doc_dir/$doc"
    done
    status=0
    "$binary" --output "$scratch/shop.php" "$doc_dir/examples/shop/main.def" || status=$?
    if [[ $status -ne 0 ]]; then
        fail "$label: compiling the installed example exited with status $status"
    elif ! cmp -s "$scratch/shop.php" "$source_dir/tests/examples/shop.php"; then
        fail "$label: the installed example compiles to other PHP than tests/examples/shop.php"
    else
        echo "example:     compiled as expected"
    fi
    rm -f "$scratch/shop.php"
}

# --- tabula-export ---------------------------------------------------------------
# Where the build has tabula-export (nlohmann-json was found), the tree must
# hold it, its manual page and the JSON Schema, and it must export the
# installed example.
check_export_tree() {  # LABEL ROOT (the tree's prefix: bin/, share/)
    local label=$1 root=$2
    [[ -x "$build/export/tabula-export" ]] || return 0
    local binary=$root/bin/tabula-export
    if [[ ! -x "$binary" ]]; then
        fail "$label: no executable $binary"
        return
    fi
    echo "export:      $binary"
    gzip -dc "$root/share/man/man1/tabula-export.1.gz" 2>/dev/null | grep -q '^\.TH TABULA-EXPORT 1 ' ||
        fail "$label: no tabula-export manual page"
    [[ -f "$root/share/doc/tabula/tabula-schema.json" ]] || fail "$label: no tabula-schema.json"
    local status=0
    "$binary" --help >"$scratch/export-usage" || status=$?
    [[ $status -eq 1 ]] && grep -q '^Usage: tabula-export ' "$scratch/export-usage" ||
        fail "$label: tabula-export --help exited with $status: $(head -c 200 "$scratch/export-usage")"
    status=0
    "$binary" "$root/share/doc/tabula/examples/shop/main.def" >"$scratch/shop.json" || status=$?
    [[ $status -eq 0 ]] && grep -q '"format": "tabula-schema"' "$scratch/shop.json" ||
        fail "$label: exporting the installed example exited with $status"
}
# --- end of tabula-export -----------------------------------------------------------

# --- tabula-diff -------------------------------------------------------------------
# Where the build has tabula-diff, the tree must hold it and its manual page,
# and it must find nothing to migrate between the installed example and
# itself (status 0 with --exit-code, an empty script).
check_diff_tree() {  # LABEL ROOT
    local label=$1 root=$2
    [[ -x "$build/diff/tabula-diff" ]] || return 0
    local binary=$root/bin/tabula-diff
    if [[ ! -x "$binary" ]]; then
        fail "$label: no executable $binary"
        return
    fi
    echo "diff:        $binary"
    gzip -dc "$root/share/man/man1/tabula-diff.1.gz" 2>/dev/null | grep -q '^\.TH TABULA-DIFF 1 ' ||
        fail "$label: no tabula-diff manual page"
    local status=0 example=$root/share/doc/tabula/examples/shop/main.def
    "$binary" --dialect postgresql --exit-code "$example" "$example" >"$scratch/migration.sql" || status=$?
    [[ $status -eq 0 && ! -s "$scratch/migration.sql" ]] ||
        fail "$label: tabula-diff of the installed example against itself exited with $status"
}
# --- end of tabula-diff ------------------------------------------------------------

echo "== cmake --install"
cmake --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log"
check_tree "cmake --install" "$scratch/prefix/bin/tabula" \
    "$scratch/prefix/share/man/man1/tabula.1.gz" "$scratch/prefix/share/doc/tabula"
check_export_tree "cmake --install" "$scratch/prefix"
check_diff_tree "cmake --install" "$scratch/prefix"

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log"
    fail "cpack -G DEB failed"
    exit 1
}
debs=("$scratch"/package/tabula_*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f "${debs[0]}" ]]; then
    fail "cpack made no single tabula_*.deb: $(ls "$scratch/package")"
    exit 1
fi
deb=${debs[0]}
echo "package:     $(basename "$deb")"
[[ "$(dpkg-deb --field "$deb" Package)" == tabula ]] || fail "the package is not named tabula"
depends=$(dpkg-deb --field "$deb" Depends)
echo "depends:     $depends"
[[ "$depends" == *libc6* ]] || fail "the package does not depend on libc6"
dpkg-deb --extract "$deb" "$scratch/root"
check_tree "Debian package" "$scratch/root/usr/bin/tabula" \
    "$scratch/root/usr/share/man/man1/tabula.1.gz" "$scratch/root/usr/share/doc/tabula"
check_export_tree "Debian package" "$scratch/root/usr"
check_diff_tree "Debian package" "$scratch/root/usr"

# --- language server ----------------------------------------------------------
# When the build made tabula-lsp, both trees hold it and its manual page, and
# the installed server answers an initialize and a shutdown and exits with 0.
# check_lsp LABEL BINARY MAN_PAGE
check_lsp() {
    local label=$1 binary=$2 man_page=$3
    [[ -x "$binary" ]] || { fail "$label: no executable $binary"; return; }
    gzip -dc "$man_page" 2>/dev/null | grep -q '^\.TH TABULA-LSP 1 ' || fail "$label: no manual page $man_page"
    local initialize='{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{}}}'
    local shutdown='{"jsonrpc":"2.0","id":2,"method":"shutdown"}'
    local exit_message='{"jsonrpc":"2.0","method":"exit"}'
    local status=0
    printf 'Content-Length: %d\r\n\r\n%sContent-Length: %d\r\n\r\n%sContent-Length: %d\r\n\r\n%s' \
        ${#initialize} "$initialize" ${#shutdown} "$shutdown" ${#exit_message} "$exit_message" |
        timeout 30 "$binary" >"$scratch/lsp.out" || status=$?
    if [[ $status -ne 0 ]] || ! grep -q '"definitionProvider":true' "$scratch/lsp.out"; then
        fail "$label: tabula-lsp exited with status $status, output $(head -c 200 "$scratch/lsp.out")"
    else
        echo "lsp:         $binary answers and exits with 0"
    fi
}
if [[ -x "$build/lsp/tabula-lsp" ]]; then
    check_lsp "cmake --install" "$scratch/prefix/bin/tabula-lsp" "$scratch/prefix/share/man/man1/tabula-lsp.1.gz"
    check_lsp "Debian package" "$scratch/root/usr/bin/tabula-lsp" "$scratch/root/usr/share/man/man1/tabula-lsp.1.gz"
fi
# --- end of language server -------------------------------------------------------

# --- editor packages -------------------------------------------------------------
# Both trees hold the Vim files (without their tests) where Neovim and Debian's
# Vim look for them, and Neovim started on that tree alone knows a marked file
# as a tabula file; and the .vsix where the build packaged one.
check_editors() {  # LABEL ROOT (the tree's prefix: share/)
    local label=$1 root=$2 folder file vsix
    for folder in nvim/site vim/vimfiles; do
        while IFS= read -r file; do
            cmp -s "$source_dir/editors/vim/$file" "$root/share/$folder/$file" ||
                fail "$label: share/$folder/$file is not editors/vim/$file"
        done < <(cd "$source_dir/editors/vim" && find . -path ./test -prune -o -type f -printf '%P\n')
        [[ ! -e "$root/share/$folder/test" ]] || fail "$label: the Vim files' tests are installed"
    done
    if command -v nvim >/dev/null 2>&1; then
        printf '/* tabula: a marked file */\n' >"$scratch/marked.def"
        local found
        found=$(cd "$scratch" && HOME=$scratch XDG_CONFIG_HOME=$scratch/none XDG_DATA_HOME=$scratch/none \
            XDG_DATA_DIRS=$root/share timeout 30 nvim --headless -u NORC marked.def \
            -c 'lua io.stdout:write(vim.bo.filetype .. " " .. tostring(vim.b.current_syntax))' -c 'qa!' 2>&1) || true
        [[ "$found" == "tabula tabula" ]] || fail "$label: Neovim on the installed files gives filetype and syntax '$found'"
    fi
    echo "vim files:   $root/share/nvim/site, $root/share/vim/vimfiles"
    for vsix in "$build"/editors/tabula-*.vsix; do
        [[ -f "$vsix" ]] || continue
        cmp -s "$vsix" "$root/share/tabula/vscode/$(basename "$vsix")" ||
            fail "$label: share/tabula/vscode/$(basename "$vsix") is not the .vsix of the build"
        echo "vscode:      $root/share/tabula/vscode/$(basename "$vsix")"
    done
}
check_editors "cmake --install" "$scratch/prefix"
check_editors "Debian package" "$scratch/root/usr"
# --- end of editor packages -------------------------------------------------------

# --- tabula-lint ------------------------------------------------------------------
# When the build made tabula-lint, both trees hold it and its manual page, and
# it finds nothing in the installed example.
# check_lint LABEL ROOT (the tree's prefix: bin/, share/)
check_lint() {
    local label=$1 root=$2
    local binary=$root/bin/tabula-lint
    [[ -x "$binary" ]] || { fail "$label: no executable $binary"; return; }
    gzip -dc "$root/share/man/man1/tabula-lint.1.gz" 2>/dev/null | grep -q '^\.TH TABULA-LINT 1 ' ||
        fail "$label: no tabula-lint manual page"
    local status=0
    "$binary" --help >"$scratch/lint-usage" || status=$?
    [[ $status -eq 1 ]] && grep -q '^Usage: tabula-lint ' "$scratch/lint-usage" ||
        fail "$label: tabula-lint --help exited with $status: $(head -c 200 "$scratch/lint-usage")"
    status=0
    "$binary" "$root/share/doc/tabula/examples/shop/main.def" >"$scratch/lint.out" || status=$?
    [[ $status -eq 0 && ! -s "$scratch/lint.out" ]] ||
        fail "$label: linting the installed example exited with $status: $(head -c 300 "$scratch/lint.out")"
    echo "lint:        $binary"
}
if [[ -x "$build/lint/tabula-lint" ]]; then
    check_lint "cmake --install" "$scratch/prefix"
    check_lint "Debian package" "$scratch/root/usr"
fi
# --- end of tabula-lint -----------------------------------------------------------

if ((failures)); then
    echo "$failures installation check(s) failed"
    exit 1
fi
echo "installation checks passed"
