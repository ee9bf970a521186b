#!/usr/bin/env bash
# Regenerates the two parsers from their bison grammars.
#
#   scripts/generate-parsers.sh [OUTDIR]
#
# OUTDIR defaults to src/ of this repository. Each grammar is copied into
# OUTDIR and bison runs from inside OUTDIR with relative file names only, so
# the #line directives name no folder and a generation anywhere else gives
# byte-identical files.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
src="$root/src"
outdir=${1:-$src}
bison=${BISON:-bison}

mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)

for name in definition_parser initializer_parser; do
    if [[ "$src/$name.y" != "$outdir/$name.y" ]]; then
        cp "$src/$name.y" "$outdir/$name.y"
    fi
    (cd "$outdir" && "$bison" -Wall -Werror -o "$name.cpp" --header="$name.hpp" "$name.y")
done
