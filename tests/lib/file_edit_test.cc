// file_edit_test.cc - line edits of list files: add, remove, match, keep attributes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "lib/file_edit.h"
#include "ostra/file_util.h"
#include "testsupport.h"

namespace {

using ostra::detail::file_edit;

const std::string LONG = std::string(9000, 'L') + "\n";

// text - a file's content, "-" when it is missing, "/" for a directory.
std::string text(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return "-";
    return S_ISDIR(st.st_mode) ? "/" : mxtest::readFile(path);
}

// Each case: the request, the file before ("-" for none, "/" a directory), the strings
// (separated by ";"), the result and the file after.
TEST(FileEdit, EditsTheLines)
{
    const struct {
        int cmd, set, result;
        std::string before, strs, after;
    } cases[] = {
        {FILE_STR_ADD, FILE_STR_APPEND, 0, "-", "| x;&f@x.org\n", "| x\n&f@x.org\n"},
        {FILE_STR_ADD, FILE_STR_APPEND, 0, "a\nb", "c", "a\nb\nc\n"},
        {FILE_STR_ADD, FILE_STR_PREPEND, 0, "o1\no2\n", "n1;n2", "n1\nn2\no1\no2\n"},
        {FILE_STR_REMOVE, 0, 0, "x\nxy\nz\nx\n", "x", "xy\nz\n"},
        {FILE_STR_REMOVE, 0, 0, "a\nb\nc", "b\n;c", "a\n"},
        {FILE_STR_REMOVE, 0, 0, "a\nb", "zz", "a\nb"},
        {FILE_STR_REMOVE, 0, 1, "-", "x", "-"},
        {FILE_STR_REMOVE, 0, 0, "drop\n" + LONG, "drop", LONG},
        {FILE_STR_REMOVE_MATCHING, FILE_STR_MATCH_PREFIX, 0, "&a@x\n|p\n&b@y\n", "&", "|p\n"},
        {FILE_STR_REMOVE_MATCHING, FILE_STR_MATCH_SUFFIX, 0, "o.sh\nt.pl\nsh.x\nh\n", ".sh",
         "t.pl\nsh.x\nh\n"},
        {FILE_STR_REMOVE_MATCHING, FILE_STR_MATCH_SUBSTRING, 0, "alpha\nbeta\ngamma\n", "et;mm",
         "alpha\n"},
        {FILE_STR_REMOVE_MATCHING, FILE_STR_MATCH_PREFIX, 1, "-", "x", "-"},
        {FILE_STR_ADD, FILE_STR_APPEND, 1, "/", "x", "/"},
        {FILE_STR_ADD, FILE_STR_PREPEND, 1, "/", "x", "/"},
        {3, 0, 1, "a\n", "a", "a\n"}};
    for (const auto& c : cases) {
        mxtest::TempDir dir;
        const std::string path = dir.file(".qmail");
        if (c.before == "/")
            ASSERT_EQ(0, mkdir(path.c_str(), 0755));
        else if (c.before != "-")
            mxtest::writeFile(path, c.before, 0640);
        std::vector<std::string> parts;
        std::istringstream in(c.strs);
        for (std::string part; std::getline(in, part, ';');)
            parts.push_back(part);
        std::vector<const char*> strs;
        for (const std::string& part : parts)
            strs.push_back(part.c_str());
        strs.push_back(nullptr);
        const std::string name = c.before + " / " + c.strs;
        EXPECT_EQ(c.result, file_edit(path.c_str(), strs.data(), c.cmd, c.set)) << name;
        EXPECT_EQ(c.after, text(path)) << name;
        EXPECT_EQ("-", text(path + ".tmp")) << name;
    }
}

// A rewrite replaces the file by rename, with the owner, group and mode it had.
TEST(FileEdit, KeepsOwnerGroupAndMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving files away needs root";
    mxtest::TempDir dir;
    const std::string path = dir.file("list");
    mxtest::writeFile(path, "a\nb\n", 0640);
    ASSERT_EQ(0, chown(path.c_str(), 1234, 5678));
    const char* strs[] = {"a", nullptr};
    ASSERT_EQ(0, file_edit(path.c_str(), strs, FILE_STR_REMOVE, 0));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(1234u, st.st_uid);
    EXPECT_EQ(5678u, st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("b\n", mxtest::readFile(path));
}

} // namespace
