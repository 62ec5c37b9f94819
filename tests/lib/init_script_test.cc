// init_script_test.cc - running scripts from a temporary directory, the status
// words, and reading /proc/<pid>/stat texts.
#include "ostra/init_script.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

struct StatCase {
    const char* text;
    int result;
    const char* comm;
    pid_t ppid;
};

class ParseProcStatTest : public ::testing::TestWithParam<StatCase> {};

TEST_P(ParseProcStatTest, CommandNameAndParent)
{
    const StatCase& c = GetParam();
    std::string comm = "untouched";
    pid_t ppid = -7;
    ASSERT_EQ(c.result, parse_proc_stat(c.text, &comm, &ppid)) << c.text;
    if (c.result == 0) {
        EXPECT_EQ(c.comm, comm);
        EXPECT_EQ(c.ppid, ppid);
    } else {
        EXPECT_EQ("untouched", comm);
        EXPECT_EQ(-7, ppid);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseProcStatTest,
    ::testing::Values(
        StatCase{"242 (qmgr) S 240 240 240 0 -1 4194560 1 0\n", 0, "qmgr", 240},
        // A command name may hold blanks and parentheses itself.
        StatCase{"5 (a) S 1 b) R 7 8 9\n", 0, "a) S 1 b", 7},
        StatCase{"6 (two words) D 1\n", 0, "two words", 1}, StatCase{"7 () Z 0 0\n", 0, "", 0},
        StatCase{"8 (x) S 9", 0, "x", 9}, StatCase{"", -1, "", 0},
        StatCase{"242 qmgr S 240 1", -1, "", 0}, StatCase{"242 (qmgr)", -1, "", 0},
        StatCase{"242 (qmgr) S", -1, "", 0}, StatCase{"242 (qmgr) S x 1", -1, "", 0},
        StatCase{"242 (qmgr) S -1 1", -1, "", 0}, StatCase{"242 (qmgr)S 240 1", -1, "", 0},
        StatCase{"242 (qmgr) S 24x0 1", -1, "", 0}, StatCase{"242 )qmgr( S 240 1", -1, "", 0}),
    [](const ::testing::TestParamInfo<StatCase>& info) {
        return "case" + std::to_string(info.index);
    });

TEST(ParseProcStatTest, NullArgumentsAreRefused)
{
    std::string comm;
    pid_t ppid = 0;
    EXPECT_EQ(-1, parse_proc_stat(nullptr, &comm, &ppid));
    EXPECT_EQ(-1, parse_proc_stat("1 (a) S 0", nullptr, &ppid));
    EXPECT_EQ(-1, parse_proc_stat("1 (a) S 0", &comm, nullptr));
}

TEST(PrintStatusTest, ZeroIsRunningAnythingElseStopped)
{
    const int codes[] = {0, 1, 3, -1, 255};
    for (int code : codes) {
        CaptureStdout();
        print_status(code);
        EXPECT_EQ(code == 0 ? "is running\n" : "is stopped\n", GetCapturedStdout()) << code;
    }
}

class RcScriptTest : public ::testing::Test {
protected:
    // script - install an executable shell script in the temporary directory.
    std::string script(const std::string& name, const std::string& body, int mode = 0755)
    {
        std::string path = dir.file(name);
        mxtest::writeFile(path, "#!/bin/sh\n" + body, mode);
        chmod(path.c_str(), mode);
        return path;
    }

    // run - rc_script's result, with what it logged on stderr in *log.
    int run(const std::string& path, const char* action, std::string* log)
    {
        CaptureStderr();
        int result = rc_script(path.c_str(), action);
        *log = GetCapturedStderr();
        return result;
    }

    mxtest::TempDir dir;
};

struct ExitCase {
    int exitStatus;
    const char* action;
    int result;
    bool logged; // "Service <path> failed to <action>"
};

class RcScriptExitTest : public RcScriptTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(RcScriptExitTest, ExitStatusDecidesAndFailuresAreLogged)
{
    const ExitCase& c = GetParam();
    std::string path = script("rc", "exit " + std::to_string(c.exitStatus) + "\n");
    std::string log;
    EXPECT_EQ(c.result, run(path, c.action, &log));
    std::string message = "Service " + path + " failed to " + c.action;
    if (c.logged)
        EXPECT_NE(std::string::npos, log.find(message)) << log;
    else
        EXPECT_EQ("", log);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, RcScriptExitTest,
    ::testing::Values(ExitCase{0, "start", 0, false}, ExitCase{0, "status", 0, false},
                      ExitCase{1, "start", -1, true}, ExitCase{3, "stop", -1, true},
                      ExitCase{255, "reload", -1, true},
                      // A stopped service's status is no failure to report.
                      ExitCase{3, "status", -1, false}),
    [](const ::testing::TestParamInfo<ExitCase>& info) {
        return std::string(info.param.action) + std::to_string(info.param.exitStatus);
    });

TEST_F(RcScriptTest, ScriptRunsInItsDirectoryAndSessionWithoutOurDescriptors)
{
    std::string out = dir.file("seen");
    // A descriptor of ours without close-on-exec must not reach the script.
    int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    std::string path = script("rc", "exec >>" + out +
                                        " 2>&1\n"
                                        "echo \"args $# $0 $1\"\n"
                                        "echo \"cwd $(pwd)\"\n"
                                        "echo \"in $(readlink /proc/$$/fd/0)\"\n"
                                        "echo \"sid $(cut -d' ' -f6 /proc/$$/stat) $$\"\n"
                                        "[ -e /proc/$$/fd/" +
                                        std::to_string(stray) +
                                        " ] && echo stray open\n"
                                        "exit 0\n");
    std::string probe =
        script("probe", "echo \"out $(readlink /proc/$PPID/fd/1)\" >>" + out +
                            "\necho \"err $(readlink /proc/$PPID/fd/2)\" >>" + out + "\n");
    // The first script records its stdout and stderr through a child of its own.
    std::string wrapper = script("wrapped", probe + "\nexec " + path + " \"$@\"\n");
    std::string log;
    ASSERT_EQ(0, run(wrapper, "restart", &log)) << log;
    close(stray);

    std::string seen = mxtest::readFile(out);
    EXPECT_NE(std::string::npos, seen.find("args 1 " + path + " restart\n")) << seen;
    EXPECT_NE(std::string::npos, seen.find("cwd " + dir.path() + "\n")) << seen;
    EXPECT_NE(std::string::npos, seen.find("in /dev/null\n")) << seen;
    EXPECT_NE(std::string::npos, seen.find("out /dev/null\n")) << seen;
    EXPECT_EQ(std::string::npos, seen.find("err /dev/null\n")) << seen;
    EXPECT_EQ(std::string::npos, seen.find("stray open")) << seen;
    // A session leader's session id is its own pid.
    std::string::size_type at = seen.find("sid ");
    ASSERT_NE(std::string::npos, at) << seen;
    std::string sid = seen.substr(at + 4, seen.find('\n', at) - at - 4);
    std::string::size_type blank = sid.find(' ');
    ASSERT_NE(std::string::npos, blank) << sid;
    EXPECT_EQ(sid.substr(0, blank), sid.substr(blank + 1)) << seen;
}

TEST_F(RcScriptTest, KilledScriptIsAFailureNamingTheSignal)
{
    std::string path = script("rc", "kill -KILL $$\nexit 0\n");
    std::string log;
    EXPECT_EQ(-1, run(path, "stop", &log));
    EXPECT_NE(std::string::npos,
              log.find("Unable to stop service " + path + ": daemon killed by signal 9"))
        << log;
}

TEST_F(RcScriptTest, StoppedScriptIsAFailureNamingTheSignal)
{
    std::string pidFile = dir.file("pid");
    std::string path = script("rc", "echo $$ >" + pidFile + "\nkill -STOP $$\nexit 0\n");
    std::string log;
    EXPECT_EQ(-1, run(path, "start", &log));
    EXPECT_NE(std::string::npos, log.find("Unable to start service " + path +
                                          ": daemon stopped by signal " + std::to_string(SIGSTOP)))
        << log;
    // Clean up the stopped child, which is ours.
    pid_t pid = std::stoi(mxtest::readFile(pidFile));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST_F(RcScriptTest, ScriptThatCannotBeExecutedFails)
{
    std::string path = script("rc", "exit 0\n", 0644);
    std::string log;
    EXPECT_EQ(-1, run(path, "start", &log));
    EXPECT_NE(std::string::npos, log.find("Service " + path + " failed to start")) << log;
}

TEST_F(RcScriptTest, MissingArgumentsAreRefused)
{
    std::string path = script("rc", "exit 0\n");
    std::string log;
    CaptureStderr();
    EXPECT_EQ(-1, rc_script(nullptr, "start"));
    EXPECT_EQ(-1, rc_script(path.c_str(), nullptr));
    log = GetCapturedStderr();
    EXPECT_NE("", log);
}

using RcScriptDeathTest = RcScriptTest;

TEST_F(RcScriptDeathTest, UnusablePathsEndTheProgram)
{
    std::string missing = dir.file("missing");
    EXPECT_EXIT(rc_script(missing.c_str(), "start"), ::testing::ExitedWithCode(1),
                "No such file '" + missing + "'");
    std::string file = script("plain", "exit 0\n");
    std::string under = file + "/rc";
    EXPECT_EXIT(rc_script(under.c_str(), "start"), ::testing::ExitedWithCode(1),
                "No such file '" + under + "'");
    EXPECT_EXIT(rc_script(dir.path().c_str(), "start"), ::testing::ExitedWithCode(1),
                "Not a regular file: '" + dir.path() + "'");
}

} // namespace
