#!/bin/sh
# mariadb-start.sh - start the control panel's database server inside a
# sandbox (sandbox.sh): a private server on the default socket
# /run/mysqld/mysqld.sock with database "hsp" (panel_schema.sql) and the
# account "admin"@"localhost", whose password goes to /etc/hsp/.hsp.shadow.
#
# Usage: mariadb-start.sh [CACHE_DIR]
# The server's data directory is copied from a template kept in CACHE_DIR
# (default: a directory private to this sandbox). The template is made on
# first use, and again when this script, the schema or the server program is
# newer than it; a lock lets parallel sandboxes share one cache directory.
# The server runs in the sandbox's pid namespace and dies with the sandbox.
# Starting a running server again does nothing. Exit status 0 when it
# answers, else 1 with the reason on standard error.
set -eu

if [ "${SANDBOX:-}" != 1 ]; then
    echo "mariadb-start.sh: refusing to run outside sandbox.sh" >&2
    exit 1
fi

case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
case $here in /*) ;; *) here=$PWD/$here ;; esac
script=$here/mariadb-start.sh
schema=$here/panel_schema.sql
cache=${1:-$TMPDIR/mariadb-cache}
template=$cache/template
run=/run/mysqld
socket=$run/mysqld.sock
admin_password=sandbox-panel-admin

# Server options: small files and caches keep copying and starting cheap.
# The InnoDB file layout must be the same when the template is made.
innodb="--innodb-data-file-path=ibdata1:1M:autoextend --innodb-autoextend-increment=1
 --innodb-log-file-size=4M --innodb-buffer-pool-size=8M --innodb-log-buffer-size=1M"
server="--no-defaults --user=mysql --skip-networking --tmpdir=$run/tmp $innodb
 --innodb-temp-data-file-path=ibtmp1:1M:autoextend --innodb-buffer-pool-load-at-startup=OFF
 --innodb-buffer-pool-dump-at-shutdown=OFF --key-buffer-size=1M
 --aria-pagecache-buffer-size=1M --query-cache-size=0 --performance-schema=OFF
 --loose-feedback=OFF --max-connections=30 --skip-name-resolve"

die() {
    echo "mariadb-start.sh: $*" >&2
    exit 1
}

# alive PID - whether the process exists and has not yet ended.
alive() {
    [ -r "/proc/$1/stat" ] || return 1
    read -r _ _ state _ <"/proc/$1/stat" || return 1
    [ "$state" != Z ]
}

# serve DATADIR SOCKET LOG - start a server and wait until it answers; the
# server's pid is left in $server_pid.
serve() {
    # shellcheck disable=SC2086
    mariadbd $server --datadir="$1" --socket="$2" --pid-file="$1/mariadbd.pid" \
        --log-error="$3" </dev/null >/dev/null 2>&1 &
    server_pid=$!
    # Bounded: a loaded machine may need several seconds.
    tries=0
    while :; do
        if [ -S "$2" ] && mariadb-admin --no-defaults --socket="$2" ping >/dev/null 2>&1; then
            return 0
        fi
        if ! alive "$server_pid"; then
            tail -n 20 "$3" >&2 || true
            die "the server exited while starting"
        fi
        tries=$((tries + 1))
        if [ "$tries" -gt 1500 ]; then
            kill -KILL "$server_pid" 2>/dev/null || true
            tail -n 20 "$3" >&2 || true
            die "the server did not answer within 30 seconds"
        fi
        sleep 0.02
    done
}

# fresh - whether the template exists and is newer than what it is made of.
# shellcheck disable=SC3013 # -nt: dash and bash have it, and it costs no process
fresh() {
    [ -f "$template/.complete" ] &&
        ! [ "$script" -nt "$template/.complete" ] &&
        ! [ "$schema" -nt "$template/.complete" ] &&
        ! [ "$(command -v mariadbd)" -nt "$template/.complete" ]
}

# build_template DIR - a new data directory with the panel schema, made by
# a server of its own on a socket of its own.
build_template() {
    rm -rf "$1"
    # shellcheck disable=SC2086 # $innodb is a list of options
    mariadb-install-db --no-defaults --datadir="$1" --user=mysql \
        --auth-root-authentication-method=socket --skip-test-db --skip-name-resolve \
        $innodb >"$run/install.log" 2>&1 || {
        tail -n 20 "$run/install.log" >&2
        die "mariadb-install-db failed"
    }
    serve "$1" "$run/template.sock" "$run/template.log"
    {
        # The sys schema is not needed and doubles the files to copy.
        echo "DROP DATABASE IF EXISTS sys;"
        echo "CREATE DATABASE hsp CHARACTER SET utf8; USE hsp;"
        cat "$schema"
        echo "CREATE USER 'admin'@'localhost' IDENTIFIED BY '$admin_password';"
        # The program only reads the panel database: a write is a fault.
        echo "GRANT SELECT ON hsp.* TO 'admin'@'localhost';"
    } | mariadb --no-defaults --socket="$run/template.sock" >"$run/schema.log" 2>&1 || {
        cat "$run/schema.log" >&2
        kill -KILL "$server_pid"
        die "cannot load $schema"
    }
    mariadb-admin --no-defaults --socket="$run/template.sock" shutdown ||
        die "cannot stop the template server"
    while alive "$server_pid"; do sleep 0.02; done
    rm -f "$1/mariadbd.pid" "$1"/*.err
    : >"$1/.complete"
}

command -v mariadbd >/dev/null || die "mariadbd is missing: run tools/install-deps.sh"
if [ -S "$socket" ] && mariadb-admin --no-defaults ping >/dev/null 2>&1; then
    exit 0
fi
[ -d "$run" ] || die "$run is missing"
if [ ! -d "$run/tmp" ]; then
    mkdir -m 0750 "$run/tmp"
    chown mysql:mysql "$run/tmp"
fi
[ -d "$cache" ] || mkdir -p "$cache"
rm -rf "$run/data"

exec 9>>"$cache/lock"
flock -s 9
if ! fresh; then
    flock -x 9
    if ! fresh; then
        build_template "$run/template"
        rm -rf "$cache"/template.new.* "$template"
        # Sparse: the InnoDB files are mostly zeros.
        cp -a --sparse=always "$run/template" "$cache/template.new.$$"
        mv "$cache/template.new.$$" "$template"
        mv "$run/template" "$run/data"
    fi
    flock -s 9
fi
if [ ! -d "$run/data" ]; then
    cp -a "$template" "$run/data"
fi
exec 9>&-

serve "$run/data" "$socket" "$run/error.log"

[ -d /etc/hsp ] || mkdir -m 0755 /etc/hsp
(
    umask 077
    echo "$admin_password" >/etc/hsp/.hsp.shadow
)
