// domains_systest.cc - the domain commands end to end: real mxadmin, real
// postmap, the SQLite authentication database and the private panel
// database, each case compared as the whole server's changes.
#include <gtest/gtest.h>

#include "world.h"

namespace {

using mxtest::Case;

const std::string DOMAIN = "mxadmin --add-domain --domain-name=example.com\n";

// example.com with info (mailbox, password, mail alias i1, a handler) and
// its alias domain alias1.com; the panel also names alias2.com and sales.
const std::string EXAMPLE = DOMAIN + R"(
    mxadmin --add-mailname --domain-name=example.com --mailname=info
    mxadmin --add-alias --domain-name=example.com --mailname=info --alias=i1
    HSP_PASSWORD=pw mxadmin --add-mailbox --domain-name=example.com --mailname=info
    mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias1.com --set-reject
    mxadmin --add-handler --handler-name=h --handler-type=recipient --handler-type-name=info@example.com --executable=/bin/true --context=c --hook=before-local --priority=10
)";

// alias1.com removed from example.com.
const std::string ALIAS1_REMOVED = R"(
    -auth domain alias1.com 0
    -auth user info@alias1.com pw - 0
    -std alias1.com
    -virtual alias1.com 1
    -virtual i1@alias1.com info@example.com
    -virtual i2@alias1.com info@example.com
    -virtual info@alias1.com info@example.com
    -virtual sales@alias1.com sales@example.com)";

const char ADDED[] = R"(
    +root example.com
    +std example.com
    +virtual_domains example.com example.com/)";

const char AUTH_STATUS_OFF[] = R"(
    -auth domain alias1.com 0
    -auth domain alias2.com 0
    -auth domain example.com 0
    +auth domain alias1.com 1
    +auth domain alias2.com 1
    +auth domain example.com 1
    -std example.com
    -virtual_domains example.com example.com/
    -handlers before-local/recipient/info@example.com d755 root:root
    -handlers before-local/recipient/info@example.com/10-h-* f644 root:root)";

const char ALIAS2_RECORDS[] = R"(
    +std alias2.com
    +virtual alias2.com 1
    +virtual i2@alias2.com info@example.com
    +virtual sales@alias2.com sales@example.com
    +handlers before-local/recipient/info@alias2.com d755 root:root
    +handlers before-local/recipient/info@alias2.com/10-h-* f644 root:root
    +handler 10-h recipient info@alias2.com before-local /bin/true c)";

