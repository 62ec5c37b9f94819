// init_script_systest.cc - init scripts found under /etc/init.d, and the
// process table of the sandbox's own pid namespace.
#include "ostra/init_script.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "systest.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const std::string CALLS = "/run/init-script-calls";

// Child - a program started by the test, killed and reaped at scope exit.
class Child {
public:
    explicit Child(const std::string& program) : pid_(fork())
    {
        if (pid_ == 0) {
            execl(program.c_str(), program.c_str(), "60", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Child()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // waitStatus - reap within about five seconds; -1 when it is still running then.
    int waitStatus()
    {
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return status;
            }
            usleep(10000);
        }
        return -1;
    }
    bool running()
    {
        int status = 0;
        if (reaped_ || waitpid(pid_, &status, WNOHANG) != 0) {
            reaped_ = true;
            return false;
        }
        return true;
    }

private:
    pid_t pid_;
    bool reaped_ = false;
};

// waitForExec - wait until pid runs program (the exec after fork takes a moment).
void waitForExec(pid_t pid, const std::string& program)
{
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 500; ++i) {
        char target[4096];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == program)
            return;
        usleep(10000);
    }
    FAIL() << pid << " never ran " << program;
}

// copyOfSleep - the sleep program under another path.
std::string copyOfSleep(const std::string& path)
{
    mxtest::RunResult r = mxtest::run("mkdir -p \"$(dirname " + mxtest::shellQuote(path) +
                                      ")\" && cp /bin/sleep " + mxtest::shellQuote(path));
    EXPECT_EQ(0, r.status) << r.err;
    return path;
}

// recordingScript - an init script that appends "<name> <action>" to CALLS and exits with status.
void recordingScript(const std::string& path, const std::string& name, int status = 0)
{
    mxtest::installScript(path, "echo \"" + name + " $1\" >>" + CALLS + "\nexit " +
                                    std::to_string(status) + "\n");
}

std::string calls()
{
    return mxtest::fileExists(CALLS) ? mxtest::readFile(CALLS) : "";
}

class InitScriptSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        unlink(CALLS.c_str());
    }
};

TEST_F(InitScriptSysTest, ScriptIsLookedForInThreePlacesInOrder)
{
    recordingScript("/etc/init.d/svc-a", "plain");
    recordingScript("/etc/init.d/svc-a.sh", "dot-sh");
    recordingScript("/etc/init.d/svc-b.sh", "dot-sh");
    recordingScript("/etc/init.dsvc-c", "glued");
    EXPECT_EQ(0, restart_daemon("svc-a", "start"));
    EXPECT_EQ(0, restart_daemon("svc-b", "stop"));
    EXPECT_EQ(0, restart_daemon("svc-c", "reload"));
    EXPECT_EQ("plain start\ndot-sh stop\nglued reload\n", calls());
}

TEST_F(InitScriptSysTest, MissingScriptOrNameIsAFailureWithoutARun)
{
    CaptureStderr();
    EXPECT_EQ(-1, restart_daemon("nosuch", "start"));
    EXPECT_EQ(-1, restart_daemon("", "start"));
    EXPECT_EQ(-1, restart_daemon(nullptr, "start"));
    std::string log = GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("Unable to find start/stop script for 'nosuch'")) << log;
    EXPECT_NE(std::string::npos, log.find("Unknown service")) << log;
    EXPECT_EQ("", calls());
}

using InitScriptDeathTest = InitScriptSysTest;

TEST_F(InitScriptDeathTest, DanglingScriptLinkEndsTheProgram)
{
    ASSERT_EQ(0, symlink("/nonexistent/courier", "/etc/init.d/dangling"));
    EXPECT_EXIT(restart_daemon("dangling", "start"), ::testing::ExitedWithCode(1),
                "No such file '/etc/init.d/dangling'");
}

TEST_F(InitScriptSysTest, WalkSeesPidParentAndCommandName)
{
    Child qmgr(copyOfSleep("/run/walk/qmgr"));
    ASSERT_GT(qmgr.pid(), 0);
    waitForExec(qmgr.pid(), "/run/walk/qmgr");
    const pid_t self = getpid();
    std::vector<pid_t> visited;
    pid_t found = ostra::iterateProcesses([&](pid_t pid, pid_t ppid, const std::string& comm) {
        visited.push_back(pid);
        return ppid == self && comm == "qmgr";
    });
    EXPECT_EQ(qmgr.pid(), found);
    // The walk stops at the match, and starts from the namespace's first process.
    EXPECT_EQ(qmgr.pid(), visited.back());
    EXPECT_EQ(1, visited.front());

    EXPECT_EQ(0, ostra::iterateProcesses(
                     [](pid_t, pid_t, const std::string& comm) { return comm == "no-such-name"; }));
}

TEST_F(InitScriptSysTest, KillprocInterruptsTheFirstProcessOfThatExecutableOnly)
{
    const std::string rewrite = copyOfSleep("/run/killproc/trivial-rewrite");
    const std::string other = copyOfSleep("/run/killproc/trivial-rewrite-not");
    Child target(rewrite);
    Child bystander(other);
    waitForExec(target.pid(), rewrite);
    waitForExec(bystander.pid(), other);

    EXPECT_EQ(0, killproc(rewrite.c_str()));
    int status = target.waitStatus();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(SIGINT, WTERMSIG(status));
    EXPECT_TRUE(bystander.running());

    // Nothing runs it any more: nothing to do, and still success.
    EXPECT_EQ(0, killproc(rewrite.c_str()));
    EXPECT_TRUE(bystander.running());
    // A prefix of a running executable's path is not that executable.
    EXPECT_EQ(0, killproc("/run/killproc/trivial"));
    EXPECT_TRUE(bystander.running());
    CaptureStderr();
    EXPECT_EQ(-1, killproc("trivial-rewrite-not"));
    GetCapturedStderr();
    EXPECT_TRUE(bystander.running());
}

} // namespace
