#!/bin/sh
# demo.sh - show the program at work inside a throw-away sandbox.
set -u
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$build" && pwd)/mail/postfix/mxadmin
sandbox=$root/tests/support/sandbox.sh

exec "$sandbox" /bin/sh -c '
bin=$1
show() { printf "\n$ mxadmin %s\n" "$*"; "$bin" "$@"; printf "[exit status %d]\n" $?; }
show --help
show --frobnicate
show --add-domain
' demo "$bin"
