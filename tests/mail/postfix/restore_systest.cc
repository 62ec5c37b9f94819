// restore_systest.cc - --check-mail-config and --restore-mail-config against
// a server built by the other commands, then changed behind their back.
#include <gtest/gtest.h>

#include "world.h"

namespace {

using mxtest::Case;

// The standard panel's two customers, set up as the panel would.
const std::string SERVER = R"(
    mxadmin --add-domain --domain-name=example.com
    mxadmin --add-mailname --domain-name=example.com --mailname=info
    mxadmin --add-mailname --domain-name=example.com --mailname=sales --disk-quota=500
    mxadmin --add-alias --domain-name=example.com --mailname=info --alias=i1
    mxadmin --add-alias --domain-name=example.com --mailname=info --alias=i2
    HSP_PASSWORD=pw mxadmin --add-mailbox --domain-name=example.com --mailname=info
    mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias1.com --set-reject
    mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias2.com --set-reject
    mxadmin --add-domain --domain-name=other.com
    mxadmin --add-mailname --domain-name=other.com --mailname=ceo
    mxadmin --add-alias --domain-name=other.com --mailname=ceo --alias=boss
    HSP_CRYPTED_PASSWORD=xx mxadmin --add-mailbox --domain-name=other.com --mailname=ceo
    mxadmin --add-domain-alias --domain-name=other.com --domain-alias-name=other-alias.com --set-reject
)";

const std::string T = "hash:/var/spool/postfix/ostra/";
const std::string DB = "sqlite3 /var/spool/postfix/ostra/passwd.db ";
const std::string HOMES = "/var/qmail/mailnames/";

// Drift in example.com: one of each kind of difference.
const std::string DRIFT =
    SERVER + "postmap -d info@alias1.com " + T + "virtual\n" +
    "echo 'info@example.com elsewhere/' | postmap -r -i " + T + "vmailbox\n" +
    "echo 'gone@example.com gone@example.com' | postmap -i " + T + "virtual\n" + "rm -r " + HOMES +
    "example.com/sales\n" + "rm " + HOMES + "example.com/info/.qmail\n" + "chmod 755 " + HOMES +
    "example.com/info/Maildir\n" + "mkdir " + HOMES + "example.com/old\n" + DB +
    "\"DELETE FROM users WHERE name='info' AND dom_id=(SELECT id FROM domains WHERE "
    "name='alias2.com')\"\n" +
    DB +
    "\"UPDATE users SET userPassword='new' WHERE name='info' AND dom_id=(SELECT id FROM "
    "domains WHERE name='alias1.com')\"\n" +
    "HSP_PASSWORD=x mxadmin --set-password --domain-name=nowhere.com --mailname=ghost\n";

// Drift of a domain root's mode, a quota, a root no panel domain has, and a
// user the panel does not have, in a domain and its alias domain.
const std::string ROOTS = "chmod 700 " + HOMES + "other.com\necho 1S,0C >" + HOMES +
                          "example.com/sales/Maildir/maildirsize\nmkdir " + HOMES + "ghost.org\n" +
                          DB +
                          "\"INSERT INTO users (dom_id, name) SELECT id, 'ghost' FROM domains "
                          "WHERE name LIKE 'other%'\"\n";

const std::string ROOTS_FOUND = "differs\tquota\texample.com/sales\t460S\t1S\n"
                                "differs\tdomain-root\tother.com\tdir 0750 root\tdir 0700 root\n"
                                "unknown\tauth-user\tghost@other.com\t-\tenabled\n"
                                "unknown\tauth-user\tghost@other-alias.com\t-\tenabled\n"
                                "unknown\tdomain-root\tghost.org\t-\tdir 0755 root\n";

// Drift in other.com: its authentication row disabled behind the commands' back.
const std::string DISABLED = DB + "\"UPDATE domains SET status=1 WHERE name='other.com'\"\n";

