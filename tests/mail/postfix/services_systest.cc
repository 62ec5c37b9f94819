// services_systest.cc - the service commands end to end: stand-in init
// scripts that log their calls ("ran" lines), master.cf and its set-aside
// file, the panel's submission setting, fake Postfix masters, and once the
// real Postfix started, reloaded, restarted and stopped by its own script.
#include <gtest/gtest.h>

#include <sstream>

#include "mail/postfix/service_manager.h"
#include "ostra/init_script.h"
#include "world.h"

namespace {

using mxtest::Case;

const char PID_FILE[] = "/var/spool/postfix/pid/master.pid";

// service - "mxadmin --VERB-service" with a --mail-component option per word.
std::string service(const std::string& verb, const std::string& words = "")
{
    std::string line = "mxadmin --" + verb + "-service";
    std::istringstream in(words);
    for (std::string word; in >> word;)
        line += " --mail-component=" + word;
    return line;
}

// runAll - the cases, each from an empty server; Postfix counts as stopped
// unless a case starts a master, or keepDaemon leaves the real one running.
void runAll(const std::vector<Case>& cases, bool keepDaemon = false)
{
    for (Case c : cases) {
        if (!keepDaemon)
            c.setup = "rm -f " + std::string(PID_FILE) + "\n" + c.setup;
        mxtest::runCase(c);
    }
}

// script - a setup line: an init script that logs its call as the stand-ins do, then body.
std::string script(const std::string& name, const std::string& body)
{
    return "printf '%s\\n' '#!/bin/sh' 'echo \"" + name + " $*\" >>/run/mxtest-init.log' '" + body +
           "' >/etc/init.d/" + name + "\n";
}

// master - a setup line: a fake Postfix master in the pid file, with a child named child.
std::string master(const std::string& child)
{
    const std::string path = "/run/fake/" + child;
    return "mkdir -p /run/fake /var/spool/postfix/pid && { [ -e " + path + " ] || cp /bin/sleep " +
           path + "; } && (sh -c '" + path + " 60 & until [ \"$(cat /proc/$!/comm)\" = " + child +
           " ]; do :; done; printf \"%32s\\n\" $$ >" + PID_FILE +
           "; wait' >/dev/null 2>&1 &) && until [ -s " + PID_FILE + " ]; do sleep 0.01; done\n";
}

const std::string RUNNING = master("qmgr");
const std::string NO_SMTP = "sed -i '/^smtp      inet/d' /etc/postfix/master.cf\n";
const std::string LOCAL_SMTPS = "printf 'smtps inet n - y - - smtpd\\n  -o syslog_name=smtps\\n"
                                "# kept with it\\n  -o smtpd_tls_wrappermode=yes\\n' "
                                ">>/etc/postfix/master.cf\n";
const std::string LOCAL_SUBMISSION = "printf 'submission inet n - y - - smtpd\\n  -o x=1\\n' "
                                     ">>/etc/postfix/master.cf\n";
const std::string SUBMISSION_IS = "sql INSERT INTO misc VALUES ('message_submission', ";

// Entries as the snapshot shows them: the stock smtp, the built-in ones, the local ones.
const std::string STOCK_SMTP = "smtp      inet  n       -       y       -       -       smtpd";
const std::string SMTP = "smtp inet n - n - - smtpd -o smtpd_proxy_filter=127.0.0.1:10025";
const std::string SMTPS = "smtps" + SMTP.substr(4) + " -o smtpd_tls_wrappermode=yes";
const std::string SUBMISSION =
    "submission inet n - n - - smtpd -o smtpd_enforce_tls=yes -o "
    "smtpd_tls_security_level=encrypt -o smtpd_sasl_auth_enable=yes -o "
    "smtpd_client_restrictions=permit_sasl_authenticated,reject -o smtpd_sender_restrictions= "
    "-o smtpd_proxy_filter=127.0.0.1:10025";
const std::string SMTPS_LIVE = "+master.cf smtps inet n - y - - smtpd\n+master.cf   -o "
                               "syslog_name=smtps\n+master.cf   -o smtpd_tls_wrappermode=yes\n";
const std::string SMTPS_TEXT = "smtps inet n - y - - smtpd\\n  -o syslog_name=smtps\\n"
                               "# kept with it\\n  -o smtpd_tls_wrappermode=yes\\n";
const std::string ASIDE = "spool master.cf.disabled f644 root:root";
const std::string SUBMISSION_MOVED = "-master.cf submission inet n - y - - smtpd\n-master.cf   "
                                     "-o x=1\n+" +
                                     ASIDE + " submission inet n - y - - smtpd\\n  -o x=1\\n\n";

// flip - the changes undone (each line ends in a line end).
std::string flip(std::string text)
{
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        text[at] = text[at] == '+' ? '-' : '+';
    return text;
}

// smtpAside - the stock smtp (then text) moved to the set-aside file.
std::string smtpAside(const std::string& text = "")
{
    return "-master.cf " + STOCK_SMTP + "\n+" + ASIDE + " " + STOCK_SMTP + "\\n" + text + "\n";
}

TEST(Services, StatusCourierAndPostfix)
{
    runAll({
        {"status of everything", "",
         "mxadmin --status-service && mxadmin -s && " + service("status", "smtp submission"), 0,
         "+ran courier-imap status",
         "mta is stopped\npop3 is running\npop3s is running\nimap is running\nimaps is running\n"
         "is stopped\n"},
        // One script run answers for every Courier server; "status" failing is no error.
        {"status of components, Courier stopped", script("courier-imap", "exit 3"),
         service("status", "imaps mta imaps") + " --mail-component pop3s && " +
             service("status", "all") + " && mxadmin -e",
         0, "+ran courier-imap status\n+ran courier-imap status\n+ran courier-imap status",
         "mta is stopped\npop3s is stopped\nimaps is stopped\nmta is stopped\npop3 is stopped\n"
         "pop3s is stopped\nimap is stopped\nimaps is stopped\nis stopped\n"},
        {"Courier actions", "",
         service("stop", "pop3s") + " && " + service("restart", "imap") + " && " +
             service("reload", "pop3 smtps") + " && mxadmin -i && mxadmin -t && mxadmin -z",
         0,
         "+ran courier-imap stop\n+ran courier-imap restart\n+ran courier-imap reload\n+ran "
         "courier-imap start\n+ran courier-imap stop\n+ran courier-imap restart",
         ""},
        // Its own directory and session, nothing open but /dev/null and standard error.
        {"Courier script's surroundings",
         script("courier-imap", "echo $(pwd) $(readlink /proc/$$/fd/0 /proc/$$/fd/1 "
                                "/proc/$$/fd/7) $(cut -d\" \" -f6 /proc/$$/stat) = $$ "
                                ">>/run/mxtest-init.log"),
         "exec 7</dev/null; mxadmin -i; sed -i 's/\\([0-9]*\\) = \\1$/= pid/' /run/mxtest-init.log",
         0, "+ran courier-imap start\n+ran /etc/init.d /dev/null /dev/null = pid", ""},
        // The legacy form passes the routine's -1 on, which the process reports as 255.
        {"Courier script killed", script("courier-imap", "kill -KILL $$"),
         service("start", "pop3") + "; echo $?; mxadmin --restart-maild", 255,
         "+ran courier-imap start\n+ran courier-imap restart",
         "~9\n1\nmxadmin: Unable to restart service /etc/init.d/courier-imap: daemon killed"},
        {"without Courier restarts",
         "echo NO_RESTART_DAEMON 1 >/etc/hsp/hsp.conf && rm /etc/init.d/courier-imap",
         "mxadmin -i && " + service("stop", "imaps") + " && " + service("status", "imap"), 0, "",
         "imap is running\n"},
        {"Courier script missing", "rm /etc/init.d/courier-imap",
         "mxadmin -t >/dev/null; echo $?; " + service("start", "imap") + " >/dev/null; echo $?; " +
             service("status", "pop3 imap") + " | grep is",
         0, "", "255\n1\npop3 is stopped\nimap is stopped\n"},
        {"Courier script under its shell name", "cd /etc/init.d && mv courier-imap courier-imap.sh",
         service("restart", "pop3"), 0, "+ran courier-imap.sh restart", ""},
        // A path found but unusable ends the program.
        {"Courier script a dangling link, then a directory",
         "cd /etc/init.d && rm courier-imap && ln -s /run/gone courier-imap",
         "mxadmin -i; echo $?; cd /etc/init.d && rm courier-imap && mkdir courier-imap && " +
             service("stop", "imap") + "; s=$?; rmdir courier-imap; exit $s",
         1, "",
         "mxadmin: No such file '/etc/init.d/courier-imap': No such file or directory\nSystem "
         "error "
         "2: No such file or directory\n1\nmxadmin: Not a regular file: "
         "'/etc/init.d/courier-imap'\n"},
        // Refused before anything runs.
        {"component words are exact", "",
         "for c in start stop restart reload status; do mxadmin --$c-service --mail-component=imap "
         "--mail-component=IMAP >/dev/null; echo $?; done",
         0, "", "1\n1\n1\n1\n1\n"},
        {"a master with its qmgr is running: start runs nothing, stop and restart the script",
         RUNNING,
         "mxadmin -s && " + service("status", "mta") + " && mxadmin -l && mxadmin -m && " +
             service("start", "mta") + " && " + service("restart", "mta"),
         0, "+ran postfix stop\n+ran postfix restart", "is running\nmta is running\n"},
        {"a master without qmgr is stopped", master("pickup"),
         "mxadmin -s && mxadmin -m && " + service("stop", "mta"), 0, "", "is stopped\n"},
        {"a pid file with more than a number", RUNNING + "sed -i 's/$/x/' " + PID_FILE,
         "mxadmin -s && " + service("stop", "mta"), 0, "", "is stopped\n"},
        {"init script status passed on", script("postfix", "exit 7"),
         "mxadmin -l; echo $?; for c in start restart reload; do mxadmin --$c-service "
         "--mail-component=mta; echo $?; done",
         0, "+ran postfix start\n+ran postfix start\n+ran postfix restart\n+ran postfix reload",
         "7\n1\n1\n1\n"},
        // Its output reaches ours; killed, it did not exit normally.
        {"init script environment, output and signal",
         script("postfix", "env | grep -v ^PWD=; kill -TERM $$"),
         service("reload", "mta") + "; echo $?; mxadmin -l", 255,
         "+ran postfix reload\n+ran postfix start", "LANG=C\n1\nLANG=C\n"},
        {"init script missing, Courier still started", "rm /etc/init.d/postfix",
         service("start", "mta imap"), 1, "+ran courier-imap start",
         "~Fatal error: ostra::SystemError(execve: "},
        // About five seconds of running tests.
        {"a start that never comes up", "", "mxadmin -l", 1, "+ran postfix start", ""},
    });
}

TEST(Services, MasterCf)
{
    const std::string submissionOn = LOCAL_SUBMISSION + SUBMISSION_IS + "'true')";
    runAll({
        // Set aside and back at the end; smtps added beside it.
        {"smtp added, Postfix stopped", NO_SMTP,
         service("start", "smtp") + " && mxadmin -o && mxadmin -r && mxadmin -p", 0,
         "+master.cf " + SMTP + "\n+master.cf " + SMTPS + "\n+" + ASIDE, ""},
        {"smtp added and set aside, Postfix running", NO_SMTP + RUNNING,
         service("start", "smtp") + " && mxadmin -o", 0,
         "+" + ASIDE + " " + SMTP + "\\n\n+ran postfix reload\n+ran postfix reload", ""},
        // The rest of master.cf is written back as it was.
        {"smtp set aside, Postfix running", RUNNING,
         service("stop", "smtp") + " && diff $MXTEST_PRISTINE/master.cf /etc/postfix/master.cf; "
                                   "[ $? = 1 ]",
         0, smtpAside() + "+ran postfix reload", "12d11\n< " + STOCK_SMTP + "\n"},
        // Stopping Postfix needs no reload; each entry keeps its own text.
        {"stop everything, Postfix running", LOCAL_SMTPS + RUNNING, service("stop"), 0,
         flip(SMTPS_LIVE) + smtpAside(SMTPS_TEXT) + "+ran postfix stop\n+ran courier-imap stop",
         ""},
        // Entries set aside come back at the end of master.cf.
        {"start the master.cf services again",
         LOCAL_SMTPS + service("stop") + "\n" + SUBMISSION_IS + "'true')",
         service("start", "smtp smtps submission") + " && tail -n 6 /etc/postfix/master.cf", 0,
         SMTPS_LIVE + flip(smtpAside(SMTPS_TEXT)) + "+master.cf " + SUBMISSION + "\n+" + ASIDE,
         STOCK_SMTP + "\nsmtps inet n - y - - smtpd\n  -o syslog_name=smtps\n# kept with it\n" +
             "  -o smtpd_tls_wrappermode=yes\n" + SUBMISSION + "\n"},
        // Left by a run stopped between its two renames: the live text wins.
        {"smtp in both files",
         "echo 'smtp inet n - n - - stale' >/var/spool/postfix/ostra/master.cf.disabled",
         service("start", "smtp") + " && mxadmin -o", 0,
         smtpAside() + "-" + ASIDE + " smtp inet n - n - - stale\\n", ""},
        {"submission on stays", submissionOn,
         service("stop", "submission") + " && " + service("restart", "submission"), 0, "", ""},
        {"submission TRUE is not on", LOCAL_SUBMISSION + SUBMISSION_IS + "'TRUE')",
         service("restart", "submission"), 0, SUBMISSION_MOVED, ""},
        {"submission with the panel database refusing",
         submissionOn + "\necho x >/etc/hsp/.hsp.shadow", service("start", "submission"), 1, "",
         "~Unable to connect to Ostra Database: Access denied for user 'admin'@'localhost' "
         "(using password: YES)\nFatal error: ostra::mysql::mError(connection failed)\n"},
        {"submission with the panel password ending in CR LF",
         LOCAL_SUBMISSION + "sed -i 's/$/\\r/' /etc/hsp/.hsp.shadow", service("stop", "submission"),
         0, SUBMISSION_MOVED, ""},
        // The panel connection must not read OpenSSL's configuration: a FIFO there blocks.
        {"submission with a FIFO for OpenSSL's configuration",
         LOCAL_SUBMISSION + "mkfifo $TMPDIR/ssl.cnf",
         "OPENSSL_CONF=$TMPDIR/ssl.cnf timeout 5 " + service("stop", "submission"), 0,
         SUBMISSION_MOVED, ""},
        // Entries move both ways in one run: each stays in one file or the other.
        {"smtp back, submission aside at once", service("stop", "smtp") + "\n" + LOCAL_SUBMISSION,
         service("start", "smtp submission"), 0, flip(smtpAside()) + SUBMISSION_MOVED, ""},
        {"submission setting unreadable", LOCAL_SUBMISSION,
         mxtest::withoutTable("misc", service("stop", "submission")), 0, SUBMISSION_MOVED,
         "~Warning: MySQL Error on Mail Authentication Type query: Mysql error 1146: Table "
         "'hsp.misc' doesn't exist\nSELECT    val  FROM misc    WHERE param='message_submission', "
         "ignored\n"},
        // A second run finds nothing to change and does not reload.
        {"legacy submission switches", "",
         "mxadmin -a && mxadmin --enable-message-submission && mxadmin -b && mxadmin "
         "--disable-message-submission",
         0, "+" + ASIDE + " " + SUBMISSION + "\\n\n+ran postfix reload\n+ran postfix reload", ""},
        {"legacy submission switch brings a local entry back", LOCAL_SUBMISSION + "mxadmin -b",
         "mxadmin -a", 0, flip(SUBMISSION_MOVED) + "+" + ASIDE + "\n+ran postfix reload", ""},
        {"master.cf the parser rejects",
         "echo 'Uppercase inet n - n - - smtpd' >>/etc/postfix/master.cf",
         "for a in -p -o -a -b --start-service; do mxadmin $a >$TMPDIR/o; echo $? $(grep -c "
         "'^Fatal error: .*unable to parse /etc/postfix/master.cf' $TMPDIR/o); done",
         0, "", "1 1\n1 1\n1 1\n1 1\n1 1\n"},
        {"set-aside file the parser rejects",
         "echo '  -o orphan=1' >/var/spool/postfix/ostra/master.cf.disabled", "mxadmin -p", 1, "",
         "~unable to parse /var/spool/postfix/ostra/master.cf.disabled"},
    });
}

// The pid file: its first word, a positive decimal pid that fits a pid_t.
// The process table's stat lines: the command name runs to the last ")",
// then come one blank, a one-letter state, one blank and the parent pid.
TEST(Services, PidFileAndProcStat)
{
    // clang-format off
    const char* const pids[][2] = {
        {"      4242\n", "4242"}, {"2147483647", "2147483647"}, {"2147483648", "-1"},
        {"2147483646 x", "2147483646"}, {"0", "-1"}, {"-5", "-1"}, {"12a", "-1"}, {"", "-1"}};
    const char* const stats[][2] = {
        {"2 (qmgr) S 240 0\n", "qmgr 240"}, {"5 (a) S 1 b) R 7\n", "a) S 1 b 7"}, {"2 q S 1", "-"},
        {"8 (x) S 2147483647", "x 2147483647"}, {"9 (x) S 2147483648", "-"}, {"2 (q) ", "-"},
        {"2 (q) S ", "-"}, {"2 (q)   240", "-"}, {"2 (q) S240 1", "-"}, {"2 )q( S 240", "-"}};
    // clang-format on
    for (const auto& c : pids)
        EXPECT_EQ(c[1], std::to_string(ostra::mail::postfix::ServiceManager::parsePid(c[0])))
            << c[0];
    for (const auto& c : stats) {
        std::string comm;
        pid_t ppid = 0;
        const bool parsed = parse_proc_stat(c[0], &comm, &ppid) == 0;
        EXPECT_EQ(c[1], parsed ? comm + " " + std::to_string(ppid) : "-") << c[0];
    }
}

// The cases run in order against one daemon, each where the last left it.
TEST(Services, RealPostfix)
{
    const std::string real = "cp $MXTEST_PRISTINE/postfix.init /etc/init.d/postfix.real\n" +
                             script("postfix", "exec /etc/init.d/postfix.real \"$@\"");
    const std::string pid = "p=$(tr -d ' ' <" + std::string(PID_FILE) + "); ";
    const std::string up =
        " >/dev/null && pgrep -x qmgr -P $(tr -d ' ' <" + std::string(PID_FILE) + ") >/dev/null";
    const std::string port25 = "grep -q \":0019 00000000:0000 0A\" /proc/net/tcp";
    runAll({{"start", real, service("start", "mta") + up + " && mxadmin -s", 0,
             "+ran postfix start", "is running\n"},
            // The daemon opens the port once it has read the new master.cf.
            {"smtp added and reloaded in",
             real + NO_SMTP + "/etc/init.d/postfix.real reload >/dev/null\nuntil ! " + port25 +
                 "; do sleep 0.1; done",
             service("start", "smtp") + " >/dev/null && timeout 5 sh -c 'until " + port25 +
                 "; do sleep 0.1; done'",
             0, "+master.cf " + SMTP + "\n+ran postfix reload", ""},
            {"restart", real,
             pid + service("restart", "mta") + up + " && [ $(tr -d ' ' <" + PID_FILE + ") != $p ]",
             0, "+ran postfix restart", ""},
            {"stop everything", real,
             pid + "mxadmin --stop-service >/dev/null && ! pgrep -x qmgr -P $p", 0,
             smtpAside() + "+ran postfix stop\n+ran courier-imap stop", ""}},
           true);
}

// A rewritten table is renamed over the old one; the running daemons notice
// the change and the new address resolves through the new table.
TEST(Services, RunningPostfixReadsARewrittenTable)
{
    mxtest::resetWorld("INSERT INTO domains (id, name) VALUES (1, 'example.com');");
    const std::string t = "hash:/var/spool/postfix/ostra/";
    mxtest::setup("cp $MXTEST_PRISTINE/postfix.init /etc/init.d/postfix\n"
                  "postconf -e virtual_mailbox_domains=" +
                  t + "virtual_domains virtual_mailbox_maps=" + t + "vmailbox virtual_alias_maps=" +
                  t + "virtual virtual_mailbox_base=" + mxtest::MAIL_ROOT +
                  " virtual_uid_maps=static:$(id -u popuser) "
                  "virtual_gid_maps=static:$(id -g popuser) maillog_file=/var/log/mx.log\n"
                  "touch -d '-1 min' /etc/postfix/main.cf\n"
                  "mxadmin --add-domain --domain-name=example.com\n"
                  "mxadmin --add-mailname --domain-name=example.com --mailname=info\n"
                  "/etc/init.d/postfix start >/dev/null");
    // verified - what the address verification of an address logged.
    auto verified = [](const std::string& address) {
        return mxtest::shell("sendmail -bv " + address +
                             " >/dev/null && timeout 10 sh -c "
                             "'until grep -o \"to=<" +
                             address +
                             ">.*status=[a-z]*\" "
                             "/var/log/mx.log; do sleep 0.1; done' | sed 's/.*status=//'")
            .out;
    };
    EXPECT_EQ("deliverable\n", verified("info@example.com"));
    mxtest::setup("mxadmin --rename-mailname --domain-name=example.com --old-mailname=info "
                  "--new-mailname=office\n: >/var/log/mx.log");
    EXPECT_EQ("deliverable\n", verified("office@example.com"));
    EXPECT_EQ("undeliverable\n", verified("info@example.com"));
    mxtest::setup("/etc/init.d/postfix stop >/dev/null");
}

} // namespace
