// service_postfix_systest.cc - the service commands against the real Postfix of
// the package, started through its own init script inside the sandbox, and
// against stand-in init scripts for the fault cases.
//
// /etc/init.d/postfix is replaced by a wrapper that records each action and
// the environment it got, then runs the package's script (kept as
// /etc/init.d/postfix.real). The sandbox has only loopback, so the daemon's
// listeners reach nothing outside.
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/postfix/module_manager.h"
#include "systest.h"

namespace {

const std::string INIT = "/etc/init.d/postfix";
const std::string REAL_INIT = "/etc/init.d/postfix.real";
const std::string CALLS = "/run/postfix-calls";
const std::string SCRIPT_ENV = "/run/postfix-env";
const std::string COURIER_CALLS = "/run/courier-calls";
const std::string PID_FILE = "/var/spool/postfix/pid/master.pid";
const std::string MASTER_CF = "/etc/postfix/master.cf";
const std::string DISABLED = "/var/spool/postfix/ostra/master.cf.disabled";

// The stock file's smtp service, and the built-in one the commands add.
const std::string STOCK_SMTP = "smtp      inet  n       -       y       -       -       smtpd\n";
const std::string BUILT_IN_SMTP =
    "smtp inet n - n - - smtpd -o smtpd_proxy_filter=127.0.0.1:10025\n";
const std::string LOCAL_SMTPS = "smtps     inet  n       -       y       -       -       smtpd\n"
                                "  -o syslog_name=postfix/smtps\n"
                                "  -o smtpd_tls_wrappermode=yes\n";
const std::string LOCAL_SUBMISSION =
    "submission inet n       -       y       -       -       smtpd\n"
    "  -o syslog_name=postfix/submission\n";

// without - text with the first occurrence of part taken out.
std::string without(std::string text, const std::string& part)
{
    std::string::size_type at = text.find(part);
    EXPECT_NE(std::string::npos, at) << part;
    if (at != std::string::npos)
        text.erase(at, part.size());
    return text;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string readIfThere(const std::string& path)
{
    return mxtest::fileExists(path) ? mxtest::readFile(path) : "";
}

// builtInSubmission - the entry text the commands write for submission.
std::string builtInSubmission()
{
    return ostra::mail::postfix::formatModule(ostra::mail::postfix::SubmissionModule()) + "\n";
}

// realPostfixRunning - the master of the pid file has a qmgr child, asked of ps itself.
bool realPostfixRunning()
{
    return mxtest::run("pid=$(tr -d ' \\n' <" + PID_FILE +
                       ") && [ -n \"$pid\" ] && pgrep -P \"$pid\" -x qmgr >/dev/null")
               .status == 0;
}

// listening - whether a TCP socket listens on port in the sandbox's network.
bool listening(int port)
{
    char hex[8];
    snprintf(hex, sizeof hex, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0)
                return true;
        }
    }
    return false;
}

// becomes - poll test for up to about fifteen seconds until it yields want.
template <class Test> bool becomes(Test test, bool want)
{
    for (int i = 0; i < 150; ++i) {
        if (test() == want)
            return true;
        usleep(100000);
    }
    return test() == want;
}

