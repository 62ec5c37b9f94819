// process_test.cc - child launch, pipelines, the SIGCHLD catcher and the plain
// fork/exec functions: what a child gets, what comes back, what is left behind.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "ostra/errors.h"
#include "ostra/fork_exec.h"
#include "process/pipe.h"
#include "testsupport.h"

namespace P = ostra::process;
using P::Pipe;
using P::ProcessLaunch;
using std::string;
using namespace std::string_literals;
typedef P::Parameters<P::PipeProcessFlags> Params;

namespace {

const boost::function<void()> noSetup;
const int PIPE = P::StreamPipe, NUL = P::StreamNull, SAME = P::StreamSameAsStdout;

// blocked - whether sig is blocked now.
bool blocked(int sig)
{
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    return sigismember(&now, sig) == 1;
}

// Clean - every test leaves descriptors, children and SIGCHLD as it found them.
class Clean : public ::testing::Test {
protected:
    void SetUp() override
    {
        fds_ = mxtest::openFdCount();
        sigaction(SIGCHLD, nullptr, &chld_);
    }
    void TearDown() override
    {
        EXPECT_EQ(fds_, mxtest::openFdCount()) << "descriptor leaked";
        EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "child left behind";
        struct sigaction now;
        sigaction(SIGCHLD, nullptr, &now);
        EXPECT_EQ((void*)chld_.sa_handler, (void*)now.sa_handler) << "SIGCHLD not restored";
        EXPECT_FALSE(blocked(SIGCHLD)) << "SIGCHLD left blocked";
    }

private:
    int fds_ = 0;
    struct sigaction chld_;
};

// code - the exit code of a wait status, or 128 + the signal that killed the child.
int code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// thrown - what f threw: "errno what" of a SystemError, what() of another
// exception, "exception" for a plain std::exception, or "none".
string thrown(const std::function<void()>& f)
{
    try {
        f();
        return "none";
    } catch (const ostra::SystemError& e) {
        return std::to_string(e.errorNumber()) + " " + e.what();
    } catch (const std::exception& e) {
        return typeid(e) == typeid(std::exception) ? "exception" : e.what();
    }
}

// rebuilt - a child's failed step as the parent throws it: the reason appears twice.
string rebuilt(const string& step, int e)
{
    return std::to_string(e) + " " + step + ": " + strerror(e) + ": " + strerror(e);
}

// readAll - everything from fd up to end-of-file.
string readAll(int fd)
{
    string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0 && (n > 0 || errno == EINTR);)
        out.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return out;
}

// --- ProcessLaunch ---------------------------------------------------------------------

// How a case launches: e environment, s search PATH, c close descriptors, d a
// missing working directory, m a missing program, f /bin/false; its set-up
// throws 1 a SystemError, 2 a runtime_error, 3 a logic_error, 4 an int, or
// r writes the raw control records and exits 5.
const struct {
    const char* how;
    string raw, thrown;
    int exit;
    const char* log; // what went to std::clog
} LAUNCHES[] = {
    {"em", "", rebuilt("execve", ENOENT), 67, ""},
    {"sm", "", rebuilt("execvp", ENOENT), 67, ""},
    {"m", "", rebuilt("execv", ENOENT), 67, ""},
    {"cm", "", rebuilt("execv", ENOENT), 67, ""}, // the control pipe survives the sweep
    {"d", "", rebuilt("cwd chdir", ENOENT), 67, ""},
    {"f", "", "none", 1, ""},
    {"1", "", rebuilt("setup step", EACCES), 67, ""},
    {"2", "", "boom", 66, ""},
    {"3", "", "exception", 66, ""}, // only the type travels
    {"4", "", "unknown error", 65, ""},
    {"cr", "ET: SystemError\0EM: m\0EC: abc\0"s, "22 m: Invalid argument", 5, ""},
    {"cr", "ET: std::runtime_error\0"s, "an error in child process", 5, ""},
    {"cr", "EM: m\0"s, "std::bad_exception", 5, ""},
    {"cr", "junk\0ET: std::runtime_error\0EM: tail"s, "tail", 5, "child output: junk\n"},
};

