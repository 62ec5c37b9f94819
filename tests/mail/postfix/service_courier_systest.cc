// service_courier_systest.cc - the service commands' Courier-IMAP side, their
// status output and their option errors, against a stand-in init script that
// records its calls and answers a chosen exit status.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "systest.h"

namespace {

const std::string COURIER_SCRIPT = "/etc/init.d/courier-imap";
const std::string CALLS = "/run/courier-calls";
const std::string EXIT_STATUS = "/run/courier-exit";
const std::string USAGE_TAIL =
    " [--mail-component={mta|smtp|smtps|submission|pop3|imap|pop3s|imaps|all}]"
    " [--mail-component=...]";

class ServiceCourierSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        mxtest::installScript(COURIER_SCRIPT, "echo \"$1\" >>" + CALLS +
                                                  "\n"
                                                  "status=0\n"
                                                  "[ -f " +
                                                  EXIT_STATUS + " ] && status=$(cat " +
                                                  EXIT_STATUS +
                                                  ")\n"
                                                  "exit $status\n");
    }

    // courierExits - the status the stand-in answers from now on.
    void courierExits(int status) { mxtest::writeFile(EXIT_STATUS, std::to_string(status)); }

    // calls - the actions the stand-in was run with, one line each.
    std::string calls() { return mxtest::fileExists(CALLS) ? mxtest::readFile(CALLS) : ""; }
};

struct StatusCase {
    const char* args;
    int courierStatus;
    const char* out;
    const char* calls;
};

class ServiceStatusTest : public ServiceCourierSysTest,
                          public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ServiceStatusTest, OneLinePerSelectedComponentFromOneScriptRun)
{
    const StatusCase& c = GetParam();
    courierExits(c.courierStatus);
    mxtest::RunResult r = mxtest::mxadmin(c.args);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.calls, calls());
}

INSTANTIATE_TEST_SUITE_P(
    Selections, ServiceStatusTest,
    ::testing::Values(
        // No option: Postfix (not running here) and the four Courier servers in fixed order.
        StatusCase{"--status-service", 0,
                   "mta is stopped\npop3 is running\npop3s is running\nimap is running\n"
                   "imaps is running\n",
                   "status\n"},
        StatusCase{"--status-service --mail-component=all", 3,
                   "mta is stopped\npop3 is stopped\npop3s is stopped\nimap is stopped\n"
                   "imaps is stopped\n",
                   "status\n"},
        StatusCase{"--status-service --mail-component=imap --mail-component=pop3", 0,
                   "pop3 is running\nimap is running\n", "status\n"},
        StatusCase{"--status-service --mail-component=imaps --mail-component imaps", 1,
                   "imaps is stopped\n", "status\n"},
        StatusCase{"--status-service --mail-component=mta", 0, "mta is stopped\n", ""},
        // The master.cf services have no status of their own.
        StatusCase{"--status-service --mail-component=smtp", 0, "", ""},
        StatusCase{"--status-service --mail-component=smtps --mail-component=submission", 0, "",
                   ""},
        StatusCase{"-e", 0, "is running\n", "status\n"},
        StatusCase{"--status-maild", 3, "is stopped\n", "status\n"},
        StatusCase{"-s", 0, "is stopped\n", ""}),
    [](const ::testing::TestParamInfo<StatusCase>& info) {
        return "case" + std::to_string(info.index);
    });

struct ActionCase {
    const char* args;
    int courierStatus;
    int exitStatus;
    const char* calls;
};

class CourierActionTest : public ServiceCourierSysTest,
                          public ::testing::WithParamInterface<ActionCase> {};

