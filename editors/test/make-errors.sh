#!/usr/bin/env bash
# Writes definition projects that tabula rejects into OUTDIR, for the tests of
# the editors' error parsers, and OUTDIR/cases.tsv: one line per project with
# its root file, the file and line the error must be reported at, and the
# start of the message. The folder's name holds " in ", and one message holds
# " in " followed by something that looks like a location.
set -euo pipefail
out=$(cd "$1" && pwd)
base="$out/work in progress"

mkdir -p "$base/include-error"
cat > "$base/include-error/main.def" <<'DEF'
/* tabula */
type id_t = "INTEGER";
include "sub.def";
DEF
cat > "$base/include-error/sub.def" <<'DEF'
table t {
    primary id_t id;
    id_t other
};
DEF

mkdir -p "$base/message-in"
cat > "$base/message-in/main.def" <<'DEF'
/* tabula */
type id_t = "INTEGER";

query q = "SELECT a{FIELD:x in /tmp/y.def:7} FROM t";
DEF

printf '%s\t%s\t%s\t%s\n' \
    "$base/include-error/main.def" "$base/include-error/sub.def" 4 "syntax error, unexpected '}'" \
    "$base/message-in/main.def" "$base/message-in/main.def" 4 'Unable to resolve SQL type "x in /tmp/y.def:7"' \
    > "$out/cases.tsv"
