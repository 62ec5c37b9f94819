// process_test_util.h - shared checks for the process tests: no leaks, no zombies.
#ifndef MX_TESTS_PROCESS_TEST_UTIL_H
#define MX_TESTS_PROCESS_TEST_UTIL_H

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace mxtest {

// HygieneTest - every test must leave descriptors, children and SIGCHLD as it found them.
class HygieneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fds_ = openFdCount();
        sigaction(SIGCHLD, nullptr, &chld_);
    }

    void TearDown() override
    {
        EXPECT_EQ(fds_, openFdCount()) << "descriptor leaked";
        int status;
        errno = 0;
        EXPECT_EQ(-1, waitpid(-1, &status, WNOHANG)) << "child left behind";
        EXPECT_EQ(ECHILD, errno);
        struct sigaction now;
        sigaction(SIGCHLD, nullptr, &now);
        EXPECT_EQ(reinterpret_cast<void*>(chld_.sa_handler),
                  reinterpret_cast<void*>(now.sa_handler))
            << "SIGCHLD disposition not restored";
    }

private:
    int fds_ = 0;
    struct sigaction chld_;
};

// patternBytes - n reproducible bytes covering every byte value, NUL included.
inline std::string patternBytes(size_t n)
{
    std::string s(n, '\0');
    unsigned int x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// ChunkProducer - feeds a string in chunks of a fixed size; counts its calls.
struct ChunkProducer {
    ChunkProducer(const std::string& d, size_t c) : data(d), chunk(c) {}

    bool operator()(std::vector<char>& buf)
    {
        ++calls;
        EXPECT_TRUE(buf.empty());
        size_t n = std::min(chunk, data.size() - pos);
        buf.insert(buf.end(), data.begin() + pos, data.begin() + pos + n);
        pos += n;
        return pos < data.size();
    }

    const std::string& data;
    size_t chunk;
    size_t pos = 0;
    int calls = 0;
};

} // namespace mxtest

#endif