// childSetup - a case's set-up step, run in the child after descriptors are closed.
void childSetup(const char* how, const string& raw)
{
    if (strchr(how, '1'))
        ostra::throwSystemError("setup step", EACCES);
    if (strchr(how, '2'))
        throw std::runtime_error("boom");
    if (strchr(how, '3'))
        throw std::logic_error("not kept");
    if (strchr(how, '4'))
        throw 4;
    if (!strchr(how, 'r'))
        return;
    int fd = 3; // with descriptors closed, the control pipe is the only one above 2
    while (fd < 1024 && fcntl(fd, F_GETFD) == -1)
        ++fd;
    _exit(write(fd, raw.data(), raw.size()) == ssize_t(raw.size()) ? 5 : 6);
}

TEST_F(Clean, LaunchFailuresTravelBackAsTheSameException)
{
    const char* env[] = {"A=1", nullptr};
    for (const auto& c : LAUNCHES) {
        auto has = [&c](char flag) { return strchr(c.how, flag) != nullptr; };
        const char* path = has('m') ? (has('s') ? "no-such-program" : "/nonexistent/p")
                                    : (has('f') ? "/bin/false" : "/bin/true");
        const char* argv[] = {path, nullptr};
        ProcessLaunch launch(
            argv, path, has('d') ? "/nonexistent" : nullptr, has('e') ? env : nullptr, has('c'),
            has('s'), false, [&c] { childSetup(c.how, c.raw); }, NUL, NUL, NUL);
        std::ostringstream log;
        std::streambuf* saved = std::clog.rdbuf(log.rdbuf());
        const string got = thrown([&] { launch.waitExec(); });
        std::clog.rdbuf(saved);
        EXPECT_EQ(c.thrown, got) << c.how << " " << c.raw;
        EXPECT_EQ(c.log, log.str()) << c.how << " " << c.raw;
        EXPECT_EQ(c.exit, code(launch.waitExit())) << c.how << " " << c.raw;
    }
}

const int CALLER = 99;                 // stands for a pipe of the test's own, passed by number
const char INHERITED[] = "inherited?"; // stands for the check of the two descriptors below

// A child run with the given modes and options (c close descriptors, e
// environment A and B only), fed "in" when stdin is a pipe;
// script "" reads its input, then writes "out" to stdout and "err" to stderr.
const struct {
    const char *name, *how, *script;
    int in, out, err;
    const char *stdoutText, *stderrText;
} CHILDREN[] = {
    {"outputs piped", "", "", PIPE, PIPE, PIPE, "in\nout\n", "err\n"},
    {"stderr same as stdout", "", "", NUL, PIPE, SAME, "out\nerr\n", ""},
    {"a descriptor by number stays the caller's", "", "", NUL, CALLER, SAME, "out\nerr\n", ""},
    // stderr becomes the parent's stdout before stdout becomes the pipe
    {"stderr on the parent's stdout", "", "", NUL, PIPE, 1, "out\n", ""},
    {"environment", "e", "echo \"$A|$B|$HOME\"", NUL, PIPE, NUL, "1|two words|\n", ""},
    {"descriptors closed", "c", INHERITED, NUL, PIPE, NUL, "closed\n", ""},
    {"descriptors kept", "", INHERITED, NUL, PIPE, NUL, "open\n", ""},
};

