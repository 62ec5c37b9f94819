// uerr_test.cc - the error stream: stderr at once, stdout on flush and at exit.
#include "ostra/uerr.h"

#include <gtest/gtest.h>
#include <iostream>
#include <unistd.h>

#include "testsupport.h"

namespace {

using mxtest::Captured;
using mxtest::inChild;

// mark - a byte written around the streams, to show what arrived when.
void mark(int fd, char c)
{
    ASSERT_EQ(1, write(fd, &c, 1));
}

TEST(Uerr, UnflushedTextReachesStderrAtOnceAndStdoutAtExit)
{
    Captured r = inChild([] {
        ostra::uerr << "WARNING: pending";
        mark(1, '|');
        mark(2, '|');
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("WARNING: pending|", r.err);
    EXPECT_EQ("|WARNING: pending", r.out);
}

TEST(Uerr, EachFlushHandsOverWhatWasWrittenSince)
{
    Captured r = inChild([] {
        ostra::uerr << "one" << std::flush;
        mark(1, '|');
        ostra::uerr << "two " << 2 << std::endl;
        mark(1, '#');
        ostra::uerr << "three\n";
        mark(1, '$');
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("onetwo 2\nthree\n", r.err);
    EXPECT_EQ("one|two 2\n#$three\n", r.out);
}

TEST(Uerr, EmptyFlushWritesNothing)
{
    Captured r = inChild([] {
        ostra::uerr << std::flush;
        mark(1, '|');
    });
    EXPECT_EQ("|", r.out);
    EXPECT_EQ("", r.err);
}

} // namespace
