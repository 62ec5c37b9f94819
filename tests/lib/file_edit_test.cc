// file_edit_test.cc - line edits of list files: add, remove, match, keep attributes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lib/file_edit.h"
#include "ostra/file_util.h"
#include "testsupport.h"

namespace {

using ostra::detail::file_edit;

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

struct EditCase {
    const char* name;
    const char* before; // null: the file is missing
    std::vector<const char*> strs;
    int cmd;
    int set;
    const char* after;
};

class FileEditTest : public testing::TestWithParam<EditCase> {};

TEST_P(FileEditTest, EditsTheLines)
{
    const EditCase& c = GetParam();
    mxtest::TempDir dir;
    std::string path = dir.file(".qmail");
    if (c.before != nullptr)
        mxtest::writeFile(path, c.before);
    std::vector<const char*> strs = c.strs;
    strs.push_back(nullptr);
    ASSERT_EQ(0, file_edit(path.c_str(), strs.data(), c.cmd, c.set));
    EXPECT_EQ(c.after, mxtest::readFile(path));
    EXPECT_FALSE(exists(path + ".tmp"));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FileEditTest,
    testing::Values(
        EditCase{"AppendCreates",
                 nullptr,
                 {"| deliver", "&fwd@example.com\n"},
                 FILE_STR_ADD,
                 FILE_STR_APPEND,
                 "| deliver\n&fwd@example.com\n"},
        EditCase{"AppendAfterUnterminatedLine",
                 "a\nb",
                 {"c"},
                 FILE_STR_ADD,
                 FILE_STR_APPEND,
                 "a\nb\nc\n"},
        EditCase{"PrependPutsLinesFirst",
                 "old1\nold2\n",
                 {"new1", "new2"},
                 FILE_STR_ADD,
                 FILE_STR_PREPEND,
                 "new1\nnew2\nold1\nold2\n"},
        EditCase{"PrependCreates", nullptr, {"only"}, FILE_STR_ADD, FILE_STR_PREPEND, "only\n"},
        EditCase{
            "RemoveBothCopiesKeepPrefixed", "x\nxy\nz\nx\n", {"x"}, FILE_STR_REMOVE, 0, "xy\nz\n"},
        EditCase{"RemoveStringWithItsNewline", "a\nb\nc", {"b\n", "c"}, FILE_STR_REMOVE, 0, "a\n"},
        EditCase{"RemoveNothingKeepsUnterminatedEnd", "a\nb", {"zz"}, FILE_STR_REMOVE, 0, "a\nb"},
        EditCase{"RemoveByPrefix",
                 "&a@x\n|prog\n&b@y\n",
                 {"&"},
                 FILE_STR_REMOVE_MATCHING,
                 FILE_STR_MATCH_PREFIX,
                 "|prog\n"},
        EditCase{"RemoveBySuffix",
                 "one.sh\ntwo.pl\nsh.three\n",
                 {".sh"},
                 FILE_STR_REMOVE_MATCHING,
                 FILE_STR_MATCH_SUFFIX,
                 "two.pl\nsh.three\n"},
        EditCase{"RemoveBySubstring",
                 "alpha\nbeta\ngamma\n",
                 {"et", "mm"},
                 FILE_STR_REMOVE_MATCHING,
                 FILE_STR_MATCH_SUBSTRING,
                 "alpha\n"},
        EditCase{"EmptyPatternRemovesNothing",
                 "a\nb\n",
                 {""},
                 FILE_STR_REMOVE_MATCHING,
                 FILE_STR_MATCH_PREFIX,
                 "a\nb\n"}),
    [](const testing::TestParamInfo<EditCase>& info) { return std::string(info.param.name); });

TEST(FileEdit, LongLinesSurviveWhole)
{
    mxtest::TempDir dir;
    std::string path = dir.file("list");
    std::string longLine(10000, 'L');
    mxtest::writeFile(path, "drop\n" + longLine + "\nkeep\n");
    const char* strs[] = {"drop", nullptr};
    ASSERT_EQ(0, file_edit(path.c_str(), strs, FILE_STR_REMOVE, 0));
    EXPECT_EQ(longLine + "\nkeep\n", mxtest::readFile(path));
}

TEST(FileEdit, RemovalFromAMissingFileFailsAndCreatesNothing)
{
    mxtest::TempDir dir;
    std::string path = dir.file("absent");
    const char* strs[] = {"x", nullptr};
    EXPECT_EQ(1, file_edit(path.c_str(), strs, FILE_STR_REMOVE, 0));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, file_edit(path.c_str(), strs, FILE_STR_REMOVE_MATCHING, FILE_STR_MATCH_PREFIX));
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(path + ".tmp"));
}

TEST(FileEdit, ReplacedFileKeepsOwnerGroupAndMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving files away needs root";
    mxtest::TempDir dir;
    std::string path = dir.file(".qmail");
    mxtest::writeFile(path, "a\nb\n", 0600);
    ASSERT_EQ(0, chown(path.c_str(), 1234, 5678));
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    struct stat before;
    ASSERT_EQ(0, stat(path.c_str(), &before));
    // Kept open, the old file's inode cannot be reused by the new one.
    int old = open(path.c_str(), O_RDONLY);
    ASSERT_GE(old, 0);

    const char* remove[] = {"a", nullptr};
    ASSERT_EQ(0, file_edit(path.c_str(), remove, FILE_STR_REMOVE, 0));
    const char* add[] = {"first", nullptr};
    ASSERT_EQ(0, file_edit(path.c_str(), add, FILE_STR_ADD, FILE_STR_PREPEND));

    struct stat after;
    ASSERT_EQ(0, stat(path.c_str(), &after));
    close(old);
    EXPECT_NE(before.st_ino, after.st_ino) << "replaced by rename";
    EXPECT_EQ(1234u, after.st_uid);
    EXPECT_EQ(5678u, after.st_gid);
    EXPECT_EQ(0640u, after.st_mode & 07777);
    EXPECT_EQ("first\nb\n", mxtest::readFile(path));
}

TEST(FileEdit, UnknownRequestsLeaveTheFileAlone)
{
    mxtest::TempDir dir;
    std::string path = dir.file("list");
    mxtest::writeFile(path, "a\n");
    const char* strs[] = {"a", nullptr};
    EXPECT_EQ(1, file_edit(path.c_str(), strs, 3, 0));
    EXPECT_EQ(1, file_edit(path.c_str(), strs, FILE_STR_ADD, 2));
    EXPECT_EQ(1, file_edit(path.c_str(), strs, FILE_STR_REMOVE_MATCHING, 3));
    EXPECT_EQ("a\n", mxtest::readFile(path));
}

} // namespace
