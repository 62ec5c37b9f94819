// errors_test.cc - exception texts, the choice of SystemError type and the fatal-error line.
#include "ostra/errors.h"

#include <errno.h>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <string.h>
#include <typeinfo>

#include "mail/lib/fs_error.h"
#include "mail/postfix/postfix_errors.h"
#include "testsupport.h"

namespace {

using mxtest::Captured;
using mxtest::inChild;

std::string strerrorText(int n)
{
    return strerror(n);
}

// ---- SystemError texts ----

struct TextCase {
    std::string name;
    std::string message;
    int error;
    std::string expected;
};

void PrintTo(const TextCase& c, std::ostream* os)
{
    *os << c.name;
}

class SystemErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(SystemErrorText, MessageColonStrerror)
{
    const TextCase& c = GetParam();
    ostra::SystemError e(c.message, c.error);
    EXPECT_EQ(c.expected, e.what());
    EXPECT_EQ(c.error, e.errorNumber());
    // The text is built once and stays the same.
    EXPECT_EQ(e.what(), e.what());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SystemErrorText,
    ::testing::Values(TextCase{"Message", "lock() failed", EAGAIN,
                               "lock() failed: " + strerrorText(EAGAIN)},
                      TextCase{"MessageEndingInColon", "mkstemp() failed: ", EACCES,
                               "mkstemp() failed: : " + strerrorText(EACCES)},
                      TextCase{"EmptyMessageENOENT", "", ENOENT, strerrorText(ENOENT)},
                      TextCase{"EmptyMessageEPERM", "", EPERM, strerrorText(EPERM)}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST(SystemError, ZeroTakesCurrentErrno)
{
    errno = EEXIST;
    ostra::SystemError e("mkdir", 0);
    EXPECT_EQ(EEXIST, e.errorNumber());
    EXPECT_EQ("mkdir: " + strerrorText(EEXIST), e.what());
}

// ---- throwSystemError's choice of type ----

struct ThrowCase {
    int error;
    const std::type_info* type;
};

void PrintTo(const ThrowCase& c, std::ostream* os)
{
    *os << "Errno" << c.error;
}

class ThrowSystemError : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(ThrowSystemError, PicksTypeByNumber)
{
    const ThrowCase& c = GetParam();
    try {
        ostra::throwSystemError("x", c.error);
        FAIL() << "throwSystemError returned";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(*c.type, typeid(e)) << ostra::demangledTypeName(e);
        EXPECT_EQ("x: " + strerrorText(c.error), e.what());
        EXPECT_EQ(c.error, e.errorNumber());
    }
}

INSTANTIATE_TEST_SUITE_P(Numbers, ThrowSystemError,
                         ::testing::Values(ThrowCase{1, &typeid(ostra::ExSystemError<1>)},
                                           ThrowCase{2, &typeid(ostra::ExSystemError<2>)},
                                           ThrowCase{4, &typeid(ostra::ExSystemError<4>)},
                                           ThrowCase{10, &typeid(ostra::ExSystemError<10>)},
                                           ThrowCase{11, &typeid(ostra::ExSystemError<11>)},
                                           ThrowCase{EACCES, &typeid(ostra::SystemError)},
                                           ThrowCase{ENOSPC, &typeid(ostra::SystemError)},
                                           ThrowCase{3, &typeid(ostra::SystemError)}),
                         [](const ::testing::TestParamInfo<ThrowCase>& info) {
                             return "Errno" + std::to_string(info.param.error);
                         });

TEST(ThrowSystemError, ZeroWithErrnoTwoIsPlainSystemError)
{
    errno = ENOENT;
    try {
        ostra::throwSystemError("x", 0);
        FAIL() << "throwSystemError returned";
    } catch (const ostra::ExSystemError<ENOENT>&) {
        FAIL() << "the subtype is chosen by the argument, not by errno";
    } catch (const ostra::SystemError& e) {
        EXPECT_EQ(typeid(ostra::SystemError), typeid(e));
        EXPECT_EQ("x: " + strerrorText(ENOENT), e.what());
        EXPECT_EQ(ENOENT, e.errorNumber());
    }
}

TEST(ThrowSystemError, SubtypeIsCaughtAsSystemErrorAndRuntimeError)
{
    EXPECT_THROW(ostra::throwSystemError("x", ENOENT), ostra::SystemError);
    EXPECT_THROW(ostra::throwSystemError("x", EAGAIN), std::runtime_error);
}

// ---- the other exception texts ----

TEST(ExceptionTexts, NotSupportedAppendsIsntSupported)
{
    ostra::NotSupportedError e("short account-format is not supported for Postfix");
    EXPECT_STREQ("short account-format is not supported for Postfix isn't supported", e.what());
}

TEST(ExceptionTexts, PostfixErrorsKeepTheirMessage)
{
    using namespace ostra::mail::postfix;
    EXPECT_STREQ("a", PostfixError("a").what());
    EXPECT_STREQ("b", PostfixConfigurationError("b").what());
    EXPECT_STREQ("c", PostfixDatabaseError("c").what());
    EXPECT_THROW(throw PostfixDatabaseError("c"), PostfixError);
}

TEST(ExceptionTexts, FSErrorQuotesThePath)
{
    ostra::mail::FSError e("rename failed", "/var/qmail/x", ENOENT);
    EXPECT_EQ("rename failed: " + strerrorText(ENOENT) + ": \"/var/qmail/x\"",
              std::string(e.what()));
    EXPECT_EQ(ENOENT, e.code().value());
    EXPECT_EQ("/var/qmail/x", e.path1().string());
}

// ---- the fatal-error line ----

struct NullText : std::exception {
    const char* what() const noexcept override { return nullptr; }
};

struct Traced : std::runtime_error, ostra::Traceback {
    Traced() : std::runtime_error("traced") {}
};

struct FatalCase {
    std::string name;
    std::function<void()> thrower;
    std::string line;
};

void PrintTo(const FatalCase& c, std::ostream* os)
{
    *os << c.name;
}

class FatalLine : public ::testing::TestWithParam<FatalCase> {};

TEST_P(FatalLine, DemangledTypeAndTextOnBothStreams)
{
    const FatalCase& c = GetParam();
    Captured r = inChild([&c] {
        try {
            c.thrower();
        } catch (const std::exception& e) {
            ostra::reportException<std::exception>(e);
        }
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(c.line + "\n", r.err);
    EXPECT_EQ(c.line + "\n", r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Types, FatalLine,
    ::testing::Values(
        FatalCase{"ExSystemError", [] { ostra::throwSystemError("open", ENOENT); },
                  "Fatal error: ostra::ExSystemError<2>(open: " + strerrorText(ENOENT) + ")"},
        FatalCase{"SystemError", [] { throw ostra::SystemError("lock() failed", EBADF); },
                  "Fatal error: ostra::SystemError(lock() failed: " + strerrorText(EBADF) + ")"},
        FatalCase{"PostfixDatabaseError",
                  [] { throw ostra::mail::postfix::PostfixDatabaseError("postmap failed"); },
                  "Fatal error: ostra::mail::postfix::PostfixDatabaseError(postmap failed)"},
        FatalCase{"Standard", [] { throw std::invalid_argument("bad name"); },
                  "Fatal error: std::invalid_argument(bad name)"},
        FatalCase{"NullWhat", [] { throw NullText(); },
                  "Fatal error: (anonymous namespace)::NullText()"}),
    [](const ::testing::TestParamInfo<FatalCase>& info) { return info.param.name; });

TEST(FatalLine, TracebackFollowsTheLine)
{
    Captured r = inChild([] {
        try {
            throw Traced();
        } catch (const std::exception& e) {
            ostra::reportException<std::exception>(e);
        }
    });
    const std::string line = "Fatal error: (anonymous namespace)::Traced(traced)\n";
    ASSERT_EQ(0u, r.err.find(line)) << r.err;
    std::string rest = r.err.substr(line.size());
    EXPECT_TRUE(rest.rfind("Traceback:\n\t", 0) == 0 ||
                rest.rfind("Traceback addresses:\n\t", 0) == 0)
        << rest;
    EXPECT_EQ(r.err, r.out);
}

TEST(FatalLine, UntypedException)
{
    Captured r = inChild([] { ostra::reportUntypedException(); });
    EXPECT_EQ("UNSPECIFIED ERROR OCCURED\n", r.err);
    EXPECT_EQ("UNSPECIFIED ERROR OCCURED\n", r.out);
}

} // namespace
