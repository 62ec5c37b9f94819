#!/bin/sh
# isolation_test.sh - check from the host that a sandbox changes nothing
# outside it: a sandbox that writes a lookup table, main.cf, the user
# database, the panel database and files under every overlaid tree leaves
# the host's copies as they were, and no process of it outlives it.
#
# Usage: isolation_test.sh [MARIADB_CACHE_DIR]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
marker="31337.$$" # a process name no other run can share

# snapshot - content, mode and owner of what the sandbox will write; of the
# trees others may use meanwhile, only the probes.
snapshot() {
    sha1sum /etc/passwd /etc/group /etc/shadow /etc/gshadow
    for d in /etc/postfix /var/spool/postfix /run/mysqld /run/lock/files /etc/hsp /var/qmail; do
        if [ -e "$d" ]; then
            find "$d" -printf '%p %y %m %u %g %s %T@\n' | sort
            find "$d" -type f -exec sha1sum {} + | sort
        else
            echo "absent $d"
        fi
    done
    for p in /tmp /usr/local /run /dev/shm; do
        [ -e "$p/isolation-probe" ] && echo "present $p" || echo "absent $p"
    done
}

snapshot >"$work/before"
status=0
"$here/sandbox.sh" /bin/sh -ec '
    mkdir -p /var/spool/postfix/ostra /etc/hsp /var/qmail/mailnames
    printf "a@example.com x\n" >/var/spool/postfix/ostra/virtual
    postmap hash:/var/spool/postfix/ostra/virtual
    postmap -s hash:/var/spool/postfix/ostra/virtual | grep -q "^a@example.com	x$"
    postconf -e "myhostname = isolation.example"
    echo "intruder:x:4242:4242::/:/bin/false" >>/etc/passwd
    useradd --system -M probe
    echo probe >/etc/hsp/hsp.conf
    echo probe >/run/lock/files/probe
    for p in /tmp /usr/local /run /dev/shm; do echo probe >$p/isolation-probe; done
    if [ -n "$2" ]; then
        "$1/mariadb-start.sh" "$2"
        mariadb --no-defaults hsp -e "INSERT INTO misc VALUES (\"probe\", \"1\")"
    fi
    # Daemon-like children that never end on their own.
    sleep "$3" </dev/null >/dev/null 2>&1 &
    (sleep "$3" </dev/null >/dev/null 2>&1 &)
    exit 7
' isolation "$here" "${1:-}" "$marker" || status=$?

[ "$status" = 7 ] || { echo "FAIL: the sandbox exited $status, not 7" >&2; exit 1; }
snapshot >"$work/after"
diff -u "$work/before" "$work/after" >&2 || { echo "FAIL: the host changed" >&2; exit 1; }
# The namespace's processes die with its first process, which has ended.
sleep 0.2
if ps -eo args | grep -q "^sleep $marker\$"; then
    echo "FAIL: a process of the sandbox outlived it" >&2
    exit 1
fi
echo "isolation: host unchanged, no process left"
