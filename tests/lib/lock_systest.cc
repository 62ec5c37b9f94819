// lock_systest.cc - hashed lock files under the lock directory, between processes.
#include <gtest/gtest.h>

#include <chrono>
#include <errno.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ostra/errors.h"
#include "ostra/fork_exec.h"
#include "ostra/lock.h"
#include "systest.h"

namespace {

const char target[] = "/etc/postfix/main.cf";

class HashedLock : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, getenv("SANDBOX")) << "changes /var/lock: run inside the sandbox only";
        umask(022);
        // A case before may have given the lock directory away.
        ASSERT_EQ(0, mxtest::run(std::string("mkdir -p ") + OSTRA_LOCK_DIR + " && chown root " +
                                 OSTRA_LOCK_DIR)
                         .status);
        // The hash is computed by an independent tool.
        mxtest::RunResult md5 = mxtest::run(std::string("printf %s '") + target + "' | md5sum");
        ASSERT_EQ(0, md5.status);
        lockFile_ = std::string(OSTRA_LOCK_DIR) + "/" + md5.out.substr(0, 32);
    }

    // startFlock - run the system's flock tool on the lock file with arguments.
    pid_t startFlock(const std::string& args)
    {
        std::string script = "exec flock " + args;
        std::string arg0 = "sh", arg1 = "-c";
        char* argv[] = {&arg0[0], &arg1[0], &script[0], nullptr};
        return fork_execv_pipes(0, 1, 2, "/bin/sh", argv);
    }

    // finished - whether pid has ended; its exit code in *code.
    static bool finished(pid_t pid, int* code, bool wait)
    {
        int status = 0;
        pid_t done = waitpid(pid, &status, wait ? 0 : WNOHANG);
        if (done != pid)
            return false;
        *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    std::string lockFile_;
};

TEST_F(HashedLock, LockFileIsNamedByTheDigestAndKept)
{
    {
        ostra::MKLock lock(target);
        struct stat st;
        ASSERT_EQ(0, stat(lockFile_.c_str(), &st)) << lockFile_;
        EXPECT_EQ(0644u, st.st_mode & 07777);
        int code = -1;
        ASSERT_TRUE(finished(startFlock("-n " + lockFile_ + " true"), &code, true));
        EXPECT_EQ(1, code) << "flock must see the lock as held";
    }
    struct stat st;
    EXPECT_EQ(0, stat(lockFile_.c_str(), &st)) << "lock files are never deleted";
    int code = -1;
    ASSERT_TRUE(finished(startFlock("-n " + lockFile_ + " true"), &code, true));
    EXPECT_EQ(0, code) << "released with the object";
}

TEST_F(HashedLock, OtherProcessWaitsUntilRelease)
{
    lock_struct_t* lock = mk_lock(target, 1);
    ASSERT_TRUE(is_locked(lock));
    pid_t waiter = startFlock(lockFile_ + " true");
    ASSERT_GT(waiter, 0);
    usleep(300 * 1000);
    int code = -1;
    EXPECT_FALSE(finished(waiter, &code, false)) << "the other process must wait";
    EXPECT_EQ(0, rm_lock(lock));
    ASSERT_TRUE(finished(waiter, &code, true));
    EXPECT_EQ(0, code);
}

TEST_F(HashedLock, WaitingLockWaitsForAnotherProcess)
{
    mxtest::TempDir dir;
    std::string marker = dir.file("held");
    pid_t holder = startFlock(lockFile_ + " -c 'touch " + marker + "; sleep 1'");
    ASSERT_GT(holder, 0);
    struct stat st;
    for (int i = 0; i < 500 && stat(marker.c_str(), &st) != 0; ++i)
        usleep(10 * 1000);
    ASSERT_EQ(0, stat(marker.c_str(), &st)) << "holder did not start";

    try {
        ostra::MKLock busy(target, ostra::MKLock::HASHED_FILENAME, ostra::MKLock::NONBLOCK);
        ADD_FAILURE() << "lock taken while held elsewhere";
    } catch (const ostra::SystemError& e) {
        ADD_FAILURE() << "wrong error: " << e.what();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string("lock(") + target + ") failed: file is already locked", e.what());
    }

    auto start = std::chrono::steady_clock::now();
    ostra::MKLock lock(target); // waits for the rest of the holder's second
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(waited, 0.3);
    int code = -1;
    ASSERT_TRUE(finished(holder, &code, true));
    EXPECT_EQ(0, code);
}

TEST_F(HashedLock, LockDirectoryOfAnotherUserFails)
{
    ASSERT_EQ(0, mxtest::run(std::string("chown nobody ") + OSTRA_LOCK_DIR).status);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    try {
        ostra::MKLock lock(target);
        ADD_FAILURE() << "lock taken";
    } catch (const ostra::ExSystemError<EPERM>& e) {
        EXPECT_STREQ("lock() failed: Operation not permitted", e.what());
    }
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("Refusing lock directory \"" + std::string(OSTRA_LOCK_DIR) +
                  "\": it must be a directory owned by root and writable by no one else.\n",
              err);
    EXPECT_EQ(err, out);
    EXPECT_FALSE(mxtest::fileExists(lockFile_));
}

} // namespace