// Child - a program started by the test, killed and reaped at scope exit.
class Child {
public:
    explicit Child(const std::string& program) : pid_(fork())
    {
        if (pid_ == 0) {
            execl(program.c_str(), program.c_str(), "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        // Wait until the exec is done, so /proc shows the program's name.
        std::string name = program.substr(program.rfind('/') + 1);
        for (int i = 0;
             i < 500 && readIfThere("/proc/" + std::to_string(pid_) + "/comm") != name + "\n"; ++i)
            usleep(10000);
    }
    ~Child()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

// writePidFile - a pid file as the master writes it: right-aligned in 32 characters.
void writePidFile(const std::string& text)
{
    mxtest::makeDirs("/var/spool/postfix/pid");
    char line[64];
    snprintf(line, sizeof line, "%32s\n", text.c_str());
    mxtest::writeFile(PID_FILE, line);
}

class ServicePostfixSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        mxtest::makeDirs("/var/spool/postfix/ostra");
        ASSERT_EQ(0, rename(INIT.c_str(), REAL_INIT.c_str()));
        mxtest::installScript(INIT, "echo \"$1\" >>" + CALLS + "\nenv >" + SCRIPT_ENV + "\nexec " +
                                        REAL_INIT + " \"$@\"\n");
        mxtest::installScript("/etc/init.d/courier-imap",
                              "echo \"$1\" >>" + COURIER_CALLS + "\nexit 0\n");
        stock = mxtest::readFile(MASTER_CF);
        ASSERT_TRUE(contains(stock, STOCK_SMTP));
    }

    // Every daemon started here is stopped again, whatever the test did.
    void TearDown() override
    {
        mxtest::run("pid=$(tr -d ' \\n' <" + PID_FILE +
                    " 2>/dev/null) && [ -n \"$pid\" ] && kill -0 \"$pid\" 2>/dev/null && " +
                    REAL_INIT + " stop >/dev/null 2>&1");
    }

    // startRealPostfix - start the daemon behind the commands' back.
    void startRealPostfix()
    {
        mxtest::RunResult r = mxtest::run(REAL_INIT + " start");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        ASSERT_TRUE(becomes(realPostfixRunning, true));
    }

    // standIn - replace the Postfix init script by one that records and then runs body.
    void standIn(const std::string& body)
    {
        mxtest::installScript(INIT, "echo \"$1\" >>" + CALLS + "\n" + body);
    }

    void writeMasterCf(const std::string& text)
    {
        mxtest::writeFile(MASTER_CF, text);
        mxtest::backdate(MASTER_CF);
    }

    std::string calls() { return readIfThere(CALLS); }

    std::string stock;
};

TEST_F(ServicePostfixSysTest, RealPostfixStartsReportsRestartsAndStops)
{
    EXPECT_EQ("mta is stopped\n", mxtest::mxadmin("--status-service --mail-component=mta").out);

    mxtest::RunResult r = mxtest::mxadmin("--start-service --mail-component=mta");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(realPostfixRunning());
    EXPECT_EQ("start\n", calls());
    // The script's whole environment is LANG=C (the shell adds PWD itself).
    std::string env = mxtest::run("grep -v '^PWD=' " + SCRIPT_ENV).out;
    EXPECT_EQ("LANG=C\n", env);

    EXPECT_EQ("mta is running\n", mxtest::mxadmin("--status-service --mail-component=mta").out);
    EXPECT_EQ("is running\n", mxtest::mxadmin("-s").out);
    // Starting a running Postfix runs nothing.
    EXPECT_EQ(0, mxtest::mxadmin("-l").status);
    EXPECT_EQ("start\n", calls());

    const std::string firstMaster = mxtest::readFile(PID_FILE);
    r = mxtest::mxadmin("--restart-service --mail-component=mta");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("start\nrestart\n", calls());
    EXPECT_TRUE(realPostfixRunning());
    EXPECT_NE(firstMaster, mxtest::readFile(PID_FILE));

    r = mxtest::mxadmin("--stop-service --mail-component=mta");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("start\nrestart\nstop\n", calls());
    EXPECT_FALSE(realPostfixRunning());
    EXPECT_EQ("mta is stopped\n", mxtest::mxadmin("--status-service --mail-component=mta").out);
    // Stopping a stopped Postfix (its pid file stays behind) runs nothing.
    EXPECT_EQ(0, mxtest::mxadmin("-m").status);
    EXPECT_EQ("start\nrestart\nstop\n", calls());
    EXPECT_EQ("", readIfThere(COURIER_CALLS));
}

TEST_F(ServicePostfixSysTest, SmtpSwitchedUnderRunningPostfixIsReloadedIn)
{
    writeMasterCf(without(stock, STOCK_SMTP));
    startRealPostfix();
    ASSERT_FALSE(listening(25));

    mxtest::RunResult r = mxtest::mxadmin("--start-service --mail-component=smtp");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(without(stock, STOCK_SMTP) + BUILT_IN_SMTP, mxtest::readFile(MASTER_CF));
    EXPECT_EQ("reload\n", calls());
    EXPECT_TRUE(becomes([] { return listening(25); }, true)) << "the master never opened :25";

    r = mxtest::mxadmin("--stop-service --mail-component=smtp");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(without(stock, STOCK_SMTP), mxtest::readFile(MASTER_CF));
    EXPECT_EQ(BUILT_IN_SMTP, mxtest::readFile(DISABLED));
    EXPECT_EQ("reload\nreload\n", calls());
    EXPECT_TRUE(becomes([] { return listening(25); }, false)) << "the master still has :25";
    EXPECT_TRUE(realPostfixRunning());
    EXPECT_EQ("", readIfThere(COURIER_CALLS));
}

TEST_F(ServicePostfixSysTest, SmtpAddedWhilePostfixIsStoppedRunsNoScript)
{
    writeMasterCf(without(stock, STOCK_SMTP));
    mxtest::RunResult r = mxtest::mxadmin("--start-service --mail-component=smtp");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(without(stock, STOCK_SMTP) + BUILT_IN_SMTP, mxtest::readFile(MASTER_CF));
    EXPECT_EQ("", calls());
    EXPECT_FALSE(mxtest::fileExists(DISABLED));

    // Already live: nothing is written and nothing runs.
    r = mxtest::mxadmin("--restart-service --mail-component=smtp");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(without(stock, STOCK_SMTP) + BUILT_IN_SMTP, mxtest::readFile(MASTER_CF));
    EXPECT_EQ("", calls());
}

TEST_F(ServicePostfixSysTest, StopAllSetsServicesAsideAndStopsWithoutReload)
{
    mxtest::startMariaDB();
    mxtest::sql("INSERT INTO misc VALUES ('message_submission', 'false');");
    writeMasterCf(stock + LOCAL_SMTPS + LOCAL_SUBMISSION);
    startRealPostfix();

    mxtest::RunResult r = mxtest::mxadmin("--stop-service");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("stop\n", calls());
    EXPECT_EQ("stop\n", readIfThere(COURIER_CALLS));
    EXPECT_TRUE(becomes(realPostfixRunning, false));
    EXPECT_EQ(without(stock, STOCK_SMTP), mxtest::readFile(MASTER_CF));
    // Each entry keeps its exact text, local option lines included.
    EXPECT_EQ(STOCK_SMTP + LOCAL_SMTPS + LOCAL_SUBMISSION, mxtest::readFile(DISABLED));

    // Starting everything again brings the same texts back and Postfix up.
    mxtest::sql("UPDATE misc SET val = 'true' WHERE param = 'message_submission';");
    r = mxtest::mxadmin("--start-service");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("stop\nstart\n", calls());
    EXPECT_EQ("stop\nstart\n", readIfThere(COURIER_CALLS));
    EXPECT_TRUE(realPostfixRunning());
    EXPECT_EQ(without(stock, STOCK_SMTP) + STOCK_SMTP + LOCAL_SMTPS + LOCAL_SUBMISSION,
              mxtest::readFile(MASTER_CF));
    EXPECT_EQ("", mxtest::readFile(DISABLED));
}

struct SubmissionCase {
    const char* args;
    const char* setting; // value of the panel's row, or null for no row
    bool liveBefore;
    bool liveAfter;
    bool asideAfter;
};

class SubmissionSettingTest : public ServicePostfixSysTest,
                              public ::testing::WithParamInterface<SubmissionCase> {};

TEST_P(SubmissionSettingTest, SubmissionFollowsThePanelSetting)
{
    const SubmissionCase& c = GetParam();
    mxtest::startMariaDB();
    if (c.setting != nullptr)
        mxtest::sql(std::string("INSERT INTO misc VALUES ('message_submission', '") + c.setting +
                    "');");
    writeMasterCf(c.liveBefore ? stock + LOCAL_SUBMISSION : stock);

    mxtest::RunResult r = mxtest::mxadmin(c.args);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    const std::string master = mxtest::readFile(MASTER_CF);
    const std::string entry = c.liveBefore ? LOCAL_SUBMISSION : builtInSubmission();
    EXPECT_EQ(c.liveAfter, contains(master, entry)) << master;
    EXPECT_EQ(c.asideAfter, contains(readIfThere(DISABLED), entry));
    if (!c.liveAfter) {
        EXPECT_EQ(stock, master);
    }
    // Postfix is stopped: master.cf changes need no script run.
    EXPECT_EQ("", calls());
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SubmissionSettingTest,
    ::testing::Values(
        SubmissionCase{"--stop-service --mail-component=submission", "true", true, true, false},
        SubmissionCase{"--stop-service --mail-component=submission", "false", true, false, true},
        SubmissionCase{"--stop-service --mail-component=submission", nullptr, true, false, true},
        // Only the exact word counts as on.
        SubmissionCase{"--stop-service --mail-component=submission", "TRUE", true, false, true},
        SubmissionCase{"--start-service --mail-component=submission", "true", false, true, false},
        SubmissionCase{"--start-service --mail-component=submission", "true", true, true, false},
        SubmissionCase{"--start-service --mail-component=submission", "false", true, false, true},
        SubmissionCase{"--restart-service --mail-component=submission", nullptr, false, false,
                       false}),
    [](const ::testing::TestParamInfo<SubmissionCase>& info) {
        return "case" + std::to_string(info.index);
    });

TEST_F(ServicePostfixSysTest, UnreachablePanelDatabaseFailsTheSubmissionCheck)
{
    writeMasterCf(stock + LOCAL_SUBMISSION);
    mxtest::RunResult r = mxtest::mxadmin("--start-service --mail-component=submission");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "Fatal error: ostra::mysql::mError(connection failed)")) << r.err;
    EXPECT_EQ(stock + LOCAL_SUBMISSION, mxtest::readFile(MASTER_CF));
    EXPECT_FALSE(mxtest::fileExists(DISABLED));
    EXPECT_EQ("", calls());
}