// What a check of DRIFT prints: the walk's lines domain by domain, then
// the tables' leftovers in key order, then authentication rows no domain owns.
const std::string FOUND = "missing\tvirtual\tinfo@alias1.com\tinfo@example.com\t-\n"
                          "differs\thome\texample.com/info/Maildir\tdir 0700 popuser\t"
                          "dir 0755 popuser\n"
                          "missing\tqmail\texample.com/info\tfile\t-\n"
                          "missing\thome\texample.com/sales\tdir 0700 popuser\t-\n"
                          "unknown\thome\texample.com/old\t-\tdir 0755 root\n"
                          "differs\tauth-user\tinfo@alias1.com\tenabled\tother password\n"
                          "missing\tauth-user\tinfo@alias2.com\tenabled\t-\n"
                          "unknown\tvirtual\tgone@example.com\t-\tgone@example.com\n"
                          "differs\tvmailbox\tinfo@example.com\texample.com/info/Maildir/\t"
                          "elsewhere/\n"
                          "unknown\tauth-domain\tnowhere.com\t-\tenabled\n";

// What a check of DISABLED prints.
const std::string DISABLED_FOUND =
    "differs\tauth-domain\tother-alias.com\tdisabled\tenabled\n"
    "extra\tvirtual\tanonymous@other.com\t-\tanonymous@localhost.localdomain\n"
    "extra\tvirtual\tdrweb@other.com\t-\tdrweb@localhost.localdomain\n"
    "extra\tvirtual\tkluser@other.com\t-\tkluser@localhost.localdomain\n"
    "extra\tvirtual\tmailer-daemon@other.com\t-\tmailer-daemon@localhost.localdomain\n"
    "extra\tvirtual\tpostmaster@other.com\t-\tpostmaster@localhost.localdomain\n"
    "extra\tvirtual\troot@other.com\t-\troot@localhost.localdomain\n"
    "extra\tvirtual_domains\tother.com\t-\tother.com/\n";

// The repairs of DRIFT in example.com; the home "old" and the user of a
// domain the panel does not have stay.
const char REPAIRED[] = R"(
    -auth user info@alias1.com new - 0
    +auth user info@alias1.com pw - 0
    +auth user info@alias2.com pw - 0
    +tree example.com/info/.qmail f600 popuser:popuser | true\n
    -tree example.com/info/Maildir d755 popuser:popuser
    +tree example.com/info/Maildir d700 popuser:popuser
    +home example.com/sales
    +quota example.com/sales 460S,0C
    -vmailbox info@example.com elsewhere/
    +vmailbox info@example.com example.com/info/Maildir/
    +virtual info@alias1.com info@example.com)";

// The repairs of DISABLED: other.com's tables follow its row, and so does
// the row of its alias domain.
const char DISABLED_REPAIRED[] = R"(
    -auth domain other-alias.com 0
    +auth domain other-alias.com 1
    -std other.com
    -virtual_domains other.com other.com/)";

// A postmap that logs how it is run.
const std::string LOGGED_POSTMAP = "mv /usr/sbin/postmap /usr/sbin/postmap.real && printf "
                                   "'#!/bin/sh\\necho $1 >>/run/postmap.log\\nexec "
                                   "/usr/sbin/postmap.real \"$@\"\\n' >/usr/sbin/postmap && "
                                   "chmod 755 /usr/sbin/postmap\n";

