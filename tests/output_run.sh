#!/usr/bin/env bash
# The output file under hostile conditions, through the built binary:
#
#   output_run.sh TABULA CASE
#
#   interrupted        SIGKILL, SIGINT, SIGTERM and SIGHUP at random moments of
#                      runs that write a large file
#   reader             PHP includes the file in a loop while it is rewritten
#   concurrent         two runs write the same output at once
#   file_size_limit    the file-size limit (ulimit -f) is smaller than the file
#   full_file_system   the file system fills up (a small tmpfs, in a mount
#                      namespace of its own: needs root)
#   standard_streams   /dev/stdout as the output, into a pipe and a file;
#                      standard input closed
#   links_and_modes    a symbolic link as output, a file mounted over the
#                      output's name (as root), a read-only output, a
#                      read-only folder holding a writable output
#   in_place_concurrent two runs write at once an output that is written in
#                      place (a read-only folder, as the user nobody)
#   kept_attributes    an ACL and an extended attribute, a second hard link,
#                      an owner and a group the writer may not set, an
#                      append-only folder
#   inherited_descriptor  /dev/stdout appended to a log, into a closed pipe,
#                      and /dev/fd/N
#
# After each, the output is the earlier file or the complete new one, never
# anything else, and the folder holds no file but the output. Exits 77 when a
# tool a case needs is missing.
set -u
tabula=$1
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
generator=$here/../bench/generate.py

work=$(mktemp -d)
# Only this shell removes the folder: a background job signalled between its
# fork and its exec is still a copy of this shell, and would run the trap too.
main_shell=$BASHPID
trap '[[ $BASHPID == "$main_shell" ]] && rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir out
failed=0

fail() {
    echo "FAIL: $*"
    failed=1
}
skip() {
    echo "skipped: $*"
    exit 77
}

# A definition file of N tables (N=0: an empty program).
definitions() {  # n file
    if [[ $1 == 0 ]]; then : >"$2"; else python3 "$generator" "$1" "$2" >/dev/null; fi
}

# The folder out/ holds out.php and nothing else.
only_output_in() {  # folder label
    local listing
    listing=$(ls -A "$1")
    [[ $listing == out.php ]] || fail "$2: the folder holds: $(echo "$listing" | tr '\n' ' ')"
}

# out/out.php is byte for byte one of the given files.
output_is_one_of() {  # label file...
    local label=$1
    shift
    for expected in "$@"; do cmp -s out/out.php "$expected" && return 0; done
    fail "$label: out/out.php ($(wc -c <out/out.php) bytes) is neither the old nor the new file"
}

# Two schemas, and their PHP files written once without interference.
prepare() {  # tables-a tables-b
    command -v python3 >/dev/null || skip "python3 is not installed"
    definitions "$1" a.def && definitions "$2" b.def || exit 1
    "$tabula" --output a.php a.def && "$tabula" --output b.php b.def || {
        echo "FAIL: the reference runs failed"
        exit 1
    }
}

case_interrupted() {
    prepare 0 3000
    local start end span
    start=${EPOCHREALTIME/./}
    "$tabula" --output out/out.php b.def
    end=${EPOCHREALTIME/./}
    span=$((end - start + 1))  # microseconds of a whole run
    cp a.php out/out.php
    touch -d @1 out/out.php
    local signals=(KILL INT TERM HUP) round signal delay deadline pid status
    # A background job of a script starts with SIGINT ignored: give it back.
    local start_with_sigint=(env --default-signal=INT)
    if ! env --default-signal=INT true 2>/dev/null; then
        start_with_sigint=(python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])')
    fi
    for round in $(seq 1 10); do
        signal=${signals[round % 4]}
        delay=$((RANDOM * 32768 + RANDOM))
        delay=$((delay % (span * 5 / 4)))
        "${start_with_sigint[@]}" "$tabula" --output out/out.php b.def &
        pid=$!
        # The signal comes after the delay, or as soon as the output changes
        # (a program that writes in place is caught in the middle); the
        # loop uses nothing but shell builtins, to be quick.
        deadline=$((${EPOCHREALTIME/./} + delay))
        while ((${EPOCHREALTIME/./} < deadline)) && [[ ! out/out.php -nt a.php ]]; do :; done
        kill -s "$signal" "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        status=$?
        # Ended by the signal (128 + its number), or finished before it came.
        if [[ $status != 0 && $status != $((128 + $(kill -l "$signal"))) ]]; then
            fail "round $round: SIG$signal after ${delay}us: status $status"
        fi
        output_is_one_of "round $round (SIG$signal after ${delay}us)" a.php b.php
        only_output_in out "round $round (SIG$signal after ${delay}us)"
        cp a.php out/out.php
        touch -d @1 out/out.php  # older than a.php, until a run writes it
    done
}