TEST_F(ServicePostfixSysTest, FailedSettingQueryIsWarnedAboutAndReadAsOff)
{
    mxtest::startMariaDB();
    mxtest::sql("DROP TABLE misc;");
    writeMasterCf(stock + LOCAL_SUBMISSION);
    mxtest::RunResult r = mxtest::mxadmin("--stop-service --mail-component=submission");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.err, "Warning: MySQL Error on Mail Authentication Type query: "))
        << r.err;
    EXPECT_TRUE(contains(r.err, ", ignored\n")) << r.err;
    EXPECT_EQ(stock, mxtest::readFile(MASTER_CF));
    EXPECT_EQ(LOCAL_SUBMISSION, mxtest::readFile(DISABLED));
}

class UnparsableMasterCfTest : public ServicePostfixSysTest,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(UnparsableMasterCfTest, CommandStopsBeforeAnyChangeOrRun)
{
    const std::string broken = stock + "Uppercase inet n - n - - smtpd\n";
    writeMasterCf(broken);
    mxtest::RunResult r = mxtest::mxadmin(GetParam());
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "unable to parse " + MASTER_CF)) << r.err;
    EXPECT_EQ(broken, mxtest::readFile(MASTER_CF));
    EXPECT_FALSE(mxtest::fileExists(DISABLED));
    EXPECT_EQ("", calls());
    EXPECT_EQ("", readIfThere(COURIER_CALLS));
}

