// pipe_test.cc - pipelines: feeding, output collection, statuses, chains and failures.
#include "process/pipe.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/ref.hpp>
#include <gtest/gtest.h>

#include "ostra/errors.h"
#include "process_test_util.h"
#include "testsupport.h"

using ostra::process::makeStringReceiver;
using ostra::process::Parameters;
using ostra::process::Pipe;
using ostra::process::PipeProcessFlags;
namespace P = ostra::process;

namespace {

typedef Parameters<PipeProcessFlags> Params;

int exitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PipeTest : public mxtest::HygieneTest {};

TEST(PipeParameters, StopAtTheFirstEmptyArgument)
{
    Params p("/usr/sbin/postmap", "-i", "-r", "", "ignored");
    EXPECT_EQ((std::vector<std::string>{"/usr/sbin/postmap", "-i", "-r"}), p.arguments);
    EXPECT_GE(p.arguments.capacity(), 10u);
    EXPECT_EQ(-1, p.stderrChannel.mode);
    EXPECT_TRUE(p.path.empty());
    Params full("a", "1", "2", "3", "4", "5", "6", "7", "8", "9");
    EXPECT_EQ(10u, full.arguments.size());
    EXPECT_EQ("9", full.arguments.back());
}

TEST_F(PipeTest, FeedsTenMegabytesThroughCatByteExact)
{
    const std::string input = mxtest::patternBytes(10 * 1024 * 1024 + 7);
    mxtest::ChunkProducer producer(input, 100000);
    std::string out, err;
    size_t largestChunk = 0;
    Pipe pipe(Params("cat"));
    pipe.stdinChannel.set(P::StreamPipe, boost::ref(producer));
    pipe.stdoutChannel.set(P::StreamPipe, [&out, &largestChunk](const std::vector<char>& c) {
        largestChunk = std::max(largestChunk, c.size());
        out.append(c.begin(), c.end());
    });
    pipe.stderrChannel.set(P::StreamPipe, makeStringReceiver(err));
    int status = pipe.run();
    EXPECT_EQ(0, exitCode(status));
    ASSERT_EQ(input.size(), out.size());
    EXPECT_TRUE(input == out);
    EXPECT_EQ("", err);
    EXPECT_LE(largestChunk, 1024u);
    EXPECT_EQ(static_cast<int>((input.size() + 99999) / 100000), producer.calls);
    ASSERT_EQ(1u, pipe.statuses.size());
    EXPECT_EQ(1, pipe.statuses[0].finished);
    EXPECT_EQ(status, pipe.statuses[0].status);
}

TEST_F(PipeTest, SlowReaderTakesMegabytesWithoutBlockingTheLoop)
{
    // The child dawdles before reading, so the input pipe fills up and writes must shrink.
    const std::string input = mxtest::patternBytes(3 * 1024 * 1024);
    mxtest::ChunkProducer producer(input, 1 << 20);
    std::string out;
    Pipe pipe(Params("/bin/sh", "-c", "sleep 0.3; exec cat"));
    pipe.stdinChannel.set(P::StreamPipe, boost::ref(producer));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_TRUE(input == out);
}

TEST_F(PipeTest, StderrCollectedWhenTheProgramExitsEarly)
{
    // Like a table tool failing on its first record with much input still unsent.
    const std::string input = mxtest::patternBytes(8 * 1024 * 1024);
    mxtest::ChunkProducer producer(input, 65536);
    std::string out, err;
    Pipe pipe(
        Params("/bin/sh", "-c", "head -c 10 >/dev/null; echo 'fatal: bad record' >&2; exit 3"));
    pipe.stdinChannel.set(P::StreamPipe, boost::ref(producer));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    pipe.stderrChannel.set(P::StreamPipe, makeStringReceiver(err));
    int status = pipe.run();
    EXPECT_EQ(3, exitCode(status));
    EXPECT_EQ("fatal: bad record\n", err);
    EXPECT_EQ("", out);
    EXPECT_LT(producer.pos, input.size());
}

TEST_F(PipeTest, OutputWrittenBeforeExitIsCollectedCompletely)
{
    // Both outputs fit in their pipes, so the program is gone before the loop reads them.
    mxtest::TempDir dir;
    const std::string data = mxtest::patternBytes(60000);
    mxtest::writeFile(dir.file("data"), data);
    std::string out, err;
    Pipe pipe(Params("/bin/sh", "-c", "cat \"$0\"; cat \"$0\" >&2; exit 0", dir.file("data")));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    pipe.stderrChannel.set(P::StreamPipe, makeStringReceiver(err));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_TRUE(data == out);
    EXPECT_TRUE(data == err);
}

TEST_F(PipeTest, ExitCodeIsReportedNotThrown)
{
    Pipe pipe(Params("/bin/sh", "-c", "exit 3"));
    int status = 0;
    ASSERT_NO_THROW(status = pipe.run());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(3, WEXITSTATUS(status));
}

TEST_F(PipeTest, ChildKilledBySignal)
{
    std::string err;
    Pipe pipe(Params("/bin/sh", "-c", "echo dying >&2; kill -TERM $$"));
    pipe.stderrChannel.set(P::StreamPipe, makeStringReceiver(err));
    int status = pipe.run();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
    EXPECT_EQ("dying\n", err);
}

TEST_F(PipeTest, TwoProcessChainSeesEndOfFile)
{
    // The second program ends only if the parent dropped its copy of the connecting pipe.
    std::string out;
    std::vector<std::pair<unsigned int, int>> seen;
    Pipe pipe(Params("/bin/sh", "-c", "echo one; echo two; echo three"));
    pipe.processes.push_back(Params("wc", "-l"));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    pipe.statusHandler = [&seen](unsigned int i, int s) { seen.push_back({i, s}); };
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_EQ("3\n", out);
    ASSERT_EQ(2u, pipe.statuses.size());
    EXPECT_EQ(0, exitCode(pipe.statuses[0].status));
    std::sort(seen.begin(), seen.end());
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(0u, seen[0].first);
    EXPECT_EQ(1u, seen[1].first);
}

TEST_F(PipeTest, ChainFedAtTheFrontWithStderrFromEveryProcess)
{
    std::string input = "b\na\nb\nc\n";
    mxtest::ChunkProducer producer(input, 3);
    std::string out, err;
    Pipe pipe(Params("/bin/sh", "-c", "echo first-err >&2; exec sort"));
    pipe.processes.push_back(Params("/bin/sh", "-c", "uniq; echo second-err >&2"));
    pipe.stdinChannel.set(P::StreamPipe, boost::ref(producer));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    pipe.stderrChannel.set(P::StreamPipe, makeStringReceiver(err));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_EQ("a\nb\nc\n", out);
    // Both programs' error text arrives; their order is up to the scheduler.
    EXPECT_NE(std::string::npos, err.find("first-err\n"));
    EXPECT_NE(std::string::npos, err.find("second-err\n"));
    EXPECT_EQ(strlen("first-err\nsecond-err\n"), err.size());
}

TEST_F(PipeTest, ReaderQuittingEarlyEndsTheWriterUpstream)
{
    std::string out;
    Pipe pipe(Params("yes"));
    pipe.processes.push_back(Params("head", "-n", "2"));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_EQ("y\ny\n", out);
    ASSERT_TRUE(WIFSIGNALED(pipe.statuses[0].status));
    EXPECT_EQ(SIGPIPE, WTERMSIG(pipe.statuses[0].status));
}

TEST_F(PipeTest, PipedStdinWithoutProducerIsClosedAtOnce)
{
    std::string out;
    Pipe pipe(Params("cat"));
    pipe.stdinChannel.mode = P::StreamPipe;
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_EQ("", out);
}

TEST_F(PipeTest, OutputChannelWithoutCallbackIsDrained)
{
    // Unread, 200 kB would block the program on its full stdout pipe.
    Pipe pipe(Params("head", "-c", "200000", "/dev/zero"));
    pipe.stdoutChannel.mode = P::StreamPipe;
    EXPECT_EQ(0, exitCode(pipe.run()));
}

TEST_F(PipeTest, PipelineDefaultsAndPerProcessSettings)
{
    mxtest::TempDir dir;
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(dir.path().c_str(), real));
    std::string out, pipeErr, ownErr;
    std::string var = "MXVAR=pipeline";
    char* env[] = {&var[0], nullptr};

