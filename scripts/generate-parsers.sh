#!/usr/bin/env bash
# Regenerates the two parsers from their bison grammars.
#
#   scripts/generate-parsers.sh [OUTDIR]
#
# OUTDIR defaults to src/generated/ of this repository, the committed copies
# that a build without bison compiles. bison runs in a scratch folder holding
# a copy of the grammar, with relative file names only, so the #line
# directives name no folder and a generation anywhere gives byte-identical
# files.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
src="$root/src"
outdir=${1:-$src/generated}
bison=${BISON:-bison}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$outdir"

for name in definition_parser initializer_parser; do
    cp "$src/$name.y" "$scratch/$name.y"
    (cd "$scratch" && "$bison" -Wall -Werror -o "$name.cpp" --header="$name.hpp" "$name.y")
    cp "$scratch/$name.cpp" "$scratch/$name.hpp" "$outdir/"
done
