// copy_file_test.cc - the atomic copy with owner and mode, and the self-copy rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ostra/file_util.h"
#include "testsupport.h"

namespace {

// entries - the names in a directory, sorted.
std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CopyFile, OntoItselfIsDoneWithoutTouchingIt)
{
    mxtest::TempDir dir;
    std::string path = dir.file("f");
    mxtest::writeFile(path, "keep", 0600);
    struct stat before;
    ASSERT_EQ(0, stat(path.c_str(), &before));
    EXPECT_EQ(0, copy_file(path.c_str(), path.c_str()));
    struct stat after;
    ASSERT_EQ(0, stat(path.c_str(), &after));
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ("keep", mxtest::readFile(path));
    EXPECT_EQ(std::vector<std::string>{"f"}, entries(dir.path()));
}

TEST(CopyFileAtomic, ReplacesWithOwnerGroupAndMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving files away needs root";
    mxtest::TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst");
    std::string content(3 * 4096 + 17, 'q'); // several blocks and a partial one
    mxtest::writeFile(src, content, 0600);
    mxtest::writeFile(dst, "old", 0644);
    struct stat old;
    ASSERT_EQ(0, stat(dst.c_str(), &old));
    copy_file_atomic(src.c_str(), dst.c_str(), 1234, 5678, 0640);
    struct stat st;
    ASSERT_EQ(0, stat(dst.c_str(), &st));
    EXPECT_EQ(content, mxtest::readFile(dst));
    EXPECT_EQ(1234u, st.st_uid);
    EXPECT_EQ(5678u, st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_NE(old.st_ino, st.st_ino) << "replaced by rename, not rewritten in place";
    EXPECT_EQ((std::vector<std::string>{"dst", "src"}), entries(dir.path()));
}

TEST(CopyFileAtomicDeathTest, MissingSourceEndsTheProgram)
{
    mxtest::TempDir dir;
    std::string src = dir.file("absent"), dst = dir.file("dst");
    EXPECT_EXIT(copy_file_atomic(src.c_str(), dst.c_str(), getuid(), getgid(), 0644),
                testing::ExitedWithCode(1), "copy_file_atomic\\(.*absent -> .*dst\\): open failed");
    EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(CopyFileAtomicDeathTest, FailedRenameLeavesNoTemporaryFile)
{
    mxtest::TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst");
    mxtest::writeFile(src, "data", 0644);
    ASSERT_EQ(0, mkdir(dst.c_str(), 0755)); // a file cannot replace a directory
    EXPECT_EXIT(copy_file_atomic(src.c_str(), dst.c_str(), getuid(), getgid(), 0644),
                testing::ExitedWithCode(1), "rename failed");
    EXPECT_EQ((std::vector<std::string>{"dst", "src"}), entries(dir.path()));
}

} // namespace
