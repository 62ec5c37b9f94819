// faults_systest.cc - faults no ordinary command case provokes: postmap and
// postconf runs that fail, warn or get killed (played by stand-ins in their
// place), roll-backs that fail themselves, and runs that must wait for the
// locks other runs hold.
#include <gtest/gtest.h>

#include <stdexcept>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/record_filters.h"
#include "ostra/lock.h"
#include "world.h"

namespace {

using mxtest::Case;
using namespace ostra::mail::postfix;

// A run of the tool whose arguments match $FAULT_ARGS does $FAULT_DO instead,
// once $FAULT_SKIP such runs have passed (counted in $FAULT_COUNT); the real tool
// runs everything else.
const char STAND_IN[] = R"(#!/bin/sh
case " $* " in
$FAULT_ARGS)
    n=$(cat $FAULT_COUNT 2>/dev/null || echo 0)
    echo $((n + 1)) >$FAULT_COUNT
    [ "$n" -lt "${FAULT_SKIP:-0}" ] || eval "$FAULT_DO" ;;
esac
exec "$0.real" "$@"
)";

// fault - command with the stand-ins armed.
std::string fault(const std::string& args, const std::string& action, const std::string& command,
                  int skip = 0)
{
    return "FAULT_COUNT=/run/fault.$$ FAULT_ARGS='" + args + "' FAULT_DO='" + action +
           "' FAULT_SKIP=" + std::to_string(skip) + " " + command;
}

// held - command started while this shell holds the hashed lock of key (the
// lock file named by the key's MD5 digest); prints "waiting" when the command
// has not ended 0.3 s later, then lets it go. The lock file must outlive it.
std::string held(const std::string& key, const std::string& command)
{
    return "l=/var/lock/files/$(printf %s " + key +
           " | md5sum | cut -c1-32); exec 9>$l; flock 9; (" + command +
           ") 9>&- & sleep 0.3; kill -0 $! && echo waiting; exec 9>&-; wait $! && test -e $l";
}

const std::string DOMAIN = "mxadmin --add-domain --domain-name=example.com";
const std::string ADD_INFO = "mxadmin --add-mailname --domain-name=example.com --mailname=info";
const std::string INFO = DOMAIN + "\n" + ADD_INFO;
const std::string EXAMPLE = INFO + "\nmxadmin --add-alias " +
                            "--domain-name=example.com "
                            "--mailname=info --alias=i1";

const std::string ADD = "mxadmin --add-domain --domain-name=example.com";
const std::string REMOVE = "mxadmin --remove-alias --domain-name=example.com --mailname=info "
                           "--alias=i1";
const std::string UNALIAS = "mxadmin --del-domain-alias --domain-name=example.com "
                            "--domain-alias-name=alias1.com";
const std::string RENAME = "mxadmin --rename-mailname --domain-name=example.com "
                           "--old-mailname=info --new-mailname=boss";
const std::string TAKEN = INFO + "\nmkdir -p /var/qmail/mailnames/example.com/boss/Maildir";
const char DUMP[] = "* -s *virtual ";
const char COMPILE[] = " hash:*/virtual.new ";
const std::string HOME_TAKEN =
    "Fatal error: boost::filesystem::filesystem_error(boost::filesystem::rename: Directory not "
    "empty: \"/var/qmail/mailnames/example.com/info\", "
    "\"/var/qmail/mailnames/example.com/boss\")\n";

// fatal - the fatal-error line of a table error.
std::string fatal(const std::string& type, const std::string& text)
{
    return "Fatal error: ostra::mail::postfix::Postfix" + type + "Error(" + text + ")\n";
}

// lost - the message of a roll-back that failed ("Aliases" or "Mailboxes").
std::string lost(const std::string& table)
{
    return "CRITICAL ERROR: Unable to properly restore Postfix Virtual " + table +
           " Database used by Ostra.\nMail system may be not usable at the moment and it cannot "
           "be repaired automatically.\nConstact Veltronix support to resolve this issue.\n";
}

// What the rename leaves when only the roll-back of virtual fails.
const char VIRTUAL_RENAMED[] = R"(
    -virtual info@alias1.com info@example.com
    +virtual info@alias1.com boss@example.com
    -virtual info@alias2.com info@example.com
    +virtual info@alias2.com boss@example.com
    -virtual info@example.com info@example.com
    +virtual boss@example.com boss@example.com)";

// What a lookup of example.com's alias domains prints when it fails.
const std::string ALIASES_UNREAD = "Unable to get data from mysql database\nUnable to get domain "
                                   "aliases from database for: example.com\n";

