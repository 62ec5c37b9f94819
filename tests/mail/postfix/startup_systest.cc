// startup_systest.cc - what a start of the program loads before any command runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "systest.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The database and digest libraries are opened when a command first needs
// them; help and usage errors must not pay for loading them.
class Startup : public ::testing::TestWithParam<const char*> {};

TEST_P(Startup, LoadsNoDatabaseOrDigestLibrary)
{
    mxtest::RunResult r =
        mxtest::run(std::string("LD_DEBUG=files ") + MXADMIN_BIN + " " + GetParam());
    // The loader's trace works: the one library linked as usual shows in it.
    ASSERT_THAT(r.err, HasSubstr("file=libidn.so.12"));
    // The C++ runtime is not listed: sanitizer builds link it shared.
    for (const char* library : {"libmariadb", "libsqlite3", "libcrypto", "libssl", "libboost"})
        EXPECT_THAT(r.err, Not(HasSubstr(std::string("file=") + library))) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(HelpAndErrors, Startup,
                         ::testing::Values("--help", "--add-domain --help", "--add-domain",
                                           "--no-such-command", "--status-service --service x"));

} // namespace
