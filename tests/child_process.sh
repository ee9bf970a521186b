# Sourced by the test wrappers: runs the program under test so that it never
# outlives the wrapper, whatever ends the wrapper.
#
#   child_run COMMAND ARGS...   runs COMMAND (a program or a shell function)
#                               in the background, waits for it and returns
#                               its exit status
#   child_exec PROGRAM ARGS...  replaces the current (child) shell with
#                               PROGRAM; ends the functions given to child_run
#   child_stop                  kills the child if it is still running; the
#                               wrapper's EXIT trap calls it
#
# bash runs a trap only after the foreground command has ended, so the child
# runs in the background while the wrapper waits for it: a TERM, INT or HUP
# (ctest's timeout, Ctrl-C, a closed terminal) then reaches the trap below at
# once, which kills the child and ends the wrapper. KILL cannot be trapped:
# where setpriv is installed the program starts with KILL as its parent-death
# signal, so the kernel ends it when the wrapper dies.

child_pid=

child_stop() {
    if [[ -n $child_pid ]]; then
        kill -KILL "$child_pid" 2>/dev/null
        wait "$child_pid" 2>/dev/null
        child_pid=
    fi
}

child_exec() {
    if command -v setpriv >/dev/null 2>&1; then
        exec setpriv --pdeathsig KILL -- "$@"
    fi
    exec "$@"
}

child_run() {
    "$@" &
    child_pid=$!
    local status=0
    wait "$child_pid" || status=$?
    child_pid=
    return "$status"
}

trap 'child_stop; exit 129' HUP
trap 'child_stop; exit 130' INT
trap 'child_stop; exit 143' TERM
trap child_stop EXIT
