// mailnames_systest.cc - the mail name commands end to end: real mxadmin,
// real postmap, the SQLite authentication database, the private panel
// database and the handler store, each case compared as the whole server's
// changes; with the mail storage and authentication code below them.
#include <gtest/gtest.h>

#include "mail/lib/mail_authenticate.h"
#include "world.h"

namespace {

using mxtest::Case;

// ex - an mxadmin command line for example.com.
std::string ex(const std::string& args)
{
    return "mxadmin --" + args + " --domain-name=example.com";
}

// all3 - the line for example.com and each of its alias domains, "%" standing for the domain.
std::string all3(const std::string& line)
{
    std::string out;
    for (const char* d : {"example.com", "alias1.com", "alias2.com"}) {
        std::string l = line;
        out += "\n" + l.replace(l.find('%'), 1, d);
    }
    return out;
}

// rows - the credentials of info and its panel mail aliases i1 and i2 everywhere.
std::string rows(const std::string& password)
{
    return all3("+auth user info@% " + password + " - 0") +
           all3("+auth user i1@% " + password + " - 0") +
           all3("+auth user i2@% " + password + " - 0");
}

// handler - the registry and queue lines of an address's handler: the
// template h of FULL, or the autoresponder.
std::string handler(char sign, const std::string& address, bool responder = false)
{
    const std::string name = responder ? "90-autoresponder" : "10-h";
    const std::string queue =
        std::string("\n") + sign + "handlers before-local/recipient/" + address;
    return std::string("\n") + sign + "handler " + name + " recipient " + address +
           (responder ? " before-local /usr/local/hsp/handlers/hooks/autoresponder responder"
                      : " before-local /bin/true c") +
           queue + " d755 root:root" + queue + "/" + name + "-* f644 root:root";
}

// undone - the changes the other way round.
std::string undone(std::string changes)
{
    for (size_t at = changes.find_first_of("+-"); at != std::string::npos;
         at = changes.find_first_of("+-", changes.find('\n', at)))
        changes[at] = changes[at] == '+' ? '-' : '+';
    return changes;
}

const std::string HOME = "/var/qmail/mailnames/example.com/info";
const std::string AUTH_DB = "/var/spool/postfix/ostra/passwd.db";
const std::string INFO = ex("add-mailname --mailname=info") + "\n";
// info with the password pw (also set for its panel mail aliases i1 and i2),
// a handler, and the mail alias i1, which gets a copy of the handler.
const std::string FULL = INFO + "HSP_PASSWORD=pw " + ex("set-password --mailname=info") + "\n" +
                         "mxadmin --add-handler --handler-name=h --handler-type=recipient "
                         "--handler-type-name=info@example.com --executable=/bin/true "
                         "--context=c --hook=before-local --priority=10\n" +
                         ex("add-alias --mailname=info --alias=i1") + "\n";
const std::string BOX = "HSP_PASSWORD=pw " + ex("add-mailbox --mailname=info") + "\n";
const std::string HOOK = "mkdir -p /usr/local/hsp/handlers/hooks && "
                         "printf 'exit 0' >/usr/local/hsp/handlers/hooks/autoresponder\n";

const std::string INFO_RECORDS = "\n+vmailbox info@example.com example.com/info/Maildir/" +
                                 all3("+virtual info@% info@example.com");
const std::string INFO_ADDED =
    "+tree example.com d700 root:root\n+home example.com/info" + INFO_RECORDS;
const std::string QMAIL = "tree example.com/info/.qmail f600 popuser:popuser | true\\n";
const std::string DELIVERY = "| /usr/bin/deliverquota ./Maildir\\n";
const std::string WARNING = "WARNING: @attachments directory is big enough to disable delivery!\n";
const std::string NO_PROGRAM = "Unable to stat executable '/usr/local/hsp/handlers/hooks/"
                               "autoresponder': No such file or directory\n";

const Case MAILNAMES[] = {
    {"add with a quota", "", ex("add-mailname --mailname=info --disk-quota=5000"), 0,
     INFO_ADDED + "\n+quota example.com/info 4960S,0C", ""},
    // An old home keeps its mail; owners, modes and ".qmail" start over.
    {"add without a quota over an old home takes the domain's limit",
     "mkdir -p " + HOME + "/Maildir/cur && cd " + HOME +
         " && echo '&x@y.com' >.qmail && echo m >Maildir/cur/1",
     INFO, 0, R"(
        -tree example.com/info d755 root:root
        -tree example.com/info/.qmail f644 root:root &x@y.com\n
        -tree example.com/info/Maildir d755 root:root
        -tree example.com/info/Maildir/cur d755 root:root
        +home example.com/info
        +tree example.com/info/Maildir/maildirsize f644 popuser:popuser 2960S,0C\n           2           1\n
        )" + INFO_RECORDS,
     ""},
    {"add without a quota in a domain without a limit", "",
     "mxadmin --add-mailname --domain-name=other.com --mailname=ceo", 0, R"(
        +tree other.com d700 root:root
        +home other.com/ceo
        +quota other.com/ceo 0S,0C
        +vmailbox ceo@other.com other.com/ceo/Maildir/
        +virtual ceo@other-alias.com ceo@other.com
        +virtual ceo@other.com ceo@other.com)",
     ""},
    {"add without a quota when the limit is 0", "sql UPDATE Limits SET value='0'", INFO, 0,
     INFO_ADDED + "\n+quota example.com/info 1S,0C", WARNING},
    // The default cannot be read: the home stays, the records are not written.
    {"add without a quota in a domain unknown to the panel", "",
     "mxadmin --add-mailname --domain-name=new.org --mailname=info", 1,
     "+tree new.org d700 root:root\n+home new.org/info", "~unable to remove quota"},
    {"add in a configured mail root",
     "mkdir -p /etc/hsp && echo 'OSTRA_MAILNAMES_D /run/mail' >/etc/hsp/hsp.conf",
     ex("add-mailname --mailname=info --disk-quota=-1") + " && ls -A /run/mail/example.com/info", 0,
     INFO_RECORDS, ".qmail\n@attachments\nMaildir\n"},
    // A forward is stored in ASCII form and removed in either.
    {"an international domain in ASCII form everywhere",
     "sql INSERT INTO domains (id, name, limits_id) VALUES (3, 'xn--bcher-kva.example', 1)",
     "D=--domain-name=bücher.example; mxadmin --add-mailname $D --mailname=info && "
     "mxadmin --add-redirect $D --mailname=info --redirect-email=jürgen@bücher.example && "
     "mxadmin --add-redirect $D --mailname=info --redirect-email=a@bücher.example && "
     "HSP_PASSWORD=pw mxadmin --add-mailbox $D --mailname=info && "
     "mxadmin --remove-redirect $D --mailname=info --redirect-email=a@xn--bcher-kva.example",
     0, R"(
        +auth domain xn--bcher-kva.example 0
        +auth user info@xn--bcher-kva.example pw - 0
        +tree xn--bcher-kva.example d700 root:root
        +home xn--bcher-kva.example/info
        -tree xn--bcher-kva.example/info/.qmail f600 popuser:popuser | true\n
        +tree xn--bcher-kva.example/info/.qmail f600 popuser:popuser | true\n&jürgen@xn--bcher-kva.example\n| /usr/bin/deliverquota ./Maildir\n
        +quota xn--bcher-kva.example/info 2960S,0C
        +vmailbox info@xn--bcher-kva.example xn--bcher-kva.example/info/Maildir/
        +virtual info@xn--bcher-kva.example info@xn--bcher-kva.example)",
     ""},
    {"redirects are kept once each, in the order last added", INFO + BOX,
     ex("add-redirect --mailname=info --redirect-email=a@x.com") + " && " +
         ex("add-redirect --mailname=info --redirect-email=b@x.com") + " && " +
         ex("add-redirect --mailname=info --redirect-email=a@x.com") + " && " + BOX,
     0, "-" + QMAIL + DELIVERY + "\n+" + QMAIL + "&b@x.com\\n&a@x.com\\n" + DELIVERY, ""},
    // Ownership and mode are set again even when no line goes.
    {"remove a redirect that is not there", INFO + "chown root " + HOME + "/.qmail",
     ex("remove-redirect --mailname=info --redirect-email=a@x.com"), 0,
     "-tree example.com/info/.qmail f600 root:popuser | true\\n\n+" + QMAIL, ""},
    {"redirect without .qmail", INFO + "rm " + HOME + "/.qmail",
     ex("add-redirect --mailname=info --redirect-email=a@x.com"), 0,
     "+tree example.com/info/.qmail f600 popuser:popuser &a@x.com\\n", ""},
    {"redirect of a mail name without a home", "",
     ex("add-redirect --mailname=info --redirect-email=a@x.com"), 1, "",
     "~Unable to open file " + HOME + "/.qmail: No such file or directory\n"},
    {"mailbox over the legacy delivery line",
     INFO + "printf '| true\\n./Maildir/\\n&a@x.com' >" + HOME + "/.qmail",
     "HSP_CRYPTED_PASSWORD='$1$s$h' " + ex("add-mailbox -D --mailname=info"), 0,
     "-" + QMAIL + "./Maildir/\\n&a@x.com\n+" + QMAIL + "&a@x.com\\n" + DELIVERY +
         all3("+auth domain % 1") + all3("+auth user info@% - $1$s$h 0"),
     ""},
    {"mailbox without a password", FULL, ex("add-mailbox --mailname=info"), 0,
     "-" + QMAIL + "\n+" + QMAIL + DELIVERY + all3("-auth user info@% pw - 0"), ""},
    {"remove mailbox", FULL + BOX, ex("remove-mailbox --mailname=info"), 0,
     "-" + QMAIL + DELIVERY + "\n+" + QMAIL + undone(rows("pw")), ""},
    {"remove mailbox of a mail name without a home", "", ex("remove-mailbox --mailname=info"), 1,
     "", "~unable to modify " + HOME + "/.qmail"},
    // -D marks only domains that are new to the authentication database.
    {"password reaches the mail aliases and the alias domains", FULL,
     "HSP_PASSWORD=new " + ex("set-password -D --mailname=info"), 0,
     undone(rows("pw")) + rows("new"), ""},
    {"an empty clear password gives way to the crypted one", FULL,
     "HSP_PASSWORD= HSP_CRYPTED_PASSWORD=c " + ex("set-password --mailname=sales"), 0,
     all3("+auth user sales@% - c 0"), ""},
    {"with both passwords the clear one wins", FULL,
     "HSP_PASSWORD=clear HSP_CRYPTED_PASSWORD=c " + ex("set-password --mailname=sales"), 0,
     all3("+auth user sales@% clear - 0"), ""},
    {"no password removes the credentials", FULL, ex("set-password --mailname=info"), 0,
     undone(rows("pw")), ""},
    {"add alias copies the records, the credentials and the handlers", FULL,
     ex("add-alias --mailname=info --alias=i3"), 0,
     all3("+virtual i3@% info@example.com") + all3("+auth user i3@% pw - 0") +
         handler('+', "i3@example.com"),
     ""},
    {"add alias of a mail name without credentials", INFO,
     ex("add-alias --mailname=info --alias=i3"), 0, all3("+virtual i3@% info@example.com"), ""},
    {"remove alias", FULL, ex("remove-alias --mailname=info --alias=i1"), 0,
     all3("-virtual i1@% info@example.com") + all3("-auth user i1@% pw - 0") +
         handler('-', "i1@example.com"),
     ""},
    {"remove an alias that is not there", FULL, ex("remove-alias --mailname=info --alias=x"), 0, "",
     ""},
    // The mail aliases' records stay.
    {"remove mailname",
     FULL + "mxadmin --add-handler --handler-name=h --handler-type=recipient "
            "--handler-type-name='info@alias1.com, i1@alias2.com' --executable=/bin/true "
            "--context=c --hook=before-local --priority=10",
     ex("remove-mailname --mailname=info"), 0,
     "-home example.com/info\n-quota example.com/info 2960S,0C" + undone(INFO_RECORDS) +
         undone(rows("pw")) + handler('-', "info@example.com") + handler('-', "i1@example.com") +
         handler('-', "info@alias1.com") + handler('-', "i1@alias2.com"),
     ""},
    // What cannot be removed is set aside under the home's inode number.
    {"remove mailname whose mail cannot be removed",
     INFO + "cd " + HOME +
         "/Maildir && echo hi >cur/1 && mount --bind cur cur && "
         "mount -o remount,bind,ro cur",
     ex("remove-mailname --mailname=info") + " && cd /var/qmail/mailnames/example.com && "
                                             "i=$(stat -c %i info.*) && cat info.OstraSaved.$i/"
                                             "Maildir/cur/1 && umount info.*/Maildir/cur && "
                                             "rm -r info.*",
     0,
     "-home example.com/info\n-quota example.com/info 2960S,0C\n"
     "-tree example.com/info/Maildir/cur/1 f644 root:root hi\\n" +
         undone(INFO_RECORDS),
     "hi\n"},
    // A link in place of the home goes; what it points to stays.
    {"remove mailname whose home is a link",
     INFO + "mkdir -p /run/elsewhere/keep && rm -r " + HOME + " && ln -s /run/elsewhere " + HOME,
     ex("remove-mailname --mailname=info") + " && ls /run/elsewhere", 0,
     "-tree example.com/info l -> /run/elsewhere" + undone(INFO_RECORDS), "keep\n"},
    {"autoresponder for a list of names, empty ones skipped", HOOK,
     ex("set-autoresponder --mailname=',info,, sales,'"), 0,
     "\n+handlers before-local d755 root:root\n+handlers before-local/recipient d755 root:root"
     "\n+handlers info d755 root:root" +
         handler('+', "info@example.com", true) + handler('+', "sales@example.com", true),
     ""},
    {"autoresponder set again, for a list of domains and in ASCII form",
     HOOK + ex("set-autoresponder --mailname=info"),
     "mxadmin --set-autoresponder --domain-name='example.com,, other.com,' --mailname=info && "
     "mxadmin --set-autoresponder --domain-name=bücher.example --mailname=info",
     0, handler('+', "info@other.com", true) + handler('+', "info@xn--bcher-kva.example", true),
     ""},
    {"reset autoresponder", HOOK + ex("set-autoresponder --mailname='info,sales'"),
     ex("reset-autoresponder --mailname=info") + " && " + ex("reset-autoresponder --mailname=info"),
     0, handler('-', "info@example.com", true), ""},
    {"autoresponder without its program", "", ex("set-autoresponder --mailname=info,sales"), 255,
     "", NO_PROGRAM + NO_PROGRAM + "Unable to make action for some autoresponder handlers\n"},
};