TEST_F(Clean, LaunchGivesTheChildItsStreamsAndOptions)
{
    // Inheritable descriptors below and above where the control pipe will be.
    const int low = open("/dev/null", O_RDONLY);
    ASSERT_EQ(150, dup2(low, 150));
    const string inherited = "[ -e /proc/$$/fd/" + std::to_string(low) +
                             " ] || [ -e /proc/$$/fd/150 ] && echo open || echo closed";
    const char* env[] = {"A=1", "B=two words", nullptr};
    for (const auto& c : CHILDREN) {
        int mine[2];
        ASSERT_EQ(0, pipe2(mine, O_CLOEXEC));
        const char* script = c.script == INHERITED ? inherited.c_str() : c.script;
        const char* argv[] = {"/bin/sh", "-c", *script ? script : "cat; echo out; echo err >&2",
                              nullptr};
        ProcessLaunch launch(argv, argv[0], nullptr, strchr(c.how, 'e') ? env : nullptr,
                             strchr(c.how, 'c'), false, false, noSetup, c.in,
                             c.out == CALLER ? mine[1] : c.out, c.err);
        launch.waitExec();
        EXPECT_EQ("the exec status has been read already", thrown([&] { launch.waitExec(); }));
        // Only the modes that asked for a pipe leave the parent an end.
        EXPECT_EQ(c.in == PIPE, launch.stdinWrite.valid()) << c.name;
        EXPECT_EQ(c.out == PIPE, launch.stdoutRead.valid()) << c.name;
        EXPECT_EQ(c.err == PIPE, launch.stderrRead.valid()) << c.name;
        EXPECT_TRUE(c.in != PIPE || write(launch.stdinWrite.get(), "in\n", 3) == 3);
        launch.stdinWrite.close();
        EXPECT_NE(-1, fcntl(mine[1], F_GETFD)) << c.name;
        close(mine[1]);
        const int outFd = c.out == CALLER ? mine[0] : launch.stdoutRead.get();
        EXPECT_EQ(c.stdoutText, outFd >= 0 ? readAll(outFd) : "") << c.name;
        EXPECT_EQ(c.stderrText, c.err == PIPE ? readAll(launch.stderrRead.get()) : "") << c.name;
        EXPECT_EQ(0, code(launch.waitExit())) << c.name;
        close(mine[0]);
    }
    close(low);
    close(150);
}

// --- Pipe --------------------------------------------------------------------------------

// One program, or two chained, fed the first `feed` of a text of every byte value
// (-1: stdin inherited, 0: a pipe without a producer); out "=" is the input itself.
const struct {
    const char* name;
    const char *first, *second;
    long feed;
    bool collect;
    string out, err, statuses;
} RUNS[] = {
    // The reader dawdles: the input pipe fills up, and writes must shrink, not block.
    {"slow reader", "sleep 0.2; exec cat", nullptr, 3 << 20, true, "=", "", "0"},
    {"exit code", "exit 3", nullptr, -1, true, "", "", "3"},
    {"killed", "echo dying >&2; kill -TERM $$", nullptr, -1, true, "", "dying\n", "143"},
    // Both outputs fit their pipes: the program is gone before the loop reads them.
    {"written before the exit", "head -c 60000 /dev/zero; head -c 60000 /dev/zero >&2", nullptr, -1,
     true, string(60000, '\0'), string(60000, '\0'), "0"},
    {"quitting with input unsent", "head -c 1 >/dev/null; echo fatal >&2; exit 3", nullptr, 3 << 20,
     true, "", "fatal\n", "3"},
    {"piped stdin without a producer", "cat; echo done", nullptr, 0, true, "done\n", "", "0"},
    // Unread, 200 kB would block the program on its full stdout pipe.
    {"output without a callback", "head -c 200000 /dev/zero", nullptr, -1, false, "", "", "0"},
    {"chain fed at the front", "echo e1 >&2; exec cat", "wc -c; echo e2 >&2", 100000, true,
     "100000\n", "e1\ne2\n", "0 0"},
    {"a reader quitting early", "exec yes", "head -n 2", -1, true, "y\ny\n", "", "141 0"},
};