const Case CASES[] = {
    // Adding: any failure is an error, its text the tool's, or "unknown error".
    {"add fails silently", "", fault("* -r -i *virtual_domains *", "cat >/dev/null; exit 1", ADD),
     1, "+root example.com\n+std example.com", fatal("Configuration", "unknown error")},
    {"add warns and fails", "",
     fault("* -r -i *virtual_domains *", "echo \"postmap: warning: odd\" >&2; exit 1", ADD), 1,
     "+root example.com\n+std example.com", fatal("Configuration", "postmap: warning: odd\n")},
    {"add killed without reading", "", fault("* -r -i *virtual_domains *", "kill -9 $$", ADD), 1,
     "+root example.com\n+std example.com", fatal("Configuration", "unknown error")},
    // Removing: a non-zero exit fails only with a panic, fatal or error line.
    {"remove exits 1 silently", EXAMPLE, fault("* -d *", "exit 1", REMOVE), 0, "", ""},
    {"remove warns", EXAMPLE,
     fault("* -d *", "echo \"postmap: warning: x\npostmap: errors: y\" >&2; exit 1", REMOVE), 0, "",
     ""},
    {"remove reports an error", EXAMPLE,
     fault("* -d *", "echo \"postmap: warning: w\npostmap: error: e\" >&2; exit 1", REMOVE), 1, "",
     fatal("Database", "postmap: warning: w\npostmap: error: e\n")},
    {"remove killed", EXAMPLE, fault("* -d *", "printf partial >&2; kill -9 $$", REMOVE), 1, "",
     fatal("Database", "partial")},
    // A rewrite that fails leaves the table and deletes its source file.
    {"rewrite dump fails", EXAMPLE,
     fault(DUMP, "echo \"postmap: fatal: gone\" >&2; exit 1", UNALIAS), 1, "",
     fatal("Configuration", "postmap: fatal: gone\n")},
    {"rewrite dump killed half way", EXAMPLE,
     fault(DUMP, "printf \"i1@example.com x\\nin\"; kill -9 $$", UNALIAS), 1, "",
     fatal("Configuration", "unknown error")},
    {"rewrite compile fails", EXAMPLE, fault(COMPILE, "exit 75", UNALIAS), 1, "",
     fatal("Configuration", "unknown error")},
    // A rename undoes its table rewrites, newest first; a failed undo is
    // reported and the next still runs.
    {"rename fails on virtual", INFO, fault(COMPILE, "exit 1", RENAME), 1, "",
     fatal("Configuration", "unknown error")},
    {"rename fails on the home, undo of virtual fails", TAKEN, fault(COMPILE, "exit 1", RENAME, 1),
     1, VIRTUAL_RENAMED, lost("Aliases") + HOME_TAKEN},
    {"rename fails on the home, both undos fail", TAKEN, fault(" hash:*/v* ", "exit 1", RENAME, 2),
     1, VIRTUAL_RENAMED + std::string(R"(
        -vmailbox info@example.com example.com/info/Maildir/
        +vmailbox boss@example.com example.com/boss/Maildir/)"),
     lost("Aliases") + lost("Mailboxes") + HOME_TAKEN},
    // Not the rerun of a killed rename, which would find the new name only.
    {"rename of a name found nowhere onto a home", TAKEN,
     "mxadmin --rename-mailname --domain-name=example.com --old-mailname=ghost --new-mailname=boss",
     1, "",
     "Fatal error: boost::filesystem::filesystem_error(boost::filesystem::rename: No such file or "
     "directory: \"/var/qmail/mailnames/example.com/ghost\", "
     "\"/var/qmail/mailnames/example.com/boss\")\n"},
    // The quota lookup runs on the connection its caller opened: a second
    // one would be refused.
    {"one panel connection at a time", "mxadmin --add-domain --domain-name=example.com",
     "mariadb --no-defaults -e 'ALTER USER admin@localhost WITH MAX_USER_CONNECTIONS 1' && "
     "mxadmin --add-mailname --domain-name=example.com --mailname=info; s=$?; "
     "mariadb --no-defaults -e 'ALTER USER admin@localhost WITH MAX_USER_CONNECTIONS 0'; exit $s",
     0, R"(
        +home example.com/info
        +quota example.com/info 2960S,0C
        +vmailbox info@example.com example.com/info/Maildir/
        +virtual info@alias1.com info@example.com
        +virtual info@alias2.com info@example.com
        +virtual info@example.com info@example.com)",
     ""},
    // A place the program writes that is of the wrong kind: refused, nothing changed.
    {"mail root a file", "rm -rf /var/qmail/mailnames && touch /var/qmail/mailnames",
     "mxadmin --add-mailname --domain-name=example.com --mailname=info", 1, "",
     "Fatal error: boost::filesystem::filesystem_error(boost::filesystem::create_directory: File "
     "exists: \"/var/qmail/mailnames\")\n"},
    {"domain keys directory a file",
     "rm -rf /etc/domainkeys && touch /etc/domainkeys && echo k >/run/k",
     "mxadmin --set-domain-key --domain-name=example.com --file-name=/run/k", 1, "",
     "Unable to create directory /etc/domainkeys/example.com: Not a directory\n"},
    {"authentication database a directory",
     "rm -f /var/spool/postfix/ostra/passwd.db && mkdir /var/spool/postfix/ostra/passwd.db",
     "HSP_PASSWORD=x mxadmin --set-password --domain-name=example.com --mailname=info", 1, "",
     "Unable to open database /var/spool/postfix/ostra/passwd.db: unable to open database file\n"
     "Unable to set password for mailname info@example.com\n"},
    {"authentication database not a database", "echo junk >/var/spool/postfix/ostra/passwd.db",
     "HSP_PASSWORD=x mxadmin --set-password --domain-name=example.com --mailname=info", 1, "",
     "Unable to prepare SQL statement for query 'SELECT id FROM domains WHERE name=?': file is "
     "not a database\nNo such domain 'example.com' in the mail authentication DB\nUnable to set "
     "password for mailname info@example.com\n"},
    {"SPF directory a file", "rm -rf /etc/hsp-spf && touch /etc/hsp-spf",
     "mxadmin --update-spf --spf-guess=g", 1, "",
     "Unable to open file /etc/hsp-spf/spfguess for writing: Not a directory\n"
     "Unable to update 'spf_guess' parameter\n"},
    {"attachments directory a file",
     "mkdir -p /var/qmail/mailnames/example.com/info && touch "
     "/var/qmail/mailnames/example.com/info/@attachments && echo a >/run/a",
     "mxadmin --add-attachment --domain-name=example.com --mailname=info --attachment-file-name=a "
     "--file-name=/run/a",
     1, "",
     "Unable to open dir /var/qmail/mailnames/example.com/info/@attachments: Not a directory\n\n"
     "System error 20: Not a directory\nUnable to copy the attachment file /run/a to "
     "/var/qmail/mailnames/example.com/info/@attachments/a\n\nSystem error 20: Not a directory\n"},
    // A panel table gone for one run.
    {"mail name added, the panel's limits unreadable: a home without quota", DOMAIN,
     mxtest::withoutTable("Limits", ADD_INFO), 1, "+home example.com/info",
     "Unable to query domain limit mbox_quota: Table 'hsp.Limits' doesn't exist\n\nFatal error: "
     "ostra::mail::FSError(unable to remove quota: Success: "
     "\"/var/qmail/mailnames/example.com/info\")\n"},
    {"mail name added, the panel's alias domains unreadable: its own domain only", DOMAIN,
     mxtest::withoutTable("domainaliases", ADD_INFO), 0, R"(
        +home example.com/info
        +quota example.com/info 2960S,0C
        +virtual info@example.com info@example.com
        +vmailbox info@example.com example.com/info/Maildir/)",
     ALIASES_UNREAD},
    {"mail name removed, its mail aliases unreadable: nothing removed", EXAMPLE,
     mxtest::withoutTable("mail_aliases", "mxadmin --remove-mailname --domain-name=example.com "
                                          "--mailname=info"),
     1, "",
     "Unable to get data from mysql database\nUnable to get aliases for mailname: "
     "info@example.com\nUnable to get mail aliases for info@example.com\n"},
    {"mail alias added, the panel's alias domains unreadable: its own domain only", EXAMPLE,
     mxtest::withoutTable("domainaliases", "mxadmin --add-alias --domain-name=example.com "
                                           "--mailname=info --alias=i2"),
     1, "+virtual i2@example.com info@example.com", ALIASES_UNREAD + ALIASES_UNREAD},
    {"mailbox added, the panel's alias domains unreadable: its own domain only", EXAMPLE,
     mxtest::withoutTable("domainaliases", "HSP_PASSWORD=x mxadmin --add-mailbox "
                                           "--domain-name=example.com --mailname=info"),
     1, R"(
        +auth domain example.com 0
        +auth user info@example.com x - 0
        -tree example.com/info/.qmail f600 popuser:popuser | true\n
        +tree example.com/info/.qmail f600 popuser:popuser | true\n| /usr/bin/deliverquota ./Maildir\n)",
     ALIASES_UNREAD + "Unable to get domain aliases for domain example.com\n"},
    {"mail name removed, the panel's alias domains unreadable: nothing removed", EXAMPLE,
     mxtest::withoutTable("domainaliases", "mxadmin --remove-mailname --domain-name=example.com "
                                           "--mailname=info"),
     1, "",
     ALIASES_UNREAD + "Unable to get domain aliases for domain example.com\nUnable to remove "
                      "mailname from domain aliases\n"},
    {"size of a mail name without a home", DOMAIN,
     "mxadmin --get-mailbox-size --domain-name=example.com --mailname=nobody", 1, "",
     "Unable to calculate Maildir++ size: No such file or directory\n"},
    // Unreadable host configuration: the defaults hold.
    {"host configuration a directory", "rm -f /etc/hsp/hsp.conf && mkdir /etc/hsp/hsp.conf",
     "mxadmin -i", 0, "+ran courier-imap start", ""},
    {"postconf write fails", "",
     fault("* -e *", "exit 1", "mxadmin --add-whitelist --ip-address=10.1.1.1 --netmask=32"), 1, "",
     fatal("Configuration", "unknown error")},
    // Runs wait for the locks of others: table changes for a rewrite's lock
    // on the table's source path, main.cf list edits for the edit lock,
    // master.cf changes for the run lock.
    {"add waits for the table", EXAMPLE,
     held("/var/spool/postfix/ostra/virtual",
          "mxadmin --set-catchall --domain-name=example.com --email=x@y.org"),
     0, "+virtual @alias1.com x@y.org\n+virtual @alias2.com x@y.org\n+virtual @example.com x@y.org",
     "waiting\n"},
    {"removal waits for the table", EXAMPLE,
     held("/var/spool/postfix/ostra/virtual", "mxadmin --set-reject --domain-name=example.com"), 0,
     "", "waiting\n"},
    {"one key's removal waits for the table", EXAMPLE,
     held("/var/spool/postfix/ostra/virtual", REMOVE), 0, R"(
        -virtual i1@alias1.com info@example.com
        -virtual i1@alias2.com info@example.com
        -virtual i1@example.com info@example.com)",
     "waiting\n"},
    {"rewrite waits for the table", EXAMPLE, held("/var/spool/postfix/ostra/virtual", UNALIAS), 0,
     "-virtual i1@alias1.com info@example.com\n-virtual info@alias1.com info@example.com",
     "waiting\n"},
    {"list edit waits for main.cf", "",
     held("/etc/postfix/main.cf.edit",
          "mxadmin --add-whitelist --ip-address=10.1.1.1 --netmask=32"),
     0, "+main.cf mynetworks = 127.0.0.0/8, 10.1.1.1/32\n+ran postfix reload", "waiting\n"},
    {"service toggle waits for master.cf", "", held("/etc/postfix/master.cf.edit", "mxadmin -b"), 0,
     "", "waiting\n"},
};