const std::string RENAME = ex("rename-mailname --old-mailname=info --new-mailname=office");
const std::string OFFICE = "/var/qmail/mailnames/example.com/office";
// FULL after a rename killed past the mail home (its credential step failed).
const std::string KILLED = FULL + "mv " + AUTH_DB + " /run/pw.db && : >" + AUTH_DB + " && ! " +
                           RENAME + " && mv /run/pw.db " + AUTH_DB + "\n";
// What renaming info to office does to the tables, the home and the handler.
const std::string MAILBOX_RENAMED = R"(
    -vmailbox info@example.com example.com/info/Maildir/
    +vmailbox office@example.com example.com/office/Maildir/)";
const std::string VIRTUAL_RENAMED = R"(
    -virtual info@example.com info@example.com
    +virtual office@example.com office@example.com
    -virtual info@alias1.com info@example.com
    -virtual info@alias2.com info@example.com
    +virtual info@alias1.com office@example.com
    +virtual info@alias2.com office@example.com)" +
                                    all3("-virtual i1@% info@example.com") +
                                    all3("+virtual i1@% office@example.com");
const std::string RENAMED = MAILBOX_RENAMED + VIRTUAL_RENAMED + R"(
    -home example.com/info
    -quota example.com/info 2960S,0C
    +home example.com/office
    +quota example.com/office 2960S,0C)";
