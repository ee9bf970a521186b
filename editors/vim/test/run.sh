#!/usr/bin/env bash
# Runs one of the Lua test scripts here in a headless Neovim with nothing but
# editors/vim on the runtime path: run.sh SCRIPT [NAME=VALUE...] (the pairs go
# to the environment, beside SCRATCH: a fresh folder holding the projects of
# editors/test/make-errors.sh). Exit 77 (skipped) without nvim.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command -v nvim >/dev/null || { echo "nvim not found: skipped"; exit 77; }
script=$here/$1
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
bash "$here/../../test/make-errors.sh" "$scratch"
env SCRATCH="$scratch" "$@" timeout 120 nvim --headless -u NONE -i NONE -n --cmd "set rtp^=${here%/test}" \
    -c "lua local ok, err = pcall(dofile, [[$script]]) if not ok then print(err .. '\n') vim.cmd('cquit 2') end" \
    </dev/null
