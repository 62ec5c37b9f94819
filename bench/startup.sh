#!/bin/sh
# startup.sh - what a run costs before and without any real work: help, a
# usage error, an unknown command; runs inside tests/support/sandbox.sh.
#
# Usage: startup.sh BUILD_DIR [RUNS]
# First table: CPU and wall time over RUNS untraced runs (default 100), next
# to /bin/true, the cost of starting any process here, and to lib_floor, the
# cost of the libraries a command must load, in a process that does nothing
# else. Second table: the instructions callgrind counts, in all and inside
# main (the rest is the dynamic loader, the libraries' and the program's
# static initialisation); skipped without valgrind.
set -eu

if [ "${SANDBOX:-}" != 1 ]; then
    echo "startup.sh: run it through tests/support/sandbox.sh" >&2
    exit 2
fi
build=$1
runs=${2:-100}
mxadmin=$build/mail/postfix/mxadmin
runner=$build/bench/cmd_bench
floor=$build/bench/lib_floor
work=$TMPDIR/startup
mkdir -p "$work"
# An authentication database of ten mail names for lib_floor to open.
"$build/bench/bench_fixture" 10 "$work" >/dev/null
authdb=/var/spool/postfix/ostra/passwd.db

# each FUNCTION - call FUNCTION LABEL ARGS... for every start-up case.
each() {
    "$1" "/bin/true" /bin/true
    "$1" "mxadmin --help" "$mxadmin" --help
    "$1" "mxadmin --add-domain --help" "$mxadmin" --add-domain --help
    "$1" "mxadmin --add-domain" "$mxadmin" --add-domain
    "$1" "mxadmin --no-such-command" "$mxadmin" --no-such-command
    "$1" "lib_floor start" "$floor" start
    "$1" "lib_floor digest (+libcrypto)" "$floor" digest
    "$1" "lib_floor client (+libmariadb)" "$floor" client
    "$1" "lib_floor authdb (+libsqlite3)" "$floor" authdb "$authdb"
}

# timed LABEL CMD... - one row of the first table.
timed() {
    label=$1
    shift
    "$runner" --plain --runs "$runs" --log "$work/log" "$label" -- "$@"
}

# counted LABEL CMD... - one row of the second table.
counted() {
    label=$1
    shift
    out=$work/callgrind.out
    rm -f "$out"
    valgrind --tool=callgrind --callgrind-out-file="$out" "$@" >"$work/log" 2>&1 || true
    total=$(sed -n 's/^totals: *//p' "$out")
    inside=$(callgrind_annotate --inclusive=yes --threshold=100 "$out" 2>/dev/null |
        sed -n 's/,//g; s/^ *\([0-9][0-9]*\) .*[ :]main \[.*/\1/p' | head -n 1)
    printf '%-30s %12s %12s\n' "$label" "$total" "${inside:--}"
}

"$runner" --plain-header
each timed
echo
if ! command -v valgrind >/dev/null || ! command -v callgrind_annotate >/dev/null; then
    echo "(no instruction counts: valgrind is not installed)"
    exit 0
fi
printf '%-30s %12s %12s\n' "command" "instructions" "in_main"
each counted
