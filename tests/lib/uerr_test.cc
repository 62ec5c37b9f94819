// uerr_test.cc - the error stream: stderr at once, stdout on flush and at exit.
#include "ostra/uerr.h"

#include <errno.h>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Captured {
    std::string out;
    std::string err;
    int status = -1;
};

// inChild - run body in a forked child that then exits normally; collect both streams.
Captured inChild(const std::function<void()>& body)
{
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        body();
        exit(0);
    }
    close(out[1]);
    close(err[1]);
    Captured c;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? c.out : c.err).append(buf, static_cast<size_t>(n));
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return c;
}

// mark - a byte written around the streams, to show what arrived when.
void mark(int fd, char c)
{
    ASSERT_EQ(1, write(fd, &c, 1));
}

TEST(Uerr, UnflushedTextReachesStderrAtOnceAndStdoutAtExit)
{
    Captured r = inChild([] {
        ostra::uerr << "WARNING: pending";
        mark(1, '|');
        mark(2, '|');
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("WARNING: pending|", r.err);
    EXPECT_EQ("|WARNING: pending", r.out);
}

TEST(Uerr, EachFlushHandsOverWhatWasWrittenSince)
{
    Captured r = inChild([] {
        ostra::uerr << "one" << std::flush;
        mark(1, '|');
        ostra::uerr << "two " << 2 << std::endl;
        mark(1, '#');
        ostra::uerr << "three\n";
        mark(1, '$');
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("onetwo 2\nthree\n", r.err);
    EXPECT_EQ("one|two 2\n#$three\n", r.out);
}

TEST(Uerr, EmptyFlushWritesNothing)
{
    Captured r = inChild([] {
        ostra::uerr << std::flush;
        mark(1, '|');
    });
    EXPECT_EQ("|", r.out);
    EXPECT_EQ("", r.err);
}

} // namespace
