// process_launch_test.cc - child launch: stream modes, child set-up, exec failures re-thrown.
#include "process/process_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "ostra/errors.h"
#include "process_test_util.h"
#include "testsupport.h"

using ostra::process::ProcessLaunch;
namespace P = ostra::process;

namespace {

const boost::function<void()> noSetup;

// Argv - a null-terminated argument vector built from strings.
struct Argv {
    Argv(std::initializer_list<const char*> args) : v(args) { v.push_back(nullptr); }
    const char* const* get() const { return v.data(); }
    std::vector<const char*> v;
};

// bytes - a string literal with its embedded NULs, without the final one.
template <size_t N> std::string bytes(const char (&s)[N])
{
    return std::string(s, N - 1);
}

// readAll - everything from fd up to end-of-file.
std::string readAll(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// exitCode - the exit code of a normal exit, -1 otherwise.
int exitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string doubled(const std::string& step, int e)
{
    return step + ": " + strerror(e) + ": " + strerror(e);
}

class ProcessLaunchTest : public mxtest::HygieneTest {};

// --- exec and set-up failures travel back as the same exception -------------------------

struct ExecFailure {
    const char* name;
    const char* path;
    const char* cwd;
    bool withEnv;
    bool searchPath;
    bool closeDescriptors;
    const char* step;
    int error;
};

class ExecFailureTest : public mxtest::HygieneTest,
                        public ::testing::WithParamInterface<ExecFailure> {};

TEST_P(ExecFailureTest, RebuildsSystemErrorAndChildExits67)
{
    const ExecFailure& c = GetParam();
    mxtest::TempDir dir;
    std::string path = c.path;
    if (path == "NOEXEC") {
        path = dir.file("script");
        mxtest::writeFile(path, "#!/bin/sh\nexit 0\n", 0644);
    }
    Argv argv{path.c_str()};
    Argv env{"A=1"};
    ProcessLaunch launch(argv.get(), path.c_str(), c.cwd, c.withEnv ? env.get() : nullptr,
                         c.closeDescriptors, c.searchPath, false, noSetup, P::StreamNull,
                         P::StreamNull, P::StreamNull);
    try {
        launch.waitExec();
        ADD_FAILURE() << "exec failure not reported";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(c.error, e.errorNumber());
        EXPECT_EQ(doubled(c.step, c.error), e.what());
    }
    EXPECT_EQ(67, exitCode(launch.waitExit()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecFailureTest,
    ::testing::Values(
        ExecFailure{"MissingWithEnvironment", "/nonexistent/prog", nullptr, true, false, false,
                    "execve", ENOENT},
        ExecFailure{"MissingOnPath", "no-such-program-mx", nullptr, false, true, false, "execvp",
                    ENOENT},
        ExecFailure{"MissingNoSearch", "/nonexistent/prog", nullptr, false, false, false, "execv",
                    ENOENT},
        ExecFailure{"NotExecutable", "NOEXEC", nullptr, false, false, false, "execv", EACCES},
        ExecFailure{"MissingWorkingDirectory", "/bin/true", "/nonexistent-dir", false, false, false,
                    "cwd chdir", ENOENT},
        // The control pipe survives the descriptor sweep, so the failure still arrives.
        ExecFailure{"MissingAfterClosingDescriptors", "/nonexistent/prog", nullptr, false, false,
                    true, "execv", ENOENT}),
    [](const ::testing::TestParamInfo<ExecFailure>& i) { return i.param.name; });

struct SetupFailure {
    const char* name;
    int kind;
    const char* type;
    const char* text;
    int exitStatus;
};

[[noreturn]] void throwKind(int kind)
{
    switch (kind) {
    case 0:
        ostra::throwSystemError("setup step", EACCES);
    case 1:
        throw std::runtime_error("boom");
    case 2:
        throw std::logic_error("not kept");
    default:
        throw 42;
    }
}

class SetupFailureTest : public mxtest::HygieneTest,
                         public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(SetupFailureTest, ExceptionKindAndExitStatus)
{
    const SetupFailure& c = GetParam();
    Argv argv{"/bin/true"};
    int kind = c.kind;
    ProcessLaunch launch(
        argv.get(), "/bin/true", nullptr, nullptr, false, false, false, [kind] { throwKind(kind); },
        P::StreamInherit, P::StreamInherit, P::StreamInherit);
    std::string type, text;
    try {
        launch.waitExec();
    } catch (const ostra::SystemError& e) {
        type = "SystemError";
        text = e.what();
        EXPECT_EQ(EACCES, e.errorNumber());
    } catch (const std::runtime_error& e) {
        type = "std::runtime_error";
        text = e.what();
    } catch (const std::exception& e) {
        type = typeid(e) == typeid(std::exception) ? "std::exception" : typeid(e).name();
    }
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.text, text);
    EXPECT_EQ(c.exitStatus, exitCode(launch.waitExit()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetupFailureTest,
    ::testing::Values(SetupFailure{"SystemError", 0, "SystemError",
                                   "setup step: Permission denied: Permission denied", 67},
                      SetupFailure{"RuntimeError", 1, "std::runtime_error", "boom", 66},
                      // Only the type of a plain standard exception survives.
                      SetupFailure{"OtherStdException", 2, "std::exception", "", 66},
                      SetupFailure{"NotAnException", 3, "std::runtime_error", "unknown error", 65}),
    [](const ::testing::TestParamInfo<SetupFailure>& i) { return i.param.name; });

// --- the control-pipe records ------------------------------------------------------------

// childRecords - the bytes and exit status of a forked child running report.
template <class F> std::pair<std::string, int> childRecords(F report)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        report(fds[1]);
    }
    close(fds[1]);
    std::string bytes = readAll(fds[0]);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {bytes, exitCode(status)};
}

TEST_F(ProcessLaunchTest, ReportFunctionsWriteTaggedRecordsAndExit)
{
    auto sys = childRecords([](int fd) {
        ProcessLaunch::throwSystemError(fd, "SystemError", "execve: No such file or directory", 2);
    });
    EXPECT_EQ(bytes("ET: SystemError\0EM: execve: No such file or directory\0EC: 2\0"), sys.first);
    EXPECT_EQ(67, sys.second);

    auto std = childRecords(
        [](int fd) { ProcessLaunch::throwStdException(fd, "std::runtime_error", "boom"); });
    EXPECT_EQ(bytes("ET: std::runtime_error\0EM: boom\0"), std.first);
    EXPECT_EQ(66, std.second);

    auto other = childRecords(
        [](int fd) { ProcessLaunch::writeException(fd, "std::runtime_error", "unknown error"); });
    EXPECT_EQ(bytes("ET: std::runtime_error\0EM: unknown error\0"), other.first);
    EXPECT_EQ(65, other.second);
}

// Records written straight into the control pipe by the child, to test their reading.
struct RawRecords {
    const char* name;
    std::string bytes;
    std::string expectType;
    std::string expectText;
    std::string expectLog;
};

class RawRecordsTest : public mxtest::HygieneTest,
                       public ::testing::WithParamInterface<RawRecords> {};

TEST_P(RawRecordsTest, WaitExecRebuildsFromRecords)
{
    const RawRecords& c = GetParam();
    alignas(ProcessLaunch) unsigned char storage[sizeof(ProcessLaunch)];
    ProcessLaunch* launch = reinterpret_cast<ProcessLaunch*>(storage);
    const std::string bytes = c.bytes;
    // In the child the object is already built up to the fork, control pipe included.
    auto setup = [launch, &bytes] {
        ssize_t n = write(launch->control.writeEnd.get(), bytes.data(), bytes.size());
        _exit(n == static_cast<ssize_t>(bytes.size()) ? 5 : 6);
    };
    Argv argv{"/bin/true"};
    new (storage) ProcessLaunch(argv.get(), "/bin/true", nullptr, nullptr, false, false, false,
                                setup, P::StreamInherit, P::StreamInherit, P::StreamInherit);

    std::ostringstream log;
    std::streambuf* old = std::clog.rdbuf(log.rdbuf());
    std::string type, text;
    try {
        launch->waitExec();
        type = "none";
    } catch (const ostra::SystemError& e) {
        type = "SystemError";
        text = e.what();
    } catch (const std::runtime_error& e) {
        type = "std::runtime_error";
        text = e.what();
    } catch (const std::bad_exception&) {
        type = "std::bad_exception";
    } catch (const std::exception& e) {
        type = typeid(e).name();
    }
    std::clog.rdbuf(old);
    EXPECT_EQ(c.expectType, type);
    EXPECT_EQ(c.expectText, text);
    EXPECT_EQ(c.expectLog, log.str());
    EXPECT_EQ(5, exitCode(launch->waitExit()));
    launch->~ProcessLaunch();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RawRecordsTest,
    ::testing::Values(
        RawRecords{"UnparsableErrorNumberIsEinval", bytes("ET: SystemError\0EM: m\0EC: abc\0"),
                   "SystemError", std::string("m: ") + strerror(EINVAL), ""},
        RawRecords{"EmptyMessageGetsDefault", bytes("ET: std::runtime_error\0"),
                   "std::runtime_error", "an error in child process", ""},
        RawRecords{"MissingTypeIsBadException", bytes("EM: only message\0"), "std::bad_exception",
                   "", ""},
        RawRecords{"UnknownTypeIsBadException", bytes("ET: Whatever\0EM: x\0"),
                   "std::bad_exception", "", ""},
        RawRecords{"OtherRecordsAreEchoed", bytes("junk\0ET: std::runtime_error\0EM: m\0"),
                   "std::runtime_error", "m", "child output: junk\n"},
        RawRecords{"UnterminatedLastRecordCounts", bytes("ET: std::runtime_error\0EM: tail"),
                   "std::runtime_error", "tail", ""},
        RawRecords{"NoRecordsMeansSuccess", std::string(), "none", "", ""}),
    [](const ::testing::TestParamInfo<RawRecords>& i) { return i.param.name; });

// --- standard descriptors ----------------------------------------------------------------

TEST_F(ProcessLaunchTest, StdoutPipeReachesEndOfFileAfterExit)
{
    Argv argv{"echo", "hello"};
    ProcessLaunch launch(argv.get(), "echo", nullptr, nullptr, false, true, false, noSetup,
                         P::StreamNull, P::StreamPipe, P::StreamInherit);
    launch.waitExec();
    EXPECT_EQ(-1, launch.stdinWrite.get());
    EXPECT_EQ(-1, launch.stderrRead.get());
    EXPECT_EQ(0, exitCode(launch.waitExit()));
    EXPECT_EQ("hello\n", readAll(launch.stdoutRead.get()));
}

TEST_F(ProcessLaunchTest, StdinPipeFeedsTheChild)
{
    Argv argv{"cat"};
    ProcessLaunch launch(argv.get(), "cat", nullptr, nullptr, false, true, false, noSetup,
                         P::StreamPipe, P::StreamPipe, P::StreamNull);
    launch.waitExec();
    ASSERT_EQ(4, write(launch.stdinWrite.get(), "abc\n", 4));
    launch.stdinWrite.close();
    EXPECT_EQ("abc\n", readAll(launch.stdoutRead.get()));
    EXPECT_EQ(0, exitCode(launch.waitExit()));
}

struct StreamCase {
    const char* name;
    int in, out, err;
    std::string expectOut, expectErr;
};

class StreamModeTest : public mxtest::HygieneTest,
                       public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamModeTest, OutputsGoWhereTheModesSay)
{
    const StreamCase& c = GetParam();
    Argv argv{"/bin/sh", "-c", "cat; echo out; echo err >&2"};
    ProcessLaunch launch(argv.get(), "/bin/sh", nullptr, nullptr, false, false, false, noSetup,
                         c.in, c.out, c.err);
    launch.waitExec();
    // Only the modes that asked for a pipe leave the parent an end.
    EXPECT_EQ(c.in == P::StreamPipe, launch.stdinWrite.valid());
    EXPECT_EQ(c.out == P::StreamPipe, launch.stdoutRead.valid());
    EXPECT_EQ(c.err == P::StreamPipe, launch.stderrRead.valid());
    launch.stdinWrite.close();
    std::string out = launch.stdoutRead.valid() ? readAll(launch.stdoutRead.get()) : "";
    std::string err = launch.stderrRead.valid() ? readAll(launch.stderrRead.get()) : "";
    EXPECT_EQ(0, exitCode(launch.waitExit()));
    EXPECT_EQ(c.expectOut, out);
    EXPECT_EQ(c.expectErr, err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamModeTest,
    ::testing::Values(
        StreamCase{"NullStdinPipedOutputs", P::StreamNull, P::StreamPipe, P::StreamPipe, "out\n",
                   "err\n"},
        StreamCase{"StderrSameAsStdout", P::StreamNull, P::StreamPipe, P::StreamSameAsStdout,
                   "out\nerr\n", ""},
        StreamCase{"NullStdout", P::StreamPipe, P::StreamNull, P::StreamPipe, "", "err\n"},
        // The child's stderr is the parent's stdout; the stdout pipe must not catch it.
        StreamCase{"StderrOnParentsStdout", P::StreamNull, P::StreamPipe, 1, "out\n", ""}),
    [](const ::testing::TestParamInfo<StreamCase>& i) { return i.param.name; });

TEST_F(ProcessLaunchTest, DescriptorGivenByNumberStaysTheCallers)
{
    mxtest::TempDir dir;
    std::string file = dir.file("out");
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    Argv argv{"/bin/sh", "-c", "echo to-file; echo also >&2"};
    ProcessLaunch launch(argv.get(), "/bin/sh", nullptr, nullptr, false, false, false, noSetup,
                         P::StreamNull, fd, P::StreamSameAsStdout);
    launch.waitExec();
    EXPECT_EQ(0, exitCode(launch.waitExit()));
    EXPECT_NE(-1, fcntl(fd, F_GETFD));
    close(fd);
    EXPECT_EQ("to-file\nalso\n", mxtest::readFile(file));
}

TEST_F(ProcessLaunchTest, WorkingDirectoryAndEnvironment)
{
    mxtest::TempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(dir.path().c_str(), real));

    Argv pwd{"/bin/pwd"};
    ProcessLaunch inDir(pwd.get(), "/bin/pwd", dir.path().c_str(), nullptr, false, false, false,
                        noSetup, P::StreamNull, P::StreamPipe, P::StreamInherit);
    inDir.waitExec();
    EXPECT_EQ(std::string(real) + "\n", readAll(inDir.stdoutRead.get()));
    EXPECT_EQ(0, exitCode(inDir.waitExit()));

    Argv envArgv{"/usr/bin/env"};
    Argv env{"A=1", "B=two words"};
    ProcessLaunch withEnv(envArgv.get(), "/usr/bin/env", nullptr, env.get(), false, false, false,
                          noSetup, P::StreamNull, P::StreamPipe, P::StreamInherit);
    withEnv.waitExec();
    EXPECT_EQ("A=1\nB=two words\n", readAll(withEnv.stdoutRead.get()));
    EXPECT_EQ(0, exitCode(withEnv.waitExit()));
}

TEST_F(ProcessLaunchTest, NewSessionMakesTheChildASessionLeader)
{
    for (bool newSession : {true, false}) {
        Argv argv{"/bin/cat", "/proc/self/stat"};
        ProcessLaunch launch(argv.get(), "/bin/cat", nullptr, nullptr, false, false, newSession,
                             noSetup, P::StreamNull, P::StreamPipe, P::StreamInherit);
        launch.waitExec();
        std::string stat = readAll(launch.stdoutRead.get());
        EXPECT_EQ(0, exitCode(launch.waitExit()));
        // After "(comm)": state, ppid, pgrp, session.
        std::istringstream rest(stat.substr(stat.rfind(')') + 1));
        std::string state;
        long ppid, pgrp, session;
        rest >> state >> ppid >> pgrp >> session;
        EXPECT_EQ(newSession ? launch.pid : getsid(0), session) << newSession;
    }
}

TEST_F(ProcessLaunchTest, CloseDescriptorsHidesInheritableDescriptors)
{
    int fd = open("/dev/null", O_RDONLY); // no close-on-exec: children would inherit it
    ASSERT_GE(fd, 0);
    int high = dup2(fd, 150);
    close(fd);
    ASSERT_EQ(150, high);
    for (bool closeDescriptors : {true, false}) {
        Argv argv{"test", "-e", "/proc/self/fd/150"};
        ProcessLaunch launch(argv.get(), "test", nullptr, nullptr, closeDescriptors, true, false,
                             noSetup, P::StreamNull, P::StreamNull, P::StreamNull);
        launch.waitExec();
        EXPECT_EQ(closeDescriptors ? 1 : 0, exitCode(launch.waitExit())) << closeDescriptors;
    }
    close(high);
}

TEST_F(ProcessLaunchTest, ProgramExitingAtOnceStillExecutes)
{
    Argv argv{"/bin/false"};
    ProcessLaunch launch(argv.get(), "/bin/false", nullptr, nullptr, true, false, false, noSetup,
                         P::StreamNull, P::StreamNull, P::StreamNull);
    EXPECT_NO_THROW(launch.waitExec());
    EXPECT_EQ(1, exitCode(launch.waitExit()));
    EXPECT_THROW(launch.waitExec(), std::logic_error);
}

struct BadModes {
    const char* name;
    int in, out, err;
    const char* text;
};

class BadModeTest : public mxtest::HygieneTest, public ::testing::WithParamInterface<BadModes> {};

TEST_P(BadModeTest, RejectedBeforeAnyChildExists)
{
    const BadModes& c = GetParam();
    Argv argv{"/bin/true"};
    try {
        ProcessLaunch launch(argv.get(), "/bin/true", nullptr, nullptr, false, false, false,
                             noSetup, c.in, c.out, c.err);
        ADD_FAILURE() << "mode accepted";
        launch.waitExit();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(c.text, e.what());
    }
    // The fixture checks that no child and no descriptor was left.
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadModeTest,
    ::testing::Values(
        BadModes{"StdinMinusOne", -1, P::StreamPipe, P::StreamPipe, "invalid FD for stdin"},
        BadModes{"StdinSameAsStdout", P::StreamSameAsStdout, -2, -2, "invalid FD for stdin"},
        BadModes{"StdoutMinusOne", P::StreamPipe, -1, P::StreamPipe, "invalid FD for stdout"},
        BadModes{"StdoutSameAsStdout", -2, P::StreamSameAsStdout, -2, "invalid FD for stdout"},
        BadModes{"StderrMinusOne", P::StreamPipe, P::StreamPipe, -1, "invalid FD for stderr"},
        BadModes{"StderrMinusSix", -2, -2, -6, "invalid FD for stderr"}),
    [](const ::testing::TestParamInfo<BadModes>& i) { return i.param.name; });

} // namespace
