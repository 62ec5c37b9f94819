// tmpfile_test.cc - temporary output files and self-deleting output streams.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdexcept>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/errors.h"
#include "ostra/tmpfile.h"
#include "testsupport.h"

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(TmpFileTest, NamedByPrefixAndSixCharacters)
{
    mxtest::TempDir dir;
    std::string prefix = dir.file("virtual");
    ostra::TmpFile tmp(prefix, true);
    EXPECT_EQ(prefix.size() + 6, tmp.path().size());
    EXPECT_EQ(0u, tmp.path().compare(0, prefix.size(), prefix));
    EXPECT_TRUE(exists(tmp.path()));
}

TEST(TmpFileTest, KeptFileHoldsTheContentForTheRename)
{
    mxtest::TempDir dir;
    std::string target = dir.file("virtual");
    int fds = mxtest::openFdCount();
    std::string path;
    {
        ostra::TmpFile tmp(target, true);
        path = tmp.path();
        tmp << "a@example.com\tlocal\n" << 42 << "\n";
        ASSERT_EQ(0, fchmod(tmp.fd(), 0640));
        tmp.autoclean = false;
    }
    EXPECT_EQ(fds, mxtest::openFdCount());
    ASSERT_EQ(0, rename(path.c_str(), target.c_str()));
    EXPECT_EQ("a@example.com\tlocal\n42\n", mxtest::readFile(target));
    struct stat st;
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
}

TEST(TmpFileTest, ExceptionBeforeKeepingLeavesNothing)
{
    mxtest::TempDir dir;
    std::string path;
    int fds = mxtest::openFdCount();
    try {
        ostra::TmpFile tmp(dir.file("virtual"), true);
        path = tmp.path();
        tmp << std::string(5000, 'x'); // more than the buffer holds
        throw std::runtime_error("half done");
    } catch (const std::runtime_error&) {
    }
    ASSERT_FALSE(path.empty());
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(fds, mxtest::openFdCount());
}

TEST(TmpFileTest, CloseFlushesNow)
{
    mxtest::TempDir dir;
    ostra::TmpFile tmp(dir.file("t"), false);
    tmp << "content";
    tmp.close();
    EXPECT_EQ(-1, tmp.fd());
    EXPECT_EQ("content", mxtest::readFile(tmp.path()));
    tmp.close(); // a second close does nothing
}

TEST(TmpFileTest, CloseReportsAFailedWrite)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    // A temporary file cannot be made on /dev/full; write through its descriptor instead.
    mxtest::TempDir dir;
    ostra::TmpFile tmp(dir.file("t"), true);
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_EQ(tmp.fd(), dup2(full, tmp.fd()));
    close(full);
    tmp << "data";
    EXPECT_THROW(tmp.close(), ostra::SystemError);
}

TEST(TmpFileTest, MissingDirectoryThrowsTheSystemError)
{
    mxtest::TempDir dir;
    try {
        ostra::TmpFile tmp(dir.file("missing/virtual"), true);
        FAIL() << "made " << tmp.path();
    } catch (const ostra::ExSystemError<ENOENT>& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("mkstemp() failed: "));
    }
}

TEST(AutocleanOFStreamTest, FileGoesWithTheStreamAndErrnoIsKept)
{
    mxtest::TempDir dir;
    std::string path = dir.file("scratch");
    {
        ostra::AutocleanOFStream out(path);
        ASSERT_TRUE(out.is_open());
        EXPECT_EQ(path, out.path());
        out << "scratch data";
        out.flush();
        EXPECT_EQ("scratch data", mxtest::readFile(path));
        errno = EDOM;
    }
    EXPECT_EQ(EDOM, errno);
    EXPECT_FALSE(exists(path));
}

} // namespace