const Case CASES[] = {
    {"add", "", "mxadmin --add-domain --domain-name=example.com", 0, ADDED, ""},
    {"add again drops the domain's addresses from virtual", DOMAIN + R"(
        mxadmin --add-mailname --domain-name=example.com --mailname=info)",
     "mxadmin --add-domain --domain-name=example.com", 0, R"(
        -virtual info@alias1.com info@example.com
        -virtual info@alias2.com info@example.com
        -virtual info@example.com info@example.com)",
     ""},
    {"add over an alias domain of that name", R"(
        mxadmin --add-domain --domain-name=other.com
        mxadmin --add-mailname --domain-name=other.com --mailname=ceo
        mxadmin --add-domain-alias --domain-name=other.com --domain-alias-name=example.com --set-catchall --email=ceo@other.com)",
     "mxadmin --add-domain --domain-name=example.com", 0, R"(
        +root example.com
        -virtual @example.com ceo@other.com
        -virtual boss@example.com ceo@other.com
        -virtual ceo@example.com ceo@other.com
        -virtual example.com 1
        +virtual_domains example.com example.com/)",
     ""},
    {"add signals the address rewriter", R"(
        mkdir -p /usr/lib/postfix && cp /bin/sleep /usr/lib/postfix/trivial-rewrite
        env --default-signal=INT /usr/lib/postfix/trivial-rewrite 30 >/dev/null 2>&1 &)",
     "mxadmin --add-domain --domain-name=example.com && sleep 0.2 && ! pgrep -x trivial-rewrite", 0,
     ADDED, ""},
    {"add with a quota sets it on the mailboxes without their own first", DOMAIN + R"(
        mxadmin --add-mailname --domain-name=example.com --mailname=info
        mxadmin --add-mailname --domain-name=example.com --mailname=sales)",
     "mxadmin --add-domain --domain-name=example.com --disk-quota=1000", 0, R"(
        -quota example.com/info 2960S,0C
        +quota example.com/info 960S,0C
        -virtual info@alias1.com info@example.com
        -virtual info@alias2.com info@example.com
        -virtual info@example.com info@example.com
        -virtual sales@alias1.com sales@example.com
        -virtual sales@alias2.com sales@example.com
        -virtual sales@example.com sales@example.com)",
     ""},
    {"add with a quota before the mailboxes exist", "",
     "mxadmin --add-domain --domain-name=example.com --disk-quota=1000", 1, "+root example.com",
     "~Fatal error"},
    {"domain quota", DOMAIN + "mxadmin --add-mailname --domain-name=example.com --mailname=info",
     "mxadmin --set-domain-disk-quota --domain-name=example.com --disk-quota=-1", 0, R"(
        -quota example.com/info 2960S,0C
        +quota example.com/info 0S,0C)",
     ""},
    {"domain quota without the panel database is a failure",
     DOMAIN + "mxadmin --add-mailname --domain-name=example.com --mailname=info\n"
              "echo wrong >/etc/hsp/.hsp.shadow",
     "mxadmin --set-domain-disk-quota --domain-name=example.com --disk-quota=100", 1, "",
     "~unable to store domain quota"},
    {"turn off", EXAMPLE, "mxadmin --turn-off-domain --domain-name=example.com", 0, AUTH_STATUS_OFF,
     ""},
    {"turn on", EXAMPLE + "mxadmin --turn-off-domain --domain-name=example.com",
     "mxadmin --turn-on-domain --domain-name=example.com", 0, R"(
        +auth domain alias1.com 0
        +auth domain alias2.com 0
        +auth domain example.com 0
        -auth domain alias1.com 1
        -auth domain alias2.com 1
        -auth domain example.com 1
        +std example.com
        +virtual_domains example.com example.com/
        +handlers before-local/recipient/info@example.com d755 root:root
        +handlers before-local/recipient/info@example.com/10-h-* f644 root:root)",
     ""},
    {"remove", EXAMPLE, "mxadmin --remove-domain --domain-name=example.com", 0, R"(
        -auth domain alias1.com 0
        -auth domain alias2.com 0
        -auth domain example.com 0
        -auth user info@alias1.com pw - 0
        -auth user info@alias2.com pw - 0
        -auth user info@example.com pw - 0
        -handlers before-local/recipient/info@example.com d755 root:root
        -handlers before-local/recipient/info@example.com/10-h-* f644 root:root
        -handler 10-h recipient info@example.com before-local /bin/true c
        -root example.com
        -home example.com/info
        -tree example.com/info/.qmail f600 popuser:popuser | true\n| /usr/bin/deliverquota ./Maildir\n
        +tree example.com/info/.qmail f600 popuser:popuser | true\n
        -quota example.com/info 2960S,0C
        -std example.com
        -virtual i1@alias1.com info@example.com
        -virtual i1@alias2.com info@example.com
        -virtual i1@example.com info@example.com
        -virtual i2@alias1.com info@example.com
        -virtual info@alias1.com info@example.com
        -virtual info@alias2.com info@example.com
        -virtual info@example.com info@example.com
        -virtual sales@alias1.com sales@example.com
        -virtual_domains example.com example.com/
        -vmailbox info@example.com example.com/info/Maildir/)",
     ""},
    {"remove with a broken authentication database",
     EXAMPLE + "echo garbage >/var/spool/postfix/ostra/passwd.db",
     "mxadmin --remove-domain --domain-name=example.com", 1, "",
     "~Unable to remove auth record for domain example.com\n"},
    {"turn off with a broken authentication database",
     EXAMPLE + "echo garbage >/var/spool/postfix/ostra/passwd.db",
     "mxadmin --turn-off-domain --domain-name=example.com", 1, "",
     "~Unable to disable auth records for domain example.com\n"},
    {"remove with the panel database unreachable", EXAMPLE + "echo wrong >/etc/hsp/.hsp.shadow",
     "mxadmin --remove-domain --domain-name=example.com", 1, R"(
        -auth domain example.com 0
        -auth user info@example.com pw - 0)",
     "~Unable to get aliases for domain example.com\n"},
    {"catch-all", EXAMPLE,
     "mxadmin --set-catchall --domain-name=example.com --email=info@example.com", 0, R"(
        +virtual @alias1.com info@example.com
        +virtual @alias2.com info@example.com
        +virtual @example.com info@example.com)",
     ""},
    {"bounce with two lines", DOMAIN,
     "mxadmin --set-bounce --domain-name=example.com --phrase=\"$(printf 'No such\\nuser')\"", 0,
     R"(
        +aliases _ostra_bounce_alias1.com "|/usr/lib/ostra-9.0/bouncemessage No\\\ such\\\ user"
        +aliases _ostra_bounce_alias2.com "|/usr/lib/ostra-9.0/bouncemessage No\\\ such\\\ user"
        +aliases _ostra_bounce_example.com "|/usr/lib/ostra-9.0/bouncemessage No\\\ such\\\ user"
        +virtual @alias1.com _ostra_bounce_alias1.com@localhost.localdomain
        +virtual @alias2.com _ostra_bounce_alias2.com@localhost.localdomain
        +virtual @example.com _ostra_bounce_example.com@localhost.localdomain)",
     ""},
    {"catch-all with a broken address", DOMAIN,
     "mxadmin --set-catchall --domain-name=example.com --email=\"$(printf 'a@b\\nx@y')\"", 1, "",
     "~invalid"},
    {"reject after a bounce keeps the bounce program",
     DOMAIN + "mxadmin --set-bounce --domain-name=example.com",
     "mxadmin --set-reject --domain-name=example.com", 0, R"(
        -virtual @alias1.com _ostra_bounce_alias1.com@localhost.localdomain
        -virtual @alias2.com _ostra_bounce_alias2.com@localhost.localdomain
        -virtual @example.com _ostra_bounce_example.com@localhost.localdomain)",
     ""},
    {"unset reject after a catch-all",
     DOMAIN + "mxadmin --set-catchall --domain-name=example.com --email=x@y.com",
     "mxadmin --unset-reject --domain-name=example.com", 0, R"(
        -virtual @alias1.com x@y.com
        -virtual @alias2.com x@y.com
        -virtual @example.com x@y.com)",
     ""},
    {"alias domain with catch-all", EXAMPLE,
     "mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias2.com "
     "--set-catchall --email=sales@example.com",
     0, ALIAS2_RECORDS + std::string("\n+virtual @alias2.com sales@example.com"), ""},
    {"alias domain with bounce wins over catch-all", EXAMPLE,
     "mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias2.com "
     "--set-bounce --phrase=gone --set-catchall --email=sales@example.com",
     0, ALIAS2_RECORDS + std::string(R"(
        +aliases _ostra_bounce_alias2.com "|/usr/lib/ostra-9.0/bouncemessage gone"
        +virtual @alias2.com _ostra_bounce_alias2.com@localhost.localdomain)"),
     ""},
    {"alias domain without an action", EXAMPLE,
     "mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias2.com", 1,
     ALIAS2_RECORDS,
     "Action for notexisting mail names is not specified (--set-bounce/--set-catchall/"
     "--set-reject)\n"},
    // Checked before anything is written, so that nothing is left half done.
    {"alias domain with an empty catch-all address", EXAMPLE,
     "mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias2.com "
     "--set-catchall --email=",
     1, "", "~email"},
    {"alias domain with a broken authentication database keeps its records",
     EXAMPLE + "echo garbage >/var/spool/postfix/ostra/passwd.db",
     "mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias2.com "
     "--set-catchall --email=sales@example.com",
     1, ALIAS2_RECORDS, "~Unable to clone auth record for"},
    // A panel table gone for the command's run: it fails, having done what needs no such table.
    {"remove alias domain, the panel's mail names unreadable", EXAMPLE,
     mxtest::withoutTable(
         "mail",
         "mxadmin --del-domain-alias --domain-name=example.com --domain-alias-name=alias1.com"),
     1, ALIAS1_REMOVED,
     "Unable to get data from mysql database\nUnable to get mailnames from domain: "
     "example.com\nUnable to get mailnames from domain example.com\n"},
    {"add alias domain, the panel's mail aliases unreadable", EXAMPLE,
     mxtest::withoutTable("mail_aliases", "mxadmin --add-domain-alias --domain-name=example.com "
                                          "--domain-alias-name=alias2.com --set-reject"),
     1, R"(
        +handlers before-local/recipient/info@alias2.com d755 root:root
        +handlers before-local/recipient/info@alias2.com/10-h-* f644 root:root
        +handler 10-h recipient info@alias2.com before-local /bin/true c
        +std alias2.com
        +virtual alias2.com 1
        +virtual sales@alias2.com sales@example.com)",
     "~Unable to get aliases for mailname: sales@example.com\nUnable to get data from mysql "
     "database\nUnable to get aliases for mailname: info@example.com\nUnable to get mail aliases "
     "for info@example.com\n"},
    {"remove alias domain", EXAMPLE,
     "mxadmin --del-domain-alias --domain-name=example.com --domain-alias-name=alias1.com", 0,
     ALIAS1_REMOVED, ""},
    {"rename alias domain with a bounce", EXAMPLE,
     "mxadmin --rename-domain-alias --domain-name=example.com --old-domain-alias-name=alias1.com "
     "--new-domain-alias-name=alias3.com --set-bounce",
     0, R"(
        -auth domain alias1.com 0
        +auth domain alias3.com 0
        -auth user info@alias1.com pw - 0
        +auth user info@alias3.com pw - 0
        +aliases _ostra_bounce_alias3.com "|/usr/lib/ostra-9.0/bouncemessage"
        +virtual @alias3.com _ostra_bounce_alias3.com@localhost.localdomain
        -std alias1.com
        +std alias3.com
        -virtual alias1.com 1
        +virtual alias3.com 1
        -virtual i1@alias1.com info@example.com
        +virtual i1@alias3.com info@example.com
        -virtual i2@alias1.com info@example.com
        +virtual i2@alias3.com info@example.com
        -virtual info@alias1.com info@example.com
        +virtual info@alias3.com info@example.com
        -virtual sales@alias1.com sales@example.com
        +virtual sales@alias3.com sales@example.com)",
     ""},
    {"domain key for two domains", "echo KEY >$TMPDIR/key",
     "mxadmin --set-domain-key --domain-name=example.com,other.com --file-name=$TMPDIR/key && "
     "! test -e $TMPDIR/key",
     0, R"(
        +dkey example.com d755 root:root
        +dkey example.com/default f440 root:popuser KEY\n
        +dkey other.com d755 root:root
        +dkey other.com/default f440 root:popuser KEY\n)",
     ""},
    {"domain key follows a new alias domain",
     EXAMPLE + "echo KEY >$TMPDIR/key\n"
               "mxadmin --set-domain-key --domain-name=example.com --file-name=$TMPDIR/key",
     "mxadmin --add-domain-alias --domain-name=example.com --domain-alias-name=alias2.com "
     "--set-reject",
     0, ALIAS2_RECORDS + std::string(R"(
        +dkey alias2.com d755 root:root
        +dkey alias2.com/default f440 root:popuser KEY\n)"),
     ""},
    {"domain key where one domain cannot have one keeps the upload", R"(
        echo KEY >$TMPDIR/key
        mkdir -p /etc/domainkeys && touch /etc/domainkeys/other.com)",
     "mxadmin --set-domain-key --domain-name=example.com,other.com --file-name=$TMPDIR/key; "
     "echo status $?; test -e $TMPDIR/key",
     0, R"(
        +dkey example.com d755 root:root
        +dkey example.com/default f440 root:popuser KEY\n)",
     "~status 1\n"},
    {"remove domain key",
     "echo KEY >$TMPDIR/key\n"
     "mxadmin --set-domain-key --domain-name=example.com --file-name=$TMPDIR/key",
     "mxadmin --remove-domain-key --domain-name=example.com", 0, R"(
        -dkey example.com d755 root:root
        -dkey example.com/default f440 root:popuser KEY\n)",
     ""},
};

TEST(Domains, Commands)
{
    for (const Case& c : CASES)
        mxtest::runCase(c);
}

} // namespace