case_reader() {
    command -v php >/dev/null || skip "php is not installed (Debian: apt-get install php-cli)"
    prepare 400 600
    cp a.php out/out.php
    cat >reader.php <<'EOF'
<?php
// Includes the file over and over until told to stop; every include must
// give one of the two complete schemas.
final class const_sql {
    const DB_PIECE_TEXT = 1; const DB_PIECE_PARAM = 2; const DB_PIECE_RAW = 3;
    const DB_OPTIMIZE_NONE = 0; const DB_OPTIMIZE_INDEX = 1; const DB_OPTIMIZE_PRIMARY = 2;
    const DB_LINK_INCOMING = 0; const DB_LINK_OUTGOING = 1;
}
final class layer {
    public $plsql, $queries, $sequences, $tables, $views;
    public function load(string $path): int {
        $this->tables = null;
        ob_start();
        try {
            include $path;
        } finally {
            $printed = ob_get_clean();
        }
        if ($printed !== '') throw new Exception('the include printed ' . strlen($printed) . ' bytes');
        return is_array($this->tables) ? count($this->tables) : -1;
    }
}
[$path, $stop, $a, $b] = [$argv[1], $argv[2], (int)$argv[3], (int)$argv[4]];
$reads = 0;
$bad = 0;
while (!file_exists($stop)) {
    try {
        $count = (new layer())->load($path);
        if ($count !== $a && $count !== $b) {
            $bad++;
            fwrite(STDERR, "read $reads: $count tables\n");
        }
    } catch (Throwable $error) {
        $bad++;
        fwrite(STDERR, "read $reads: " . get_class($error) . ': ' . $error->getMessage() . "\n");
    }
    $reads++;
}
echo "$reads reads, $bad bad\n";
exit($bad === 0 && $reads > 0 ? 0 : 1);
EOF
    php -d display_errors=stderr reader.php "$work/out/out.php" "$work/stop" 400 600 >reader.out 2>reader.err &
    local reader=$! round
    for round in $(seq 1 6); do
        "$tabula" --output out/out.php b.def || fail "writing b, round $round"
        "$tabula" --output out/out.php a.def || fail "writing a, round $round"
    done
    touch stop
    wait "$reader" || fail "the reader saw a partial file: $(cat reader.out) $(head -5 reader.err)"
    only_output_in out reader
}

case_concurrent() {
    # Nearly the same size, so that the two runs write at the same time.
    prepare 1000 1001
    local round first second
    for round in $(seq 1 4); do
        "$tabula" --output out/out.php a.def &
        first=$!
        "$tabula" --output out/out.php b.def &
        second=$!
        wait "$first" || fail "round $round: the first run failed"
        wait "$second" || fail "round $round: the second run failed"
        output_is_one_of "round $round" a.php b.php
        only_output_in out "round $round"
    done
}

case_file_size_limit() {
    prepare 0 2000
    cp a.php out/out.php
    local status
    (ulimit -f 64 && exec "$tabula" --output out/out.php b.def) >stdout 2>stderr
    status=$?
    [[ $status == 2 ]] || fail "status $status, expected 2"
    printf '%s\n' 'Failed to close PHP output file "out/out.php": 27(File too large)' \
        'Failed to compile the SQL code.' >expected.stderr
    cmp -s stderr expected.stderr || fail "standard error: $(cat stderr)"
    [[ ! -s stdout ]] || fail "standard output: $(cat stdout)"
    output_is_one_of "ulimit -f" a.php
    only_output_in out "ulimit -f"
}

# Runs in a mount namespace of its own, so that the small file system is seen
# by nothing else on the machine.
case_full_file_system() {
    [[ $(id -u) == 0 ]] || skip "making a small file system needs root"
    command -v unshare >/dev/null || skip "unshare is not installed"
    unshare -m --propagation private true 2>/dev/null || skip "no mount namespace may be made here"
    prepare 0 2000
    local status
    unshare -m --propagation private bash -c '
        mount -t tmpfs -o size=256k tmpfs out || exit 77
        cp a.php out/out.php
        "$1" --output out/out.php b.def >stdout 2>stderr
        status=$?
        cp out/out.php after.php
        ls -A out >listing
        exit $status' full "$tabula"
    status=$?
    [[ $status == 77 ]] && skip "no tmpfs may be mounted here"
    [[ $status == 2 ]] || fail "status $status, expected 2"
    printf '%s\n' 'Failed to close PHP output file "out/out.php": 28(No space left on device)' \
        'Failed to compile the SQL code.' >expected.stderr
    cmp -s stderr expected.stderr || fail "standard error: $(cat stderr)"
    cmp -s after.php a.php || fail "the earlier file was changed"
    [[ $(cat listing) == out.php ]] || fail "the folder holds: $(cat listing)"
}

