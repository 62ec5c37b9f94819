// process_set_catcher_test.cc - SIGCHLD catcher, signal blocking and non-blocking writes.
#include "process/pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ostra/errors.h"
#include "process_test_util.h"

namespace P = ostra::process;
using P::ProcessLaunch;
using P::ProcessSetCatcher;

namespace {

class CatcherTest : public mxtest::HygieneTest {};

// waitReadable - block until fd has data.
void waitReadable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, -1) == -1 && errno == EINTR) {
    }
}

TEST_F(CatcherTest, OnlyOneCatcherAtATime)
{
    ProcessSetCatcher first;
    first.install();
    EXPECT_TRUE(first.installed());
    ProcessSetCatcher second;
    try {
        second.install();
        ADD_FAILURE() << "second catcher installed";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("ProcessSetCatcher instance has been installed already", e.what());
    }
    first.remove(false);
    EXPECT_FALSE(first.installed());
    second.install();
    EXPECT_TRUE(second.installed());
    // The destructor removes it; the fixture checks that SIGCHLD is back.
}

TEST_F(CatcherTest, UnknownPidIsOutOfRange)
{
    ProcessSetCatcher catcher;
    catcher.install();
    try {
        catcher.status(getpid());
        ADD_FAILURE() << "unknown pid accepted";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ("no such pid", e.what());
    }
}

TEST_F(CatcherTest, RecordsTheExitOfARegisteredChild)
{
    ProcessSetCatcher catcher;
    const boost::function<void()> noSetup;
    const char* argv[] = {"/bin/sh", "-c", "cat >/dev/null; exit 7", nullptr};
    std::unique_ptr<ProcessLaunch> launch;
    {
        P::SigBlocker blocker;
        blocker.block(SIGCHLD);
        catcher.install();
        launch.reset(new ProcessLaunch(argv, "/bin/sh", nullptr, nullptr, false, false, false,
                                       noSetup, P::StreamPipe, P::StreamNull, P::StreamNull));
        launch->waitExec();
        catcher.registerChild(launch->pid);
    }
    EXPECT_EQ(-1, catcher.status(launch->pid));
    EXPECT_EQ(0, catcher.entry(launch->pid).finished);

    // The child waits for its input, so it is certainly still running.
    try {
        catcher.remove(false);
        ADD_FAILURE() << "removed with a child running";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("there're some child processes still running", e.what());
    }
    EXPECT_TRUE(catcher.installed());

    launch->stdinWrite.close();
    waitReadable(catcher.controlFd());
    EXPECT_EQ(1, catcher.clear_control());
    EXPECT_EQ(0, catcher.clear_control());
    EXPECT_EQ(1, catcher.terminated());
    EXPECT_EQ(1, catcher.events());
    EXPECT_EQ(1, catcher.entry(launch->pid).finished);
    int status = catcher.status(launch->pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(7, WEXITSTATUS(status));
    catcher.remove(false);
    EXPECT_FALSE(catcher.installed());
}

bool isBlocked(int sig)
{
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    return sigismember(&now, sig) == 1;
}

TEST(SigBlocker, RestoresTheMaskOfTheFirstBlock)
{
    ASSERT_FALSE(isBlocked(SIGUSR1));
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    sigprocmask(SIG_BLOCK, &usr2, nullptr);
    {
        P::SigBlocker blocker;
        blocker.block(SIGUSR1);
        blocker.block(SIGUSR2);
        EXPECT_TRUE(isBlocked(SIGUSR1));
        EXPECT_TRUE(isBlocked(SIGUSR2));
    }
    EXPECT_FALSE(isBlocked(SIGUSR1));
    EXPECT_TRUE(isBlocked(SIGUSR2)); // blocked before the first block call
    sigprocmask(SIG_UNBLOCK, &usr2, nullptr);

    P::SigBlocker bad;
    EXPECT_THROW(bad.block(0), ostra::SystemError);
}

TEST(NonblockWrite, ShrinksOnAFullPipeAndFailsWhenNothingFits)
{
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(65536, fcntl(fds[1], F_GETPIPE_SZ));
    std::vector<char> data(65535, 'a');
    errno = EDOM;
    EXPECT_EQ(65535u, P::nonblock_write(fds[1], data.data(), 65535));
    EXPECT_EQ(EDOM, errno);
    // One byte is left in the last page: only halving down to 1 gets it in.
    EXPECT_EQ(1u, P::nonblock_write(fds[1], data.data(), 4096));
    try {
        P::nonblock_write(fds[1], data.data(), 4096);
        ADD_FAILURE() << "write into a full pipe succeeded";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(EAGAIN, e.errorNumber());
        EXPECT_EQ(std::string("write: ") + strerror(EAGAIN), e.what());
    }
    close(fds[0]);
    close(fds[1]);
}

TEST(NonblockWrite, ClosedReaderIsAWriteError)
{
    struct sigaction ignore, old;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_NONBLOCK | O_CLOEXEC));
    close(fds[0]);
    try {
        P::nonblock_write(fds[1], "x", 1);
        ADD_FAILURE() << "write without a reader succeeded";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(EPIPE, e.errorNumber());
    }
    close(fds[1]);
    sigaction(SIGPIPE, &old, nullptr);
}

} // namespace
