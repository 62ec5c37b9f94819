// settings_systest.cc - the server-wide settings commands end to end: real
// mxadmin, real postconf and postmap, the Courier and SPF files and stand-in
// init scripts, each case compared as the whole server's changes.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <sstream>

#include "mail/postfix/ifaceinfo.h"
#include "world.h"

namespace {

using mxtest::Case;

// runAll - the cases, each from an empty server. Postfix tools pause while
// main.cf is younger than a second and the commands read it again after each
// write, so the real postconf runs behind a wrapper that back-dates it after
// "-e"; the wrapper fails as /run/postconf-fails says (see failing).
void runAll(const std::vector<Case>& cases)
{
    if (!mxtest::fileExists("/usr/lib/mxtest/postconf")) {
        mxtest::setup("mkdir -p /usr/lib/mxtest && mv /usr/sbin/postconf /usr/lib/mxtest/");
        mxtest::installScript(
            "/usr/sbin/postconf",
            "f=/run/postconf-fails\n[ -e $f ] && { read -r a; read -r s; } <$f "
            "&& case \"$*\" in $a) tail -n +3 $f >&2; exit $s ;; esac\n"
            "/usr/lib/mxtest/postconf \"$@\"; s=$?\n"
            "[ \"$1\" != -e ] || touch -d '-1 min' /etc/postfix/main.cf\nexit $s\n");
    }
    for (Case c : cases) {
        c.setup = "rm -f /run/postconf-fails\n" + c.setup;
        mxtest::runCase(c);
    }
}

// failing - a setup line: postconf runs with arguments matching the pattern
// end with status after printing message.
std::string failing(const std::string& pattern, int status, const std::string& message)
{
    return "printf '%s\\n' '" + pattern + "' " + std::to_string(status) + " " + message +
           " >/run/postconf-fails\n";
}

// mainCf - a setup line writing main.cf (lines end in "\\n").
std::string mainCf(const std::string& lines)
{
    return "printf '" + lines + "' >/etc/postfix/main.cf\n";
}

const char COURIER_FILES[] = "imapd imapd-ssl pop3d pop3d-ssl";
// Each Courier file at the start: assignments the settings replace or drop.
const std::string START = "POPAUTH=0\\nPOPLOCK_TIME=60\\nPOPLOCK_TIME=90\\nSHORTNAMES=1\\n";
const std::string COMPOUND = "POPAUTH=0\\nPOPLOCK_TIME=60\\nPOPLOCK_TIME=90\\n";

// courierFiles - a setup line writing the Courier files in dir.
std::string courierFiles(const std::string& dir)
{
    return "mkdir -p " + dir + " && cd " + dir + " && for f in " + COURIER_FILES + "; do printf '" +
           START + "' >$f; done";
}
const std::string COURIER = courierFiles("/etc/courier-imap");

// courier - the Courier files named rewritten from START to after (mode 0600 then).
std::string courier(const std::string& after, const std::string& files = COURIER_FILES,
                    const std::string& dir = "")
{
    std::string lines;
    std::istringstream in(files);
    for (std::string f; in >> f;)
        lines += "-courier " + dir + f + " f644 root:root " + START + "\n+courier " + dir + f +
                 " f600 root:root" + (after.empty() ? "" : " ") + after + "\n";
    return lines;
}

const std::string AUTH_ON = mainCf("mynetworks = 127.0.0.0/8, hash:/var/spool/postfix/ostra/"
                                   "poplock, 10.0.0.0/8\\nsmtpd_sasl_auth_enable = yes\\n"
                                   "smtpd_recipient_restrictions = permit_sasl_authenticated, "
                                   "reject\\n");
const std::string AUTH = "mxadmin --set-mail-params --smtpauth --popauth --poplock-time=300";
const std::string SHORT_NAMES = "~Fatal error: ostra::NotSupportedError(short account-format is "
                                "not supported for Postfix isn't supported)\n";
const std::string ACCOUNTS = "mxadmin --set-accounts-format --account-format=";

const std::string ADD = "mxadmin --add-whitelist --ip-address=";
const std::string REMOVE = "mxadmin --remove-whitelist --ip-address=";
const std::string RBL = mainCf("smtpd_client_restrictions = permit_mynetworks,, reject_rbl_client "
                               "old,check_x reject_rbl_clientfoo ,reject_unknown_client\\n");
const std::string SIZES = mainCf("mailbox_size_limit = 51200000\\nmessage_size_limit = 1000\\n");
const std::string SIZE = "mxadmin --set-max-letter-size --size";
const std::string BAD_CAST =
    "~Fatal error: boost::wrapexcept<boost::bad_lexical_cast>(bad "
    "lexical cast: source type value could not be interpreted as target)\n";

TEST(Settings, MailParamsListsAndSizes)
{
    runAll({
        {"no switches: closed relay, no authentication, lock time 0", COURIER + "\n" + AUTH_ON,
         "mxadmin --set-mail-params --poplock-time=0", 0, courier("") + R"(
            -main.cf mynetworks = 127.0.0.0/8, hash:/var/spool/postfix/ostra/poplock, 10.0.0.0/8
            +main.cf mynetworks = 127.0.0.0/8, 10.0.0.0/8
            -main.cf smtpd_recipient_restrictions = permit_sasl_authenticated, reject
            +main.cf smtpd_recipient_restrictions = permit_mynetworks, check_client_access pcre:/var/spool/postfix/ostra/no_relay.re, reject_unauth_destination
            -main.cf smtpd_sasl_auth_enable = yes
            +main.cf smtpd_sasl_auth_enable = no
            +ran courier-imap restart
            +ran postfix reload)",
         ""},
        // The second run changes nothing more: the poplock table is listed once.
        {"SMTP and POP authentication, twice", COURIER, AUTH + " && " + AUTH, 0,
         courier("POPAUTH=1\\nPOPLOCK_TIME=300\\n") + R"(
            +main.cf mynetworks = 127.0.0.0/8, hash:/var/spool/postfix/ostra/poplock
            +main.cf smtpd_recipient_restrictions = permit_mynetworks, check_client_access pcre:/var/spool/postfix/ostra/no_relay.re, permit_sasl_authenticated, reject_unauth_destination
            +main.cf smtpd_sasl_auth_enable = yes
            +ran courier-imap restart
            +ran courier-imap restart
            +ran postfix reload
            +ran postfix reload)",
         ""},
        {"open relay leaves authentication alone", COURIER + "\n" + AUTH_ON,
         "mxadmin --set-mail-params --relayclient --smtpauth", 0,
         courier("POPLOCK_TIME=60\\nPOPLOCK_TIME=90\\nRELAYCLIENT=\\n") + R"(
            -main.cf smtpd_recipient_restrictions = permit_sasl_authenticated, reject
            +main.cf smtpd_recipient_restrictions = permit, check_client_access pcre:/var/spool/postfix/ostra/no_relay.re, reject
            +ran courier-imap restart
            +ran postfix reload)",
         ""},
        {"a Courier failure stops it before Postfix", COURIER + " && rm /etc/init.d/courier-imap",
         "mxadmin --set-mail-params --smtpauth", 1, courier("POPLOCK_TIME=60\\nPOPLOCK_TIME=90\\n"),
         "~Unable to find start/stop script for 'courier-imap'"},
        // Only assignments at a line's start count; a last line gets its line end.
        {"compound accounts",
         COURIER + " && printf '  SHORTNAMES=1\\nshortnames=1\\nSHORTNAMESX=1\\nA=1' >>imapd",
         ACCOUNTS + "compound", 0, courier(COMPOUND, "imapd-ssl pop3d pop3d-ssl") + R"(
            -courier imapd f644 root:root POPAUTH=0\nPOPLOCK_TIME=60\nPOPLOCK_TIME=90\nSHORTNAMES=1\n  SHORTNAMES=1\nshortnames=1\nSHORTNAMESX=1\nA=1
            +courier imapd f600 root:root POPAUTH=0\nPOPLOCK_TIME=60\nPOPLOCK_TIME=90\n  SHORTNAMES=1\nshortnames=1\nSHORTNAMESX=1\nA=1\n
            +ran courier-imap restart)",
         ""},
        // A missing file is skipped; the others are edited and Courier restarted.
        {"compound accounts under the Courier root of the host configuration",
         COURIER + "\n" + courierFiles("/etc/courier-imap/alt/etc/courier-imap") +
             " && rm pop3d\necho COURIER_IMAP_ROOT_D /etc/courier-imap/alt >/etc/hsp/hsp.conf",
         ACCOUNTS + "compound", 0,
         courier(COMPOUND, "imapd imapd-ssl pop3d-ssl", "alt/etc/courier-imap/") +
             "+ran courier-imap restart",
         "~Unable to open /etc/courier-imap/alt/etc/courier-imap/pop3d: No such file or "
         "directory\n"},
        // The edit stops at the file it cannot read, and Courier is not restarted.
        {"an unreadable Courier file", COURIER + " && rm pop3d && mkdir pop3d",
         ACCOUNTS + "compound", 255, courier(COMPOUND, "imapd imapd-ssl"),
         "~Unable to write temporary file content for //etc/courier-imap/pop3d: Is a directory\n"},
        {"Courier restart failing",
         COURIER + "\nprintf '#!/bin/sh\\nexit 1\\n' >/etc/init.d/courier-imap",
         ACCOUNTS + "compound", 255, courier(COMPOUND),
         "~Service /etc/init.d/courier-imap failed to restart"},
        // Refused before anything changes; bytes above 127 once overflowed the conversion.
        {"option errors", "",
         "printf '%s\\n' '--add-whitelist --ip-address=1 --netmask=33' '--remove-whitelist "
         "--ip-address=1' '--add-whitelist --ip-address=1 "
         "--netmask=\xff\xff\xff\xff\x31\x33\x39\x36\x34' "
         "'--set-mail-params --poplock-time=40000' '--set-mail-params "
         "--poplock-time=\xff\xff\xff\xff\xff\xff\xff\xff\x31' '--set-mail-params --relayclient "
         "--shortnames' '--set-max-letter-size --size=10M' "
         "'--set-accounts-format --account-format=Compound' '--set-accounts-format "
         "--account-format=compound --account-format=compound' '--add-whitelist --ip-address=1 "
         "--netmask=8 --netmask=8' '--set-accounts-format "
         "--account-format=both' --remove-badmailfrom | while read -r a; do mxadmin $a "
         ">$TMPDIR/o; echo $? $(head -n 1 $TMPDIR/o); done",
         0, "",
         "1 the argument ('33') for option '--netmask' is invalid\n1 mandatory option "
         "\"--netmask\" is not specified\n1 " +
             BAD_CAST.substr(1) +
             "1 the argument ('40000') for option '--poplock-time' is invalid\n1 the argument "
             "('\xff\xff\xff\xff\xff\xff\xff\xff\x31') for option '--poplock-time' is invalid\n1 " +
             SHORT_NAMES.substr(1) +
             "1 the argument ('10M') for option '--size' is invalid\n1 the argument ('Compound') "
             "for option '--account-format' is invalid\n1 option '--account-format' cannot be "
             "specified more than once\n1 option '--netmask' cannot be specified more than "
             "once\n1 " +
             SHORT_NAMES.substr(1) + "1 mandatory option \"--domain-name\" is not specified\n"},
        // Added twice, listed once; loopback and unlisted networks stay.
        {"white list", mainCf("mynetworks = 127.0.0.1/8, 10.0.0.0/8\\n"),
         ADD + "192.0.2.0 --netmask=24 && " + ADD + "192.0.2.0 --netmask 24 && " + REMOVE +
             "10.0.0.0 --netmask=8 && " + REMOVE + "127.0.0.1 --netmask=8 && " + REMOVE +
             "10.0.0.0 --netmask=16",
         0, R"(
            -main.cf mynetworks = 127.0.0.1/8, 10.0.0.0/8
            +main.cf mynetworks = 127.0.0.1/8, 192.0.2.0/24
            +ran postfix reload
            +ran postfix reload
            +ran postfix reload
            +ran postfix reload
            +ran postfix reload)",
         ""},
        {"white list: remove the only network", mainCf("mynetworks = 10.0.0.0/8\\n"),
         REMOVE + "10.0.0.0 --netmask=8", 0,
         "-main.cf mynetworks = 10.0.0.0/8\n+main.cf mynetworks = \n+ran postfix reload", ""},
        // Postfix's computed default is never written back.
        {"white list: the default network list", "", ADD + "127.0.0.0 --netmask=8", 0,
         "+main.cf mynetworks = 127.0.0.0/8\n+ran postfix reload", ""},
        {"white list: after the default network list",
         "printf 'mynetworks = %s, 10.0.0.0/8\\n' \"$(postconf -h -d mynetworks)\" "
         ">/etc/postfix/main.cf",
         ADD + "10.1.0.0 --netmask=16", 0, R"(
            -main.cf mynetworks = 127.0.0.0/8 [::1]/128, 10.0.0.0/8
            +main.cf mynetworks = 127.0.0.0/8, 10.0.0.0/8, 10.1.0.0/16
            +ran postfix reload)",
         ""},
        // Elements naming the check anywhere go, empty ones too; zones stay as given.
        {"RBL zones", RBL,
         "mxadmin --set-maps-protection --maps-zones=a --maps-zones=\"$(printf 'b\\tc,, a')\"", 0,
         R"(
            -main.cf smtpd_client_restrictions = permit_mynetworks,, reject_rbl_client old,check_x reject_rbl_clientfoo ,reject_unknown_client
            +main.cf smtpd_client_restrictions = permit_mynetworks, reject_unknown_client, reject_rbl_client a, reject_rbl_client b, reject_rbl_client c, reject_rbl_client a
            +ran postfix reload)",
         ""},
        {"no RBL zones", RBL, "mxadmin --set-maps-protection", 0, R"(
            -main.cf smtpd_client_restrictions = permit_mynetworks,, reject_rbl_client old,check_x reject_rbl_clientfoo ,reject_unknown_client
            +main.cf smtpd_client_restrictions = permit_mynetworks, reject_unknown_client
            +ran postfix reload)",
         ""},
        // Domains in ASCII form; removing one never listed is no error.
        {"black list", "",
         "mxadmin --add-badmailfrom --domain-name=Spam.Example.COM && mxadmin --add-badmailfrom "
         "--domain-name=bücher.example && mxadmin --remove-badmailfrom "
         "--domain-name=bücher.example "
         "&& mxadmin --remove-badmailfrom --domain-name=never.example",
         0, "+blacklists spam.example.com REJECT", ""},
        // Size 0 copies the mailbox size limit; no range check.
        {"sizes", SIZES,
         "mxadmin --get-max-letter-size && mxadmin --get-mailbox-size-limit && " + SIZE +
             " 0 && mxadmin --get-max-letter-size && " + SIZE + "=-5",
         0, R"(
            -main.cf message_size_limit = 1000
            +main.cf message_size_limit = -5
            +ran postfix reload
            +ran postfix reload)",
         "1000\n51200000\n51200000\n"},
        {"mailbox size limit not a number", mainCf("mailbox_size_limit = 5M\\n"),
         "mxadmin --get-mailbox-size-limit", 1, "", BAD_CAST},
        {"postconf reporting an error with status 0",
         failing("-h mailbox_size_limit", 0, "'postconf: warning: a' 'postconf: error: b'"),
         "mxadmin --get-mailbox-size-limit", 1, "",
         "~(postconf: warning: a\npostconf: error: b\n)"},
        {"postconf failing in silence", failing("-e message_size_limit=5", 1, ""), SIZE + "=5", 1,
         "", "~(unknown error)"},
        {"postconf warning only: an empty value",
         failing("-h smtpd_client_restrictions", 0, "'postconf: warning: x'"),
         "mxadmin --set-maps-protection --maps-zones=z", 0,
         "+main.cf smtpd_client_restrictions = reject_rbl_client z\n+ran postfix reload", ""},
        {"config_directory from the built-in default", failing("-h config_directory", 1, ""),
         SIZE + "=5", 0, "+main.cf message_size_limit = 5\n+ran postfix reload", ""},
        {"no config_directory", failing("-h*config_directory", 0, ""), SIZE + "=5", 1, "",
         "~unable to determine Postfix config_directory parameter"},
    });
}

