#!/usr/bin/env bash
# Writes definition projects that tabula rejects into OUTDIR, for the tests of
# the editors' error parsers, and OUTDIR/cases.tsv: one line per project with
# its root file, the file and line the error must be reported at, and the
# start of the message. The folder's name holds " in ", one message holds
# " in " followed by something that looks like a location, and a folder
# "check in " (with the blank) puts " in /" into paths, also under that
# message. OUTDIR/lint.tsv holds lines of tabula-lint's findings: the line,
# its file, line number and message.
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

# " in /" in the path, with a plain message and with the one above.
mkdir -p "$base/check in /plain" "$base/check in /quoted"
cat > "$base/check in /plain/main.def" <<'DEF'
/* tabula */
type id_t = "INTEGER";
table t { primary id_t id [outgoing: missing]; };
DEF
cp "$base/message-in/main.def" "$base/check in /quoted/main.def"

printf '%s\t%s\t%s\t%s\n' \
    "$base/include-error/main.def" "$base/include-error/sub.def" 4 "syntax error, unexpected '}'" \
    "$base/message-in/main.def" "$base/message-in/main.def" 4 'Unable to resolve SQL type "x in /tmp/y.def:7"' \
    "$base/check in /plain/main.def" "$base/check in /plain/main.def" 3 'Link to unknown table "missing"' \
    "$base/check in /quoted/main.def" "$base/check in /quoted/main.def" 4 \
    'Unable to resolve SQL type "x in /tmp/y.def:7"' \
    > "$out/cases.tsv"

lint_file="$base/check in /plain/main.def"
printf '%s\t%s\t%s\t%s\n' \
    "$lint_file:3: warning: link field \"id\" has no index [link-unindexed]" "$lint_file" 3 \
    'link field "id" has no index [link-unindexed]' \
    "$lint_file:12: warning: name \"a in /x:3\" is reserved [name-reserved]" "$lint_file" 12 \
    'name "a in /x:3" is reserved [name-reserved]' \
    > "$out/lint.tsv"
