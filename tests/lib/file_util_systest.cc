// file_util_systest.cc - copies under the destination's lock, in a sandbox
// because the lock lives in the system's lock directory.
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

} // namespace
