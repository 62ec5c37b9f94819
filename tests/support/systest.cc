// systest.cc - running commands from system tests.
#include "systest.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
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

// mxadmin - run the built program with the given (already quoted) arguments.
RunResult mxadmin(const std::string& args, const std::string& input)
{
    return run(std::string(MXADMIN_BIN) + " " + args, input);
}

} // namespace mxtest
