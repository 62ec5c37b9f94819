#!/bin/sh
# shellcheck disable=SC2034,SC2154 # sourced: the caller sets and reads the variables
# bench_server.sh - sourced by commands.sh inside a sandbox: builds the mail
# server of $count mail names and the floor plans of the commands.
#
# Expects $build, $count and $here (the bench directory); sets $mxadmin,
# $runner, $work (its restore.sh puts the server back as it was after
# set-up) and $plans (one plan file per command, as cmd_bench reads them).
#
# The server: bench_fixture's tables, panel database and authentication
# database, the mail homes of bench.example, an empty handler registry, the
# Courier files with a stand-in init script, and a running Postfix. restore.sh
# puts back the tables, mail homes, registry, Courier files and main.cf
# (back-dated, so that no Postfix tool pauses for it), so each run does the
# same work.

support=$here/../tests/support
mxadmin=$build/mail/postfix/mxadmin
runner=$build/bench/cmd_bench
spool=/var/spool/postfix/ostra
work=$TMPDIR/bench
snap=$work/snapshot
plans=$work/plans
mkdir -p "$spool" "$work/data" "$plans/in" "$snap"

# The panel database and the server's data.
sh "$support/mariadb-start.sh" "$build/bench/mariadb-template"
"$build/bench/bench_fixture" "$count" "$work/data"
mariadb --no-defaults <"$work/data/panel.sql"
for t in virtual_domains vmailbox virtual aliases; do
    cp "$work/data/$t" "$spool/$t"
    /usr/sbin/postmap "hash:$spool/$t"
    rm "$spool/$t"
done
for i in 0 1 2 3 4 5 6 7 8 9; do
    mkdir -p /var/qmail/mailnames/bench.example/box$i/Maildir/cur \
        /var/qmail/mailnames/bench.example/box$i/Maildir/new \
        /var/qmail/mailnames/bench.example/box$i/Maildir/tmp
    echo "| true" >/var/qmail/mailnames/bench.example/box$i/.qmail
done
chown -R popuser:popuser /var/qmail/mailnames
mkdir -p /usr/local/hsp/handlers/info /etc/courier-imap
for f in imapd imapd-ssl pop3d pop3d-ssl; do
    printf 'PORT=143\nPOPAUTH=1\n' >/etc/courier-imap/$f
done
printf '#!/bin/sh\nexit 0\n' >/etc/init.d/courier-imap
chmod 755 /etc/init.d/courier-imap
/etc/init.d/postfix start >/dev/null 2>&1
touch -d '-1 min' /etc/postfix/main.cf

cp -a "$spool" "$snap/ostra"
cp -a /var/qmail/mailnames "$snap/mailnames"
cp -a /usr/local/hsp/handlers "$snap/handlers"
cp -a /etc/courier-imap "$snap/courier-imap"
cp -a /etc/postfix/main.cf "$snap/main.cf"
cat >"$work/restore.sh" <<EOF
rm -rf $spool /var/qmail/mailnames /usr/local/hsp/handlers /etc/courier-imap
cp -a $snap/ostra $spool
cp -a $snap/mailnames /var/qmail/mailnames
cp -a $snap/handlers /usr/local/hsp/handlers
cp -a $snap/courier-imap /etc/courier-imap
cp -a $snap/main.cf /etc/postfix/main.cf
touch -d '-1 min' /etc/postfix/main.cf
EOF

postmap=/usr/sbin/postmap
postconf=/usr/sbin/postconf
std="postmaster mailer-daemon root anonymous drweb kluser"

# standard DOMAIN - the six standard address records of a domain.
standard() {
    for s in $std; do
        echo "$s@$1 $s@localhost.localdomain"
    done
}

# rewrite TABLE - the two tool runs of a whole-table rewrite: dump, then
# compile beside the table (the rename over it runs no tool).
rewrite() {
    echo "$postmap -s hash:$spool/$1 >$spool/$1.new"
    echo "$postmap hash:$spool/$1.new"
}

# Plans: the tool command lines each command must run, in order, with the
# records it must feed them.
standard new.example >"$plans/in/std-new"
echo "new.example new.example/" >"$plans/in/vd-new"
{
    rewrite virtual
    echo "<$plans/in/std-new $postmap -r -i hash:$spool/virtual"
    echo "<$plans/in/vd-new $postmap -r -i hash:$spool/virtual_domains"
    echo "<$plans/in/std-new $postmap -r -i hash:$spool/virtual"
} >"$plans/add-domain"

echo "newbox@bench.example bench.example/newbox/Maildir/" >"$plans/in/vmb-newbox"
{
    echo "newbox@bench.example newbox@bench.example"
    echo "newbox@alias1.example newbox@bench.example"
    echo "newbox@alias2.example newbox@bench.example"
} >"$plans/in/virt-newbox"
{
    echo "<$plans/in/vmb-newbox $postmap -r -i hash:$spool/vmailbox"
    echo "<$plans/in/virt-newbox $postmap -r -i hash:$spool/virtual"
} >"$plans/add-mailname"

{
    echo "newalias@bench.example box1@bench.example"
    echo "newalias@alias1.example box1@bench.example"
    echo "newalias@alias2.example box1@bench.example"
} >"$plans/in/virt-newalias"
echo "<$plans/in/virt-newalias $postmap -r -i hash:$spool/virtual" >"$plans/add-alias"

{
    rewrite vmailbox
    rewrite virtual
} >"$plans/rename-mailname"

{
    echo "$postmap -d bench.example hash:$spool/virtual_domains"
    rewrite virtual
    rewrite vmailbox
} >"$plans/remove-domain"

restrictions="smtpd_recipient_restrictions=permit_mynetworks"
check="check_client_access pcre:/var/spool/postfix/ostra/no_relay.re"
auth="permit_sasl_authenticated, reject_unauth_destination"
{
    echo "/etc/init.d/courier-imap restart"
    echo "$postconf -h config_directory"
    echo "$postconf -e smtpd_sasl_auth_enable=yes"
    echo "$postconf -e $restrictions"
    echo "$postconf -h smtpd_recipient_restrictions"
    echo "$postconf -e '$restrictions, $check'"
    echo "$postconf -h smtpd_recipient_restrictions"
    echo "$postconf -e '$restrictions, $check, $auth'"
    echo "$postconf -h mynetworks"
    echo "$postconf -h -d mynetworks"
    echo "LANG=C /etc/init.d/postfix reload"
} >"$plans/set-mail-params"

echo "/etc/init.d/courier-imap status" >"$plans/status-service"

