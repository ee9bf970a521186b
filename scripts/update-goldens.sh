#!/usr/bin/env bash
# Regenerates the expected files of every golden case from a built binary,
# then lists what changed, for review as a diff before committing.
#
#   scripts/update-goldens.sh [BINARY]     BINARY defaults to build/tabula
#
# Each case of tests/golden/ runs through tests/golden_run.sh with
# UPDATE=accept. Nothing is staged: read `git diff tests/golden`, then commit
# the changes or drop them with `git checkout tests/golden`.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binary=${1:-$root/build/tabula}
if [[ ! -x "$binary" ]]; then
    echo "no binary $binary: build it first (cmake --build build --target tabula)" >&2
    exit 2
fi

for case_dir in "$root"/tests/golden/*/; do
    UPDATE=accept bash "$root/tests/golden_run.sh" "$binary" "${case_dir%/}"
done

if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    changes=$(git -C "$root" status --short -- tests/golden)
    if [[ -z "$changes" ]]; then
        echo "every golden case already matches $binary"
    else
        echo "changed golden files (review with: git diff tests/golden):"
        echo "$changes"
    fi
fi
