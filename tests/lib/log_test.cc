// log_test.cc - the message log, the levelled log and checked formatting.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string>

#include "ostra/log.h"

namespace {

// Captured - what a piece of code wrote on standard output and standard error.
struct Captured {
    std::string out;
    std::string err;
};

template <class F> Captured capture(F body)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    Captured c;
    c.err = testing::internal::GetCapturedStderr();
    c.out = testing::internal::GetCapturedStdout();
    return c;
}

TEST(Messlog2, AddsTheSystemErrorAndContinues)
{
    Captured c = capture([] {
        errno = ENOENT;
        messlog2(0, 0, "cannot read %s", "x.conf");
    });
    const std::string expected = "cannot read x.conf\nSystem error 2: No such file or directory\n";
    EXPECT_EQ(expected, c.err);
    EXPECT_EQ(expected, c.out);
}

TEST(Messlog2, KeepsErrnoForTheCaller)
{
    capture([] {
        errno = EACCES;
        messlog2(0, 0, "x");
        EXPECT_EQ(EACCES, errno);
    });
}

TEST(Messlog2, NoDoubleNewlineAndNoSystemErrorWithoutErrno)
{
    Captured c = capture([] {
        errno = 0;
        messlog2(0, 0, "line one\n");
        messlog2(0, 0, "%d%%", 50);
    });
    EXPECT_EQ("line one\n50%\n", c.err);
    EXPECT_EQ("line one\n50%\n", c.out);
}

TEST(Messlog2, LongMessageIsWrittenWhole)
{
    std::string text(10000, 'a');
    text += "END";
    Captured c = capture([&] {
        errno = 0;
        messlog2(0, 0, "%s", text.c_str());
    });
    EXPECT_EQ(text + "\n", c.err);
    EXPECT_EQ(text + "\n", c.out);
}

TEST(Messlog2DeathTest, NonZeroStatusEndsTheProcess)
{
    EXPECT_EXIT(
        {
            errno = 0;
            messlog2(3, 0, "fatal %s", "problem");
        },
        testing::ExitedWithCode(3), "fatal problem");
}

TEST(OstraLog, WritesOnlyUpToTheLevel)
{
    int saved = LogLevel;
    LogLevel = 6;
    Captured c = capture([] {
        ostra_log(6, "shown %d", 6);
        ostra_log(7, "hidden %d", 7);
        ostra_log(3, "shown %d", 3);
    });
    LogLevel = saved;
    EXPECT_EQ("shown 6\nshown 3\n", c.err);
    EXPECT_EQ("shown 6\nshown 3\n", c.out);
}

TEST(AsprintfSafe, FormatsIntoANewString)
{
    char* s = asprintf_safe("%s-%05d", "id", 42);
    ASSERT_NE(nullptr, s);
    EXPECT_STREQ("id-00042", s);
    free(s);
}

} // namespace