# The standard streams: /dev/stdout as the output, into a pipe (more than the
# pipe holds, read late) and into a file; a run with standard input closed,
# where the files the run opens take its descriptor.
case_standard_streams() {
    prepare 0 2000
    local status
    "$tabula" --output /dev/stdout b.def 2>stderr | { sleep 0.2; cat; } >piped.php
    status=${PIPESTATUS[0]}
    [[ $status == 0 && ! -s stderr ]] || fail "/dev/stdout into a pipe: status $status, $(cat stderr)"
    cmp -s piped.php b.php || fail "/dev/stdout into a pipe: $(wc -c <piped.php) bytes, not those of b.php"
    "$tabula" --output /dev/stdout b.def >out/out.php || fail "/dev/stdout into a file failed"
    output_is_one_of "/dev/stdout into a file" b.php
    only_output_in out "/dev/stdout into a file"

    cp a.php out/out.php
    "$tabula" --output out/out.php b.def <&- >stdout 2>stderr
    status=$?
    [[ $status == 0 && ! -s stdout && ! -s stderr ]] || fail "standard input closed: status $status, $(cat stderr)"
    output_is_one_of "standard input closed" b.php
    only_output_in out "standard input closed"
    "$tabula" --output out/out.php /dev/stdin <&- >stdout 2>stderr
    status=$?
    printf '%s\n' 'Failed to open compiled file "/dev/stdin": 2(No such file or directory)' \
        'Failed to compile the SQL code.' >expected.stderr
    [[ $status == 2 ]] && cmp -s stderr expected.stderr ||
        fail "/dev/stdin with standard input closed: status $status, $(cat stderr)"
    output_is_one_of "/dev/stdin with standard input closed" b.php
}

# As root, the cases about permissions run as the user nobody.
as_user() {
    if [[ $(id -u) == 0 ]]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
    else
        "$@"
    fi
}

case_links_and_modes() {
    prepare 0 200
    # A link, through a second link: both stay, the file they lead to is replaced.
    mkdir real
    cp a.php real/target.php
    chmod 640 real/target.php
    ln -s ../real/target.php out/link.php
    ln -s link.php out/out.php
    "$tabula" --output out/out.php b.def || fail "writing through links failed"
    [[ -L out/out.php && -L out/link.php ]] || fail "a link was replaced by a file"
    cmp -s real/target.php b.php || fail "the link's target was not replaced"
    [[ $(stat -c %a real/target.php) == 640 ]] || fail "the target's permissions were not kept"
    [[ $(ls -A real) == target.php ]] || fail "the target's folder holds: $(ls -A real)"
    rm out/link.php out/out.php

    # A file mounted over the output's name (as containers mount single
    # files) cannot be renamed over: it is rewritten in place.
    if [[ $(id -u) == 0 ]] && unshare -m --propagation private true 2>/dev/null; then
        cp a.php mounted.php
        : >out/out.php
        unshare -m --propagation private bash -c \
            'mount --bind mounted.php out/out.php && "$1" --output out/out.php b.def' mount "$tabula" ||
            fail "the output mounted over its name was not written"
        cmp -s mounted.php b.php || fail "the file mounted over the output was not rewritten"
        rm out/out.php
    fi

    if [[ $(id -u) == 0 ]] && ! setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
        ((failed)) && exit 1
        skip "root may write anywhere, and cannot run as the user nobody here (setpriv)"
    fi
    cp "$tabula" tabula
    chmod 755 "$work" . tabula out
    chmod 644 a.def b.def
    # A read-only output in a writable folder is refused, as before.
    cp a.php out/out.php
    chmod 444 out/out.php
    as_user ./tabula --output out/out.php b.def >stdout 2>stderr
    [[ $? == 2 ]] || fail "a read-only output was written over"
    grep -q '^Failed to open PHP output file "out/out.php": 13(Permission denied)$' stderr ||
        fail "read-only output: $(cat stderr)"
    output_is_one_of "read-only output" a.php
    # A writable output in a read-only folder is rewritten in place.
    chmod 666 out/out.php
    chmod 555 out
    as_user ./tabula --output out/out.php b.def || fail "the output in a read-only folder was not written"
    output_is_one_of "read-only folder" b.php
    only_output_in out "read-only folder"
    chmod 755 out
}

case_in_place_concurrent() {
    [[ $(id -u) != 0 ]] || setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null ||
        skip "cannot run as the user nobody here (setpriv)"
    # Nearly the same size, so that the two runs write at the same time.
    prepare 3000 3001
    cp "$tabula" tabula
    chmod 755 "$work" . tabula
    chmod 644 a.def b.def
    cp a.php out/out.php
    chmod 666 out/out.php
    chmod 555 out
    local round first second
    for round in $(seq 1 10); do
        as_user ./tabula --output out/out.php a.def &
        first=$!
        as_user ./tabula --output out/out.php b.def &
        second=$!
        wait "$first" || fail "round $round: the first run failed"
        wait "$second" || fail "round $round: the second run failed"
        output_is_one_of "round $round" a.php b.php
    done
    # A shorter text over a longer one leaves no tail of the longer.
    as_user ./tabula --output out/out.php b.def && as_user ./tabula --output out/out.php a.def
    output_is_one_of "shorter text" a.php
    only_output_in out "in place"
    chmod 755 out
}