const std::string KEYS_RENAMED = R"(
    -virtual info@alias1.com office@example.com
    -virtual info@alias2.com office@example.com
    +virtual office@alias1.com office@example.com
    +virtual office@alias2.com office@example.com)";
const std::string MOVED = handler('-', "info@example.com") + handler('+', "office@example.com");
const std::string ALIAS_ROWS_RENAMED = R"(
    -auth user info@alias1.com pw - 0
    -auth user info@alias2.com pw - 0
    +auth user office@alias1.com pw - 0
    +auth user office@alias2.com pw - 0)";
const std::string ROWS_RENAMED = ALIAS_ROWS_RENAMED + "\n-auth user info@example.com pw - 0"
                                                      "\n+auth user office@example.com pw - 0";

// homeError - the failed rename of info's mail home to office.
std::string homeError(const std::string& reason)
{
    return "Fatal error: boost::filesystem::filesystem_error(boost::filesystem::rename: " + reason +
           ": \"" + HOME + "\", \"" + OFFICE + "\")\n";
}

const std::string BUSY = "Directory not empty";
const std::string NO_HOME = "No such file or directory";

const Case RENAMES[] = {
    // Both password variables leave the environment: children see neither.
    {"with a password",
     FULL + "mkdir -p /usr/lib/ostra-9.0 && cd /usr/lib/ostra-9.0 && printf '#!/bin/sh\\nenv | "
            "grep ^HSP_ >>/run/sync-env; true' >handlers-tmpfs && chmod +x handlers-tmpfs",
     "HSP_PASSWORD=clear HSP_CRYPTED_PASSWORD=crypt " + RENAME + " && sort -u /run/sync-env", 0,
     RENAMED + KEYS_RENAMED + ROWS_RENAMED + MOVED, ""},
    // The new rows keep the old ones' status.
    {"disabled user in a disabled domain",
     FULL + "sqlite3 " + AUTH_DB + " 'UPDATE users SET status=1; UPDATE domains SET status=1'",
     "HSP_PASSWORD=clear " + RENAME, 0,
     RENAMED + KEYS_RENAMED + all3("-auth user info@% pw - 1") +
         all3("+auth user office@% pw - 1") + MOVED,
     ""},
    {"without a password", FULL, RENAME, 0, RENAMED + all3("-auth user info@% pw - 0") + MOVED, ""},
    // The alias domains are still done; the handlers stay.
    {"in a domain unknown to the authentication database",
     FULL + "sqlite3 " + AUTH_DB + " \"DELETE FROM domains WHERE name='example.com'\"",
     "HSP_PASSWORD=x " + RENAME, 255, RENAMED + KEYS_RENAMED + ALIAS_ROWS_RENAMED,
     "No such domain 'example.com' in the mail authentication DB\n"},
    {"onto a mail home that is taken", FULL + "mkdir -p " + OFFICE + "/keep",
     "HSP_PASSWORD=x " + RENAME, 1, "", homeError(BUSY)},
    {"of a mail name without a home", FULL + "rm -r " + HOME, "HSP_PASSWORD=x " + RENAME, 1, "",
     homeError(NO_HOME)},
    {"rerun with a password after a kill past the home", KILLED, "HSP_PASSWORD=x " + RENAME, 0,
     KEYS_RENAMED + ROWS_RENAMED + MOVED, ""},
    {"rerun after a kill past the credentials of the domain",
     KILLED + "sqlite3 " + AUTH_DB +
         " \"UPDATE users SET name='office' WHERE name='info' AND dom_id=1\"",
     "HSP_PASSWORD=x " + RENAME, 0, KEYS_RENAMED + ALIAS_ROWS_RENAMED + MOVED, ""},
    {"rerun without a password after a kill past the home", KILLED, RENAME, 0,
     all3("-auth user info@% pw - 0") + MOVED, ""},
    // A rerun that cannot finish rolls the tables back, as a first run would.
    {"rerun after a kill whose home went neither way", KILLED + "rm -r " + OFFICE,
     "HSP_PASSWORD=x " + RENAME, 1, undone(MAILBOX_RENAMED + VIRTUAL_RENAMED), homeError(NO_HOME)},
};