    Pipe pipe(Params("/bin/sh", "-c", "pwd; echo \"$MXVAR\"; echo e1 >&2"));
    Params second("/bin/sh", "-c", "cat; echo e2 >&2");
    second.stderrChannel.set(P::StreamPipe, makeStringReceiver(ownErr));
    pipe.processes.push_back(second);
    pipe.workingDirectory = dir.path();
    pipe.environment = env;
    pipe.stderrChannel.set(P::StreamPipe, makeStringReceiver(pipeErr));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_EQ(std::string(real) + "\npipeline\n", out);
    EXPECT_EQ("e1\n", pipeErr);
    EXPECT_EQ("e2\n", ownErr);
}

TEST_F(PipeTest, ChildSetupRunsInTheChildOnly)
{
    mxtest::TempDir dir;
    std::string marker = dir.file("marker");
    pid_t parent = getpid();
    std::string out;
    Pipe pipe(Params("/bin/cat", marker));
    pipe.childSetup = [marker, parent] {
        if (getpid() != parent)
            mxtest::writeFile(marker, "in child\n");
    };
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_EQ("in child\n", out);
}

TEST_F(PipeTest, RunsOnceAndAgainAfterAssigningAFreshPipe)
{
    std::string out;
    Pipe pipe(Params("echo", "first"));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    try {
        pipe.run();
        ADD_FAILURE() << "second run accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("the pipe has been launched already", e.what());
    }
    pipe = Pipe(Params("echo", "second"));
    EXPECT_TRUE(pipe.statuses.empty());
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    EXPECT_EQ("first\nsecond\n", out);
}

