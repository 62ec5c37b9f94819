// lock_test.cc - exclusive locks on exact lock files, and the hashed lock name.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ostra/errors.h"
#include "ostra/lock.h"
#include "testsupport.h"

namespace {

// waitExit - the exit code of child pid, or -1.
int waitExit(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(LockName, HashedNameIsMd5HexUnderTheLockDirectory)
{
    char* name = lock_file_name("abc", 1);
    ASSERT_NE(nullptr, name);
    EXPECT_STREQ("/var/lock/files/900150983cd24fb0d6963f7d28e17f72", name);
    free(name);
    name = lock_file_name("/etc/postfix/main.cf", 0);
    ASSERT_NE(nullptr, name);
    EXPECT_STREQ("/etc/postfix/main.cf", name);
    free(name);
}

TEST(PlainLock, HeldLockBlocksANonBlockingAttemptUntilRemoved)
{
    mxtest::TempDir dir;
    std::string path = dir.file("target");
    int fds = mxtest::openFdCount();
    lock_struct_t* held = mk_lock(path.c_str(), 0);
    ASSERT_NE(nullptr, held);
    EXPECT_TRUE(is_locked(held));
    struct stat st;
    EXPECT_EQ(0, stat(path.c_str(), &st)) << "the exact lock file is the target itself";

    lock_struct_t* second = mk_nonblock_lock(path.c_str(), 0);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(0, second->fd);
    EXPECT_FALSE(is_locked(second));
    EXPECT_EQ(0, rm_lock(second));

    EXPECT_EQ(0, rm_lock(held));
    lock_struct_t* third = mk_nonblock_lock(path.c_str(), 0);
    ASSERT_NE(nullptr, third);
    EXPECT_TRUE(is_locked(third));
    EXPECT_EQ(0, rm_lock(third));
    EXPECT_EQ(fds, mxtest::openFdCount());
}

TEST(PlainLock, UnopenableLockFileFails)
{
    mxtest::TempDir dir;
    std::string path = dir.file("missing-dir/target");
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    lock_struct_t* lock = mk_lock(path.c_str(), 0);
    int error = errno;
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(nullptr, lock);
    EXPECT_EQ(-1, lock->fd);
    EXPECT_FALSE(is_locked(lock));
    EXPECT_EQ(ENOENT, error);
    EXPECT_NE(std::string::npos,
              err.find("Unable to open file \"" + path + "\": No such file or directory."))
        << err;
    EXPECT_EQ(0, rm_lock(lock));
    EXPECT_FALSE(is_locked(nullptr));
}

TEST(PlainLock, SecondProcessWaitsForTheRelease)
{
    mxtest::TempDir dir;
    std::string path = dir.file("target");
    lock_struct_t* held = mk_lock(path.c_str(), 0);
    ASSERT_TRUE(is_locked(held));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(held->fd); // the inherited description would keep the lock held
        lock_struct_t* lock = mk_lock(path.c_str(), 0);
        _exit(is_locked(lock) ? 0 : 1);
    }
    usleep(300 * 1000);
    int status = 0;
    EXPECT_EQ(0, waitpid(child, &status, WNOHANG)) << "the child must still wait";
    EXPECT_EQ(0, rm_lock(held));
    EXPECT_EQ(0, waitExit(child));
}

TEST(MKLockTest, NonBlockingOnALockedFileThrowsAlreadyLocked)
{
    mxtest::TempDir dir;
    std::string path = dir.file("target");
    ostra::MKLock held(path, ostra::MKLock::EXACT_FILENAME);
    try {
        ostra::MKLock second(path, ostra::MKLock::EXACT_FILENAME, ostra::MKLock::NONBLOCK);
        FAIL() << "second lock taken";
    } catch (const ostra::SystemError& e) {
        FAIL() << "wrong error: " << e.what();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ("lock(" + path + ") failed: file is already locked", std::string(e.what()));
    }
}

TEST(MKLockTest, DestructorReleases)
{
    mxtest::TempDir dir;
    std::string path = dir.file("target");
    int fds = mxtest::openFdCount();
    {
        ostra::MKLock held(path, ostra::MKLock::EXACT_FILENAME);
        EXPECT_EQ(fds + 1, mxtest::openFdCount());
    }
    EXPECT_EQ(fds, mxtest::openFdCount());
    EXPECT_NO_THROW(ostra::MKLock(path, ostra::MKLock::EXACT_FILENAME, ostra::MKLock::NONBLOCK));
}

TEST(MKLockTest, OpenFailureThrowsTheSystemErrorOfItsNumber)
{
    mxtest::TempDir dir;
    std::string path = dir.file("missing-dir/target");
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    try {
        ostra::MKLock lock(path, ostra::MKLock::EXACT_FILENAME);
        ADD_FAILURE() << "lock taken";
    } catch (const ostra::ExSystemError<ENOENT>& e) {
        EXPECT_STREQ("lock() failed: No such file or directory", e.what());
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
}

} // namespace