// quota - set info's mailbox quota.
std::string quota(const std::string& bytes)
{
    return ex("set-mailbox-disk-quota --mailname=info --disk-quota=" + bytes);
}

// info without a quota, its attachment store holding 300 bytes (360 with the directory).
const std::string ATTACHED = quota("-1") + "\nhead -c 300 /dev/zero >" + HOME + "/@attachments/f";
// info with four counted messages (1633 bytes; a name's first usable size
// counts) and two that do not count, and 5000 bytes of attachments (5060 with
// the directory, 8192 in blocks).
const std::string MAIL =
    INFO + quota("-1") + "\ncd " + HOME +
    "/Maildir && touch cur/1.a,S=9,S=1000:2,S new/2.b,S=500 .Spam/cur/4.d,S=10 "
    "tmp/5.e,S=9999 && head -c 123 /dev/zero >cur/3.c && mkdir .Trash .Trash/cur"
    " && touch .Trash/cur/6.f,S=7777 && head -c 5000 /dev/zero >../@attachments/d\n";
const std::string VICTIM = "echo precious >/run/victim && ln -s /run/victim ";

const Case STORAGE[] = {
    {"quota above the attachment store", INFO + ATTACHED, quota("1260"), 0,
     "-quota example.com/info 0S,0C\n+quota example.com/info 900S,0C", ""},
    {"quota equal to the attachment store", INFO + ATTACHED, quota("360"), 0,
     "-quota example.com/info 0S,0C\n+quota example.com/info 1S,0C", ""},
    {"quota below the attachment store", INFO + ATTACHED, quota("359"), 0,
     "-quota example.com/info 0S,0C\n+quota example.com/info 1S,0C", WARNING},
    {"negative quota", INFO + ATTACHED + "\n" + quota("500"), quota("-5000"), 0,
     "-quota example.com/info 140S,0C\n+quota example.com/info 0S,0C", ""},
    {"quota of mail names without a home or a Maildir", INFO + "rm -r " + HOME + "/Maildir",
     ex("set-mailbox-disk-quota --mailname=x --disk-quota=1") + "; " + quota("-1"), 1, "",
     "~Fatal error: ostra::mail::FSError(chdir: No such file or directory: "
     "\"/var/qmail/mailnames/example.com/x\")\nFatal error: ostra::mail::FSError(create "
     "maildirsize"},
    // A fresh quota file counts no messages, so the folders are scanned.
    {"size scanned", MAIL, ex("get-mailbox-size --mailname=info"), 0, "", "6693"},
    // A quota file that counts messages is read; a message added after it is not seen.
    {"size in blocks from the quota file",
     MAIL + quota("-1") + "\ntouch " + HOME + "/Maildir/new/7.g,S=100000",
     ex("get-mailbox-size --in-blocks --mailname=info"), 0, "", "9825"},
    {"size of a mail name without a home", "", ex("get-mailbox-size --mailname=info"), 1, "",
     "~Unable to calculate Maildir++ size"},
    {"edit over a stale temporary that is a link", INFO + VICTIM + HOME + "/.qmail.tmp",
     ex("add-redirect --mailname=info --redirect-email=a@x.com") + " && cat /run/victim", 0,
     "-tree example.com/info/.qmail.tmp l -> /run/victim\n-" + QMAIL + "\n+" + QMAIL +
         "&a@x.com\\n",
     "precious\n"},
    {"edit when the temporary cannot be written",
     INFO + "mkdir " + HOME + "/.qmail.tmp && touch " + HOME + "/.qmail.tmp/keep",
     ex("add-redirect --mailname=info --redirect-email=a@x.com"), 1, "", "~unable to modify"},
    // Line edits refuse a link; a reset replaces it.
    {"a link in place of .qmail", INFO + "rm " + HOME + "/.qmail && " + VICTIM + HOME + "/.qmail",
     "! " + ex("add-mailbox --mailname=info") + " >/dev/null 2>&1 && " +
         ex("add-mailname --mailname=info") + " && cat /run/victim",
     0, "-tree example.com/info/.qmail l -> /run/victim\n+" + QMAIL, "precious\n"},
    {"a link planted in a mail home",
     INFO + "mkdir /run/victim-dir && cd " + HOME +
         "/Maildir && rm -r .Spam && "
         "ln -s /run/victim-dir .Spam",
     INFO + "s=$?; stat -c '%a %U' /run/victim-dir; exit $s", 1, "",
     "Fatal error: boost::filesystem::filesystem_error(boost::filesystem::create_directory: "
     "symbolic link refused: \"" +
         HOME + "/Maildir/.Spam\")\n755 root\n"},
    {"domain keys for a list with a bad name", "echo KEY >$TMPDIR/key",
     "umask 077; mxadmin --set-domain-key --domain-name='ExAmple.COM,a/b,good.org' "
     "--file-name=$TMPDIR/key; s=$?; cat $TMPDIR/key; exit $s",
     1, "", "Fatal error: std::invalid_argument(invalid domain name 'a/b')\nKEY\n"},
    {"domain key from a missing file or a directory", "",
     "mxadmin --set-domain-key --domain-name=a.org --file-name=/run/none; "
     "mxadmin --set-domain-key --domain-name=a.org --file-name=/run",
     1, "",
     "No source file '/run/none': No such file or directory\n"
     "No source file '/run': not a regular file\n"},
    {"remove domain keys of a list",
     "echo KEY >$TMPDIR/key\n"
     "mxadmin --set-domain-key --domain-name=one.org,two.org --file-name=$TMPDIR/key\n"
     "mkdir /etc/domainkeys/one.org/sub && touch /etc/domainkeys/one.org/sub/x",
     "mxadmin --remove-domain-key --domain-name=One.ORG,absent.org", 0, R"(
        -dkey one.org d755 root:root
        -dkey one.org/default f440 root:popuser KEY\n
        -dkey one.org/sub d755 root:root
        -dkey one.org/sub/x f644 root:root)",
     ""},
};

