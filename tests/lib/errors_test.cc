// errors_test.cc - the types system errors are thrown as, and what the
// outermost handler prints for them: the panel reads these lines.
#include <errno.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ostra/errors.h"

namespace {

// Traced - an exception that carries its call stack.
struct Traced : std::runtime_error, ostra::Traceback {
    Traced() : std::runtime_error("deep") {}
};

// report - what the handler writes for e on standard error, then "|", then
// on standard output (the error stream repeats itself there when flushed).
template <class Report> std::string report(Report print)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    print();
    const std::string out = testing::internal::GetCapturedStdout();
    return testing::internal::GetCapturedStderr() + "|" + out;
}

// thrown - the report of what throwSystemError throws for errorNumber.
std::string thrown(int errorNumber)
{
    try {
        errno = EBADF; // never taken for an explicit number
        ostra::throwSystemError("open /x", errorNumber);
    } catch (const std::exception& e) {
        return report([&] { ostra::reportException(e); });
    }
    return "nothing thrown";
}

TEST(Errors, FatalErrorLines)
{
    const struct {
        int errorNumber;
        const char* type;
        const char* reason;
    } cases[] = {
        {EPERM, "ostra::ExSystemError<1>", "Operation not permitted"},
        {ENOENT, "ostra::ExSystemError<2>", "No such file or directory"},
        {EINTR, "ostra::ExSystemError<4>", "Interrupted system call"},
        {ECHILD, "ostra::ExSystemError<10>", "No child processes"},
        {EAGAIN, "ostra::ExSystemError<11>", "Resource temporarily unavailable"},
        {EACCES, "ostra::SystemError", "Permission denied"},
    };
    for (const auto& c : cases) {
        const std::string line =
            "Fatal error: " + std::string(c.type) + "(open /x: " + c.reason + ")\n";
        EXPECT_EQ(line + "|" + line, thrown(c.errorNumber)) << c.type;
    }
    errno = ENOSPC; // a number of 0 takes errno, an empty message leaves the reason alone
    EXPECT_STREQ("No space left on device", ostra::SystemError("", 0).what());
    EXPECT_EQ("UNSPECIFIED ERROR OCCURED\n|UNSPECIFIED ERROR OCCURED\n",
              report([] { ostra::reportUntypedException(); }));
}

// A carried call stack follows the line, one tab-indented frame per line.
TEST(Errors, TracebackFollowsTheLine)
{
    const std::string text = report([] { ostra::reportException<std::exception>(Traced()); });
    const std::string err = text.substr(0, text.find('|'));
    const std::string head = "Fatal error: (anonymous namespace)::Traced(deep)\nTraceback:\n";
    ASSERT_EQ(head, err.substr(0, head.size())) << err;
    int frames = 0;
    for (size_t at = head.size(); at < err.size(); at = err.find('\n', at) + 1, ++frames)
        EXPECT_EQ('\t', err[at]) << err;
    EXPECT_GE(frames, 3) << err;
    EXPECT_NE(std::string::npos, err.find("(ostra::Traceback::Traceback(int)+0x")) << err;
    EXPECT_EQ(err, text.substr(err.size() + 1));
}

} // namespace
