#!/bin/sh
# sandbox.sh - run a command as root in fresh namespaces over private copies
# of /etc, /var, /usr, /run and /tmp; see sandbox-init.sh for what is inside.
#
# Usage: sandbox.sh CMD [ARGS...]
# Needs root (unshare says "Operation not permitted" otherwise). The exit
# status is CMD's. Every process started inside dies when CMD ends or when
# this process is killed with SIGKILL (as ctest does on a time-out; unshare
# holds SIGTERM back until CMD ends). No change made inside reaches the host.
set -eu

if [ "$#" -eq 0 ]; then
    echo "usage: sandbox.sh CMD [ARGS...]" >&2
    exit 2
fi
# Not dirname: every program started here adds to each test's time.
case $0 in
*/*) here=${0%/*} ;;
*) here=$(dirname "$(command -v "$0")") ;;
esac
case $here in /*) ;; *) here=$PWD/$here ;; esac

# --kill-child: the namespace's first process, and with it every process
# inside, dies with unshare itself (for instance on a test time-out).
exec unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
    --net --uts --ipc /bin/sh "$here/sandbox-init.sh" "$@"
