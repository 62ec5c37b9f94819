#!/bin/sh
# demo.sh - show the program at work inside a throw-away sandbox: a mail
# domain with a quota and an alias domain, mail names with mailboxes,
# passwords, quotas, an alias, a forward and a catch-all, a rename, then the
# lookup tables, the mail tree, the delivery and quota files and the
# authentication rows it all produced. Real Postfix tools, real SQLite, a
# private panel database server. Exits non-zero when any step fails.
#
# Usage: demo.sh [BUILD_DIR]   (default: build)
set -eu

if [ "${SANDBOX:-}" != 1 ]; then
    build=${1:-build}
    root=$(cd "$(dirname "$0")/.." && pwd)
    if [ ! -x "$build/mail/postfix/mxadmin" ]; then
        echo "demo.sh: $build/mail/postfix/mxadmin is not built" >&2
        exit 1
    fi
    build=$(cd "$build" && pwd)
    exec "$root/tests/support/sandbox.sh" /bin/sh "$root/tools/demo.sh" "$build"
fi

# From here on: inside the sandbox, as root, on private copies of the system.
build=$1
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$build/mail/postfix/mxadmin
tables=/var/spool/postfix/ostra
auth_db=$tables/passwd.db
mail_root=/var/qmail/mailnames

die() {
    printf '\ndemo.sh: FAILED: %s\n' "$*" >&2
    exit 1
}

heading() {
    printf '\n==== %s ====\n' "$*"
}

# show STATUS ARGS... - run mxadmin where the outcome is part of the show;
# any other exit status than STATUS fails the demo.
show() {
    expected=$1
    shift
    printf '\n$ mxadmin %s\n' "$*"
    status=0
    "$bin" "$@" || status=$?
    printf '[exit status %d]\n' "$status"
    [ "$status" = "$expected" ] || die "mxadmin $*: exit status $status, expected $expected"
}

# step [VAR=VALUE] ARGS... - one change that must succeed; a leading
# assignment goes into mxadmin's environment (the password hand-over).
step() {
    assignment=
    case $1 in *=*) assignment=$1 && shift ;; esac
    printf '$ %smxadmin %s\n' "${assignment:+$assignment }" "$*"
    status=0
    if [ -n "$assignment" ]; then
        env "$assignment" "$bin" "$@" || status=$?
    else
        "$bin" "$@" || status=$?
    fi
    [ "$status" = 0 ] || die "mxadmin $*: exit status $status"
}

# panel SQL - a change the control panel makes in its own database first.
panel() {
    printf '%s\n' "$1" | sed 's/^/  panel> /'
    printf '%s\n' "$1" | mariadb --no-defaults --database=hsp || die "panel database: $1"
}

# table NAME - a lookup table as Postfix reads it back, sorted.
table() {
    printf '\n%s (hash:%s/%s)\n' "$1" "$tables" "$1"
    if [ ! -e "$tables/$1.db" ]; then
        echo "  (no table)"
        return
    fi
    records=$(postmap -s "hash:$tables/$1") || die "postmap -s $1"
    if [ -z "$records" ]; then
        echo "  (empty)"
        return
    fi
    printf '%s\n' "$records" | LC_ALL=C sort | awk -F'\t' '{ printf "  %-34s -> %s\n", $1, $2 }'
}

# files NAME - every file of that name below the mail root, with its content.
files() {
    find "$mail_root" -name "$1" -type f | LC_ALL=C sort | while read -r f; do
        printf '\n%s  (%s)\n' "${f#"$mail_root"/}" "$(stat -c '%A %U:%G' "$f")"
        sed 's/^/    /' "$f"
    done
}

heading "Help and usage errors"
show 0 --help
show 1 --frobnicate
show 1 --add-domain

heading "Setting up"
# What the installation provides: the empty lookup tables and the empty
# authentication database; and the panel's own database server.
mkdir -p "$tables"
for t in virtual_domains virtual vmailbox aliases; do
    : >"$tables/$t"
    postmap "hash:$tables/$t" || die "creating the table $t"
    rm "$tables/$t"
done
echo "empty lookup tables created in $tables"
sqlite3 "$auth_db" <<'SQL' || die "creating $auth_db"
CREATE TABLE domains (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(255) UNIQUE,
    status INTEGER NOT NULL DEFAULT 0);
CREATE INDEX domains_name ON domains (name);
CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, dom_id INTEGER NOT NULL,
    name VARCHAR(255) NOT NULL, userPassword VARCHAR(255), cmusaslsecretPLAIN VARCHAR(255),
    `cmusaslsecretCRAM-MD5` VARCHAR(255), status INT NOT NULL DEFAULT 0, UNIQUE (name, dom_id));
CREATE INDEX users_name ON users (name);
CREATE INDEX users_dom_id ON users (dom_id);
CREATE TRIGGER fkd_users_domains_id BEFORE DELETE ON domains
    FOR EACH ROW BEGIN DELETE FROM users WHERE dom_id = OLD.id; END;