const std::string NO_SCHEMA = ": >" + AUTH_DB + "\n";
const std::string NO_PANEL = "echo wrong >/etc/hsp/.hsp.shadow\n";
const std::string PREPARE = "Unable to prepare SQL statement for query 'SELECT id FROM domains "
                            "WHERE name=?': no such table: domains\n";
const std::string NO_FILE = "Unable to open admin password file: No such file or directory\n"
                            "Unable to connect to mysql database\n"
                            "Unable to get domain aliases from database for: example.com\n";

const std::string NOT_OPENED = "Unable to open database " + AUTH_DB +
                               ": unable to open database file\n"
                               "Unable to set password for mailname info@example.com\n";

const Case FAILURES[] = {
    {"remove mailname without a schema", FULL + NO_SCHEMA, ex("remove-mailname --mailname=info"), 1,
     "", PREPARE + "Unable to remove mailname info@example.com\n"},
    {"remove alias without a schema", FULL + NO_SCHEMA,
     ex("remove-alias --mailname=info --alias=i1"), 1,
     all3("-virtual i1@% info@example.com") + handler('-', "i1@example.com"),
     PREPARE + "Unable to remove mailname i1@example.com\n"},
    {"set password without a schema", FULL + NO_SCHEMA,
     "HSP_PASSWORD=x " + ex("set-password --mailname=info"), 1, "",
     PREPARE + "No such domain 'example.com' in the mail authentication DB\n"
               "Unable to set password for mailname info@example.com\n"},
    // Delivery is switched off first.
    {"remove mailbox without a schema", INFO + BOX + NO_SCHEMA,
     ex("remove-mailbox --mailname=info"), 1, "-" + QMAIL + DELIVERY + "\n+" + QMAIL,
     PREPARE + "Unable to remove mailname info@example.com\n"},
    // Neither a password, nor its removal, nor a copy creates the database.
    {"without the authentication database", INFO + "rm " + AUTH_DB,
     "HSP_PASSWORD=x " + ex("set-password --mailname=info") + "; " +
         ex("set-password --mailname=info") + "; " + ex("add-alias --mailname=info --alias=i3"),
     1, all3("+virtual i3@% info@example.com"),
     NOT_OPENED + NOT_OPENED + "Unable to open database(readonly) " + AUTH_DB +
         ": unable to open database file\nUnable to get users list from MTA password database\n"},
    {"remove mailname, the panel database unreachable", FULL + NO_PANEL,
     ex("remove-mailname --mailname=info"), 1, "-auth user info@example.com pw - 0",
     "~Unable to get domain aliases for domain example.com\n"
     "Unable to remove mailname from domain aliases\n"},
    // The records in the domain and the handler copy, but no credentials.
    {"add alias without the panel password file", FULL + "rm /etc/hsp/.hsp.shadow",
     ex("add-alias --mailname=info --alias=i3"), 1,
     "+virtual i3@example.com info@example.com" + handler('+', "i3@example.com"),
     NO_FILE + NO_FILE},
    {"set password with an empty panel password file", FULL + ": >/etc/hsp/.hsp.shadow",
     "HSP_PASSWORD=x " + ex("set-password --mailname=sales"), 1,
     "+auth user sales@example.com x - 0",
     "Unable to read admin password file: the file is empty\nUnable to connect to mysql "
     "database\nUnable to get domain aliases from database for: example.com\n"
     "Unable to get domain aliases for domain example.com\n"},
    // The home stays, the records are not written.
    {"add mailname without a quota, the panel database unreachable", NO_PANEL, INFO, 1,
     "+tree example.com d700 root:root\n+home example.com/info",
     "~unable to connect to MySQL\nFatal error: ostra::mail::FSError(unable to remove quota"},
    {"add mailname with a quota, the panel database unreachable", NO_PANEL,
     ex("add-mailname --mailname=info --disk-quota=100"), 0,
     "+tree example.com d700 root:root\n+home example.com/info\n+quota example.com/info 60S,0C"
     "\n+vmailbox info@example.com example.com/info/Maildir/"
     "\n+virtual info@example.com info@example.com",
     "~Unable to get domain aliases from database for: example.com\n"},
    {"rename with a password, the panel database unreachable", FULL + NO_PANEL,
     "HSP_PASSWORD=x " + RENAME, 1,
     RENAMED + "\n-auth user info@example.com pw - 0\n+auth user office@example.com pw - 0",
     "~Unable to get domain aliases from database for: example.com\n"
     "ERROR: unable get domain aliases for domain example.com\n"},
    // The password is set in every domain before the mail aliases are looked up.
    {"set password when the mail aliases cannot be read", FULL,
     mxtest::withoutTable("mail_aliases", "HSP_PASSWORD=new " + ex("set-password --mailname=info")),
     1, all3("-auth user info@% pw - 0") + all3("+auth user info@% new - 0"),
     "~Unable to get aliases for mailname: info@example.com\n"},
    {"first passwords at once register the domain once", "",
     "for n in 1 2 3 4 5 6; do HSP_PASSWORD=p mxadmin --set-password --domain-name=new.org "
     "--mailname=u$n & done; wait",
     0,
     "+auth domain new.org 0\n+auth user u1@new.org p - 0\n+auth user u2@new.org p - 0\n"
     "+auth user u3@new.org p - 0\n+auth user u4@new.org p - 0\n+auth user u5@new.org p - 0\n"
     "+auth user u6@new.org p - 0",
     ""},
    {"waits for a lock held by another process", FULL,
     "printf 'BEGIN EXCLUSIVE;\\nUPDATE domains SET status = 1;\\n.shell touch /run/locked; "
     "sleep 0.3\\nCOMMIT;\\n' | sqlite3 /var/spool/postfix/ostra/passwd.db & for i in $(seq "
     "100); do [ -e /run/locked ] && break; sleep 0.01; done; HSP_PASSWORD=new " +
         ex("set-password --mailname=sales"),
     0, all3("-auth domain % 0") + all3("+auth domain % 1") + all3("+auth user sales@% new - 0"),
     ""},
    {"bad names", HOOK + FULL,
     ex("add-mailname --mailname=a..b") + "; " + ex("add-alias --mailname=info --alias=../x") +
         "; HSP_PASSWORD=x " + ex("rename-mailname --old-mailname=info --new-mailname=a/b") + "; " +
         ex("add-redirect --mailname=info --redirect-email='x@y.com\n|sh'") + "; " +
         ex("set-autoresponder --mailname='sales, ../info'"),
     1, "",
     "Fatal error: std::invalid_argument(a..b)\n"
     "Fatal error: std::invalid_argument(invalid mail alias '../x')\n"
     "Fatal error: std::invalid_argument(invalid mail name 'a/b')\n"
     "Fatal error: std::invalid_argument(invalid e-mail address 'x@y.com\n|sh')\n"
     "Fatal error: std::invalid_argument(invalid mail name '../info')\n"},
};

