#!/usr/bin/env bash
# The VS Code extension's tests:
#   run.sh grammar                   the grammar on the annotated samples here
#   run.sh package FILE.vsix         a look inside the .vsix the build packaged
#   run.sh problem-matcher TABULA    the problem matcher on real tabula output
# Exit 77 (skipped) when node, or the npm packages that `npm ci` installs in
# editors/vscode, are missing.
set -euo pipefail
extension=$(cd "$(dirname "$0")/.." && pwd)
bin=$extension/node_modules/.bin
skip() { echo "$1: skipped"; exit 77; }
command -v node >/dev/null || skip "node not found"
cd "$extension"

case $1 in
grammar)
    [[ -x $bin/vscode-tmgrammar-test ]] || skip "vscode-tmgrammar-test not installed (npm ci in editors/vscode)"
    exec timeout 120 "$bin/vscode-tmgrammar-test" -g syntaxes/tabula.tmLanguage.json 'test/*.def'
    ;;
package)
    [[ -x $bin/vsce ]] || skip "vsce not installed (npm ci in editors/vscode)"
    command -v python3 >/dev/null || skip "python3 not found"
    vsix=$2
    [[ -f $vsix ]] || skip "the build made no $vsix (vsce was installed after the build was configured)"
    node --check extension.js
    listing=$(python3 -m zipfile -l "$vsix")
    for entry in extension/package.json extension/extension.js extension/language-configuration.json \
                 extension/syntaxes/tabula.tmLanguage.json extension/node_modules/vscode-languageclient/node.js; do
        grep -q " *$entry " <<<"$listing" || { echo "$entry missing from $vsix"; exit 1; }
    done
    if grep -E ' *extension/(test/|node_modules/(@vscode/vsce|vscode-tmgrammar-test)/)' <<<"$listing"; then
        echo "test files or development packages in $vsix"
        exit 1
    fi
    echo "checked $vsix"
    ;;
problem-matcher)
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    timeout 120 node test/problem-matcher.js "$2" "$scratch"
    ;;
*)
    echo "usage: run.sh grammar | package FILE.vsix | problem-matcher TABULA" >&2
    exit 2
    ;;
esac