// The features report: rows that are true by name, the others with their values.
const char FEATURES[] = R"(MailName_SetName MailName_SetDomain MailName_Quota MailName_SetQuota
    MailName_Size MailName_Password MailName_SetPassword MailName_Postbox MailName_SetPostbox
    MailName_Forward MailName_MultiForward MailName_SetForward MailName_AutoResponder
    MailName_SetAutoResponder MailName_Aliases Domain_SetName Domain_Enable Domain_SetEnable
    Domain_Quota Domain_SetQuota Domain_Bounce Domain_SetBounce Domain_Catch Domain_SetCatch
    Domain_Reject Common_BadMail Common_MaxLetterSize Common_SetMaxLetterSize Relay Relay_Set
    Relay_Open Relay_Closed Relay_AuthorizationIsRequired Relay_AuthType_None
    Relay_AuthType_POP3_SMTP Relay_AuthType_POP3=false Relay_AuthType_SMTP Relay_POP3_LockTime
    Relay_WhiteList Relay_WhiteList_Mask Relay_BlackList Relay_WhiteList_BlackList MapsProtection
    SetMapsProtection AccountsFormat_Simple=false AccountsFormat_Compound AccountsFormat_Both=false
    AccountsFormat_Set Mail_Send Mail_Attachments Mail_Forward SMTP_Server="Postfix"
    IMAP_POP3_Server="Courier-IMAP" SMTP_Server_package="postfix"
    IMAP_POP3_Server_package="courier-imap" Message_Submission Message_Submission_all_IP
    Message_Submission_Dedicated_IP=false)";

