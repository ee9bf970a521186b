#!/usr/bin/env bash
# Checks that a test wrapper takes the program it started down with it. The
# wrapper is given a stand-in for the binary that only sleeps; once the
# stand-in runs, the wrapper is sent SIGNAL, and the stand-in must be gone a
# moment later.
#
#   child_process_test.sh golden|hostile|php TERM|KILL
#
# TERM is what a timeout or a closed terminal sends and the wrapper traps;
# KILL cannot be trapped and is left to the parent-death signal that setpriv
# gives the child (skipped, status 77, without setpriv).
set -u
tests=$(cd "$(dirname "$0")" && pwd)
wrapper=$1
signal=$2

if [[ $signal == KILL ]] && ! command -v setpriv >/dev/null 2>&1; then
    echo "setpriv is not installed (Debian: util-linux): skipped"
    exit 77
fi
if [[ $wrapper == php ]] && ! command -v php >/dev/null 2>&1; then
    echo "php is not installed, so php/run.sh starts nothing: skipped"
    exit 77
fi

scratch=$(mktemp -d)
stand_in_pid=
trap '[[ -n $stand_in_pid ]] && kill -KILL "$stand_in_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
export STAND_IN_PID_FILE=$scratch/pid
cat >"$scratch/stand-in" <<'STAND_IN'
#!/usr/bin/env bash
echo $$ >"$STAND_IN_PID_FILE.new" && mv "$STAND_IN_PID_FILE.new" "$STAND_IN_PID_FILE"
exec sleep 300
STAND_IN
chmod +x "$scratch/stand-in"

case $wrapper in
golden)
    mkdir "$scratch/case"
    bash "$tests/golden_run.sh" "$scratch/stand-in" "$scratch/case" &
    ;;
hostile) bash "$tests/hostile/run_case.sh" "$scratch/stand-in" lone_carriage_returns & ;;
php)
    mkdir "$scratch/case"
    bash "$tests/php/run.sh" compile "$scratch/stand-in" "$scratch/case" &
    ;;
*)
    echo "unknown wrapper $wrapper"
    exit 2
    ;;
esac
wrapper_pid=$!

for ((i = 0; i < 300; i++)); do
    [[ -s $STAND_IN_PID_FILE ]] && break
    sleep 0.1
done
if [[ ! -s $STAND_IN_PID_FILE ]]; then
    echo "FAIL: the wrapper did not start the stand-in within 30 s"
    kill -KILL "$wrapper_pid"
    exit 1
fi
stand_in_pid=$(cat "$STAND_IN_PID_FILE")

# Gone means no such process, or a zombie that nobody has reaped yet.
gone() {
    local state
    state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 0
    [[ -z $state || $state == Z ]]
}

kill "-$signal" "$wrapper_pid"
wait "$wrapper_pid" 2>/dev/null
for ((i = 0; i < 50; i++)); do
    if gone "$stand_in_pid"; then
        echo "the stand-in (pid $stand_in_pid) ended with the wrapper ($signal)"
        exit 0
    fi
    sleep 0.1
done
echo "FAIL: the stand-in (pid $stand_in_pid) outlived the wrapper ($signal)"
exit 1
