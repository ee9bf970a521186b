#!/usr/bin/env bash
# Fails when the committed generated parsers in src/generated/ are not what
# the grammars generate: regenerates them into a temporary folder and
# compares.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$root/scripts/generate-parsers.sh" "$tmp"

status=0
for name in definition_parser initializer_parser; do
    for ext in cpp hpp; do
        if ! diff -u "$root/src/generated/$name.$ext" "$tmp/$name.$ext"; then
            echo "src/generated/$name.$ext is out of date: run scripts/generate-parsers.sh" >&2
            status=1
        fi
    done
done
exit $status