const std::string SPF = "mkdir -p /etc/hsp-spf && cd /etc/hsp-spf && for f in spfbehavior "
                        "spfrules spfguess spfexp; do printf \"old $f\" >$f; done";

TEST(Settings, FilesFeaturesAndInterfaces)
{
    // The interface list behind the mynetworks default: kernel order, netmasks,
    // hardware addresses (none for an alias), and more entries than the first
    // buffer holds, since the kernel answers with whole entries only.
    mxtest::setup("ip link add v0 type veth peer name v1 && ip addr add 192.0.2.10/24 dev v0 && "
                  "for i in $(seq 1 20); do ip addr add 10.0.0.$i/32 dev v0 label v0:$i; done");
    std::string want = "lo 127.0.0.1 255.0.0.0 00:00:00:00:00:00\nv0 192.0.2.10 255.255.255.0 " +
                       mxtest::shell("ip -o link show v0 | sed 's|.*ether \\([^ ]*\\).*|\\1|'").out;
    for (int i = 1; i <= 20; ++i)
        want += "v0:" + std::to_string(i) + " 10.0.0." + std::to_string(i) + " 255.255.255.255 \n";
    std::string got;
    struct ifaceinfo* list = get_ifaceinfo();
    for (struct ifaceinfo* i = list; i != nullptr && i->name[0] != '\0'; ++i) {
        struct in_addr addr = {i->in_addr};
        got += std::string(i->name) + " " + inet_ntoa(addr) + " " + i->mask + " " + i->mac + "\n";
        EXPECT_STREQ(inet_ntoa(addr), i->ip);
    }
    free_ifaceinfo(list);
    EXPECT_EQ(want, got);
    std::istringstream in(FEATURES);
    std::string features;
    for (std::string row; in >> row;) {
        const size_t eq = row.find('=');
        features += "$features['" + row.substr(0, eq) +
                    "'] = " + (eq == std::string::npos ? "true" : row.substr(eq + 1)) + ";\n";
    }
    runAll({
        {"features", "", "mxadmin --features", 0, "", features},
        {"SPF rules alone", SPF,
         "mxadmin --update-spf && mxadmin --update-spf --spf-rules='a:mail.example.com "
         "include:_spf.example.net'",
         0, R"(
            -spf spfrules f644 root:root old spfrules
            +spf spfrules f644 root:root a:mail.example.com include:_spf.example.net)",
         ""},
        // "-" empties a file; other values are written exactly.
        {"SPF all four", SPF,
         "mxadmin --update-spf --spf-behavior=3 --spf-guess 'v=spf1 mx' --spf-exp='- ' "
         "--spf-rules=-",
         0, R"(
            -spf spfbehavior f644 root:root old spfbehavior
            +spf spfbehavior f644 root:root 3
            -spf spfexp f644 root:root old spfexp
            +spf spfexp f644 root:root - 
            -spf spfguess f644 root:root old spfguess
            +spf spfguess f644 root:root v=spf1 mx
            -spf spfrules f644 root:root old spfrules
            +spf spfrules f644 root:root)",
         ""},
        {"SPF file missing", SPF + " && rm spfguess", "mxadmin --update-spf --spf-guess=g", 0,
         "+spf spfguess f644 root:root g", ""},
        {"SPF directory missing", "", "mxadmin --update-spf --spf-exp=e", 1, "",
         "~Unable to open file /etc/hsp-spf/spfexp for writing: No such file or directory\n"
         "Unable to update 'spf_exp' parameter\n"},
        {"SPF stops at the first failure", SPF + " && rm spfrules && mkdir spfrules",
         "mxadmin --update-spf --spf-behavior=1 --spf-rules=r --spf-guess=g --spf-exp=e", 1, R"(
            -spf spfbehavior f644 root:root old spfbehavior
            +spf spfbehavior f644 root:root 1)",
         "~Unable to open file /etc/hsp-spf/spfrules for writing: Is a directory\n"
         "Unable to update 'spf_rules' parameter\n"},
        // Last: the first interface outside loopback joins the loopback network.
        {"white list: the default network list with another first interface",
         "ip link set v0 up && ip addr del 127.0.0.1/8 dev lo", ADD + "10.1.0.0 --netmask=16", 0,
         "+main.cf mynetworks = 127.0.0.0/8, 192.0.2.10/32, 10.1.0.0/16\n+ran postfix reload", ""},
    });
}

} // namespace
