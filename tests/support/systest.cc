// systest.cc - running commands and reading system state from system tests.
#include "systest.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mxtest {

namespace {

// closeFd - close a descriptor if open and mark it closed.
void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// SandboxGuard - keeps system tests, which change fixed system paths, off a
// host they were started on by hand.
class SandboxGuard : public testing::Environment {
public:
    void SetUp() override
    {
        const char* sandbox = getenv("SANDBOX");
        if (sandbox == nullptr || std::string(sandbox) != "1")
            GTEST_FAIL() << "system tests change fixed system paths: run them "
                            "through tests/support/sandbox.sh (as ctest does)";
    }
};

testing::Environment* const sandboxGuard = testing::AddGlobalTestEnvironment(new SandboxGuard);

// checked - run a command and throw with its error output when it fails.
RunResult checked(const std::string& command, const std::string& input = "")
{
    RunResult result = run(command, input);
    if (result.status != 0)
        throw std::runtime_error(command + ": exit " + std::to_string(result.status) + ": " +
                                 result.err + result.out);
    return result;
}

} // namespace

// run - run "/bin/sh -c command" with three pipes and wait for it.
RunResult run(const std::string& command, const std::string& input)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);

    RunResult result;
    size_t fed = 0;
    int inFd = in[1], outFd = out[0], errFd = err[0];
    if (input.empty())
        closeFd(inFd);
    while (outFd >= 0 || errFd >= 0 || inFd >= 0) {
        struct pollfd fds[3];
        int n = 0;
        if (outFd >= 0)
            fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0)
            fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0)
            fds[n++] = {inFd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            int fd = fds[i].fd;
            if (fd == inFd) {
                ssize_t w = write(fd, input.data() + fed, input.size() - fed);
                if (w < 0 || (fed += static_cast<size_t>(w)) == input.size())
                    closeFd(inFd);
                continue;
            }
            char buf[65536];
            ssize_t r = read(fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                closeFd(fd == outFd ? outFd : errFd);
                continue;
            }
            (fd == outFd ? result.out : result.err).append(buf, static_cast<size_t>(r));
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// shellQuote - wrap in single quotes, each quote inside written as '\''.
std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// startMariaDB - run the start script with the build directory's template cache.
void startMariaDB()
{
    checked(shellQuote(MX_SUPPORT_DIR "/mariadb-start.sh") + " " +
            shellQuote(MX_BINARY_DIR "/mariadb-template"));
}

// sql - feed the statements to the client in batch mode.
std::string sql(const std::string& statements)
{
    return checked("mariadb --no-defaults --batch --skip-column-names --database=hsp", statements)
        .out;
}

// fileExists - lstat succeeds.
bool fileExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// makeDirs - create each missing component in turn; the last gets mode.
void makeDirs(const std::string& path, int mode)
{
    if (path.empty())
        throw std::runtime_error("makeDirs: empty path");
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        bool last = slash == std::string::npos;
        if (mkdir(dir.c_str(), last ? static_cast<mode_t>(mode) : 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create directory " + dir);
        if (last)
            break;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error("not a directory: " + path);
}

// installScript - parents, then the file with its interpreter line.
void installScript(const std::string& path, const std::string& shellText)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        makeDirs(path.substr(0, slash));
    std::string text = shellText.compare(0, 2, "#!") == 0 ? shellText : "#!/bin/sh\n" + shellText;
    writeFile(path, text, 0755);
}

// backdate - utimes with both times seconds ago.
void backdate(const std::string& path, int seconds)
{
    struct timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    if (utimes(path.c_str(), times) != 0)
        throw std::runtime_error("cannot set the times of " + path);
}

} // namespace mxtest
