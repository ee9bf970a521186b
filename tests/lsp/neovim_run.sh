#!/usr/bin/env bash
# End to end with a real client: Neovim's built-in LSP client, headless,
# drives tabula-lsp over a copy of the example project (neovim_test.lua).
# Skipped (77) when nvim is not installed.
#
#   bash tests/lsp/neovim_run.sh BUILD/lsp/tabula-lsp examples/shop
set -euo pipefail
if ! command -v nvim >/dev/null 2>&1; then
    echo "nvim not installed: skipped"
    exit 77
fi
server=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
example=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$example" "$scratch/shop"
export TABULA_LSP=$server TABULA_SHOP=$scratch/shop HOME=$scratch XDG_CONFIG_HOME=$scratch XDG_DATA_HOME=$scratch \
    XDG_STATE_HOME=$scratch
timeout 120 nvim --headless --clean -u NONE -i NONE -n \
    -c "luafile $(dirname "$0")/neovim_test.lua" </dev/null
