// file_str_systest.cc - line edits and copies under the hashed lock of their target.
#include <gtest/gtest.h>

#include <pwd.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ostra/file_util.h"
#include "ostra/lock.h"
#include "systest.h"

namespace {

class LockedEdit : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, getenv("SANDBOX")) << "changes /var: run inside the sandbox only";
        ASSERT_EQ(
            0,
            mxtest::run("rm -rf " + home_ + " && mkdir -p " + home_ + " " + OSTRA_LOCK_DIR).status);
    }

    std::string home_ = "/var/qmail/mailnames/example.com/info";
    std::string qmail_ = home_ + "/.qmail";
};

TEST_F(LockedEdit, EditsKeepThePopuserOwnerAndMode)
{
    struct passwd* pw = getpwnam("popuser");
    ASSERT_NE(nullptr, pw);
    mxtest::writeFile(qmail_, "| true\n&a@example.org\n&a@example.org\n", 0600);
    ASSERT_EQ(0, chown(qmail_.c_str(), pw->pw_uid, pw->pw_gid));

    EXPECT_EQ(0, file_str(qmail_.c_str(), "&a@example.org", FILE_STR_REMOVE, 0));
    EXPECT_EQ(0, file_str(qmail_.c_str(), "&b@example.org", FILE_STR_ADD, FILE_STR_APPEND));
    EXPECT_EQ(0, file_str(qmail_.c_str(), "| first", FILE_STR_ADD, FILE_STR_PREPEND));
    const char* gone[] = {"| t", nullptr};
    EXPECT_EQ(0,
              file_strings(qmail_.c_str(), gone, FILE_STR_REMOVE_MATCHING, FILE_STR_MATCH_PREFIX));

    EXPECT_EQ("| first\n&b@example.org\n", mxtest::readFile(qmail_));
    struct stat st;
    ASSERT_EQ(0, stat(qmail_.c_str(), &st));
    EXPECT_EQ(pw->pw_uid, st.st_uid);
    EXPECT_EQ(pw->pw_gid, st.st_gid);
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_NE(0, stat((qmail_ + ".tmp").c_str(), &st));
}

TEST_F(LockedEdit, MissingFileForRemovalCreatesNothing)
{
    EXPECT_EQ(1, file_str(qmail_.c_str(), "&a@example.org", FILE_STR_REMOVE, 0));
    struct stat st;
    EXPECT_NE(0, stat(qmail_.c_str(), &st));
    EXPECT_NE(0, stat((qmail_ + ".tmp").c_str(), &st));
}

TEST_F(LockedEdit, EditWaitsForTheLockHolder)
{
    mxtest::writeFile(qmail_, "| old\n");
    lock_struct_t* lock = mk_lock(qmail_.c_str(), 1);
    ASSERT_TRUE(is_locked(lock));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(lock->fd); // the inherited description would keep the lock held
        _exit(file_str(qmail_.c_str(), "| new", FILE_STR_ADD, FILE_STR_APPEND));
    }
    usleep(300 * 1000);
    int status = 0;
    EXPECT_EQ(0, waitpid(child, &status, WNOHANG)) << "the edit must wait for the lock";
    EXPECT_EQ("| old\n", mxtest::readFile(qmail_));
    EXPECT_EQ(0, rm_lock(lock));
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("| old\n| new\n", mxtest::readFile(qmail_));
}

TEST_F(LockedEdit, EditFailsWithAnUnsafeLockDirectory)
{
    mxtest::writeFile(qmail_, "| old\n");
    ASSERT_EQ(0, mxtest::run(std::string("chmod 777 ") + OSTRA_LOCK_DIR).status);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int rc = file_str(qmail_.c_str(), "| new", FILE_STR_ADD, FILE_STR_APPEND);
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, rc);
    EXPECT_NE(std::string::npos, err.find("Error occurred while locking the file " + qmail_))
        << err;
    EXPECT_EQ("| old\n", mxtest::readFile(qmail_));
}

TEST_F(LockedEdit, CopyFileKeepsTheSourceMode)
{
    std::string src = home_ + "/src", dst = home_ + "/dst";
    mxtest::writeFile(src, std::string(10000, 'c') + "\n", 0640);
    EXPECT_EQ(0, copy_file(src.c_str(), dst.c_str()));
    EXPECT_EQ(mxtest::readFile(src), mxtest::readFile(dst));
    struct stat st;
    ASSERT_EQ(0, stat(dst.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);

    testing::internal::CaptureStdout();
    int rc = copy_file(src.c_str(), "-");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, rc);
    EXPECT_EQ(mxtest::readFile(src), out);

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    rc = copy_file((home_ + "/absent").c_str(), dst.c_str());
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, rc);
    EXPECT_EQ(0u, err.find("Unable to open file " + home_ + "/absent: No such file or directory"))
        << err;
    EXPECT_EQ(mxtest::readFile(src), mxtest::readFile(dst)) << "a failed copy leaves dst alone";
}

} // namespace