CREATE TRIGGER fki_users_domains_id BEFORE INSERT ON users
    FOR EACH ROW BEGIN SELECT RAISE(ROLLBACK,
        'insert on table "users" violates foreign key constraint "fk_domains_id"')
        WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL; END;
CREATE TRIGGER fku_users_domains_id BEFORE UPDATE ON users
    FOR EACH ROW BEGIN SELECT RAISE(ROLLBACK,
        'update on table "users" violates foreign key constraint "fk_domains_id"')
        WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL; END;
SQL
chmod 0600 "$auth_db"
echo "authentication database $auth_db created"
"$root/tests/support/mariadb-start.sh" "$build/mariadb-template" >/dev/null ||
    die "cannot start the panel database server"
echo "panel database server started"

heading "A domain with a quota and an alias domain"
panel "INSERT INTO Limits (id, limit_name, value) VALUES (1, 'mbox_quota', '2097152');
INSERT INTO domains (id, name, limits_id) VALUES (1, 'example.com', 1);"
step --add-domain --domain-name=example.com --disk-quota=10485760
panel "INSERT INTO domainaliases (id, name, dom_id) VALUES (1, 'example.net', 1);"
step --add-domain-alias --domain-name=example.com --domain-alias-name=example.net --set-reject

heading "Mail names: mailbox, password, quota, alias, forward"
panel "INSERT INTO mail (id, mail_name, dom_id, mbox_quota) VALUES
 (1, 'info', 1, '5242880'), (2, 'sales', 1, '-1'), (3, 'john', 1, '1048576');"
step --add-mailname --domain-name=example.com --mailname=info --disk-quota=5242880
step HSP_PASSWORD=info-secret --add-mailbox --domain-name=example.com --mailname=info
step --add-mailname --domain-name=example.com --mailname=sales
step 'HSP_CRYPTED_PASSWORD=$1$Ab3xYz$Q0b9mNt5J3L2' --add-mailbox --domain-name=example.com \
    --mailname=sales
step --add-redirect --domain-name=example.com --mailname=sales \
    --redirect-email="boss@bücher.example"
step --add-mailname --domain-name=example.com --mailname=john --disk-quota=1048576
step HSP_PASSWORD=john-secret --add-mailbox --domain-name=example.com --mailname=john
panel "INSERT INTO mail_aliases (id, mn_id, alias) VALUES (1, 1, 'contact');"
step --add-alias --domain-name=example.com --mailname=info --alias=contact
panel "UPDATE mail SET mbox_quota = '3145728' WHERE id = 2;"
step --set-mailbox-disk-quota --domain-name=example.com --mailname=sales --disk-quota=3145728

heading "Catch-all and a rename"
step --set-catchall --domain-name=example.com --email=info@example.com
panel "UPDATE mail SET mail_name = 'jdoe' WHERE id = 3;"
step HSP_PASSWORD=john-secret --rename-mailname --domain-name=example.com --old-mailname=john \
    --new-mailname=jdoe

heading "Lookup tables"
for t in virtual_domains virtual vmailbox aliases; do
    table "$t"
done

heading "Mail tree ($mail_root)"
find "$mail_root" -mindepth 1 -printf '%P\t%M %u:%g\n' | LC_ALL=C sort |
    awk -F'\t' '{ printf "  %-26s %s\n", $2, $1 }'

heading "Delivery instructions (.qmail)"
files .qmail

heading "Maildir++ quotas (maildirsize)"
files maildirsize

heading "Authentication database ($auth_db)"
echo
sqlite3 -header -column "$auth_db" \
    "SELECT name AS domain, status FROM domains ORDER BY name" || die "reading $auth_db"
echo
sqlite3 -header -column "$auth_db" \
    "SELECT u.name || '@' || d.name AS address, ifnull(u.userPassword, '') AS clear_password,
            ifnull(u.cmusaslsecretPLAIN, '') AS crypted_password, u.status AS status
     FROM users u JOIN domains d ON d.id = u.dom_id ORDER BY d.name, u.name" ||
    die "reading $auth_db"

heading "Drift, found and repaired"
# Changes made behind the commands' back: a lost record, a deleted mail home
# and a user missing from the alias domain.
printf '$ postmap -d info@example.net hash:%s/virtual\n' "$tables"
postmap -d info@example.net "hash:$tables/virtual" || die "postmap -d"
printf '$ rm -r %s/example.com/jdoe\n' "$mail_root"
rm -r "$mail_root/example.com/jdoe"
drop_user="DELETE FROM users WHERE name = 'info'
    AND dom_id = (SELECT id FROM domains WHERE name = 'example.net')"
printf '$ sqlite3 %s "%s"\n' "$auth_db" "$drop_user"
sqlite3 "$auth_db" "$drop_user" || die "sqlite3"
show 3 --check-mail-config
show 0 --restore-mail-config
show 0 --check-mail-config

printf '\nDemo complete: every step succeeded.\n'