TEST_P(CourierActionTest, ScriptRunsOnceAndItsFailureFailsTheCommand)
{
    const ActionCase& c = GetParam();
    courierExits(c.courierStatus);
    mxtest::RunResult r = mxtest::mxadmin(c.args);
    EXPECT_EQ(c.exitStatus, r.status) << r.out << r.err;
    EXPECT_EQ(c.calls, calls());
    std::string action = c.calls;
    if (c.courierStatus != 0 && !action.empty()) {
        action.erase(action.size() - 1);
        EXPECT_NE(std::string::npos,
                  r.err.find("Service " + COURIER_SCRIPT + " failed to " + action))
            << r.err;
    } else {
        EXPECT_EQ("", r.err);
        EXPECT_EQ("", r.out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CourierActionTest,
    ::testing::Values(
        ActionCase{"--start-service --mail-component=imap", 0, 0, "start\n"},
        ActionCase{"--start-service --mail-component=pop3 --mail-component=imaps", 1, 1, "start\n"},
        ActionCase{"--stop-service --mail-component=pop3s", 0, 0, "stop\n"},
        ActionCase{"--stop-service --mail-component=pop3s", 2, 1, "stop\n"},
        ActionCase{"--restart-service --mail-component=imaps", 0, 0, "restart\n"},
        ActionCase{"--restart-service --mail-component=imap", 1, 1, "restart\n"},
        ActionCase{"--reload-service --mail-component=pop3", 0, 0, "reload\n"},
        ActionCase{"--reload-service --mail-component=pop3", 1, 1, "reload\n"},
        // Reloading master.cf services alone does nothing at all.
        ActionCase{"--reload-service --mail-component=smtp --mail-component=submission", 0, 0, ""},
        // The legacy forms pass the routine's -1 on, which the process reports as 255.
        ActionCase{"-i", 0, 0, "start\n"}, ActionCase{"--start-maild", 1, 255, "start\n"},
        ActionCase{"-t", 0, 0, "stop\n"}, ActionCase{"--stop-maild", 4, 255, "stop\n"},
        ActionCase{"-z", 0, 0, "restart\n"}, ActionCase{"--restart-maild", 1, 255, "restart\n"}),
    [](const ::testing::TestParamInfo<ActionCase>& info) {
        return "case" + std::to_string(info.index);
    });

TEST_F(ServiceCourierSysTest, NoRestartDaemonMakesEveryCourierActionSucceedUnrun)
{
    mxtest::makeDirs("/etc/hsp");
    mxtest::writeFile("/etc/hsp/hsp.conf", "NO_RESTART_DAEMON 1\n");
    courierExits(1);
    const char* commands[] = {"-i",
                              "-t",
                              "-z",
                              "--start-service --mail-component=imap",
                              "--stop-service --mail-component=pop3",
                              "--restart-service --mail-component=imaps",
                              "--reload-service --mail-component=pop3s"};
    for (const char* args : commands) {
        mxtest::RunResult r = mxtest::mxadmin(args);
        EXPECT_EQ(0, r.status) << args << ": " << r.err;
    }
    EXPECT_EQ("is running\n", mxtest::mxadmin("-e").out);
    EXPECT_EQ("imap is running\n", mxtest::mxadmin("--status-service --mail-component=imap").out);
    // Not even a missing script matters then.
    ASSERT_EQ(0, unlink(COURIER_SCRIPT.c_str()));
    EXPECT_EQ(0, mxtest::mxadmin("-i").status);
    EXPECT_EQ("", calls());
}

TEST_F(ServiceCourierSysTest, MissingScriptFailsEveryCourierAction)
{
    ASSERT_EQ(0, unlink(COURIER_SCRIPT.c_str()));
    const std::string message = "Unable to find start/stop script for 'courier-imap'";

    mxtest::RunResult r = mxtest::mxadmin("--start-service --mail-component=imap");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(message)) << r.err;
    // Diagnostics are copied to standard output too.
    EXPECT_NE(std::string::npos, r.out.find(message)) << r.out;

    r = mxtest::mxadmin("-i");
    EXPECT_EQ(255, r.status);
    EXPECT_NE(std::string::npos, r.err.find(message)) << r.err;

    r = mxtest::mxadmin("--status-service --mail-component=pop3 --mail-component=imap");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("pop3 is stopped\nimap is stopped\n")) << r.out;
}

TEST_F(ServiceCourierSysTest, ScriptFoundUnderItsShellName)
{
    ASSERT_EQ(0, rename(COURIER_SCRIPT.c_str(), (COURIER_SCRIPT + ".sh").c_str()));
    mxtest::RunResult r = mxtest::mxadmin("--restart-service --mail-component=pop3");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("restart\n", calls());
}

TEST_F(ServiceCourierSysTest, UnusableScriptPathEndsTheProgram)
{
    ASSERT_EQ(0, unlink(COURIER_SCRIPT.c_str()));
    mxtest::makeDirs(COURIER_SCRIPT);
    mxtest::RunResult r = mxtest::mxadmin("--stop-service --mail-component=imap");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Not a regular file: '" + COURIER_SCRIPT + "'"))
        << r.err;
}

struct BadWordCase {
    const char* command;
    const char* args;
    const char* word;
};

class UnknownComponentTest : public ServiceCourierSysTest,
                             public ::testing::WithParamInterface<BadWordCase> {};

TEST_P(UnknownComponentTest, UsageErrorBeforeAnythingRuns)
{
    const BadWordCase& c = GetParam();
    mxtest::RunResult r = mxtest::mxadmin(std::string(c.command) + " " + c.args);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(std::string("unknown component ") + c.word + "'"))
        << r.err;
    EXPECT_NE(std::string::npos, r.out.find(std::string("Usage: ") + c.command + USAGE_TAIL))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find(" is running")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find(" is stopped")) << r.out;
    EXPECT_EQ("", calls());
}

INSTANTIATE_TEST_SUITE_P(
    Words, UnknownComponentTest,
    ::testing::Values(BadWordCase{"--start-service", "--mail-component=IMAP", "IMAP"},
                      BadWordCase{"--status-service", "--mail-component=imap --mail-component=pop",
                                  "pop"},
                      BadWordCase{"--stop-service", "--mail-component ''", ""},
                      BadWordCase{"--reload-service", "--mail-component=smtp,imap", "smtp,imap"},
                      BadWordCase{"--restart-service", "--mail-component=All", "All"}),
    [](const ::testing::TestParamInfo<BadWordCase>& info) {
        return "case" + std::to_string(info.index);
    });

struct HelpCase {
    const char* command;
    const char* title;
};

class ServiceHelpTest : public ServiceCourierSysTest,
                        public ::testing::WithParamInterface<HelpCase> {};

TEST_P(ServiceHelpTest, TitleUsageAndTheOneOption)
{
    const HelpCase& c = GetParam();
    mxtest::RunResult r = mxtest::mxadmin(std::string(c.command) + " --help");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find(std::string(c.title) + "\nUsage: " + c.command + USAGE_TAIL + "\n"))
        << r.out;
    // The library wraps the long description; its start and end are ours.
    EXPECT_NE(std::string::npos, r.out.find("--mail-component arg  mail component name (mta|smtp|"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("|imaps|all) (default all)\n")) << r.out;
    EXPECT_EQ("", calls());
}

INSTANTIATE_TEST_SUITE_P(Commands, ServiceHelpTest,
                         ::testing::Values(HelpCase{"--start-service", "start a service"},
                                           HelpCase{"--stop-service", "stop a service"},
                                           HelpCase{"--restart-service", "restart a service"},
                                           HelpCase{"--reload-service", "reload a service"},
                                           HelpCase{"--status-service", "get service status"}),
                         [](const ::testing::TestParamInfo<HelpCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

} // namespace