INSTANTIATE_TEST_SUITE_P(Commands, UnparsableMasterCfTest,
                         ::testing::Values("--start-service --mail-component=smtp",
                                           "--stop-service --mail-component=smtps",
                                           "--restart-service", "-p", "-o", "-a", "-b"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST_F(ServicePostfixSysTest, RunningNeedsAQmgrChildOfThePidFilesProcess)
{
    standIn("exit 0\n");
    const std::string sleepCopy = "/run/fake-postfix/sleep";
    const std::string qmgrCopy = "/run/fake-postfix/qmgr";
    ASSERT_EQ(0, mxtest::run("mkdir -p /run/fake-postfix && cp /bin/sleep " + sleepCopy +
                             " && cp /bin/sleep " + qmgrCopy)
                     .status);

    // A live process without a qmgr child: stopped, and nothing to stop.
    Child master(sleepCopy);
    writePidFile(std::to_string(master.pid()));
    EXPECT_EQ("is stopped\n", mxtest::mxadmin("-s").out);
    EXPECT_EQ(0, mxtest::mxadmin("-m").status);
    EXPECT_EQ(0, mxtest::mxadmin("--stop-service --mail-component=mta").status);
    EXPECT_EQ("", calls());

    // This test process as the master, with a child named qmgr: running.
    Child qmgr(qmgrCopy);
    EXPECT_EQ("is stopped\n", mxtest::mxadmin("-s").out);
    writePidFile(std::to_string(getpid()));
    EXPECT_EQ("mta is running\n", mxtest::mxadmin("--status-service --mail-component=mta").out);
    EXPECT_EQ(0, mxtest::mxadmin("-l").status);
    EXPECT_EQ("", calls());
    EXPECT_EQ(0, mxtest::mxadmin("-m").status);
    EXPECT_EQ("stop\n", calls());

    // Pid file texts that name no process at all.
    for (const char* text : {"", "garbage", "0", "-1", "99999999"}) {
        writePidFile(text);
        EXPECT_EQ("is stopped\n", mxtest::mxadmin("-s").out) << text;
    }
    ASSERT_EQ(0, unlink(PID_FILE.c_str()));
    EXPECT_EQ("is stopped\n", mxtest::mxadmin("-s").out);
}

TEST_F(ServicePostfixSysTest, ScriptStatusIsPassedOnAndFailsTheCommand)
{
    standIn("exit 7\n");
    EXPECT_EQ(7, mxtest::mxadmin("-l").status);
    EXPECT_EQ(1, mxtest::mxadmin("--start-service --mail-component=mta").status);
    EXPECT_EQ(1, mxtest::mxadmin("--restart-service --mail-component=mta").status);
    EXPECT_EQ(1, mxtest::mxadmin("--reload-service --mail-component=mta").status);
    EXPECT_EQ("start\nstart\nrestart\nreload\n", calls());

    // A script killed by a signal did not exit normally: 255.
    standIn("kill -TERM $$\nexit 0\n");
    EXPECT_EQ(255, mxtest::mxadmin("-l").status);
    // Its own messages reach the program's standard output and standard error.
    standIn("echo stand-in says hello\necho stand-in complains >&2\nexit 0\n");
    mxtest::RunResult r = mxtest::mxadmin("--reload-service --mail-component=mta");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("stand-in says hello\n", r.out);
    EXPECT_EQ("stand-in complains\n", r.err);
}

TEST_F(ServicePostfixSysTest, StartThatNeverComesUpFailsAfterAboutFiveSeconds)
{
    standIn("exit 0\n");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(1, mxtest::mxadmin("-l").status);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    EXPECT_GE(seconds, 5);
    EXPECT_LT(seconds, 30);
    EXPECT_EQ("start\n", calls());
}

TEST_F(ServicePostfixSysTest, MissingPostfixScriptIsReportedAndTheCommandGoesOn)
{
    ASSERT_EQ(0, unlink(INIT.c_str()));
    mxtest::RunResult r =
        mxtest::mxadmin("--start-service --mail-component=mta --mail-component=imap");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "Fatal error: ostra::SystemError(execve: ")) << r.err;
    EXPECT_EQ("start\n", readIfThere(COURIER_CALLS));

    r = mxtest::mxadmin("--reload-service --mail-component=mta --mail-component=pop3");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("start\nreload\n", readIfThere(COURIER_CALLS));
}