TEST_F(Clean, PipeCollectsOutputsAndStatuses)
{
    string input(3 << 20, '\0');
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<char>(i * 7 + i / 251); // every byte value, NUL included
    for (const auto& c : RUNS) {
        size_t pos = 0;
        const size_t size = c.feed > 0 ? c.feed : 0;
        string out, err;
        Pipe pipe(Params("/bin/sh", "-c", c.first));
        if (c.second)
            pipe.processes.push_back(Params("/bin/sh", "-c", c.second));
        pipe.stdinChannel.mode = c.feed >= 0 ? PIPE : -1;
        if (c.feed > 0)
            pipe.stdinChannel.callback = [&](std::vector<char>& buf) {
                const size_t n = std::min<size_t>(100000, size - pos);
                buf.insert(buf.end(), input.begin() + pos, input.begin() + pos + n);
                pos += n;
                return pos < size;
            };
        pipe.stdoutChannel.set(PIPE, c.collect ? P::makeStringReceiver(out) : P::OutputCallback());
        pipe.stderrChannel.set(PIPE, P::makeStringReceiver(err));
        pipe.run();
        string statuses;
        for (const P::ProcessStatus& s : pipe.statuses)
            statuses += (statuses.empty() ? "" : " ") + std::to_string(code(s.status));
        EXPECT_EQ(c.statuses, statuses) << c.name;
        EXPECT_TRUE((c.out == "=" ? input.substr(0, size) : c.out) == out) << c.name;
        // The error text of two programs arrives in either order.
        EXPECT_TRUE(err == c.err || (c.second && err == "e2\ne1\n")) << c.name << ": " << err;
    }
}

TEST_F(Clean, PipeRunFailures)
{
    const struct {
        std::function<void(Pipe&)> prepare;
        string thrown;
    } cases[] = {
        {[](Pipe& p) { p.run(); }, "the pipe has been launched already"},
        {[](Pipe& p) { p.processes.clear(); }, "No processes to launch were assigned so far"},
        {[](Pipe& p) { p = Pipe(Params("no-such-program")); }, rebuilt("execvp", ENOENT)},
        {[](Pipe& p) { p.workingDirectory = "/nonexistent"; }, rebuilt("cwd chdir", ENOENT)},
        // The earlier program is neither killed nor waited for: closing its pipes ends it.
        {[](Pipe& p) {
             p.processes.push_back(Params("/nonexistent/p"));
             p.stdinChannel.set(PIPE);
         },
         rebuilt("execv", ENOENT)},
    };
    for (const auto& c : cases) {
        Pipe pipe(Params("cat"));
        pipe.stdinChannel.mode = NUL;
        EXPECT_EQ(c.thrown, thrown([&] {
                      c.prepare(pipe);
                      pipe.run();
                  }));
    }
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
}

TEST_F(Clean, PipeHandsBackTheCallersSignalState)
{
    string out;
    {
        P::SigBlocker blocker;
        blocker.block(SIGUSR1);
        // The programs start with the caller's mask (SIGUSR1), not the launch's; no
        // shell, which would reset it. The set-up runs in the child, stdout in place.
        Pipe pipe(Params("grep", "^SigBlk", "/proc/self/status"));
        pipe.childSetup = [] {
            if (write(1, "child\n", 6) != 6)
                _exit(9);
        };
        pipe.stdoutChannel.set(PIPE, P::makeStringReceiver(out));
        EXPECT_EQ(0, code(pipe.run()));
        // A caller that keeps SIGCHLD blocked must not hang the loop.
        blocker.block(SIGCHLD);
        EXPECT_EQ(4, code(Pipe(Params("/bin/sh", "-c", "exit 4")).run()));
        EXPECT_TRUE(blocked(SIGCHLD) && blocked(SIGUSR1));
    }
    EXPECT_FALSE(blocked(SIGCHLD) || blocked(SIGUSR1)) << "the first block's mask is back";
    EXPECT_EQ("child\nSigBlk:\t0000000000000200\n", out);
}

