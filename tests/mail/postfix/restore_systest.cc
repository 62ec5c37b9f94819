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

const char DB[] = "sqlite3 /var/spool/postfix/ostra/passwd.db ";
const char TABLES[] = "hash:/var/spool/postfix/ostra/";

// One of each kind of drift in example.com, and one in other.com.
const std::string DRIFT = SERVER + "postmap -d info@alias1.com " + TABLES + "virtual\n" +
                          "echo 'x@example.com other/' | postmap -i " + TABLES + "vmailbox\n" +
                          "echo 'gone@example.com gone@example.com' | postmap -i " + TABLES +
                          "virtual\n" + "rm -r /var/qmail/mailnames/example.com/sales\n" +
                          "rm /var/qmail/mailnames/example.com/info/.qmail\n" +
                          DB + "\"DELETE FROM users WHERE name='info' AND dom_id=(SELECT id FROM"
                               " domains WHERE name='alias2.com')\"\n" +
                          DB + "\"UPDATE domains SET status=1 WHERE name='other.com'\"\n";

const char FOUND[] = "missing\tvirtual\tinfo@alias1.com\tinfo@example.com\t-\n"
                     "missing\thome\texample.com/sales\tdir 0700 popuser\t-\n"
                     "missing\tqmail\texample.com/info\tfile\t-\n"
                     "missing\tauth-user\tinfo@alias2.com\tenabled\t-\n"
                     "differs\tauth-domain\tother-alias.com\tdisabled\tenabled\n"
                     "differs\tvmailbox\tx@example.com\t-\tother/\n"
                     "unknown\tvirtual\tgone@example.com\t-\tgone@example.com\n";

const Case CASES[] = {
    {"a server built by the commands is consistent", SERVER, "mxadmin --check-mail-config", 0, "",
     "check-mail-config: no differences\n"},
    {"every kind of drift is found and nothing changes", DRIFT, "mxadmin --check-mail-config", 3,
     "", ""},
};

TEST(Restore, Commands)
{
    for (const Case& c : CASES)
        mxtest::runCase(c);
}

} // namespace
