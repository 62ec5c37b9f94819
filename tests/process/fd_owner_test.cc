// fd_owner_test.cc - descriptor and pipe owners: closing, seizing, failures.
#include "process/fd_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "ostra/errors.h"
#include "testsupport.h"

using ostra::FdOwner;
using ostra::PipeOwner;

namespace {

// closedNumber - a descriptor number that is certainly not open now.
int closedNumber()
{
    int fd = dup(0);
    close(fd);
    return fd;
}

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

TEST(FdOwner, ClosesAtScopeExitAndOnDemand)
{
    int before = mxtest::openFdCount();
    int fd = open("/dev/null", O_RDONLY);
    {
        FdOwner owner(fd);
        EXPECT_TRUE(owner.valid());
        EXPECT_EQ(fd, owner.get());
    }
    EXPECT_FALSE(isOpen(fd));

    FdOwner owner(open("/dev/null", O_RDONLY));
    int held = owner.get();
    owner.close();
    EXPECT_EQ(-1, owner.get());
    EXPECT_FALSE(isOpen(held));
    owner.close(); // holding nothing is not an error
    EXPECT_EQ(0, owner.close_nothrow());
    EXPECT_EQ(before, mxtest::openFdCount());
}

TEST(FdOwner, SeizeClosesThePreviousDescriptor)
{
    int a = open("/dev/null", O_RDONLY);
    int b = open("/dev/null", O_RDONLY);
    FdOwner owner(a);
    owner.seize(b);
    EXPECT_FALSE(isOpen(a));
    EXPECT_EQ(b, owner.get());
    EXPECT_EQ(b, owner.release());
    EXPECT_EQ(-1, owner.get());
    EXPECT_TRUE(isOpen(b));
    close(b);
}

TEST(FdOwner, CloseFailureThrowsAndForgetsTheDescriptor)
{
    FdOwner owner(closedNumber());
    try {
        owner.close();
        FAIL() << "close of a stale descriptor did not throw";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(EBADF, e.errorNumber());
        EXPECT_EQ(std::string("close: ") + strerror(EBADF), e.what());
    }
    EXPECT_EQ(-1, owner.get());

    FdOwner quiet(closedNumber());
    EXPECT_EQ(-1, quiet.close_nothrow());
    EXPECT_EQ(-1, quiet.get());
}

TEST(FdOwner, DestructorThrowsOnlyWhenNotUnwinding)
{
    EXPECT_THROW({ FdOwner owner(closedNumber()); }, ostra::SystemError);

    // While another exception travels, the failure is swallowed and errno kept.
    int seenErrno = 0;
    try {
        try {
            FdOwner owner(closedNumber());
            errno = ERANGE;
            throw std::runtime_error("first");
        } catch (...) {
            seenErrno = errno;
            throw;
        }
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("first", e.what());
    }
    EXPECT_EQ(ERANGE, seenErrno);
}

TEST(PipeOwner, OpensCloseOnExecPipeAndClosesBothEnds)
{
    int before = mxtest::openFdCount();
    int r, w;
    {
        PipeOwner p;
        p.open();
        r = p.readEnd.get();
        w = p.writeEnd.get();
        EXPECT_TRUE(fcntl(r, F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(fcntl(w, F_GETFD) & FD_CLOEXEC);
        ASSERT_EQ(1, write(w, "x", 1));
        char c = 0;
        ASSERT_EQ(1, read(r, &c, 1));
        EXPECT_EQ('x', c);
    }
    EXPECT_FALSE(isOpen(r));
    EXPECT_FALSE(isOpen(w));
    EXPECT_EQ(before, mxtest::openFdCount());
}

TEST(PipeOwner, ReadEndFailureIsReportedAfterClosingTheWriteEnd)
{
    int w = -1;
    bool thrown = false;
    try {
        PipeOwner p;
        p.open();
        w = p.writeEnd.get();
        close(p.readEnd.get()); // the owner's read end goes stale
    } catch (const ostra::SystemError& e) {
        thrown = true;
        EXPECT_EQ(std::string("pipe read-end close: ") + strerror(EBADF), e.what());
    }
    EXPECT_TRUE(thrown);
    EXPECT_FALSE(isOpen(w));
}

} // namespace