TEST_F(PipeTest, NoProcessesIsALogicError)
{
    Pipe pipe(Params("echo"));
    pipe.processes.clear();
    try {
        pipe.run();
        ADD_FAILURE() << "empty pipe accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("No processes to launch were assigned so far", e.what());
    }
}

TEST_F(PipeTest, ProgramMissingOnPathThrowsTheExecFailure)
{
    std::string err;
    Pipe pipe(Params("no-such-program-mx", "-x"));
    pipe.stderrChannel.set(P::StreamPipe, makeStringReceiver(err));
    try {
        pipe.run();
        ADD_FAILURE() << "missing program not reported";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(ENOENT, e.errorNumber());
        std::string reason = strerror(ENOENT);
        EXPECT_EQ("execvp: " + reason + ": " + reason, std::string(e.what()));
    }
    // The fixture checks: the failed child reaped, no descriptor left, SIGCHLD restored.
}

TEST_F(PipeTest, MissingWorkingDirectoryThrowsTheChdirFailure)
{
    Pipe pipe(Params("/bin/true"));
    pipe.workingDirectory = "/nonexistent-dir-mx";
    try {
        pipe.run();
        ADD_FAILURE() << "missing directory not reported";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(ENOENT, e.errorNumber());
        EXPECT_EQ(0, std::string(e.what()).find("cwd chdir: "));
    }
}

TEST_F(PipeTest, LaterProcessFailingLeavesTheEarlierOneUnblocked)
{
    Pipe pipe(Params("cat"));
    pipe.processes.push_back(Params("/nonexistent/prog"));
    pipe.stdinChannel.mode = P::StreamPipe;
    EXPECT_THROW(pipe.run(), ostra::SystemError);
    // run does not wait for the earlier process. Once its pipes are closed it ends by itself:
    // either the catcher reaped it before being removed, or it is left for this wait.
    int status = 0;
    pid_t pid;
    do {
        pid = waitpid(-1, &status, 0);
    } while (pid == -1 && errno == EINTR);
    if (pid > 0)
        EXPECT_EQ(0, exitCode(status));
    else
        EXPECT_EQ(ECHILD, errno);
}

// previousHandler - a SIGCHLD handler the pipeline must hand back.
void previousHandler(int)
{
}

TEST_F(PipeTest, RestoresTheCallersSigchldHandlerAndMask)
{
    struct sigaction mine, old;
    memset(&mine, 0, sizeof mine);
    mine.sa_handler = previousHandler;
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(0, sigaction(SIGCHLD, &mine, &old));
    {
        P::SigBlocker blocker;
        blocker.block(SIGCHLD); // a caller that keeps SIGCHLD blocked must not hang the loop
        Pipe pipe(Params("/bin/sh", "-c", "exit 4"));
        EXPECT_EQ(4, exitCode(pipe.run()));
        sigset_t now;
        sigprocmask(SIG_BLOCK, nullptr, &now);
        EXPECT_TRUE(sigismember(&now, SIGCHLD));
    }
    struct sigaction after;
    sigaction(SIGCHLD, nullptr, &after);
    EXPECT_EQ(reinterpret_cast<void*>(previousHandler), reinterpret_cast<void*>(after.sa_handler));
    sigaction(SIGCHLD, &old, nullptr);
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    EXPECT_FALSE(sigismember(&now, SIGCHLD));
}

TEST_F(PipeTest, ChildrenStartWithTheCallersSignalMask)
{
    // SIGCHLD is blocked while launching; the programs must not inherit that.
    std::string out;
    Pipe pipe(Params("grep", "^SigBlk", "/proc/self/status"));
    pipe.stdoutChannel.set(P::StreamPipe, makeStringReceiver(out));
    EXPECT_EQ(0, exitCode(pipe.run()));
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    unsigned long long bits = 0;
    for (int s = 1; s <= 64; ++s)
        if (sigismember(&now, s) == 1)
            bits |= 1ULL << (s - 1);
    char expect[64];
    snprintf(expect, sizeof expect, "SigBlk:\t%016llx\n", bits);
    EXPECT_EQ(expect, out);
}

TEST(StringReceiver, AppendsEveryChunk)
{
    std::string target = "x";
    P::OutputCallback receive = makeStringReceiver(target);
    receive(std::vector<char>{'a', '\0', 'b'});
    receive(std::vector<char>());
    receive(std::vector<char>{'c'});
    EXPECT_EQ(std::string("xa\0bc", 5), target);
}

} // namespace
