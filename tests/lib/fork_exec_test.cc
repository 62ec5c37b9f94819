// fork_exec_test.cc - running programs with fork_execv_*: codes, output, no hang.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ostra/fork_exec.h"
#include "testsupport.h"

namespace {

// LoggedRun - the result of one fork_execv_log run and what it printed.
struct LoggedRun {
    int code;
    std::string out;
    std::string err;
    double seconds;
};

// runLogged - fork_execv_log of "/bin/sh -c script", capturing our own output.
LoggedRun runLogged(const std::string& script, int ignore = 0, const char* path = "/bin/sh")
{
    std::string arg0 = "sh", arg1 = "-c";
    std::vector<char*> args = {&arg0[0], &arg1[0], const_cast<char*>(script.c_str()), nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    LoggedRun r;
    r.code = fork_execv_log(path, args.data(), ignore);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

TEST(ForkExecvLog, SuccessLogsNothing)
{
    LoggedRun r = runLogged("echo fine; echo noise >&2; exit 0");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
}

TEST(ForkExecvLog, FailureLogsPathAndErrorText)
{
    LoggedRun r = runLogged("echo 'bad thing' >&2; exit 2");
    EXPECT_EQ(2, r.code);
    EXPECT_EQ("/bin/sh execution failed:\nbad thing\n", r.err);
    EXPECT_EQ("/bin/sh execution failed:\nbad thing\n", r.out);
}

TEST(ForkExecvLog, FailureWithoutOutput)
{
    LoggedRun r = runLogged("exit 1");
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("/bin/sh execution failed (no output)\n", r.err);
}

TEST(ForkExecvLog, CapturedOutputIsPassedOnUnchanged)
{
    LoggedRun r = runLogged("printf '100%%s %%d %%n\\n'; exit 4");
    EXPECT_EQ(4, r.code);
    EXPECT_EQ("100%s %d %n\n/bin/sh execution failed (no output)\n", r.err);
    // Only the log line is copied to standard output; the program's output is not.
    EXPECT_EQ("/bin/sh execution failed (no output)\n", r.out);
}

TEST(ForkExecvLog, IgnoredFailureIsNotLogged)
{
    LoggedRun r = runLogged("echo out; echo err >&2; exit 9", 1);
    EXPECT_EQ(9, r.code);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("", r.out);
}

TEST(ForkExecvLog, MissingProgramGives255WithTheExecText)
{
    mxtest::TempDir dir;
    std::string missing = dir.file("no-such-program");
    LoggedRun r = runLogged("", 0, missing.c_str());
    EXPECT_EQ(255, r.code);
    EXPECT_EQ(missing + " execution failed:\nfork_execv: execv(\"" + missing +
                  "\") failed: No such file or directory\n",
              r.err);
}

TEST(ForkExecvLog, KilledProgramGivesMinusOne)
{
    LoggedRun r = runLogged("kill -9 $$");
    EXPECT_EQ(-1, r.code);
    EXPECT_EQ("/bin/sh execution failed (no output)\n", r.err);
}

TEST(ForkExecvLog, LingeringBackgroundChildDoesNotHang)
{
    int before = mxtest::openFdCount();
    LoggedRun r = runLogged("sleep 20 & echo gone >&2; exit 3");
    EXPECT_EQ(3, r.code);
    EXPECT_LT(r.seconds, 5.0);
    EXPECT_EQ("/bin/sh execution failed:\ngone\n", r.err);
    EXPECT_EQ(before, mxtest::openFdCount());
}

TEST(ForkExecvGetouterr, CapturesBothStreamsWhole)
{
    std::string script = "i=0; while [ $i -lt 3000 ]; do echo line$i; i=$((i+1)); done; "
                         "echo e1 >&2; exit 0";
    std::string arg0 = "sh", arg1 = "-c";
    char* args[] = {&arg0[0], &arg1[0], &script[0], nullptr};
    char* out = nullptr;
    char* err = nullptr;
    int before = mxtest::openFdCount();
    ASSERT_EQ(0, fork_execv_getouterr(&out, &err, "/bin/sh", args));
    EXPECT_EQ(before, mxtest::openFdCount());
    ASSERT_NE(nullptr, out);
    ASSERT_NE(nullptr, err);
    std::string expected;
    for (int i = 0; i < 3000; ++i)
        expected += "line" + std::to_string(i) + "\n";
    EXPECT_EQ(expected, out);
    EXPECT_STREQ("e1\n", err);
    free(out);
    free(err);
}

TEST(ForkExecvGetouterr, NothingReadGivesNull)
{
    char arg0[] = "true";
    char* args[] = {arg0, nullptr};
    char* out = reinterpret_cast<char*>(1);
    char* err = reinterpret_cast<char*>(1);
    EXPECT_EQ(0, fork_execv_getouterr(&out, &err, "/bin/true", args));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(nullptr, err);
}

TEST(ForkExecvPipes, RedirectsAndClosesOtherDescriptors)
{
    mxtest::TempDir dir;
    int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(out, 0);
    int extra = open("/dev/null", O_RDONLY); // no close-on-exec: must still not reach the child
    ASSERT_GE(extra, 0);
    std::string script = "cat; echo in-done; if [ -e /proc/$$/fd/" + std::to_string(extra) +
                         " ]; then echo leaked; fi; echo to-null >&2";
    std::string arg0 = "sh", arg1 = "-c";
    char* args[] = {&arg0[0], &arg1[0], &script[0], nullptr};
    pid_t pid = fork_execv_pipes(-1, out, -1, "/bin/sh", args);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    close(out);
    close(extra);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("in-done\n", mxtest::readFile(dir.file("out")));
}

} // namespace
