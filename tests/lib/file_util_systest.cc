// file_util_systest.cc - copies and line edits under the file's lock, in a
// sandbox because the lock lives in the system's lock directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "ostra/file_util.h"
#include "systest.h"
#include "testsupport.h"

namespace {

// Each case: how the destination relates to the source "src" (holding
// "new"), what copy_file returns, and what both hold afterwards.
TEST(CopyFile, CopiesOverTheDestinationButNeverOntoItself)
{
    const struct {
        const char* name;
        const char* setup; // shell lines in the case's directory
        const char* dst;
        int result;
        const char* after; // "src dst", "-" for a missing file
    } cases[] = {
        {"new file", "", "dst", 0, "new new"},
        {"longer file", "echo old-and-longer >dst", "dst", 0, "new new"},
        {"same name", "", "src", 0, "new -"},
        {"same file by another path", "", "./src", 0, "new -"},
        {"hard link", "ln src dst", "dst", 0, "new new"},
        {"missing source", "rm src", "dst", 1, "- -"},
        {"directory in the way", "mkdir dst", "dst", 1, "new -"},
        {"source a directory", "rm src && mkdir src", "dst", 1, "- "},
    };
    for (const auto& c : cases) {
        mxtest::TempDir dir;
        mxtest::writeFile(dir.file("src"), "new");
        ASSERT_EQ(0, mxtest::run("cd " + dir.path() + " && " + (*c.setup ? c.setup : ":")).status);
        const std::string dst = *c.dst == '.' ? dir.path() + "/" + c.dst : dir.file(c.dst);
        EXPECT_EQ(c.result, copy_file(dir.file("src").c_str(), dst.c_str())) << c.name;
        auto content = [&](const char* name) {
            struct stat st;
            const std::string path = dir.file(name);
            return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? mxtest::readFile(path)
                                                                       : std::string("-");
        };
        EXPECT_EQ(c.after, content("src") + " " + content("dst")) << c.name;
    }
}

// The atomic copy: the whole content with the given owner, group and mode,
// nothing else left; a source that cannot be opened ends the program.
TEST(CopyFile, AtomicCopyReplacesByRename)
{
    mxtest::TempDir dir;
    mxtest::writeFile(dir.file("src"), "new");
    mxtest::writeFile(dir.file("dst"), "old and longer");
    const std::string dst = dir.file("dst");
    copy_file_atomic(dir.file("src").c_str(), dst.c_str(), 1234, 5678, 0640);
    EXPECT_EQ("new 1234:5678 640\ndst\nsrc\n",
              mxtest::run("cd " + dir.path() + " && cat dst && stat -c ' %u:%g %a' dst && ls").out);
    EXPECT_EXIT(copy_file_atomic(dir.file("none").c_str(), dst.c_str(), 0, 0, 0600),
                testing::ExitedWithCode(1), "none -> .*dst\\): open failed");
    EXPECT_EXIT(copy_file_atomic(nullptr, dst.c_str(), 0, 0, 0600), testing::ExitedWithCode(1),
                "open failed");
    EXPECT_EQ(1, copy_file(nullptr, dst.c_str()));
}

// The locked forms of the line edits; a refused request changes nothing, and
// each call leaves the lock free for the next (or the next would wait for ever).
TEST(FileStr, EditsUnderTheFilesLock)
{
    mxtest::TempDir dir;
    const std::string path = dir.file("list");
    mxtest::writeFile(path, "a\n");
    const char* two[] = {"b", "c", nullptr};
    EXPECT_EQ(0, file_strings(path.c_str(), two, FILE_STR_ADD, FILE_STR_APPEND));
    EXPECT_EQ(0, file_str(path.c_str(), "a", FILE_STR_REMOVE, 0));
    EXPECT_EQ(1, file_str(path.c_str(), nullptr, FILE_STR_ADD, FILE_STR_APPEND));
    EXPECT_EQ(1, file_strings(path.c_str(), two, 3, 0));
    EXPECT_EQ(1, file_strings(nullptr, two, FILE_STR_ADD, FILE_STR_APPEND));
    EXPECT_EQ(1, file_str(dir.file("none").c_str(), "a", FILE_STR_REMOVE, 0));
    EXPECT_EQ("b\nc\n", mxtest::readFile(path));
}

} // namespace