case_kept_attributes() {
    command -v setfacl >/dev/null && command -v setfattr >/dev/null ||
        skip "setfacl and setfattr are not installed (Debian: apt-get install acl attr)"
    prepare 0 200
    # An access control list and a user attribute are carried over.
    cp a.php out/out.php
    setfacl -m u:65534:r out/out.php && setfattr -n user.origin -v deploy out/out.php ||
        skip "the file system takes no ACL or user attribute"
    "$tabula" --output out/out.php b.def || fail "writing the file with an ACL failed"
    output_is_one_of "ACL" b.php
    getfacl -cn out/out.php 2>/dev/null | grep -q '^user:65534:r--$' || fail "the ACL was lost"
    [[ $(getfattr --only-values -n user.origin out/out.php 2>/dev/null) == deploy ]] || fail "the attribute was lost"
    only_output_in out "ACL"
    rm out/out.php

    # A second hard link sees the new text too.
    cp a.php out/out.php
    ln out/out.php second.php
    "$tabula" --output out/out.php b.def || fail "writing a file with two links failed"
    cmp -s second.php b.php || fail "the second hard link kept the old text"
    [[ $(stat -c %h out/out.php) == 2 ]] || fail "the links were split"
    rm out/out.php second.php

    [[ $(id -u) == 0 ]] || skip "changing owners and folder attributes needs root"
    # The writer (nobody, a member of group 100) may set the group but not the
    # owner: both are kept, as the file is written in place.
    if setpriv --reuid=65534 --regid=65534 --groups=100 true 2>/dev/null; then
        cp "$tabula" tabula
        chmod 755 "$work" . tabula
        chmod 644 a.def b.def
        chmod 777 out
        cp a.php out/out.php
        chown 0:100 out/out.php
        chmod 660 out/out.php
        setpriv --reuid=65534 --regid=65534 --groups=100 ./tabula --output out/out.php b.def ||
            fail "the group's member could not write the output"
        output_is_one_of "owner and group" b.php
        [[ $(stat -c %u:%g:%a out/out.php) == 0:100:660 ]] ||
            fail "owner, group and mode became $(stat -c %u:%g:%a out/out.php)"
        only_output_in out "owner and group"
        rm out/out.php
        chmod 755 out
    fi

    # An append-only folder takes new files but lets none be renamed or
    # removed: the output is written in place, and no other file is left.
    command -v chattr >/dev/null || skip "chattr is not installed (Debian: apt-get install e2fsprogs)"
    chattr +a out 2>/dev/null || skip "the file system has no append-only folders"
    "$tabula" --output out/out.php a.def || fail "writing a new output in an append-only folder failed"
    "$tabula" --output out/out.php b.def || fail "rewriting the output in an append-only folder failed"
    local listing
    listing=$(ls -A out)
    chattr -a out
    output_is_one_of "append-only folder" b.php
    [[ $listing == out.php ]] || fail "append-only folder: the folder holds: $(echo "$listing" | tr '\n' ' ')"
}

case_inherited_descriptor() {
    prepare 0 200
    # Appended to a log, never truncating it.
    echo "earlier line" >build.log
    "$tabula" --output /dev/stdout b.def >>build.log || fail "writing to standard output failed"
    { echo "earlier line" && cat b.php; } | cmp -s - build.log || fail "the log was not appended to"
    # Through a numbered descriptor, appending too.
    echo "earlier line" >fd.log
    "$tabula" --output /dev/fd/3 b.def 3>>fd.log || fail "writing to descriptor 3 failed"
    cmp -s build.log fd.log || fail "descriptor 3 was not appended to"
    # Into a pipe whose reader has gone: a write error, status 2.
    local status
    python3 "$generator" 3000 big.def >/dev/null || exit 1
    "$tabula" --output /dev/stdout big.def 2>stderr | head -c 1 >/dev/null
    status=${PIPESTATUS[0]}
    [[ $status == 2 ]] || fail "closed pipe: status $status, expected 2"
    printf '%s\n' 'Failed to close PHP output file "/dev/stdout": 32(Broken pipe)' \
        'Failed to compile the SQL code.' >expected.stderr
    cmp -s stderr expected.stderr || fail "closed pipe: standard error: $(cat stderr)"
}

"case_$case_name"
exit $failed