const Case CASES[] = {
    {"a server built by the commands is consistent", SERVER, "mxadmin --check-mail-config", 0, "",
     "check-mail-config: no differences\n"},
    {"every kind of drift is found and nothing changes", DRIFT, "mxadmin --check-mail-config", 3,
     "", FOUND + "check-mail-config: 10 differences (4 missing, 3 differ, 0 extra, 3 unknown)\n"},
    {"a disabled domain's records are found", SERVER + DISABLED, "mxadmin --check-mail-config", 3,
     "",
     DISABLED_FOUND +
         "check-mail-config: 8 differences (0 missing, 1 differ, 7 extra, 0 unknown)\n"},
    {"restore repairs what the panel describes", DRIFT, "mxadmin --restore-mail-config", 0,
     REPAIRED, "~; 7 repairs made, 0 failed\n"},
    {"restore with prune also removes what the panel does not have", DRIFT,
     "mxadmin --restore-mail-config --prune", 0, REPAIRED + std::string(R"(
        -auth domain nowhere.com 0
        -auth user ghost@nowhere.com x - 0
        -virtual gone@example.com gone@example.com)"),
     "~; 9 repairs made, 0 failed\n"},
    // A second restore has nothing to do and only reads the tables; the home
    // of a name the panel does not have is never removed.
    {"restore twice", DRIFT + "mxadmin --restore-mail-config --prune\n" + LOGGED_POSTMAP,
     "mxadmin --restore-mail-config; sort -u /run/postmap.log; mv /usr/sbin/postmap.real "
     "/usr/sbin/postmap",
     0, "",
     "unknown\thome\texample.com/old\t-\tdir 0755 root\nrestore-mail-config: 1 difference "
     "(0 missing, 0 differ, 0 extra, 1 unknown); 0 repairs made, 0 failed\n-s\n"},
    {"one domain only", DRIFT + DISABLED, "mxadmin --restore-mail-config --domain-name=other.com",
     0, DISABLED_REPAIRED,
     DISABLED_FOUND + "restore-mail-config: 8 differences (0 missing, 1 differ, 7 extra, 0 "
                      "unknown); 3 repairs made, 0 failed\n"},
    // Drift of the domain roots, quotas and authentication rows of names.
    {"roots, quotas and rows: found", SERVER + ROOTS, "mxadmin --check-mail-config", 3, "",
     ROOTS_FOUND + "check-mail-config: 5 differences (0 missing, 2 differ, 0 extra, 3 unknown)\n"},
    // The root of a domain the panel does not have stays, as a home does.
    {"roots, quotas and rows: restored and pruned", SERVER + ROOTS,
     "mxadmin --restore-mail-config --prune", 0, R"(
        -auth user ghost@other-alias.com - - 0
        -auth user ghost@other.com - - 0
        -tree example.com/sales/Maildir/maildirsize f644 popuser:popuser 1S,0C\n
        +quota example.com/sales 460S,0C
        -tree other.com d700 root:popuser
        +tree other.com d750 root:popuser)",
     ROOTS_FOUND + "restore-mail-config: 5 differences (0 missing, 2 differ, 0 extra, 3 unknown); "
                   "4 repairs made, 0 failed\n"},
    {"a domain the panel does not have", SERVER, "mxadmin --check-mail-config --domain-name=no.org",
     1, "", "~the panel database has no domain no.org"},
    {"the panel database cannot be reached", DRIFT + "echo wrong >/etc/hsp/.hsp.shadow",
     "mxadmin --restore-mail-config", 1, "", "~Unable to connect"},
    // A check holds the lock that the mail name commands hold shared for
    // their whole run: a mail name made while it reads the tables is not
    // seen half made (its home and mailbox record without its addresses),
    // and it is made in full once the check is done.
    {"a mail name made during a check",
     SERVER + "sql INSERT INTO mail (id, mail_name, dom_id) VALUES (9, 'newbie', 1)\n" +
         "mv /usr/sbin/postmap /usr/sbin/postmap.real && printf '#!/bin/sh\\ncase $1$2 in "
         "-s*/virtual) [ -e /run/slow ] && touch /run/dumping && sleep 0.5;; esac\\nexec "
         "/usr/sbin/postmap.real \"$@\"\\n' >/usr/sbin/postmap && chmod 755 /usr/sbin/postmap",
     "touch /run/slow && { mxadmin --check-mail-config & } && until test -e /run/dumping; do "
     "sleep 0.01; done && mxadmin --add-mailname --domain-name=example.com --mailname=newbie; "
     "wait; rm /run/slow; mv /usr/sbin/postmap.real /usr/sbin/postmap",
     0, R"(
        +home example.com/newbie
        +quota example.com/newbie 2960S,0C
        +virtual newbie@alias1.com newbie@example.com
        +virtual newbie@alias2.com newbie@example.com
        +virtual newbie@example.com newbie@example.com
        +vmailbox newbie@example.com example.com/newbie/Maildir/)",
     "missing\tvmailbox\tnewbie@example.com\texample.com/newbie/Maildir/\t-\n"
     "missing\tvirtual\tnewbie@example.com\tnewbie@example.com\t-\n"
     "missing\tvirtual\tnewbie@alias1.com\tnewbie@example.com\t-\n"
     "missing\tvirtual\tnewbie@alias2.com\tnewbie@example.com\t-\n"
     "missing\thome\texample.com/newbie\tdir 0700 popuser\t-\n"
     "check-mail-config: 5 differences (5 missing, 0 differ, 0 extra, 0 unknown)\n"},
};

TEST(Restore, Commands)
{
    for (const Case& c : CASES)
        mxtest::runCase(c);
}

} // namespace
