// fork_exec.cc - run an auxiliary program and collect its output and exit code.
#include "ostra/fork_exec.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ostra/log.h"
#include "sys_util.h"

using ostra::detail::close_from_3;
using ostra::detail::retry_eintr;

static const int READ_CHUNK = 4096;

// child_redirect - make fd the child's descriptor target (-1: /dev/null); 0 or -1.
static int child_redirect(int fd, int target)
{
    // A descriptor already in place would be closed by the exec; a closed
    // one stays closed, as it always did.
    if (fd == target) {
        fcntl(fd, F_SETFD, 0);
        return 0;
    }
    if (fd == -1) {
        fd = retry_eintr([] { return open("/dev/null", O_RDWR); });
        if (fd < 0)
            return -1;
    }
    // Descriptors from 3 up are closed before exec, so fd needs no close here;
    // closing it now would break a descriptor given for two targets.
    return retry_eintr([&] { return dup2(fd, target); }) < 0 ? -1 : 0;
}

// fork_execv_pipes - start path with the given standard descriptors.
pid_t fork_execv_pipes(int in, int out, int err, const char* path, char* const args[])
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        messlog2(1, 0, "fork_execv_pipes: fork() failed");
        return -1;
    }
    if (pid > 0)
        return pid;

    if (child_redirect(in, 0) != 0 || child_redirect(out, 1) != 0 || child_redirect(err, 2) != 0) {
        fprintf(stderr, "fork_execv: dup() failed: %s\n", strerror(errno));
        _exit(-1);
    }
    close_from_3();
    errno = 0;
    execv(path, args);
    fprintf(stderr, "fork_execv: execv(\"%s\") failed: %s\n", path, strerror(errno));
    _exit(-1);
}

// read_to_buf - one non-blocking read into a buffer grown by 4096 bytes when full.
int read_to_buf(int* fd, char** buffer, int* capacity, int* length)
{
    if (fd == nullptr || *fd < 0 || buffer == nullptr || capacity == nullptr || length == nullptr)
        return -1;
    if (*length + 1 >= *capacity) {
        void* grown = nullptr;
        if (*capacity <= INT_MAX - READ_CHUNK)
            grown = realloc(*buffer, static_cast<size_t>(*capacity) + READ_CHUNK);
        if (grown == nullptr)
            messlog2(1, 0, "Cannot allocate memory");
        *buffer = static_cast<char*>(grown);
        *capacity += READ_CHUNK;
    }
    size_t room = static_cast<size_t>(*capacity - *length - 1);
    ssize_t n = retry_eintr([&] { return read(*fd, *buffer + *length, room); });
    if (n > 0) {
        *length += static_cast<int>(n);
        return static_cast<int>(n);
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    int saved = errno;
    close(*fd);
    *fd = -1;
    if (n == 0)
        return 0;
    fprintf(stderr, "fork_exec*: read(pipe) failed: %s\n", strerror(saved));
    errno = 0;
    return -1;
}

// exit_code - the exit code of a wait status, -1 when the child was signalled.
static int exit_code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// close_fd - close a read end and mark it closed.
static void close_fd(int* fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// Capture - a growing buffer for one of the child's output streams.
struct Capture {
    char* data = nullptr;
    int capacity = 0;
    int length = 0;

    // take - the NUL-terminated text, or null when nothing was read.
    char* take()
    {
        if (length == 0) {
            free(data);
            data = nullptr;
        }
        if (data != nullptr)
            data[length] = '\0';
        char* result = data;
        data = nullptr;
        return result;
    }
};

// fork_execv_getouterr - run path, collect both output streams, return the exit code.
int fork_execv_getouterr(char** out, char** err, const char* path, char* const args[])
{
    if (out != nullptr)
        *out = nullptr;
    if (err != nullptr)
        *err = nullptr;

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        messlog2(1, 0, "fork_execv_getouterr: pipe() failed");
    if (pipe2(err_pipe, O_CLOEXEC) != 0)
        messlog2(1, 0, "fork_execv_getouterr: pipe() failed");
    if (fcntl(out_pipe[0], F_SETFL, O_NONBLOCK) != 0 ||
        fcntl(err_pipe[0], F_SETFL, O_NONBLOCK) != 0)
        messlog2(1, 0, "fork_execv_getouterr: fcntl(O_NONBLOCK) failed");

    pid_t pid = fork_execv_pipes(0, out_pipe[1], err_pipe[1], path, args);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int fds[2] = {out_pipe[0], err_pipe[0]};
    if (pid < 0) {
        close_fd(&fds[0]);
        close_fd(&fds[1]);
        return -1;
    }

    Capture captures[2];
    int code = -1;
    bool reaped = false;
    while (fds[0] >= 0 || fds[1] >= 0) {
        struct pollfd polls[2];
        for (int i = 0; i < 2; ++i) {
            polls[i].fd = fds[i];
            polls[i].events = POLLIN;
            polls[i].revents = 0;
        }
        // A timeout gives the chance to see that the program itself has ended,
        // even when a background child of it still holds the pipes open.
        int ready = poll(polls, 2, 1000);
        if (ready > 0) {
            for (int i = 0; i < 2; ++i)
                if (fds[i] >= 0 && polls[i].revents != 0)
                    read_to_buf(&fds[i], &captures[i].data, &captures[i].capacity,
                                &captures[i].length);
            continue;
        }
        int status;
        pid_t done = retry_eintr([&] { return waitpid(pid, &status, WNOHANG); });
        if (done == 0)
            continue;
        code = done == pid ? exit_code(status) : -1;
        reaped = true;
        close_fd(&fds[0]);
        close_fd(&fds[1]);
    }
    if (!reaped) {
        int status;
        pid_t done = retry_eintr([&] { return waitpid(pid, &status, 0); });
        code = done == pid ? exit_code(status) : -1;
    }

    char* out_text = captures[0].take();
    char* err_text = captures[1].take();
    if (out != nullptr)
        *out = out_text;
    else
        free(out_text);
    if (err != nullptr)
        *err = err_text;
    else
        free(err_text);
    return code;
}

// fork_execv_log - run path; when it fails, pass its output on and log its errors.
int fork_execv_log(const char* path, char* const args[], int ignore_exit_status)
{
    char* out = nullptr;
    char* err = nullptr;
    int code = fork_execv_getouterr(&out, &err, path, args);
    if (code != 0 && !ignore_exit_status) {
        if (out != nullptr && *out != '\0') {
            fwrite(out, 1, strlen(out), stderr);
            fflush(stderr);
        }
        // The program's own error text explains the failure; a stale errno would not.
        errno = 0;
        if (err != nullptr && *err != '\0')
            messlog2(0, 0, "%s execution failed:\n%s", path, err);
        else
            messlog2(0, 0, "%s execution failed (no output)", path);
    }
    free(out);
    free(err);
    return code;
}
