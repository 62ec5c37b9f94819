#!/bin/sh
# commands.sh - the command benchmarks for one number of mail names; runs
# inside tests/support/sandbox.sh and prints one cmd_bench row per command.
#
# Usage: commands.sh BUILD_DIR COUNT [RUNS] [COMMAND...]
# The server and the plans are bench_server.sh's. Before every run the server
# is put back as it was (untimed). Next to each command runs its floor: the
# postmap/postconf command lines it must run, by hand, on the same data.
set -eu

if [ "${SANDBOX:-}" != 1 ]; then
    echo "commands.sh: it writes fixed paths; run it through tests/support/sandbox.sh" >&2
    exit 2
fi
build=$1
count=$2
runs=${3:-5}
shift 2
[ "$#" -gt 0 ] && shift
all="add-domain add-mailname add-alias rename-mailname remove-domain set-mail-params status-service"
commands=${*:-$all}

case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
here=$(cd "$here" && pwd)
. "$here/bench_server.sh"

# bench NAME ARGS... - one row: the command against its plan.
bench() {
    name=$1
    shift
    "$runner" --runs "$runs" --before "sh $work/restore.sh" --floor "$plans/$name" \
        --log "$work/$name.log" "$name" "$count" -- "$mxadmin" "$@" || status=1
}

status=0
for c in $commands; do
    case $c in
    add-domain) bench "$c" --add-domain --domain-name=new.example ;;
    add-mailname) bench "$c" --add-mailname --domain-name=bench.example --mailname=newbox ;;
    add-alias)
        bench "$c" --add-alias --domain-name=bench.example --mailname=box1 --alias=newalias
        ;;
    rename-mailname)
        bench "$c" --rename-mailname --domain-name=bench.example --old-mailname=box2 \
            --new-mailname=box2renamed
        ;;
    remove-domain) bench "$c" --remove-domain --domain-name=bench.example ;;
    set-mail-params) bench "$c" --set-mail-params --smtpauth ;;
    status-service) bench "$c" --status-service ;;
    *)
        echo "commands.sh: unknown command $c" >&2
        status=2
        ;;
    esac
done
exit $status