// A session of the panel's from an empty server, checked as a whole at its end.
const Case SESSION = {
    "session",
    HOOK,
    "O='--domain-name=other.com --mailname'; mxadmin --add-domain --domain-name=other.com && "
    "mxadmin --add-mailname $O=ceo --disk-quota=1040 && "
    "HSP_CRYPTED_PASSWORD=c mxadmin --add-mailbox $O=ceo && "
    "mxadmin --add-alias $O=ceo --alias=boss && mxadmin --set-autoresponder $O=ceo && "
    "mxadmin --add-redirect $O=ceo --redirect-email=b@bücher.example && HSP_PASSWORD=x mxadmin "
    "--rename-mailname --domain-name=other.com --old-mailname=ceo --new-mailname=cto && "
    "mxadmin --set-mailbox-disk-quota $O=cto --disk-quota=-1 && "
    "mxadmin --remove-alias $O=cto --alias=boss && mxadmin --remove-mailbox $O=cto",
    0,
    R"(
        +root other.com
        +std other.com
        +virtual_domains other.com other.com/
        +home other.com/cto
        -tree other.com/cto/.qmail f600 popuser:popuser | true\n
        +tree other.com/cto/.qmail f600 popuser:popuser | true\n&b@xn--bcher-kva.example\n
        +quota other.com/cto 0S,0C
        +vmailbox cto@other.com other.com/cto/Maildir/
        +virtual cto@other.com cto@other.com
        +virtual cto@other-alias.com cto@other.com
        +auth domain other.com 0
        +auth domain other-alias.com 0
        +handlers before-local d755 root:root
        +handlers before-local/recipient d755 root:root
        +handlers info d755 root:root)" +
        handler('+', "cto@other.com", true),
    ""};

