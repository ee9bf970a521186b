#!/usr/bin/env bash
# Installs what the tests need on Debian 12, so that ctest skips none of them:
# the Debian packages below, then the npm packages pinned in the folders of
# NPM_FOLDERS (`npm ci`).
#
#   scripts/setup-tests.sh      as root: installs whatever is missing
#                               otherwise: prints the apt-get line to run as
#                               root and exits 0; the tests that need what is
#                               missing report Skipped
#
# Each step is skipped when already done, so a second run takes a second or
# two. The README's test command and .ci/run both start with this script.
set -euo pipefail
cd "$(dirname "$0")/.."

# --- Debian packages -------------------------------------------------------------
# One package a line, under the heading of what needs it. A new test that
# needs a package adds it here (and nowhere else).
PACKAGES=(
    # building, formatting (CI), the installed-tree and package checks
    cmake
    g++
    make
    git
    clang-format
    dpkg-dev
    groff-base
    bison
    # unit tests
    libgtest-dev
    # message tests, protocol tests, the export consumers' checks
    python3
    python3-jsonschema
    # PHP consumer tests
    php-cli
    # tabula-export and tabula-lsp, and their consumers
    nlohmann-json3-dev
    graphviz
    chromium
    # editor packages and the server's end-to-end test (node and npm come
    # with Debian's nodejs, or with a nodejs package that bundles npm)
    neovim
    nodejs
    # output-file tests: access lists, extended attributes, small file systems
    acl
    attr
    e2fsprogs
    # SQL writers: the real servers and their client libraries
    postgresql
    mariadb-server
    sqlite3
    libpq-dev
    libmariadb-dev
    libsqlite3-dev
    # benchmarks, fuzzing, memcheck (.ci/run)
    libbenchmark-dev
    clang
    libclang-rt-14-dev
    valgrind
)

# Folders whose package-lock.json pins the npm packages their tests run, with
# the options of their `npm ci`.
NPM_FOLDERS=(export/test editors/vscode lint/test)
declare -A NPM_OPTIONS=(
    [export/test]="--no-audit --no-fund --loglevel=error"
    [editors/vscode]="--no-audit --no-fund --loglevel=error --prefer-offline --omit=optional"
    [lint/test]="--no-audit --no-fund --loglevel=error"
)
# --- end of Debian packages ---------------------------------------------------------

missing_packages() {
    local package status
    for package in "${PACKAGES[@]}"; do
        status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null) || status=
        [[ $status == ii* ]] || echo "$package"
    done
}
# Debian's npm is a package of its own; a nodejs package that bundles npm
# conflicts with it, so npm is asked for only where no npm runs.
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)

mapfile -t missing < <(missing_packages)
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing Debian packages; the tests that need them will report Skipped. As root:"
        echo "    apt-get update && apt-get install -y ${missing[*]}"
        echo "then run $0 again."
    else
        echo "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
fi

# --- npm packages ----------------------------------------------------------------
# `npm ci` reinstalls the pinned packages from scratch, so it runs only when
# package-lock.json changed since the last install (a stamp beside the
# packages keeps its checksum). Puppeteer uses Debian's chromium and
# downloads no browser of its own.
if ! command -v npm >/dev/null 2>&1; then
    echo "npm not found: the tests that need the npm packages of ${NPM_FOLDERS[*]} will report Skipped"
    exit 0
fi
for folder in "${NPM_FOLDERS[@]}"; do
    stamp=$folder/node_modules/.setup-tests-stamp
    sum=$(sha256sum "$folder/package-lock.json" | cut -d' ' -f1)
    if [[ -f $stamp && $(cat "$stamp") == "$sum" ]]; then
        continue
    fi
    echo "npm ci in $folder"
    # shellcheck disable=SC2086 # the options are words
    (cd "$folder" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci ${NPM_OPTIONS[$folder]})
    echo "$sum" >"$stamp"
done
