// options_helper_fuzzfix_test.cc - usage errors whose arguments hold the options
// library's message placeholders end like any other usage error and name the
// argument, instead of looping for ever while the library builds the message.
#include "mail/postfix/options_helper.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "testsupport.h"

namespace po = boost::program_options;
using namespace ostra::mail::postfix::mxadmin_commands;

namespace {

// Long enough for a loaded machine, short of the test's own time-out.
const unsigned HANG_SECONDS = 20;

struct Case {
    std::vector<std::string> args;
    std::string message; // the line the usage error must print
};

std::ostream& operator<<(std::ostream& out, const Case& c)
{
    for (const std::string& a : c.args)
        out << a << ' ';
    return out;
}

// parseInChild - declare a quota and a switch, parse "--demo" and args in a
// child that a hang would have killed by SIGALRM.
mxtest::Captured parseInChild(std::vector<std::string> args)
{
    args.insert(args.begin(), "--demo");
    return mxtest::inChild([&args] {
        alarm(HANG_SECONDS);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        ProgramOptionsHelper helper("demonstrate options", "--demo [--disk-quota=<n>]");
        // clang-format off
        helper.addOptions()
            ("disk-quota", po::value<long long>(), "disk quota")
            ("in-blocks", "count in blocks");
        // clang-format on
        standardOptionsParse(helper, static_cast<int>(args.size()), argv.data());
    });
}

class PlaceholderArgumentTest : public ::testing::TestWithParam<Case> {};

TEST_P(PlaceholderArgumentTest, EndsAsAUsageError)
{
    const mxtest::Captured c = parseInChild(GetParam().args);
    ASSERT_EQ(c.status, 1) << "stderr: " << c.err.substr(0, 200);
    EXPECT_EQ(c.err, GetParam().message + "\n");
    EXPECT_NE(c.out.find("Allowed options to demonstrate options"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, PlaceholderArgumentTest,
    ::testing::Values(
        // The library never finished the message of these.
        Case{{"--%canonical_option%"}, "invalid argument '--%canonical_option%'"},
        Case{{"-%canonical_option%"}, "invalid argument '-%canonical_option%'"},
        Case{{"--%original_token%"}, "invalid argument '--%original_token%'"},
        Case{{"--disk-quota=%value%"}, "invalid argument '--disk-quota=%value%'"},
        Case{{"--disk-quota", "x%value%x"}, "invalid argument 'x%value%x'"},
        // The library named these as "--" and "----".
        Case{{"--%option%"}, "invalid argument '--%option%'"},
        Case{{"--%prefix%"}, "invalid argument '--%prefix%'"},
        // Without a placeholder the library's own words stay.
        Case{{"--disk-quota=%v"}, "the argument ('%v') for option '--disk-quota' is invalid"},
        Case{{"--frobnicate"}, "unrecognised option '--frobnicate'"}));

// A placeholder in an argument that is not in error changes nothing when the
// options are acceptable.
TEST(PlaceholderArgument, AcceptedWhenNoErrorIsReported)
{
    const mxtest::Captured c = mxtest::inChild([] {
        alarm(HANG_SECONDS);
        std::string word0 = "--demo", word1 = "--note=%value%";
        char* argv[] = {&word0[0], &word1[0], nullptr};
        ProgramOptionsHelper helper("demonstrate options", "--demo [--note=<text>]");
        helper.addOptions()("note", po::value<std::string>(), "a note");
        standardOptionsParse(helper, 2, argv);
        std::cout << helper.variables["note"].as<std::string>();
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "%value%");
}

} // namespace
