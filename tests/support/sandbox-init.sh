#!/bin/sh
# sandbox-init.sh - first process (pid 1) of a sandbox made by sandbox.sh:
# private mounts, loopback, the popuser account and an empty main.cf, then
# the command, whose exit status it returns.
#
# Inside, the command finds:
#   /etc /var /usr /run /tmp  overlays of the host's directories; every write
#                             lands in an upper layer on a private tmpfs
#   $SANDBOX_UPPER            the upper layers (etc, var, usr, run, tmp):
#                             exactly what was changed inside
#   /var/spool/postfix        a fresh, empty tmpfs (not in the upper layers)
#   /run/mysqld               a fresh, empty tmpfs owned by mysql
#   $TMPDIR                   a private, empty scratch directory (mode 1777)
#   SANDBOX=1, SYSTEMCTL_SKIP_REDIRECT=1
# Process starts are slow on small machines, so this script runs as few
# programs as it can: one mount -a does every mount after the first.
set -eu
trap 'echo "sandbox-init.sh: set-up failed" >&2' EXIT

# Set-up modes do not depend on the caller's umask; the command gets it back.
command_umask=$(umask)
umask 022

# A fresh /dev/shm holds the upper layers, so no host directory is hidden.
stage=/dev/shm/sandbox
mount -t tmpfs -o mode=1777 sandbox-shm /dev/shm
mkdir -p "$stage/upper/etc" "$stage/upper/var" "$stage/upper/usr" "$stage/upper/run" \
    "$stage/work/etc" "$stage/work/var" "$stage/work/usr" "$stage/work/run" "$stage/work/tmp"
# An overlay's root takes its mode and owner from the upper directory: root
# and 0755 as the host's /etc, /var, /usr and /run have them, and 1777 for /tmp.
mkdir -m 1777 "$stage/upper/tmp" "$stage/tmp"

mysql_owner=
while IFS=: read -r name _ uid gid _; do
    if [ "$name" = mysql ]; then
        mysql_owner=",uid=$uid,gid=$gid"
    fi
done </etc/passwd

fstab=$stage/fstab
: >"$fstab"
for d in etc var usr run tmp; do
    echo "sandbox-$d /$d overlay lowerdir=/$d,upperdir=$stage/upper/$d,workdir=$stage/work/$d 0 0" >>"$fstab"
done
cat >>"$fstab" <<FSTAB
sandbox-spool /var/spool/postfix tmpfs mode=755,X-mount.mkdir 0 0
sandbox-mysqld /run/mysqld tmpfs mode=755$mysql_owner,X-mount.mkdir 0 0
FSTAB
mount -a -T "$fstab"

# Keep init scripts from handing their work to the host's service manager.
export SYSTEMCTL_SKIP_REDIRECT=1
if [ -e /run/systemd/system ]; then
    rm -rf /run/systemd/system
fi

# Postfix tools are fatal without main.cf; back-date it so that they do not
# pause for it to "cool down".
if [ -d /etc/postfix ]; then
    : >/etc/postfix/main.cf
    touch -d '-1 min' /etc/postfix/main.cf
fi

mkdir -p /run/lock/files
# Status 9: the host has the account already, which serves as well.
status=0
useradd --system -U -M -d /var/qmail/mailnames -s /usr/sbin/nologin popuser || status=$?
[ "$status" = 0 ] || [ "$status" = 9 ]
ip link set lo up

umask "$command_umask"
export SANDBOX=1 SANDBOX_UPPER="$stage/upper" TMPDIR="$stage/tmp"
# A working directory under an overlaid tree still points at the host's copy.
cd "$PWD" 2>/dev/null || cd /

# Run the command as a child, not by exec: as pid 1 this shell reaps the
# daemons that the command leaves behind.
trap - EXIT
set +e
"$@"
exit $?
