# Real database servers for the tests, started and stopped by the test itself:
# PostgreSQL 15 and MariaDB on unix sockets in scratch folders (no systemd, no
# network port), and SQLite database files in a scratch folder. Source it from
# bash:
#
#   source tests/sql/servers.sh
#   sql_require postgresql mariadb sqlite   # exit 77 (skipped) if one is missing
#   sql_start postgresql                    # once per server, before use
#   sql_create postgresql t                 # a new, empty database
#   sql_load postgresql t script.sql        # errors fatal; non-zero on failure
#   sql_query postgresql t 'SELECT 1'       # rows on stdout, tab-separated
#
# Every server started is stopped, and every scratch folder removed, when the
# shell exits (an EXIT trap that sql_start installs; a caller with an EXIT
# trap of its own calls sql_stop_all from it). SQL_SCRATCH is the folder of
# this run, made on the first start.
#
# MariaDB starts in about a second, but creating tables costs it tens of
# milliseconds each: keep its cases small.

SQL_PG_BIN=${SQL_PG_BIN:-/usr/lib/postgresql/15/bin}
SQL_SCRATCH=${SQL_SCRATCH:-}
SQL_STARTED=()

# Whether the server's programs are installed.
sql_available() {
    case $1 in
    postgresql) [[ -x $SQL_PG_BIN/initdb && -x $SQL_PG_BIN/pg_ctl ]] && command -v psql >/dev/null &&
        { [[ $(id -u) != 0 ]] || id postgres >/dev/null 2>&1; } ;;
    mariadb) command -v mariadbd >/dev/null && command -v mariadb-install-db >/dev/null &&
        command -v mariadb >/dev/null && command -v mariadb-admin >/dev/null ;;
    sqlite) command -v sqlite3 >/dev/null ;;
    *) return 1 ;;
    esac
}

# Exits 77 (skipped) naming the first of the servers that is not installed.
sql_require() {
    local server
    for server in "$@"; do
        if ! sql_available "$server"; then
            echo "SKIPPED: $server is not installed"
            exit 77
        fi
    done
}

sql__scratch() {
    if [[ -z $SQL_SCRATCH ]]; then
        SQL_SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/tabula-sql.XXXXXX")
        chmod 755 "$SQL_SCRATCH"
        trap sql_stop_all EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
    fi
}

# Runs a PostgreSQL program as the postgres user when we are root (the
# server refuses to run as root), as ourselves otherwise.
sql__as_postgres() {
    if [[ $(id -u) == 0 ]]; then
        local quoted
        printf -v quoted '%q ' "$@"
        su postgres -s /bin/sh -c "$quoted"
    else
        "$@"
    fi
}

sql__start_postgresql() {
    local dir=$SQL_SCRATCH/pg
    mkdir -p "$dir"
    [[ $(id -u) == 0 ]] && chown postgres:postgres "$dir"
    sql__as_postgres "$SQL_PG_BIN/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C --no-sync \
        >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; return 1; }
    SQL_STARTED+=(postgresql)
    sql__as_postgres "$SQL_PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/log" -w \
        -o "-c listen_addresses='' -k $dir -c fsync=off -c max_locks_per_transaction=1024" start \
        >/dev/null || { cat "$dir/log" >&2; return 1; }
}

sql__start_mariadb() {
    local dir=$SQL_SCRATCH/maria
    mkdir -p "$dir"
    mariadb-install-db --no-defaults --user="$(id -un)" --datadir="$dir/data" \
        --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 ||
        { cat "$dir/install.log" >&2; return 1; }
    mariadbd --no-defaults --user="$(id -un)" --datadir="$dir/data" --socket="$dir/sock" --skip-networking \
        --pid-file="$dir/pid" --log-error="$dir/log" --innodb-buffer-pool-size=64M \
        --innodb-flush-log-at-trx-commit=0 </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/server.pid"
    SQL_STARTED+=(mariadb)
    local tries
    for ((tries = 0; tries < 300; tries++)); do
        mariadb-admin --no-defaults --socket="$dir/sock" -uroot ping >/dev/null 2>&1 && return 0
        kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
        sleep 0.1
    done
    cat "$dir/log" >&2
    return 1
}

# Starts `server` (postgresql, mariadb; sqlite needs no server).
sql_start() {
    sql__scratch
    case $1 in
    postgresql) sql__start_postgresql ;;
    mariadb) sql__start_mariadb ;;
    sqlite) mkdir -p "$SQL_SCRATCH/sqlite" ;;
    *) echo "sql_start: unknown server $1" >&2; return 1 ;;
    esac
}

sql__psql() { psql -X -q -h "$SQL_SCRATCH/pg" -U postgres -v ON_ERROR_STOP=1 "$@"; }
sql__mariadb() { mariadb --no-defaults --socket="$SQL_SCRATCH/maria/sock" -uroot --default-character-set=utf8mb4 "$@"; }

# Creates the new, empty database `db`.
sql_create() {
    case $1 in
    postgresql) sql__psql -d postgres -c "CREATE DATABASE \"$2\"" ;;
    mariadb) sql__mariadb -e "CREATE DATABASE \`$2\` CHARACTER SET utf8mb4" ;;
    sqlite) rm -f "$SQL_SCRATCH/sqlite/$2.db" ;;
    esac
}

# Loads `file` into `db` with every error fatal, as the manuals show.
sql_load() {
    case $1 in
    postgresql) sql__psql -d "$2" -f "$3" ;;
    mariadb) sql__mariadb "$2" <"$3" ;;
    sqlite) sqlite3 -bail "$SQL_SCRATCH/sqlite/$2.db" <"$3" ;;
    esac
}

# Runs `query` in `db` and prints its rows, one a line, fields separated by
# tabs, without headers. Read texts back hex-encoded so that no byte of
# theirs can be confused with the separators. SQLite runs the query on a
# connection with foreign keys on.
sql_query() {
    case $1 in
    postgresql) sql__psql -d "$2" -A -t -F $'\t' -c "$3" ;;
    mariadb) sql__mariadb -N -B "$2" -e "$3" ;;
    sqlite) sqlite3 -bail -batch -noheader -separator $'\t' "$SQL_SCRATCH/sqlite/$2.db" \
        "PRAGMA foreign_keys = ON;" "$3" ;;
    esac
}

# Stops every server started and removes the scratch folder.
sql_stop_all() {
    local server dir
    for server in "${SQL_STARTED[@]}"; do
        case $server in
        postgresql)
            sql__as_postgres "$SQL_PG_BIN/pg_ctl" -D "$SQL_SCRATCH/pg/data" -m immediate -w stop >/dev/null 2>&1 ;;
        mariadb)
            dir=$SQL_SCRATCH/maria
            mariadb-admin --no-defaults --socket="$dir/sock" -uroot shutdown >/dev/null 2>&1 ||
                kill "$(cat "$dir/server.pid")" 2>/dev/null
            local tries
            for ((tries = 0; tries < 100; tries++)); do
                kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
                sleep 0.1
            done
            kill -9 "$(cat "$dir/server.pid")" 2>/dev/null ;;
        esac
    done
    SQL_STARTED=()
    [[ -n $SQL_SCRATCH ]] && rm -rf "$SQL_SCRATCH"
    SQL_SCRATCH=
}