TEST(Mailnames, Commands)
{
    for (const Case& c : MAILNAMES)
        mxtest::runCase(c);
}

TEST(Mailnames, Rename)
{
    for (const Case& c : RENAMES)
        mxtest::runCase(c);
}

TEST(Mailnames, StorageAndFailures)
{
    for (const Case& c : STORAGE)
        mxtest::runCase(c);
    for (const Case& c : FAILURES)
        mxtest::runCase(c);
    mxtest::runCase(SESSION);
}

// The database as a fresh install for Postfix makes it, in place of an old
// one; an unknown style, or a directory in the file's place, is refused.
TEST(Mailnames, AuthDatabaseForPostfix)
{
    mxtest::resetWorld();
    mxtest::setup("HSP_PASSWORD=x mxadmin --set-password --domain-name=a.org --mailname=u");
    ASSERT_EQ(0, mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE));
    EXPECT_EQ("770 postfix:root\n460 postfix:root\n0\n",
              mxtest::shell("stat -c '%a %U:%G' /var/spool/postfix/ostra " + AUTH_DB +
                            " && sqlite3 " + AUTH_DB + " 'SELECT count(*) FROM users'")
                  .out);
    EXPECT_EQ(-1, mailAuthDBInitStyle(99));
    mxtest::setup("rm " + AUTH_DB + " && mkdir " + AUTH_DB);
    EXPECT_EQ(-1, mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE));
    EXPECT_EQ("directory\n", mxtest::shell("stat -c %F " + AUTH_DB).out);
}

} // namespace