TEST(Faults, StandInsAndLocks)
{
    mxtest::resetWorld(); // sets the real tools' tables aside first
    for (const char* tool : {"/usr/sbin/postmap", "/usr/sbin/postconf"})
        mxtest::setup(std::string("mv ") + tool + " " + tool + ".real\n");
    mxtest::installScript("/usr/sbin/postmap", STAND_IN);
    mxtest::installScript("/usr/sbin/postconf", STAND_IN);
    for (const Case& c : CASES)
        mxtest::runCase(c);
}

// lockIsFree - whether the hashed lock of path can be taken at once.
bool lockIsFree(const std::string& path)
{
    try {
        ostra::MKLock lock(path, ostra::MKLock::HASHED_FILENAME, ostra::MKLock::NONBLOCK);
        return true;
    } catch (const std::runtime_error& e) {
        EXPECT_EQ("lock(" + path + ") failed: file is already locked", std::string(e.what()));
        return false;
    }
}

// A source file that cannot be opened fails the rewrite and frees the lock;
// while held, the lock is refused to a non-blocking attempt.
TEST(Faults, UnopenableSourceReleasesTheLock)
{
    const std::string table = "hash:/var/spool/postfix/ostra/missing/virtual";
    const std::string source = tableSourcePath(table);
    EXPECT_THROW(DatabaseHelper::replaceRecords(table, RecordList{{"k", "v"}}),
                 std::ios_base::failure);
    EXPECT_TRUE(lockIsFree(source));
    typedef database::ElementsFilter<database::NotInDomainFilter> Filter;
    EXPECT_THROW(DatabaseHelper::filterRecords(table, Filter(database::NotInDomainFilter("d"))),
                 std::ios_base::failure);
    EXPECT_TRUE(lockIsFree(source));
    ostra::MKLock holder(source);
    EXPECT_FALSE(lockIsFree(source));
}

} // namespace