TEST_F(ServicePostfixSysTest, LegacySubmissionSwitchesMoveTheEntryAndReload)
{
    standIn("exit 1\n"); // a reload of a stopped Postfix fails; that is ignored
    EXPECT_EQ(0, mxtest::mxadmin("-a").status);
    EXPECT_EQ(stock + builtInSubmission(), mxtest::readFile(MASTER_CF));
    EXPECT_EQ("reload\n", calls());
    // Already live: nothing written, no reload.
    EXPECT_EQ(0, mxtest::mxadmin("--enable-message-submission").status);
    EXPECT_EQ("reload\n", calls());

    EXPECT_EQ(0, mxtest::mxadmin("-b").status);
    EXPECT_EQ(stock, mxtest::readFile(MASTER_CF));
    EXPECT_EQ(builtInSubmission(), mxtest::readFile(DISABLED));
    EXPECT_EQ("reload\nreload\n", calls());
    EXPECT_EQ(0, mxtest::mxadmin("--disable-message-submission").status);
    EXPECT_EQ("reload\nreload\n", calls());

    // A local entry set aside comes back as it was.
    writeMasterCf(stock);
    mxtest::writeFile(DISABLED, LOCAL_SUBMISSION);
    EXPECT_EQ(0, mxtest::mxadmin("-a").status);
    EXPECT_EQ(stock + LOCAL_SUBMISSION, mxtest::readFile(MASTER_CF));
    EXPECT_EQ("", mxtest::readFile(DISABLED));
}

TEST_F(ServicePostfixSysTest, LegacySmtpSwitchesWhilePostfixIsStopped)
{
    standIn("exit 0\n");
    EXPECT_EQ(0, mxtest::mxadmin("-p").status);
    const std::string builtInSmtps =
        ostra::mail::postfix::formatModule(ostra::mail::postfix::SmtpsdModule()) + "\n";
    EXPECT_EQ(stock + builtInSmtps, mxtest::readFile(MASTER_CF));

    EXPECT_EQ(0, mxtest::mxadmin("-o").status);
    EXPECT_EQ(without(stock, STOCK_SMTP), mxtest::readFile(MASTER_CF));
    EXPECT_EQ(STOCK_SMTP + builtInSmtps, mxtest::readFile(DISABLED));

    EXPECT_EQ(0, mxtest::mxadmin("-r").status);
    EXPECT_EQ(without(stock, STOCK_SMTP) + STOCK_SMTP + builtInSmtps, mxtest::readFile(MASTER_CF));
    EXPECT_EQ("", calls());
}

} // namespace