// One catcher owns SIGCHLD at a time, and it is not removed while a child it
// watches still runs, unless by force; it records how each child ended.
TEST_F(Clean, CatcherOwnsItsChildrenUntilTheyEnd)
{
    P::ProcessSetCatcher catcher, second;
    catcher.install();
    EXPECT_THROW(second.install(), std::logic_error);
    EXPECT_THROW(catcher.status(getpid()), std::out_of_range);
    pid_t child;
    {
        P::SigBlocker blocker;
        blocker.block(SIGCHLD);
        child = fork();
        if (child == 0) {
            pause();
            _exit(0);
        }
        catcher.registerChild(child);
    }
    EXPECT_THROW(catcher.remove(), std::logic_error);
    kill(child, SIGKILL);
    struct pollfd ended = {catcher.controlFd(), POLLIN, 0};
    int ready;
    while ((ready = poll(&ended, 1, 5000)) < 0 && errno == EINTR) // the SIGCHLD itself
        ;
    EXPECT_EQ(1, ready);
    EXPECT_EQ(128 + SIGKILL, code(catcher.status(child)));
    catcher.remove();
    EXPECT_FALSE(catcher.installed());
}

TEST(NonblockWrite, ShrinksOnAFullPipeAndFailsWhenNothingFits)
{
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(65536, fcntl(fds[1], F_GETPIPE_SZ));
    std::vector<char> data(65535, 'a');
    EXPECT_EQ(65535u, P::nonblock_write(fds[1], data.data(), 65535));
    // One byte is left in the last page: only halving down to 1 gets it in.
    EXPECT_EQ(1u, P::nonblock_write(fds[1], data.data(), 4096));
    EXPECT_EQ("11 write: Resource temporarily unavailable",
              thrown([&] { P::nonblock_write(fds[1], data.data(), 4096); }));
    close(fds[0]);
    close(fds[1]);
}

// --- the plain fork/exec functions ------------------------------------------------------

// What fork_execv_log returns and logs, on standard error and (out, or the same) stdout.
const char NO_OUTPUT[] = "/bin/sh execution failed (no output)\n";
const struct {
    const char *path, *script;
    int ignore, code;
    string err;
    const char* out;
} LOGGED[] = {
    {"/bin/sh", "echo 'bad thing' >&2; exit 2", 0, 2, "/bin/sh execution failed:\nbad thing\n",
     nullptr},
    {"/bin/sh", "exit 1", 0, 1, NO_OUTPUT, nullptr},
    // The program's output goes to standard error alone, unchanged.
    {"/bin/sh", "printf '100%%s %%d\\n'; exit 4", 0, 4, "100%s %d\n"s + NO_OUTPUT, NO_OUTPUT},
    {"/bin/sh", "head -c 9999 /dev/zero | tr '\\0' x; exit 4", 0, 4, string(9999, 'x') + NO_OUTPUT,
     NO_OUTPUT},
    {"/bin/sh", "echo out; echo err >&2; exit 9", 1, 9, "", nullptr},
    {"/bin/sh", "kill -9 $$", 0, -1, NO_OUTPUT, nullptr},
    {"/bin/sh", "[ -e /proc/$$/fd/150 ] && echo inherited >&2; exit 1", 0, 1, NO_OUTPUT, nullptr},
    {"/nonexistent/p", "", 0, 255,
     "/nonexistent/p execution failed:\nfork_execv: execv(\"/nonexistent/p\") failed: No such "
     "file or directory\n",
     nullptr},
    // The program is gone while a child of it holds the pipes: a timeout finds that out.
    {"/bin/sh", "sleep 5 & echo gone >&2; exit 3", 0, 3, "/bin/sh execution failed:\ngone\n",
     nullptr},
};

TEST_F(Clean, ForkExecLogsFailures)
{
    const int null = open("/dev/null", O_RDONLY);
    ASSERT_EQ(150, dup2(null, 150)); // inheritable, but the program must not see it
    close(null);
    for (const auto& c : LOGGED) {
        char arg0[] = "sh", arg1[] = "-c";
        char* args[] = {arg0, arg1, const_cast<char*>(c.script), nullptr};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.code, fork_execv_log(c.path, args, c.ignore)) << c.script;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << c.script;
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr()) << c.script;
        EXPECT_EQ(c.out ? c.out : c.err, testing::internal::GetCapturedStdout()) << c.script;
    }
    close(150);
}

} // namespace
