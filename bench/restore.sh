#!/bin/sh
# restore.sh - --check-mail-config on a consistent server and
# --restore-mail-config into empty lookup tables, against their floors: the
# tables dumped with postmap -s, and the tables built once with postmap.
# Runs inside tests/support/sandbox.sh; prints one row per size.
#
# Usage: restore.sh BUILD_DIR COUNT...
# Goals: check within twice the dumps, restore within 1.5 times the build,
# the program's peak RSS under 64 MiB. The check also looks at every mail
# home, so its floor (x_floor) adds what find costs to look at them.
set -eu

if [ "${SANDBOX:-}" != 1 ]; then
    echo "restore.sh: it writes fixed paths; run it through tests/support/sandbox.sh" >&2
    exit 2
fi
build=$1
shift
here=$(cd "$(dirname "$0")/.." && pwd)
mxadmin=$build/mail/postfix/mxadmin
spool=/var/spool/postfix/ostra
work=$TMPDIR/restore-bench
tables="virtual_domains vmailbox virtual"

# measure CMD... - "wall_s cpu_s peak_kib" of one run (children included).
measure() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
rc = subprocess.call(sys.argv[1:], stdout=subprocess.DEVNULL)
wall = time.monotonic() - start
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.2f %.2f %d %d" % (wall, r.ru_utime + r.ru_stime, r.ru_maxrss, rc))
PY
}

"$here/tests/support/mariadb-start.sh" >/dev/null
printf '#!/bin/sh\nexit 0\n' >/etc/init.d/postfix
chmod 755 /etc/init.d/postfix
echo "names  records  dump_s  homes_s  check_s  x_dump  x_floor  build_s  restore_s  x_build  check_MiB  restore_MiB"
for count in "$@"; do
    rm -rf "$work" "$spool" /var/qmail/mailnames
    mkdir -p "$work" "$spool" /var/qmail/mailnames
    "$build/bench/bench_fixture" "$count" "$work" --consistent
    mariadb --no-defaults --database=hsp -e "DELETE FROM domains; DELETE FROM domainaliases;
        DELETE FROM mail; DELETE FROM mail_aliases; DELETE FROM Limits;"
    mariadb --no-defaults <"$work/panel.sql"
    for t in $tables aliases blacklists; do
        : >"$work/empty-$t"
        /usr/sbin/postmap "hash:$work/empty-$t"
        cp "$work/empty-$t.db" "$spool/$t.db"
    done
    # The homes and quota files, made once by the command itself.
    "$mxadmin" --restore-mail-config >/dev/null
    records=0
    for t in $tables; do records=$((records + $(wc -l <"$work/$t"))); done

    set -- $(measure sh -c "for t in $tables; do /usr/sbin/postmap -s hash:$spool/\$t; done")
    dump=$1
    # What looking at every mail home costs by itself: each home, its Maildir
    # and .qmail examined, each quota file's first line read.
    set -- $(measure sh -c "find /var/qmail/mailnames -mindepth 2 -maxdepth 3 -printf '%y %m %u\n' >/dev/null && find /var/qmail/mailnames -mindepth 4 -maxdepth 4 -name maildirsize -exec head -qn1 {} + >/dev/null")
    homes=$1
    set -- $(measure "$mxadmin" --check-mail-config)
    check=$1 check_kib=$3
    [ "$4" = 0 ] || echo "restore.sh: the fixture is not consistent (check exit $4)" >&2

    for t in $tables; do cp "$work/empty-$t.db" "$spool/$t.db"; done
    set -- $(measure "$mxadmin" --restore-mail-config)
    restore=$1 restore_kib=$3
    set -- $(measure sh -c "cd $work && for t in $tables; do /usr/sbin/postmap hash:\$PWD/\$t; done")
    built=$1
    python3 -c "
d, h, c, b, r = $dump, $homes, $check, $built, $restore
print('%6d %8d %7.2f %8.2f %8.2f %7.2f %8.2f %8.2f %10.2f %8.2f %10.1f %12.1f' % ($count,
      $records, d, h, c, c / d, c / (d + h), b, r, r / b, $check_kib / 1024, $restore_kib / 1024))"
done
